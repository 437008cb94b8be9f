// The Auth component class (QuorAuth.Auth): sign-in, sessions and their
// look-up. It holds no data of its own: the session table, the sign-in
// throttle, the service table, the directory defaults and the server's
// secret key are process-wide, so every Auth object of a process sees the
// same sessions.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "auth/config.h"
#include "auth/iauth.h"
#include "platform/com/dispatch.h"

namespace quor::auth {

// The event of sign-ins held back (signin_throttle.h): a warning naming the
// principal, the realm and the client address.
inline constexpr std::string_view kThrottleSource = "QuorAuth";
inline constexpr uint32_t kThrottleEvent = 1;

class Auth : public com::DispatchObject<Auth, IAuth, com::ISupportErrorInfo> {
 public:
  static constexpr std::u16string_view kErrorSource = u"QuorAuth.Auth";

  // The process's configuration; tests pass one of their own.
  Auth() : Auth(ServiceConfig::Instance()) {}
  explicit Auth(ServiceConfig& config) : config_(config) {}

  HRESULT CreateTicket(const com::Bstr& authority, const com::Bstr& realm, const com::Bstr& principal,
                       const com::Bstr& credential, com::Bstr* fullPrincipal, com::Bstr* ticket) override;
  HRESULT OpenSession(const com::Bstr& service, const com::Bstr& ticket, const com::Bstr& tokenScheme,
                      const com::Bstr& tokenSeed, com::Bstr* sessionKey, com::Bstr* verifier,
                      com::Bstr* locator) override;
  HRESULT CloseSession(const com::Bstr& sessionKey, const com::Bstr& verifier) override;
  HRESULT LookupSession(const com::Bstr& token, com::IUnknown** session) override;

  HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override;

  static std::span<const com::DispatchEntry<Auth>> DispatchTable();

 private:
  ServiceConfig& config_;
};

}  // namespace quor::auth
