// Status codes of the accessor's own failures: 0x82000000 plus n.
#pragma once

#include <cstdint>

namespace quor::accessor {

using Status = std::int32_t;

constexpr Status AccessorCode(std::uint32_t n) { return static_cast<Status>(0x82000000u + n); }

inline constexpr Status kOk = 0;
inline constexpr Status kConfigException = AccessorCode(0x03);     // exception while parsing config
inline constexpr Status kConfigInvalidRoot = AccessorCode(0x09);   // config has an invalid root tag
inline constexpr Status kQueryInvalid = AccessorCode(0x17);        // query argument is invalid
inline constexpr Status kFromTableMissing = AccessorCode(0x1A);
inline constexpr Status kUpdateTableMissing = AccessorCode(0x1B);
inline constexpr Status kIntoTableMissing = AccessorCode(0x1C);
inline constexpr Status kValuesMissing = AccessorCode(0x1D);
inline constexpr Status kSetMissing = AccessorCode(0x1E);
inline constexpr Status kUnsupportedTag = AccessorCode(0x1F);
inline constexpr Status kInvalidSql = AccessorCode(0x22);          // invalid as SQL statement
inline constexpr Status kGroupInvalid = AccessorCode(0x24);
inline constexpr Status kOrderInvalid = AccessorCode(0x25);
inline constexpr Status kOptionInvalid = AccessorCode(0x26);
inline constexpr Status kRowCountInvalid = AccessorCode(0x2D);

// The system's code for text that cannot be converted.
inline constexpr Status kErrorNoUnicodeTranslation = 1113;

}  // namespace quor::accessor
