// The content store's locks, the content operations that take or release a
// lock, and the ACL operations of Vesk objects (whole documents and entries).
#include "core/StatusCodes.h"
#include "core/store/VODBConnectImpl.h"
#include "core/store/VODBConnectImpl_Detail.h"

namespace quor::core {

using namespace vo;

namespace {

const com::Bstr& Unlocked() {
  static const com::Bstr unlocked(u"0");
  return unlocked;
}

bool HeldByOther(const com::Bstr& holder, const com::Bstr& user) {
  return holder != u"0" && View(holder) != View(user);
}

}  // namespace

// ---- Locks ----------------------------------------------------------------------------

HRESULT CVODBConnectImpl::LockVO(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  if (uri.IsNull()) return QS_E_URI_NOT_SPECIFIED;
  com::Bstr acl;
  if (GetRawACL(user, uri, acl) != S_OK) return QS_E_ACL_NOT_FOUND;
  if (CheckRights(user, u"r", acl, QS_E_CONTENT_READ_RIGHT_REQUIRED) != S_OK) return QS_E_CONTENT_READ_RIGHT_REQUIRED;
  const auto holder = GetLockInfo(user, uri);
  if (!holder) return QS_E_URI_INVALID;
  if (*holder == u"0") {
    const HRESULT hr = UpdateVOLock(user, Unlocked(), uri, result);
    // Someone took the lock between the read and the write.
    return hr == QS_E_VESK_CONTENT_NOT_FOUND ? QS_E_VESK_ALREADY_LOCKED : hr;
  }
  if (View(*holder) == View(user)) return S_OK;
  return QS_E_VESK_ALREADY_LOCKED;
}

HRESULT CVODBConnectImpl::ForceUnlockVO(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  if (uri.IsNull()) return QS_E_URI_NOT_SPECIFIED;
  com::Bstr acl;
  if (HRESULT hr = GetRawACL(user, uri, acl); hr != S_OK) return hr;
  if (HRESULT hr = CheckRights(user, u"r", acl, QS_E_CONTENT_READ_RIGHT_REQUIRED); hr != S_OK) return hr;
  const auto holder = GetLockInfo(user, uri);
  if (!holder) return QS_E_URI_INVALID;
  if (*holder == u"0") return S_OK;
  if (HeldByOther(*holder, user) && !Utils().IsAdministrator(user)) return QS_E_UNLOCK_NOT_ALLOWED;
  return UpdateVOLock(Unlocked(), *holder, uri, result);
}

HRESULT CVODBConnectImpl::GetVOContentwithLock(const com::Bstr& user, const com::Bstr& name, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  // The caller's own object, by its row: never another owner's object whose
  // URN happens to read the same.
  com::Bstr uri;
  if (HRESULT hr = OwnURI(user, name, uri); hr != S_OK) return hr;
  const auto holder = GetLockInfo(user, uri);
  if (!holder) return QS_E_NAME_INVALID;
  if (*holder != u"0") return QS_E_VESK_ALREADY_LOCKED;
  const HRESULT hr = UpdateVOLock(user, Unlocked(), uri, result);
  return hr == QS_E_VESK_CONTENT_NOT_FOUND ? QS_E_VESK_ALREADY_LOCKED : hr;
}

HRESULT CVODBConnectImpl::GetVOContentbyURIwithLock(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  if (uri.IsNull()) return QS_E_URI_NOT_SPECIFIED;
  com::Bstr acl;
  if (HRESULT hr = GetRawACL(user, uri, acl); hr != S_OK) return hr;
  if (HRESULT hr = CheckRights(user, u"r", acl, QS_E_CONTENT_READ_RIGHT_REQUIRED); hr != S_OK) return hr;
  const auto holder = GetLockInfo(user, uri);
  if (!holder) return QS_E_URI_INVALID;
  if (*holder != u"0") return QS_E_VESK_ALREADY_LOCKED;
  const HRESULT hr = UpdateVOLock(user, Unlocked(), uri, result);
  return hr == QS_E_VESK_CONTENT_NOT_FOUND ? QS_E_VESK_ALREADY_LOCKED : hr;
}

HRESULT CVODBConnectImpl::UpdateVOContentwithUnlock(const com::Bstr& user, const com::Bstr& name,
                                                    const com::Bstr& content, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  bool found = false;
  com::Bstr stored;
  if (HRESULT hr = QueryOwnVOContent(user, name, found, stored); hr != S_OK)
    return hr;
  // Unchanged content writes nothing and leaves the lock as it is.
  if (found && SameText(stored, content)) return S_OK;
  com::Bstr uri;
  if (HRESULT hr = OwnURI(user, name, uri); hr != S_OK) return hr;
  const auto holder = GetLockInfo(user, uri);
  if (!holder) return QS_E_NAME_INVALID;
  if (HeldByOther(*holder, user)) return QS_E_VESK_LOCKED_BY_OTHER;
  const HRESULT hr = UpdateAndUnlock(uri, *holder, &user, &name, content, result);
  return hr == QS_E_VESK_CONTENT_NOT_FOUND ? QS_E_VESK_LOCKED_BY_OTHER : hr;
}

HRESULT CVODBConnectImpl::UpdateVOContentbyURIwithUnlock(const com::Bstr& user, const com::Bstr& uri,
                                                         const com::Bstr& content, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  if (uri.IsNull() || content.IsNull()) return QS_E_URI_OR_CONTENT_NOT_SPECIFIED;
  com::Bstr acl;
  if (HRESULT hr = GetRawACL(user, uri, acl); hr != S_OK) return hr;
  if (HRESULT hr = CheckRights(user, u"rw", acl, QS_E_CONTENT_WRITE_RIGHT_REQUIRED); hr != S_OK) return hr;
  const com::Variant params[] = {Value(uri)};
  bool found = false;
  com::Bstr stored;
  if (HRESULT hr = QueryVOContent("SELECT CONTENT FROM QUORVESK WHERE VOURI = ?", params, found, stored); hr != S_OK)
    return hr;
  if (!found) return QS_E_VESK_CONTENT_MISSING;
  if (View(stored) == View(content)) return S_OK;
  const auto holder = GetLockInfo(user, uri);
  if (!holder) return QS_E_URI_INVALID;
  if (HeldByOther(*holder, user)) return QS_E_VESK_LOCKED_BY_OTHER;
  const HRESULT hr = UpdateAndUnlock(uri, *holder, nullptr, nullptr, content, result);
  return hr == QS_E_VESK_CONTENT_NOT_FOUND ? QS_E_VESK_LOCKED_BY_OTHER : hr;
}

// ---- Whole ACL documents --------------------------------------------------------------

HRESULT CVODBConnectImpl::GetACL(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  com::Bstr acl;
  HRESULT hr = GetRawACL(user, uri, acl);
  if (hr == S_OK) hr = CheckRights(user, u"ar", acl, QS_E_CONTENT_READ_RIGHT_REQUIRED);
  if (hr != S_OK) {
    result = com::Bstr();
    return hr;
  }
  auto document = xml::Document::Create();
  auto root = document->createElement(Kw(KW_ROOT));
  if (auto element = AclElement(acl)) root->appendChild(element);
  result = com::Bstr::FromUtf8(root->xml());
  return S_OK;
}

HRESULT CVODBConnectImpl::PutACL(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acl,
                                 com::Bstr& result) {
  // Putting a whole document is replacing it: same rights, same write.
  return UpdateACL(user, uri, acl, result);
}

HRESULT CVODBConnectImpl::UpdateACL(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acl,
                                    com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  com::Bstr current;
  HRESULT hr = GetRawACL(user, uri, current);
  if (hr == S_OK) hr = CheckRights(user, u"aw", current, QS_E_CONTENT_WRITE_RIGHT_REQUIRED);
  if (hr != S_OK) {
    result = com::Bstr();
    return hr;
  }
  return UpdateVOACL(user, uri, acl, result);
}

HRESULT CVODBConnectImpl::DeleteACL(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  com::Bstr current;
  HRESULT hr = GetRawACL(user, uri, current);
  if (hr == S_OK) hr = CheckRights(user, u"ad", current, QS_E_CONTENT_WRITE_RIGHT_REQUIRED);
  if (hr != S_OK) {
    result = com::Bstr();
    return hr;
  }
  // An ACL is reset, never emptied: the caller's default document.
  com::Bstr acl;
  if (hr = CQuorServiceUtils::MakeDefaultACL(user, acl); FAILED(hr)) return hr;
  return UpdateVOACL(user, uri, acl, result);
}

// ---- ACL entries ----------------------------------------------------------------------

template <typename Edit>
HRESULT CVODBConnectImpl::EditACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                       std::u16string_view rights, bool needsAccright, const com::Bstr& accright,
                                       com::Bstr& result, Edit&& edit) {
  OperationGate::Writing lock(operation_);
  if (Missing(uri) || Missing(acluser) || (needsAccright && Missing(accright))) return QS_E_ARGUMENT_NULL;
  com::Bstr acl;
  if (HRESULT hr = QueryVOLockB(uri, acl); FAILED(hr)) return hr;
  // An unknown URN has no ACL, and the check refuses it for that.
  if (HRESULT hr = CheckRights(user, rights, acl, QS_E_CONTENT_WRITE_RIGHT_REQUIRED); hr != S_OK) {
    result = com::Bstr();
    return hr;
  }
  return edit(acl);
}

