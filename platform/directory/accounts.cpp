// The local account store.
//
// File layout (UTF-8 text, one record a line, fields separated by a TAB):
//
//   QuorAccounts	1
//   domain	QUOR
//   computer	QUORHOST
//   iterations	600000
//   user	alice	Alice Archer	Signs the cheques	pbkdf2-sha256$600000$<salt>$<key>
//   group	Admins	Administrators of the service
//   member	Admins	alice
//
// - The first line is the header with the layout version. "domain" and
//   "computer" appear once each; "iterations" (the cost of new hashes) at most
//   once. A user has name, full name, description and password hash (empty:
//   no password); a group has name and description; a "member" line adds a
//   user or group to a group that is defined in the file, in the order of the
//   lines.
// - In a field, '\' , TAB, line feed and carriage return are written as \\,
//   \t, \n and \r. Blank lines and lines starting with '#' are ignored and
//   not written back.
// - Every line ends with "\n", the last one too: a file whose last line has
//   none was cut off. A file that breaks these rules is damaged: it is never
//   read as accounts nor overwritten until someone repairs it.
// - Password hashes: PBKDF2-HMAC-SHA256, 16 random bytes of salt, 32 bytes of
//   key, both in standard Base64, with the iteration count they were made
//   with.
//
// Concurrency: a change takes flock(LOCK_EX) on "<file>.lock", reads the file,
// applies the change and writes it with fs::WriteFileAtomic in mode 0600 (a
// unique temporary file, fsynced, renamed over the file, the folder fsynced).

#include "platform/directory/accounts.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <utility>

#include "platform/base/unique_fd.h"
#include "platform/base/win32_error.h"
#include "platform/fs/fs.h"
#include "platform/registry/registry.h"
#include "platform/text/base64.h"
#include "platform/text/text.h"

namespace quor::dir {
namespace {

constexpr std::string_view kHeader = "QuorAccounts";
constexpr std::string_view kHashScheme = "pbkdf2-sha256";
constexpr size_t kSaltBytes = 16;
constexpr size_t kKeyBytes = 32;
constexpr size_t kMaxNameBytes = 256;
constexpr uint32_t kMaxIterations = 10'000'000;

// A failure of the store: the platform's number and the reason in words.
Status Failure(long error, std::string reason) { return Status(HRESULT_FROM_WIN32(error), std::move(reason)); }

bool EqualsName(std::string_view a, std::string_view b) { return text::EqualsNoCase(a, b); }

// ---- Fields ------------------------------------------------------------------------

std::string EscapeField(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  for (char c : in) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

bool UnescapeField(std::string_view in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out += in[i];
      continue;
    }
    if (++i == in.size()) return false;
    switch (in[i]) {
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      default: return false;
    }
  }
  return true;
}

// Free text (full names, descriptions): valid UTF-8 without NUL.
bool ValidText(std::string_view in) { return in.find('\0') == std::string_view::npos && text::IsValidUtf8(in); }

// ---- Base64 --------------------------------------------------------------------------

std::string Base64(const unsigned char* data, size_t size) { return text::Base64Encode({data, size}); }

bool Unbase64(std::string_view in, std::vector<unsigned char>& out) {
  auto bytes = in.empty() ? std::nullopt : text::Base64DecodeStrict(in);
  if (!bytes) return false;
  out = std::move(*bytes);
  return true;
}

bool Derive(std::string_view password, std::span<const unsigned char> salt, uint32_t iterations,
            std::array<unsigned char, kKeyBytes>& key) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                           static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                           static_cast<int>(key.size()), key.data()) == 1;
}

struct ParsedHash {
  uint32_t iterations = 0;
  std::vector<unsigned char> salt;
  std::vector<unsigned char> key;
};

bool ParseHash(std::string_view hash, ParsedHash& out) {
  auto parts = text::Split(hash, '$');
  if (parts.size() != 4 || parts[0] != kHashScheme) return false;
  auto iterations = text::ParseUInt32(parts[1]);
  if (!iterations || *iterations < 1 || *iterations > kMaxIterations) return false;
  out.iterations = *iterations;
  return Unbase64(parts[2], out.salt) && !out.salt.empty() && Unbase64(parts[3], out.key) &&
         out.key.size() == kKeyBytes;
}

