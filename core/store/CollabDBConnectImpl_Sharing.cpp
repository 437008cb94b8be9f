// The collaboration store's messages, and the share fields being shared with
// their attendees (kept in memory only, as long as the store lives).
#include <algorithm>

#include "core/StatusCodes.h"
#include "core/store/CollabDBConnectImpl.h"

namespace quor::core {

using namespace store;

// ---- Messages ---------------------------------------------------------------------

HRESULT CCollabDBConnectImpl::PutMessage(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& message,
                                         com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  com::Bstr acl;
  if (Status status = rows_.RawAcl(uri, acl); !status.ok()) return Answer(status);
  if (Status status = StoreRows::CheckRights(user, u"aw", acl, QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED); !status.ok())
    return Answer(status);
  RowState row;
  if (Status status = QueryRow(uri, row); !status.ok()) return Answer(status);
  if (!row.found) return QS_E_URI_INVALID;
  if (!row.message.Empty()) {
    // The message already there is shown only to whoever may read it.
    if (StoreRows::CheckRights(user, u"ar", acl, QS_E_ATTRIBUTE_READ_RIGHT_REQUIRED).ok())
      result = RootAnswer({{Kw(KW_MESSAGE), row.message.ToUtf8()}});
    return QS_E_SHARE_MESSAGE_EXISTS;
  }
  const com::Variant params[] = {Value(message), Now(), Value(uri)};
  return Answer(rows_.Write("UPDATE QUORCOLLAB SET MESSAGE = ?, UPDATEDATE = ? WHERE VOURI = ?", params, result));
}

HRESULT CCollabDBConnectImpl::GetMessage(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  if (Status status = rows_.Authorize(user, uri, u"ar", QS_E_ATTRIBUTE_READ_RIGHT_REQUIRED); !status.ok())
    return Answer(status);
  const com::Variant params[] = {Value(uri)};
  return Answer(
      rows_.ColumnList("SELECT MESSAGE FROM QUORCOLLAB WHERE VOURI = ?", params, "MESSAGE", Kw(KW_MESSAGE), result));
}

HRESULT CCollabDBConnectImpl::UpdateMessage(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& message,
                                            com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (Status status = rows_.Authorize(user, uri, u"aw", QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED); !status.ok())
    return Answer(status);
  const com::Variant params[] = {Value(message), Now(), Value(uri)};
  return Answer(rows_.Write("UPDATE QUORCOLLAB SET MESSAGE = ?, UPDATEDATE = ? WHERE VOURI = ?", params, result));
}

HRESULT CCollabDBConnectImpl::RemoveMessage(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (Status status = rows_.Authorize(user, uri, u"ad", QS_E_ATTRIBUTE_DELETE_RIGHT_REQUIRED); !status.ok())
    return Answer(status);
  const com::Variant params[] = {Now(), Value(uri)};
  return Answer(rows_.Write("UPDATE QUORCOLLAB SET MESSAGE = '', UPDATEDATE = ? WHERE VOURI = ?", params, result));
}

// ---- The active list --------------------------------------------------------------

std::optional<ActiveShareField> CCollabDBConnectImpl::FindActiveField(const com::Bstr& uri) const {
  std::lock_guard lock(activeMutex_);
  for (const auto& entry : active_)
    if (entry.uri.View() == uri.View()) return entry;
  return std::nullopt;
}

std::list<ActiveShareField>::iterator CCollabDBConnectImpl::Listed(const com::Bstr& uri) {
  return std::find_if(active_.begin(), active_.end(), [&](const auto& e) { return e.uri.View() == uri.View(); });
}

Status CCollabDBConnectImpl::AddActiveField(ActiveShareField entry) {
  std::lock_guard lock(activeMutex_);
  if (Listed(entry.uri) != active_.end()) return Status(QS_E_FIELD_ACTIVE);
  entry.attendees = {entry.owner};
  active_.push_back(std::move(entry));
  return Status();
}

// ---- Sharing ----------------------------------------------------------------------

HRESULT CCollabDBConnectImpl::StartSharing(const com::Bstr& user, const com::Bstr& ipaddress, const com::Bstr& uri,
                                           com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  if (FindActiveField(uri)) return QS_E_FIELD_ACTIVE;
  RowState row;
  if (Status status = QueryRow(uri, row); !status.ok()) return Answer(status);
  if (!row.found || row.owner.Empty() || row.owner.View() != user.View()) return QS_E_OWNER_ONLY;
  com::Bstr field;
  if (HRESULT hr = GetShareField(user, uri, field); hr != S_OK) return hr;
  result = field;
  return Answer(AddActiveField({row.author,
                         row.name,
                         uri,
                         row.owner,
                         ipaddress.IsNull() ? com::Bstr(u"") : ipaddress,
                         row.message,
                                row.acl,
                                {}}));
}

HRESULT CCollabDBConnectImpl::EndSharing(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  std::lock_guard listLock(activeMutex_);
  const auto entry = Listed(uri);
  if (entry == active_.end()) return QS_E_FIELD_NOT_ACTIVE;
  if (entry->owner.Empty() || entry->owner.View() != user.View()) return QS_E_OWNER_ONLY;
  active_.erase(entry);
  result = ResultOk();
  return S_OK;
}

HRESULT CCollabDBConnectImpl::SaveSharing(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& field,
                                          com::Bstr&) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  const auto entry = FindActiveField(uri);
  if (!entry) return QS_E_FIELD_NOT_ACTIVE;
  if (entry->owner.Empty() || entry->owner.View() != user.View()) return QS_E_OWNER_ONLY;
  return Answer(UpdateFieldChecked(user, uri, field));
}

