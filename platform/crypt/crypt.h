// The cryptographic services the authentication code uses: provider contexts
// with named key containers, random bytes, hashes, symmetric keys (RC2) with
// CBC encryption, RSA key pairs with signatures, and key export and import in
// blob layouts of our own. Built on OpenSSL 3 (its legacy provider supplies
// RC2) in a library context of its own, so the process's default OpenSSL
// set-up is left alone.
//
// Every call returns a status: S_OK or one of the NTE_ codes below (a file
// error becomes HRESULT_FROM_WIN32 of the platform's error number), as the
// callers were written to test them.
//
// Key containers. A container holds at most one key-exchange and one
// signature key pair (RSA, 2048 bits). It is a file with mode 0600 in the key
// folder (see KeyFolder), "machine/" for machine key sets and "user/<uid>/"
// for the user's, named after the container (characters other than letters,
// digits and ".-_@" written as %XX; a name too long for a file name is
// replaced by "~" and its SHA-256 in hex). The file is text:
//
//   QuorKeyContainer 1
//   exchange <Base64 of the DER RSA private key>
//   signature <Base64 of the DER RSA private key>
//
// with either key line absent while the container has no such key. Writers
// hold an exclusive lock on "<folder>/.lock" and replace the file atomically.
//
// Key blobs. Every blob starts with an 8-byte header: blob type (1 byte),
// version 2 (1 byte), two zero bytes, the key's algorithm (4 bytes,
// little-endian). After it:
//   PUBLICKEYBLOB  (6): the DER SubjectPublicKeyInfo of the RSA public key;
//   OPAQUEKEYBLOB  (9): key length (4 bytes, little-endian) and the key bytes,
//                       in the clear: such a blob must stay in memory;
//   SIMPLEBLOB     (1): the algorithm of the key it is wrapped under
//                       (CALG_RSA_KEYX, 4 bytes, little-endian), then the key
//                       bytes encrypted with RSA-OAEP (SHA-256, MGF1-SHA-256)
//                       under that key's public part.
//
// Symmetric keys are 128 bits. Encryption is CBC with a zero initial vector
// and PKCS#5 padding on the final block; a run that is not final carries its
// chaining value over to the next call on the same key.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/hresult.h"

