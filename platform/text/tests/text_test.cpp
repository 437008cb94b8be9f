#include <gtest/gtest.h>

#include "platform/text/base64.h"
#include "platform/text/text.h"
#include "platform/text/url.h"

using namespace quor::text;

TEST(Utf, RoundTripsAllPlanes) {
  const std::string narrow = "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80z";  // a é 日 😀 z
  std::u16string wide;
  ASSERT_TRUE(Utf8ToUtf16(narrow, wide));
  EXPECT_EQ(wide, u"a\u00e9\u65e5\U0001F600z");
  EXPECT_EQ(wide.size(), 6u);  // the emoji is a surrogate pair
  std::string back;
  ASSERT_TRUE(Utf16ToUtf8(wide, back));
  EXPECT_EQ(back, narrow);
}

TEST(Utf, CutsEndOnWholeCharactersAndNeverComeOutEmpty) {
  const std::string text = "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80z";  // a é 日 😀 z
  const size_t expected[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10, 11, 11};
  for (size_t at = 0; at < std::size(expected); ++at) EXPECT_EQ(Utf8Cut(text, at), expected[at]) << at;
  // Continuation bytes alone: cut where asked rather than not at all.
  const std::string bad(10, '\x80');
  EXPECT_EQ(Utf8Cut(bad, 6), 6u);
  EXPECT_EQ(Utf8Cut("\xC3\xA9", 1), 1u);
}

TEST(Utf, StrictConversionsRejectInvalidSequencesAndKeepOutput) {
  std::u16string wide = u"kept";
  for (std::string_view bad : {std::string_view("\xC3"), std::string_view("\xC0\xAF"),  // truncated, overlong
                               std::string_view("\xED\xA0\x80"),                       // encoded surrogate
                               std::string_view("\xF4\x90\x80\x80"),                   // above U+10FFFF
                               std::string_view("ok\xFF")}) {
    EXPECT_FALSE(Utf8ToUtf16(bad, wide)) << bad;
    EXPECT_FALSE(IsValidUtf8(bad));
  }
  EXPECT_EQ(wide, u"kept");
  std::string narrow = "kept";
  EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, u'\xD800'), narrow));
  EXPECT_FALSE(Utf16ToUtf8(u"x\xDC00y", narrow));
  EXPECT_EQ(narrow, "kept");
}

