#include "auth/util/codec.h"
#include "platform/text/base64.h"


namespace quor::auth::util {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

uint32_t HexValue(uint32_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return c & 0xFF;
}

template <typename Char>
Bytes HexDecodeT(std::basic_string_view<Char> text) {
  Bytes out;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    const uint32_t high = HexValue(static_cast<uint32_t>(text[i]));
    const uint32_t low = HexValue(static_cast<uint32_t>(text[i + 1]));
    out.push_back(static_cast<uint8_t>((high << 4) | low));
  }
  return out;
}

}  // namespace

std::string HexEncode(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out += kHexDigits[b >> 4];
    out += kHexDigits[b & 0xF];
  }
  return out;
}

Bytes HexDecode(std::string_view text) { return HexDecodeT(text); }
Bytes HexDecode(std::u16string_view text) { return HexDecodeT(text); }

std::string Base64Encode(std::span<const uint8_t> bytes) { return text::Base64Encode(bytes); }

Bytes Base64Decode(std::string_view text) { return text::Base64DecodeLenient(text); }
Bytes Base64Decode(std::u16string_view text) { return text::Base64DecodeLenient(text); }

std::u16string WidenAscii(std::string_view text) {
  std::u16string out(text.size(), u'\0');
  for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<unsigned char>(text[i]);
  return out;
}

}  // namespace quor::auth::util
