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

void SetReason(std::string* reason, std::string text) {
  if (reason) *reason = std::move(text);
}

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

long ReadWhole(const std::string& path, std::string& out) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return Win32ErrorFromErrno(errno);
  out.clear();
  char buffer[8192];
  while (true) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Win32ErrorFromErrno(errno);
    }
    if (n == 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return ERROR_SUCCESS;
}

// Password hashes: readable by the owner only.
long WriteReplacing(const std::string& path, std::string_view contents) {
  fs::RemoveStaleTemporaries(path);
  const Status written = fs::WriteFileAtomic(path, contents, {.mode = 0600});
  return written.ok() ? ERROR_SUCCESS : static_cast<long>(HRESULT_CODE(written.code()));
}

class FileLock {
 public:
  long Acquire(const std::string& path) {
    fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return Win32ErrorFromErrno(errno);
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) return Win32ErrorFromErrno(errno);
    }
    return ERROR_SUCCESS;
  }
  ~FileLock() {
    if (fd_ >= 0) {
      ::flock(fd_, LOCK_UN);
      ::close(fd_);
    }
  }

 private:
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

long AccountStore::Parse(std::string_view text, AccountStore& out, std::string* reason) {
  AccountStore store;
  store.iterations = kDefaultIterations;
  bool header = false, haveDomain = false, haveComputer = false, haveIterations = false;
  std::vector<std::pair<std::string, std::string>> members;
  unsigned line = 0;
  auto fail = [&](std::string_view what) {
    SetReason(reason, text::Format("line %u: %s", line, what));
    return ERROR_BADDB;
  };
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
  if (!header) {
    SetReason(reason, "empty file: not an account store");
    return ERROR_BADDB;
  }
  if (!haveDomain || !haveComputer) {
    SetReason(reason, "the domain or the computer name is missing");
    return ERROR_BADDB;
  }
  for (const auto& [group, member] : members) {
    auto it = FindByName(store.groups, group);
    if (it == store.groups.end()) {
      SetReason(reason, text::Format("member of unknown group \"%s\"", group));
      return ERROR_BADDB;
    }
    if (!store.FindUser(member) && !store.FindGroup(member)) {
      SetReason(reason, text::Format("group \"%s\" lists unknown account \"%s\"", group, member));
      return ERROR_BADDB;
    }
    // Captured by name: clang 14 cannot capture a structured binding.
    if (std::none_of(it->members.begin(), it->members.end(),
                     [&, &name = member](const auto& m) { return EqualsName(m, name); }))
      it->members.push_back(member);
  }
  out = std::move(store);
  return ERROR_SUCCESS;
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

long AccountStore::AddUser(std::string_view name, std::string_view fullName, std::string_view description,
                           std::string_view password, std::string* reason) {
  if (!IsValidAccountName(name)) {
    SetReason(reason, text::Format("\"%s\" cannot be an account name", name));
    return ERROR_INVALID_NAME;
  }
  if (FindUser(name) || FindGroup(name)) {
    SetReason(reason, text::Format("an account named \"%s\" exists already", name));
    return ERROR_ALREADY_EXISTS;
  }
  if (!ValidText(fullName) || !ValidText(description)) {
    SetReason(reason, "the full name and description must be UTF-8 text");
    return ERROR_INVALID_PARAMETER;
  }
  if (password.empty()) {
    SetReason(reason, "the password is empty");
    return ERROR_INVALID_PARAMETER;
  }
  std::string hash = HashPassword(password, iterations);
  if (hash.empty()) {
    SetReason(reason, "the password could not be hashed");
    return ERROR_INVALID_FUNCTION;
  }
  users.push_back({std::string(name), std::string(fullName), std::string(description), std::move(hash)});
  return ERROR_SUCCESS;
}

long AccountStore::SetPassword(std::string_view name, std::string_view password, std::string* reason) {
  auto it = FindByName(users, name);
  if (it == users.end()) {
    SetReason(reason, text::Format("there is no user \"%s\"", name));
    return ERROR_FILE_NOT_FOUND;
  }
  if (password.empty()) {
    SetReason(reason, "the password is empty");
    return ERROR_INVALID_PARAMETER;
  }
  std::string hash = HashPassword(password, iterations);
  if (hash.empty()) {
    SetReason(reason, "the password could not be hashed");
    return ERROR_INVALID_FUNCTION;
  }
  it->passwordHash = std::move(hash);
  return ERROR_SUCCESS;
}

long AccountStore::SetUserInfo(std::string_view name, const std::string* fullName, const std::string* description,
                               std::string* reason) {
  auto it = FindByName(users, name);
  if (it == users.end()) {
    SetReason(reason, text::Format("there is no user \"%s\"", name));
    return ERROR_FILE_NOT_FOUND;
  }
  if ((fullName && !ValidText(*fullName)) || (description && !ValidText(*description))) {
    SetReason(reason, "the full name and description must be UTF-8 text");
    return ERROR_INVALID_PARAMETER;
  }
  if (fullName) it->fullName = *fullName;
  if (description) it->description = *description;
  return ERROR_SUCCESS;
}

long AccountStore::RemoveUser(std::string_view name, std::string* reason) {
  auto it = FindByName(users, name);
  if (it == users.end()) {
    SetReason(reason, text::Format("there is no user \"%s\"", name));
    return ERROR_FILE_NOT_FOUND;
  }
  for (auto& g : groups) std::erase_if(g.members, [&](const auto& m) { return EqualsName(m, name); });
  users.erase(it);
  return ERROR_SUCCESS;
}

long AccountStore::AddGroup(std::string_view name, std::string_view description, std::string* reason) {
  if (!IsValidAccountName(name)) {
    SetReason(reason, text::Format("\"%s\" cannot be an account name", name));
    return ERROR_INVALID_NAME;
  }
  if (FindUser(name) || FindGroup(name)) {
    SetReason(reason, text::Format("an account named \"%s\" exists already", name));
    return ERROR_ALREADY_EXISTS;
  }
  if (!ValidText(description)) {
    SetReason(reason, "the description must be UTF-8 text");
    return ERROR_INVALID_PARAMETER;
  }
  groups.push_back({std::string(name), std::string(description), {}});
  return ERROR_SUCCESS;
}

long AccountStore::RemoveGroup(std::string_view name, std::string* reason) {
  auto it = FindByName(groups, name);
  if (it == groups.end()) {
    SetReason(reason, text::Format("there is no group \"%s\"", name));
    return ERROR_FILE_NOT_FOUND;
  }
  groups.erase(it);
  for (auto& g : groups) std::erase_if(g.members, [&](const auto& m) { return EqualsName(m, name); });
  return ERROR_SUCCESS;
}

long AccountStore::AddMember(std::string_view group, std::string_view member, std::string* reason) {
  auto it = FindByName(groups, group);
  if (it == groups.end()) {
    SetReason(reason, text::Format("there is no group \"%s\"", group));
    return ERROR_FILE_NOT_FOUND;
  }
  const AccountUser* user = FindUser(member);
  const AccountGroup* nested = FindGroup(member);
  if (!user && !nested) {
    SetReason(reason, text::Format("there is no user or group \"%s\"", member));
    return ERROR_FILE_NOT_FOUND;
  }
  if (EqualsName(group, member)) {
    SetReason(reason, "a group cannot be a member of itself");
    return ERROR_INVALID_PARAMETER;
  }
  if (std::any_of(it->members.begin(), it->members.end(), [&](const auto& m) { return EqualsName(m, member); })) {
    SetReason(reason, text::Format("\"%s\" is a member of \"%s\" already", member, it->name));
    return ERROR_ALREADY_EXISTS;
  }
  // Keep the account's own spelling.
  it->members.push_back(user ? user->name : nested->name);
  return ERROR_SUCCESS;
}

long AccountStore::RemoveMember(std::string_view group, std::string_view member, std::string* reason) {
  auto it = FindByName(groups, group);
  if (it == groups.end()) {
    SetReason(reason, text::Format("there is no group \"%s\"", group));
    return ERROR_FILE_NOT_FOUND;
  }
  if (std::erase_if(it->members, [&](const auto& m) { return EqualsName(m, member); }) == 0) {
    SetReason(reason, text::Format("\"%s\" is not a member of \"%s\"", member, it->name));
    return ERROR_FILE_NOT_FOUND;
  }
  return ERROR_SUCCESS;
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

long LoadAccountStore(const std::string& path, AccountStore& out, std::string* reason) {
  std::string content;
  if (long rc = ReadWhole(path, content); rc != ERROR_SUCCESS) {
    SetReason(reason, rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND
                          ? text::Format("%s: no account store (create one with quor-accounts init)", path)
                          : text::Format("%s: cannot be read (error %d)", path, rc));
    return rc == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : rc;
  }
  std::string why;
  long rc = AccountStore::Parse(content, out, &why);
  if (rc != ERROR_SUCCESS) SetReason(reason, path + ": " + why);
  return rc;
}

long CreateAccountStore(const std::string& path, std::string_view domain, std::string_view computer,
                        uint32_t iterations, std::string* reason) {
  if (!IsValidAccountName(domain) || !IsValidAccountName(computer)) {
    SetReason(reason, "the domain and computer names must be valid account names");
    return ERROR_INVALID_NAME;
  }
  if (iterations < AccountStore::kMinIterations || iterations > kMaxIterations) {
    SetReason(reason, text::Format("the iteration count must be between %u and %u", AccountStore::kMinIterations,
                                   kMaxIterations));
    return ERROR_INVALID_PARAMETER;
  }
  std::error_code ec;
  const auto folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  FileLock lock;
  if (long rc = lock.Acquire(path); rc != ERROR_SUCCESS) {
    SetReason(reason, text::Format("%s: cannot be locked (error %d)", path, rc));
    return rc;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    SetReason(reason, text::Format("%s exists already", path));
    return ERROR_ALREADY_EXISTS;
  }
  AccountStore store;
  store.domain = domain;
  store.computer = computer;
  store.iterations = iterations;
  long rc = WriteReplacing(path, store.Serialize());
  if (rc != ERROR_SUCCESS) SetReason(reason, text::Format("%s: cannot be written (error %d)", path, rc));
  return rc;
}

long UpdateAccountStore(const std::string& path, const std::function<long(AccountStore&, std::string*)>& change,
                        std::string* reason) {
  FileLock lock;
  if (long rc = lock.Acquire(path); rc != ERROR_SUCCESS) {
    SetReason(reason, text::Format("%s: cannot be locked (error %d)", path, rc));
    return rc;
  }
  AccountStore store;
  if (long rc = LoadAccountStore(path, store, reason); rc != ERROR_SUCCESS) return rc;
  if (long rc = change(store, reason); rc != ERROR_SUCCESS) return rc;
  long rc = WriteReplacing(path, store.Serialize());
  if (rc != ERROR_SUCCESS) SetReason(reason, text::Format("%s: cannot be written (error %d)", path, rc));
  return rc;
}

}  // namespace quor::dir
