// The row access both Vesk stores share: statements, list answers, ACLs and
// locks of one table.
#include "core/store/StoreRows.h"

#include "core/QuorServiceUtils.h"
#include "core/ServiceModule.h"
#include "core/StatusCodes.h"

namespace quor::core::store {

namespace {

CQuorServiceUtils& Utils() { return CServiceModule::Instance().EnsureUtils(); }

}  // namespace

// ---- Texts ----------------------------------------------------------------------------

com::Variant Value(const com::Bstr& text) { return com::Variant(text.IsNull() ? com::Bstr(u"") : text); }

com::Variant Now() { return com::Variant(com::Bstr::FromUtf8(CQuorServiceUtils::FormatLogTime())); }

const com::Bstr& ResultOk() {
  static const com::Bstr ok = CQuorServiceUtils::FormatResultCode(0);
  return ok;
}

com::Bstr RootAnswer(std::initializer_list<std::pair<std::string_view, std::string>> elements) {
  auto document = xml::Document::Create();
  auto root = document->createElement(Kw(KW_ROOT));
  for (const auto& [name, text] : elements) {
    auto element = document->createElement(name);
    element->setText(text);
    root->appendChild(element);
  }
  return com::Bstr::FromUtf8(root->xml());
}

xml::NodePtr AclElement(const com::Bstr& acl) {
  if (acl.IsNull() || acl.Empty()) return nullptr;
  auto document = xml::Document::Create();
  if (!document->loadXML(acl.View())) return nullptr;
  return document->documentElement();
}

com::Bstr AclAnswer(const com::Bstr& acl) {
  auto document = xml::Document::Create();
  auto root = document->createElement(Kw(KW_ROOT));
  if (auto element = AclElement(acl)) root->appendChild(element);
  return com::Bstr::FromUtf8(root->xml());
}

com::Bstr Column(CDBConnect& db, const RecordsetHolder& rows, std::string_view column) {
  const com::Bstr* value = nullptr;
  if (db.GetFieldValue(rows, column, value) != 0 || !value) return com::Bstr(u"");
  return *value;
}

void ListRow::Add(std::string_view name, const com::Bstr& text) {
  auto node = document_.createElement(name);
  node->setText(text.ToUtf8());
  element_->appendChild(node);
}

void ListRow::AddAcl() {
  const com::Bstr acl = Column("ACCESSLIST");
  auto node = document_.createElement(Kw(KW_ACL));
  if (auto element = AclElement(acl))
    node->appendChild(element);
  else
    node->setText(acl.ToUtf8());
  element_->appendChild(node);
}

void ListRow::SetText(const com::Bstr& text) { element_->setText(text.ToUtf8()); }

// ---- Statements -----------------------------------------------------------------------

StoreRows::StoreRows(CDBConnect* db, std::string_view table, std::string_view key)
    : db_(db), table_(table), where_(std::string(" WHERE ").append(key).append(" = ?")) {
  aclSelect_ = "SELECT ACCESSLIST FROM " + table_ + where_;
  aclUpdate_ = "UPDATE " + table_ + " SET ACCESSLIST = ?, UPDATEDATE = ?" + where_;
  lockSelect_ = "SELECT LOCK_STATUS FROM " + table_ + where_;
  // Only a lock still as it was read changes.
  lockUpdate_ = "UPDATE " + table_ + " SET UPDATEDATE = ?, LOCK_STATUS = ?" + where_ + " AND LOCK_STATUS = ?";
}

HRESULT StoreRows::Change(std::string_view sql, std::span<const com::Variant> params, HRESULT none) const {
  if (!Ready()) return QS_E_NATIVE_DB_NOT_INSTALLED;
  int64_t changed = 0;
  // A statement the database failed is that failure, not a missing row.
  if (const int32_t status = db_->ExecuteNonQuery(sql, params, changed); status != 0) return status;
  return changed == 0 ? none : S_OK;
}

HRESULT StoreRows::Write(std::string_view sql, std::span<const com::Variant> params, com::Bstr& result) const {
  if (HRESULT hr = Change(sql, params, QS_E_VESK_CONTENT_NOT_FOUND); hr != S_OK) return hr;
  result = ResultOk();
  return S_OK;
}

HRESULT StoreRows::First(std::string_view sql, std::span<const com::Variant> params, std::string_view column,
                         com::Bstr& value, bool* found) const {
  value = com::Bstr();
  if (found) *found = false;
  if (!Ready()) return QS_E_NATIVE_DB_NOT_INSTALLED;
  CommandHolder command;
  RecordsetHolder rows;
  if (const int32_t status = db_->ExecuteQuery(command, rows, sql, params); status != 0) return status;
  if (!rows->Eof()) {
    value = Column(*db_, rows, column);
    if (found) *found = true;
  }
  db_->ReleaseQuery(command, rows);
  return S_OK;
}

HRESULT StoreRows::List(std::string_view sql, std::span<const com::Variant> params, std::string_view rowElement,
                        const std::function<void(ListRow&)>& fill, com::Bstr& result) const {
  if (!Ready()) return QS_E_NATIVE_DB_NOT_INSTALLED;
  CommandHolder command;
  RecordsetHolder rows;
  if (const int32_t status = db_->ExecuteQuery(command, rows, sql, params); status != 0) return status;
  auto document = xml::Document::Create();
  auto root = document->createElement(Kw(KW_ROOT));
  HRESULT status = S_OK;
  for (; !rows->Eof(); status = rows->MoveNext()) {
    if (FAILED(status)) break;
    ListRow row(*db_, rows, *document, document->createElement(rowElement));
    fill(row);
    root->appendChild(row.Element());
  }
  db_->ReleaseQuery(command, rows);
  if (FAILED(status)) return status;
  result = com::Bstr::FromUtf8(root->xml());
  return S_OK;
}

HRESULT StoreRows::ColumnList(std::string_view sql, std::span<const com::Variant> params, std::string_view column,
                              std::string_view element, com::Bstr& result) const {
  return List(sql, params, element, [&](ListRow& row) { row.SetText(row.Column(column)); }, result);
}

HRESULT StoreRows::Insert(std::string_view sql, std::span<const com::Variant> params, const com::Bstr& key,
                          std::initializer_list<std::pair<std::string_view, const com::Bstr*>> wrote) const {
  if (!Ready()) return QS_E_NATIVE_DB_NOT_INSTALLED;
  const int32_t status = db_->ExecuteNonQuery(sql, params);
  if (status == 0) return S_OK;
  const com::Bstr reason = db_->LastErrorText();
  std::string select = "SELECT ";
  for (const auto& [column, value] : wrote) select.append(column).append(", ");
  select.resize(select.size() - 2);
  select += " FROM " + table_ + where_;
  const com::Variant keyParams[] = {Value(key)};
  HRESULT outcome = status;
  CommandHolder command;
  RecordsetHolder rows;
  if (db_->ExecuteQuery(command, rows, select, keyParams) == 0) {
    if (!rows->Eof()) {
      bool same = status != ado::DB_E_INTEGRITYVIOLATION;
      for (const auto& [column, value] : wrote) same = same && SameText(Column(*db_, rows, column), *value);
      outcome = same ? S_OK : QS_E_VESK_EXISTS;
    }
    db_->ReleaseQuery(command, rows);
  }
  db_->LastErrorText() = reason;
  return outcome;
}

// ---- ACLs -----------------------------------------------------------------------------

HRESULT StoreRows::QueryAcl(const com::Bstr& key, com::Bstr& acl) const {
  const com::Variant params[] = {Value(key)};
  return First(aclSelect_, params, "ACCESSLIST", acl);
}

HRESULT StoreRows::JudgeRawAcl(const com::Bstr& acl) {
  return acl.IsNull() || acl == u"<root/>" ? QS_E_URI_INVALID : S_OK;
}

HRESULT StoreRows::RawAcl(const com::Bstr& key, com::Bstr& acl) const {
  if (HRESULT hr = QueryAcl(key, acl); FAILED(hr)) return hr;
  return JudgeRawAcl(acl);
}

HRESULT StoreRows::CheckRights(const com::Bstr& user, std::u16string_view rights, const com::Bstr& acl,
                               HRESULT ownCode) {
  const HRESULT status = Utils().CheckAccessRights(user, rights, acl).code();
  if (status == S_OK) return S_OK;
  return status != S_OK ? status : ownCode;
}

HRESULT StoreRows::Authorize(const com::Bstr& user, const com::Bstr& key, std::u16string_view rights,
                             HRESULT ownCode, com::Bstr* aclOut) const {
  com::Bstr acl;
  if (HRESULT hr = RawAcl(key, acl); hr != S_OK) return hr;
  if (HRESULT hr = CheckRights(user, rights, acl, ownCode); hr != S_OK) return hr;
  if (aclOut) *aclOut = acl;
  return S_OK;
}

HRESULT StoreRows::WriteAcl(const com::Bstr& key, const com::Bstr& acl, com::Bstr& result) const {
  const com::Variant params[] = {Value(acl), Now(), Value(key)};
  return Write(aclUpdate_, params, result);
}

HRESULT StoreRows::GetAcl(const com::Bstr& user, const com::Bstr& key, com::Bstr& result) const {
  com::Bstr acl;
  if (HRESULT hr = Authorize(user, key, u"ar", QS_E_CONTENT_READ_RIGHT_REQUIRED, &acl); hr != S_OK) {
    result = com::Bstr();
    return hr;
  }
  result = AclAnswer(acl);
  return S_OK;
}

HRESULT StoreRows::ReplaceAcl(const com::Bstr& user, const com::Bstr& key, const com::Bstr& acl,
                              com::Bstr& result) const {
  if (HRESULT hr = Authorize(user, key, u"aw", QS_E_CONTENT_WRITE_RIGHT_REQUIRED); hr != S_OK) {
    result = com::Bstr();
    return hr;
  }
  return WriteAcl(key, acl, result);
}

HRESULT StoreRows::ResetAcl(const com::Bstr& user, const com::Bstr& key, com::Bstr& result) const {
  if (HRESULT hr = Authorize(user, key, u"ad", QS_E_CONTENT_WRITE_RIGHT_REQUIRED); hr != S_OK) {
    result = com::Bstr();
    return hr;
  }
  // An ACL is reset, never emptied: the caller's default document.
  com::Bstr acl;
  if (HRESULT hr = CQuorServiceUtils::MakeDefaultACL(user, acl).code(); FAILED(hr)) return hr;
  return WriteAcl(key, acl, result);
}

HRESULT StoreRows::EditAclEntry(Entry edit, const com::Bstr& user, const com::Bstr& key, const com::Bstr& acluser,
                                const com::Bstr& accright, com::Bstr& result,
                                const std::function<HRESULT(const com::Bstr&)>& store) const {
  const bool needsAccright = edit == Entry::Put || edit == Entry::Update;
  if (Missing(key) || Missing(acluser) || (needsAccright && Missing(accright))) return QS_E_ARGUMENT_NULL;
  com::Bstr acl;
  if (HRESULT hr = QueryAcl(key, acl); FAILED(hr)) return hr;
  const bool reading = edit == Entry::Get;
  const std::u16string_view rights = reading ? u"ar" : edit == Entry::Delete ? u"ad" : u"aw";
  if (HRESULT hr = CheckRights(user, rights, acl,
                               reading ? QS_E_CONTENT_READ_RIGHT_REQUIRED : QS_E_CONTENT_WRITE_RIGHT_REQUIRED);
      hr != S_OK) {
    result = com::Bstr();
    return hr;
  }
  com::Bstr edited;
  HRESULT hr = S_OK;
  switch (edit) {
    case Entry::Get:
      return CQuorServiceUtils::GetACLEntryFromDocument(acluser, acl, result).code();
    case Entry::Put:
      hr = CQuorServiceUtils::PutACLEntryToDocument(acluser, accright, acl, edited).code();
      break;
    case Entry::Update:
      hr = CQuorServiceUtils::UpdateACLEntryInDocument(acluser, accright, acl, edited).code();
      break;
    case Entry::Delete:
      hr = CQuorServiceUtils::DeleteACLEntryFromDocument(acluser, acl, edited).code();
      break;
  }
  if (FAILED(hr)) return hr;
  // The store's whole-document write checks "aw" again.
  return store(edited);
}

// ---- Locks ----------------------------------------------------------------------------

HRESULT StoreRows::QueryLock(const com::Bstr& key, com::Bstr& lock) const {
  const com::Variant params[] = {Value(key)};
  return First(lockSelect_, params, "LOCK_STATUS", lock);
}

HRESULT StoreRows::SetLock(const com::Bstr& lock, const com::Bstr& expected, const com::Bstr& key,
                           com::Bstr& result) const {
  const com::Variant params[] = {Now(), Value(lock), Value(key), Value(expected)};
  return Write(lockUpdate_, params, result);
}

HRESULT StoreRows::TakeLock(const com::Bstr& user, const com::Bstr& holder, const com::Bstr& key, HRESULT taken,
                            bool holderKeeps, com::Bstr& result) const {
  if (Unlocked(holder)) {
    const HRESULT hr = SetLock(user, holder, key, result);
    // Someone took the lock between the read and the write.
    return hr == QS_E_VESK_CONTENT_NOT_FOUND ? taken : hr;
  }
  return holderKeeps && View(holder) == View(user) ? S_OK : taken;
}

HRESULT StoreRows::ReleaseLock(const com::Bstr& user, const com::Bstr& holder, const com::Bstr& key,
                               com::Bstr& result) const {
  if (Unlocked(holder)) return S_OK;
  if (HeldByOther(holder, user) && !Utils().IsAdministrator(user)) return QS_E_UNLOCK_NOT_ALLOWED;
  return SetLock(com::Bstr(u"0"), holder, key, result);
}

}  // namespace quor::core::store