TEST(Utf, LenientConversionsSubstitute) {
  EXPECT_EQ(Widen("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(Narrow(u"a\xD800" "b"), "a?b");
  EXPECT_EQ(Widen(""), u"");
}

TEST(Utf, LongTextsConvertAsCharacterByCharacter) {
  // Runs of ASCII go a word at a time: other characters at every offset
  // around a word's edge, and bad bytes among them.
  for (size_t at = 0; at < 20; ++at) {
    std::string narrow(at, 'a');
    narrow += "\xC3\xA9" + std::string(9, 'b') + "\xF0\x9F\x98\x80" + std::string(at % 7, 'c') + "\xE6\x97\xA5";
    std::u16string strict;
    ASSERT_TRUE(Utf8ToUtf16(narrow, strict));
    EXPECT_EQ(Widen(narrow), strict) << at;
    EXPECT_EQ(Narrow(strict), narrow) << at;
    EXPECT_EQ(Utf16Length(narrow), strict.size()) << at;
    const std::string bad = narrow + "\xFF" + std::string(at, 'd');
    EXPECT_FALSE(Utf16Length(bad));
    EXPECT_EQ(Widen(bad), strict + u"\uFFFD" + std::u16string(at, u'd'));
    EXPECT_EQ(Narrow(strict + u"\xDC00" + std::u16string(at, u'e')), narrow + "?" + std::string(at, 'e'));
  }
}

TEST(Charset, JapaneseEncodingsRoundTrip) {
  const std::string utf8 = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";  // 日本語
  const auto sjis = FromUtf8(utf8, "Shift_JIS");
  ASSERT_TRUE(sjis.ok()) << sjis.status().message();
  EXPECT_EQ(*sjis, "\x93\xFA\x96\x7B\x8C\xEA");
  auto back = ToUtf8(*sjis, "shift_jis");
  ASSERT_TRUE(back.ok()) << back.status().message();
  EXPECT_EQ(*back, utf8);
  const auto euc = FromUtf8(utf8, "EUC_JP");
  ASSERT_TRUE(euc.ok()) << euc.status().message();
  EXPECT_EQ(*euc, "\xC6\xFC\xCB\xDC\xB8\xEC");
  back = ToUtf8(*euc, "EUC-JP");
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, utf8);
}

TEST(Charset, ErrorsAreReported) {
  const auto cut = ToUtf8("\x93", "Shift_JIS");
  EXPECT_FALSE(cut.ok());
  EXPECT_NE(cut.status().message().find("byte 0"), std::string::npos) << cut.status().message();
  const auto unknown = ToUtf8("abc", "no-such-charset");
  EXPECT_FALSE(unknown.ok());
  EXPECT_NE(unknown.status().message().find("unsupported"), std::string::npos);
}

TEST(Charset, LenientDecodingReplacesBadBytesAndStopsAtACutCharacter) {
  std::string out;
  ASSERT_TRUE(DecodeToUtf8("a\x82\xA0\xFF" "b\x82", "SJIS", out));
  EXPECT_EQ(out, "a\xE3\x81\x82\xEF\xBF\xBD" "b");
  EXPECT_FALSE(DecodeToUtf8("abc", "no-such-charset", out));
}

TEST(NoCase, ComparesAsciiWithoutCase) {
  EXPECT_TRUE(EqualsNoCase("HomeDir", "HOMEDIR"));
  EXPECT_TRUE(EqualsNoCase(u"Config.XML", u"config.xml"));
  EXPECT_LT(CompareNoCase("abc", "ABD"), 0);
  EXPECT_LT(CompareNoCase("ab", "ABC"), 0);
  EXPECT_FALSE(EqualsNoCase("\xC3\xA9", "\xC3\x89"));  // only ASCII folds
  EXPECT_EQ(ToUpperAscii("a-Z\xC3\xA9"), "A-Z\xC3\xA9");
}

TEST(NoCase, PrefixesCompareWithoutCase) {
  EXPECT_TRUE(StartsWithNoCase("msdasql.1", "MSDASQL"));
  EXPECT_TRUE(StartsWithNoCase("ab", ""));
  EXPECT_FALSE(StartsWithNoCase("MSDAS", "MSDASQL"));
  EXPECT_FALSE(StartsWithNoCase("xMSDASQL", "MSDASQL"));
}

TEST(Format, PrintfSubsetWithTypedArguments) {
  EXPECT_EQ(Format("<root><resultCode>%d</resultCode></root>", -5), "<root><resultCode>-5</resultCode></root>");
  EXPECT_EQ(Format("[0x%X] %s", static_cast<int32_t>(0x81000004), "text"), "[0x81000004] text");
  EXPECT_EQ(Format("%02d/%02d/%04d %d:%d", 3, 7, 2026, 9, 5), "03/07/2026 9:5");
  EXPECT_EQ(Format("%S-%s", std::u16string(u"\u65e5"), std::string("n")), "\xE6\x97\xA5-n");
  EXPECT_EQ(Format("%-4s|%4s|%.2s", "ab", "cd", "xyz"), "ab  |  cd|xy");
  EXPECT_EQ(Format("100%% %u %x", 7u, 255), "100% 7 ff");
  EXPECT_EQ(Format("%.3f", 1.5), "1.500");
}

TEST(Format, UserTextIsNeverAPattern) {
  const std::string hostile = "%s%n%x%d";
  EXPECT_EQ(Format("%s", hostile), hostile);
  // Missing arguments and unknown conversions do not read past the list.
  EXPECT_EQ(Format("%d %s %q", 1), "1  %q");
}

TEST(Numbers, ParsingIsCheckedAndRanged) {
  EXPECT_EQ(ParseInt32(" 42 "), 42);
  EXPECT_EQ(ParseInt32("-2147483648"), INT32_MIN);
  EXPECT_FALSE(ParseInt32("2147483648"));
  EXPECT_FALSE(ParseInt32("12abc"));
  EXPECT_FALSE(ParseInt32(""));
  EXPECT_FALSE(ParseInt32("--1"));
  EXPECT_EQ(ParseUInt32("0xFFFFFFFF", 16), 0xFFFFFFFFu);
  EXPECT_FALSE(ParseUInt32("-1"));
  EXPECT_EQ(ParseInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(ParseUInt64("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(ParseDouble("2.5"), 2.5);
  EXPECT_FALSE(ParseDouble("1e999"));
  EXPECT_EQ(ScanInt32("  -17px"), -17);
  EXPECT_FALSE(ScanInt32("px"));
  EXPECT_FALSE(ScanInt32("99999999999"));
}

TEST(Helpers, DigitsAreOnlyAsciiDigitsAndNeverEmpty) {
  EXPECT_TRUE(IsAsciiDigits("0123456789"));
  EXPECT_TRUE(IsAsciiDigits(u"20260101123456789"));
  for (std::string_view other : {"", " 1", "1 ", "+1", "-1", "1a", "\xD9\xA1", "0x1"})
    EXPECT_FALSE(IsAsciiDigits(other)) << other;
  EXPECT_FALSE(IsAsciiDigits(u""));
  EXPECT_FALSE(IsAsciiDigits(u"\uFF11"));  // a full-width one
}

TEST(Helpers, SplitKeepsEmptyFields) {
  EXPECT_EQ(Split("a,,b,", ','), (std::vector<std::string>{"a", "", "b", ""}));
  EXPECT_EQ(Split("", ','), (std::vector<std::string>{""}));
}

TEST(Base64, StrictRoundTripsAndRefusesWhatTheEncoderNeverWrites) {
  for (size_t n = 0; n < 70; ++n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 37 + n);
    const std::string encoded = Base64Encode(bytes);
    EXPECT_EQ(Base64DecodeStrict(encoded), bytes) << encoded;
    EXPECT_EQ(Base64DecodeLenient(encoded), bytes) << encoded;
  }
  EXPECT_EQ(Base64Encode(std::vector<uint8_t>{'f', 'o', 'o', 'b'}), "Zm9vYg==");
  for (std::string_view bad : {"Zm9vYg=", "Zm9v\nYg==", "Zm=vYg==", "Zm9vY===", "Zm9vYg=A", "Zm9v Yg="})
    EXPECT_FALSE(Base64DecodeStrict(bad)) << bad;
}

TEST(Url, PartsHostsAndPorts) {
  const auto p = SplitUrl("http://[::1]:80/a?b/c");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->scheme, "http");
  EXPECT_EQ(p->authority, "[::1]:80");
  EXPECT_EQ(p->rest, "/a?b/c");
  EXPECT_EQ(SplitUrl("LDAP://host?x")->rest, "?x");
  EXPECT_FALSE(SplitUrl("host/path"));

  const auto v6 = SplitHostPort("[fe80::1]:8443");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->host, "fe80::1");
  EXPECT_EQ(v6->port, "8443");
  EXPECT_FALSE(SplitHostPort("[::1"));
  EXPECT_FALSE(SplitHostPort("[::1]x"));
  const auto bare = SplitHostPort("host:");
  ASSERT_TRUE(bare);
  EXPECT_TRUE(bare->hasPort);
  EXPECT_FALSE(ParsePort(bare->port));
  EXPECT_EQ(ParsePort("65535"), 65535);
  EXPECT_FALSE(ParsePort("65536"));
  EXPECT_FALSE(ParsePort("0"));
  EXPECT_FALSE(ParsePort("+80"));
}
