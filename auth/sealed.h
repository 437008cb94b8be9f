// Sealed and signed texts: what tickets and verifiers are made of.
//
// Text: Base64(C) ";" Base64(S). C is the plain text in the narrow code page
// plus one zero byte, encrypted in one final run with the server's secret key
// while it is hashed (SHA-1); the secret key is then hashed too, and S is the
// signature of that hash with the signature key of the machine container
// kServiceContainer. Only the process that holds the secret key can open or
// make one.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "platform/com/status.h"

namespace quor::auth {

Result<std::u16string> SealAndSign(std::u16string_view plain, std::span<const uint8_t> secretKeyBlob);

// The plain text (read up to its first zero byte, within its length). A
// decryption failure fails with the crypto error ("CryptDecrypt"); a
// signature that does not match with E_FAIL and `invalidText`. Anything
// after a second ";" is ignored.
Result<std::u16string> OpenSigned(std::u16string_view text, std::span<const uint8_t> secretKeyBlob,
                          std::string_view invalidText);

}  // namespace quor::auth
