// The collaboration store's ACL operations (the whole document and single
// entries), its locks, and the conference-manager URL.
#include "core/ServiceConfig.h"
#include "core/StatusCodes.h"
#include "core/store/CollabDBConnectImpl.h"
#include "core/store/CollabDBConnectImpl_Detail.h"
#include "platform/registry/registry.h"

namespace quor::core {

using namespace collab;

namespace {

// The registry hands the value over in a buffer of this many bytes,
// terminator included.
constexpr size_t kConferenceUrlBuffer = 2048;

bool Missing(const com::Bstr& text) { return text.IsNull() || text.Empty(); }

}  // namespace

// ---- Whole documents ------------------------------------------------------------------

HRESULT CCollabDBConnectImpl::GetACL(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  com::Bstr acl;
  HRESULT hr = GetRawACL(uri, acl);
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

HRESULT CCollabDBConnectImpl::StoreACL(const com::Bstr& uri, const com::Bstr& acl, com::Bstr& result) {
  const com::Variant params[] = {Value(acl), Now(), Value(uri)};
  return RunQuery("UPDATE QUORCOLLAB SET ACCESSLIST = ?, UPDATEDATE = ? WHERE VOURI = ?", params, result);
}

HRESULT CCollabDBConnectImpl::PutACL(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acl,
                                     com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  if (HRESULT hr = Authorize(user, uri, u"aw", QS_E_CONTENT_WRITE_RIGHT_REQUIRED); hr != S_OK) {
    result = com::Bstr();
    return hr;
  }
  return StoreACL(uri, acl, result);
}

HRESULT CCollabDBConnectImpl::UpdateACL(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acl,
                                        com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  if (HRESULT hr = Authorize(user, uri, u"aw", QS_E_CONTENT_WRITE_RIGHT_REQUIRED); hr != S_OK) {
    result = com::Bstr();
    return hr;
  }
  return StoreACL(uri, acl, result);
}

HRESULT CCollabDBConnectImpl::DeleteACL(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  if (HRESULT hr = Authorize(user, uri, u"ad", QS_E_CONTENT_WRITE_RIGHT_REQUIRED); hr != S_OK) {
    result = com::Bstr();
    return hr;
  }
  // An ACL is reset, never emptied: the caller's default document.
  com::Bstr acl;
  if (HRESULT hr = CQuorServiceUtils::MakeDefaultACL(user, acl); FAILED(hr)) return hr;
  return StoreACL(uri, acl, result);
}

// ---- Entries --------------------------------------------------------------------------

template <typename Edit>
HRESULT CCollabDBConnectImpl::EditACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                           std::u16string_view rights, bool needsAccright, const com::Bstr& accright,
                                           com::Bstr& result, Edit&& edit) {
  OperationGate::Writing lock(operation_);
  if (Missing(uri) || Missing(acluser) || (needsAccright && Missing(accright))) return QS_E_ARGUMENT_NULL;
  RowState row;
  if (HRESULT hr = QueryRow(uri, row); FAILED(hr)) return hr;
  // An unknown URN has no ACL, and the check refuses it for that.
  if (HRESULT hr = CheckRights(user, rights, row.acl, QS_E_CONTENT_WRITE_RIGHT_REQUIRED); hr != S_OK) {
    result = com::Bstr();
    return hr;
  }
  return edit(row.acl);
}

HRESULT CCollabDBConnectImpl::GetACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                          com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  if (Missing(uri) || Missing(acluser)) return QS_E_ARGUMENT_NULL;
  RowState row;
  if (HRESULT hr = QueryRow(uri, row); FAILED(hr)) return hr;
  if (HRESULT hr = CheckRights(user, u"ar", row.acl, QS_E_CONTENT_READ_RIGHT_REQUIRED); hr != S_OK) {
    result = com::Bstr();
    return hr;
  }
  return CQuorServiceUtils::GetACLEntryFromDocument(acluser, row.acl, result);
}

HRESULT CCollabDBConnectImpl::PutACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                          const com::Bstr& accright, com::Bstr& result) {
  return EditACLEntry(user, uri, acluser, u"aw", true, accright, result, [&](const com::Bstr& acl) -> HRESULT {
    com::Bstr edited;
    if (HRESULT hr = CQuorServiceUtils::PutACLEntryToDocument(acluser, accright, acl, edited); FAILED(hr)) return hr;
    return UpdateACL(user, uri, edited, result);
  });
}

