// The content store's lists of Vesk objects, URN administration, and the
// service-wide questions it passes through.
#include "core/ServiceHelpers.h"
#include "core/StatusCodes.h"
#include "core/store/VODBConnectImpl.h"
#include "platform/text/text.h"

namespace quor::core {

using namespace store;

namespace {

constexpr std::string_view kListColumns =
    "SELECT VOUSER, NAME, VOURI, CREATEDATE, UPDATEDATE, LOCK_STATUS, "
    "ACCESSLIST FROM QUORVESK";

}  // namespace

Status CVODBConnectImpl::QueryVOList(std::string_view sql, std::span<const com::Variant> params, com::Bstr& result) {
  return rows_.List(sql, params, Kw(KW_CONTENT), [](ListRow& row) {
    row.AddColumn(Kw(KW_USER), "VOUSER");
    row.AddColumn(Kw(KW_NAME), "NAME");
    row.AddColumn(Kw(KW_URI), "VOURI");
    row.AddColumn(Kw(KW_CREATEDATE), "CREATEDATE");
    row.AddColumn(Kw(KW_UPDATEDATE), "UPDATEDATE");
    row.AddColumn(Kw(KW_LOCK_STATUS), "LOCK_STATUS");
    row.AddAcl();
  }, result);
}

// ---- Lists ------------------------------------------------------------------------------

Status CVODBConnectImpl::GetVOList(const Caller& caller, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  const com::Variant params[] = {Value(caller.name)};
  return QueryVOList(std::string(kListColumns) + " WHERE VOUSER = ?", params, result);
}

Status CVODBConnectImpl::GetVOListAll(com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return QueryVOList(kListColumns, {}, result);
}

Status CVODBConnectImpl::GetVOAttribute(const Caller&, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  const com::Variant params[] = {Value(uri)};
  return QueryVOList(std::string(kListColumns) + " WHERE VOURI = ?", params, result);
}

Status CVODBConnectImpl::GetVOURIList(const Caller& caller, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  const com::Variant params[] = {Value(caller.name)};
  return rows_.ColumnList("SELECT VOURI FROM QUORVESK WHERE VOUSER = ?", params, "VOURI", Kw(KW_URI), result);
}

Status CVODBConnectImpl::GetVOURIListAll(com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return rows_.ColumnList("SELECT VOURI FROM QUORVESK", {}, "VOURI", Kw(KW_URI), result);
}

Status CVODBConnectImpl::GetVOUserListAll(com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  // One entry per object, as the table gives them: the console makes the
  // names unique itself.
  return rows_.ColumnList("SELECT VOUSER FROM QUORVESK", {}, "VOUSER", Kw(KW_USER), result);
}

Status CVODBConnectImpl::GetVOURI(const Caller&, const com::Bstr& owner, const com::Bstr& name, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  const com::Variant params[] = {Value(owner), Value(name)};
  return rows_.ColumnList("SELECT VOURI FROM QUORVESK WHERE VOUSER = ? AND NAME = ?", params, "VOURI", Kw(KW_URI),
                          result);
}

// ---- URN administration -----------------------------------------------------------------

Status CVODBConnectImpl::PutVOURI(const Caller& caller, const com::Bstr& owner, const com::Bstr& name,
                                  com::Bstr& result) {
  if (!caller.administrator) return Status(QS_E_ADMINISTRATOR_ONLY);
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(CServiceHelpers::MakeVOContentURIW(owner, name));
  // An object belongs to somebody and has a name.
  if (Missing(owner) || Missing(name)) return Status(QS_E_ARGUMENT_NULL);
  if (Status status = InsertVO(owner, name, com::Bstr()); !status.ok()) return status;
  result = ResultOk();
  return Status();
}

Status CVODBConnectImpl::RemoveVOURI(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  if (!caller.administrator) return Status(QS_E_ADMINISTRATOR_ONLY);
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (!GetLockInfo(caller, uri)) return Status(QS_E_URI_INVALID);
  const com::Variant params[] = {Value(uri)};
  return rows_.Write("DELETE FROM QUORVESK WHERE VOURI = ?", params, result);
}

}  // namespace quor::core
