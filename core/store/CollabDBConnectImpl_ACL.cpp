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

HRESULT CCollabDBConnectImpl::GetACL(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return Answer(rows_.GetAcl(user, uri, result));
}

HRESULT CCollabDBConnectImpl::PutACL(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acl,
                                     com::Bstr& result) {
  // Putting a whole document is replacing it: same rights, same write.
  return UpdateACL(user, uri, acl, result);
}

HRESULT CCollabDBConnectImpl::UpdateACL(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acl,
                                        com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  return Answer(rows_.ReplaceAcl(user, uri, acl, result));
}

HRESULT CCollabDBConnectImpl::DeleteACL(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  return Answer(rows_.ResetAcl(user, uri, result));
}

// ---- Entries --------------------------------------------------------------------------
// Every changed entry is written back as UpdateACL writes a document, inside
// the gate the entry operation holds.

HRESULT CCollabDBConnectImpl::GetACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                          com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return Answer(rows_.EditAclEntry(StoreRows::Entry::Get, user, uri, acluser, com::Bstr(), result, nullptr));
}

HRESULT CCollabDBConnectImpl::PutACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                          const com::Bstr& accright, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  const auto store = [&](const com::Bstr& edited) { return rows_.ReplaceAcl(user, uri, edited, result); };
  return Answer(rows_.EditAclEntry(StoreRows::Entry::Put, user, uri, acluser, accright, result, store));
}

HRESULT CCollabDBConnectImpl::UpdateACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                             const com::Bstr& accright, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  const auto store = [&](const com::Bstr& edited) { return rows_.ReplaceAcl(user, uri, edited, result); };
  return Answer(rows_.EditAclEntry(StoreRows::Entry::Update, user, uri, acluser, accright, result, store));
}

HRESULT CCollabDBConnectImpl::DeleteACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                             com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  const auto store = [&](const com::Bstr& edited) { return rows_.ReplaceAcl(user, uri, edited, result); };
  return Answer(rows_.EditAclEntry(StoreRows::Entry::Delete, user, uri, acluser, com::Bstr(), result, store));
}

// ---- Locks ----------------------------------------------------------------------------

Status CCollabDBConnectImpl::LockRow(const com::Bstr& user, const com::Bstr& uri, RowState& row) {
  QUOR_RETURN_IF_ERROR(rows_.Authorize(user, uri, u"r", QS_E_CONTENT_READ_RIGHT_REQUIRED));
  QUOR_RETURN_IF_ERROR(QueryRow(uri, row));
  return row.found ? Status() : Status(QS_E_URI_INVALID);
}

HRESULT CCollabDBConnectImpl::LockVO(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (Missing(uri)) return QS_E_URI_NOT_SPECIFIED;
  if (FindActiveField(uri)) return QS_E_FIELD_ACTIVE;
  RowState row;
  if (Status status = LockRow(user, uri, row); !status.ok()) return Answer(status);
  return Answer(rows_.TakeLock(user, row.lock, uri, QS_E_SHARE_FIELD_ALREADY_LOCKED, true, result));
}

HRESULT CCollabDBConnectImpl::ForceUnlockVO(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (Missing(uri)) return QS_E_URI_NOT_SPECIFIED;
  RowState row;
  if (Status status = LockRow(user, uri, row); !status.ok()) return Answer(status);
  return Answer(rows_.ReleaseLock(user, row.lock, uri, result));
}

// ---- Conference URLs ------------------------------------------------------------------

HRESULT CCollabDBConnectImpl::GetConferenceManagerURL(const com::Bstr&, com::Bstr& result) {
  result = com::Bstr();
  reg::Key key;
  if (!key.Open(reg::Hive::LocalMachine, kServiceKey).ok()) return QS_E_CONFERENCE_URL_NOT_SET;
  const auto read = key.GetValue("ConferenceManagerURL");
  if (!read.ok() || read->data.size() > kConferenceUrlBuffer) return QS_E_CONFERENCE_URL_NOT_SET;
  const reg::Value& raw = *read;
  std::string url(raw.data.begin(), raw.data.end());
  url = url.substr(0, url.find('\0'));
  if (url.empty() || url.size() >= kConferenceUrlBuffer) return QS_E_CONFERENCE_URL_NOT_SET;
  // The URL is character data of the answer: "&" and "<" go escaped.
  result = RootAnswer({{"url", url}});
  return S_OK;
}

HRESULT CCollabDBConnectImpl::GetURLUnsupported(const com::Bstr&, const com::Bstr&, const com::Bstr&, com::Bstr&) {
  return E_NOTIMPL;
}

}  // namespace quor::core
