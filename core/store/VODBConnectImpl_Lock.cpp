// The content store's locks, the content operations that take or release a
// lock, and the ACL operations of Vesk objects (whole documents and entries).
#include "core/ServiceHelpers.h"
#include "core/StatusCodes.h"
#include "core/store/VODBConnectImpl.h"

namespace quor::core {

using namespace store;

// ---- Locks ----------------------------------------------------------------------------

Status CVODBConnectImpl::LockVO(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (uri.IsNull()) return Status(QS_E_URI_NOT_SPECIFIED);
  com::Bstr acl;
  if (!rows_.RawAcl(uri, acl).ok()) return Status(QS_E_ACL_NOT_FOUND);
  if (!StoreRows::CheckRights(caller, u"r", acl, QS_E_CONTENT_READ_RIGHT_REQUIRED).ok())
    return Status(QS_E_CONTENT_READ_RIGHT_REQUIRED);
  const auto holder = GetLockInfo(caller, uri);
  if (!holder) return Status(QS_E_URI_INVALID);
  return rows_.TakeLock(caller.name, *holder, uri, QS_E_VESK_ALREADY_LOCKED, true, result);
}

Status CVODBConnectImpl::ForceUnlockVO(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (uri.IsNull()) return Status(QS_E_URI_NOT_SPECIFIED);
  com::Bstr holder;
  if (Status status = HolderByURI(caller, uri, holder); !status.ok()) return status;
  return rows_.ReleaseLock(caller, holder, uri, result);
}

Status CVODBConnectImpl::GetVOContentwithLock(const Caller& caller, const com::Bstr& name, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(CServiceHelpers::MakeVOContentURIW(caller.name, name));
  // The caller's own object, by its row: never another owner's object whose
  // URN happens to read the same.
  com::Bstr uri;
  if (Status status = OwnURI(caller, name, uri); !status.ok()) return status;
  const auto holder = GetLockInfo(caller, uri);
  if (!holder) return Status(QS_E_NAME_INVALID);
  return rows_.TakeLock(caller.name, *holder, uri, QS_E_VESK_ALREADY_LOCKED, false, result);
}

Status CVODBConnectImpl::GetVOContentbyURIwithLock(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (uri.IsNull()) return Status(QS_E_URI_NOT_SPECIFIED);
  com::Bstr holder;
  if (Status status = HolderByURI(caller, uri, holder); !status.ok()) return status;
  return rows_.TakeLock(caller.name, holder, uri, QS_E_VESK_ALREADY_LOCKED, false, result);
}

Status CVODBConnectImpl::UpdateVOContentwithUnlock(const Caller& caller, const com::Bstr& name,
                                                   const com::Bstr& content, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(CServiceHelpers::MakeVOContentURIW(caller.name, name));
  bool unchanged = false;
  com::Bstr uri, holder;
  const Status checked = CheckOwnWrite(caller, name, content, QS_E_NAME_INVALID, unchanged, uri, holder);
  if (!checked.ok() || unchanged) return checked;
  const Status written = UpdateAndUnlock(uri, holder, &caller.name, &name, content, result);
  return written.code() == QS_E_VESK_CONTENT_NOT_FOUND ? Status(QS_E_VESK_LOCKED_BY_OTHER) : written;
}

Status CVODBConnectImpl::UpdateVOContentbyURIwithUnlock(const Caller& caller, const com::Bstr& uri,
                                                        const com::Bstr& content, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (uri.IsNull() || content.IsNull()) return Status(QS_E_URI_OR_CONTENT_NOT_SPECIFIED);
  bool unchanged = false;
  com::Bstr holder;
  if (Status status = CheckWriteByURI(caller, uri, content, unchanged, holder); !status.ok() || unchanged)
    return status;
  const Status written = UpdateAndUnlock(uri, holder, nullptr, nullptr, content, result);
  return written.code() == QS_E_VESK_CONTENT_NOT_FOUND ? Status(QS_E_VESK_LOCKED_BY_OTHER) : written;
}

// ---- Whole ACL documents --------------------------------------------------------------

Status CVODBConnectImpl::GetACL(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return rows_.GetAcl(caller, uri, result);
}

Status CVODBConnectImpl::PutACL(const Caller& caller, const com::Bstr& uri, const com::Bstr& acl, com::Bstr& result) {
  // Putting a whole document is replacing it: same rights, same write.
  return UpdateACL(caller, uri, acl, result);
}

Status CVODBConnectImpl::UpdateACL(const Caller& caller, const com::Bstr& uri, const com::Bstr& acl,
                                   com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  return rows_.ReplaceAcl(caller, uri, acl, result);
}

Status CVODBConnectImpl::DeleteACL(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  return rows_.ResetAcl(caller, uri, result);
}

// ---- ACL entries ---------------------------------------------------------------------- An
// edited document is written back as PutACL and UpdateACL write one, inside the gate the entry operation holds.

Status CVODBConnectImpl::GetACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser,
                                     com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return rows_.EditAclEntry(StoreRows::Entry::Get, caller, uri, acluser, com::Bstr(), result, nullptr);
}

Status CVODBConnectImpl::PutACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser,
                                     const com::Bstr& accright, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  const auto store = [&](const com::Bstr& edited) { return rows_.ReplaceAcl(caller, uri, edited, result); };
  return rows_.EditAclEntry(StoreRows::Entry::Put, caller, uri, acluser, accright, result, store);
}

Status CVODBConnectImpl::UpdateACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser,
                                        const com::Bstr& accright, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  const auto store = [&](const com::Bstr& edited) { return rows_.ReplaceAcl(caller, uri, edited, result); };
  return rows_.EditAclEntry(StoreRows::Entry::Update, caller, uri, acluser, accright, result, store);
}

Status CVODBConnectImpl::DeleteACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser,
                                        com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  const auto store = [&](const com::Bstr& edited) { return rows_.ReplaceAcl(caller, uri, edited, result); };
  return rows_.EditAclEntry(StoreRows::Entry::Delete, caller, uri, acluser, com::Bstr(), result, store);
}

}  // namespace quor::core
