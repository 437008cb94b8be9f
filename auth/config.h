// The process-wide configuration of the authentication service and its one
// process-wide secret: the directory defaults, the service table that turns a
// service identifier into a locator, the computer's fully qualified name, and
// the server's secret key that seals tickets and verifiers. Each item is made
// on first use, kept for the life of the process (the service table is read
// again when its key changes) and guarded by a lock of its own; no two of
// these locks are ever held together.
//
// Registry (HKEY_LOCAL_MACHINE, read only): "SOFTWARE\Velt" values
// DefaultAuthority and DefaultRealm; "SOFTWARE\Velt\Services" one REG_SZ value
// per service, named by the service identifier, holding the locator template;
// the limits of sign-ins and sessions (AuthLimits) under the service's key.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "auth/mac.h"
#include "auth/util/lock.h"
#include "platform/com/status.h"

namespace quor::auth {

// The machine key container that holds the service's signature key.
inline constexpr std::string_view kServiceContainer = "Velt.QuorService";

// The key of the service's own settings, beside which the limits live.
inline constexpr std::string_view kServiceSettingsKey = "SOFTWARE\\Velt\\QuorService";

// The limits of sign-ins and sessions: REG_DWORD values under
// kServiceSettingsKey, named in the comments. A value that is missing, of
// another type or 0 takes the default.
struct AuthLimits {
  // Failed sign-ins of one principal before further attempts for it are held
  // back (SignInFailureLimit), and from one client address before further
  // attempts from it are (SignInAddressFailureLimit: higher, as many users
  // may share an address behind a proxy)...
  uint32_t failuresBeforeDelay = 5;
  uint32_t addressFailuresBeforeDelay = 50;
  // ...first for this long (SignInDelaySeconds), doubled with each further
  // failure up to the longest delay (SignInDelayMaxSeconds; never below the
  // first).
  std::chrono::seconds firstDelay{1};
  std::chrono::seconds longestDelay{60};
  // How long after its issue a ticket opens sessions (TicketLifetimeSeconds).
  std::chrono::seconds ticketLifetime{10 * 3600};
  // How long a session lives without a request (SessionIdleSeconds), and how
  // many sessions the table holds at most (SessionLimit).
  std::chrono::seconds sessionIdle{8 * 3600};
  uint32_t sessionLimit = 10000;
  // How far a request token's time may be from the server's clock
  // (TokenSkewSeconds); nonces are remembered for as long.
  std::chrono::seconds tokenSkew = kDefaultTokenSkew;
};

class ServiceConfig {
 public:
  // The one object of the process.
  static ServiceConfig& Instance();

  ServiceConfig() = default;
  ServiceConfig(const ServiceConfig&) = delete;
  ServiceConfig& operator=(const ServiceConfig&) = delete;

  // The registry value, read while the cached text is empty; a failure to
  // read gives an empty text, and the next call tries again.
  std::u16string DefaultAuthority() QUOR_EXCLUDES(authority_.lock);
  std::u16string DefaultRealm() QUOR_EXCLUDES(realm_.lock);

  // The locator of a service: its template with the first "%s" (or, when
  // there is none, the first "%S") replaced by the computer name; empty for
  // an empty or unknown identifier. Identifiers match exactly, case included.
  // A missing service table key raises the registry's error number.
  Result<std::u16string> ServiceLocator(std::u16string_view service) QUOR_EXCLUDES(tableLock_);

  // The computer's fully qualified DNS name, looked up once.
  Result<std::u16string> ComputerName() QUOR_EXCLUDES(nameLock_);

  // The server's secret key: an RC2 key made once per process in the
  // container kServiceContainer and kept only in memory, as a key blob.
  // Tickets and verifiers sealed by one process cannot be opened by another.
  Result<Bytes> ServerSecretKey() QUOR_EXCLUDES(secretLock_);

  // The limits, read once, when first needed: a change takes effect when
  // the process starts again.
  AuthLimits Limits() QUOR_EXCLUDES(limitsLock_);

 private:
  // A registry default and the lock of its cached text.
  struct CachedDefault {
    util::CriticalSection lock;
    std::u16string text QUOR_GUARDED_BY(lock);
  };
  static std::u16string ReadDefault(std::string_view name, CachedDefault& cached) QUOR_EXCLUDES(cached.lock);

  CachedDefault authority_;
  CachedDefault realm_;
  util::CriticalSection tableLock_;
  std::map<std::u16string, std::u16string> services_ QUOR_GUARDED_BY(tableLock_);
  uint64_t servicesStamp_ QUOR_GUARDED_BY(tableLock_) = 0;
  util::CriticalSection nameLock_;
  std::u16string computerName_ QUOR_GUARDED_BY(nameLock_);
  util::CriticalSection secretLock_;
  Bytes secret_ QUOR_GUARDED_BY(secretLock_);
  bool secretMade_ QUOR_GUARDED_BY(secretLock_) = false;
  util::CriticalSection limitsLock_;
  std::optional<AuthLimits> limits_ QUOR_GUARDED_BY(limitsLock_);
};

// The computer's fully qualified DNS name (the host name's canonical name),
// not cached. $QUOR_COMPUTER_NAME, when set, is taken instead (for tests and
// for hosts whose name does not resolve).
Result<std::u16string> LookupComputerName();

// The part of `text` before the first `delimiter`, and the part after it; a
// text without the delimiter is the first part whole, with an empty second.
std::pair<std::u16string_view, std::u16string_view> SplitText(std::u16string_view text, char16_t delimiter);

}  // namespace quor::auth
