// Base64 (standard alphabet, "=" padding, no line breaks): the one codec of
// the tree. Two decoders: a strict one for the files and blobs this system
// writes itself, and the lenient one the authentication texts are read with.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quor::text {

std::string Base64Encode(std::span<const uint8_t> bytes);

// Whole groups of four characters of the alphabet, "=" only as the last one
// or two characters; anything else (whitespace included) is refused.
std::optional<std::vector<uint8_t>> Base64DecodeStrict(std::string_view text);

// Never fails: floor(length / 4) groups of four characters give three bytes
// each, less one for each "=" in the last two places of the last group;
// characters beyond the last whole group are ignored. Character values:
// "a"-"z" 26-51, "A"-"Z" 0-25, "0"-"9" 52-61, "+" 62, "/" 63, tested in that
// order by range (a character at or above "a" counts its code minus 71, at
// or above "A" minus 65, at or above "0" plus 4); any other character counts 0.
std::vector<uint8_t> Base64DecodeLenient(std::string_view text);
std::vector<uint8_t> Base64DecodeLenient(std::u16string_view text);

}  // namespace quor::text
