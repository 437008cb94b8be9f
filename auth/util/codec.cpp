#include "auth/util/codec.h"

namespace quor::auth::util {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

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

uint32_t Base64Value(uint32_t c) {
  if (c >= 'a') return c - 71;
  if (c >= 'A') return c - 65;
  if (c >= '0') return c + 4;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;
}

template <typename Char>
Bytes Base64DecodeT(std::basic_string_view<Char> text) {
  const size_t groups = text.size() / 4;
  size_t length = groups * 3;
  if (text.size() >= 4) {
    const size_t last = groups * 4;
    if (text[last - 1] == Char('=')) --length;
    if (text[last - 2] == Char('=')) --length;
  }
  Bytes out;
  out.reserve(groups * 3);
  for (size_t g = 0; g < groups; ++g) {
    const uint32_t a = Base64Value(static_cast<uint32_t>(text[4 * g]));
    const uint32_t b = Base64Value(static_cast<uint32_t>(text[4 * g + 1]));
    const uint32_t c = Base64Value(static_cast<uint32_t>(text[4 * g + 2]));
    const uint32_t d = Base64Value(static_cast<uint32_t>(text[4 * g + 3]));
    out.push_back(static_cast<uint8_t>((a << 2) | (b >> 4)));
    out.push_back(static_cast<uint8_t>((b << 4) | (c >> 2)));
    out.push_back(static_cast<uint8_t>((c << 6) | d));
  }
  out.resize(length);
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

std::string Base64Encode(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = static_cast<uint32_t>(bytes[i]) << 16 | static_cast<uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += kBase64[(v >> 6) & 63];
    out += kBase64[v & 63];
  }
  if (bytes.size() - i == 1) {
    const uint32_t v = static_cast<uint32_t>(bytes[i]) << 16;
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += "==";
  } else if (bytes.size() - i == 2) {
    const uint32_t v = static_cast<uint32_t>(bytes[i]) << 16 | static_cast<uint32_t>(bytes[i + 1]) << 8;
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += kBase64[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

Bytes Base64Decode(std::string_view text) { return Base64DecodeT(text); }
Bytes Base64Decode(std::u16string_view text) { return Base64DecodeT(text); }

std::u16string WidenAscii(std::string_view text) {
  std::u16string out(text.size(), u'\0');
  for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<unsigned char>(text[i]);
  return out;
}

}  // namespace quor::auth::util