HRESULT CCollabDBConnectImpl::GetAttendeesList(const com::Bstr&, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  const auto entry = FindActiveField(uri);
  if (!entry) return QS_E_FIELD_NOT_ACTIVE;
  auto document = xml::Document::Create();
  auto root = document->createElement(Kw(KW_ROOT));
  for (const auto& attendee : entry->attendees) {
    auto node = document->createElement(Kw(KW_ATTENDEE));
    node->setText(attendee.ToUtf8());
    root->appendChild(node);
  }
  result = com::Bstr::FromUtf8(root->xml());
  return S_OK;
}

HRESULT CCollabDBConnectImpl::AddAttendee(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& attendee,
                                          com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const auto entry = FindActiveField(uri);
  if (!entry || entry->owner.Empty() || entry->owner.View() != user.View()) return QS_E_OWNER_ONLY;
  if (attendee.IsNull() || attendee.Empty()) return QS_E_ARGUMENT_NULL;
  // Attendees are measured against the ACL the sharing started with.
  if (!StoreRows::CheckRights(attendee, u"r", entry->acl, QS_E_CONTENT_READ_RIGHT_REQUIRED).ok())
    return QS_E_CONTENT_READ_RIGHT_REQUIRED;
  std::lock_guard listLock(activeMutex_);
  const auto listed = Listed(uri);
  if (listed == active_.end()) return QS_E_OWNER_ONLY;
  if (listed->attendees.empty()) return QS_E_FIELD_NOT_ACTIVE;
  for (const auto& name : listed->attendees)
    if (name.View() == attendee.View()) return QS_E_ALREADY_ATTENDEE;
  listed->attendees.push_back(attendee);
  result = ResultOk();
  return S_OK;
}

HRESULT CCollabDBConnectImpl::DeleteAttendee(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& attendee,
                                             com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  std::lock_guard listLock(activeMutex_);
  const auto listed = Listed(uri);
  if (listed == active_.end() || listed->owner.Empty() || listed->owner.View() != user.View()) return QS_E_OWNER_ONLY;
  if (listed->owner.View() == attendee.View()) return QS_E_CANNOT_DELETE_OWNER;
  auto& attendees = listed->attendees;
  if (attendees.empty()) return QS_E_FIELD_NOT_ACTIVE;
  const auto found =
      std::find_if(attendees.begin(), attendees.end(), [&](const auto& a) { return a.View() == attendee.View(); });
  if (found == attendees.end()) return QS_E_USER_NOT_ATTENDEE;
  attendees.erase(found);
  result = ResultOk();
  return S_OK;
}

}  // namespace quor::core
