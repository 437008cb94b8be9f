// The unwrap and wrap of the request frame: every argument of a data
// operation travels inside the caller's request token, and every answer goes
// back with a response key made by the same session.
#include "auth/isession.h"
#include "core/QuorServiceUtils.h"
#include "core/ServiceModule.h"
#include "core/StatusCodes.h"
#include "platform/com/errorinfo.h"

namespace quor::core {
namespace {

AuthAccessor* Accessor() {
  const CServiceConfig* settings = CServiceModule::Instance().Settings();
  return settings ? settings->Auth.get() : nullptr;
}

// Runs a session call; a call that throws gives its status like one that fails.
template <typename Fn>
HRESULT SessionCall(Fn&& fn) {
  try {
    return fn();
  } catch (const com::ComError& e) {
    return e.Code();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace

int CQuorServiceUtils::ClassifyVOURI(const com::Bstr& uri) {
  const std::u16string_view text = uri.View();
  if (text.starts_with(u"urn:vocontent:vodb")) return 1;
  if (text.starts_with(u"urn:vocontent:covodb")) return 2;
  return 0;
}

HRESULT CQuorServiceUtils::UnwrapArgs(const com::Bstr& user, std::span<ArgumentEntry> table,
                                      com::Bstr& principal) const {
  principal = com::Bstr(u"");
  AuthAccessor* accessor = Accessor();
  if (!accessor) return QS_E_AUTH_SERVER_CONNECT_FAILED;
  com::ComPtr<auth::ISession> session;
  // A lookup that answers success without a session found none either.
  if (accessor->LookupSession(user, session) != S_OK || !session) return QS_E_SESSION_NOT_FOUND;

  com::Bstr name;
  if (HRESULT hr = SessionCall([&] { return session->GetPrincipal(&name); }); FAILED(hr)) return hr;
  principal = name.IsNull() ? com::Bstr(u"") : name;

  for (size_t i = 0; i < table.size(); ++i) {
    const com::Bstr value = (i == 0 || !table[i].value) ? com::Bstr() : *table[i].value;
    const HRESULT hr = SessionCall([&] {
      return session->SetTokenData(static_cast<uint32_t>(i), table[i].flags, com::Bstr(table[i].name), value);
    });
    if (hr != S_OK) return hr;
  }
  int32_t valid = 0;
  if (HRESULT hr = SessionCall([&] { return session->ValidateToken(user, &valid); }); FAILED(hr)) return hr;
  if (valid != -1) return QS_E_USER_NAME_NOT_EXTRACTED;

  for (size_t i = 1; i < table.size(); ++i) {
    uint32_t flags = 0;
    com::Bstr given, decoded;
    const HRESULT hr =
        SessionCall([&] { return session->GetTokenData(static_cast<uint32_t>(i), &flags, &given, &decoded); });
    if (FAILED(hr)) return hr;
    table[i].flags = flags;
    if (table[i].value) *table[i].value = std::move(decoded);
  }
  return S_OK;
}

HRESULT CQuorServiceUtils::WrapResult(const com::Bstr& user, std::span<ArgumentEntry> table, com::Bstr& reskey) const {
  reskey = com::Bstr(u"");
  AuthAccessor* accessor = Accessor();
  if (!accessor) return QS_E_RESPONSE_KEY_NOT_CREATED;
  com::ComPtr<auth::ISession> session;
  if (HRESULT hr = accessor->LookupSession(user, session); hr != S_OK) return hr;
  if (!session) return QS_E_SESSION_NOT_FOUND;

  const auto threshold = static_cast<uint32_t>(GetCompressThreshold());
  for (size_t i = 0; i < table.size(); ++i) {
    const com::Bstr value = (i == 0 || !table[i].value) ? com::Bstr() : *table[i].value;
    uint32_t flags = table[i].flags;
    if (threshold == 0) {
      flags = 0;
    } else if (threshold != 1 && table[i].name == u"result" && value.Length() > threshold) {
      flags = 1;
    }
    const HRESULT hr = SessionCall(
        [&] { return session->SetTokenData(static_cast<uint32_t>(i), flags, com::Bstr(table[i].name), value); });
    if (FAILED(hr)) return hr;
  }
  com::Bstr token;
  if (HRESULT hr = SessionCall([&] { return session->ConstructToken(&token); }); FAILED(hr)) return hr;
  for (size_t i = 1; i < table.size(); ++i) {
    uint32_t flags = 0;
    com::Bstr given, encoded;
    const HRESULT hr =
        SessionCall([&] { return session->GetTokenData(static_cast<uint32_t>(i), &flags, &given, &encoded); });
    if (FAILED(hr)) return hr;
    if (table[i].value) *table[i].value = std::move(encoded);
  }
  reskey = std::move(token);
  return S_OK;
}

}  // namespace quor::core
