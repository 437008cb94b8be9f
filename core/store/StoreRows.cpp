// The row access both Vesk stores share: statements, list answers, ACLs and
// locks of one table.
#include "core/store/StoreRows.h"

#include "core/ServiceHelpers.h"
#include "core/StatusCodes.h"
#include "platform/com/errorinfo.h"

namespace quor::core::store {

// ---- Texts ----------------------------------------------------------------------------

com::Variant Value(const com::Bstr& text) { return com::Variant(text.IsNull() ? com::Bstr(u"") : text); }

com::Variant Now() { return com::Variant(com::Bstr::FromUtf8(CServiceHelpers::FormatLogTime())); }

const com::Bstr& ResultOk() {
  static const com::Bstr ok = CServiceHelpers::FormatResultCode(0);
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
  if (!db.GetFieldValue(rows, column, value).ok() || !value) return com::Bstr(u"");
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

Status StoreRows::Change(std::string_view sql, std::span<const com::Variant> params, HRESULT none) const {
  if (!Ready()) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  int64_t changed = 0;
  // A statement the database failed is that failure, not a missing row.
  QUOR_RETURN_IF_ERROR(db_->ExecuteNonQuery(sql, params, changed));
  return changed == 0 ? Status(none) : Status();
}

Status StoreRows::Write(std::string_view sql, std::span<const com::Variant> params, com::Bstr& result) const {
  QUOR_RETURN_IF_ERROR(Change(sql, params, QS_E_VESK_CONTENT_NOT_FOUND));
  result = ResultOk();
  return Status();
}

Status StoreRows::First(std::string_view sql, std::span<const com::Variant> params, std::string_view column,
                        com::Bstr& value, bool* found) const {
  value = com::Bstr();
  if (found) *found = false;
  if (!Ready()) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  CommandHolder command;
  RecordsetHolder rows;
  QUOR_RETURN_IF_ERROR(db_->ExecuteQuery(command, rows, sql, params));
  if (!rows->Eof()) {
    value = Column(*db_, rows, column);
    if (found) *found = true;
  }
  db_->ReleaseQuery(command, rows);
  return Status();
}

Status StoreRows::List(std::string_view sql, std::span<const com::Variant> params, std::string_view rowElement,
                       const std::function<void(ListRow&)>& fill, com::Bstr& result) const {
  if (!Ready()) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  CommandHolder command;
  RecordsetHolder rows;
  QUOR_RETURN_IF_ERROR(db_->ExecuteQuery(command, rows, sql, params));
  auto document = xml::Document::Create();
  auto root = document->createElement(Kw(KW_ROOT));
  Status moved;
  for (; !rows->Eof(); moved = db_->MoveNext(rows)) {
    if (!moved.ok()) break;
    ListRow row(*db_, rows, *document, document->createElement(rowElement));
    fill(row);
    root->appendChild(row.Element());
  }
  db_->ReleaseQuery(command, rows);
  QUOR_RETURN_IF_ERROR(moved);
  result = com::Bstr::FromUtf8(root->xml());
  return Status();
}

Status StoreRows::ColumnList(std::string_view sql, std::span<const com::Variant> params, std::string_view column,
                             std::string_view element, com::Bstr& result) const {
  return List(sql, params, element, [&](ListRow& row) { row.SetText(row.Column(column)); }, result);
}

Status StoreRows::Insert(std::string_view sql, std::span<const com::Variant> params, const com::Bstr& key,
                         std::initializer_list<std::pair<std::string_view, const com::Bstr*>> wrote) const {
  if (!Ready()) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  Status inserted = db_->ExecuteNonQuery(sql, params);
  // Refused by the memory budget before it ran: nothing was written.
  if (inserted.ok() || inserted.code() == E_OUTOFMEMORY) return inserted;
  std::string select = "SELECT ";
  for (const auto& [column, value] : wrote) select.append(column).append(", ");
  select.resize(select.size() - 2);
  select += " FROM " + table_ + where_;
  const com::Variant keyParams[] = {Value(key)};
  Status outcome = inserted;
  CommandHolder command;
  RecordsetHolder rows;
  if (db_->ExecuteQuery(command, rows, select, keyParams).ok()) {
    if (!rows->Eof()) {
      bool same = inserted.code() != ado::DB_E_INTEGRITYVIOLATION;
      for (const auto& [column, value] : wrote) same = same && SameText(Column(*db_, rows, column), *value);
      outcome = same ? Status() : Status(QS_E_VESK_EXISTS);
    }
    db_->ReleaseQuery(command, rows);
  }
  return outcome;
}

// ---- ACLs -----------------------------------------------------------------------------

Status StoreRows::QueryAcl(const com::Bstr& key, com::Bstr& acl) const {
  const com::Variant params[] = {Value(key)};
  return First(aclSelect_, params, "ACCESSLIST", acl);
}

Status StoreRows::JudgeRawAcl(const com::Bstr& acl) {
  return acl.IsNull() || acl == u"<root/>" ? Status(QS_E_URI_INVALID) : Status();
}

Status StoreRows::RawAcl(const com::Bstr& key, com::Bstr& acl) const {
  QUOR_RETURN_IF_ERROR(QueryAcl(key, acl));
  return JudgeRawAcl(acl);
}

Status StoreRows::CheckRights(const Caller& caller, std::u16string_view rights, const com::Bstr& acl, HRESULT ownCode) {
  const Status granted = CServiceHelpers::CheckAccessRights(caller, rights, acl);
  if (granted.ok()) return Status();
  return !granted.ok() ? granted : Status(ownCode);
}

Status StoreRows::Authorize(const Caller& caller, const com::Bstr& key, std::u16string_view rights, HRESULT ownCode,
                            com::Bstr* aclOut) const {
  com::Bstr acl;
  QUOR_RETURN_IF_ERROR(RawAcl(key, acl));
  QUOR_RETURN_IF_ERROR(CheckRights(caller, rights, acl, ownCode));
  if (aclOut) *aclOut = acl;
  return Status();
}

Status StoreRows::WriteAcl(const com::Bstr& key, const com::Bstr& acl, com::Bstr& result) const {
  const com::Variant params[] = {Value(acl), Now(), Value(key)};
  return Write(aclUpdate_, params, result);
}

Status StoreRows::GetAcl(const Caller& caller, const com::Bstr& key, com::Bstr& result) const {
  com::Bstr acl;
  if (Status status = Authorize(caller, key, u"ar", QS_E_CONTENT_READ_RIGHT_REQUIRED, &acl); !status.ok()) {
    result = com::Bstr();
    return status;
  }
  result = AclAnswer(acl);
  return Status();
}

Status StoreRows::ReplaceAcl(const Caller& caller, const com::Bstr& key, const com::Bstr& acl,
                             com::Bstr& result) const {
  if (Status status = Authorize(caller, key, u"aw", QS_E_CONTENT_WRITE_RIGHT_REQUIRED); !status.ok()) {
    result = com::Bstr();
    return status;
  }
  return WriteAcl(key, acl, result);
}

Status StoreRows::ResetAcl(const Caller& caller, const com::Bstr& key, com::Bstr& result) const {
  if (Status status = Authorize(caller, key, u"ad", QS_E_CONTENT_WRITE_RIGHT_REQUIRED); !status.ok()) {
    result = com::Bstr();
    return status;
  }
  // An ACL is reset, never emptied: the caller's default document.
  com::Bstr acl;
  QUOR_RETURN_IF_ERROR(CServiceHelpers::MakeDefaultACL(caller.name, acl));
  return WriteAcl(key, acl, result);
}

Status StoreRows::EditAclEntry(Entry edit, const Caller& caller, const com::Bstr& key, const com::Bstr& acluser,
                               const com::Bstr& accright, com::Bstr& result,
                               const std::function<Status(const com::Bstr&)>& store) const {
  const bool needsAccright = edit == Entry::Put || edit == Entry::Update;
  if (Missing(key) || Missing(acluser) || (needsAccright && Missing(accright))) return Status(QS_E_ARGUMENT_NULL);
  com::Bstr acl;
  QUOR_RETURN_IF_ERROR(QueryAcl(key, acl));
  const bool reading = edit == Entry::Get;
  const std::u16string_view rights = reading ? u"ar" : edit == Entry::Delete ? u"ad" : u"aw";
  if (Status status = CheckRights(caller, rights, acl,
                                  reading ? QS_E_CONTENT_READ_RIGHT_REQUIRED : QS_E_CONTENT_WRITE_RIGHT_REQUIRED);
      !status.ok()) {
    result = com::Bstr();
    return status;
  }
  com::Bstr edited;
  Status made;
  switch (edit) {
    case Entry::Get:
      return CServiceHelpers::GetACLEntryFromDocument(acluser, acl, result);
    case Entry::Put:
      made = CServiceHelpers::PutACLEntryToDocument(acluser, accright, acl, edited);
      break;
    case Entry::Update:
      made = CServiceHelpers::UpdateACLEntryInDocument(acluser, accright, acl, edited);
      break;
    case Entry::Delete:
      made = CServiceHelpers::DeleteACLEntryFromDocument(acluser, acl, edited);
      break;
  }
  QUOR_RETURN_IF_ERROR(made);
  // The store's whole-document write checks "aw" again.
  return store(edited);
}

// ---- Locks ----------------------------------------------------------------------------

Status StoreRows::QueryLock(const com::Bstr& key, com::Bstr& lock) const {
  const com::Variant params[] = {Value(key)};
  return First(lockSelect_, params, "LOCK_STATUS", lock);
}

Status StoreRows::SetLock(const com::Bstr& lock, const com::Bstr& expected, const com::Bstr& key,
                          com::Bstr& result) const {
  const com::Variant params[] = {Now(), Value(lock), Value(key), Value(expected)};
  return Write(lockUpdate_, params, result);
}

Status StoreRows::TakeLock(const com::Bstr& user, const com::Bstr& holder, const com::Bstr& key, HRESULT taken,
                           bool holderKeeps, com::Bstr& result) const {
  if (Unlocked(holder)) {
    Status status = SetLock(user, holder, key, result);
    // Someone took the lock between the read and the write.
    return status.code() == QS_E_VESK_CONTENT_NOT_FOUND ? Status(taken) : status;
  }
  return holderKeeps && View(holder) == View(user) ? Status() : Status(taken);
}

Status StoreRows::ReleaseLock(const Caller& caller, const com::Bstr& holder, const com::Bstr& key,
                              com::Bstr& result) const {
  if (Unlocked(holder)) return Status();
  if (HeldByOther(holder, caller.name) && !caller.administrator) return Status(QS_E_UNLOCK_NOT_ALLOWED);
  return SetLock(com::Bstr(u"0"), holder, key, result);
}

}  // namespace quor::core::store
