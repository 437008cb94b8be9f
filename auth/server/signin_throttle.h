// Failed sign-ins held back: after a number of wrong credentials for one
// principal, further attempts for that principal are refused without asking
// the directory, for a delay that doubles with each further failure up to a
// longest delay (AuthLimits). Failures from one client address are counted
// apart, against a higher limit, and past it every attempt from the address
// is held back alike: one user's mistakes do not lock out the others behind
// the same proxy, while guessing across many names from one address is
// still slowed. A refused attempt is answered with the refusal the
// directory gave the last failure, so it reads exactly like a wrong
// password, and an unknown user is counted like any other. A success clears
// the principal's count, never the address's; a count is forgotten once no
// failure came for ten times the longest delay.
//
// Each table holds at most `capacity` entries: when a new one does not fit,
// the forgotten entries go first and then, one at a time, the entry whose
// last failure is oldest, those not holding anything back before those
// that are.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "auth/config.h"
#include "auth/util/lock.h"
#include "platform/com/errorinfo.h"
#include "platform/time/clock.h"

namespace quor::auth {

class SignInThrottle {
 public:
  static constexpr size_t kCapacity = 4096;

  static SignInThrottle& Instance();
  explicit SignInThrottle(size_t capacity = kCapacity) : capacity_(capacity) {}
  SignInThrottle(const SignInThrottle&) = delete;
  SignInThrottle& operator=(const SignInThrottle&) = delete;

  // The name a principal is counted under: principal "@" realm, without
  // ASCII case (the directories compare names without case).
  static std::string PrincipalKey(std::u16string_view principal, std::u16string_view realm);
  // A client address as counted: an IPv4 address mapped into IPv6 as the
  // IPv4 address. Empty (unknown) addresses are not counted at all.
  static std::string AddressKey(std::string_view address);

  // The refusal to answer an attempt with at `now`, when the principal or
  // the address is held back; nullopt when neither is.
  std::optional<com::ErrorInfo> Held(const std::string& principal, const std::string& address, time::TimePoint now)
      QUOR_EXCLUDES(lock_);

  // Which counts a failure started holding back.
  struct Started {
    bool principal = false;
    bool address = false;
  };
  // Counts a wrong credential for the principal and the address; `refusal`
  // is the answer it got.
  Started Failed(const std::string& principal, const std::string& address, const com::ErrorInfo& refusal,
                 const AuthLimits& limits, time::TimePoint now) QUOR_EXCLUDES(lock_);
  // A right credential: the principal's count goes.
  void Succeeded(const std::string& principal) QUOR_EXCLUDES(lock_);

  // The entries of both tables (for tests).
  size_t Size() QUOR_EXCLUDES(lock_);

 private:
  struct Entry {
    uint32_t failures = 0;
    time::TimePoint lastFailure;
    time::TimePoint heldUntil;
    com::ErrorInfo refusal;
  };
  using Table = std::map<std::string, Entry, std::less<>>;

  // Counts one failure in `table`, whose entries hold back after `limit`
  // failures; true when it starts holding back.
  bool Count(Table& table, const std::string& key, const com::ErrorInfo& refusal, uint32_t limit,
             const AuthLimits& limits, time::TimePoint now) QUOR_REQUIRES(lock_);
  // Makes room for one more entry in `table`.
  void MakeRoom(Table& table, std::chrono::seconds forget, time::TimePoint now) QUOR_REQUIRES(lock_);

  const size_t capacity_;
  util::CriticalSection lock_;
  Table principals_ QUOR_GUARDED_BY(lock_);
  Table addresses_ QUOR_GUARDED_BY(lock_);
};

}  // namespace quor::auth
