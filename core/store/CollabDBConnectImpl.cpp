// The collaboration store: its set-up, the query routines every operation
// answers through, and the share-field operations.
#include "core/store/CollabDBConnectImpl.h"

#include "core/ServiceHelpers.h"
#include "core/store/ResumeQueue.h"
#include "core/StatusCodes.h"
#include "platform/com/errorinfo.h"

namespace quor::core {

using namespace store;

namespace {

constexpr std::string_view kListColumns =
    "SELECT AUTHOR, NAME, VOURI, OWNER, MESSAGE, CREATEDATE, UPDATEDATE, "
    "LOCK_STATUS, ACCESSLIST FROM QUORCOLLAB";

constexpr std::u16string_view kCorruptedData = u"There is corrupted data. If want to overwrite, resume this process.";

}  // namespace

CCollabDBConnectImpl::CCollabDBConnectImpl(CDBConnect* connection, CResumeQueue& queue)
    : db_(connection), queue_(queue), rows_(connection, "QUORCOLLAB", "VOURI"), sharing_(connection, queue.Lease()) {}

CCollabDBConnectImpl::~CCollabDBConnectImpl() = default;

Status CCollabDBConnectImpl::Init() {
  CKeywordTable::Instance();
  return Status();
}

// ---- Query routines -------------------------------------------------------------

Status CCollabDBConnectImpl::QueryList(std::string_view sql, std::span<const com::Variant> params, com::Bstr& result) {
  if (!Ready()) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  // One look at the sharing for the whole list.
  QUOR_ASSIGN_OR_RETURN(const auto addresses, sharing_.Addresses());
  return rows_.List(sql, params, Kw(KW_FIELD), [&](ListRow& row) {
    const com::Bstr uri = row.Column("VOURI");
    const auto found = addresses.find(std::u16string(uri.View()));
    const com::Bstr* active = found == addresses.end() ? nullptr : &found->second;
    row.AddColumn(Kw(KW_AUTHOR), "AUTHOR");
    row.AddColumn(Kw(KW_NAME), "NAME");
    row.Add(Kw(KW_URI), uri);
    row.AddColumn(Kw(KW_OWNER), "OWNER");
    row.Add(Kw(KW_IPADDRESS), active ? *active : com::Bstr(u""));
    row.AddColumn(Kw(KW_MESSAGE), "MESSAGE");
    row.Add(Kw(KW_ACTIVE), CKeywordTable::Instance()[active ? KW_TRUE : KW_FALSE]);
    row.AddColumn(Kw(KW_CREATEDATE), "CREATEDATE");
    row.AddColumn(Kw(KW_UPDATEDATE), "UPDATEDATE");
    row.AddColumn(Kw(KW_LOCK_STATUS), "LOCK_STATUS");
    row.AddAcl();
  }, result);
}

Status CCollabDBConnectImpl::QueryRow(const com::Bstr& uri, RowState& row) {
  row = RowState{};
  if (!Ready()) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  CommandHolder command;
  RecordsetHolder rows;
  const com::Variant params[] = {Value(uri)};
  QUOR_RETURN_IF_ERROR(db_->ExecuteQuery(command, rows,
                                         "SELECT AUTHOR, NAME, OWNER, MESSAGE, LOCK_STATUS, "
                                         "ACCESSLIST FROM QUORCOLLAB WHERE VOURI = ?",
                                         params));
  if (!rows->Eof()) {
    row.found = true;
    row.author = Column(*db_, rows, "AUTHOR");
    row.name = Column(*db_, rows, "NAME");
    row.owner = Column(*db_, rows, "OWNER");
    row.message = Column(*db_, rows, "MESSAGE");
    row.lock = Column(*db_, rows, "LOCK_STATUS");
    row.acl = Column(*db_, rows, "ACCESSLIST");
  }
  db_->ReleaseQuery(command, rows);
  return Status();
}

// ---- Writes ---------------------------------------------------------------------

Status CCollabDBConnectImpl::InsertShareField(const com::Bstr& author, const Caller& caller, const com::Bstr& name,
                                              const com::Bstr& field) {
  if (!Ready()) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  const com::Bstr uri = CServiceHelpers::MakeCoVOContentURIW(author, name);
  com::Bstr acl;
  QUOR_RETURN_IF_ERROR(CServiceHelpers::MakeDefaultACL(caller.name, acl));
  const com::Variant now = Now();
  // FIELDLEN counts UTF-16 code units, as the interface's strings do.
  const com::Variant params[] = {Value(author), Value(name), com::Variant(static_cast<int32_t>(field.Length())),
                                 Value(field),  Value(uri),  Value(caller.name),
                                 now,           now,         Value(acl)};
  // The URN is the table's key.
  return rows_.Insert(
      "INSERT INTO QUORCOLLAB (AUTHOR, NAME, FIELDLEN, FIELD, VOURI, OWNER, "
      "MESSAGE, CREATEDATE, UPDATEDATE, "
      "LOCK_STATUS, ACCESSLEVEL, ACCESSLIST) VALUES (?, ?, ?, ?, ?, ?, '', ?, "
      "?, '0', '0', ?)",
      params, uri, {{"AUTHOR", &author}, {"NAME", &name}, {"FIELD", &field}});
}

Status CCollabDBConnectImpl::WriteField(const com::Bstr& uri, const com::Bstr& field) {
  const com::Variant params[] = {com::Variant(static_cast<int32_t>(field.Length())), Value(field), Value(uri)};
  return rows_.Change("UPDATE QUORCOLLAB SET FIELDLEN = ?, FIELD = ? WHERE VOURI = ?", params, QS_E_URI_INVALID);
}

Status CCollabDBConnectImpl::UpdateFieldChecked(const Caller& caller, const com::Bstr& uri, const com::Bstr& field) {
  QUOR_RETURN_IF_ERROR(rows_.Authorize(caller, uri, u"w", QS_E_CONTENT_WRITE_RIGHT_REQUIRED));
  RowState row;
  QUOR_RETURN_IF_ERROR(QueryRow(uri, row));
  if (!row.found) return Status(QS_E_URI_INVALID);
  if (HeldByOther(row.lock, caller.name)) return Status(QS_E_VESK_LOCKED_BY_OTHER);
  return WriteField(uri, field);
}

// ---- Share fields -----------------------------------------------------------------

Status CCollabDBConnectImpl::PutShareField(const Caller& caller, const com::Bstr& author, const com::Bstr& name,
                                           const com::Bstr& field, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(CServiceHelpers::MakeCoVOContentURIW(author, name));
  const com::Bstr uri = CServiceHelpers::MakeCoVOContentURIW(author, name);
  // Whether the share field exists is decided by its row, not by what the
  // caller may read of it.
  RowState row;
  if (Status status = QueryRow(uri, row); !status.ok()) return status;
  if (!row.found) {
    if (Status status = InsertShareField(author, caller, name, field); !status.ok()) return status;
    result = RootAnswer({{Kw(KW_RESULTCODE), "0"}, {Kw(KW_URI), uri.ToUtf8()}});
    return Status();
  }
  // The row is found by its URN alone: another author and name that make
  // the same URN meet the same row.
  if (Status status = StoreRows::CheckRights(caller, u"r", row.acl, QS_E_CONTENT_READ_RIGHT_REQUIRED); !status.ok())
    return status;

  // The caller decides through the resume queue whether to overwrite.
  QUOR_ASSIGN_OR_RETURN(const com::Bstr key,
                        queue_.MakeResumeKey(u"ForcePutShareField", {field, caller.name, name, author}));
  result = RootAnswer({{Kw(KW_RESULTCODE), "1"},
                       {Kw(KW_RESUMEID), key.ToUtf8()},
                       {Kw(KW_DESCRIPTION), com::Bstr(kCorruptedData).ToUtf8()}});
  return Status();
}

Status CCollabDBConnectImpl::ForcePutShareField(const Caller& caller, const com::Bstr& author, const com::Bstr& name,
                                                const com::Bstr& field, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(CServiceHelpers::MakeCoVOContentURIW(author, name));
  if (!Ready()) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  const com::Bstr uri = CServiceHelpers::MakeCoVOContentURIW(author, name);
  QUOR_RETURN_IF_ERROR(RefuseShared(uri));

  // The old row goes and the new one comes together, or neither does.
  DBTransaction transaction(*db_);
  if (Status status = transaction.Begin(); !status.ok()) return status;
  RowState row;
  if (Status status = QueryRow(uri, row); !status.ok()) return status;
  if (row.found) {
    if (row.author != View(author) || row.name != View(name)) return Status(QS_E_VESK_EXISTS);
    // Replacing the row overwrites its text and drops its ACL, message and
    // owner: the caller needs the write and the delete right.
    if (Status status = StoreRows::CheckRights(caller, u"wd", row.acl, QS_E_CONTENT_WRITE_RIGHT_REQUIRED); !status.ok())
      return status;
    if (HeldByOther(row.lock, caller.name)) return Status(QS_E_VESK_LOCKED_BY_OTHER);
    const com::Variant params[] = {Value(uri)};
    if (Status status = db_->ExecuteNonQuery("DELETE FROM QUORCOLLAB WHERE VOURI = ?", params); !status.ok())
      return status;
  }
  if (Status status = InsertShareField(author, caller, name, field); !status.ok()) return status;
  if (Status status = transaction.Commit(); !status.ok()) return status;
  result = ResultOk();
  return Status();
}

Status CCollabDBConnectImpl::GetShareField(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  if (uri.IsNull() || uri.Empty()) return Status(QS_E_URI_NOT_SPECIFIED);
  if (Status status = rows_.Authorize(caller, uri, u"r", QS_E_CONTENT_READ_RIGHT_REQUIRED); !status.ok()) return status;
  const com::Variant params[] = {Value(uri)};
  return rows_.ColumnList("SELECT FIELD FROM QUORCOLLAB WHERE VOURI = ?", params, "FIELD", Kw(KW_FIELD), result);
}

Status CCollabDBConnectImpl::UpdateShareField(const Caller& caller, const com::Bstr& uri, const com::Bstr& field,
                                              com::Bstr&) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  QUOR_RETURN_IF_ERROR(RefuseShared(uri));
  return UpdateFieldChecked(caller, uri, field);
}

