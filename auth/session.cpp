#include "auth/session.h"

#include "auth/config.h"
#include "auth/raise.h"
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
  std::lock_guard guard(handlerLock_);
  ReleaseTokenHandler(handler_);
}

std::u16string SessionImpl::Init(const Bstr& scheme, const Bstr& seed) {
  TokenHandlerPtr handler;
  if (FAILED(AcquireTokenHandler(scheme, &handler))) Raise(E_FAIL, "AcquireTokenHandler Failed");
  if (FAILED(auth::SetTokenSeed(handler.get(), seed))) Raise(E_FAIL, "SetTokenSeed Failed");

  const std::string container = std::string(kServiceContainer) + ":" + text::Narrow(GetFullPrincipal());
  keyProvider_.AcquireContext(container, std::nullopt, crypt::PROV_RSA_FULL, crypt::CRYPT_MACHINE_KEYSET);
  RenewIdentifier();
  // Always RC2, whatever cipher the scheme names.
  sessionKey_ = keyProvider_.GenKey(crypt::CALG_RC2, crypt::CRYPT_EXPORTABLE);

  // The client's public key is the seed's part after its first ";".
  const util::CryptKey clientKey =
      keyProvider_.ImportKey(util::Base64Decode(SplitText(seed.View(), u';').second), 0, nullptr);
  std::u16string sessionKeyText =
      util::WidenAscii(util::Base64Encode(sessionKey_.ExportKey(crypt::SIMPLEBLOB, &clientKey)));

  const Bstr opaque(util::WidenAscii(util::Base64Encode(sessionKey_.ExportKey(crypt::OPAQUEKEYBLOB, nullptr))));
  if (FAILED(auth::SetTokenItem(handler.get(), Bstr(kSessionKeyItem), opaque)))
    Raise(E_FAIL, "SetTokenItem('SessionKey') Failed");
  std::lock_guard guard(handlerLock_);
  handler_ = std::move(handler);
  return sessionKeyText;
}

void SessionImpl::RenewIdentifier() {
  if (!keyProvider_.IsOpen()) Raise(E_UNEXPECTED);
  const size_t n = 32 + (keyProvider_.GenRandom(1)[0] & 0x1F);
  identifier_ = util::WidenAscii(util::Base64Encode(keyProvider_.GenRandom(n)));
}

std::u16string SessionImpl::GetRealm() const {
  if (!ticket_) Raise(E_UNEXPECTED);
  return ticket_->realm;
}

std::u16string SessionImpl::GetPrincipal() const {
  if (!ticket_) Raise(E_UNEXPECTED);
  return ticket_->principal;
}

std::u16string SessionImpl::GetFullPrincipal() const {
  if (!ticket_) Raise(E_UNEXPECTED);
  return ticket_->principal + u"@" + ticket_->realm;
}

std::u16string SessionImpl::MakeVerifier() const { return MakeVerifier(ServiceConfig::Instance().ServerSecretKey()); }

std::u16string SessionImpl::MakeVerifier(std::span<const uint8_t> secretKeyBlob) const {
  const std::u16string realm = GetRealm(), principal = GetPrincipal();
  if (!FitsAField(realm) || !FitsAField(principal)) Raise(E_INVALIDARG, "a realm or principal must not contain ':'");
  return SealAndSign(identifier_ + u":" + realm + u":" + principal, secretKeyBlob);
}

TokenHandler& SessionImpl::Handler() {
  if (!handler_) Raise(E_UNEXPECTED);
  return *handler_;
}

void SessionImpl::SetTokenData(uint32_t index, uint32_t flags, const Bstr& name, const Bstr& value) {
  std::lock_guard guard(handlerLock_);
  if (FAILED(auth::SetTokenData(&Handler(), index, flags, name, value))) Raise(E_FAIL, "set token data failed");
}

void SessionImpl::GetTokenData(uint32_t index, uint32_t* kind, Bstr* value, Bstr* encoded) {
  std::lock_guard guard(handlerLock_);
  if (FAILED(auth::GetTokenData(&Handler(), index, kind, value, encoded))) Raise(E_FAIL, "get token data failed");
}

Bstr SessionImpl::ConstructToken() {
  std::lock_guard guard(handlerLock_);
  Bstr token;
  if (FAILED(auth::ConstructToken(&Handler(), &token))) Raise(E_FAIL, "token constructtion failed");
  return token;
}

bool SessionImpl::ValidateToken(const Bstr& token) {
  std::lock_guard guard(handlerLock_);
  return auth::ValidateToken(&Handler(), token) == S_OK;
}

void EnterUnique(SessionImpl& session, const std::function<bool(const std::u16string& identifier)>& insert) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (attempt > 0) session.RenewIdentifier();
    if (insert(session.Identifier())) return;
  }
  Raise(E_UNEXPECTED, "Duplicate session identifier");
}

VerifierFields ParseVerifier(std::u16string_view verifier) {
  return ParseVerifier(verifier, ServiceConfig::Instance().ServerSecretKey());
}

VerifierFields ParseVerifier(std::u16string_view verifier, std::span<const uint8_t> secretKeyBlob) {
  const std::u16string plain = OpenSigned(verifier, secretKeyBlob, kInvalidVerifier);
  std::vector<std::string> fields = text::Split(text::Narrow(plain), ':');
  if (fields.size() != 3) Raise(E_FAIL, kInvalidVerifier);
  return {text::Widen(fields[0]), text::Widen(fields[1]), text::Widen(fields[2])};
}

std::u16string_view VerifierOfToken(std::u16string_view token) {
  return SplitText(SplitText(token, u':').second, u':').first;
}

std::shared_ptr<SessionImpl> FindByVerifier(std::u16string_view token, const SessionLookup& lookup) {
  return FindByVerifier(token, lookup, ServiceConfig::Instance().ServerSecretKey());
}

std::shared_ptr<SessionImpl> FindByVerifier(std::u16string_view token, const SessionLookup& lookup,
                                            std::span<const uint8_t> secretKeyBlob) {
  const VerifierFields fields = ParseVerifier(VerifierOfToken(token), secretKeyBlob);
  std::shared_ptr<SessionImpl> session = lookup(fields.identifier);
  if (!session) return nullptr;
  if (session->GetPrincipal() != fields.principal || session->GetRealm() != fields.realm)
    Raise(E_UNEXPECTED, "Session inconsistent");
  return session;
}

}  // namespace quor::auth
