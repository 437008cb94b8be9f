#include "auth/sealed.h"

#include "auth/config.h"
#include "auth/fail.h"
#include "auth/util/crypto.h"
#include "auth/util/error.h"
#include "platform/text/text.h"

namespace quor::auth {
namespace {

// The context, hash, signature key and secret key both directions need.
struct Sealer {
  util::CryptProvider provider;
  util::CryptHash hash;
  util::CryptKey signatureKey;
  util::CryptKey secret;

  static Result<Sealer> Open(std::span<const uint8_t> secretKeyBlob) {
    Sealer s;
    QUOR_RETURN_IF_ERROR(
        s.provider.AcquireContext(kServiceContainer, std::nullopt, crypt::PROV_RSA_FULL, crypt::CRYPT_MACHINE_KEYSET));
    QUOR_ASSIGN_OR_RETURN(s.hash, s.provider.CreateHash(crypt::CALG_SHA1));
    QUOR_ASSIGN_OR_RETURN(s.signatureKey, s.provider.GetSignatureKey());
    QUOR_ASSIGN_OR_RETURN(s.secret, s.provider.ImportKey(secretKeyBlob, 0, nullptr));
    return s;
  }
};

}  // namespace

Result<std::u16string> SealAndSign(std::u16string_view plain, std::span<const uint8_t> secretKeyBlob) {
  QUOR_ASSIGN_OR_RETURN(Sealer s, Sealer::Open(secretKeyBlob));
  std::string narrow = text::Narrow(plain);
  Bytes bytes(narrow.begin(), narrow.end());
  bytes.push_back(0);
  QUOR_ASSIGN_OR_RETURN(const Bytes sealed, s.secret.Encrypt(bytes, true, &s.hash));
  QUOR_RETURN_IF_ERROR(s.hash.HashSessionKey(s.secret));
  QUOR_ASSIGN_OR_RETURN(const Bytes signature, s.hash.SignHash(crypt::AT_SIGNATURE));
  return util::WidenAscii(util::Base64Encode(sealed) + ";" + util::Base64Encode(signature));
}

Result<std::u16string> OpenSigned(std::u16string_view text, std::span<const uint8_t> secretKeyBlob,
                                  std::string_view invalidText) {
  QUOR_ASSIGN_OR_RETURN(Sealer s, Sealer::Open(secretKeyBlob));
  auto [sealed, rest] = SplitText(text, u';');
  auto signature = SplitText(rest, u';').first;
  QUOR_ASSIGN_OR_RETURN(const Bytes plain, s.secret.Decrypt(util::Base64Decode(sealed), true, &s.hash));
  QUOR_RETURN_IF_ERROR(s.hash.HashSessionKey(s.secret));
  if (!s.hash.VerifySignature(util::Base64Decode(signature), s.signatureKey)) return Fail(E_FAIL, invalidText);
  size_t n = 0;
  while (n < plain.size() && plain[n] != 0) ++n;
  return text::Widen(std::string_view(reinterpret_cast<const char*>(plain.data()), n));
}

}  // namespace quor::auth
