// Globally unique identifiers of classes and interfaces.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quor::com {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  std::array<uint8_t, 8> data4{};

  // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", braces optional, any case.
  static constexpr std::optional<Guid> Parse(std::string_view text);
  // For constants: a malformed literal does not compile.
  static consteval Guid Literal(std::string_view text) {
    auto g = Parse(text);
    if (!g) throw "malformed GUID literal";
    return *g;
  }
  // Upper case with braces, as the registry stores it.
  std::string Format() const;
  std::u16string FormatWide() const;
  constexpr bool IsNull() const { return *this == Guid{}; }

  constexpr bool operator==(const Guid&) const = default;
};

using IID = Guid;
using CLSID = Guid;

constexpr Guid GUID_NULL{};

constexpr std::optional<Guid> Guid::Parse(std::string_view text) {
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return std::nullopt;
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  uint8_t bytes[16] = {};
  size_t b = 0;
  for (size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int hi = hex(text[i]), lo = hex(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[b++] = static_cast<uint8_t>(hi * 16 + lo);
    i += 2;
  }
  Guid g;
  g.data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
            static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  g.data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  g.data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  for (size_t i = 0; i < 8; ++i) g.data4[i] = bytes[8 + i];
  return g;
}

struct GuidHash {
  size_t operator()(const Guid& g) const noexcept {
    uint64_t a = static_cast<uint64_t>(g.data1) << 32 | static_cast<uint64_t>(g.data2) << 16 | g.data3;
    uint64_t b = 0;
    for (uint8_t x : g.data4) b = b << 8 | x;
    return std::hash<uint64_t>{}(a ^ (b * 0x9E3779B97F4A7C15ull));
  }
};

}  // namespace quor::com

template <>
struct std::hash<quor::com::Guid> : quor::com::GuidHash {};
