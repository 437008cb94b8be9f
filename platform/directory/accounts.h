// The local account store: the domain and computer names, users with salted
// PBKDF2-HMAC-SHA256 password hashes, and groups with members (users or
// other groups). It answers WinNT:// paths (directory.h) and is managed by
// quor-accounts. The file layout is described at the top of accounts.cpp.
//
// Account names compare without case (ASCII) and keep the case they were
// written with; a user and a group never share a name. Every change is made
// under an exclusive lock on "<file>.lock" on the file's current content and
// written atomically (temporary file, fsync, rename) with mode 0600.
// A failure is a status whose code is one of the platform's error numbers
// (platform/base/win32_error.h, as HRESULT_FROM_WIN32) and whose message is
// the reason in words.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/status.h"

namespace quor::dir {

struct AccountUser {
  std::string name;
  std::string fullName;
  std::string description;
  // "pbkdf2-sha256$<iterations>$<salt, base64>$<key, base64>"; empty: the
  // user cannot sign in.
  std::string passwordHash;
};

struct AccountGroup {
  std::string name;
  std::string description;
  std::vector<std::string> members;  // names of users and groups, in the order added
};

class AccountStore {
 public:
  static constexpr uint32_t kDefaultIterations = 600000;
  static constexpr uint32_t kMinIterations = 1000;

  std::string domain;
  std::string computer;
  // The cost given to new password hashes; stored hashes keep their own.
  uint32_t iterations = kDefaultIterations;
  std::vector<AccountUser> users;
  std::vector<AccountGroup> groups;

  // ERROR_BADDB with the line and reason for text that breaks the layout.
  static Result<AccountStore> Parse(std::string_view text);
  std::string Serialize() const;

  const AccountUser* FindUser(std::string_view name) const;
  const AccountGroup* FindGroup(std::string_view name) const;

  // Changes. Each checks everything before it changes anything:
  // ERROR_INVALID_NAME for a name that cannot be an account name,
  // ERROR_ALREADY_EXISTS, ERROR_FILE_NOT_FOUND for a missing account,
  // ERROR_INVALID_PARAMETER for an empty password or other bad value.
  Status AddUser(std::string_view name, std::string_view fullName, std::string_view description,
                 std::string_view password);
  Status SetPassword(std::string_view name, std::string_view password);
  Status SetUserInfo(std::string_view name, const std::string* fullName, const std::string* description);
  // Also takes the user out of every group.
  Status RemoveUser(std::string_view name);
  Status AddGroup(std::string_view name, std::string_view description);
  // Also takes the group out of every group.
  Status RemoveGroup(std::string_view name);
  // `member` names an existing user or group other than `group` itself;
  // groups may contain each other.
  Status AddMember(std::string_view group, std::string_view member);
  Status RemoveMember(std::string_view group, std::string_view member);

  // True when the user exists and the password matches its hash. Takes about
  // as long for an unknown user as for a known one.
  bool VerifyPassword(std::string_view name, std::string_view password) const;
};

// A name usable for an account, the domain or the computer: 1 to 256 bytes of
// UTF-8 without control characters, without " / \ [ ] : ; | = , + * ? < > @,
// not starting or ending with a space.
bool IsValidAccountName(std::string_view name);

// "pbkdf2-sha256$..." for `password` with a fresh 16-byte salt.
std::string HashPassword(std::string_view password, uint32_t iterations);
// Constant-time comparison of the derived key; false for a malformed hash.
bool VerifyPasswordHash(std::string_view hash, std::string_view password);

// "<registry file>.accounts", the registry file being $QUOR_REGISTRY (or the
// registry's default path when unset).
std::string DefaultAccountStorePath();

// Reads the store. ERROR_FILE_NOT_FOUND when the file does not exist,
// ERROR_BADDB when it is damaged.
Result<AccountStore> LoadAccountStore(const std::string& path);
// Creates a new store with the given names; ERROR_ALREADY_EXISTS when the
// file exists.
Status CreateAccountStore(const std::string& path, std::string_view domain, std::string_view computer,
                          uint32_t iterations = AccountStore::kDefaultIterations);
// Runs `change` on the current content under the file lock and writes the
// result when it succeeds; the file is left as it was otherwise.
Status UpdateAccountStore(const std::string& path, const std::function<Status(AccountStore&)>& change);

// The platform's error number a failure above carries; ERROR_SUCCESS (0) for
// success.
inline long AccountError(const Status& status) { return static_cast<long>(HRESULT_CODE(status.code())); }

}  // namespace quor::dir
