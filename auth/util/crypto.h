// Owning wrappers of the cryptographic layer's handles whose failures
// (auth/util/error.h) carry the status of the failed call and the name of
// the call as the text, so that a caller's failure says which step failed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "auth/util/codec.h"
#include "platform/com/status.h"
#include "platform/crypt/crypt.h"

namespace quor::auth::util {

inline constexpr std::string_view kDefaultProvider = crypt::kBaseProvider;

class CryptHash;

class CryptKey {
 public:
  CryptKey() = default;
  explicit CryptKey(crypt::Key key) : key_(std::move(key)) {}
  CryptKey(CryptKey&&) noexcept = default;
  // Destroys the key held before.
  CryptKey& operator=(CryptKey&&) noexcept = default;

  bool IsSet() const { return key_.IsSet(); }
  crypt::Key& Get() { return key_; }
  const crypt::Key& Get() const { return key_; }

  // In bytes.
  Result<uint32_t> GetBlockLength() const;
  Result<Bytes> ExportKey(uint32_t blobType, const CryptKey* exportKey) const;
  // A run that is not final first rounds the data up to whole blocks with
  // zero bytes. With `hash`, the plain text is hashed too.
  Result<Bytes> Encrypt(std::span<const uint8_t> data, bool final, CryptHash* hash = nullptr);
  Result<Bytes> Decrypt(std::span<const uint8_t> data, bool final, CryptHash* hash = nullptr);

 private:
  crypt::Key key_;
};

class CryptHash {
 public:
  CryptHash() = default;
  explicit CryptHash(crypt::Hash hash) : hash_(std::move(hash)) {}
  CryptHash(CryptHash&&) noexcept = default;
  CryptHash& operator=(CryptHash&&) noexcept = default;

  bool IsSet() const { return hash_.IsSet(); }
  crypt::Hash& Get() { return hash_; }

  Status HashData(std::span<const uint8_t> bytes);
  Status HashSessionKey(const CryptKey& key);
  Result<Bytes> GetHashValue();
  Result<Bytes> SignHash(uint32_t keySpec);
  // True when the signature matches; fails never.
  bool VerifySignature(std::span<const uint8_t> signature, const CryptKey& key) noexcept;

 private:
  crypt::Hash hash_;
};

class CryptProvider {
 public:
  CryptProvider() = default;
  CryptProvider(CryptProvider&&) noexcept = default;
  // Releases the context held before.
  CryptProvider& operator=(CryptProvider&&) noexcept = default;

  bool IsOpen() const { return provider_.IsOpen(); }
  crypt::Provider& Get() { return provider_; }

  // An absent provider is the base provider, and then type 0 is
  // PROV_RSA_FULL. When the container does not exist the call is repeated
  // once with CRYPT_NEWKEYSET; should another caller create it in between,
  // the container is then opened as it is.
  Status AcquireContext(std::optional<std::string_view> container, std::optional<std::string_view> provider,
                        uint32_t type, uint32_t flags);
  // Deletes a container; NTE_BAD_KEYSET (no such container) is a failure
  // that leaves no error information.
  static Status DeleteKeySet(std::optional<std::string_view> container, std::optional<std::string_view> provider,
                              uint32_t type, uint32_t flags);

  Result<std::string> GetProvName() const;
  Result<uint32_t> GetProvType() const;
  Result<Bytes> GenRandom(size_t n) const;
  Result<CryptKey> GenKey(uint32_t alg, uint32_t flags) const;
  Result<CryptKey> DeriveKey(uint32_t alg, CryptHash& hash, uint32_t flags) const;
  // The container's key pair, made when it has none.
  Result<CryptKey> GetExchangeKey() const;
  Result<CryptKey> GetSignatureKey() const;
  Result<CryptKey> ImportKey(std::span<const uint8_t> blob, uint32_t flags, const CryptKey* importKey) const;
  Result<CryptHash> CreateHash(uint32_t alg, const CryptKey* key = nullptr) const;

 private:
  crypt::Provider provider_;
};

}  // namespace quor::auth::util