namespace quor::crypt {

using AlgId = uint32_t;

// Algorithms.
inline constexpr AlgId CALG_MD5 = 0x8003;
inline constexpr AlgId CALG_SHA1 = 0x8004;
inline constexpr AlgId CALG_SHA_256 = 0x800C;
inline constexpr AlgId CALG_SHA_384 = 0x800D;
inline constexpr AlgId CALG_SHA_512 = 0x800E;
inline constexpr AlgId CALG_RC2 = 0x6602;
inline constexpr AlgId CALG_RSA_SIGN = 0x2400;
inline constexpr AlgId CALG_RSA_KEYX = 0xA400;

// Key specifications of a container's key pairs (also accepted by GenKey).
inline constexpr uint32_t AT_KEYEXCHANGE = 1;
inline constexpr uint32_t AT_SIGNATURE = 2;

// Provider types and names.
inline constexpr uint32_t PROV_RSA_FULL = 1;
inline constexpr std::string_view kBaseProvider = "Microsoft Base Cryptographic Provider v1.0";
inline constexpr std::string_view kEnhancedProvider = "Microsoft Enhanced Cryptographic Provider v1.0";
inline constexpr std::string_view kStrongProvider = "Microsoft Strong Cryptographic Provider";

// Context flags.
inline constexpr uint32_t CRYPT_VERIFYCONTEXT = 0xF0000000;
inline constexpr uint32_t CRYPT_NEWKEYSET = 0x8;
inline constexpr uint32_t CRYPT_DELETEKEYSET = 0x10;
inline constexpr uint32_t CRYPT_MACHINE_KEYSET = 0x20;
inline constexpr uint32_t CRYPT_SILENT = 0x40;

// Key flags (GenKey, DeriveKey, ImportKey). The upper 16 bits of GenKey's and
// DeriveKey's flags may give the key length in bits (0 for the default).
inline constexpr uint32_t CRYPT_EXPORTABLE = 0x1;

// Blob types.
inline constexpr uint32_t SIMPLEBLOB = 1;
inline constexpr uint32_t PUBLICKEYBLOB = 6;
inline constexpr uint32_t OPAQUEKEYBLOB = 9;

inline constexpr uint32_t kSymmetricKeyBits = 128;
inline constexpr uint32_t kRsaKeyBits = 2048;

#define QUOR_NTE(value) static_cast<HRESULT>(static_cast<uint32_t>(value))
inline constexpr HRESULT NTE_BAD_HASH = QUOR_NTE(0x80090002);
inline constexpr HRESULT NTE_BAD_KEY = QUOR_NTE(0x80090003);
inline constexpr HRESULT NTE_BAD_LEN = QUOR_NTE(0x80090004);
inline constexpr HRESULT NTE_BAD_DATA = QUOR_NTE(0x80090005);
inline constexpr HRESULT NTE_BAD_SIGNATURE = QUOR_NTE(0x80090006);
inline constexpr HRESULT NTE_BAD_VER = QUOR_NTE(0x80090007);
inline constexpr HRESULT NTE_BAD_ALGID = QUOR_NTE(0x80090008);
inline constexpr HRESULT NTE_BAD_FLAGS = QUOR_NTE(0x80090009);
inline constexpr HRESULT NTE_BAD_TYPE = QUOR_NTE(0x8009000A);
inline constexpr HRESULT NTE_BAD_KEY_STATE = QUOR_NTE(0x8009000B);
inline constexpr HRESULT NTE_BAD_HASH_STATE = QUOR_NTE(0x8009000C);
inline constexpr HRESULT NTE_NO_KEY = QUOR_NTE(0x8009000D);
inline constexpr HRESULT NTE_NO_MEMORY = QUOR_NTE(0x8009000E);
inline constexpr HRESULT NTE_EXISTS = QUOR_NTE(0x8009000F);
inline constexpr HRESULT NTE_BAD_PROV_TYPE = QUOR_NTE(0x80090014);
inline constexpr HRESULT NTE_BAD_PUBLIC_KEY = QUOR_NTE(0x80090015);
inline constexpr HRESULT NTE_BAD_KEYSET = QUOR_NTE(0x80090016);
inline constexpr HRESULT NTE_PROV_TYPE_NOT_DEF = QUOR_NTE(0x80090017);
inline constexpr HRESULT NTE_KEYSET_NOT_DEF = QUOR_NTE(0x80090019);
inline constexpr HRESULT NTE_KEYSET_ENTRY_BAD = QUOR_NTE(0x8009001A);
inline constexpr HRESULT NTE_PROV_TYPE_NO_MATCH = QUOR_NTE(0x8009001B);
inline constexpr HRESULT NTE_PROVIDER_DLL_FAIL = QUOR_NTE(0x8009001D);
inline constexpr HRESULT NTE_BAD_KEYSET_PARAM = QUOR_NTE(0x8009001F);
inline constexpr HRESULT NTE_FAIL = QUOR_NTE(0x80090020);
#undef QUOR_NTE

// An English text for the statuses above; empty for any other status.
std::string ErrorText(HRESULT status);

// The key folder: $QUOR_KEYDIR when set; else the registry value KeyDir
// under HKEY_LOCAL_MACHINE\SOFTWARE\Velt\QuorService; else the folder "keys"
// beside the registry file. Read on every acquisition.
std::filesystem::path KeyFolder();

// Comparison whose time depends on the lengths only, for digests, MACs and
// signatures.
bool EqualConstantTime(std::span<const uint8_t> a, std::span<const uint8_t> b);
bool EqualConstantTime(std::u16string_view a, std::u16string_view b);

// Overwrites a buffer in a way the compiler keeps.
void Cleanse(std::span<uint8_t> bytes);

class Key;
class Hash;
struct ProviderState;
struct KeyState;
struct HashState;

// A provider context. Keys and hashes made from it keep what they need of it,
// so they may outlive the context object.
class Provider {
 public:
  Provider();
  ~Provider();
  Provider(Provider&&) noexcept;
  Provider& operator=(Provider&&) noexcept;
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;

