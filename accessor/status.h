// The accessor's own failure codes, 0x82000000 plus n. Failures travel as
// quor::Status with these codes (or a data source's HRESULT); they become the
// component's answers only at its edge.
#pragma once

#include <cstdint>

#include "platform/com/status.h"

namespace quor::accessor {

constexpr HRESULT AccessorCode(std::uint32_t n) { return static_cast<HRESULT>(0x82000000u + n); }

inline constexpr HRESULT kConfigException = AccessorCode(0x03);     // exception while parsing config
inline constexpr HRESULT kConfigInvalidRoot = AccessorCode(0x09);   // config has an invalid root tag
inline constexpr HRESULT kQueryInvalid = AccessorCode(0x17);        // query argument is invalid
inline constexpr HRESULT kFromTableMissing = AccessorCode(0x1A);
inline constexpr HRESULT kUpdateTableMissing = AccessorCode(0x1B);
inline constexpr HRESULT kIntoTableMissing = AccessorCode(0x1C);
inline constexpr HRESULT kValuesMissing = AccessorCode(0x1D);
inline constexpr HRESULT kSetMissing = AccessorCode(0x1E);
inline constexpr HRESULT kUnsupportedTag = AccessorCode(0x1F);
inline constexpr HRESULT kInvalidSql = AccessorCode(0x22);          // invalid as SQL statement
inline constexpr HRESULT kGroupInvalid = AccessorCode(0x24);
inline constexpr HRESULT kOrderInvalid = AccessorCode(0x25);
inline constexpr HRESULT kOptionInvalid = AccessorCode(0x26);
inline constexpr HRESULT kSetInvalid = AccessorCode(0x2B);          // the set text cannot be assigned
inline constexpr HRESULT kValueInvalid = AccessorCode(0x2C);        // the values text cannot be assigned
inline constexpr HRESULT kRowCountInvalid = AccessorCode(0x2D);

// The system's code for text that cannot be converted
// (ERROR_NO_UNICODE_TRANSLATION).
inline constexpr HRESULT kErrorNoUnicodeTranslation = HRESULT_FROM_WIN32(1113);

}  // namespace quor::accessor