HRESULT CCollabDBConnectImpl::UpdateACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                             const com::Bstr& accright, com::Bstr& result) {
  return EditACLEntry(user, uri, acluser, u"aw", true, accright, result, [&](const com::Bstr& acl) -> HRESULT {
    com::Bstr edited;
    if (HRESULT hr = CQuorServiceUtils::UpdateACLEntryInDocument(acluser, accright, acl, edited); FAILED(hr)) return hr;
    return UpdateACL(user, uri, edited, result);
  });
}

HRESULT CCollabDBConnectImpl::DeleteACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                                             com::Bstr& result) {
  return EditACLEntry(user, uri, acluser, u"ad", false, com::Bstr(), result, [&](const com::Bstr& acl) -> HRESULT {
    com::Bstr edited;
    if (HRESULT hr = CQuorServiceUtils::DeleteACLEntryFromDocument(acluser, acl, edited); FAILED(hr)) return hr;
    // Writing the edited document back needs the write right as well.
    return UpdateACL(user, uri, edited, result);
  });
}

// ---- Locks ----------------------------------------------------------------------------

HRESULT CCollabDBConnectImpl::UpdateLock(const com::Bstr& lock, const com::Bstr& expected, const com::Bstr& uri,
                                         com::Bstr& result) {
  // Only a lock still as it was read changes.
  const com::Variant params[] = {Now(), Value(lock), Value(uri), Value(expected)};
  return RunQuery("UPDATE QUORCOLLAB SET UPDATEDATE = ?, LOCK_STATUS = ? WHERE VOURI = ? AND LOCK_STATUS = ?", params,
                  result);
}

HRESULT CCollabDBConnectImpl::LockVO(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  if (Missing(uri)) return QS_E_URI_NOT_SPECIFIED;
  if (FindActiveField(uri)) return QS_E_FIELD_ACTIVE;
  if (HRESULT hr = Authorize(user, uri, u"r", QS_E_CONTENT_READ_RIGHT_REQUIRED); hr != S_OK) return hr;
  RowState row;
  if (HRESULT hr = QueryRow(uri, row); FAILED(hr)) return hr;
  if (!row.found) return QS_E_URI_INVALID;
  if (row.lock == u"0") {
    const HRESULT hr = UpdateLock(user, row.lock, uri, result);
    return hr == QS_E_VESK_CONTENT_NOT_FOUND ? QS_E_SHARE_FIELD_ALREADY_LOCKED : hr;
  }
  if (row.lock.View() == user.View()) return S_OK;
  return QS_E_SHARE_FIELD_ALREADY_LOCKED;
}

HRESULT CCollabDBConnectImpl::ForceUnlockVO(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  if (Missing(uri)) return QS_E_URI_NOT_SPECIFIED;
  if (HRESULT hr = Authorize(user, uri, u"r", QS_E_CONTENT_READ_RIGHT_REQUIRED); hr != S_OK) return hr;
  RowState row;
  if (HRESULT hr = QueryRow(uri, row); FAILED(hr)) return hr;
  if (!row.found) return QS_E_URI_INVALID;
  if (row.lock == u"0") return S_OK;
  if (row.lock.View() != user.View() && !Utils().IsAdministrator(user)) return QS_E_UNLOCK_NOT_ALLOWED;
  return UpdateLock(com::Bstr(u"0"), row.lock, uri, result);
}

// ---- Conference URLs ------------------------------------------------------------------

HRESULT CCollabDBConnectImpl::GetConferenceManagerURL(const com::Bstr&, com::Bstr& result) {
  result = com::Bstr();
  reg::Key key;
  if (key.Open(reg::Hive::LocalMachine, kServiceKey) != ERROR_SUCCESS) return QS_E_CONFERENCE_URL_NOT_SET;
  reg::Value raw;
  if (key.GetValue("ConferenceManagerURL", raw) != ERROR_SUCCESS || raw.data.size() > kConferenceUrlBuffer)
    return QS_E_CONFERENCE_URL_NOT_SET;
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
