// Text codecs of the authentication service: every binary value inside the
// texts it exchanges is upper-case hex or standard Base64 with "=" padding.
//
// The decoders never fail: they take what they are given by the fixed rules
// below (as the peers that produce these texts expect), and a text that was
// not made by the encoder simply decodes to other bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quor::auth::util {

using Bytes = std::vector<uint8_t>;

// Two upper-case digits per byte, high nibble first.
std::string HexEncode(std::span<const uint8_t> bytes);
// floor(length / 2) bytes; each pair gives (high << 4) | low, where "0"-"9",
// "a"-"f" and "A"-"F" count as their digit value and any other character
// with its own low 8 bits. An odd last character is ignored.
Bytes HexDecode(std::string_view text);
Bytes HexDecode(std::u16string_view text);

// The tree's Base64 (platform/text/base64.h); decoding is its lenient decoder.
std::string Base64Encode(std::span<const uint8_t> bytes);
Bytes Base64Decode(std::string_view text);
Bytes Base64Decode(std::u16string_view text);

// ASCII text (what the encoders produce) as UTF-16, and back; characters
// outside ASCII do not occur in encoder output.
std::u16string WidenAscii(std::string_view text);

}  // namespace quor::auth::util
