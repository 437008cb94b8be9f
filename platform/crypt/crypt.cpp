#include "platform/crypt/crypt.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/base/thread_annotations.h"
#include "platform/base/unique_fd.h"
#include "platform/base/win32_error.h"
#include "platform/fs/fs.h"
#include "platform/registry/registry.h"
#include "platform/text/base64.h"
#include "platform/text/text.h"

namespace quor::crypt {

// ---- The OpenSSL library context ------------------------------------------------

namespace {

struct Library {
  OSSL_LIB_CTX* ctx = nullptr;
  EVP_CIPHER* rc2 = nullptr;
  EVP_MD* md5 = nullptr;
  EVP_MD* sha1 = nullptr;
  EVP_MD* sha256 = nullptr;
  EVP_MD* sha384 = nullptr;
  EVP_MD* sha512 = nullptr;
  bool ok = false;
};

// Made once and kept for the life of the process: keys and hashes may be
// destroyed during exit, after any destructor of ours would have run.
const Library& Lib() {
  static const Library lib = [] {
    Library l;
    l.ctx = OSSL_LIB_CTX_new();
    if (!l.ctx) return l;
    if (!OSSL_PROVIDER_load(l.ctx, "default") || !OSSL_PROVIDER_load(l.ctx, "legacy")) return l;
    l.rc2 = EVP_CIPHER_fetch(l.ctx, "RC2-CBC", nullptr);
    l.md5 = EVP_MD_fetch(l.ctx, "MD5", nullptr);
    l.sha1 = EVP_MD_fetch(l.ctx, "SHA1", nullptr);
    l.sha256 = EVP_MD_fetch(l.ctx, "SHA2-256", nullptr);
    l.sha384 = EVP_MD_fetch(l.ctx, "SHA2-384", nullptr);
    l.sha512 = EVP_MD_fetch(l.ctx, "SHA2-512", nullptr);
    l.ok = l.rc2 && l.md5 && l.sha1 && l.sha256 && l.sha384 && l.sha512;
    return l;
  }();
  return lib;
}

const EVP_MD* DigestOf(AlgId alg) {
  const Library& lib = Lib();
  switch (alg) {
    case CALG_MD5: return lib.md5;
    case CALG_SHA1: return lib.sha1;
    case CALG_SHA_256: return lib.sha256;
    case CALG_SHA_384: return lib.sha384;
    case CALG_SHA_512: return lib.sha512;
    default: return nullptr;
  }
}

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using SharedPkey = std::shared_ptr<EVP_PKEY>;

SharedPkey AdoptPkey(EVP_PKEY* p) { return p ? SharedPkey(p, PkeyFree{}) : SharedPkey(); }

HRESULT FromErrno(int err) { return HRESULT_FROM_WIN32(Win32ErrorFromErrno(err)); }

constexpr uint8_t kBlobVersion = 2;
constexpr size_t kBlobHeader = 8;
constexpr size_t kSymmetricBytes = kSymmetricKeyBits / 8;
constexpr size_t kBlockBytes = 8;  // RC2

void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t GetLe32(std::span<const uint8_t> in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
         static_cast<uint32_t>(in[3]) << 24;
}
std::vector<uint8_t> BlobHeader(uint32_t type, AlgId alg) {
  std::vector<uint8_t> out = {static_cast<uint8_t>(type), kBlobVersion, 0, 0};
  PutLe32(out, alg);
  return out;
}

std::string Base64(std::span<const uint8_t> in) { return text::Base64Encode(in); }
std::optional<std::vector<uint8_t>> FromBase64(std::string_view in) {
  if (in.empty()) return std::nullopt;
  return text::Base64DecodeStrict(in);
}

bool KnownProvider(std::string_view name) {
  return text::EqualsNoCase(name, kBaseProvider) || text::EqualsNoCase(name, kEnhancedProvider) ||
         text::EqualsNoCase(name, kStrongProvider);
}

bool IsExchangeSpec(AlgId a) { return a == AT_KEYEXCHANGE || a == CALG_RSA_KEYX; }
bool IsSignatureSpec(AlgId a) { return a == AT_SIGNATURE || a == CALG_RSA_SIGN; }

}  // namespace

// ---- Texts, comparison, key folder -------------------------------------------------

std::string ErrorText(HRESULT status) {
  switch (status) {
    case NTE_BAD_HASH: return "Invalid hash.";
    case NTE_BAD_KEY: return "Bad Key.";
    case NTE_BAD_LEN: return "Bad Length.";
    case NTE_BAD_DATA: return "Bad Data.";
    case NTE_BAD_SIGNATURE: return "Invalid Signature.";
    case NTE_BAD_VER: return "Bad Version of provider.";
    case NTE_BAD_ALGID: return "Invalid algorithm specified.";
    case NTE_BAD_FLAGS: return "Invalid flags specified.";
    case NTE_BAD_TYPE: return "Invalid type specified.";
    case NTE_BAD_KEY_STATE: return "Key not valid for use in specified state.";
    case NTE_BAD_HASH_STATE: return "Hash not valid for use in specified state.";
    case NTE_NO_KEY: return "Key does not exist.";
    case NTE_NO_MEMORY: return "Insufficient memory available for the operation.";
    case NTE_EXISTS: return "Object already exists.";
    case NTE_BAD_PROV_TYPE: return "Invalid provider type specified.";
    case NTE_BAD_PUBLIC_KEY: return "Provider's public key is invalid.";
    case NTE_BAD_KEYSET: return "Keyset does not exist";
    case NTE_PROV_TYPE_NOT_DEF: return "Provider type not defined.";
    case NTE_KEYSET_NOT_DEF: return "The requested provider does not exist.";
    case NTE_KEYSET_ENTRY_BAD: return "Keyset as registered is invalid.";
    case NTE_PROV_TYPE_NO_MATCH: return "Provider type does not match registered value.";
    case NTE_PROVIDER_DLL_FAIL: return "Provider DLL failed to initialize correctly.";
    case NTE_BAD_KEYSET_PARAM: return "The keyset parameter is invalid.";
    case NTE_FAIL: return "An internal error occurred.";
    default: return {};
  }
}

bool EqualConstantTime(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  if (a.size() != b.size()) return false;
  return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool EqualConstantTime(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
}

void Cleanse(std::span<uint8_t> bytes) {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

std::filesystem::path KeyFolder() {
  if (const char* env = std::getenv("QUOR_KEYDIR"); env && *env) return env;
  reg::Key key;
  if (key.Open(reg::Hive::LocalMachine, "SOFTWARE\\Velt\\QuorService").ok()) {
    if (auto configured = key.GetString("KeyDir"); configured.ok() && !configured->empty()) return *configured;
  }
  return reg::Registry::Default().Path().parent_path() / "keys";
}

// ---- Key containers ---------------------------------------------------------------

namespace {

constexpr std::string_view kContainerMagic = "QuorKeyContainer 1";

// Exclusive lock on the folder's ".lock" file, for every writer of a
// container in it (other threads of this process included: each lock has an
// open file description of its own).
class FolderLock {
 public:
  explicit FolderLock(const std::filesystem::path& folder)
      : fd_(::open((folder / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_.get() < 0) {
      status_ = FromErrno(errno);
      return;
    }
    while (::flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) {
        status_ = FromErrno(errno);
        return;
      }
    }
  }
  ~FolderLock() {
    if (fd_.get() >= 0 && status_ == S_OK) ::flock(fd_.get(), LOCK_UN);
  }
  HRESULT Status() const { return status_; }

 private:
  UniqueFd fd_;
  HRESULT status_ = S_OK;
};

std::string FileNameOf(std::string_view container) {
  std::string out;
  for (unsigned char c : container) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                 c == '_' || c == '@' || (c == '.' && !out.empty());
    if (plain)
      out += static_cast<char>(c);
    else
      out += text::Format("%%%02X", static_cast<unsigned>(c));
  }
  if (out.size() > 200) {
    unsigned char digest[32];
    unsigned int n = 0;
    EVP_Digest(container.data(), container.size(), digest, &n, Lib().sha256, nullptr);
    std::string hashed(1, '~');
    for (unsigned i = 0; i < n; ++i) hashed += text::Format("%02x", static_cast<unsigned>(digest[i]));
    out.swap(hashed);
  }
  return out + ".key";
}

// Creates the folder and its missing parents, readable by the owner only.
HRESULT EnsureFolder(const std::filesystem::path& folder) {
  std::filesystem::path partial;
  for (const auto& part : folder) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return FromErrno(errno);
  }
  return S_OK;
}

struct ContainerKeys {
  SharedPkey exchange;
  SharedPkey signature;
};

HRESULT ReadContainer(const std::filesystem::path& file, ContainerKeys& out) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return errno == ENOENT ? NTE_BAD_KEYSET : FromErrno(errno);
  std::string contents;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno(errno);
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<size_t>(n));
    if (contents.size() > 64 * 1024) return NTE_KEYSET_ENTRY_BAD;
  }
  std::vector<std::string> lines = text::Split(contents, '\n');
  if (lines.empty() || text::TrimAscii(lines[0]) != kContainerMagic) return NTE_KEYSET_ENTRY_BAD;
  ContainerKeys keys;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = text::TrimAscii(lines[i]);
    if (line.empty()) continue;
    size_t space = line.find(' ');
    if (space == std::string_view::npos) return NTE_KEYSET_ENTRY_BAD;
    std::string_view kind = line.substr(0, space);
    std::optional<std::vector<uint8_t>> der = FromBase64(line.substr(space + 1));
    if (!der) return NTE_KEYSET_ENTRY_BAD;
    const unsigned char* p = der->data();
    SharedPkey key = AdoptPkey(d2i_AutoPrivateKey_ex(nullptr, &p, static_cast<long>(der->size()), Lib().ctx, nullptr));
    Cleanse(*der);
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) return NTE_KEYSET_ENTRY_BAD;
    if (kind == "exchange")
      keys.exchange = std::move(key);
    else if (kind == "signature")
      keys.signature = std::move(key);
    else
      return NTE_KEYSET_ENTRY_BAD;
  }
  out = std::move(keys);
  return S_OK;
}

