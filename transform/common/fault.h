// The transformers' failure codes, their texts and the fault document that
// stands in for a result when a conversion fails.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "platform/com/hresult.h"

namespace quor::transform {

// The conversions' own failure codes.
inline constexpr HRESULT kInvalidSource = static_cast<HRESULT>(0x88000001u);  // not a response document
inline constexpr HRESULT kNoSourceDocument = static_cast<HRESULT>(0x88000002u);
inline constexpr HRESULT kNoRecordNode = static_cast<HRESULT>(0x88000003u);
inline constexpr HRESULT kNoTableNode = static_cast<HRESULT>(0x88000004u);

// One entry of a library's string table.
struct StringEntry {
  unsigned id;
  std::string_view text;
};

// What a library puts into its fault documents.
struct FaultSource {
  std::string_view actor;               // the "faultactor" text
  std::span<const StringEntry> strings;  // the library's string table
};

// The description of `code`: the string at (low 16 bits + 100) of the
// table, but only for the transformers' own codes; anything else (a parser
// or memory failure) has no text of ours and gets none.
std::string_view Description(HRESULT code, std::span<const StringEntry> strings);

// "<fault><faultactor>..</faultactor><detail><ErrorInfo><number>..</number>
// <description>..</description></ErrorInfo></detail></fault>", the number
// signed decimal.
std::string FaultDocument(const FaultSource& source, HRESULT code);

}  // namespace quor::transform
