// The content store's locks, the content operations that take or release a
// lock, and the ACL operations of Vesk objects (whole documents and entries).
#include "core/QuorServiceUtils.h"
#include "core/StatusCodes.h"
#include "core/store/VODBConnectImpl.h"

namespace quor::core {

using namespace store;

// ---- Locks ----------------------------------------------------------------------------

HRESULT CVODBConnectImpl::LockVO(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (uri.IsNull()) return QS_E_URI_NOT_SPECIFIED;
  com::Bstr acl;
  if (!rows_.RawAcl(uri, acl).ok()) return QS_E_ACL_NOT_FOUND;
  if (!StoreRows::CheckRights(user, u"r", acl, QS_E_CONTENT_READ_RIGHT_REQUIRED).ok())
    return QS_E_CONTENT_READ_RIGHT_REQUIRED;
  const auto holder = GetLockInfo(user, uri);
  if (!holder) return QS_E_URI_INVALID;
  return Answer(rows_.TakeLock(user, *holder, uri, QS_E_VESK_ALREADY_LOCKED, true, result));
}

HRESULT CVODBConnectImpl::ForceUnlockVO(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (uri.IsNull()) return QS_E_URI_NOT_SPECIFIED;
  com::Bstr holder;
  if (Status status = HolderByURI(user, uri, holder); !status.ok()) return Answer(status);
  return Answer(rows_.ReleaseLock(user, holder, uri, result));
}

HRESULT CVODBConnectImpl::GetVOContentwithLock(const com::Bstr& user, const com::Bstr& name, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(CQuorServiceUtils::MakeVOContentURIW(user, name));
  // The caller's own object, by its row: never another owner's object whose
  // URN happens to read the same.
  com::Bstr uri;
  if (Status status = OwnURI(user, name, uri); !status.ok()) return Answer(status);
  const auto holder = GetLockInfo(user, uri);
  if (!holder) return QS_E_NAME_INVALID;
  return Answer(rows_.TakeLock(user, *holder, uri, QS_E_VESK_ALREADY_LOCKED, false, result));
}

HRESULT CVODBConnectImpl::GetVOContentbyURIwithLock(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (uri.IsNull()) return QS_E_URI_NOT_SPECIFIED;
  com::Bstr holder;
  if (Status status = HolderByURI(user, uri, holder); !status.ok()) return Answer(status);
  return Answer(rows_.TakeLock(user, holder, uri, QS_E_VESK_ALREADY_LOCKED, false, result));
}

HRESULT CVODBConnectImpl::UpdateVOContentwithUnlock(const com::Bstr& user, const com::Bstr& name,
                                                    const com::Bstr& content, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(CQuorServiceUtils::MakeVOContentURIW(user, name));
  bool unchanged = false;
  com::Bstr uri, holder;
  const Status checked = CheckOwnWrite(user, name, content, QS_E_NAME_INVALID, unchanged, uri, holder);
  if (!checked.ok() || unchanged) return Answer(checked);
  const Status written = UpdateAndUnlock(uri, holder, &user, &name, content, result);
  return written.code() == QS_E_VESK_CONTENT_NOT_FOUND ? QS_E_VESK_LOCKED_BY_OTHER : Answer(written);
}

HRESULT CVODBConnectImpl::UpdateVOContentbyURIwithUnlock(const com::Bstr& user, const com::Bstr& uri,
                                                         const com::Bstr& content, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (uri.IsNull() || content.IsNull()) return QS_E_URI_OR_CONTENT_NOT_SPECIFIED;
  bool unchanged = false;
  com::Bstr holder;
  if (Status status = CheckWriteByURI(user, uri, content, unchanged, holder); !status.ok() || unchanged)
    return Answer(status);
  const Status written = UpdateAndUnlock(uri, holder, nullptr, nullptr, content, result);
  return written.code() == QS_E_VESK_CONTENT_NOT_FOUND ? QS_E_VESK_LOCKED_BY_OTHER : Answer(written);
}

// ---- Whole ACL documents --------------------------------------------------------------

HRESULT CVODBConnectImpl::GetACL(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return Answer(rows_.GetAcl(user, uri, result));
}

HRESULT CVODBConnectImpl::PutACL(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acl,
                                 com::Bstr& result) {
  // Putting a whole document is replacing it: same rights, same write.
  return UpdateACL(user, uri, acl, result);
}

HRESULT CVODBConnectImpl::UpdateACL(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acl,
                                    com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  return Answer(rows_.ReplaceAcl(user, uri, acl, result));
}

HRESULT CVODBConnectImpl::DeleteACL(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  return Answer(rows_.ResetAcl(user, uri, result));
}

// ---- ACL entries ----------------------------------------------------------------------
// An edited document is written back as PutACL and UpdateACL write one,
// inside the gate the entry operation holds.

HRESULT CVODBConnectImpl::GetACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                      com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return Answer(rows_.EditAclEntry(StoreRows::Entry::Get, user, uri, acluser, com::Bstr(), result, nullptr));
}

HRESULT CVODBConnectImpl::PutACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                      const com::Bstr& accright, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  const auto store = [&](const com::Bstr& edited) { return rows_.ReplaceAcl(user, uri, edited, result); };
  return Answer(rows_.EditAclEntry(StoreRows::Entry::Put, user, uri, acluser, accright, result, store));
}

HRESULT CVODBConnectImpl::UpdateACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                         const com::Bstr& accright, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  const auto store = [&](const com::Bstr& edited) { return rows_.ReplaceAcl(user, uri, edited, result); };
  return Answer(rows_.EditAclEntry(StoreRows::Entry::Update, user, uri, acluser, accright, result, store));
}

HRESULT CVODBConnectImpl::DeleteACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                         com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  const auto store = [&](const com::Bstr& edited) { return rows_.ReplaceAcl(user, uri, edited, result); };
  return Answer(rows_.EditAclEntry(StoreRows::Entry::Delete, user, uri, acluser, com::Bstr(), result, store));
}

}  // namespace quor::core
