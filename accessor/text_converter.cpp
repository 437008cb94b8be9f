#include "accessor/text_converter.h"

#include "platform/text/text.h"

namespace quor::accessor {
namespace {

enum class Charset { Utf8, ShiftJis, EucJp, Other };

Charset CharsetOf(const std::optional<std::string>& encoding) {
  if (!encoding || encoding->empty()) return Charset::Utf8;
  const std::string& name = *encoding;
  if (text::EqualsNoCase(name, "EUC_JP") || text::EqualsNoCase(name, "EUC-JP")) return Charset::EucJp;
  if (text::EqualsNoCase(name, "SJIS") || text::EqualsNoCase(name, "Shift_JIS")) return Charset::ShiftJis;
  if (text::EqualsNoCase(name, "UTF-8") || text::EqualsNoCase(name, "UTF8")) return Charset::Utf8;
  return Charset::Other;
}

// Shift_JIS as the Windows code page 932, whose vendor rows (circled
// numbers, Roman numerals...) Japanese databases hold.
constexpr std::string_view kShiftJis = "CP932";

void AppendDecoded(std::u16string& out, std::string_view bytes, std::string_view charset) {
  if (bytes.empty()) return;
  std::string utf8;
  out += text::DecodeToUtf8(bytes, charset, utf8) ? text::Widen(utf8) : text::Widen(bytes);
}

bool IsEucByte(unsigned char c) { return c >= 0xA1 && c <= 0xFE; }

// EUC-JP is rewritten to Shift_JIS by JIS row and cell, then read as
// Shift_JIS. JIS X 0212 (three bytes after 0x8F) has no Shift_JIS form and
// is read as EUC-JP; a byte that starts no character becomes U+FFFD; an
// incomplete character at the end ends the text.
std::u16string DecodeEucJp(std::string_view in) {
  std::u16string out;
  std::string sjis;
  sjis.reserve(in.size());
  auto flush = [&] {
    AppendDecoded(out, sjis, kShiftJis);
    sjis.clear();
  };
  for (std::size_t i = 0; i < in.size();) {
    const auto c = static_cast<unsigned char>(in[i]);
    const std::size_t left = in.size() - i;
    if (c < 0x80) {
      sjis += static_cast<char>(c);
      ++i;
    } else if (c == 0x8E) {
      // Single shift 2: a half-width katakana, one byte in Shift_JIS.
      if (left < 2) break;
      const auto kana = static_cast<unsigned char>(in[i + 1]);
      if (kana >= 0xA1 && kana <= 0xDF) {
        sjis += static_cast<char>(kana);
        i += 2;
      } else {
        flush();
        out += u'\uFFFD';
        ++i;
      }
    } else if (c == 0x8F) {
      if (left < 3) break;
      flush();
      if (IsEucByte(static_cast<unsigned char>(in[i + 1])) && IsEucByte(static_cast<unsigned char>(in[i + 2]))) {
        AppendDecoded(out, in.substr(i, 3), "EUC-JP");
        i += 3;
      } else {
        out += u'\uFFFD';
        ++i;
      }
    } else if (IsEucByte(c)) {
      if (left < 2) break;
      const auto second = static_cast<unsigned char>(in[i + 1]);
      if (!IsEucByte(second)) {
        flush();
        out += u'\uFFFD';
        ++i;
        continue;
      }
      const unsigned row = c & 0x7F, cell = second & 0x7F;
      sjis += static_cast<char>(((row - 0x21) >> 1) + (row < 0x5F ? 0x81 : 0xC1));
      unsigned trail = cell + ((row & 1) ? 0x1F : 0x7D);
      if (trail >= 0x7F) ++trail;
      sjis += static_cast<char>(trail);
      i += 2;
    } else {
      flush();
      out += u'\uFFFD';
      ++i;
    }
  }
  flush();
  return out;
}

}  // namespace

void TextConverter::SetEncoding(std::optional<std::string_view> name) {
  if (name) encoding_ = std::string(*name);
  else encoding_.reset();
}

std::u16string TextConverter::Decode(std::string_view bytes) const {
  std::u16string out;
  switch (CharsetOf(encoding_)) {
    case Charset::Utf8: return text::Widen(bytes);
    case Charset::ShiftJis: AppendDecoded(out, bytes, kShiftJis); return out;
    case Charset::EucJp: return DecodeEucJp(bytes);
    case Charset::Other: AppendDecoded(out, bytes, *encoding_); return out;
  }
  return out;
}

}  // namespace quor::accessor