// Containers as last read, by file. A request acquires its provider context
// afresh, and parsing two RSA keys per acquire would cost more than the rest
// of the request: the parsed keys are kept while the file stays the same one
// (writers replace it by rename, which gives a new inode).
HRESULT ReadContainerCached(const std::filesystem::path& file, ContainerKeys& out) {
  struct Entry {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    ContainerKeys keys;
  };
  static Mutex lock;
  static std::map<std::string, Entry> cache QUOR_GUARDED_BY(lock);

  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return errno == ENOENT ? NTE_BAD_KEYSET : FromErrno(errno);
  const auto same = [&](const Entry& e) {
    return e.device == st.st_dev && e.inode == st.st_ino && e.size == st.st_size &&
           e.modified.tv_sec == st.st_mtim.tv_sec && e.modified.tv_nsec == st.st_mtim.tv_nsec;
  };
  {
    MutexLock guard(lock);
    if (auto it = cache.find(file.string()); it != cache.end() && same(it->second)) {
      out = it->second.keys;
      return S_OK;
    }
  }
  ContainerKeys keys;
  if (HRESULT hr = ReadContainer(file, keys); FAILED(hr)) return hr;
  MutexLock guard(lock);
  cache[file.string()] = Entry{st.st_dev, st.st_ino, st.st_size, st.st_mtim, keys};
  out = std::move(keys);
  return S_OK;
}