// ---- Files -------------------------------------------------------------------------------

// The file's bytes; a failure carries the platform's number alone.
Result<std::string> ReadWhole(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return Failure(Win32ErrorFromErrno(errno), {});
  std::string out;
  char buffer[8192];
  while (true) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failure(Win32ErrorFromErrno(errno), {});
    }
    if (n == 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

// Password hashes: readable by the owner only.
Status WriteReplacing(const std::string& path, std::string_view contents) {
  fs::RemoveStaleTemporaries(path);
  const Status written = fs::WriteFileAtomic(path, contents, {.mode = 0600});
  if (written.ok()) return {};
  const long rc = AccountError(written);
  return Failure(rc, text::Format("%s: cannot be written (error %d)", path, rc));
}

class FileLock {
 public:
  Status Acquire(const std::string& path) {
    fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return Locking(path, Win32ErrorFromErrno(errno));
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) return Locking(path, Win32ErrorFromErrno(errno));
    }
    return {};
  }
  ~FileLock() {
    if (fd_ >= 0) {
      ::flock(fd_, LOCK_UN);
      ::close(fd_);
    }
  }

 private:
  static Status Locking(const std::string& path, long rc) {
    return Failure(rc, text::Format("%s: cannot be locked (error %d)", path, rc));
  }

  int fd_ = -1;
};

template <typename T>
auto FindByName(T& list, std::string_view name) {
  return std::find_if(list.begin(), list.end(), [&](const auto& item) { return EqualsName(item.name, name); });
}

}  // namespace

// ---- Names and hashes --------------------------------------------------------------------

bool IsValidAccountName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameBytes || !text::IsValidUtf8(name)) return false;
  if (name.front() == ' ' || name.back() == ' ') return false;
  bool onlyDots = true;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return false;
    if (std::string_view("\"/\\[]:;|=,+*?<>@").find(static_cast<char>(c)) != std::string_view::npos) return false;
    if (c != '.') onlyDots = false;
  }
  return !onlyDots;
}

std::string HashPassword(std::string_view password, uint32_t iterations) {
  iterations = std::clamp(iterations, AccountStore::kMinIterations, kMaxIterations);
  std::array<unsigned char, kSaltBytes> salt{};
  std::array<unsigned char, kKeyBytes> key{};
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1 || !Derive(password, salt, iterations, key)) return {};
  std::string out = text::Format("%s$%u$", kHashScheme, iterations);
  out += Base64(salt.data(), salt.size());
  out += '$';
  out += Base64(key.data(), key.size());
  OPENSSL_cleanse(key.data(), key.size());
  return out;
}

bool VerifyPasswordHash(std::string_view hash, std::string_view password) {
  ParsedHash parsed;
  if (!ParseHash(hash, parsed)) return false;
  std::array<unsigned char, kKeyBytes> key{};
  if (!Derive(password, parsed.salt, parsed.iterations, key)) return false;
  const bool same = CRYPTO_memcmp(key.data(), parsed.key.data(), kKeyBytes) == 0;
  OPENSSL_cleanse(key.data(), key.size());
  return same;
}

// ---- AccountStore ---------------------------------------------------------------------

