// The collaboration store's messages, and the share fields being shared with
// their attendees (SharingList.h).
#include <algorithm>

#include "core/StatusCodes.h"
#include "core/store/CollabDBConnectImpl.h"

namespace quor::core {

using namespace store;

// ---- Messages ---------------------------------------------------------------------

Status CCollabDBConnectImpl::PutMessage(const Caller& caller, const com::Bstr& uri, const com::Bstr& message,
                                        com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  com::Bstr acl;
  if (Status status = rows_.RawAcl(uri, acl); !status.ok()) return status;
  if (Status status = StoreRows::CheckRights(caller, u"aw", acl, QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED); !status.ok())
    return status;
  RowState row;
  if (Status status = QueryRow(uri, row); !status.ok()) return status;
  if (!row.found) return Status(QS_E_URI_INVALID);
  if (!row.message.Empty()) {
    // The message already there is shown only to whoever may read it.
    if (StoreRows::CheckRights(caller, u"ar", acl, QS_E_ATTRIBUTE_READ_RIGHT_REQUIRED).ok())
      result = RootAnswer({{Kw(KW_MESSAGE), row.message.ToUtf8()}});
    return Status(QS_E_SHARE_MESSAGE_EXISTS);
  }
  const com::Variant params[] = {Value(message), Now(), Value(uri)};
  return rows_.Write("UPDATE QUORCOLLAB SET MESSAGE = ?, UPDATEDATE = ? WHERE VOURI = ?", params, result);
}

Status CCollabDBConnectImpl::GetMessage(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  if (Status status = rows_.Authorize(caller, uri, u"ar", QS_E_ATTRIBUTE_READ_RIGHT_REQUIRED); !status.ok())
    return status;
  const com::Variant params[] = {Value(uri)};
  return rows_.ColumnList("SELECT MESSAGE FROM QUORCOLLAB WHERE VOURI = ?", params, "MESSAGE", Kw(KW_MESSAGE), result);
}

Status CCollabDBConnectImpl::UpdateMessage(const Caller& caller, const com::Bstr& uri, const com::Bstr& message,
                                           com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (Status status = rows_.Authorize(caller, uri, u"aw", QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED); !status.ok())
    return status;
  const com::Variant params[] = {Value(message), Now(), Value(uri)};
  return rows_.Write("UPDATE QUORCOLLAB SET MESSAGE = ?, UPDATEDATE = ? WHERE VOURI = ?", params, result);
}

Status CCollabDBConnectImpl::RemoveMessage(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (Status status = rows_.Authorize(caller, uri, u"ad", QS_E_ATTRIBUTE_DELETE_RIGHT_REQUIRED); !status.ok())
    return status;
  const com::Variant params[] = {Now(), Value(uri)};
  return rows_.Write("UPDATE QUORCOLLAB SET MESSAGE = '', UPDATEDATE = ? WHERE VOURI = ?", params, result);
}

// ---- The active list --------------------------------------------------------------

Result<std::optional<ActiveShareField>> CCollabDBConnectImpl::FindActiveField(const com::Bstr& uri) {
  return sharing_.Find(uri);
}

Status CCollabDBConnectImpl::RefuseShared(const com::Bstr& uri) {
  QUOR_ASSIGN_OR_RETURN(const auto active, sharing_.Find(uri));
  return active ? Status(QS_E_FIELD_ACTIVE) : Status();
}

// ---- Sharing ----------------------------------------------------------------------

Status CCollabDBConnectImpl::StartSharing(const Caller& caller, const com::Bstr& ipaddress, const com::Bstr& uri,
                                          com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  QUOR_RETURN_IF_ERROR(RefuseShared(uri));
  RowState row;
  if (Status status = QueryRow(uri, row); !status.ok()) return status;
  if (!row.found || row.owner.Empty() || row.owner.View() != caller.name.View()) return Status(QS_E_OWNER_ONLY);
  com::Bstr field;
  QUOR_RETURN_IF_ERROR(GetShareField(caller, uri, field));
  QUOR_RETURN_IF_ERROR(sharing_.Add({row.author,
                                     row.name,
                                     uri,
                                     row.owner,
                                     ipaddress.IsNull() ? com::Bstr(u"") : ipaddress,
                                     row.message,
                                     row.acl,
                                     {}}));
  result = field;
  return Status();
}

Status CCollabDBConnectImpl::EndSharing(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  QUOR_ASSIGN_OR_RETURN(const auto entry, sharing_.Find(uri));
  if (!entry) return Status(QS_E_FIELD_NOT_ACTIVE);
  if (entry->owner.Empty() || entry->owner.View() != caller.name.View()) return Status(QS_E_OWNER_ONLY);
  QUOR_RETURN_IF_ERROR(sharing_.Remove(uri));
  result = ResultOk();
  return Status();
}

Status CCollabDBConnectImpl::SaveSharing(const Caller& caller, const com::Bstr& uri, const com::Bstr& field,
                                         com::Bstr&) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  QUOR_ASSIGN_OR_RETURN(const auto entry, sharing_.Find(uri));
  if (!entry) return Status(QS_E_FIELD_NOT_ACTIVE);
  if (entry->owner.Empty() || entry->owner.View() != caller.name.View()) return Status(QS_E_OWNER_ONLY);
  return UpdateFieldChecked(caller, uri, field);
}

