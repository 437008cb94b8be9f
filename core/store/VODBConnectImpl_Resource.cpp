// The content store's resource records (rows of QUORVESKRES): their
// listings, attributes, properties, the update check, removal, and their ACLs.
#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <tuple>

#include "core/ServiceHelpers.h"
#include "core/StatusCodes.h"
#include "core/store/VODBConnectImpl.h"
#include "core/store/VODBConnectImpl_ResourceDetail.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

namespace quor::core {

using namespace store;
using namespace resource;

namespace {

constexpr std::string_view kAttributeColumns =
    "SELECT NAME, MODULENAME, CREATOR, VERSION, TYPE, ID, DESCRIPTION, "
    "VORESOURCEURI, VORESOURCEURL, CREATEDATE, "
    "UPDATEDATE, PROPS, ACCESSLIST FROM QUORVESKRES";
// An ACL document longer than this is refused.
constexpr size_t kMaxAcl = 4000;

}  // namespace

// ---- Listings -------------------------------------------------------------------------

Status CVODBConnectImpl::QueryResourceField(std::string_view sql, std::span<const com::Variant> params,
                                            std::string_view column, std::string_view element, com::Bstr& result) {
  return resources_.ColumnList(sql, params, column, element, result);
}

Status CVODBConnectImpl::QueryResource(std::string_view sql, std::span<const com::Variant> params, com::Bstr& result) {
  static constexpr std::pair<std::string_view, std::string_view> kElements[] = {{"name", "NAME"},
                                                                                {"modulename", "MODULENAME"},
                                                                                {"creator", "CREATOR"},
                                                                                {"version", "VERSION"},
                                                                                {"type", "TYPE"},
                                                                                {"id", "ID"},
                                                                                {"description", "DESCRIPTION"},
                                                                                {"uri", "VORESOURCEURI"},
                                                                                {"url", "VORESOURCEURL"},
                                                                                {"createdate", "CREATEDATE"},
                                                                                {"updatedate", "UPDATEDATE"},
                                                                                {"props", "PROPS"}};
  return resources_.List(sql, params, Kw(KW_CONTENT), [](ListRow& row) {
    for (const auto& [element, column] : kElements) row.AddColumn(element, column);
    row.AddAcl();
  }, result);
}

Status CVODBConnectImpl::ResourceExists(const com::Bstr& name, bool& found) {
  const com::Variant params[] = {Value(name)};
  com::Bstr ignored;
  return resources_.First("SELECT NAME FROM QUORVESKRES WHERE NAME = ?", params, "NAME", ignored, &found);
}

// ---- Readers --------------------------------------------------------------------------

Status CVODBConnectImpl::GetVOResourceURI(const com::Bstr& name, com::Bstr& result) {
  const com::Variant params[] = {Value(name)};
  return QueryResourceField("SELECT VORESOURCEURI FROM QUORVESKRES WHERE NAME = ?", params, "VORESOURCEURI",
                            "VORESOURCEURI", result);
}

Status CVODBConnectImpl::GetVOResourceURIList(com::Bstr& result) {
  return QueryResourceField("SELECT VORESOURCEURI FROM QUORVESKRES", {}, "VORESOURCEURI", "VORESOURCEURI", result);
}

Status CVODBConnectImpl::GetVOResourceURL(const Caller& caller, const com::Bstr& name, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  if (Status status = ResourceRights(caller, name, u"r", QS_E_CONTENT_READ_RIGHT_REQUIRED); !status.ok()) return status;
  const com::Variant params[] = {Value(name)};
  return QueryResourceField("SELECT VORESOURCEURL FROM QUORVESKRES WHERE NAME = ?", params, "VORESOURCEURL", "url",
                            result);
}

Status CVODBConnectImpl::GetVOResourceAttribute(const Caller&, const com::Bstr& name, com::Bstr& result) {
  const com::Variant params[] = {Value(name)};
  return QueryResource(std::string(kAttributeColumns) + " WHERE NAME = ?", params, result);
}

Status CVODBConnectImpl::GetVOResourceAttributeList(const Caller&, const com::Bstr& modulename, com::Bstr& result) {
  const com::Variant params[] = {Value(modulename), Value(modulename)};
  return QueryResource(std::string(kAttributeColumns) +
                           " WHERE (MODULENAME = ?) AND (VERSION = (SELECT "
                           "MAX(VERSION) FROM QUORVESKRES WHERE "
                           "MODULENAME = ?))",
                       params, result);
}

Status CVODBConnectImpl::GetAllVOResourceAttributeList(const Caller&, com::Bstr& result) {
  return QueryResource(kAttributeColumns, {}, result);
}

Status CVODBConnectImpl::GetVOResourceModuleNameList(const Caller&, com::Bstr& result) {
  return QueryResourceField("SELECT MODULENAME FROM QUORVESKRES GROUP BY MODULENAME", {}, "MODULENAME", "modulename",
                            result);
}

// The stored stamps come in two layouts and the client's in either, so the
// rows are compared by the time they name, not by their text; the answer
// keeps the stored texts. Per module: the greatest version, type, URL and
// location, and the stamp of the latest change.
Status CVODBConnectImpl::GetVOResourceUpdate(const Caller&, const com::Bstr& lastupdate, com::Bstr& result) {
  const auto since = ParseStamp(lastupdate.View());
  if (!since) return Status(QS_E_ARGUMENT_INVALID);
  if (!Ready()) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  CommandHolder command;
  RecordsetHolder rows;
  if (Status status = db_->ExecuteQuery(command, rows,
                                        "SELECT MODULENAME, VERSION, TYPE, VORESOURCEURL, UPDATEDATE, "
                                        "CLIENTLOCATION FROM QUORVESKRES ORDER BY "
                                        "RESKEY");
      !status.ok())
    return status;
  struct Module {
    com::Bstr version, type, url, location, stamp;
    Stamp latest{};
  };
  std::map<std::u16string, Module> modules;
  std::vector<std::u16string> order;
  const auto greater = [](com::Bstr& held, const com::Bstr& value) {
    if (held.IsNull() || value.View() > held.View()) held = value;
  };
  Status status;
  for (; !rows->Eof(); status = db_->MoveNext(rows)) {
    if (!status.ok()) break;
    const com::Bstr stamp = Column(*db_, rows, "UPDATEDATE");
    const auto when = ParseStamp(stamp.View());
    if (!when || !(*when > *since)) continue;
    const std::u16string module(Column(*db_, rows, "MODULENAME").View());
    auto [it, added] = modules.try_emplace(module);
    if (added) order.push_back(module);
    Module& m = it->second;
    greater(m.version, Column(*db_, rows, "VERSION"));
    greater(m.type, Column(*db_, rows, "TYPE"));
    greater(m.url, Column(*db_, rows, "VORESOURCEURL"));
    greater(m.location, Column(*db_, rows, "CLIENTLOCATION"));
    if (m.stamp.IsNull() || *when > m.latest) {
      m.stamp = stamp;
      m.latest = *when;
    }
  }
  db_->ReleaseQuery(command, rows);
  QUOR_RETURN_IF_ERROR(status);
  std::sort(order.begin(), order.end());
  auto document = xml::Document::Create();
  auto root = document->createElement(Kw(KW_ROOT));
  for (const auto& name : order) {
    const Module& m = modules[name];
    auto content = document->createElement(Kw(KW_CONTENT));
    const std::pair<std::string_view, const com::Bstr*> columns[] = {
        {"MODULENAME", nullptr}, {"VERSION", &m.version},  {"TYPE", &m.type},
        {"URL", &m.url},         {"UPDATEDATE", &m.stamp}, {"LOCATION", &m.location}};
    for (const auto& [element, value] : columns) {
      auto node = document->createElement(element);
      node->setText(value ? value->ToUtf8() : text::Narrow(name));
      content->appendChild(node);
    }
    root->appendChild(content);
  }
  result = com::Bstr::FromUtf8(root->xml());
  return Status();
}

// ---- Writers --------------------------------------------------------------------------

Status CVODBConnectImpl::WriteResourceAttributes(const com::Bstr& name, std::span<const com::Bstr, 6> values,
                                                 bool clearing, com::Bstr& result) {
  static constexpr std::string_view kColumns[] = {"MODULENAME", "CREATOR", "VERSION", "TYPE", "ID", "DESCRIPTION"};
  std::string set;
  std::vector<com::Variant> params;
  for (size_t i = 0; i < 6; ++i) {
    const bool chosen = clearing ? text::EqualsNoCase(values[i].View(), u"true") : !Missing(values[i]);
    if (!chosen) continue;
    if (!set.empty()) set += ", ";
    set.append(kColumns[i]).append(" = ?");
    params.push_back(clearing ? Value(com::Bstr(u"")) : Value(i == 5 ? Cut(values[i]) : values[i]));
  }
  if (set.empty()) return Status(QS_E_RESOURCE_ATTRIBUTE_UPDATE_FAILED);
  set += ", UPDATEDATE = ?";
  params.push_back(Now());
  params.push_back(Value(name));
  return RunResourceWrite(resources_, "UPDATE QUORVESKRES SET " + set + " WHERE NAME = ?", params, result);
}

Status CVODBConnectImpl::ChangeResourceAttributes(const Caller& caller, const com::Bstr& name,
                                                  std::u16string_view rights, std::span<const com::Bstr, 6> values,
                                                  bool clearing, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = resources_.Lock(name);
  QUOR_RETURN_IF_ERROR(AuthorizeResourceWrite(caller, name, rights, QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED, result));
  return WriteResourceAttributes(name, values, clearing, result);
}

Status CVODBConnectImpl::UpdateVOResourceAttribute(const Caller& caller, const com::Bstr& name,
                                                   const com::Bstr& modulename, const com::Bstr& creator,
                                                   const com::Bstr& version, const com::Bstr& type, const com::Bstr& id,
                                                   const com::Bstr& description, com::Bstr& result) {
  const com::Bstr values[] = {modulename, creator, version, type, id, description};
  return ChangeResourceAttributes(caller, name, u"aw", values, false, result);
}

Status CVODBConnectImpl::RemoveVOResourceAttribute(const Caller& caller, const com::Bstr& name,
                                                   const com::Bstr& modulename, const com::Bstr& creator,
                                                   const com::Bstr& version, const com::Bstr& type, const com::Bstr& id,
                                                   const com::Bstr& description, com::Bstr& result) {
  const com::Bstr flags[] = {modulename, creator, version, type, id, description};
  return ChangeResourceAttributes(caller, name, u"ad", flags, true, result);
}

Status CVODBConnectImpl::UpdateVOResourceProps(const Caller& caller, const com::Bstr& name, const com::Bstr& props,
                                               com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = resources_.Lock(name);
  if (Status status = AuthorizeResourceWrite(caller, name, u"aw", QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED, result);
      !status.ok())
    return status;
  const com::Variant params[] = {Value(props), Now(), Value(name)};
  return RunResourceWrite(resources_, "UPDATE QUORVESKRES SET PROPS = ?, UPDATEDATE = ? WHERE NAME = ?", params,
                          result);
}

Status CVODBConnectImpl::RemoveVOResource(const Caller& caller, const com::Bstr& name, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = resources_.Lock(name);
  if (Status status = AuthorizeResourceWrite(caller, name, u"d", QS_E_DELETE_RIGHT_REQUIRED, result); !status.ok())
    return status;
  const com::Variant params[] = {Value(name)};
  return RunResourceWrite(resources_, "DELETE FROM QUORVESKRES WHERE NAME = ?", params, result);
}

// ---- ACLs -----------------------------------------------------------------------------

Status CVODBConnectImpl::GetRawResourceACL(const com::Bstr& name, com::Bstr& acl) {
  const com::Variant params[] = {Value(name), Value(name)};
  QUOR_RETURN_IF_ERROR(
      resources_.First("SELECT ACCESSLIST FROM QUORVESKRES WHERE (NAME = ?) "
                       "AND (VERSION = (SELECT "
                       "MAX(VERSION) FROM QUORVESKRES WHERE NAME = ?))",
                       params, "ACCESSLIST", acl));
  return StoreRows::JudgeRawAcl(acl);
}

Status CVODBConnectImpl::AuthorizeResource(const Caller& caller, const com::Bstr& name, std::u16string_view rights,
                                           HRESULT ownCode, com::Bstr* aclOut, bool checkStatus) {
  com::Bstr acl;
  QUOR_RETURN_IF_ERROR(GetRawResourceACL(name, acl));
  QUOR_RETURN_IF_ERROR(CheckResourceRights(caller, rights, acl, ownCode, checkStatus));
  if (aclOut) *aclOut = acl;
  return Status();
}

Status CVODBConnectImpl::AuthorizeResourceWrite(const Caller& caller, const com::Bstr& name, std::u16string_view rights,
                                                HRESULT ownCode, com::Bstr& result) {
  if (Missing(name)) return Status(QS_E_NAME_NOT_SPECIFIED);
  if (Status status = AuthorizeResource(caller, name, rights, ownCode, nullptr, false); !status.ok()) {
    result = com::Bstr();
    return status;
  }
  return Status();
}

Status CVODBConnectImpl::ResourceRights(const Caller& caller, const com::Bstr& name, std::u16string_view rights,
                                        HRESULT refused, com::Bstr* aclOut) {
  com::Bstr acl;
  if (!GetRawResourceACL(name, acl).ok()) return Status(QS_E_ACL_NOT_FOUND);
  if (!CheckResourceRights(caller, rights, acl, refused, false).ok()) return Status(refused);
  if (aclOut) *aclOut = acl;
  return Status();
}

Status CVODBConnectImpl::WriteResourceACL(const com::Bstr& name, const com::Bstr& acl, com::Bstr& result) {
  if (acl.Length() > kMaxAcl) return Status(QS_E_ACL_TOO_LONG);
  const com::Variant params[] = {Value(acl), Now(), Value(name)};
  return RunResourceWrite(resources_, "UPDATE QUORVESKRES SET ACCESSLIST = ?, UPDATEDATE = ? WHERE NAME = ?", params,
                          result);
}

Status CVODBConnectImpl::GetResourceACL(const Caller& caller, const com::Bstr& name, com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  com::Bstr acl;
  if (Status status = AuthorizeResource(caller, name, u"ar", QS_E_CONTENT_READ_RIGHT_REQUIRED, &acl); !status.ok()) {
    result = com::Bstr();
    return status;
  }
  result = AclAnswer(acl);
  return Status();
}

Status CVODBConnectImpl::GetResourceACLEntry(const Caller& caller, const com::Bstr& name, const com::Bstr& acluser,
                                             com::Bstr& result) {
  OperationGate::Reading lock(operation_);
  com::Bstr acl;
  if (Status status = AuthorizeResource(caller, name, u"ar", QS_E_ATTRIBUTE_READ_RIGHT_REQUIRED, &acl); !status.ok()) {
    result = com::Bstr();
    return status;
  }
  if (Missing(acluser)) return Status(QS_E_ARGUMENT_NULL);
  return CServiceHelpers::GetACLEntryFromDocument(acluser, acl, result);
}

Status CVODBConnectImpl::PutResourceACL(const Caller& caller, const com::Bstr& name, const com::Bstr& acl,
                                        com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = resources_.Lock(name);
  if (Status status = AuthorizeResource(caller, name, u"aw", QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED, nullptr, false);
      !status.ok()) {
    result = com::Bstr();
    return status;
  }
  return WriteResourceACL(name, acl, result);
}

Status CVODBConnectImpl::UpdateResourceACL(const Caller& caller, const com::Bstr& name, const com::Bstr& acl,
                                           com::Bstr& result) {
  return PutResourceACL(caller, name, acl, result);
}

Status CVODBConnectImpl::DeleteResourceACL(const Caller& caller, const com::Bstr& name, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = resources_.Lock(name);
  com::Bstr acl;
  Status status = AuthorizeResource(caller, name, u"ad", QS_E_CONTENT_WRITE_RIGHT_REQUIRED, &acl);
  if (status.ok()) status = CheckResourceRights(caller, u"aw", acl, QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED, false);
  if (!status.ok()) {
    result = com::Bstr();
    return status;
  }
  // Reset, never emptied: an empty ACL would lock everyone out.
  com::Bstr reset;
  if (const Status made = CServiceHelpers::MakeDefaultACL(caller.name, reset); !made.ok()) return made;
  return WriteResourceACL(name, reset, result);
}

Status CVODBConnectImpl::EditResourceACLEntry(
    const Caller& caller, const com::Bstr& name, const com::Bstr& acluser, const com::Bstr* accright, com::Bstr& result,
    const std::function<Status(const com::Bstr& acl, com::Bstr& edited)>& edit) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = resources_.Lock(name);
  com::Bstr acl;
  if (Status status = AuthorizeResource(caller, name, u"aw", QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED, &acl, false);
      !status.ok()) {
    result = com::Bstr();
    return status;
  }
  if (Missing(acluser) || (accright && Missing(*accright))) return Status(QS_E_ARGUMENT_NULL);
  com::Bstr edited;
  QUOR_RETURN_IF_ERROR(edit(acl, edited));
  return WriteResourceACL(name, edited, result);
}

