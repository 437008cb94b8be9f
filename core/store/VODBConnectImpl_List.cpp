// The content store's lists of Vesk objects, URN administration, and the
// service-wide questions it passes through.
#include "core/QuorServiceUtils.h"
#include "core/StatusCodes.h"
#include "core/store/VODBConnectImpl.h"
#include "platform/text/text.h"

namespace quor::core {

using namespace store;

namespace {

constexpr std::string_view kListColumns =
    "SELECT VOUSER, NAME, VOURI, CREATEDATE, UPDATEDATE, LOCK_STATUS, ACCESSLIST FROM QUORVESK";

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

HRESULT CVODBConnectImpl::GetVOList(const com::Bstr& user, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  const com::Variant params[] = {Value(user)};
  return Answer(QueryVOList(std::string(kListColumns) + " WHERE VOUSER = ?", params, result));
}

HRESULT CVODBConnectImpl::GetVOListAll(com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return Answer(QueryVOList(kListColumns, {}, result));
}

HRESULT CVODBConnectImpl::GetVOAttribute(const com::Bstr&, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  const com::Variant params[] = {Value(uri)};
  return Answer(QueryVOList(std::string(kListColumns) + " WHERE VOURI = ?", params, result));
}

HRESULT CVODBConnectImpl::GetVOURIList(const com::Bstr& user, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  const com::Variant params[] = {Value(user)};
  return Answer(rows_.ColumnList("SELECT VOURI FROM QUORVESK WHERE VOUSER = ?", params, "VOURI", Kw(KW_URI), result));
}

HRESULT CVODBConnectImpl::GetVOURIListAll(com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return Answer(rows_.ColumnList("SELECT VOURI FROM QUORVESK", {}, "VOURI", Kw(KW_URI), result));
}

HRESULT CVODBConnectImpl::GetVOUserListAll(com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  // One entry per object, as the table gives them: the console makes the
  // names unique itself.
  return Answer(rows_.ColumnList("SELECT VOUSER FROM QUORVESK", {}, "VOUSER", Kw(KW_USER), result));
}

HRESULT CVODBConnectImpl::GetVOURI(const com::Bstr&, const com::Bstr& owner, const com::Bstr& name,
                                   com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  const com::Variant params[] = {Value(owner), Value(name)};
  return Answer(rows_.ColumnList("SELECT VOURI FROM QUORVESK WHERE VOUSER = ? AND NAME = ?", params, "VOURI",
                                 Kw(KW_URI), result));
}

// ---- URN administration -----------------------------------------------------------------

HRESULT CVODBConnectImpl::PutVOURI(const com::Bstr& user, const com::Bstr& owner, const com::Bstr& name,
                                   com::Bstr& result) {
  // The directory is asked before the gate: a slow one holds up no writer.
  if (!Utils().IsAdministrator(user)) return QS_E_ADMINISTRATOR_ONLY;
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(CQuorServiceUtils::MakeVOContentURIW(owner, name));
  // An object belongs to somebody and has a name.
  if (Missing(owner) || Missing(name)) return QS_E_ARGUMENT_NULL;
  if (Status status = InsertVO(owner, name, com::Bstr()); !status.ok()) return Answer(status);
  result = ResultOk();
  return S_OK;
}

HRESULT CVODBConnectImpl::RemoveVOURI(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  if (!Utils().IsAdministrator(user)) return QS_E_ADMINISTRATOR_ONLY;
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (!GetLockInfo(user, uri)) return QS_E_URI_INVALID;
  const com::Variant params[] = {Value(uri)};
  return Answer(rows_.Write("DELETE FROM QUORVESK WHERE VOURI = ?", params, result));
}

// ---- Pass-throughs ------------------------------------------------------------------------

HRESULT CVODBConnectImpl::GetCompressThreshold(com::Bstr& result) {
  result = com::Bstr::FromUtf8(
      text::Format("<root><compressthreshold>%d</compressthreshold></root>", Utils().GetCompressThreshold()));
  return S_OK;
}

HRESULT CVODBConnectImpl::GetAdminUserList(com::Bstr& result) {
  return Utils().ListAdminUsers(result).code();
}

HRESULT CVODBConnectImpl::GetGroupList(com::Bstr& result) {
  return Utils().ListGroups(result).code();
}

HRESULT CVODBConnectImpl::GetGroupUserList(const com::Bstr& group, com::Bstr& result) {
  return Utils().ListGroupUsers(group, result).code();
}

HRESULT CVODBConnectImpl::GetOwnGroupList(const com::Bstr& user, com::Bstr& result) {
  return Utils().ListOwnGroups(user, result).code();
}

}  // namespace quor::core
