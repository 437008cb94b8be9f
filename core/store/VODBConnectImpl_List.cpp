// The content store's lists of Vesk objects, URN administration, and the
// service-wide questions it passes through.
#include "core/StatusCodes.h"
#include "core/store/VODBConnectImpl.h"
#include "core/store/VODBConnectImpl_Detail.h"
#include "platform/text/text.h"

namespace quor::core {

using namespace vo;

namespace {

constexpr std::string_view kListColumns =
    "SELECT VOUSER, NAME, VOURI, CREATEDATE, UPDATEDATE, LOCK_STATUS, ACCESSLIST FROM QUORVESK";

}  // namespace

HRESULT CVODBConnectImpl::QueryVOList(std::string_view sql, std::span<const com::Variant> params, com::Bstr& result) {
  if (!Ready()) return QS_E_NATIVE_DB_NOT_INSTALLED;
  CommandHolder command;
  RecordsetHolder rows;
  if (const int32_t status = db_->ExecuteQuery(command, rows, sql, params); status != 0) return status;
  auto document = xml::Document::Create();
  auto root = document->createElement(Kw(KW_ROOT));
  const auto add = [&](const xml::NodePtr& parent, KeywordIndex name, std::string_view column) {
    auto node = document->createElement(Kw(name));
    node->setText(Column(*db_, rows, column).ToUtf8());
    parent->appendChild(node);
  };
  HRESULT status = S_OK;
  for (; !rows->Eof(); status = rows->MoveNext()) {
    if (FAILED(status)) break;
    auto content = document->createElement(Kw(KW_CONTENT));
    add(content, KW_USER, "VOUSER");
    add(content, KW_NAME, "NAME");
    add(content, KW_URI, "VOURI");
    add(content, KW_CREATEDATE, "CREATEDATE");
    add(content, KW_UPDATEDATE, "UPDATEDATE");
    add(content, KW_LOCK_STATUS, "LOCK_STATUS");
    const com::Bstr acl = Column(*db_, rows, "ACCESSLIST");
    auto aclNode = document->createElement(Kw(KW_ACL));
    if (auto element = AclElement(acl))
      aclNode->appendChild(element);
    else
      aclNode->setText(acl.ToUtf8());
    content->appendChild(aclNode);
    root->appendChild(content);
  }
  db_->ReleaseQuery(command, rows);
  if (FAILED(status)) return status;
  result = com::Bstr::FromUtf8(root->xml());
  return S_OK;
}

// ---- Lists ------------------------------------------------------------------------------

HRESULT CVODBConnectImpl::GetVOList(const com::Bstr& user, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  const com::Variant params[] = {Value(user)};
  return QueryVOList(std::string(kListColumns) + " WHERE VOUSER = ?", params, result);
}

HRESULT CVODBConnectImpl::GetVOListAll(com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return QueryVOList(kListColumns, {}, result);
}

HRESULT CVODBConnectImpl::GetVOAttribute(const com::Bstr&, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  const com::Variant params[] = {Value(uri)};
  return QueryVOList(std::string(kListColumns) + " WHERE VOURI = ?", params, result);
}

HRESULT CVODBConnectImpl::GetVOURIList(const com::Bstr& user, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  const com::Variant params[] = {Value(user)};
  return QueryField("SELECT VOURI FROM QUORVESK WHERE VOUSER = ?", params, "VOURI", Kw(KW_URI), result);
}

HRESULT CVODBConnectImpl::GetVOURIListAll(com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  return QueryField("SELECT VOURI FROM QUORVESK", {}, "VOURI", Kw(KW_URI), result);
}

HRESULT CVODBConnectImpl::GetVOUserListAll(com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  // A list of users: each owner once, however many objects it has.
  return QueryField("SELECT DISTINCT VOUSER FROM QUORVESK ORDER BY VOUSER", {}, "VOUSER", Kw(KW_USER), result);
}

HRESULT CVODBConnectImpl::GetVOURI(const com::Bstr&, const com::Bstr& owner, const com::Bstr& name,
                                   com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  const com::Variant params[] = {Value(owner), Value(name)};
  return QueryField("SELECT VOURI FROM QUORVESK WHERE VOUSER = ? AND NAME = ?", params, "VOURI", Kw(KW_URI), result);
}

// ---- URN administration -----------------------------------------------------------------

HRESULT CVODBConnectImpl::PutVOURI(const com::Bstr& user, const com::Bstr& owner, const com::Bstr& name,
                                   com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  if (!Utils().IsAdministrator(user)) return QS_E_ADMINISTRATOR_ONLY;
  // An object belongs to somebody and has a name.
  if (Missing(owner) || Missing(name)) return QS_E_ARGUMENT_NULL;
  if (HRESULT hr = InsertVO(owner, name, com::Bstr()); hr != S_OK) return hr;
  result = ResultOk();
  return S_OK;
}

HRESULT CVODBConnectImpl::RemoveVOURI(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  if (!Utils().IsAdministrator(user)) return QS_E_ADMINISTRATOR_ONLY;
  if (!GetLockInfo(user, uri)) return QS_E_URI_INVALID;
  const com::Variant params[] = {Value(uri)};
  return RunQuery("DELETE FROM QUORVESK WHERE VOURI = ?", params, result);
}

// ---- Pass-throughs ------------------------------------------------------------------------

HRESULT CVODBConnectImpl::GetCompressThreshold(com::Bstr& result) {
  result = com::Bstr::FromUtf8(
      text::Format("<root><compressthreshold>%d</compressthreshold></root>", Utils().GetCompressThreshold()));
  return S_OK;
}

HRESULT CVODBConnectImpl::GetAdminUserList(com::Bstr& result) {
  return Utils().ListAdminUsers(result);
}

HRESULT CVODBConnectImpl::GetGroupList(com::Bstr& result) {
  return Utils().ListGroups(result);
}

HRESULT CVODBConnectImpl::GetGroupUserList(const com::Bstr& group, com::Bstr& result) {
  return Utils().ListGroupUsers(group, result);
}

HRESULT CVODBConnectImpl::GetOwnGroupList(const com::Bstr& user, com::Bstr& result) {
  return Utils().ListOwnGroups(user, result);
}

}  // namespace quor::core
