#include "platform/text/base64.h"

namespace quor::text {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint32_t LenientValue(uint32_t c) {
  if (c >= 'a') return c - 71;
  if (c >= 'A') return c - 65;
  if (c >= '0') return c + 4;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;
}

int StrictValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

template <typename Char>
std::vector<uint8_t> Lenient(std::basic_string_view<Char> text) {
  const size_t groups = text.size() / 4;
  size_t length = groups * 3;
  if (text.size() >= 4) {
    const size_t last = groups * 4;
    if (text[last - 1] == Char('=')) --length;
    if (text[last - 2] == Char('=')) --length;
  }
  std::vector<uint8_t> out;
  out.reserve(groups * 3);
  for (size_t g = 0; g < groups; ++g) {
    const uint32_t a = LenientValue(static_cast<uint32_t>(text[4 * g]));
    const uint32_t b = LenientValue(static_cast<uint32_t>(text[4 * g + 1]));
    const uint32_t c = LenientValue(static_cast<uint32_t>(text[4 * g + 2]));
    const uint32_t d = LenientValue(static_cast<uint32_t>(text[4 * g + 3]));
    out.push_back(static_cast<uint8_t>((a << 2) | (b >> 4)));
    out.push_back(static_cast<uint8_t>((b << 4) | (c >> 2)));
    out.push_back(static_cast<uint8_t>((c << 6) | d));
  }
  out.resize(length);
  return out;
}

}  // namespace

std::string Base64Encode(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = static_cast<uint32_t>(bytes[i]) << 16 | static_cast<uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (bytes.size() - i == 1) {
    const uint32_t v = static_cast<uint32_t>(bytes[i]) << 16;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (bytes.size() - i == 2) {
    const uint32_t v = static_cast<uint32_t>(bytes[i]) << 16 | static_cast<uint32_t>(bytes[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::optional<std::vector<uint8_t>> Base64DecodeStrict(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t pad = 0;
  if (!text.empty() && text.back() == '=') ++pad;
  if (text.size() >= 2 && text[text.size() - 2] == '=') {
    if (pad == 0) return std::nullopt;  // "x=" followed by a character
    ++pad;
  }
  std::vector<uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  for (size_t g = 0; g < text.size(); g += 4) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      const size_t at = g + k;
      const bool padding = at >= text.size() - pad;
      const int value = padding ? 0 : StrictValue(text[at]);
      if (value < 0) return std::nullopt;
      v = (v << 6) | static_cast<uint32_t>(value);
    }
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
  }
  out.resize(out.size() - pad);
  return out;
}

std::vector<uint8_t> Base64DecodeLenient(std::string_view text) { return Lenient(text); }
std::vector<uint8_t> Base64DecodeLenient(std::u16string_view text) { return Lenient(text); }

}  // namespace quor::text
