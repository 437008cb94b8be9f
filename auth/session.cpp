#include "auth/session.h"

#include "auth/config.h"
#include "auth/fail.h"
#include "auth/mac_handler.h"
#include "auth/sealed.h"
#include "auth/util/error.h"
#include "platform/text/text.h"

namespace quor::auth {
namespace {

constexpr std::string_view kInvalidVerifier = "Invalid Verifier";

bool FitsAField(std::u16string_view text) { return text.find_first_of(std::u16string_view(u":\0", 2)) == text.npos; }

}  // namespace

SessionImpl::SessionImpl(std::unique_ptr<TicketImpl> ticket, std::u16string service)
    : ticket_(std::move(ticket)), service_(std::move(service)) {}

SessionImpl::~SessionImpl() {
  MutexLock guard(handlerLock_);
  ReleaseTokenHandler(handler_);
}

Result<std::u16string> SessionImpl::Init(const Bstr& scheme, const Bstr& seed, std::chrono::seconds tokenSkew) {
  TokenHandlerPtr handler;
  if (FAILED(AcquireTokenHandler(scheme, &handler))) return Fail(E_FAIL, "AcquireTokenHandler Failed");
  // AcquireTokenHandler makes the server's handler.
  static_cast<ServerMACImpl&>(*handler).SetTimeWindow(tokenSkew);
  if (FAILED(auth::SetTokenSeed(handler.get(), seed))) return Fail(E_FAIL, "SetTokenSeed Failed");

  QUOR_ASSIGN_OR_RETURN(const std::u16string fullPrincipal, GetFullPrincipal());
  const std::string container = std::string(kServiceContainer) + ":" + text::Narrow(fullPrincipal);
  QUOR_RETURN_IF_ERROR(
      keyProvider_.AcquireContext(container, std::nullopt, crypt::PROV_RSA_FULL, crypt::CRYPT_MACHINE_KEYSET));
  QUOR_RETURN_IF_ERROR(RenewIdentifier());
  // Always RC2, whatever cipher the scheme names.
  QUOR_ASSIGN_OR_RETURN(sessionKey_, keyProvider_.GenKey(crypt::CALG_RC2, crypt::CRYPT_EXPORTABLE));

  // The client's public key is the seed's part after its first ";".
  QUOR_ASSIGN_OR_RETURN(const util::CryptKey clientKey,
                        keyProvider_.ImportKey(util::Base64Decode(SplitText(seed.View(), u';').second), 0, nullptr));
  QUOR_ASSIGN_OR_RETURN(const Bytes wrapped, sessionKey_.ExportKey(crypt::SIMPLEBLOB, &clientKey));
  std::u16string sessionKeyText = util::WidenAscii(util::Base64Encode(wrapped));

  QUOR_ASSIGN_OR_RETURN(const Bytes opaqueBlob, sessionKey_.ExportKey(crypt::OPAQUEKEYBLOB, nullptr));
  const Bstr opaque(util::WidenAscii(util::Base64Encode(opaqueBlob)));
  if (FAILED(auth::SetTokenItem(handler.get(), Bstr(kSessionKeyItem), opaque)))
    return Fail(E_FAIL, "SetTokenItem('SessionKey') Failed");
  MutexLock guard(handlerLock_);
  handler_ = std::move(handler);
  sessionKeyText_ = sessionKeyText;
  return sessionKeyText;
}

bool SessionImpl::IsSessionKeyText(std::u16string_view text) const {
  return !sessionKeyText_.empty() && crypt::EqualConstantTime(text, sessionKeyText_);
}

Status SessionImpl::RenewIdentifier() {
  if (!keyProvider_.IsOpen()) return Fail(E_UNEXPECTED);
  QUOR_ASSIGN_OR_RETURN(const Bytes first, keyProvider_.GenRandom(1));
  const size_t n = 32 + (first[0] & 0x1F);
  QUOR_ASSIGN_OR_RETURN(const Bytes random, keyProvider_.GenRandom(n));
  identifier_ = util::WidenAscii(util::Base64Encode(random));
  return {};
}

Result<std::u16string> SessionImpl::GetRealm() const {
  if (!ticket_) return Fail(E_UNEXPECTED);
  return ticket_->realm;
}

Result<std::u16string> SessionImpl::GetPrincipal() const {
  if (!ticket_) return Fail(E_UNEXPECTED);
  return ticket_->principal;
}

Result<std::u16string> SessionImpl::GetFullPrincipal() const {
  if (!ticket_) return Fail(E_UNEXPECTED);
  return ticket_->principal + u"@" + ticket_->realm;
}

Result<std::u16string> SessionImpl::MakeVerifier() const {
  QUOR_ASSIGN_OR_RETURN(const Bytes secret, ServiceConfig::Instance().ServerSecretKey());
  return MakeVerifier(secret);
}

Result<std::u16string> SessionImpl::MakeVerifier(std::span<const uint8_t> secretKeyBlob) const {
  QUOR_ASSIGN_OR_RETURN(const std::u16string realm, GetRealm());
  QUOR_ASSIGN_OR_RETURN(const std::u16string principal, GetPrincipal());
  if (!FitsAField(realm) || !FitsAField(principal))
    return Fail(E_INVALIDARG, "a realm or principal must not contain ':'");
  return SealAndSign(identifier_ + u":" + realm + u":" + principal, secretKeyBlob);
}

Result<TokenHandler*> SessionImpl::Handler() {
  if (!handler_) return Fail(E_UNEXPECTED);
  return handler_.get();
}

Status SessionImpl::SetTokenData(uint32_t index, uint32_t flags, const Bstr& name, const Bstr& value) {
  MutexLock guard(handlerLock_);
  QUOR_ASSIGN_OR_RETURN(TokenHandler* const handler, Handler());
  if (FAILED(auth::SetTokenData(handler, index, flags, name, value))) return Fail(E_FAIL, "set token data failed");
  return {};
}

Status SessionImpl::GetTokenData(uint32_t index, uint32_t* kind, Bstr* value, Bstr* encoded) {
  MutexLock guard(handlerLock_);
  QUOR_ASSIGN_OR_RETURN(TokenHandler* const handler, Handler());
  if (FAILED(auth::GetTokenData(handler, index, kind, value, encoded))) return Fail(E_FAIL, "get token data failed");
  return {};
}

Result<Bstr> SessionImpl::ConstructToken() {
  MutexLock guard(handlerLock_);
  QUOR_ASSIGN_OR_RETURN(TokenHandler* const handler, Handler());
  Bstr token;
  if (FAILED(auth::ConstructToken(handler, &token))) return Fail(E_FAIL, "token constructtion failed");
  return token;
}

Result<bool> SessionImpl::ValidateToken(const Bstr& token) {
  MutexLock guard(handlerLock_);
  QUOR_ASSIGN_OR_RETURN(TokenHandler* const handler, Handler());
  return auth::ValidateToken(handler, token) == S_OK;
}

Status SessionImpl::BeginTokenStream() {
  MutexLock guard(handlerLock_);
  QUOR_ASSIGN_OR_RETURN(TokenHandler* const handler, Handler());
  return handler->BeginTokenStream();
}

Status SessionImpl::HashTokenStream(std::string_view utf8) {
  MutexLock guard(handlerLock_);
  QUOR_ASSIGN_OR_RETURN(TokenHandler* const handler, Handler());
  return handler->HashTokenStream(utf8);
}

Result<Bstr> SessionImpl::EndTokenStream() {
  MutexLock guard(handlerLock_);
  QUOR_ASSIGN_OR_RETURN(TokenHandler* const handler, Handler());
  Bstr token;
  QUOR_RETURN_IF_ERROR(handler->EndTokenStream(&token));
  return token;
}

Status EnterUnique(SessionImpl& session, const std::function<bool(const std::u16string& identifier)>& insert) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (attempt > 0) QUOR_RETURN_IF_ERROR(session.RenewIdentifier());
    if (insert(session.Identifier())) return {};
  }
  return Fail(E_UNEXPECTED, "Duplicate session identifier");
}