Status CCollabDBConnectImpl::GetAttendeesList(const Caller&, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  QUOR_ASSIGN_OR_RETURN(const auto entry, sharing_.Find(uri));
  if (!entry) return Status(QS_E_FIELD_NOT_ACTIVE);
  auto document = xml::Document::Create();
  auto root = document->createElement(Kw(KW_ROOT));
  for (const auto& attendee : entry->attendees) {
    auto node = document->createElement(Kw(KW_ATTENDEE));
    node->setText(attendee.ToUtf8());
    root->appendChild(node);
  }
  result = com::Bstr::FromUtf8(root->xml());
  return Status();
}

Status CCollabDBConnectImpl::AddAttendee(const Caller& caller, const com::Bstr& uri, const Caller& attendee,
                                         com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  QUOR_ASSIGN_OR_RETURN(auto entry, sharing_.Find(uri));
  if (!entry || entry->owner.Empty() || entry->owner.View() != caller.name.View()) return Status(QS_E_OWNER_ONLY);
  if (attendee.name.IsNull() || attendee.name.Empty()) return Status(QS_E_ARGUMENT_NULL);
  // Attendees are measured against the ACL the sharing started with.
  if (!StoreRows::CheckRights(attendee, u"r", entry->acl, QS_E_CONTENT_READ_RIGHT_REQUIRED).ok())
    return Status(QS_E_CONTENT_READ_RIGHT_REQUIRED);
  auto& attendees = entry->attendees;
  if (attendees.empty()) return Status(QS_E_FIELD_NOT_ACTIVE);
  for (const auto& name : attendees)
    if (name.View() == attendee.name.View()) return Status(QS_E_ALREADY_ATTENDEE);
  attendees.push_back(attendee.name);
  // An entry that went meanwhile is no longer the owner's to change.
  if (Status status = sharing_.SetAttendees(uri, attendees); !status.ok())
    return status.code() == QS_E_FIELD_NOT_ACTIVE ? Status(QS_E_OWNER_ONLY) : status;
  result = ResultOk();
  return Status();
}

Status CCollabDBConnectImpl::DeleteAttendee(const Caller& caller, const com::Bstr& uri, const com::Bstr& attendee,
                                            com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  QUOR_ASSIGN_OR_RETURN(auto entry, sharing_.Find(uri));
  if (!entry || entry->owner.Empty() || entry->owner.View() != caller.name.View()) return Status(QS_E_OWNER_ONLY);
  if (entry->owner.View() == attendee.View()) return Status(QS_E_CANNOT_DELETE_OWNER);
  auto& attendees = entry->attendees;
  if (attendees.empty()) return Status(QS_E_FIELD_NOT_ACTIVE);
  const auto found =
      std::find_if(attendees.begin(), attendees.end(), [&](const auto& a) { return a.View() == attendee.View(); });
  if (found == attendees.end()) return Status(QS_E_USER_NOT_ATTENDEE);
  attendees.erase(found);
  if (Status status = sharing_.SetAttendees(uri, attendees); !status.ok())
    return status.code() == QS_E_FIELD_NOT_ACTIVE ? Status(QS_E_OWNER_ONLY) : status;
  result = ResultOk();
  return Status();
}

}  // namespace quor::core
