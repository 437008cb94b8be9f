#include "auth/util/crypto.h"

#include "auth/util/error.h"
#include "platform/base/win32_error.h"

namespace quor::auth::util {
namespace {

Status Check(HRESULT hr, std::string_view call) {
  if (hr != S_OK) return Fail(StatusFromSystemError(hr), call);
  return {};
}

Bytes RoundUp(std::span<const uint8_t> data, bool final, uint32_t block) {
  Bytes copy;
  copy.reserve(data.size() + block);
  copy.assign(data.begin(), data.end());
  if (!final && block != 0 && copy.size() % block != 0) copy.resize(copy.size() + block - copy.size() % block, 0);
  return copy;
}

}  // namespace

// ---- CryptKey ----------------------------------------------------------------------

Result<uint32_t> CryptKey::GetBlockLength() const {
  uint32_t bytes = 0;
  QUOR_RETURN_IF_ERROR(Check(key_.BlockLength(bytes), "CryptGetKeyParam"));
  return bytes;
}

Result<Bytes> CryptKey::ExportKey(uint32_t blobType, const CryptKey* exportKey) const {
  Bytes blob;
  QUOR_RETURN_IF_ERROR(Check(key_.Export(blobType, exportKey ? &exportKey->key_ : nullptr, blob), "CryptExportKey"));
  return blob;
}

Result<Bytes> CryptKey::Encrypt(std::span<const uint8_t> data, bool final, CryptHash* hash) {
  uint32_t block = 0;
  if (key_.IsSet()) (void)key_.BlockLength(block);
  Bytes buffer = RoundUp(data, final, block);
  QUOR_RETURN_IF_ERROR(Check(key_.Encrypt(hash ? &hash->Get() : nullptr, final, buffer), "CryptEncrypt"));
  return buffer;
}

Result<Bytes> CryptKey::Decrypt(std::span<const uint8_t> data, bool final, CryptHash* hash) {
  uint32_t block = 0;
  if (key_.IsSet()) (void)key_.BlockLength(block);
  Bytes buffer = RoundUp(data, final, block);
  QUOR_RETURN_IF_ERROR(Check(key_.Decrypt(hash ? &hash->Get() : nullptr, final, buffer), "CryptDecrypt"));
  return buffer;
}

// ---- CryptHash ---------------------------------------------------------------------

Status CryptHash::HashData(std::span<const uint8_t> bytes) { return Check(hash_.HashData(bytes), "CryptHashData"); }

Status CryptHash::HashSessionKey(const CryptKey& key) {
  return Check(hash_.HashSessionKey(key.Get()), "CryptHashSessionKey");
}

Result<Bytes> CryptHash::GetHashValue() {
  Bytes value;
  QUOR_RETURN_IF_ERROR(Check(hash_.GetValue(value), "CryptGetHashParam"));
  return value;
}

Result<Bytes> CryptHash::SignHash(uint32_t keySpec) {
  Bytes signature;
  QUOR_RETURN_IF_ERROR(Check(hash_.Sign(keySpec, signature), "CryptSignHash"));
  return signature;
}

bool CryptHash::VerifySignature(std::span<const uint8_t> signature, const CryptKey& key) noexcept {
  return hash_.Verify(signature, key.Get()) == S_OK;
}

// ---- CryptProvider -----------------------------------------------------------------

Status CryptProvider::AcquireContext(std::optional<std::string_view> container, std::optional<std::string_view> provider,
                                   uint32_t type, uint32_t flags) {
  std::string_view name = provider.value_or(kDefaultProvider);
  if (!provider && type == 0) type = crypt::PROV_RSA_FULL;
  crypt::Provider opened;
  HRESULT hr = crypt::Provider::Acquire(container, name, type, flags, opened);
  if (hr == crypt::NTE_BAD_KEYSET) {
    if (!(flags & crypt::CRYPT_NEWKEYSET)) {
      hr = crypt::Provider::Acquire(container, name, type, flags | crypt::CRYPT_NEWKEYSET, opened);
      if (hr == crypt::NTE_EXISTS) hr = crypt::Provider::Acquire(container, name, type, flags, opened);
    }
    QUOR_RETURN_IF_ERROR(Check(hr, "CryptAcquireContext(CRYPT_NEWKEYSET)"));
  } else {
    QUOR_RETURN_IF_ERROR(Check(hr, "CryptAcquireContext"));
  }
  provider_ = std::move(opened);
  return {};
}

Status CryptProvider::DeleteKeySet(std::optional<std::string_view> container,
                                   std::optional<std::string_view> provider, uint32_t type, uint32_t flags) {
  std::string_view name = provider.value_or(kDefaultProvider);
  if (!provider && type == 0) type = crypt::PROV_RSA_FULL;
  HRESULT hr = crypt::Provider::DeleteKeySet(container, name, type, flags | crypt::CRYPT_DELETEKEYSET);
  if (hr == crypt::NTE_BAD_KEYSET) return Status(hr);
  return Check(hr, "CryptAcquireContext(CRYPT_DELETEKEYSET)");
}

Result<std::string> CryptProvider::GetProvName() const {
  if (!provider_.IsOpen()) return Fail(HRESULT_FROM_WIN32(quor::ERROR_INVALID_HANDLE), "CryptGetProvParam(PP_NAME)");
  return provider_.Name();
}

Result<uint32_t> CryptProvider::GetProvType() const {
  if (!provider_.IsOpen()) return Fail(HRESULT_FROM_WIN32(quor::ERROR_INVALID_HANDLE), "CryptGetProvParam(PP_PROVTYPE)");
  return provider_.Type();
}

Result<Bytes> CryptProvider::GenRandom(size_t n) const {
  Bytes out(n);
  QUOR_RETURN_IF_ERROR(Check(provider_.GenRandom(out), "CryptGenRandom"));
  return out;
}

Result<CryptKey> CryptProvider::GenKey(uint32_t alg, uint32_t flags) const {
  crypt::Key key;
  QUOR_RETURN_IF_ERROR(Check(provider_.GenKey(alg, flags, key), "CryptGenKey()"));
  return CryptKey(std::move(key));
}

Result<CryptKey> CryptProvider::DeriveKey(uint32_t alg, CryptHash& hash, uint32_t flags) const {
  crypt::Key key;
  QUOR_RETURN_IF_ERROR(Check(provider_.DeriveKey(alg, hash.Get(), flags, key), "CryptDeriveKey"));
  return CryptKey(std::move(key));
}

Result<CryptKey> CryptProvider::GetExchangeKey() const {
  crypt::Key key;
  QUOR_RETURN_IF_ERROR(Check(provider_.GetUserKey(crypt::AT_KEYEXCHANGE, key, true), "CryptGetUserKey(AT_KEYEXCHANGE)"));
  return CryptKey(std::move(key));
}

Result<CryptKey> CryptProvider::GetSignatureKey() const {
  crypt::Key key;
  QUOR_RETURN_IF_ERROR(Check(provider_.GetUserKey(crypt::AT_SIGNATURE, key, true), "CryptGetUserKey(AT_SIGNATURE)"));
  return CryptKey(std::move(key));
}

Result<CryptKey> CryptProvider::ImportKey(std::span<const uint8_t> blob, uint32_t flags, const CryptKey* importKey) const {
  crypt::Key key;
  QUOR_RETURN_IF_ERROR(Check(provider_.ImportKey(blob, importKey ? &importKey->Get() : nullptr, flags, key), "CryptImportKey"));
  return CryptKey(std::move(key));
}

Result<CryptHash> CryptProvider::CreateHash(uint32_t alg, const CryptKey* key) const {
  crypt::Hash hash;
  QUOR_RETURN_IF_ERROR(Check(provider_.CreateHash(alg, key ? &key->Get() : nullptr, hash), "CryptCreateHash"));
  return CryptHash(std::move(hash));
}

}  // namespace quor::auth::util