Status CCollabDBConnectImpl::RemoveShareField(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  QUOR_RETURN_IF_ERROR(RefuseShared(uri));
  RowState row;
  if (Status status = QueryRow(uri, row); !status.ok()) return status;
  if (!row.found) return Status(QS_E_URI_INVALID);
  // A locked share field stays, whoever holds the lock.
  if (!Unlocked(row.lock)) return Status(QS_E_OBJECT_LOCKED);
  if (Status status = rows_.Authorize(caller, uri, u"d", QS_E_CONTENT_DELETE_RIGHT_REQUIRED); !status.ok())
    return status;
  const com::Variant params[] = {Value(uri)};
  return rows_.Write("DELETE FROM QUORCOLLAB WHERE VOURI = ?", params, result);
}

Status CCollabDBConnectImpl::GetShareFieldList(const Caller&, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return QueryList(kListColumns, {}, result);
}

Status CCollabDBConnectImpl::GetShareFieldURIList(const Caller&, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return rows_.ColumnList("SELECT VOURI FROM QUORCOLLAB", {}, "VOURI", Kw(KW_URI), result);
}

Status CCollabDBConnectImpl::GetShareFieldURI(const Caller&, const com::Bstr& author, const com::Bstr& name,
                                              com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  const com::Variant params[] = {Value(author), Value(name)};
  return QueryList(std::string(kListColumns) + " WHERE AUTHOR = ? AND NAME = ?", params, result);
}

Status CCollabDBConnectImpl::GetShareFieldAttribute(const Caller&, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  const com::Variant params[] = {Value(uri)};
  return QueryList(std::string(kListColumns) + " WHERE VOURI = ?", params, result);
}

}  // namespace quor::core