HRESULT PrivateKeyLine(std::string_view kind, EVP_PKEY* key, std::string& out) {
  unsigned char* der = nullptr;
  int n = i2d_PrivateKey(key, &der);
  if (n <= 0) return NTE_FAIL;
  out += kind;
  out += ' ';
  out += Base64(std::span<const uint8_t>(der, static_cast<size_t>(n)));
  out += '\n';
  OPENSSL_clear_free(der, static_cast<size_t>(n));
  return S_OK;
}

// Writes the container atomically, readable by its owner only.
HRESULT WriteContainer(const std::filesystem::path& file, const ContainerKeys& keys) {
  std::string contents(kContainerMagic);
  contents += '\n';
  if (keys.exchange)
    if (HRESULT hr = PrivateKeyLine("exchange", keys.exchange.get(), contents); FAILED(hr)) return hr;
  if (keys.signature)
    if (HRESULT hr = PrivateKeyLine("signature", keys.signature.get(), contents); FAILED(hr)) return hr;
  const Status written = fs::WriteFileAtomic(file.string(), contents, {.mode = 0600});
  Cleanse(std::span(reinterpret_cast<uint8_t*>(contents.data()), contents.size()));
  return written.code();
}

SharedPkey GenerateRsa() { return AdoptPkey(EVP_PKEY_Q_keygen(Lib().ctx, nullptr, "RSA", size_t{kRsaKeyBits})); }

struct Location {
  std::string container;
  std::filesystem::path folder;
  std::filesystem::path file;
};

HRESULT Locate(std::optional<std::string_view> container, uint32_t flags, Location& out) {
  std::string name(container.value_or(std::string_view()));
  if (name.empty()) {
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name &&
        *found->pw_name)
      name = found->pw_name;
    else
      name = text::Format("uid%u", static_cast<unsigned>(::geteuid()));
  }
  if (name.size() > 1024 || name.find('\0') != std::string::npos) return NTE_BAD_KEYSET_PARAM;
  std::filesystem::path folder = KeyFolder();
  if (folder.empty()) return NTE_BAD_KEYSET_PARAM;
  folder /= (flags & CRYPT_MACHINE_KEYSET) ? std::filesystem::path("machine")
                                           : std::filesystem::path("user") / std::to_string(::geteuid());
  out.file = folder / FileNameOf(name);
  out.folder = std::move(folder);
  out.container = std::move(name);
  return S_OK;
}

