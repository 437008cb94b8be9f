// The Session component class (QuorAuth.Session): the thin object
// LookupSession hands the service core for one request, bound to a session
// of the table. It shares ownership of that session, so it stays usable (and
// safe) even when the session is closed meanwhile. Not creatable by clients;
// the component server lists it so that it can be made by class.
#pragma once

#include <memory>
#include <span>

#include "auth/isession.h"
#include "auth/session.h"
#include "platform/com/dispatch.h"

namespace quor::auth {

class Session : public com::DispatchObject<Session, ISession, com::ISupportErrorInfo> {
 public:
  static constexpr std::u16string_view kErrorSource = u"QuorAuth.Session";

  void Bind(std::shared_ptr<SessionImpl> session) { session_ = std::move(session); }
  const std::shared_ptr<SessionImpl>& Bound() const { return session_; }

  // Each operation clears the thread's error information first. Argument
  // checks return E_INVALIDARG or E_POINTER; an unbound object E_UNEXPECTED;
  // any other failure is returned with its error information (source
  // QuorAuth.Session unless the failure named its class).
  HRESULT GetRealm(com::Bstr* realm) override;
  HRESULT GetPrincipal(com::Bstr* principal) override;
  HRESULT GetFullPrincipal(com::Bstr* fullPrincipal) override;
  HRESULT ConstructToken(com::Bstr* token) override;
  HRESULT ValidateToken(const com::Bstr& token, int32_t* valid) override;
  HRESULT SetTokenData(uint32_t index, uint32_t flags, const com::Bstr& name, const com::Bstr& value) override;
  HRESULT GetTokenData(uint32_t index, uint32_t* flags, com::Bstr* src, com::Bstr* dst) override;
  HRESULT BeginTokenStream() override;
  HRESULT HashTokenStream(std::string_view utf8) override;
  HRESULT EndTokenStream(com::Bstr* token) override;

  HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override;

  static std::span<const com::DispatchEntry<Session>> DispatchTable();

 private:
  std::shared_ptr<SessionImpl> session_;
};

}  // namespace quor::auth