Result<AccountStore> AccountStore::Parse(std::string_view text) {
  AccountStore store;
  store.iterations = kDefaultIterations;
  bool header = false, haveDomain = false, haveComputer = false, haveIterations = false;
  std::vector<std::pair<std::string, std::string>> members;
  unsigned line = 0;
  auto fail = [&](std::string_view what) { return Failure(ERROR_BADDB, text::Format("line %u: %s", line, what)); };
  if (!text.empty() && text.back() != '\n') {
    line = static_cast<unsigned>(std::count(text.begin(), text.end(), '\n')) + 1;
    return fail("the last line has no line end (the file was cut off)");
  }
  while (!text.empty()) {
    ++line;
    const size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    if (raw.empty() || raw.front() == '#') continue;
    if (!text::IsValidUtf8(raw)) return fail("not UTF-8 text");
    std::vector<std::string> fields;
    for (const auto& f : text::Split(raw, '\t')) {
      std::string value;
      if (!UnescapeField(f, value)) return fail("bad escape sequence");
      fields.push_back(std::move(value));
    }
    const std::string& kind = fields[0];
    if (!header) {
      if (kind != kHeader || fields.size() != 2) return fail("not an account store (no QuorAccounts header)");
      if (fields[1] != "1") return fail("unknown layout version");
      header = true;
      continue;
    }
    if (kind == "domain" || kind == "computer") {
      bool& seen = kind == "domain" ? haveDomain : haveComputer;
      if (fields.size() != 2) return fail("expected one name");
      if (seen) return fail("named twice");
      if (!IsValidAccountName(fields[1])) return fail("invalid name");
      (kind == "domain" ? store.domain : store.computer) = fields[1];
      seen = true;
    } else if (kind == "iterations") {
      auto n = fields.size() == 2 ? text::ParseUInt32(fields[1]) : std::nullopt;
      if (!n || *n < kMinIterations || *n > kMaxIterations || haveIterations) return fail("bad iteration count");
      store.iterations = *n;
      haveIterations = true;
    } else if (kind == "user") {
      if (fields.size() != 5) return fail("a user needs name, full name, description and hash");
      if (!IsValidAccountName(fields[1])) return fail("invalid user name");
      if (store.FindUser(fields[1]) || store.FindGroup(fields[1])) return fail("name used twice");
      ParsedHash parsed;
      if (!fields[4].empty() && !ParseHash(fields[4], parsed)) return fail("bad password hash");
      store.users.push_back({fields[1], fields[2], fields[3], fields[4]});
    } else if (kind == "group") {
      if (fields.size() != 3) return fail("a group needs name and description");
      if (!IsValidAccountName(fields[1])) return fail("invalid group name");
      if (store.FindUser(fields[1]) || store.FindGroup(fields[1])) return fail("name used twice");
      store.groups.push_back({fields[1], fields[2], {}});
    } else if (kind == "member") {
      if (fields.size() != 3) return fail("a member line needs group and member");
      members.emplace_back(fields[1], fields[2]);
    } else {
      return fail("unknown record");
    }
  }
  if (!header) return Failure(ERROR_BADDB, "empty file: not an account store");
  if (!haveDomain || !haveComputer) return Failure(ERROR_BADDB, "the domain or the computer name is missing");
  for (const auto& [group, member] : members) {
    auto it = FindByName(store.groups, group);
    if (it == store.groups.end()) return Failure(ERROR_BADDB, text::Format("member of unknown group \"%s\"", group));
    if (!store.FindUser(member) && !store.FindGroup(member))
      return Failure(ERROR_BADDB, text::Format("group \"%s\" lists unknown account \"%s\"", group, member));
    // Captured by name: clang 14 cannot capture a structured binding.
    if (std::none_of(it->members.begin(), it->members.end(),
                     [&, &name = member](const auto& m) { return EqualsName(m, name); }))
      it->members.push_back(member);
  }
  return store;
}

std::string AccountStore::Serialize() const {
  std::string out = text::Format("%s\t1\n", kHeader);
  out += "domain\t" + EscapeField(domain) + "\n";
  out += "computer\t" + EscapeField(computer) + "\n";
  out += text::Format("iterations\t%u\n", iterations);
  for (const auto& u : users)
    out += "user\t" + EscapeField(u.name) + "\t" + EscapeField(u.fullName) + "\t" + EscapeField(u.description) + "\t" +
           EscapeField(u.passwordHash) + "\n";
  for (const auto& g : groups) out += "group\t" + EscapeField(g.name) + "\t" + EscapeField(g.description) + "\n";
  for (const auto& g : groups)
    for (const auto& m : g.members) out += "member\t" + EscapeField(g.name) + "\t" + EscapeField(m) + "\n";
  return out;
}

