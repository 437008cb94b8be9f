// The unwrap and wrap of the request frame: every argument of a data
// operation travels inside the caller's request token, and every answer goes
// back with a response key made by the same session.
#include "auth/isession.h"
#include "core/QuorServiceUtils.h"
#include "core/StatusCodes.h"
#include "platform/com/errorinfo.h"

namespace quor::core {
// The session's calls are another component's: a failure leaves the error
// information it set for the edge to report.
Status CQuorServiceUtils::UnwrapArgs(const com::Bstr& user, std::span<ArgumentEntry> table,
                                     com::Bstr& principal) const {
  principal = com::Bstr(u"");
  AuthAccessor* accessor = auth_;
  if (!accessor) return Status(QS_E_AUTH_SERVER_CONNECT_FAILED);
  com::ComPtr<auth::ISession> session;
  // A lookup that answers success without a session found none either.
  if (!accessor->LookupSession(user, session).ok() || !session) return Status(QS_E_SESSION_NOT_FOUND);

  com::Bstr name;
  QUOR_RETURN_IF_ERROR(com::StatusOf(session->GetPrincipal(&name)));
  principal = name.IsNull() ? com::Bstr(u"") : name;

  for (size_t i = 0; i < table.size(); ++i) {
    const com::Bstr value = (i == 0 || !table[i].value) ? com::Bstr() : *table[i].value;
    const HRESULT hr =
        session->SetTokenData(static_cast<uint32_t>(i), table[i].flags, com::Bstr(table[i].name), value);
    // Anything but S_OK stops the unwrap, a success code included.
    if (hr != S_OK) return Status(hr);
  }
  int32_t valid = 0;
  QUOR_RETURN_IF_ERROR(com::StatusOf(session->ValidateToken(user, &valid)));
  if (valid != -1) return Status(QS_E_USER_NAME_NOT_EXTRACTED);

  for (size_t i = 1; i < table.size(); ++i) {
    uint32_t flags = 0;
    com::Bstr given, decoded;
    QUOR_RETURN_IF_ERROR(
        com::StatusOf(session->GetTokenData(static_cast<uint32_t>(i), &flags, &given, &decoded)));
    table[i].flags = flags;
    if (table[i].value) *table[i].value = std::move(decoded);
  }
  return Status();
}

Status CQuorServiceUtils::WrapResult(const com::Bstr& user, std::span<ArgumentEntry> table, com::Bstr& reskey) const {
  reskey = com::Bstr(u"");
  AuthAccessor* accessor = auth_;
  if (!accessor) return Status(QS_E_RESPONSE_KEY_NOT_CREATED);
  com::ComPtr<auth::ISession> session;
  if (Status looked = accessor->LookupSession(user, session); !looked.ok()) return looked;
  if (!session) return Status(QS_E_SESSION_NOT_FOUND);

  const auto threshold = static_cast<uint32_t>(GetCompressThreshold());
  for (size_t i = 0; i < table.size(); ++i) {
    const com::Bstr value = (i == 0 || !table[i].value) ? com::Bstr() : *table[i].value;
    uint32_t flags = table[i].flags;
    if (threshold == 0) {
      flags = 0;
    } else if (threshold != 1 && table[i].name == u"result" && value.Length() > threshold) {
      flags = 1;
    }
    QUOR_RETURN_IF_ERROR(
        com::StatusOf(session->SetTokenData(static_cast<uint32_t>(i), flags, com::Bstr(table[i].name), value)));
  }
  com::Bstr token;
  QUOR_RETURN_IF_ERROR(com::StatusOf(session->ConstructToken(&token)));
  for (size_t i = 1; i < table.size(); ++i) {
    uint32_t flags = 0;
    com::Bstr given, encoded;
    QUOR_RETURN_IF_ERROR(
        com::StatusOf(session->GetTokenData(static_cast<uint32_t>(i), &flags, &given, &encoded)));
    if (table[i].value) *table[i].value = std::move(encoded);
  }
  reskey = std::move(token);
  return Status();
}

Status CQuorServiceUtils::BeginStreamedResult(const com::Bstr& user, std::u16string_view operation,
                                              com::ComPtr<auth::ISession>& session) const {
  session = nullptr;
  AuthAccessor* accessor = auth_;
  if (!accessor) return Status(QS_E_RESPONSE_KEY_NOT_CREATED);
  com::ComPtr<auth::ISession> found;
  if (Status looked = accessor->LookupSession(user, found); !looked.ok()) return looked;
  if (!found) return Status(QS_E_SESSION_NOT_FOUND);
  // Plain items only: a compressed result is never streamed.
  QUOR_RETURN_IF_ERROR(com::StatusOf(found->SetTokenData(0, 0, com::Bstr(operation), com::Bstr())));
  QUOR_RETURN_IF_ERROR(com::StatusOf(found->SetTokenData(1, 0, com::Bstr(u"result"), com::Bstr())));
  QUOR_RETURN_IF_ERROR(com::StatusOf(found->BeginTokenStream()));
  session = std::move(found);
  return Status();
}

}  // namespace quor::core
