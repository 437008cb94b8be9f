// The collaboration store's ACL operations (the whole document and single
// entries), its locks, and the conference-manager URL.
#include "core/ServiceConfig.h"
#include "core/StatusCodes.h"
#include "core/store/CollabDBConnectImpl.h"
#include "platform/registry/registry.h"

namespace quor::core {

using namespace store;

namespace {

// The registry hands the value over in a buffer of this many bytes,
// terminator included.
constexpr size_t kConferenceUrlBuffer = 2048;

}  // namespace

// ---- Whole documents ------------------------------------------------------------------

Status CCollabDBConnectImpl::GetACL(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return rows_.GetAcl(caller, uri, result);
}

Status CCollabDBConnectImpl::PutACL(const Caller& caller, const com::Bstr& uri, const com::Bstr& acl,
                                    com::Bstr& result) {
  // Putting a whole document is replacing it: same rights, same write.
  return UpdateACL(caller, uri, acl, result);
}

Status CCollabDBConnectImpl::UpdateACL(const Caller& caller, const com::Bstr& uri, const com::Bstr& acl,
                                       com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  return rows_.ReplaceAcl(caller, uri, acl, result);
}

Status CCollabDBConnectImpl::DeleteACL(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  return rows_.ResetAcl(caller, uri, result);
}

// ---- Entries --------------------------------------------------------------------------
// Every changed entry is written back as UpdateACL writes a document, inside
// the gate the entry operation holds.

Status CCollabDBConnectImpl::GetACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser,
                                         com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return rows_.EditAclEntry(StoreRows::Entry::Get, caller, uri, acluser, com::Bstr(), result, nullptr);
}

Status CCollabDBConnectImpl::PutACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser,
                                         const com::Bstr& accright, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  const auto store = [&](const com::Bstr& edited) { return rows_.ReplaceAcl(caller, uri, edited, result); };
  return rows_.EditAclEntry(StoreRows::Entry::Put, caller, uri, acluser, accright, result, store);
}

Status CCollabDBConnectImpl::UpdateACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser,
                                            const com::Bstr& accright, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  const auto store = [&](const com::Bstr& edited) { return rows_.ReplaceAcl(caller, uri, edited, result); };
  return rows_.EditAclEntry(StoreRows::Entry::Update, caller, uri, acluser, accright, result, store);
}

Status CCollabDBConnectImpl::DeleteACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser,
                                            com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  const auto store = [&](const com::Bstr& edited) { return rows_.ReplaceAcl(caller, uri, edited, result); };
  return rows_.EditAclEntry(StoreRows::Entry::Delete, caller, uri, acluser, com::Bstr(), result, store);
}

// ---- Locks ----------------------------------------------------------------------------

Status CCollabDBConnectImpl::LockRow(const Caller& caller, const com::Bstr& uri, RowState& row) {
  QUOR_RETURN_IF_ERROR(rows_.Authorize(caller, uri, u"r", QS_E_CONTENT_READ_RIGHT_REQUIRED));
  QUOR_RETURN_IF_ERROR(QueryRow(uri, row));
  return row.found ? Status() : Status(QS_E_URI_INVALID);
}

Status CCollabDBConnectImpl::LockVO(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (Missing(uri)) return Status(QS_E_URI_NOT_SPECIFIED);
  QUOR_RETURN_IF_ERROR(RefuseShared(uri));
  RowState row;
  if (Status status = LockRow(caller, uri, row); !status.ok()) return status;
  return rows_.TakeLock(caller.name, row.lock, uri, QS_E_SHARE_FIELD_ALREADY_LOCKED, true, result);
}

Status CCollabDBConnectImpl::ForceUnlockVO(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (Missing(uri)) return Status(QS_E_URI_NOT_SPECIFIED);
  RowState row;
  if (Status status = LockRow(caller, uri, row); !status.ok()) return status;
  return rows_.ReleaseLock(caller, row.lock, uri, result);
}

// ---- Conference URLs ------------------------------------------------------------------

Status CCollabDBConnectImpl::GetConferenceManagerURL(const Caller&, com::Bstr& result) {
  result = com::Bstr();
  reg::Key key;
  if (!key.Open(reg::Hive::LocalMachine, kServiceKey).ok()) return Status(QS_E_CONFERENCE_URL_NOT_SET);
  const auto read = key.GetValue("ConferenceManagerURL");
  if (!read.ok() || read->data.size() > kConferenceUrlBuffer) return Status(QS_E_CONFERENCE_URL_NOT_SET);
  const reg::Value& raw = *read;
  std::string url(raw.data.begin(), raw.data.end());
  url = url.substr(0, url.find('\0'));
  if (url.empty() || url.size() >= kConferenceUrlBuffer) return Status(QS_E_CONFERENCE_URL_NOT_SET);
  // The URL is character data of the answer: "&" and "<" go escaped.
  result = RootAnswer({{"url", url}});
  return Status();
}

Status CCollabDBConnectImpl::GetURLUnsupported(const Caller&, const com::Bstr&, const com::Bstr&, com::Bstr&) {
  return Status(E_NOTIMPL);
}

}  // namespace quor::core
