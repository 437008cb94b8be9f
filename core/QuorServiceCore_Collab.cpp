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

// A store answers HRESULT: Status(...) keeps its code as it is, a success
// code included, and leaves its error information for the edge.

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
Status RouteAcl(const Bstr& uri, HRESULT invalidUri, Content&& content, Collab&& collab) {
  switch (AclStoreOf(uri)) {
    case AclStore::Content:
      return Status(content());
    case AclStore::Collab:
      return Status(collab());
    case AclStore::None:
      break;
  }
  return Status(invalidUri);
}

CServiceModule& Module() { return CServiceModule::Instance(); }

}  // namespace

// ---- Share fields -------------------------------------------------------------------

Status CQuorServiceCore::PutShareField(OpCall& c) {
  return Status(collab_->PutShareField(c.principal, c.args[0], c.args[1], c.args[2], c.result));
}
Status CQuorServiceCore::GetShareField(OpCall& c) {
  return Status(collab_->GetShareField(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::UpdateShareField(OpCall& c) {
  return Status(collab_->UpdateShareField(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::RemoveShareField(OpCall& c) {
  return Status(collab_->RemoveShareField(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::GetShareFieldList(OpCall& c) {
  return Status(collab_->GetShareFieldList(c.principal, c.result));
}
Status CQuorServiceCore::GetShareFieldURIList(OpCall& c) {
  return Status(collab_->GetShareFieldURIList(c.principal, c.result));
}
Status CQuorServiceCore::GetShareFieldAttribute(OpCall& c) {
  return Status(collab_->GetShareFieldAttribute(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::GetShareFieldURI(OpCall& c) {
  return Status(collab_->GetShareFieldURI(c.principal, c.args[0], c.args[1], c.result));
}

// ---- Messages -----------------------------------------------------------------------

Status CQuorServiceCore::PutMessage(OpCall& c) {
  return Status(collab_->PutMessage(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::GetMessage(OpCall& c) { return Status(collab_->GetMessage(c.principal, c.args[0], c.result)); }
Status CQuorServiceCore::UpdateMessage(OpCall& c) {
  return Status(collab_->UpdateMessage(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::RemoveMessage(OpCall& c) {
  return Status(collab_->RemoveMessage(c.principal, c.args[0], c.result));
}

// ---- Sharing and attendees -------------------------------------------------------------

Status CQuorServiceCore::StartSharing(OpCall& c) {
  return Status(collab_->StartSharing(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::EndSharing(OpCall& c) { return Status(collab_->EndSharing(c.principal, c.args[0], c.result)); }
Status CQuorServiceCore::SaveSharing(OpCall& c) {
  return Status(collab_->SaveSharing(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::GetAttendeesList(OpCall& c) {
  return Status(collab_->GetAttendeesList(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::AddAttendee(OpCall& c) {
  return Status(collab_->AddAttendee(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::DeleteAttendee(OpCall& c) {
  return Status(collab_->DeleteAttendee(c.principal, c.args[0], c.args[1], c.result));
}

// ---- Conference URLs ------------------------------------------------------------------

Status CQuorServiceCore::GetURLUnsupported(OpCall& c) {
  return Status(collab_->GetURLUnsupported(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::GetConferenceManagerURL(OpCall& c) {
  return Status(collab_->GetConferenceManagerURL(c.principal, c.result));
}

// ---- ACLs -----------------------------------------------------------------------------

Status CQuorServiceCore::GetACL(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_GET_ACL_INVALID_URI,
      [&] { return vo_->GetACL(c.principal, c.args[0], c.result); },
      [&] { return collab_->GetACL(c.principal, c.args[0], c.result); });
}
Status CQuorServiceCore::PutACL(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_PUT_ACL_INVALID_URI,
      [&] { return vo_->PutACL(c.principal, c.args[0], c.args[1], c.result); },
      [&] { return collab_->PutACL(c.principal, c.args[0], c.args[1], c.result); });
}
Status CQuorServiceCore::UpdateACL(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_UPDATE_ACL_INVALID_URI,
      [&] { return vo_->UpdateACL(c.principal, c.args[0], c.args[1], c.result); },
      [&] { return collab_->UpdateACL(c.principal, c.args[0], c.args[1], c.result); });
}
Status CQuorServiceCore::DeleteACL(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_DELETE_ACL_INVALID_URI,
      [&] { return vo_->DeleteACL(c.principal, c.args[0], c.result); },
      [&] { return collab_->DeleteACL(c.principal, c.args[0], c.result); });
}
Status CQuorServiceCore::GetACLEntry(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_GET_ACL_ENTRY_INVALID_URI,
      [&] { return vo_->GetACLEntry(c.principal, c.args[0], c.args[1], c.result); },
      [&] { return collab_->GetACLEntry(c.principal, c.args[0], c.args[1], c.result); });
}
Status CQuorServiceCore::PutACLEntry(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_PUT_ACL_ENTRY_INVALID_URI,
      [&] { return vo_->PutACLEntry(c.principal, c.args[0], c.args[1], c.args[2], c.result); },
      [&] { return collab_->PutACLEntry(c.principal, c.args[0], c.args[1], c.args[2], c.result); });
}
Status CQuorServiceCore::UpdateACLEntry(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_UPDATE_ACL_ENTRY_INVALID_URI,
      [&] { return vo_->UpdateACLEntry(c.principal, c.args[0], c.args[1], c.args[2], c.result); },
      [&] { return collab_->UpdateACLEntry(c.principal, c.args[0], c.args[1], c.args[2], c.result); });
}
Status CQuorServiceCore::DeleteACLEntry(OpCall& c) {
  return RouteAcl(
      c.args[0], QS_E_DELETE_ACL_ENTRY_INVALID_URI,
      [&] { return vo_->DeleteACLEntry(c.principal, c.args[0], c.args[1], c.result); },
      [&] { return collab_->DeleteACLEntry(c.principal, c.args[0], c.args[1], c.result); });
}

// ---- Locks (a uri of no known kind was refused before the unwrap) ------------------------

Status CQuorServiceCore::LockVO(OpCall& c) {
  if (CQuorServiceUtils::ClassifyVOURI(c.args[0]) == 2)
    return Status(collab_->LockVO(c.principal, c.args[0], c.result));
  return Status(vo_->LockVO(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::UnlockVO(OpCall& c) {
  if (CQuorServiceUtils::ClassifyVOURI(c.args[0]) == 2)
    return Status(collab_->ForceUnlockVO(c.principal, c.args[0], c.result));
  return Status(vo_->ForceUnlockVO(c.principal, c.args[0], c.result));
}

// ---- The resume queue -------------------------------------------------------------------

Status CQuorServiceCore::ResumeServiceProcess(OpCall& c) {
  CServiceConfig& settings = Module().EnsureSettings();
  const bool administrator = Module().EnsureUtils().IsAdministrator(c.principal);
  return settings.ReplayResumeEntry(c.principal, administrator, c.args[0], c.args[1], c.result, *collab_);
}
Status CQuorServiceCore::GetResumeIDList(OpCall& c) {
  return Module().EnsureSettings().GetResumeIDList(c.principal, c.args[0], c.result);
}

}  // namespace quor::core
