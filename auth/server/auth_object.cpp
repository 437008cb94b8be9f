#include "auth/server/auth_object.h"

#include <chrono>
#include <new>

#include "auth/raise.h"
#include "auth/server/directory_auth.h"
#include "auth/server/edge.h"
#include "auth/server/session_table.h"
#include "auth/session.h"
#include "auth/session_object.h"
#include "auth/ticket.h"
#include "platform/directory/directory.h"
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

std::shared_ptr<SessionImpl> InTable(const std::u16string& identifier) {
  return SessionTable::Instance().Find(identifier);
}

}  // namespace

HRESULT Auth::CreateTicket(const com::Bstr& authority, const com::Bstr& realm, const com::Bstr& principal,
                           const com::Bstr& credential, com::Bstr* fullPrincipal, com::Bstr* ticket) {
  return Edge([&] {
    if (principal.Empty()) return E_INVALIDARG;
    if (!fullPrincipal || !ticket) return E_POINTER;
    *fullPrincipal = com::Bstr();
    *ticket = com::Bstr();

    // Only the configured directory signs anybody in: a caller who could
    // name a server of its own would get a ticket for any name it liked.
    const std::u16string configured = config_.DefaultAuthority();
    if (!authority.Empty() && !Authority::Parse(authority.View()).SameAs(Authority::Parse(configured)))
      Raise(dir::kLogonFailure, "Logon failure: the authority is not this service's directory");
    const std::u16string realmUsed = realm.Empty() ? config_.DefaultRealm() : realm.Str();
    const std::u16string full = Authenticate(configured, realmUsed, principal, credential);

    const uint32_t first = SecondsSince1970();
    const uint32_t second = SecondsSince1970();
    std::u16string text;
    try {
      // The ticket keeps the realm as the caller gave it, empty included.
      text = MakeTicketText(TicketImpl::Issued(realm.Str(), principal.Str(), first, second), config_.ServerSecretKey());
    } catch (const std::bad_alloc&) {
      Raise(E_OUTOFMEMORY, "Create Ticket Failed");
    }
    *fullPrincipal = com::Bstr(full);
    *ticket = com::Bstr(std::move(text));
    return S_OK;
  });
}

HRESULT Auth::OpenSession(const com::Bstr& service, const com::Bstr& ticket, const com::Bstr& tokenScheme,
                          const com::Bstr& tokenSeed, com::Bstr* sessionKey, com::Bstr* verifier, com::Bstr* locator) {
  return Edge([&] {
    if (service.IsNull()) return E_INVALIDARG;
    if (!sessionKey || !verifier || !locator) return E_POINTER;
    *sessionKey = com::Bstr();
    *verifier = com::Bstr();
    *locator = com::Bstr();

    std::u16string found = config_.ServiceLocator(service.View());
    if (found.empty()) Raise(E_FAIL, "Unknown Service Identifier");
    const Bytes secret = config_.ServerSecretKey();
    std::unique_ptr<TicketImpl> parsed = ParseTicket(ticket.View(), secret);

    std::shared_ptr<SessionImpl> session;
    try {
      session = std::make_shared<SessionImpl>(std::move(parsed), service.Str());
    } catch (const std::bad_alloc&) {
      Raise(E_OUTOFMEMORY, "Creating Session Failed");
    }
    std::u16string key = session->Init(tokenScheme, tokenSeed);

    // The verifier names the identifier, which registration may redraw.
    SessionTable& table = SessionTable::Instance();
    table.Register(session);
    std::u16string verifierText;
    try {
      verifierText = session->MakeVerifier(secret);
    } catch (...) {
      table.Remove(*session);
      throw;
    }
    *sessionKey = com::Bstr(std::move(key));
    *verifier = com::Bstr(std::move(verifierText));
    *locator = com::Bstr(std::move(found));
    return S_OK;
  });
}

HRESULT Auth::CloseSession(const com::Bstr& /*sessionKey*/, const com::Bstr& verifier) {
  return Edge([&] {
    std::shared_ptr<SessionImpl> found =
        FindByVerifier(u":" + verifier.Str(), &InTable, config_.ServerSecretKey());
    if (found) SessionTable::Instance().Remove(*found);
    return S_OK;
  });
}

HRESULT Auth::LookupSession(const com::Bstr& token, com::IUnknown** session) {
  return Edge([&] {
    if (!session) return E_POINTER;
    *session = nullptr;
    std::shared_ptr<SessionImpl> found = FindByVerifier(token.View(), &InTable, config_.ServerSecretKey());
    if (!found) Raise(E_FAIL, "No Such Session");

    com::ComPtr<ISession> object;
    try {
      com::ComPtr<Session> made = com::MakeObject<Session>();
      made->Bind(std::move(found));
      made.As(object);
    } catch (const std::bad_alloc&) {
    }
    if (!object) Raise(E_FAIL, "Session Instantiaction Failed");
    *session = object.Detach();
    return S_OK;
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
