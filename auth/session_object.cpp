#include "auth/session_object.h"

#include "auth/util/error.h"

namespace quor::auth {
namespace {

template <typename Fn>
HRESULT Edge(Fn&& fn) {
  com::ClearErrorInfo();
  return util::CatchAtEdge(Session::kErrorSource, ISession::kIid, std::forward<Fn>(fn));
}

}  // namespace

HRESULT Session::GetRealm(com::Bstr* realm) {
  return Edge([&]() -> Status {
    if (!realm) return Status(E_POINTER);
    if (!session_) return Status(E_UNEXPECTED);
    QUOR_ASSIGN_OR_RETURN(const std::u16string text, session_->GetRealm());
    *realm = com::Bstr(text);
    return {};
  });
}

HRESULT Session::GetPrincipal(com::Bstr* principal) {
  return Edge([&]() -> Status {
    if (!principal) return Status(E_POINTER);
    if (!session_) return Status(E_UNEXPECTED);
    QUOR_ASSIGN_OR_RETURN(const std::u16string text, session_->GetPrincipal());
    *principal = com::Bstr(text);
    return {};
  });
}

HRESULT Session::GetFullPrincipal(com::Bstr* fullPrincipal) {
  return Edge([&]() -> Status {
    if (!fullPrincipal) return Status(E_POINTER);
    if (!session_) return Status(E_UNEXPECTED);
    QUOR_ASSIGN_OR_RETURN(const std::u16string text, session_->GetFullPrincipal());
    *fullPrincipal = com::Bstr(text);
    return {};
  });
}

HRESULT Session::ConstructToken(com::Bstr* token) {
  return Edge([&]() -> Status {
    if (!token) return Status(E_POINTER);
    if (!session_) return Status(E_UNEXPECTED);
    QUOR_ASSIGN_OR_RETURN(*token, session_->ConstructToken());
    return {};
  });
}

HRESULT Session::ValidateToken(const com::Bstr& token, int32_t* valid) {
  return Edge([&]() -> Status {
    if (token.IsNull()) return Status(E_INVALIDARG);
    if (!valid) return Status(E_POINTER);
    if (!session_) return Status(E_UNEXPECTED);
    QUOR_ASSIGN_OR_RETURN(const bool passed, session_->ValidateToken(token));
    *valid = passed ? -1 : 0;
    return {};
  });
}

HRESULT Session::SetTokenData(uint32_t index, uint32_t flags, const com::Bstr& name, const com::Bstr& value) {
  return Edge([&]() -> Status {
    if (name.IsNull()) return Status(E_INVALIDARG);
    if (!session_) return Status(E_UNEXPECTED);
    QUOR_RETURN_IF_ERROR(session_->SetTokenData(index, flags, name, value));
    return {};
  });
}

HRESULT Session::GetTokenData(uint32_t index, uint32_t* flags, com::Bstr* src, com::Bstr* dst) {
  return Edge([&]() -> Status {
    if (!dst) return Status(E_POINTER);
    if (!session_) return Status(E_UNEXPECTED);
    if (flags) *flags = 0;
    if (src) *src = com::Bstr();
    QUOR_RETURN_IF_ERROR(session_->GetTokenData(index, flags, src, dst));
    return {};
  });
}

HRESULT Session::BeginTokenStream() {
  return Edge([&]() -> Status {
    if (!session_) return Status(E_UNEXPECTED);
    return session_->BeginTokenStream();
  });
}

HRESULT Session::HashTokenStream(std::string_view utf8) {
  return Edge([&]() -> Status {
    if (!session_) return Status(E_UNEXPECTED);
    return session_->HashTokenStream(utf8);
  });
}

HRESULT Session::EndTokenStream(com::Bstr* token) {
  return Edge([&]() -> Status {
    if (!token) return Status(E_POINTER);
    if (!session_) return Status(E_UNEXPECTED);
    QUOR_ASSIGN_OR_RETURN(*token, session_->EndTokenStream());
    return {};
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