const AccountUser* AccountStore::FindUser(std::string_view name) const {
  auto it = FindByName(users, name);
  return it == users.end() ? nullptr : &*it;
}

const AccountGroup* AccountStore::FindGroup(std::string_view name) const {
  auto it = FindByName(groups, name);
  return it == groups.end() ? nullptr : &*it;
}

Status AccountStore::AddUser(std::string_view name, std::string_view fullName, std::string_view description,
                             std::string_view password) {
  if (!IsValidAccountName(name))
    return Failure(ERROR_INVALID_NAME, text::Format("\"%s\" cannot be an account name", name));
  if (FindUser(name) || FindGroup(name))
    return Failure(ERROR_ALREADY_EXISTS, text::Format("an account named \"%s\" exists already", name));
  if (!ValidText(fullName) || !ValidText(description))
    return Failure(ERROR_INVALID_PARAMETER, "the full name and description must be UTF-8 text");
  if (password.empty()) return Failure(ERROR_INVALID_PARAMETER, "the password is empty");
  std::string hash = HashPassword(password, iterations);
  if (hash.empty()) return Failure(ERROR_INVALID_FUNCTION, "the password could not be hashed");
  users.push_back({std::string(name), std::string(fullName), std::string(description), std::move(hash)});
  return {};
}

Status AccountStore::SetPassword(std::string_view name, std::string_view password) {
  auto it = FindByName(users, name);
  if (it == users.end()) return Failure(ERROR_FILE_NOT_FOUND, text::Format("there is no user \"%s\"", name));
  if (password.empty()) return Failure(ERROR_INVALID_PARAMETER, "the password is empty");
  std::string hash = HashPassword(password, iterations);
  if (hash.empty()) return Failure(ERROR_INVALID_FUNCTION, "the password could not be hashed");
  it->passwordHash = std::move(hash);
  return {};
}

Status AccountStore::SetUserInfo(std::string_view name, const std::string* fullName, const std::string* description) {
  auto it = FindByName(users, name);
  if (it == users.end()) return Failure(ERROR_FILE_NOT_FOUND, text::Format("there is no user \"%s\"", name));
  if ((fullName && !ValidText(*fullName)) || (description && !ValidText(*description)))
    return Failure(ERROR_INVALID_PARAMETER, "the full name and description must be UTF-8 text");
  if (fullName) it->fullName = *fullName;
  if (description) it->description = *description;
  return {};
}

Status AccountStore::RemoveUser(std::string_view name) {
  auto it = FindByName(users, name);
  if (it == users.end()) return Failure(ERROR_FILE_NOT_FOUND, text::Format("there is no user \"%s\"", name));
  for (auto& g : groups) std::erase_if(g.members, [&](const auto& m) { return EqualsName(m, name); });
  users.erase(it);
  return {};
}

Status AccountStore::AddGroup(std::string_view name, std::string_view description) {
  if (!IsValidAccountName(name))
    return Failure(ERROR_INVALID_NAME, text::Format("\"%s\" cannot be an account name", name));
  if (FindUser(name) || FindGroup(name))
    return Failure(ERROR_ALREADY_EXISTS, text::Format("an account named \"%s\" exists already", name));
  if (!ValidText(description)) return Failure(ERROR_INVALID_PARAMETER, "the description must be UTF-8 text");
  groups.push_back({std::string(name), std::string(description), {}});
  return {};
}

Status AccountStore::RemoveGroup(std::string_view name) {
  auto it = FindByName(groups, name);
  if (it == groups.end()) return Failure(ERROR_FILE_NOT_FOUND, text::Format("there is no group \"%s\"", name));
  groups.erase(it);
  for (auto& g : groups) std::erase_if(g.members, [&](const auto& m) { return EqualsName(m, name); });
  return {};
}

