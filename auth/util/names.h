// The name tables that turn a token scheme's words into the numbers of the
// cryptographic layer. Names compare without case; an unknown name gives 0.
#pragma once

#include <cstdint>
#include <string_view>

namespace quor::auth::util {

// "PROV_RSA_FULL" -> 1 and the other provider types of the platform.
uint32_t ProvTypeFromName(std::u16string_view name);
uint32_t ProvTypeFromName(std::string_view name);

// "CALG_RC2" -> 0x6602, "CALG_SHA1" (and "CALG_SHA") -> 0x8004 and the other
// algorithm identifiers of the platform. "ALG_SID_SSL3SHAMD5" gives the bare
// sub-identifier 8. The SHA-2 names are here too, for schemes that ask for a
// stronger hash than the default.
uint32_t AlgIdFromName(std::u16string_view name);
uint32_t AlgIdFromName(std::string_view name);

}  // namespace quor::auth::util