Result<VerifierFields> ParseVerifier(std::u16string_view verifier) {
  QUOR_ASSIGN_OR_RETURN(const Bytes secret, ServiceConfig::Instance().ServerSecretKey());
  return ParseVerifier(verifier, secret);
}

Result<VerifierFields> ParseVerifier(std::u16string_view verifier, std::span<const uint8_t> secretKeyBlob) {
  QUOR_ASSIGN_OR_RETURN(const std::u16string plain, OpenSigned(verifier, secretKeyBlob, kInvalidVerifier));
  std::vector<std::string> fields = text::Split(text::Narrow(plain), ':');
  if (fields.size() != 3) return Fail(E_FAIL, kInvalidVerifier);
  return VerifierFields{text::Widen(fields[0]), text::Widen(fields[1]), text::Widen(fields[2])};
}

std::u16string_view VerifierOfToken(std::u16string_view token) {
  return SplitText(SplitText(token, u':').second, u':').first;
}

Result<std::shared_ptr<SessionImpl>> FindByVerifier(std::u16string_view token, const SessionLookup& lookup) {
  QUOR_ASSIGN_OR_RETURN(const Bytes secret, ServiceConfig::Instance().ServerSecretKey());
  return FindByVerifier(token, lookup, secret);
}

Result<std::shared_ptr<SessionImpl>> FindByVerifier(std::u16string_view token, const SessionLookup& lookup,
                                                    std::span<const uint8_t> secretKeyBlob) {
  QUOR_ASSIGN_OR_RETURN(const VerifierFields fields, ParseVerifier(VerifierOfToken(token), secretKeyBlob));
  std::shared_ptr<SessionImpl> session = lookup(fields.identifier);
  if (!session) return std::shared_ptr<SessionImpl>();
  QUOR_ASSIGN_OR_RETURN(const std::u16string principal, session->GetPrincipal());
  if (principal != fields.principal) return Fail(E_UNEXPECTED, "Session inconsistent");
  QUOR_ASSIGN_OR_RETURN(const std::u16string realm, session->GetRealm());
  if (realm != fields.realm) return Fail(E_UNEXPECTED, "Session inconsistent");
  return session;
}

}  // namespace quor::auth