HRESULT CVODBConnectImpl::GetACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                      com::Bstr& result) {
  return EditACLEntry(user, uri, acluser, u"ar", false, com::Bstr(), result, [&](const com::Bstr& acl) -> HRESULT {
    return CQuorServiceUtils::GetACLEntryFromDocument(acluser, acl, result);
  });
}

HRESULT CVODBConnectImpl::PutACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                      const com::Bstr& accright, com::Bstr& result) {
  return EditACLEntry(user, uri, acluser, u"aw", true, accright, result, [&](const com::Bstr& acl) -> HRESULT {
    com::Bstr edited;
    if (HRESULT hr = CQuorServiceUtils::PutACLEntryToDocument(acluser, accright, acl, edited); FAILED(hr)) return hr;
    return PutACL(user, uri, edited, result);
  });
}

HRESULT CVODBConnectImpl::UpdateACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                         const com::Bstr& accright, com::Bstr& result) {
  return EditACLEntry(user, uri, acluser, u"aw", true, accright, result, [&](const com::Bstr& acl) -> HRESULT {
    com::Bstr edited;
    if (HRESULT hr = CQuorServiceUtils::UpdateACLEntryInDocument(acluser, accright, acl, edited); FAILED(hr)) return hr;
    return UpdateACL(user, uri, edited, result);
  });
}

HRESULT CVODBConnectImpl::DeleteACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                         com::Bstr& result) {
  return EditACLEntry(user, uri, acluser, u"ad", false, com::Bstr(), result, [&](const com::Bstr& acl) -> HRESULT {
    com::Bstr edited;
    if (HRESULT hr = CQuorServiceUtils::DeleteACLEntryFromDocument(acluser, acl, edited); FAILED(hr)) return hr;
    // Writing the edited document back needs the write right as well.
    return UpdateACL(user, uri, edited, result);
  });
}

}  // namespace quor::core