  // Opens a context. `container`: the key container's name; none (or empty)
  // is the user's default container, named after the user's login, or no
  // container at all with CRYPT_VERIFYCONTEXT, whose keys live in memory
  // only. `providerName` empty is the base provider; `type` must be
  // PROV_RSA_FULL. Without CRYPT_NEWKEYSET the container must exist
  // (NTE_BAD_KEYSET); with it, it must not (NTE_EXISTS) and is created.
  // CRYPT_DELETEKEYSET deletes the container instead (see DeleteKeySet) and
  // leaves `out` closed.
  static HRESULT Acquire(std::optional<std::string_view> container, std::string_view providerName, uint32_t type,
                         uint32_t flags, Provider& out);
  // Deletes a container: NTE_BAD_KEYSET when it does not exist.
  static HRESULT DeleteKeySet(std::optional<std::string_view> container, std::string_view providerName,
                              uint32_t type, uint32_t flags);

  bool IsOpen() const { return state_ != nullptr; }
  void Close();
  // The provider's name as the caller named it (the base provider's when
  // empty) and its type. Empty and 0 when closed.
  std::string Name() const;
  uint32_t Type() const;
  // The container's name; empty for a verification context.
  std::string Container() const;

  HRESULT GenRandom(std::span<uint8_t> out) const;
  // A new key: CALG_RC2 (a session key), or AT_KEYEXCHANGE / CALG_RSA_KEYX
  // and AT_SIGNATURE / CALG_RSA_SIGN (a container key pair, replacing the one
  // held and stored in the container).
  HRESULT GenKey(AlgId alg, uint32_t flags, Key& out) const;
  // A symmetric key made from the hash's value (which finishes the hash).
  HRESULT DeriveKey(AlgId alg, Hash& hash, uint32_t flags, Key& out) const;
  // The container's key pair of `keySpec`: NTE_NO_KEY when it has none,
  // unless `generateWhenMissing`, in which case one is made and stored (under
  // the container lock, so that concurrent callers end with the same key).
  HRESULT GetUserKey(uint32_t keySpec, Key& out, bool generateWhenMissing = false) const;
  // `importKey` unwraps a SIMPLEBLOB; without one the container's
  // key-exchange key does.
  HRESULT ImportKey(std::span<const uint8_t> blob, const Key* importKey, uint32_t flags, Key& out) const;
  // MD5, SHA-1 and SHA-2; `key` is for keyed hashes, of which there are
  // none here (NTE_BAD_KEY when given).
  HRESULT CreateHash(AlgId alg, const Key* key, Hash& out) const;

 private:
  std::shared_ptr<ProviderState> state_;
};

class Key {
 public:
  Key();
  ~Key();
  Key(Key&&) noexcept;
  Key& operator=(Key&&) noexcept;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  bool IsSet() const { return state_ != nullptr; }
  void Reset();
  AlgId Algorithm() const;
  // In bytes: 8 for RC2, 0 for an RSA key.
  HRESULT BlockLength(uint32_t& bytes) const;
  HRESULT Export(uint32_t blobType, const Key* exportKey, std::vector<uint8_t>& blob) const;
  // In place. A final run pads (encryption) or checks and removes the padding
  // (decryption; NTE_BAD_DATA when wrong); a run that is not final needs whole
  // blocks. With `hash`, the plain text is hashed too.
  HRESULT Encrypt(Hash* hash, bool final, std::vector<uint8_t>& data);
  HRESULT Decrypt(Hash* hash, bool final, std::vector<uint8_t>& data);

 private:
  friend class Provider;
  friend class Hash;
  std::unique_ptr<KeyState> state_;
};

class Hash {
 public:
  Hash();
  ~Hash();
  Hash(Hash&&) noexcept;
  Hash& operator=(Hash&&) noexcept;
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;

  bool IsSet() const { return state_ != nullptr; }
  void Reset();
  AlgId Algorithm() const;
  // NTE_BAD_HASH_STATE once the value has been read.
  HRESULT HashData(std::span<const uint8_t> data);
  // Hashes a symmetric key's bytes.
  HRESULT HashSessionKey(const Key& key);
  // Finishes the hash; later calls give the same value.
  HRESULT GetValue(std::vector<uint8_t>& value);
  // RSA PKCS#1 v1.5 signature of the value with the context's key of
  // `keySpec` (NTE_NO_KEY when the container has none).
  HRESULT Sign(uint32_t keySpec, std::vector<uint8_t>& signature);
  // S_OK, or NTE_BAD_SIGNATURE when the signature does not match.
  HRESULT Verify(std::span<const uint8_t> signature, const Key& publicKey);

 private:
  friend class Provider;
  friend class Key;
  std::unique_ptr<HashState> state_;
};

}  // namespace quor::crypt