HRESULT CheckProvider(std::string_view providerName, uint32_t type) {
  if (!Lib().ok) return NTE_PROVIDER_DLL_FAIL;
  if (!providerName.empty() && !KnownProvider(providerName)) return NTE_KEYSET_NOT_DEF;
  if (type == 0) return NTE_BAD_PROV_TYPE;
  if (type != PROV_RSA_FULL) return NTE_PROV_TYPE_NO_MATCH;
  return S_OK;
}

}  // namespace

// ---- States ---------------------------------------------------------------------

struct ProviderState {
  std::string name;
  uint32_t type = 0;
  bool verify = false;
  Location location;
  Mutex mutex;
  ContainerKeys keys QUOR_GUARDED_BY(mutex);  // as cached

  // The container's key pair of `keySpec`, loaded (or made) on first use.
  HRESULT UserKey(uint32_t keySpec, bool generate, SharedPkey& out) QUOR_EXCLUDES(mutex) {
    MutexLock lock(mutex);
    SharedPkey& slot = keySpec == AT_KEYEXCHANGE ? keys.exchange : keys.signature;
    if (!slot && !verify) {
      ContainerKeys fresh;
      if (HRESULT hr = ReadContainerCached(location.file, fresh); FAILED(hr)) return hr;
      keys = std::move(fresh);
    }
    if (!slot && generate) return Replace(keySpec, out, /*onlyWhenMissing=*/true);
    if (!slot) return NTE_NO_KEY;
    out = slot;
    return S_OK;
  }

  // A new key pair for `keySpec`, stored in the container. With
  // `onlyWhenMissing`, a pair that another writer stored meanwhile wins.
  HRESULT Replace(uint32_t keySpec, SharedPkey& out, bool onlyWhenMissing) QUOR_REQUIRES(mutex) {
    SharedPkey& slot = keySpec == AT_KEYEXCHANGE ? keys.exchange : keys.signature;
    if (verify) {
      if (!(slot = GenerateRsa())) return NTE_FAIL;
      out = slot;
      return S_OK;
    }
    FolderLock lock(location.folder);
    if (FAILED(lock.Status())) return lock.Status();
    ContainerKeys current;
    if (HRESULT hr = ReadContainer(location.file, current); FAILED(hr)) return hr;
    SharedPkey& stored = keySpec == AT_KEYEXCHANGE ? current.exchange : current.signature;
    if (!(onlyWhenMissing && stored)) {
      if (!(stored = GenerateRsa())) return NTE_FAIL;
      if (HRESULT hr = WriteContainer(location.file, current); FAILED(hr)) return hr;
    }
    keys = std::move(current);
    out = slot;
    return S_OK;
  }
};

struct KeyState {
  AlgId alg = 0;
  bool exportable = false;
  std::vector<uint8_t> secret;  // a symmetric key's bytes
  SharedPkey pkey;              // an RSA key
  bool hasPrivate = false;
  // CBC chaining value between runs that are not final.
  std::array<uint8_t, kBlockBytes> iv{};
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx;

  ~KeyState() { Cleanse(secret); }
  bool Symmetric() const { return !secret.empty(); }
};

struct HashState {
  AlgId alg = 0;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx;
  bool finished = false;
  std::vector<uint8_t> value;
  std::shared_ptr<ProviderState> provider;

  HRESULT Update(std::span<const uint8_t> data) {
    if (finished) return NTE_BAD_HASH_STATE;
    if (!data.empty() && EVP_DigestUpdate(ctx.get(), data.data(), data.size()) != 1) return NTE_FAIL;
    return S_OK;
  }
  HRESULT Finish() {
    if (finished) return S_OK;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &n) != 1) return NTE_FAIL;
    value.assign(digest, digest + n);
    finished = true;
    return S_OK;
  }
};

// ---- Provider ---------------------------------------------------------------------

Provider::Provider() = default;
Provider::~Provider() = default;
Provider::Provider(Provider&&) noexcept = default;
Provider& Provider::operator=(Provider&&) noexcept = default;

void Provider::Close() { state_.reset(); }
std::string Provider::Name() const { return state_ ? state_->name : std::string(); }
uint32_t Provider::Type() const { return state_ ? state_->type : 0; }
std::string Provider::Container() const { return state_ && !state_->verify ? state_->location.container : std::string(); }

