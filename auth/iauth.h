// IAuth: the authentication service's front door (QuorAuth.Auth). The
// service core creates the class in-process by its class identifier and
// calls these operations through the vtable; the interface is dual, so the
// same operations are reachable by name, with dispatch identifiers 1 to 4 in
// the order below and the parameter names used here.
//
// Every operation returns a status and sets the thread's error information
// on failure (source "QuorAuth.Auth"); nothing is thrown across it. In
// strings stay the caller's; out strings are new values the caller owns.
#pragma once

#include "auth/ids.h"
#include "platform/com/unknown.h"

namespace quor::auth {

struct IAuth : com::IDispatch {
  QUOR_COM_INTERFACE(com::IDispatch, "{BF68A9A6-407B-494B-9847-1F4DE5682DC8}");

  // Checks `credential` against the directory and issues a ticket.
  // `authority` empty or equal to the configured DefaultAuthority (any other
  // is refused with 0x8007052E, logon failure); `realm` empty takes
  // DefaultRealm for the check, the ticket keeps it empty. `fullPrincipal`:
  // principal "@" realm (LDAP) or realm "\" principal (WinNT).
  // E_INVALIDARG: principal null or empty; E_POINTER: an out place missing;
  // the directory's status (0x8007052E for a wrong password, an unknown user
  // or an empty credential). Past a number of wrong credentials for the
  // principal, or from the client's address, attempts are held back for a
  // while and refused as a wrong password is (server/signin_throttle.h).
  virtual HRESULT CreateTicket(const com::Bstr& authority, const com::Bstr& realm, const com::Bstr& principal,
                               const com::Bstr& credential, com::Bstr* fullPrincipal, com::Bstr* ticket) = 0;

  // Opens a session for `service` (a value name under SOFTWARE\Velt\Services)
  // from a ticket and the client's token scheme and seed. `locator` is the
  // service's locator text. E_INVALIDARG: service null; E_POINTER: an out
  // place missing; E_FAIL "Unknown Service Identifier"; E_FAIL "Invalid
  // Ticket" (or the crypto status), also for a ticket past its lifetime; a missing service table key gives
  // 0x80070002, never a success.
  virtual HRESULT OpenSession(const com::Bstr& service, const com::Bstr& ticket, const com::Bstr& tokenScheme,
                              const com::Bstr& tokenSeed, com::Bstr* sessionKey, com::Bstr* verifier,
                              com::Bstr* locator) = 0;

  // Closes the session a verifier names; S_OK also when it is closed
  // already. E_FAIL "Invalid Verifier" for a verifier that fails its check.
  virtual HRESULT CloseSession(const com::Bstr& sessionKey, const com::Bstr& verifier) = 0;

  // The session of a request token (verifier between its first and second
  // ':'), as a new object that supports ISession, with one reference for the
  // caller. E_POINTER: session missing; E_FAIL "No Such Session"; E_FAIL
  // "Invalid Verifier"; E_UNEXPECTED "Session inconsistent".
  virtual HRESULT LookupSession(const com::Bstr& token, com::IUnknown** session) = 0;

 protected:
  ~IAuth() = default;
};

}  // namespace quor::auth
