// Sessions: made by OpenSession from a verified ticket; each owns the server
// token handler that checks every request token and seals every answer.
//
// A session is shared-owned (std::shared_ptr): the session table and every
// Session object handed out for a request hold it, so closing a session
// while a request still uses it is safe. Requests of one session may arrive
// on different threads, so its token handler is guarded by a lock of its own
// (held for each token call, not across a request).
//
// Verifier: the sealed, signed text (sealed.h) of identifier ":" realm ":"
// principal, which the client sends back in every request token and by which
// the server finds the session again.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "auth/mac.h"
#include "auth/ticket.h"
#include "auth/util/crypto.h"
#include "platform/base/thread_annotations.h"

namespace quor::auth {

class SessionImpl {
 public:
  SessionImpl(std::unique_ptr<TicketImpl> ticket, std::u16string service);
  ~SessionImpl();
  SessionImpl(const SessionImpl&) = delete;
  SessionImpl& operator=(const SessionImpl&) = delete;

  // Sets the session up for a client's token scheme and seed and gives the
  // session key text: Base64 of a new RC2 session key wrapped (SIMPLEBLOB)
  // under the public key in the seed. The key is made in the machine
  // container "Velt.QuorService:" + the full principal. Failures: E_FAIL
  // "AcquireTokenHandler Failed", "SetTokenSeed Failed" or
  // "SetTokenItem('SessionKey') Failed", or the crypto error of the step.
  // Request times must fall within `tokenSkew` of the server's clock.
  Result<std::u16string> Init(const Bstr& scheme, const Bstr& seed,
                              std::chrono::seconds tokenSkew = kDefaultTokenSkew) QUOR_EXCLUDES(handlerLock_);

  // Whether `text` is the session key text Init handed out (compared in
  // constant time): only the session's holder may close it.
  bool IsSessionKeyText(std::u16string_view text) const;

  // The key of the session table: Base64 of 32 to 63 random bytes.
  const std::u16string& Identifier() const { return identifier_; }
  // Draws a new identifier, for a table that already holds this one; the
  // verifier is to be made after registration.
  Status RenewIdentifier();
  const std::u16string& Service() const { return service_; }

  // The ticket's realm and principal, and principal "@" realm; E_UNEXPECTED
  // without a ticket.
  Result<std::u16string> GetRealm() const;
  Result<std::u16string> GetPrincipal() const;
  Result<std::u16string> GetFullPrincipal() const;

  Result<std::u16string> MakeVerifier() const;
  Result<std::u16string> MakeVerifier(std::span<const uint8_t> secretKeyBlob) const;

  // The token calls, forwarded to the handler under the session's lock.
  // Failures: E_FAIL "set token data failed", "get token data failed",
  // "token constructtion failed"; ValidateToken is true exactly when the
  // handler accepted the token.
  Status SetTokenData(uint32_t index, uint32_t flags, const Bstr& name, const Bstr& value) QUOR_EXCLUDES(handlerLock_);
  Status GetTokenData(uint32_t index, uint32_t* kind, Bstr* value, Bstr* encoded) QUOR_EXCLUDES(handlerLock_);
  Result<Bstr> ConstructToken() QUOR_EXCLUDES(handlerLock_);
  Result<bool> ValidateToken(const Bstr& token) QUOR_EXCLUDES(handlerLock_);
  // The answer token over a last value hashed as it passes (see
  // TokenHandler::BeginTokenStream), each step under the session's lock, as
  // ConstructToken; the handler's failure is the result as it is. The
  // handler holds one stream: a request of the session that begins another
  // meanwhile spoils the first, whose client then refuses its answer, as
  // interleaved requests of one session may refuse one another.
  Status BeginTokenStream() QUOR_EXCLUDES(handlerLock_);
  Status HashTokenStream(std::string_view utf8) QUOR_EXCLUDES(handlerLock_);
  Result<Bstr> EndTokenStream() QUOR_EXCLUDES(handlerLock_);

 private:
  // The handler; E_UNEXPECTED before Init.
  Result<TokenHandler*> Handler() QUOR_REQUIRES(handlerLock_);

  std::u16string identifier_;
  std::unique_ptr<TicketImpl> ticket_;
  std::u16string service_;
  Mutex handlerLock_;
  TokenHandlerPtr handler_ QUOR_GUARDED_BY(handlerLock_) QUOR_PT_GUARDED_BY(handlerLock_);
  util::CryptProvider keyProvider_;
  util::CryptKey sessionKey_;
  std::u16string sessionKeyText_;  // set by Init, then read-only
};

// Enters a session in a table through `insert`, which answers false when the
// identifier is taken already: the session then draws a new identifier and
// tries again, so a collision is never reported as success. After eight
// refusals E_UNEXPECTED "Duplicate session identifier" is the failure. The
// verifier names the identifier, so it is made after the session is entered.
Status EnterUnique(SessionImpl& session, const std::function<bool(const std::u16string& identifier)>& insert);

struct VerifierFields {
  std::u16string identifier;
  std::u16string realm;
  std::u16string principal;
};

// Opens a verifier: E_FAIL "Invalid Verifier" when its signature fails or it
// is not three fields; the crypto error when it cannot be decrypted.
Result<VerifierFields> ParseVerifier(std::u16string_view verifier);
Result<VerifierFields> ParseVerifier(std::u16string_view verifier, std::span<const uint8_t> secretKeyBlob);

// The verifier in a request token (or in ":" followed by a verifier): the
// text between its first and second ":"; empty when there is no ":".
std::u16string_view VerifierOfToken(std::u16string_view token);

using SessionLookup = std::function<std::shared_ptr<SessionImpl>(const std::u16string& identifier)>;

// Resolves a request token, or ":" followed by a verifier, to a session:
// opens the verifier, asks `lookup` (the session table) for its identifier,
// and checks that the session's principal and then realm equal the
// verifier's (E_UNEXPECTED "Session inconsistent" otherwise). Null when the
// table has no such session.
Result<std::shared_ptr<SessionImpl>> FindByVerifier(std::u16string_view token, const SessionLookup& lookup);
Result<std::shared_ptr<SessionImpl>> FindByVerifier(std::u16string_view token, const SessionLookup& lookup,
                                                    std::span<const uint8_t> secretKeyBlob);

}  // namespace quor::auth