HRESULT Provider::Acquire(std::optional<std::string_view> container, std::string_view providerName, uint32_t type,
                          uint32_t flags, Provider& out) {
  out.Close();
  constexpr uint32_t kKnown = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET |
                              CRYPT_SILENT;
  if (flags & ~kKnown) return NTE_BAD_FLAGS;
  if (HRESULT hr = CheckProvider(providerName, type); FAILED(hr)) return hr;
  if (flags & CRYPT_DELETEKEYSET) return DeleteKeySet(container, providerName, type, flags);
  auto state = std::make_shared<ProviderState>();
  state->name = providerName.empty() ? std::string(kBaseProvider) : std::string(providerName);
  state->type = type;
  if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
    if ((container && !container->empty()) || (flags & CRYPT_NEWKEYSET)) return NTE_BAD_FLAGS;
    state->verify = true;
    out.state_ = std::move(state);
    return S_OK;
  }
  if (HRESULT hr = Locate(container, flags, state->location); FAILED(hr)) return hr;
  if (flags & CRYPT_NEWKEYSET) {
    if (HRESULT hr = EnsureFolder(state->location.folder); FAILED(hr)) return hr;
    FolderLock lock(state->location.folder);
    if (FAILED(lock.Status())) return lock.Status();
    struct stat st;
    if (::stat(state->location.file.c_str(), &st) == 0) return NTE_EXISTS;
    if (HRESULT hr = WriteContainer(state->location.file, {}); FAILED(hr)) return hr;
  } else {
    struct stat st;
    if (::stat(state->location.file.c_str(), &st) != 0) return errno == ENOENT ? NTE_BAD_KEYSET : FromErrno(errno);
  }
  out.state_ = std::move(state);
  return S_OK;
}

HRESULT Provider::DeleteKeySet(std::optional<std::string_view> container, std::string_view providerName,
                               uint32_t type, uint32_t flags) {
  if (HRESULT hr = CheckProvider(providerName, type); FAILED(hr)) return hr;
  if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) return NTE_BAD_FLAGS;
  Location location;
  if (HRESULT hr = Locate(container, flags, location); FAILED(hr)) return hr;
  struct stat st;
  if (::stat(location.folder.c_str(), &st) != 0) return NTE_BAD_KEYSET;
  FolderLock lock(location.folder);
  if (FAILED(lock.Status())) return lock.Status();
  if (::unlink(location.file.c_str()) != 0) return errno == ENOENT ? NTE_BAD_KEYSET : FromErrno(errno);
  return S_OK;
}

HRESULT Provider::GenRandom(std::span<uint8_t> out) const {
  if (!state_) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (out.empty()) return S_OK;
  return RAND_bytes_ex(Lib().ctx, out.data(), out.size(), 0) == 1 ? S_OK : NTE_FAIL;
}

HRESULT Provider::GenKey(AlgId alg, uint32_t flags, Key& out) const {
  out.Reset();
  if (!state_) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  const uint32_t bits = flags >> 16;
  if ((flags & 0xFFFF) & ~CRYPT_EXPORTABLE) return NTE_BAD_FLAGS;
  auto key = std::make_unique<KeyState>();
  key->exportable = (flags & CRYPT_EXPORTABLE) != 0;
  if (alg == CALG_RC2) {
    if (bits != 0 && bits != kSymmetricKeyBits) return NTE_BAD_FLAGS;
    key->alg = alg;
    key->secret.resize(kSymmetricBytes);
    if (RAND_bytes_ex(Lib().ctx, key->secret.data(), key->secret.size(), 0) != 1) return NTE_FAIL;
  } else if (IsExchangeSpec(alg) || IsSignatureSpec(alg)) {
    if (bits != 0 && bits != kRsaKeyBits) return NTE_BAD_FLAGS;
    const uint32_t keySpec = IsExchangeSpec(alg) ? AT_KEYEXCHANGE : AT_SIGNATURE;
    MutexLock lock(state_->mutex);
    if (HRESULT hr = state_->Replace(keySpec, key->pkey, /*onlyWhenMissing=*/false); FAILED(hr)) return hr;
    key->alg = keySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
    key->hasPrivate = true;
  } else {
    return NTE_BAD_ALGID;
  }
  out.state_ = std::move(key);
  return S_OK;
}