Status AccountStore::AddMember(std::string_view group, std::string_view member) {
  auto it = FindByName(groups, group);
  if (it == groups.end()) return Failure(ERROR_FILE_NOT_FOUND, text::Format("there is no group \"%s\"", group));
  const AccountUser* user = FindUser(member);
  const AccountGroup* nested = FindGroup(member);
  if (!user && !nested) return Failure(ERROR_FILE_NOT_FOUND, text::Format("there is no user or group \"%s\"", member));
  if (EqualsName(group, member)) return Failure(ERROR_INVALID_PARAMETER, "a group cannot be a member of itself");
  if (std::any_of(it->members.begin(), it->members.end(), [&](const auto& m) { return EqualsName(m, member); }))
    return Failure(ERROR_ALREADY_EXISTS, text::Format("\"%s\" is a member of \"%s\" already", member, it->name));
  // Keep the account's own spelling.
  it->members.push_back(user ? user->name : nested->name);
  return {};
}

Status AccountStore::RemoveMember(std::string_view group, std::string_view member) {
  auto it = FindByName(groups, group);
  if (it == groups.end()) return Failure(ERROR_FILE_NOT_FOUND, text::Format("there is no group \"%s\"", group));
  if (std::erase_if(it->members, [&](const auto& m) { return EqualsName(m, member); }) == 0)
    return Failure(ERROR_FILE_NOT_FOUND, text::Format("\"%s\" is not a member of \"%s\"", member, it->name));
  return {};
}

bool AccountStore::VerifyPassword(std::string_view name, std::string_view password) const {
  const AccountUser* user = FindUser(name);
  if (user && !user->passwordHash.empty()) return VerifyPasswordHash(user->passwordHash, password);
  // The same work for an unknown name, so that timing does not tell which
  // names exist.
  static constexpr std::array<unsigned char, kSaltBytes> kSalt{};
  std::array<unsigned char, kKeyBytes> key{};
  Derive(password, kSalt, iterations, key);
  return false;
}

// ---- Files ---------------------------------------------------------------------------------

std::string DefaultAccountStorePath() {
  const char* env = std::getenv("QUOR_REGISTRY");
  std::string registry = env && *env ? env : std::string(reg::Registry::kDefaultPath);
  return registry + ".accounts";
}

Result<AccountStore> LoadAccountStore(const std::string& path) {
  Result<std::string> content = ReadWhole(path);
  if (!content.ok()) {
    const long rc = AccountError(content.status());
    if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND)
      return Failure(ERROR_FILE_NOT_FOUND,
                     text::Format("%s: no account store (create one with quor-accounts init)", path));
    return Failure(rc, text::Format("%s: cannot be read (error %d)", path, rc));
  }
  Result<AccountStore> store = AccountStore::Parse(*content);
  if (!store.ok()) return Failure(AccountError(store.status()), path + ": " + store.status().message());
  return store;
}

Status CreateAccountStore(const std::string& path, std::string_view domain, std::string_view computer,
                          uint32_t iterations) {
  if (!IsValidAccountName(domain) || !IsValidAccountName(computer))
    return Failure(ERROR_INVALID_NAME, "the domain and computer names must be valid account names");
  if (iterations < AccountStore::kMinIterations || iterations > kMaxIterations)
    return Failure(ERROR_INVALID_PARAMETER, text::Format("the iteration count must be between %u and %u",
                                                         AccountStore::kMinIterations, kMaxIterations));
  std::error_code ec;
  const auto folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  FileLock lock;
  QUOR_RETURN_IF_ERROR(lock.Acquire(path));
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) return Failure(ERROR_ALREADY_EXISTS, text::Format("%s exists already", path));
  AccountStore store;
  store.domain = domain;
  store.computer = computer;
  store.iterations = iterations;
  return WriteReplacing(path, store.Serialize());
}

Status UpdateAccountStore(const std::string& path, const std::function<Status(AccountStore&)>& change) {
  FileLock lock;
  QUOR_RETURN_IF_ERROR(lock.Acquire(path));
  QUOR_ASSIGN_OR_RETURN(AccountStore store, LoadAccountStore(path));
  QUOR_RETURN_IF_ERROR(change(store));
  return WriteReplacing(path, store.Serialize());
}

}  // namespace quor::dir
