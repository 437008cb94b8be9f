// The main component's operations on share fields, their messages, sharing,
// attendees, ACLs and locks, the conference URLs and the resume queue. Each
// is called by the request frame with the caller's principal and the
// decoded arguments in interface order.
#include "core/QuorServiceCore.h"
#include "core/ServiceModule.h"
#include "core/StatusCodes.h"

namespace quor::core {
namespace {

using com::Bstr;

// Which store an ACL operation's uri belongs to: only the full prefixes the
// URN builders write count, in this case.
enum class AclStore { Content, Collab, None };

AclStore AclStoreOf(const Bstr& uri) {
  const std::u16string_view text = uri.View();
  if (text.starts_with(u"urn:vocontent:vodb000")) return AclStore::Content;
  if (text.starts_with(u"urn:vocontent:covodb000")) return AclStore::Collab;
  return AclStore::None;
}

template <typename Content, typename Collab>
HRESULT RouteAcl(const Bstr& uri, HRESULT invalidUri, Content&& content, Collab&& collab) {
  switch (AclStoreOf(uri)) {
    case AclStore::Content:
      return content();
    case AclStore::Collab:
      return collab();
    case AclStore::None:
      break;
  }
  return invalidUri;
}

CServiceModule& Module() { return CServiceModule::Instance(); }

}  // namespace

// ---- Share fields -------------------------------------------------------------------

HRESULT CQuorServiceCore::PutShareField(OpCall& c) {
  return collab_->PutShareField(c.principal, c.args[0], c.args[1], c.args[2], c.result);
}
HRESULT CQuorServiceCore::GetShareField(OpCall& c) { return collab_->GetShareField(c.principal, c.args[0], c.result); }
HRESULT CQuorServiceCore::UpdateShareField(OpCall& c) {
  return collab_->UpdateShareField(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::RemoveShareField(OpCall& c) {
  return collab_->RemoveShareField(c.principal, c.args[0], c.result);
}
HRESULT CQuorServiceCore::GetShareFieldList(OpCall& c) { return collab_->GetShareFieldList(c.principal, c.result); }
HRESULT CQuorServiceCore::GetShareFieldURIList(OpCall& c) {
  return collab_->GetShareFieldURIList(c.principal, c.result);
}
HRESULT CQuorServiceCore::GetShareFieldAttribute(OpCall& c) {
  return collab_->GetShareFieldAttribute(c.principal, c.args[0], c.result);
}
HRESULT CQuorServiceCore::GetShareFieldURI(OpCall& c) {
  return collab_->GetShareFieldURI(c.principal, c.args[0], c.args[1], c.result);
}

// ---- Messages -----------------------------------------------------------------------

HRESULT CQuorServiceCore::PutMessage(OpCall& c) {
  return collab_->PutMessage(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::GetMessage(OpCall& c) { return collab_->GetMessage(c.principal, c.args[0], c.result); }
HRESULT CQuorServiceCore::UpdateMessage(OpCall& c) {
  return collab_->UpdateMessage(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::RemoveMessage(OpCall& c) { return collab_->RemoveMessage(c.principal, c.args[0], c.result); }

// ---- Sharing and attendees -------------------------------------------------------------

HRESULT CQuorServiceCore::StartSharing(OpCall& c) {
  return collab_->StartSharing(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::EndSharing(OpCall& c) { return collab_->EndSharing(c.principal, c.args[0], c.result); }
HRESULT CQuorServiceCore::SaveSharing(OpCall& c) {
  return collab_->SaveSharing(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::GetAttendeesList(OpCall& c) {
  return collab_->GetAttendeesList(c.principal, c.args[0], c.result);
}
HRESULT CQuorServiceCore::AddAttendee(OpCall& c) {
  return collab_->AddAttendee(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::DeleteAttendee(OpCall& c) {
  return collab_->DeleteAttendee(c.principal, c.args[0], c.args[1], c.result);
}

// ---- Conference URLs ------------------------------------------------------------------

HRESULT CQuorServiceCore::GetURLUnsupported(OpCall& c) {
  return collab_->GetURLUnsupported(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::GetConferenceManagerURL(OpCall& c) {
  return collab_->GetConferenceManagerURL(c.principal, c.result);
}

// ---- ACLs -----------------------------------------------------------------------------

HRESULT CQuorServiceCore::GetACL(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_GET_ACL_INVALID_URI,
      [&] { return vo_->GetACL(c.principal, c.args[0], c.result); },
      [&] { return collab_->GetACL(c.principal, c.args[0], c.result); });
}
HRESULT CQuorServiceCore::PutACL(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_PUT_ACL_INVALID_URI,
      [&] { return vo_->PutACL(c.principal, c.args[0], c.args[1], c.result); },
      [&] { return collab_->PutACL(c.principal, c.args[0], c.args[1], c.result); });
}
HRESULT CQuorServiceCore::UpdateACL(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_UPDATE_ACL_INVALID_URI,
      [&] { return vo_->UpdateACL(c.principal, c.args[0], c.args[1], c.result); },
      [&] { return collab_->UpdateACL(c.principal, c.args[0], c.args[1], c.result); });
}
HRESULT CQuorServiceCore::DeleteACL(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_DELETE_ACL_INVALID_URI,
      [&] { return vo_->DeleteACL(c.principal, c.args[0], c.result); },
      [&] { return collab_->DeleteACL(c.principal, c.args[0], c.result); });
}
HRESULT CQuorServiceCore::GetACLEntry(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_GET_ACL_ENTRY_INVALID_URI,
      [&] { return vo_->GetACLEntry(c.principal, c.args[0], c.args[1], c.result); },
      [&] { return collab_->GetACLEntry(c.principal, c.args[0], c.args[1], c.result); });
}
HRESULT CQuorServiceCore::PutACLEntry(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_PUT_ACL_ENTRY_INVALID_URI,
      [&] { return vo_->PutACLEntry(c.principal, c.args[0], c.args[1], c.args[2], c.result); },
      [&] { return collab_->PutACLEntry(c.principal, c.args[0], c.args[1], c.args[2], c.result); });
}
HRESULT CQuorServiceCore::UpdateACLEntry(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_UPDATE_ACL_ENTRY_INVALID_URI,
      [&] { return vo_->UpdateACLEntry(c.principal, c.args[0], c.args[1], c.args[2], c.result); },
      [&] { return collab_->UpdateACLEntry(c.principal, c.args[0], c.args[1], c.args[2], c.result); });
}
HRESULT CQuorServiceCore::DeleteACLEntry(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_DELETE_ACL_ENTRY_INVALID_URI,
      [&] { return vo_->DeleteACLEntry(c.principal, c.args[0], c.args[1], c.result); },
      [&] { return collab_->DeleteACLEntry(c.principal, c.args[0], c.args[1], c.result); });
}

// ---- Locks (a uri of no known kind was refused before the unwrap) ------------------------

HRESULT CQuorServiceCore::LockVO(OpCall& c) {
  if (CQuorServiceUtils::ClassifyVOURI(c.args[0]) == 2) return collab_->LockVO(c.principal, c.args[0], c.result);
  return vo_->LockVO(c.principal, c.args[0], c.result);
}
HRESULT CQuorServiceCore::UnlockVO(OpCall& c) {
  if (CQuorServiceUtils::ClassifyVOURI(c.args[0]) == 2) return collab_->ForceUnlockVO(c.principal, c.args[0], c.result);
  return vo_->ForceUnlockVO(c.principal, c.args[0], c.result);
}

// ---- The resume queue -------------------------------------------------------------------

HRESULT CQuorServiceCore::ResumeServiceProcess(OpCall& c) {
  CServiceConfig& settings = Module().EnsureSettings();
  const bool administrator = Module().EnsureUtils().IsAdministrator(c.principal);
  return settings.ReplayResumeEntry(c.principal, administrator, c.args[0], c.args[1], c.result, *collab_);
}
HRESULT CQuorServiceCore::GetResumeIDList(OpCall& c) {
  return Module().EnsureSettings().GetResumeIDList(c.principal, c.args[0], c.result);
}

}  // namespace quor::core