HRESULT Provider::DeriveKey(AlgId alg, Hash& hash, uint32_t flags, Key& out) const {
  out.Reset();
  if (!state_ || !hash.state_) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (alg != CALG_RC2) return NTE_BAD_ALGID;
  const uint32_t bits = flags >> 16;
  if (((flags & 0xFFFF) & ~CRYPT_EXPORTABLE) || (bits != 0 && bits != kSymmetricKeyBits)) return NTE_BAD_FLAGS;
  if (HRESULT hr = hash.state_->Finish(); FAILED(hr)) return hr;
  // Every hash offered here is at least as long as the key.
  if (hash.state_->value.size() < kSymmetricBytes) return NTE_BAD_HASH;
  auto key = std::make_unique<KeyState>();
  key->alg = alg;
  key->exportable = (flags & CRYPT_EXPORTABLE) != 0;
  key->secret.assign(hash.state_->value.begin(), hash.state_->value.begin() + kSymmetricBytes);
  out.state_ = std::move(key);
  return S_OK;
}

HRESULT Provider::GetUserKey(uint32_t keySpec, Key& out, bool generateWhenMissing) const {
  out.Reset();
  if (!state_) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) return NTE_BAD_KEY;
  SharedPkey pkey;
  if (HRESULT hr = state_->UserKey(keySpec, generateWhenMissing, pkey); FAILED(hr)) return hr;
  auto key = std::make_unique<KeyState>();
  key->alg = keySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
  key->pkey = std::move(pkey);
  key->hasPrivate = true;
  out.state_ = std::move(key);
  return S_OK;
}

HRESULT Provider::ImportKey(std::span<const uint8_t> blob, const Key* importKey, uint32_t flags, Key& out) const {
  out.Reset();
  if (!state_) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (flags & ~CRYPT_EXPORTABLE) return NTE_BAD_FLAGS;
  if (blob.size() < kBlobHeader) return NTE_BAD_DATA;
  if (blob[1] != kBlobVersion) return NTE_BAD_VER;
  const uint32_t type = blob[0];
  const AlgId alg = GetLe32(blob.subspan(4, 4));
  std::span<const uint8_t> body = blob.subspan(kBlobHeader);
  auto key = std::make_unique<KeyState>();
  key->alg = alg;
  key->exportable = (flags & CRYPT_EXPORTABLE) != 0;
  switch (type) {
    case PUBLICKEYBLOB: {
      if (alg != CALG_RSA_KEYX && alg != CALG_RSA_SIGN) return NTE_BAD_ALGID;
      const unsigned char* p = body.data();
      key->pkey = AdoptPkey(d2i_PUBKEY_ex(nullptr, &p, static_cast<long>(body.size()), Lib().ctx, nullptr));
      if (!key->pkey || EVP_PKEY_get_base_id(key->pkey.get()) != EVP_PKEY_RSA) return NTE_BAD_PUBLIC_KEY;
      if (p != body.data() + body.size()) return NTE_BAD_DATA;
      break;
    }
    case OPAQUEKEYBLOB: {
      if (alg != CALG_RC2) return NTE_BAD_ALGID;
      if (importKey && importKey->IsSet()) return NTE_BAD_KEY;
      if (body.size() != 4 + kSymmetricBytes || GetLe32(body) != kSymmetricBytes) return NTE_BAD_DATA;
      key->secret.assign(body.begin() + 4, body.end());
      break;
    }
    case SIMPLEBLOB: {
      if (alg != CALG_RC2) return NTE_BAD_ALGID;
      if (body.size() < 4 || GetLe32(body) != CALG_RSA_KEYX) return NTE_BAD_DATA;
      SharedPkey unwrap;
      if (importKey && importKey->IsSet()) {
        if (!importKey->state_->pkey || !importKey->state_->hasPrivate) return NTE_BAD_KEY;
        unwrap = importKey->state_->pkey;
      } else if (HRESULT hr = state_->UserKey(AT_KEYEXCHANGE, false, unwrap); FAILED(hr)) {
        return hr;
      }
      std::span<const uint8_t> wrapped = body.subspan(4);
      PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(Lib().ctx, unwrap.get(), nullptr));
      if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
          EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
          EVP_PKEY_CTX_set_rsa_oaep_md_name(ctx.get(), "SHA2-256", nullptr) != 1 ||
          EVP_PKEY_CTX_set_rsa_mgf1_md_name(ctx.get(), "SHA2-256", nullptr) != 1)
        return NTE_FAIL;
      std::vector<uint8_t> plain(static_cast<size_t>(EVP_PKEY_get_size(unwrap.get())));
      size_t n = plain.size();
      if (EVP_PKEY_decrypt(ctx.get(), plain.data(), &n, wrapped.data(), wrapped.size()) != 1 ||
          n != kSymmetricBytes) {
        Cleanse(plain);
        return NTE_BAD_DATA;
      }
      key->secret.assign(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(n));
      Cleanse(plain);
      break;
    }
    default:
      return NTE_BAD_TYPE;
  }
  out.state_ = std::move(key);
  return S_OK;
}

