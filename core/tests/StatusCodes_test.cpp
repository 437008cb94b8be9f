#include "core/StatusCodes.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/QuorServiceUtils.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

// Sets the three locale variables for one test and puts them back after it.
class ScopedLocale {
 public:
  ScopedLocale(const char* lcAll, const char* lcMessages, const char* lang) {
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
    }
    Set("LC_ALL", lcAll);
    Set("LC_MESSAGES", lcMessages);
    Set("LANG", lang);
  }
  ~ScopedLocale() {
    for (size_t i = 0; i < saved_.size(); ++i) Set(kNames[i], saved_[i] ? saved_[i]->c_str() : nullptr);
  }

 private:
  static void Set(const char* name, const char* value) {
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  static constexpr const char* kNames[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::vector<std::optional<std::string>> saved_;
};

bool IsAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// ---- Status texts -------------------------------------------------------------

TEST(StatusTexts, EveryServiceCodeHasEnglishAndJapanese) {
  const auto table = ServiceStatusTexts();
  ASSERT_EQ(table.size(), 136u);
  std::set<HRESULT> codes;
  for (const StatusTextEntry& entry : table) {
    SCOPED_TRACE(text::Format("0x%08X", static_cast<uint32_t>(entry.status)));
    EXPECT_TRUE(IsServiceStatus(entry.status));
    EXPECT_TRUE(codes.insert(entry.status).second);
    const std::string_view english = StatusText(entry.status, Language::English);
    const std::string_view japanese = StatusText(entry.status, Language::Japanese);
    EXPECT_EQ(english, entry.english);
    EXPECT_EQ(japanese, entry.japanese);
    EXPECT_FALSE(english.empty());
    EXPECT_FALSE(japanese.empty());
    EXPECT_NE(english, japanese);
    EXPECT_TRUE(IsAscii(english));
    EXPECT_FALSE(IsAscii(japanese));
    EXPECT_TRUE(text::IsValidUtf8(japanese));
  }
  // The range runs from 0x81000001 to 0x8100008E; 0x81000028 and 0x81000089 to
  // 0x8100008D have no code.
  EXPECT_EQ(table.front().status, ServiceStatus(0x01));
  EXPECT_EQ(table.back().status, QS_E_RESOURCE_ATTRIBUTE_REMOVE_FAILED);
  for (uint32_t gap : {0x00u, 0x28u, 0x89u, 0x8Du, 0x8Fu, 0xFFFFu})
    EXPECT_EQ(StatusText(ServiceStatus(gap), Language::English), "") << gap;
}

TEST(StatusTexts, KnownCodesReadAsTheSystemWroteThem) {
  EXPECT_EQ(StatusText(QS_E_NATIVE_DB_NOT_INSTALLED, Language::English), "The Native database is not installed.");
  EXPECT_EQ(QS_E_NATIVE_DB_NOT_INSTALLED, static_cast<HRESULT>(0x8100004B));
  EXPECT_EQ(StatusText(QS_E_USER_NOT_ATTENDEE, Language::English),
            "The specified user is not attendee of active share field .");
  EXPECT_EQ(StatusText(QS_E_QUERY_FORMAT_INVALID, Language::English), "The query arugment format is invalid.");
  EXPECT_EQ(StatusText(QS_E_UNLOCK_NOT_ALLOWED, Language::English), "Only lock owner or administrator can unlock");
  EXPECT_EQ(StatusText(QS_E_XML_LOAD_FAILED, Language::Japanese), "XML の読み込みに失敗しました。");
}

TEST(StatusTexts, StandardCodesKeepTheirOwnTexts) {
  // Each of these shares its low 16 bits with nothing or with an unrelated
  // service code (E_INVALIDARG 0x...0057, E_OUTOFMEMORY 0x...000E).
  for (HRESULT code : {E_INVALIDARG, E_OUTOFMEMORY, E_POINTER, E_FAIL, E_UNEXPECTED, E_ACCESSDENIED,
                       DISP_E_EXCEPTION, DISP_E_TYPEMISMATCH, REGDB_E_CLASSNOTREG, CO_E_CLASSSTRING}) {
    SCOPED_TRACE(text::Format("0x%08X", static_cast<uint32_t>(code)));
    const std::string_view english = StatusText(code, Language::English);
    EXPECT_EQ(english, com::HResultText(code));
    EXPECT_NE(english, StatusText(ServiceStatus(HRESULT_CODE(code)), Language::English));
    EXPECT_FALSE(StatusText(code, Language::Japanese).empty());
    EXPECT_NE(StatusText(code, Language::Japanese), english);
  }
  EXPECT_EQ(StatusText(E_INVALIDARG, Language::English), "The parameter is incorrect");
}

TEST(StatusTexts, NotImplementedIsKnownWithoutText) {
  EXPECT_TRUE(IsKnownStatus(E_NOTIMPL));
  EXPECT_EQ(StatusText(E_NOTIMPL, Language::English), "");
  EXPECT_EQ(StatusText(E_NOTIMPL, Language::Japanese), "");
  EXPECT_TRUE(IsKnownStatus(E_FAIL));
  EXPECT_TRUE(IsKnownStatus(QS_E_XML_LOAD_FAILED));
  EXPECT_FALSE(IsKnownStatus(static_cast<HRESULT>(0x80040E14)));
}

TEST(StatusTexts, OtherCodesHaveNoText) {
  // Interface-defined codes belong to their interface (these are the
  // authentication service's), another component's range, success.
  for (HRESULT code : {static_cast<HRESULT>(0x80040200), static_cast<HRESULT>(0x8004020E),
                       static_cast<HRESULT>(0x8200004B), static_cast<HRESULT>(0x0100004B), S_OK, S_FALSE, 12})
    EXPECT_EQ(StatusText(code, Language::English), "") << code;
}

TEST(StatusTexts, LanguageFollowsTheProcessLocale) {
  EXPECT_EQ(LanguageFromLocale("ja_JP.UTF-8"), Language::Japanese);
  EXPECT_EQ(LanguageFromLocale("ja"), Language::Japanese);
  for (const char* other : {"", "C", "POSIX", "en_US.UTF-8", "jp", "JA_JP"})
    EXPECT_EQ(LanguageFromLocale(other), Language::English) << other;

  struct Case {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    Language expected;
  } cases[] = {
      {nullptr, nullptr, "ja_JP.UTF-8", Language::Japanese},
      {"", "", "ja_JP.UTF-8", Language::Japanese},          // empty values do not count
      {"C", nullptr, "ja_JP.UTF-8", Language::English},      // LC_ALL decides first
      {nullptr, "ja_JP.eucJP", "en_US.UTF-8", Language::Japanese},
      {"ja_JP.UTF-8", "en_US.UTF-8", "en_US.UTF-8", Language::Japanese},
      {nullptr, nullptr, nullptr, Language::English},
  };
  for (const Case& c : cases) {
    ScopedLocale locale(c.lcAll, c.lcMessages, c.lang);
    EXPECT_EQ(ProcessLanguage(), c.expected) << (c.lcAll ? c.lcAll : "-") << " " << (c.lang ? c.lang : "-");
    EXPECT_EQ(StatusText(QS_E_SESSION_NOT_FOUND), StatusText(QS_E_SESSION_NOT_FOUND, c.expected));
  }
}

// ---- Error raising and result texts ----------------------------------------------

com::ErrorInfo TakeErrorInfo() {
  std::optional<com::ErrorInfo> info = com::GetErrorInfo();
  EXPECT_TRUE(info.has_value());
  return info.value_or(com::ErrorInfo{});
}

TEST(RaiseServiceError, LeavesSourceStatusAndText) {
  ScopedLocale english(nullptr, nullptr, "en_US.UTF-8");
  com::ClearErrorInfo();
  CQuorServiceUtils::RaiseServiceError(u"QuorServer", QS_E_SESSION_NOT_FOUND);
  com::ErrorInfo info = TakeErrorInfo();
  EXPECT_EQ(info.source, u"QuorServer");
  EXPECT_EQ(info.code, QS_E_SESSION_NOT_FOUND);
  EXPECT_EQ(info.description.ToUtf8(), "Your session can't be found.");
  EXPECT_EQ(info.iid, com::GUID_NULL);

  // A given text wins; an empty one is no text.
  CQuorServiceUtils::RaiseServiceError(u"QuorServer", QS_E_SESSION_NOT_FOUND, com::Bstr(u"own words"));
  EXPECT_EQ(TakeErrorInfo().description, u"own words");
  CQuorServiceUtils::RaiseServiceError(u"QuorServer", QS_E_ARGUMENT_NULL, com::Bstr(u""));
  EXPECT_EQ(TakeErrorInfo().description.ToUtf8(), "The argument is NULL.");

  // A standard code is not read as a service code with the same low bits.
  CQuorServiceUtils::RaiseServiceError(u"QuorServer", E_INVALIDARG);
  EXPECT_EQ(TakeErrorInfo().description.ToUtf8(), "The parameter is incorrect");
  // A code without text gives an empty description, not a missing one.
  CQuorServiceUtils::RaiseServiceError(u"QuorServer", ServiceStatus(0x28));
  const com::ErrorInfo none = TakeErrorInfo();
  EXPECT_TRUE(none.description.Empty());
  EXPECT_FALSE(none.description.IsNull());
}

TEST(RaiseServiceError, SpeaksTheProcessLanguage) {
  ScopedLocale japanese(nullptr, nullptr, "ja_JP.UTF-8");
  CQuorServiceUtils::RaiseServiceError(u"QuorServer", QS_E_VESK_RESOURCE_DB_NOT_INSTALLED);
  EXPECT_EQ(TakeErrorInfo().description.ToUtf8(), "QuorVesk リソースデータベースがインストールされていません。");
}

TEST(ResultTexts, ResultCodeIsSignedDecimal) {
  EXPECT_EQ(CQuorServiceUtils::FormatResultCode(-1), u"<root><resultCode>-1</resultCode></root>");
  EXPECT_EQ(CQuorServiceUtils::FormatResultCode(0), u"<root><resultCode>0</resultCode></root>");
  EXPECT_EQ(CQuorServiceUtils::FormatResultCode(INT32_MIN).ToUtf8(),
            "<root><resultCode>-2147483648</resultCode></root>");
}

TEST(ResultTexts, FaultTextsAreRecognisedByTheirFirstSevenCharacters) {
  EXPECT_FALSE(CQuorServiceUtils::IsFaultResult(com::Bstr()));
  EXPECT_FALSE(CQuorServiceUtils::IsFaultResult(com::Bstr(u"<fault/>")));
  EXPECT_FALSE(CQuorServiceUtils::IsFaultResult(com::Bstr(u"<fau")));
  EXPECT_FALSE(CQuorServiceUtils::IsFaultResult(com::Bstr(u" <fault>")));
  EXPECT_FALSE(CQuorServiceUtils::IsFaultResult(com::Bstr(u"<Fault>")));
  EXPECT_TRUE(CQuorServiceUtils::IsFaultResult(com::Bstr(u"<fault>")));
  EXPECT_TRUE(CQuorServiceUtils::IsFaultResult(com::Bstr(u"<fault>not even XML")));
}

// ---- Fault texts -------------------------------------------------------------------

com::Bstr Fault(std::string_view number, std::string_view description) {
  return com::Bstr::FromUtf8(text::Format(
      "<fault><faultactor>ILegacyDBAccessor</faultactor><detail><ErrorInfo><number>%s</number>"
      "<description>%s</description></ErrorInfo></detail></fault>",
      number, description));
}

TEST(FaultTexts, TheWrittenFormIsFixed) {
  EXPECT_EQ(CQuorServiceUtils::MakeTransformerFault({5, com::Bstr(u"oops")}).ToUtf8(),
            "<fault><faultactor>IQuorTransformer</faultactor><detail><ErrorInfo><number>5</number>"
            "<description>oops111</description></ErrorInfo></detail></fault>");
  EXPECT_EQ(CQuorServiceUtils::MakeAccessorFault({0xFFFF, com::Bstr()}).ToUtf8(),
            "<fault><faultactor>IQuorAccessor</faultactor><detail><ErrorInfo><number>65535</number>"
            "<description>222</description></ErrorInfo></detail></fault>");
}

TEST(FaultTexts, HostileDescriptionsSurviveTheRoundTrip) {
  const std::vector<std::u16string> descriptions = {
      u"<b>bold</b> & <i>", u"]]>", u"<![CDATA[x]]>", u"&amp; &lt; &#65;", u"\"quoted\" 'single'",
      u"日本語の説明：接続できません", u"emoji 😀 and ü", u"tab\tline\nreturn\rend", u"</description></fault>",
      std::u16string(20000, u'x') + u"<&>",
  };
  for (const std::u16string& description : descriptions) {
    for (bool transformer : {true, false}) {
      const CallException exception{0x1234, com::Bstr(description)};
      const com::Bstr text = transformer ? CQuorServiceUtils::MakeTransformerFault(exception)
                                         : CQuorServiceUtils::MakeAccessorFault(exception);
      ASSERT_TRUE(CQuorServiceUtils::IsFaultResult(text));
      com::ClearErrorInfo();
      // 0x1234 is not a failing status, so the fault still fails the call.
      EXPECT_EQ(com::ReportStatus(CQuorServiceUtils::ParseFaultResult(text), u"FlatConvert.TransCSV"), E_FAIL);
      const com::ErrorInfo info = TakeErrorInfo();
      EXPECT_EQ(info.source, u"FlatConvert.TransCSV");
      EXPECT_EQ(info.code, E_FAIL);
      EXPECT_EQ(info.description.Str(), description + (transformer ? u"111" : u"222"))
          << text::Narrow(description).substr(0, 80);
    }
  }
}

TEST(FaultTexts, CharactersXmlCannotHoldAreReplacedNotFatal) {
  const com::Bstr text = CQuorServiceUtils::MakeAccessorFault({1, com::Bstr(u"a\x01" u"b\xFFFE" u"c\xD800" u"d")});
  EXPECT_EQ(com::ReportStatus(CQuorServiceUtils::ParseFaultResult(text), u"src"), E_FAIL);
  EXPECT_EQ(TakeErrorInfo().description.ToUtf8(), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c?d222");
}

TEST(FaultTexts, NegativeNumbersAreReturnedWhole) {
  // The data accessor writes its status as a signed decimal.
  com::ClearErrorInfo();
  EXPECT_EQ(com::ReportStatus(CQuorServiceUtils::ParseFaultResult(Fault("-2113929170", "XML Loading was failed.")),
                              u"QuorAccessor.LegacyDBAccessor"),
            static_cast<HRESULT>(0x8200002E));
  com::ErrorInfo info = TakeErrorInfo();
  EXPECT_EQ(info.code, static_cast<HRESULT>(0x8200002E));
  EXPECT_EQ(info.description, u"XML Loading was failed.");
  EXPECT_EQ(info.source, u"QuorAccessor.LegacyDBAccessor");

  EXPECT_EQ(com::ReportStatus(CQuorServiceUtils::ParseFaultResult(Fault(" -5 and more", "d")), u"s"), -5);
  EXPECT_EQ(com::ReportStatus(CQuorServiceUtils::ParseFaultResult(Fault("-2147483648", "d")), u"s"), INT32_MIN);

  // Without a description the status's own text stands in.
  ScopedLocale english(nullptr, nullptr, "C");
  EXPECT_EQ(com::ReportStatus(CQuorServiceUtils::ParseFaultResult(Fault("-2130706357", "")), u"s"),
            QS_E_NATIVE_DB_NOT_INSTALLED);
  EXPECT_EQ(TakeErrorInfo().description.ToUtf8(), "The Native database is not installed.");
}

TEST(FaultTexts, NumbersThatAreNoFailureStillFail) {
  // A positive number (a 16-bit code, say) is not taken as the status.
  com::ClearErrorInfo();
  EXPECT_EQ(com::ReportStatus(CQuorServiceUtils::ParseFaultResult(Fault("12", "x")), u"s"), E_FAIL);
  EXPECT_EQ(TakeErrorInfo().description, u"x");
  for (const char* number : {"0", "", "abc", "-", "2164260939", "-2147483649", "99999999999999999999"}) {
    EXPECT_EQ(com::ReportStatus(CQuorServiceUtils::ParseFaultResult(Fault(number, "d")), u"s"), E_FAIL) << number;
    EXPECT_EQ(TakeErrorInfo().code, E_FAIL) << number;
  }
}

TEST(FaultTexts, ShapesOtherThanAFaultAreRejected) {
  struct Case {
    const char16_t* text;
    HRESULT expected;
  } cases[] = {
      {u"<Fault><faultactor/><detail><e><n>-1</n><d/></e></detail></Fault>", E_FAIL},
      {u"<fault><actor/><detail><e><n>-1</n><d/></e></detail></fault>", E_FAIL},
      {u"<fault><faultactor/><Detail><e><n>-1</n><d/></e></Detail></fault>", E_FAIL},
      {u"<?xml version=\"1.0\"?><fault><faultactor/><detail><e><n>-1</n><d/></e></detail></fault>", E_FAIL},
      {u"<fault/>", E_POINTER},
      {u"<fault><faultactor/></fault>", E_POINTER},
      {u"<fault><faultactor/><detail/></fault>", E_POINTER},
      {u"<fault><faultactor/><detail><ErrorInfo><number>-1</number></ErrorInfo></detail></fault>", E_POINTER},
      {u"<fault><faultactor>", QS_E_XML_LOAD_FAILED},
      {u"", QS_E_XML_LOAD_FAILED},
      {u"<fault>&bogus;</fault>", QS_E_XML_LOAD_FAILED},
  };
  for (const Case& c : cases) {
    com::ClearErrorInfo();
    EXPECT_EQ(CQuorServiceUtils::ParseFaultResult(com::Bstr(c.text)).code(), c.expected) << text::Narrow(c.text);
    EXPECT_FALSE(com::HasErrorInfo()) << text::Narrow(c.text);
  }
  EXPECT_EQ(CQuorServiceUtils::ParseFaultResult(com::Bstr()).code(), E_FAIL);

  // Below "detail" only the order counts.
  EXPECT_EQ(com::ReportStatus(CQuorServiceUtils::ParseFaultResult(com::Bstr(u"<fault><faultactor/><detail><E><n>-7</n>"
                                                                            u"<d>m</d></E></detail></fault>")),
                              u"s"),
            -7);
  EXPECT_EQ(TakeErrorInfo().description, u"m");
}

}  // namespace
}  // namespace quor::core

namespace quor::core {

TEST(FaultTexts, FullStatusOfAFailedCallIsWritten) {
  CallException failed;
  failed.code = 0x002E;
  failed.status = static_cast<HRESULT>(0x8200002Eu);
  failed.description = com::Bstr(u"accessor broke");
  const com::Bstr fault = CQuorServiceUtils::MakeAccessorFault(failed);
  EXPECT_EQ(com::ReportStatus(CQuorServiceUtils::ParseFaultResult(fault), u"QuorServer"),
            static_cast<HRESULT>(0x8200002Eu));
  auto info = com::GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, u"accessor broke222");
}

}  // namespace quor::core
