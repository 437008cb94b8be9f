#include "auth/sealed.h"

#include "auth/config.h"
#include "auth/raise.h"
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

  explicit Sealer(std::span<const uint8_t> secretKeyBlob) {
    provider.AcquireContext(kServiceContainer, std::nullopt, crypt::PROV_RSA_FULL, crypt::CRYPT_MACHINE_KEYSET);
    hash = provider.CreateHash(crypt::CALG_SHA1);
    signatureKey = provider.GetSignatureKey();
    secret = provider.ImportKey(secretKeyBlob, 0, nullptr);
  }
};

}  // namespace

std::u16string SealAndSign(std::u16string_view plain, std::span<const uint8_t> secretKeyBlob) {
  Sealer s(secretKeyBlob);
  std::string narrow = text::Narrow(plain);
  Bytes bytes(narrow.begin(), narrow.end());
  bytes.push_back(0);
  const Bytes sealed = s.secret.Encrypt(bytes, true, &s.hash);
  s.hash.HashSessionKey(s.secret);
  const Bytes signature = s.hash.SignHash(crypt::AT_SIGNATURE);
  return util::WidenAscii(util::Base64Encode(sealed) + ";" + util::Base64Encode(signature));
}

std::u16string OpenSigned(std::u16string_view text, std::span<const uint8_t> secretKeyBlob,
                          std::string_view invalidText) {
  Sealer s(secretKeyBlob);
  auto [sealed, rest] = SplitText(text, u';');
  auto signature = SplitText(rest, u';').first;
  const Bytes plain = s.secret.Decrypt(util::Base64Decode(sealed), true, &s.hash);
  s.hash.HashSessionKey(s.secret);
  if (!s.hash.VerifySignature(util::Base64Decode(signature), s.signatureKey)) Raise(E_FAIL, invalidText);
  size_t n = 0;
  while (n < plain.size() && plain[n] != 0) ++n;
  return text::Widen(std::string_view(reinterpret_cast<const char*>(plain.data()), n));
}

}  // namespace quor::auth