HRESULT Provider::CreateHash(AlgId alg, const Key* key, Hash& out) const {
  out.Reset();
  if (!state_) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (key && key->IsSet()) return NTE_BAD_KEY;
  const EVP_MD* md = DigestOf(alg);
  if (!md) return NTE_BAD_ALGID;
  auto hash = std::make_unique<HashState>();
  hash->alg = alg;
  hash->ctx.reset(EVP_MD_CTX_new());
  if (!hash->ctx || EVP_DigestInit_ex2(hash->ctx.get(), md, nullptr) != 1) return NTE_NO_MEMORY;
  hash->provider = state_;
  out.state_ = std::move(hash);
  return S_OK;
}

// ---- Key --------------------------------------------------------------------------

Key::Key() = default;
Key::~Key() = default;
Key::Key(Key&&) noexcept = default;
Key& Key::operator=(Key&&) noexcept = default;

void Key::Reset() { state_.reset(); }
AlgId Key::Algorithm() const { return state_ ? state_->alg : 0; }

HRESULT Key::BlockLength(uint32_t& bytes) const {
  if (!state_) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  bytes = state_->Symmetric() ? static_cast<uint32_t>(kBlockBytes) : 0;
  return S_OK;
}

HRESULT Key::Export(uint32_t blobType, const Key* exportKey, std::vector<uint8_t>& blob) const {
  blob.clear();
  if (!state_) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  const bool wrapping = exportKey && exportKey->IsSet();
  switch (blobType) {
    case PUBLICKEYBLOB: {
      if (!state_->pkey) return NTE_BAD_KEY;
      unsigned char* der = nullptr;
      int n = i2d_PUBKEY(state_->pkey.get(), &der);
      if (n <= 0) return NTE_FAIL;
      blob = BlobHeader(PUBLICKEYBLOB, state_->alg);
      blob.insert(blob.end(), der, der + n);
      OPENSSL_free(der);
      return S_OK;
    }
    case OPAQUEKEYBLOB: {
      if (!state_->Symmetric() || wrapping) return NTE_BAD_KEY;
      if (!state_->exportable) return NTE_BAD_KEY_STATE;
      blob = BlobHeader(OPAQUEKEYBLOB, state_->alg);
      PutLe32(blob, static_cast<uint32_t>(state_->secret.size()));
      blob.insert(blob.end(), state_->secret.begin(), state_->secret.end());
      return S_OK;
    }
    case SIMPLEBLOB: {
      if (!state_->Symmetric()) return NTE_BAD_KEY;
      if (!wrapping || !exportKey->state_->pkey) return NTE_BAD_KEY;
      if (!state_->exportable) return NTE_BAD_KEY_STATE;
      EVP_PKEY* wrap = exportKey->state_->pkey.get();
      PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(Lib().ctx, wrap, nullptr));
      if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
          EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
          EVP_PKEY_CTX_set_rsa_oaep_md_name(ctx.get(), "SHA2-256", nullptr) != 1 ||
          EVP_PKEY_CTX_set_rsa_mgf1_md_name(ctx.get(), "SHA2-256", nullptr) != 1)
        return NTE_FAIL;
      size_t n = 0;
      if (EVP_PKEY_encrypt(ctx.get(), nullptr, &n, state_->secret.data(), state_->secret.size()) != 1)
        return NTE_FAIL;
      std::vector<uint8_t> wrapped(n);
      if (EVP_PKEY_encrypt(ctx.get(), wrapped.data(), &n, state_->secret.data(), state_->secret.size()) != 1)
        return NTE_FAIL;
      blob = BlobHeader(SIMPLEBLOB, state_->alg);
      PutLe32(blob, CALG_RSA_KEYX);
      blob.insert(blob.end(), wrapped.begin(), wrapped.begin() + static_cast<std::ptrdiff_t>(n));
      return S_OK;
    }
    default:
      return NTE_BAD_TYPE;
  }
}

