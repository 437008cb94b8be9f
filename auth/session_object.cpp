#include "auth/session_object.h"

#include "auth/util/error.h"

namespace quor::auth {
namespace {

template <typename Fn>
HRESULT Edge(Fn&& fn) {
  com::ClearErrorInfo();
  return util::CatchRaised(Session::kErrorSource, ISession::kIid, std::forward<Fn>(fn));
}

}  // namespace

HRESULT Session::GetRealm(com::Bstr* realm) {
  return Edge([&] {
    if (!realm) return E_POINTER;
    if (!session_) return E_UNEXPECTED;
    *realm = com::Bstr(session_->GetRealm());
    return S_OK;
  });
}

HRESULT Session::GetPrincipal(com::Bstr* principal) {
  return Edge([&] {
    if (!principal) return E_POINTER;
    if (!session_) return E_UNEXPECTED;
    *principal = com::Bstr(session_->GetPrincipal());
    return S_OK;
  });
}

HRESULT Session::GetFullPrincipal(com::Bstr* fullPrincipal) {
  return Edge([&] {
    if (!fullPrincipal) return E_POINTER;
    if (!session_) return E_UNEXPECTED;
    *fullPrincipal = com::Bstr(session_->GetFullPrincipal());
    return S_OK;
  });
}

HRESULT Session::ConstructToken(com::Bstr* token) {
  return Edge([&] {
    if (!token) return E_POINTER;
    if (!session_) return E_UNEXPECTED;
    *token = session_->ConstructToken();
    return S_OK;
  });
}

HRESULT Session::ValidateToken(const com::Bstr& token, int32_t* valid) {
  return Edge([&] {
    if (token.IsNull()) return E_INVALIDARG;
    if (!valid) return E_POINTER;
    if (!session_) return E_UNEXPECTED;
    *valid = session_->ValidateToken(token) ? -1 : 0;
    return S_OK;
  });
}

HRESULT Session::SetTokenData(uint32_t index, uint32_t flags, const com::Bstr& name, const com::Bstr& value) {
  return Edge([&] {
    if (name.IsNull()) return E_INVALIDARG;
    if (!session_) return E_UNEXPECTED;
    session_->SetTokenData(index, flags, name, value);
    return S_OK;
  });
}

HRESULT Session::GetTokenData(uint32_t index, uint32_t* flags, com::Bstr* src, com::Bstr* dst) {
  return Edge([&] {
    if (!dst) return E_POINTER;
    if (!session_) return E_UNEXPECTED;
    if (flags) *flags = 0;
    if (src) *src = com::Bstr();
    session_->GetTokenData(index, flags, src, dst);
    return S_OK;
  });
}

HRESULT Session::InterfaceSupportsErrorInfo(const com::IID& iid) { return iid == ISession::kIid ? S_OK : S_FALSE; }

std::span<const com::DispatchEntry<Session>> Session::DispatchTable() {
  static const com::DispatchEntry<Session> table[] = {
      com::Method<&Session::GetRealm>(u"GetRealm", 1, {u"realm"}),
      com::Method<&Session::GetPrincipal>(u"GetPrincipal", 2, {u"principal"}),
      com::Method<&Session::GetFullPrincipal>(u"GetFullPrincipal", 3, {u"fullPrincipal"}),
      com::Method<&Session::ConstructToken>(u"ConstructToken", 4, {u"token"}),
      com::Method<&Session::ValidateToken>(u"ValidateToken", 5, {u"token", u"valid"}),
      com::Method<&Session::SetTokenData>(u"SetTokenData", 6, {u"idx", u"flags", u"name", u"value"}),
      com::Method<&Session::GetTokenData>(u"GetTokenData", 7, {u"idx", u"flags", u"src", u"dst"}),
  };
  return table;
}

}  // namespace quor::auth