Status CVODBConnectImpl::PutResourceACLEntry(const Caller& caller, const com::Bstr& name, const com::Bstr& acluser,
                                             const com::Bstr& accright, com::Bstr& result) {
  const auto edit = [&](const com::Bstr& acl, com::Bstr& edited) {
    return CServiceHelpers::PutACLEntryToDocument(acluser, accright, acl, edited);
  };
  return EditResourceACLEntry(caller, name, acluser, &accright, result, edit);
}

Status CVODBConnectImpl::UpdateResourceACLEntry(const Caller& caller, const com::Bstr& name, const com::Bstr& acluser,
                                                const com::Bstr& accright, com::Bstr& result) {
  const auto edit = [&](const com::Bstr& acl, com::Bstr& edited) {
    return CServiceHelpers::UpdateACLEntryInDocument(acluser, accright, acl, edited);
  };
  return EditResourceACLEntry(caller, name, acluser, &accright, result, edit);
}

Status CVODBConnectImpl::DeleteResourceACLEntry(const Caller& caller, const com::Bstr& name, const com::Bstr& acluser,
                                                com::Bstr& result) {
  const auto edit = [&](const com::Bstr& acl, com::Bstr& edited) {
    return CServiceHelpers::DeleteACLEntryFromDocument(acluser, acl, edited);
  };
  return EditResourceACLEntry(caller, name, acluser, nullptr, result, edit);
}

}  // namespace quor::core