namespace {

// One CBC run over `data` with the key's chaining value; updates it.
HRESULT CbcRun(KeyState& key, bool encrypt, bool final, std::vector<uint8_t>& data) {
  if (!key.ctx) key.ctx.reset(EVP_CIPHER_CTX_new());
  EVP_CIPHER_CTX* ctx = key.ctx.get();
  if (!ctx) return NTE_NO_MEMORY;
  if (EVP_CipherInit_ex2(ctx, Lib().rc2, key.secret.data(), key.iv.data(), encrypt ? 1 : 0, nullptr) != 1)
    return NTE_FAIL;
  EVP_CIPHER_CTX_set_padding(ctx, final ? 1 : 0);
  std::vector<uint8_t> out(data.size() + kBlockBytes);
  int n = 0, m = 0;
  bool ok = EVP_CipherUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size())) == 1 &&
            EVP_CipherFinal_ex(ctx, out.data() + n, &m) == 1;
  if (!ok) {
    key.iv.fill(0);
    Cleanse(out);
    return NTE_BAD_DATA;
  }
  out.resize(static_cast<size_t>(n + m));
  if (final) {
    key.iv.fill(0);
  } else {
    const std::vector<uint8_t>& cipher = encrypt ? out : data;
    if (cipher.size() >= kBlockBytes) std::copy(cipher.end() - kBlockBytes, cipher.end(), key.iv.begin());
  }
  Cleanse(data);
  data = std::move(out);
  return S_OK;
}

}  // namespace

HRESULT Key::Encrypt(Hash* hash, bool final, std::vector<uint8_t>& data) {
  if (!state_) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (!state_->Symmetric()) return NTE_BAD_KEY;
  if (data.size() > (1u << 30)) return NTE_BAD_LEN;
  if (!final && data.size() % kBlockBytes != 0) return NTE_BAD_DATA;
  if (hash && hash->state_)
    if (HRESULT hr = hash->state_->Update(data); FAILED(hr)) return hr;
  return CbcRun(*state_, true, final, data);
}

HRESULT Key::Decrypt(Hash* hash, bool final, std::vector<uint8_t>& data) {
  if (!state_) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (!state_->Symmetric()) return NTE_BAD_KEY;
  if (data.size() > (1u << 30)) return NTE_BAD_LEN;
  if (data.size() % kBlockBytes != 0 || (final && data.empty())) {
    if (final) state_->iv.fill(0);
    return NTE_BAD_DATA;
  }
  if (hash && hash->state_ && hash->state_->finished) return NTE_BAD_HASH_STATE;
  if (HRESULT hr = CbcRun(*state_, false, final, data); FAILED(hr)) return hr;
  if (hash && hash->state_) return hash->state_->Update(data);
  return S_OK;
}

// ---- Hash -------------------------------------------------------------------------

Hash::Hash() = default;
Hash::~Hash() = default;
Hash::Hash(Hash&&) noexcept = default;
Hash& Hash::operator=(Hash&&) noexcept = default;

void Hash::Reset() { state_.reset(); }
AlgId Hash::Algorithm() const { return state_ ? state_->alg : 0; }

HRESULT Hash::HashData(std::span<const uint8_t> data) {
  if (!state_) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  return state_->Update(data);
}

HRESULT Hash::HashSessionKey(const Key& key) {
  if (!state_ || !key.state_) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (!key.state_->Symmetric()) return NTE_BAD_KEY;
  return state_->Update(key.state_->secret);
}

HRESULT Hash::GetValue(std::vector<uint8_t>& value) {
  if (!state_) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (HRESULT hr = state_->Finish(); FAILED(hr)) return hr;
  value = state_->value;
  return S_OK;
}

HRESULT Hash::Sign(uint32_t keySpec, std::vector<uint8_t>& signature) {
  signature.clear();
  if (!state_) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) return NTE_BAD_KEY;
  SharedPkey pkey;
  if (HRESULT hr = state_->provider->UserKey(keySpec, false, pkey); FAILED(hr)) return hr;
  if (HRESULT hr = state_->Finish(); FAILED(hr)) return hr;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(Lib().ctx, pkey.get(), nullptr));
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), DigestOf(state_->alg)) != 1)
    return NTE_FAIL;
  size_t n = 0;
  if (EVP_PKEY_sign(ctx.get(), nullptr, &n, state_->value.data(), state_->value.size()) != 1) return NTE_FAIL;
  signature.resize(n);
  if (EVP_PKEY_sign(ctx.get(), signature.data(), &n, state_->value.data(), state_->value.size()) != 1) {
    signature.clear();
    return NTE_FAIL;
  }
  signature.resize(n);
  return S_OK;
}

HRESULT Hash::Verify(std::span<const uint8_t> signature, const Key& publicKey) {
  if (!state_ || !publicKey.state_) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (!publicKey.state_->pkey) return NTE_BAD_KEY;
  if (HRESULT hr = state_->Finish(); FAILED(hr)) return hr;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(Lib().ctx, publicKey.state_->pkey.get(), nullptr));
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), DigestOf(state_->alg)) != 1)
    return NTE_FAIL;
  int rc = EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), state_->value.data(), state_->value.size());
  return rc == 1 ? S_OK : NTE_BAD_SIGNATURE;
}

}  // namespace quor::crypt
