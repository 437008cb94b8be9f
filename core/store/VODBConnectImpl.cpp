// The content store: its set-up, the query routines its Vesk-object
// operations answer through, and the content operations.
#include "core/store/VODBConnectImpl.h"

#include "core/ServiceModule.h"
#include "core/StatusCodes.h"
#include "platform/xml/escape.h"

namespace quor::core {

using namespace store;

namespace {

// "<root>" holding the content as character data; "<root/>" when empty.
// Written straight from the stored UTF-8, escaped as the document writer
// escapes text, so a long content is neither parsed into a tree nor
// converted on its way to the wire.
com::Bstr ContentAnswer(const com::Bstr& content) {
  const std::string_view root = Kw(KW_ROOT);
  const std::string_view text = content.Utf8();
  std::string out;
  if (text.empty()) {
    out.reserve(root.size() + 3);
    out.append("<").append(root).append("/>");
    return com::Bstr::TakeUtf8(std::move(out));
  }
  out.reserve(text.size() + text.size() / 16 + 2 * root.size() + 5);
  out.append("<").append(root).append(">");
  xml::AppendEscaped(out, text);
  out.append("</").append(root).append(">");
  return com::Bstr::TakeUtf8(std::move(out));
}

const com::Bstr& EmptyAnswer() {
  static const com::Bstr empty(u"<root/>");
  return empty;
}

}  // namespace

CVODBConnectImpl::CVODBConnectImpl(CDBConnect* connection)
    : db_(connection), rows_(connection, "QUORVESK", "VOURI"), resources_(connection, "QUORVESKRES", "NAME") {}

CVODBConnectImpl::~CVODBConnectImpl() = default;

CQuorServiceUtils& CVODBConnectImpl::Utils() const { return CServiceModule::Instance().EnsureUtils(); }

HRESULT CVODBConnectImpl::Init() {
  resourceURL_ = CQuorServiceUtils::ReadResourceURL();
  resourceDir_ = CQuorServiceUtils::ReadResourceDir();
  return S_OK;
}

// ---- Query routines -------------------------------------------------------------

HRESULT CVODBConnectImpl::QueryVOContent(std::string_view sql, std::span<const com::Variant> params, bool& found,
                                         com::Bstr& content) {
  return rows_.First(sql, params, "CONTENT", content, &found);
}

HRESULT CVODBConnectImpl::QueryOwnVOContent(const com::Bstr& user, const com::Bstr& name, bool& found,
                                            com::Bstr& content) {
  const com::Variant params[] = {Value(user), Value(name)};
  return QueryVOContent("SELECT CONTENT FROM QUORVESK WHERE VOUSER = ? AND NAME = ?", params, found, content);
}

HRESULT CVODBConnectImpl::QueryVOLockA(const com::Bstr& uri, com::Bstr& lock) { return rows_.QueryLock(uri, lock); }

HRESULT CVODBConnectImpl::QueryVOLockB(const com::Bstr& uri, com::Bstr& acl) { return rows_.QueryAcl(uri, acl); }

HRESULT CVODBConnectImpl::OwnURI(const com::Bstr& user, const com::Bstr& name, com::Bstr& uri) {
  const com::Variant params[] = {Value(user), Value(name)};
  return rows_.First("SELECT VOURI FROM QUORVESK WHERE VOUSER = ? AND NAME = ?", params, "VOURI", uri);
}

std::optional<com::Bstr> CVODBConnectImpl::GetLockInfo(const com::Bstr& user, const com::Bstr& uri) {
  OperationGate::Reading lock(operation_);
  if (uri.IsNull()) return std::nullopt;
  if (rows_.Authorize(user, uri, u"r", QS_E_CONTENT_READ_RIGHT_REQUIRED) != S_OK) return std::nullopt;
  com::Bstr holder;
  if (QueryVOLockA(uri, holder) != S_OK || holder.IsNull()) return std::nullopt;
  return holder;
}

HRESULT CVODBConnectImpl::HolderByURI(const com::Bstr& user, const com::Bstr& uri, com::Bstr& holder) {
  if (HRESULT hr = rows_.Authorize(user, uri, u"r", QS_E_CONTENT_READ_RIGHT_REQUIRED); hr != S_OK) return hr;
  const auto lock = GetLockInfo(user, uri);
  if (!lock) return QS_E_URI_INVALID;
  holder = *lock;
  return S_OK;
}

// ---- Writes ---------------------------------------------------------------------

HRESULT CVODBConnectImpl::UpdateVOContentB(const com::Bstr& uri, const com::Bstr& content) {
  // CONTENTLEN counts UTF-16 code units, as the interface's strings do.
  const com::Variant params[] = {com::Variant(static_cast<int32_t>(content.Length())), Value(content), Value(uri)};
  return rows_.Change("UPDATE QUORVESK SET CONTENTLEN = ?, CONTENT = ? WHERE VOURI = ?", params,
                      QS_E_VESK_CONTENT_NOT_FOUND);
}

HRESULT CVODBConnectImpl::UpdateVOContentC(const com::Bstr& owner, const com::Bstr& name, const com::Bstr& content) {
  const com::Variant params[] = {com::Variant(static_cast<int32_t>(content.Length())), Value(content), Now(),
                                 Value(owner), Value(name)};
  return rows_.Change("UPDATE QUORVESK SET CONTENTLEN = ?, CONTENT = ?, UPDATEDATE = ? WHERE VOUSER = ? AND NAME = ?",
                      params, QS_E_VESK_CONTENT_NOT_FOUND);
}

HRESULT CVODBConnectImpl::InsertVO(const com::Bstr& owner, const com::Bstr& name, const com::Bstr& content) {
  if (!Ready()) return QS_E_NATIVE_DB_NOT_INSTALLED;
  const com::Bstr uri = CQuorServiceUtils::MakeVOContentURIW(owner, name);
  com::Bstr acl;
  if (HRESULT hr = CQuorServiceUtils::MakeDefaultACL(owner, acl).code(); FAILED(hr)) return hr;
  // The row comes with its content in one statement: the content is sent
  // once, and no reader ever sees the row without it.
  const com::Variant now = Now();
  const com::Variant params[] = {Value(owner),
                                 Value(name),
                                 com::Variant(static_cast<int32_t>(content.Length())),
                                 Value(content),
                                 Value(uri),
                                 now,
                                 now,
                                 Value(acl)};
  // The URN is unique.
  return rows_.Insert(
      "INSERT INTO QUORVESK (VOUSER, NAME, CONTENTLEN, CONTENT, VOURI, CREATEDATE, UPDATEDATE, LOCK_STATUS, "
      "ACCESSLEVEL, ACCESSLIST) VALUES (?, ?, ?, ?, ?, ?, ?, '0', '0', ?)",
      params, uri, {{"VOUSER", &owner}, {"NAME", &name}, {"CONTENT", &content}});
}

HRESULT CVODBConnectImpl::UpdateAndUnlock(const com::Bstr& uri, const com::Bstr& lock, const com::Bstr* owner,
                                          const com::Bstr* name, const com::Bstr& content, com::Bstr& result) {
  if (!Ready()) return QS_E_NATIVE_DB_NOT_INSTALLED;
  // The new content and the released lock come together, or neither does.
  DBTransaction transaction(*db_);
  if (const int32_t status = transaction.Begin(); status != 0) return status;
  const HRESULT written = owner && name ? UpdateVOContentC(*owner, *name, content) : UpdateVOContentB(uri, content);
  if (written != S_OK) return written;
  com::Bstr unlocked;
  if (HRESULT hr = rows_.SetLock(com::Bstr(u"0"), lock, uri, unlocked); hr != S_OK) return hr;
  if (const int32_t status = transaction.Commit(); status != 0) return status;
  result = unlocked;
  return S_OK;
}

// ---- Content ----------------------------------------------------------------------

HRESULT CVODBConnectImpl::GetVOContent(const com::Bstr& user, const com::Bstr& name, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  bool found = false;
  com::Bstr content;
  if (HRESULT hr = QueryOwnVOContent(user, name, found, content); hr != S_OK)
    return hr;
  result = found ? ContentAnswer(content) : EmptyAnswer();
  return S_OK;
}

HRESULT CVODBConnectImpl::GetVOContentbyURI(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  if (Missing(uri)) return QS_E_URI_NOT_SPECIFIED;
  if (HRESULT hr = rows_.Authorize(user, uri, u"r", QS_E_CONTENT_READ_RIGHT_REQUIRED); hr != S_OK) return hr;
  const com::Variant params[] = {Value(uri)};
  bool found = false;
  com::Bstr content;
  if (HRESULT hr = QueryVOContent("SELECT CONTENT FROM QUORVESK WHERE VOURI = ?", params, found, content); hr != S_OK)
    return hr;
  result = found ? ContentAnswer(content) : EmptyAnswer();
  return S_OK;
}

HRESULT CVODBConnectImpl::PutVOContent(const com::Bstr& user, const com::Bstr& name, const com::Bstr& content,
                                       com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  // Whether the object exists is decided by its row (one made empty is
  // written like any other), asked by its key without reading the content.
  com::Bstr uri;
  if (HRESULT hr = OwnURI(user, name, uri); hr != S_OK) return hr;
  HRESULT hr = uri.IsNull() ? QS_E_VESK_CONTENT_NOT_FOUND : UpdateVOContentC(user, name, content);
  if (hr == QS_E_VESK_CONTENT_NOT_FOUND) {
    hr = InsertVO(user, name, content);
    // Another server on the same database made the row in between: this put
    // then writes into it, as it would have had it come second.
    if (hr == QS_E_VESK_EXISTS && OwnURI(user, name, uri) == S_OK && !uri.IsNull())
      hr = UpdateVOContentC(user, name, content);
  }
  if (hr != S_OK) return hr;
  result = ResultOk();
  return S_OK;
}

HRESULT CVODBConnectImpl::ForcePutVOContent(const com::Bstr&, const com::Bstr&, const com::Bstr&, com::Bstr&) {
  // No content put leaves anything to replay: the entry is accepted as done.
  return S_OK;
}

HRESULT CVODBConnectImpl::CheckOwnWrite(const com::Bstr& user, const com::Bstr& name, const com::Bstr& content,
                                        HRESULT noLock, bool& unchanged, com::Bstr& uri, com::Bstr& holder) {
  bool found = false;
  com::Bstr stored;
  if (HRESULT hr = QueryOwnVOContent(user, name, found, stored); hr != S_OK) return hr;
  // Unchanged content writes nothing and leaves the lock as it is.
  unchanged = found && SameText(stored, content);
  if (unchanged) return S_OK;
  if (HRESULT hr = OwnURI(user, name, uri); hr != S_OK) return hr;
  const auto lock = GetLockInfo(user, uri);
  if (!lock) return noLock;
  holder = *lock;
  return HeldByOther(holder, user) ? QS_E_VESK_LOCKED_BY_OTHER : S_OK;
}

HRESULT CVODBConnectImpl::CheckWriteByURI(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& content,
                                          bool& unchanged, com::Bstr& holder) {
  if (HRESULT hr = rows_.Authorize(user, uri, u"rw", QS_E_CONTENT_WRITE_RIGHT_REQUIRED); hr != S_OK) return hr;
  const com::Variant params[] = {Value(uri)};
  bool found = false;
  com::Bstr stored;
  if (HRESULT hr = QueryVOContent("SELECT CONTENT FROM QUORVESK WHERE VOURI = ?", params, found, stored); hr != S_OK)
    return hr;
  if (!found) return QS_E_VESK_CONTENT_MISSING;
  unchanged = SameText(stored, content);
  if (unchanged) return S_OK;
  const auto lock = GetLockInfo(user, uri);
  if (!lock) return QS_E_URI_INVALID;
  holder = *lock;
  return HeldByOther(holder, user) ? QS_E_VESK_LOCKED_BY_OTHER : S_OK;
}

HRESULT CVODBConnectImpl::UpdateVOContentA(const com::Bstr& user, const com::Bstr& name, const com::Bstr& content,
                                           com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  bool unchanged = false;
  com::Bstr uri, holder;
  const HRESULT checked = CheckOwnWrite(user, name, content, QS_E_URI_INVALID, unchanged, uri, holder);
  if (checked != S_OK || unchanged) return checked;
  if (HRESULT hr = UpdateVOContentC(user, name, content); hr != S_OK) return hr;
  result = ResultOk();
  return S_OK;
}

HRESULT CVODBConnectImpl::UpdateVOContentbyURI(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& content,
                                               com::Bstr&) {
  OperationGate::Writing lock(operation_);
  if (Missing(uri) || content.IsNull()) return QS_E_URI_OR_CONTENT_NOT_SPECIFIED;
  bool unchanged = false;
  com::Bstr holder;
  if (HRESULT hr = CheckWriteByURI(user, uri, content, unchanged, holder); hr != S_OK || unchanged) return hr;
  return UpdateVOContentB(uri, content);
}

HRESULT CVODBConnectImpl::RemoveChecked(const com::Bstr& user, const com::Bstr& uri, std::string_view sql,
                                        std::span<const com::Variant> params, com::Bstr& result) {
  if (HRESULT hr = rows_.Authorize(user, uri, u"d", QS_E_CONTENT_DELETE_RIGHT_REQUIRED); hr != S_OK) return hr;
  const auto holder = GetLockInfo(user, uri);
  if (!holder) return QS_E_URI_INVALID;
  // A locked object stays, whoever holds the lock.
  if (!Unlocked(*holder)) return QS_E_OBJECT_LOCKED;
  return rows_.Write(sql, params, result);
}

HRESULT CVODBConnectImpl::RemoveVOContent(const com::Bstr& user, const com::Bstr& name, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  com::Bstr uri;
  if (HRESULT hr = OwnURI(user, name, uri); hr != S_OK) return hr;
  if (uri.IsNull()) return QS_E_URI_INVALID;
  const com::Variant params[] = {Value(user), Value(name)};
  return RemoveChecked(user, uri, "DELETE FROM QUORVESK WHERE VOUSER = ? AND NAME = ? AND LOCK_STATUS = '0'", params,
                       result);
}

HRESULT CVODBConnectImpl::RemoveVOContentbyURI(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  if (Missing(uri)) return QS_E_URI_INVALID;
  const com::Variant params[] = {Value(uri)};
  return RemoveChecked(user, uri, "DELETE FROM QUORVESK WHERE VOURI = ? AND LOCK_STATUS = '0'", params, result);
}

}  // namespace quor::core
