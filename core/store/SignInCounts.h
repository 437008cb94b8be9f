// Failed sign-ins counted for the whole service, where several servers share
// the repository (PostgreSQL): rows of QUORSIGNIN by principal and by client
// address, so that a guesser meets the limits once, not once per server.
// The authentication component holds back the attempts each server sees by
// itself (the same limits, the same registry values); this adds what the
// other servers saw. Over a repository of one server it counts nothing.
//
// The counts follow the component's rules: after SignInFailureLimit wrong
// credentials of a principal (SignInAddressFailureLimit from one address)
// further attempts are held back for SignInDelaySeconds, doubled with each
// further failure up to SignInDelayMaxSeconds; a success clears the
// principal's count, never the address's; a count is forgotten ten times the
// longest delay after its last failure. Times are the repository's clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/store/ServerLease.h"
#include "platform/com/status.h"

namespace quor::core {

struct SignInLimits {
  uint32_t principal = 5;
  uint32_t address = 50;
  std::chrono::seconds firstDelay{1};
  std::chrono::seconds longestDelay{60};
  // The values of the service's registry key, where set.
  static SignInLimits Read();
};

class CSignInCounts {
 public:
  explicit CSignInCounts(CServerLease& lease) : lease_(lease) {}
  // At start-up, before the calls begin.
  void SetLimits(const SignInLimits& limits) { limits_ = limits; }

  // The names a principal and an address are counted under, as the
  // authentication component counts them.
  static std::string PrincipalKey(std::u16string_view principal, std::u16string_view realm);
  static std::string AddressKey(std::string_view address);

  // What the service's counts say about an attempt, on the calling thread's
  // connection.
  struct Standing {
    bool held = false;          // held back now
    bool principalSeen = false;  // the principal has a count to clear
  };
  // Nothing is held over a repository of one server; a count that cannot be
  // read holds nothing back (the server's own count still does).
  Standing Look(const std::string& principal, const std::string& address);
  // A wrong credential: counted for both. Whether it started holding either
  // back (a warning for the event log).
  struct Started {
    bool principal = false;
    bool address = false;
  };
  Started Failed(const std::string& principal, const std::string& address);
  void Succeeded(const std::string& principal);

  const SignInLimits& Limits() const { return limits_; }

 private:
  bool Counting();
  // Counts one failure under `key`; true when it starts holding back.
  bool Count(const std::string& key, uint32_t limit);

  CServerLease& lease_;
  // Set at start-up, then only read.
  SignInLimits limits_;
};

}  // namespace quor::core
