#include "auth/util/error.h"

#include "platform/com/classstore.h"
#include "platform/crypt/crypt.h"
#include "platform/text/language.h"
#include "platform/text/text.h"

namespace quor::auth::util {
namespace {

// The module's message table. Each text is a first line and detail lines of
// a tab, a label, a tab and an insert, every line ending in CR LF.
struct Message {
  uint32_t code;
  std::u16string_view english;
  std::u16string_view japanese;
};

#define QUOR_PARSE_DETAILS_EN u"\tcode:\t%1!#08x!\r\n\tline:\t%2!lu!\r\n\tcolumn:\t%3!lu!\r\n\treason:\t%4!s!\r\n"
#define QUOR_PARSE_DETAILS_JA \
  u"\tコード:\t%1!#08x!\r\n\t  行  :\t%2!lu!\r\n\t 位置 :\t%3!lu!\r\n\t 詳細 :\t%4!s!\r\n"

constexpr Message kMessages[] = {
    {0x00040200, u"%1\r\n", u"%1\r\n"},
    {0x80040200, u"%1\r\n", u"%1\r\n"},
    {0x80040201, u"Failed to opend the registry.\r\n\tkey:\t%2\r\n\tdetail\t%1\r\n",
     u"レジストリーのオープンに失敗しました。\r\n\tキー:\t%1\r\n\t詳細:\t%2\r\n"},
    {0x80040202, u"Failed to read the registry.\r\n\tkey:\t%1\r\n\tname:\t%2\r\n\tdetail\t%3\r\n",
     u"レジストリーの読み込みに失敗しました。\r\n\tキー:\t%1\r\n\t名前:\t%2\r\n\t詳細:\t%3\r\n"},
    {0x80040203, u"Failed to canonicalize path of the style sheet.\r\n\tpath:\t%1\r\n",
     u"スタイルシートファイルへのパスの正規化に失敗しました。\r\n\tパス:\t%1\r\n"},
    {0x80040204, u"Forbidden style sheet.\r\n\tpath:\t%1\r\n",
     u"指定されたスタイルシートの使用は許されません。\r\n\tパス:\t%1\r\n"},
    {0x80040205, u"Path not found.\r\n\tpath:\t%1\r\n", u"指定されたパスが見つかりません。\r\n\tパス:\t%1\r\n"},
    {0x80040206, u"File not found.\r\n\tpath:\t%1\r\n", u"指定されたファイルが見つかりません。\r\n\tパス:\t%1\r\n"},
    {0x80040207, u"Missing tag.\r\n\ttag name:\t%1\r\n", u"タグが見つかりません。\r\n\tタグ名:\t%1\r\n"},
    {0x80040208, u"XSLT feature is unavailable.\r\n", u"XSLT機能が無効です。\r\n"},
    {0x80040209, u"Failed to parse the conversion source.\r\n" QUOR_PARSE_DETAILS_EN,
     u"変換元のパーズに失敗しました。\r\n" QUOR_PARSE_DETAILS_JA},
    {0x8004020A, u"Failed to parse the parameter.\r\n" QUOR_PARSE_DETAILS_EN,
     u"パラメーターのパーズに失敗しました。\r\n" QUOR_PARSE_DETAILS_JA},
    {0x8004020B, u"Failed to parse the stylesheet.\r\n" QUOR_PARSE_DETAILS_EN,
     u"スタイルシートのパーズに失敗しました。\r\n" QUOR_PARSE_DETAILS_JA},
    {0x8004020C, u"Failed to parse the transformed result.\r\n" QUOR_PARSE_DETAILS_EN,
     u"変換結果のパーズに失敗しました。\r\n" QUOR_PARSE_DETAILS_JA},
    {0x8004020D, u"Failure to compile style sheet.\r\n\treason:\t%1\r\n",
     u"スタイルシートにエラーがあります。\r\n\t 詳細 :\t%1\r\n"},
    {0x8004020E, u"Failed to transform.\r\n", u"変換に失敗しました。\r\n"},
};

#undef QUOR_PARSE_DETAILS_EN
#undef QUOR_PARSE_DETAILS_JA

// The platform's texts of the system errors this service passes on.
struct SystemMessage {
  uint32_t error;
  std::string_view text;
};
constexpr SystemMessage kSystemMessages[] = {
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {14, "Not enough storage is available to complete this operation."},
    {87, "The parameter is incorrect."},
    {234, "More data is available."},
    {1009, "The configuration registry database is corrupt."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1629, "The data supplied is of the wrong type."},
};

std::u16string Widen(std::string_view s) { return text::Widen(s); }

// The text of an insert under a format ("" for the plain form).
std::u16string FormatInsert(const Insert& insert, std::u16string_view format) {
  if (const auto* textInsert = std::get_if<std::u16string>(&insert)) return *textInsert;
  const uint64_t value = std::get<uint64_t>(insert);
  if (format == u"#08x") {
    // As printf's "%#08x": "0x" counts in the width, and zero has no prefix.
    if (value == 0) return u"00000000";
    std::string digits = text::Format("%x", value);
    std::string out = "0x";
    if (digits.size() + 2 < 8) out.append(8 - 2 - digits.size(), '0');
    return Widen(out + digits);
  }
  return Widen(text::Format("%u", value));
}

std::u16string Substitute(std::u16string_view pattern, std::span<const Insert> inserts) {
  std::u16string out;
  size_t i = 0;
  while (i < pattern.size()) {
    if (pattern[i] != u'%' || i + 1 >= pattern.size() || pattern[i + 1] < u'1' || pattern[i + 1] > u'9') {
      out += pattern[i++];
      continue;
    }
    size_t j = i + 1;
    size_t number = 0;
    while (j < pattern.size() && pattern[j] >= u'0' && pattern[j] <= u'9' && number < 100)
      number = number * 10 + static_cast<size_t>(pattern[j++] - u'0');
    std::u16string_view format;
    size_t end = j;
    if (j < pattern.size() && pattern[j] == u'!') {
      size_t close = pattern.find(u'!', j + 1);
      if (close != std::u16string_view::npos) {
        format = pattern.substr(j + 1, close - j - 1);
        end = close + 1;
      }
    }
    if (number >= 1 && number <= inserts.size())
      out += FormatInsert(inserts[number - 1], format);
    else
      out += pattern.substr(i, end - i);
    i = end;
  }
  return out;
}

std::u16string SystemText(HRESULT code) {
  std::string found = crypt::ErrorText(code);
  if (found.empty()) {
    const uint32_t u = static_cast<uint32_t>(code);
    uint32_t error = 0;
    if (code > 0)
      error = u;
    else if (HRESULT_FACILITY(code) == FACILITY_WIN32)
      error = HRESULT_CODE(code);
    for (const SystemMessage& m : kSystemMessages)
      if (error != 0 && m.error == error) found = m.text;
  }
  if (found.empty() && code < 0) {
    std::string generic = com::HResultText(code);
    if (generic != text::Format("Error 0x%08X", static_cast<uint32_t>(code))) found = generic;
  }
  return Widen(found);
}

com::Bstr SourceOf(const com::Guid& clsid) {
  if (clsid.IsNull()) return {};
  com::Bstr progId;
  if (FAILED(com::ProgIDFromCLSID(clsid, progId))) return {};
  return progId;
}

}  // namespace

uint32_t MessageLanguage() { return text::ProcessLanguage() == text::Language::Japanese ? 1041 : 1033; }

std::u16string FormatErrorText(HRESULT code, std::span<const Insert> inserts) {
  std::u16string out;
  if (HRESULT_FACILITY(code) == FACILITY_ITF) {
    for (const Message& m : kMessages)
      if (m.code == static_cast<uint32_t>(code)) out = Substitute(MessageLanguage() == 1041 ? m.japanese : m.english, inserts);
  } else {
    out = SystemText(code);
  }
  if (!out.empty() && out.back() == u'\n') {
    out.pop_back();
    if (!out.empty() && out.back() == u'\r') out.pop_back();
  }
  return out;
}

Status Fail(const ErrorRecord& record, std::span<const Insert> inserts) {
  const HRESULT code = record.code == 0 ? E_FAIL : StatusFromSystemError(record.code);
  com::ErrorInfo info;
  info.iid = HRESULT_FACILITY(code) == FACILITY_ITF ? record.iid : com::GUID_NULL;
  info.source = SourceOf(record.clsid);
  info.description = record.text ? com::Bstr(*record.text) : com::Bstr(FormatErrorText(code, inserts));
  info.code = code;
  Status failure(code, info.description.ToUtf8());
  com::SetErrorInfo(std::move(info));
  return failure;
}

Status Fail(HRESULT code, std::string_view text, std::source_location where) {
  return Fail(code, com::GUID_NULL, text, where);
}

Status Fail(HRESULT code, const com::Guid& clsid, std::string_view text, std::source_location where) {
  ErrorRecord record;
  record.clsid = clsid;
  record.code = code;
  if (!text.empty()) record.text = text::Widen(text);
  record.where = where;
  return Fail(record);
}

HRESULT StatusFromSystemError(int64_t value) {
  if (value <= 0) return static_cast<HRESULT>(value);
  return static_cast<HRESULT>(0x80070000u | (static_cast<uint32_t>(value) & 0xFFFF));
}

HRESULT ReportFailure(const Status& status, std::u16string_view source, const com::Guid& iid) {
  const HRESULT code = status.code();
  std::optional<com::ErrorInfo> info = com::GetErrorInfo();
  if (!info || info->code != code) {
    if (status.message().empty()) {
      // A plain refusal: whatever information there was stays as it was.
      if (info) com::SetErrorInfo(std::move(*info));
      return code;
    }
    info = com::ErrorInfo{};
    info->iid = iid;
    info->code = code;
    info->description = com::Bstr::FromUtf8(status.message());
  }
  if (info->source.Empty()) info->source = com::Bstr(source);
  com::SetErrorInfo(std::move(*info));
  return code;
}

HRESULT Reworded(HRESULT hr, std::u16string_view source, const com::Guid& iid) {
  std::optional<com::ErrorInfo> info = com::GetErrorInfo();
  if (hr == E_OUTOFMEMORY && (!info || info->code != E_OUTOFMEMORY)) {
    // An allocation failure the net caught sets no information.
    com::SetErrorInfo({iid, com::Bstr(source), com::Bstr(FormatErrorText(E_OUTOFMEMORY)), E_OUTOFMEMORY, {}, 0});
    return E_OUTOFMEMORY;
  }
  if (!info) return hr;
  if (info->source == kCaughtAtEdge) {
    const HRESULT code = info->code == 0 ? E_FAIL : info->code;
    if (info->description == com::Bstr::FromUtf8(com::HResultText(info->code)))
      info->description = com::Bstr(FormatErrorText(code));
    info->source = com::Bstr(source);
    info->code = code;
    hr = code;
  }
  com::SetErrorInfo(std::move(*info));
  return hr;
}

}  // namespace quor::auth::util
