#include "auth/server/auth_object.h"

#include <array>
#include <chrono>
#include <optional>

#include "auth/fail.h"
#include "auth/server/directory_auth.h"
#include "auth/server/edge.h"
#include "auth/server/session_table.h"
#include "auth/server/signin_throttle.h"
#include "auth/session.h"
#include "auth/session_object.h"
#include "auth/ticket.h"
#include "platform/com/callcontext.h"
#include "platform/directory/directory.h"
#include "platform/eventlog/eventlog.h"
#include "platform/text/text.h"
#include "platform/time/clock.h"

namespace quor::auth {
namespace {

template <typename Fn>
HRESULT Edge(Fn&& fn) {
  return OperationEdge(Auth::kErrorSource, IAuth::kIid, std::forward<Fn>(fn));
}

uint32_t SecondsSince1970() {
  const auto since = std::chrono::duration_cast<std::chrono::seconds>(time::Now().time_since_epoch());
  return static_cast<uint32_t>(since.count());
}

// The session table's look-up, with the idle lifetime in force.
SessionLookup InTable(ServiceConfig& config) {
  return [idle = config.Limits().sessionIdle](const std::u16string& identifier) {
    return SessionTable::Instance().Find(identifier, idle, time::Now());
  };
}

// The directory's refusal names the principal it refused (as realm "\"
// principal, or principal "@" realm). A throttle entry keeps it with these
// names marked, so that a held-back attempt is answered with the refusal a
// wrong password of its own principal gets. The marks are noncharacters,
// which no directory text holds.
constexpr char16_t kMarks[] = {u'\uFDD0', u'\uFDD1'};

std::array<std::u16string, 2> FullNames(std::u16string_view principal, std::u16string_view realm) {
  return {std::u16string(realm) + u"\\" + std::u16string(principal),
          std::u16string(principal) + u"@" + std::u16string(realm)};
}

std::u16string Replaced(std::u16string text, std::u16string_view from, std::u16string_view to) {
  if (from.empty()) return text;
  for (size_t at = text.find(from); at != std::u16string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// The thread's error information as `failure` left it (kept in place), with
// the principal's names marked.
com::ErrorInfo RefusalOf(const Status& failure, std::u16string_view principal, std::u16string_view realm) {
  std::optional<com::ErrorInfo> info = com::GetErrorInfo();
  if (!info) info = com::ErrorInfo{IAuth::kIid, {}, com::Bstr::FromUtf8(failure.message()), failure.code(), {}, 0};
  com::SetErrorInfo(*info);
  com::ErrorInfo kept = *info;
  std::u16string text = kept.description.Str();
  const auto names = FullNames(principal, realm);
  for (size_t i = 0; i < names.size(); ++i) text = Replaced(std::move(text), names[i], std::u16string(1, kMarks[i]));
  kept.description = com::Bstr(std::move(text));
  return kept;
}

// Answers an attempt held back as a wrong password of its principal is.
Status Refusal(com::ErrorInfo refusal, std::u16string_view principal, std::u16string_view realm) {
  std::u16string text = refusal.description.Str();
  const auto names = FullNames(principal, realm);
  for (size_t i = 0; i < names.size(); ++i) text = Replaced(std::move(text), std::u16string(1, kMarks[i]), names[i]);
  refusal.description = com::Bstr(std::move(text));
  Status failure(refusal.code, refusal.description.ToUtf8());
  com::SetErrorInfo(std::move(refusal));
  return failure;
}

// Takes a session registered for OpenSession out of the table again unless
// the call gets as far as handing it out.
class RegisteredSession {
 public:
  RegisteredSession(SessionTable& table, const SessionImpl& session) : table_(table), session_(session) {}
  RegisteredSession(const RegisteredSession&) = delete;
  RegisteredSession& operator=(const RegisteredSession&) = delete;
  ~RegisteredSession() {
    if (!kept_) table_.Remove(session_);
  }
  void Keep() { kept_ = true; }

 private:
  SessionTable& table_;
  const SessionImpl& session_;
  bool kept_ = false;
};

void ReportHeldBack(std::u16string_view principal, std::u16string_view realm, const std::string& address,
                    SignInThrottle::Started started, const AuthLimits& limits) {
  std::string counted;
  if (started.principal) counted = text::Format("%u failed attempts for the principal", limits.failuresBeforeDelay);
  if (started.address)
    counted += text::Format("%s%u failed attempts from the address", counted.empty() ? "" : " and ",
                            limits.addressFailuresBeforeDelay);
  eventlog::EventSource(kThrottleSource)
      .Report(eventlog::EventType::Warning, kThrottleEvent,
              {text::Format("Sign-ins held back after %s: principal \"%S\" (realm \"%S\"), address %s", counted,
                            principal, realm, address.empty() ? std::string("unknown") : address)});
}

}  // namespace

HRESULT Auth::CreateTicket(const com::Bstr& authority, const com::Bstr& realm, const com::Bstr& principal,
                           const com::Bstr& credential, com::Bstr* fullPrincipal, com::Bstr* ticket) {
  return Edge([&]() -> Status {
    if (principal.Empty()) return Status(E_INVALIDARG);
    if (!fullPrincipal || !ticket) return Status(E_POINTER);
    *fullPrincipal = com::Bstr();
    *ticket = com::Bstr();

    // Only the configured directory signs anybody in: a caller who could
    // name a server of its own would get a ticket for any name it liked.
    const std::u16string configured = config_.DefaultAuthority();
    if (!authority.Empty() && !Authority::Parse(authority.View()).SameAs(Authority::Parse(configured)))
      return Fail(dir::kLogonFailure, "Logon failure: the authority is not this service's directory");
    const std::u16string realmUsed = realm.Empty() ? config_.DefaultRealm() : realm.Str();

    // Wrong credentials are counted and, past the limit, held back. An empty
    // one never reaches the directory, so it guesses nothing and is not.
    SignInThrottle& throttle = SignInThrottle::Instance();
    const bool guess = !credential.Empty();
    const std::string who = SignInThrottle::PrincipalKey(principal.View(), realmUsed);
    const std::string from = SignInThrottle::AddressKey(com::CurrentCallContext().clientAddress);
    if (guess) {
      if (std::optional<com::ErrorInfo> refusal = throttle.Held(who, from, time::Now()))
        return Refusal(std::move(*refusal), principal.View(), realmUsed);
    }
    Result<std::u16string> full = Authenticate(configured, realmUsed, principal, credential);
    if (!full.ok()) {
      if (guess && full.status().code() == dir::kLogonFailure) {
        const AuthLimits limits = config_.Limits();
        const com::ErrorInfo refusal = RefusalOf(full.status(), principal.View(), realmUsed);
        const SignInThrottle::Started started = throttle.Failed(who, from, refusal, limits, time::Now());
        if (started.principal || started.address) ReportHeldBack(principal.View(), realmUsed, from, started, limits);
      }
      return full.status();
    }
    throttle.Succeeded(who);

    const uint32_t first = SecondsSince1970();
    const uint32_t second = SecondsSince1970();
    QUOR_ASSIGN_OR_RETURN(const Bytes secret, config_.ServerSecretKey());
    // The ticket keeps the realm as the caller gave it, empty included.
    QUOR_ASSIGN_OR_RETURN(std::u16string text,
                          MakeTicketText(TicketImpl::Issued(realm.Str(), principal.Str(), first, second), secret));
    *fullPrincipal = com::Bstr(*full);
    *ticket = com::Bstr(std::move(text));
    return {};
  });
}

HRESULT Auth::OpenSession(const com::Bstr& service, const com::Bstr& ticket, const com::Bstr& tokenScheme,
                          const com::Bstr& tokenSeed, com::Bstr* sessionKey, com::Bstr* verifier, com::Bstr* locator) {
  return Edge([&]() -> Status {
    if (service.IsNull()) return Status(E_INVALIDARG);
    if (!sessionKey || !verifier || !locator) return Status(E_POINTER);
    *sessionKey = com::Bstr();
    *verifier = com::Bstr();
    *locator = com::Bstr();

    QUOR_ASSIGN_OR_RETURN(std::u16string found, config_.ServiceLocator(service.View()));
    if (found.empty()) return Fail(E_FAIL, "Unknown Service Identifier");
    QUOR_ASSIGN_OR_RETURN(const Bytes secret, config_.ServerSecretKey());
    QUOR_ASSIGN_OR_RETURN(std::unique_ptr<TicketImpl> parsed, ParseTicket(ticket.View(), secret));
    const AuthLimits limits = config_.Limits();
    QUOR_RETURN_IF_ERROR(CheckTicketTime(*parsed, SecondsSince1970(), limits.ticketLifetime));

    auto session = std::make_shared<SessionImpl>(std::move(parsed), service.Str());
    QUOR_ASSIGN_OR_RETURN(std::u16string key, session->Init(tokenScheme, tokenSeed, limits.tokenSkew));

    // The verifier names the identifier, which registration may redraw.
    SessionTable& table = SessionTable::Instance();
    QUOR_RETURN_IF_ERROR(table.Register(session, limits.sessionLimit, limits.sessionIdle, time::Now()));
    RegisteredSession registered(table, *session);
    QUOR_ASSIGN_OR_RETURN(std::u16string verifierText, session->MakeVerifier(secret));
    registered.Keep();
    *sessionKey = com::Bstr(std::move(key));
    *verifier = com::Bstr(std::move(verifierText));
    *locator = com::Bstr(std::move(found));
    return {};
  });
}

HRESULT Auth::CloseSession(const com::Bstr& sessionKey, const com::Bstr& verifier) {
  return Edge([&]() -> Status {
    QUOR_ASSIGN_OR_RETURN(const Bytes secret, config_.ServerSecretKey());
    QUOR_ASSIGN_OR_RETURN(const std::shared_ptr<SessionImpl> found,
                          FindByVerifier(u":" + verifier.Str(), InTable(config_), secret));
    // The verifier travels in every request token; the session key text only
    // in the OpenSession answer. Without the right one, the call answers as
    // for a session that is gone and closes nothing.
    if (found && found->IsSessionKeyText(sessionKey.View())) SessionTable::Instance().Remove(*found);
    return {};
  });
}

HRESULT Auth::LookupSession(const com::Bstr& token, com::IUnknown** session) {
  return Edge([&]() -> Status {
    if (!session) return Status(E_POINTER);
    *session = nullptr;
    QUOR_ASSIGN_OR_RETURN(const Bytes secret, config_.ServerSecretKey());
    QUOR_ASSIGN_OR_RETURN(std::shared_ptr<SessionImpl> found, FindByVerifier(token.View(), InTable(config_), secret));
    if (!found) return Fail(E_FAIL, "No Such Session");

    com::ComPtr<ISession> object;
    com::ComPtr<Session> made = com::MakeObject<Session>();
    made->Bind(std::move(found));
    made.As(object);
    if (!object) return Fail(E_FAIL, "Session Instantiaction Failed");
    *session = object.Detach();
    return {};
  });
}

HRESULT Auth::InterfaceSupportsErrorInfo(const com::IID& iid) { return iid == IAuth::kIid ? S_OK : S_FALSE; }

std::span<const com::DispatchEntry<Auth>> Auth::DispatchTable() {
  static const com::DispatchEntry<Auth> table[] = {
      com::Method<&Auth::CreateTicket>(u"CreateTicket", 1,
                                       {u"authority", u"realm", u"principal", u"credential", u"fullPrincipal", u"ticket"}),
      com::Method<&Auth::OpenSession>(
          u"OpenSession", 2,
          {u"service", u"ticket", u"tokenScheme", u"tokenSeed", u"sessionKey", u"verifier", u"locator"}),
      com::Method<&Auth::CloseSession>(u"CloseSession", 3, {u"sessionKey", u"verifier"}),
      com::Method<&Auth::LookupSession>(u"LookupSession", 4, {u"token", u"session"}),
  };
  return table;
}

}  // namespace quor::auth
