// Administrators, users and groups: from the directory through the
// authentication accessor when it is ready, otherwise from the registry lists.
#include <algorithm>

#include "core/KeywordTable.h"
#include "core/QuorServiceUtils.h"
#include "core/StatusCodes.h"
#include "platform/xml/dom.h"

namespace quor::core {
namespace {

constexpr int32_t kAllDepths = -1;

bool Contains(const std::vector<com::Bstr>& names, const com::Bstr& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

const UserGroup* FindGroup(const CServiceConfig& settings, const com::Bstr& name) {
  for (const auto& group : settings.UserGroups)
    if (group.name == name) return &group;
  return nullptr;
}

// "<root>" with one element per name.
com::Bstr NameListXml(KeywordIndex keyword, const std::vector<std::string>& names) {
  const auto& kw = CKeywordTable::Instance();
  auto document = xml::Document::Create();
  auto root = document->createElement(kw.Narrow(KW_ROOT));
  for (const auto& name : names) {
    auto item = document->createElement(kw.Narrow(keyword));
    item->setText(name);
    root->appendChild(item);
  }
  return com::Bstr::FromUtf8(root->xml());
}

std::vector<std::string> Narrow(const std::vector<com::Bstr>& names) {
  std::vector<std::string> out;
  out.reserve(names.size());
  for (const auto& name : names) out.push_back(name.ToUtf8());
  return out;
}

bool DirectoryIsMember(AuthAccessor& directory, const com::Bstr& group, const com::Bstr& user) {
  int16_t member = 0;
  return directory.IsMember(group, user, kAllDepths, member).ok() && member == -1;
}

}  // namespace

bool CQuorServiceUtils::IsAdministrator(const com::Bstr& user) const {
  const CServiceConfig& settings = settings_;
  if (AuthAccessor* directory = Directory(); directory && !settings.AdminGroupName.IsNull())
    return DirectoryIsMember(*directory, settings.AdminGroupName, user);
  if (!settings.AdminUsers.empty()) return Contains(settings.AdminUsers, user);
  return user == u"administrator";
}

Caller CQuorServiceUtils::ResolveCaller(const com::Bstr& user) const {
  Caller caller;
  caller.name = user;
  if (user.IsNull() || user.Empty()) return caller;
  const CServiceConfig& settings = settings_;
  AuthAccessor* directory = Directory();
  if (directory) {
    // One look-up gives every group at every depth; a failed one leaves the
    // caller in none, as a failed membership test did.
    NameList names;
    if (directory->ListGroupsOf(user, ORDER_ASCENDING_UNIQUE, names).ok()) {
      caller.groups.reserve(names.size());
      for (const auto& name : names) caller.groups.push_back(com::Bstr::FromUtf8(name));
    }
    caller.groupsIgnoreCase = true;
  } else {
    for (const auto& group : settings.UserGroups)
      if (Contains(group.members, user)) caller.groups.push_back(group.name);
  }
  // The directory's administrators' group is among the groups just read;
  // otherwise IsAdministrator reads only the registry lists.
  caller.administrator = directory && !settings.AdminGroupName.IsNull() ? caller.InGroup(settings.AdminGroupName.View())
                                                                         : IsAdministrator(user);
  return caller;
}

bool CQuorServiceUtils::IsGroup(const com::Bstr& name) const {
  if (AuthAccessor* directory = Directory()) return directory->IsGroup(name);
  return FindGroup(settings_, name) != nullptr;
}

bool CQuorServiceUtils::IsGroupMember(const com::Bstr& group, const com::Bstr& user) const {
  if (AuthAccessor* directory = Directory()) return DirectoryIsMember(*directory, group, user);
  const UserGroup* found = FindGroup(settings_, group);
  return found && Contains(found->members, user);
}

// The directory's failures leave its error information for the edge.
Status CQuorServiceUtils::ListAdminUsers(com::Bstr& xml) const {
  const CServiceConfig& settings = settings_;
  if (AuthAccessor* directory = Directory(); directory && !settings.AdminGroupName.IsNull()) {
    if (!directory->IsGroup(settings.AdminGroupName)) return Status(QS_E_GROUP_NAME_INVALID);
    NameList names;
    QUOR_RETURN_IF_ERROR(
        directory->ListGroupMembers(settings.AdminGroupName, kAllDepths, ORDER_ASCENDING_UNIQUE, names));
    xml = NameListXml(KW_USER, names);
    return Status();
  }
  xml = NameListXml(KW_USER, Narrow(settings.AdminUsers));
  return Status();
}

Status CQuorServiceUtils::ListGroups(com::Bstr& xml) const {
  if (AuthAccessor* directory = Directory()) {
    NameList names;
    QUOR_RETURN_IF_ERROR(directory->ListAllGroups(ORDER_ASCENDING_UNIQUE, names));
    xml = NameListXml(KW_GROUP, names);
    return Status();
  }
  std::vector<std::string> names;
  for (const auto& group : settings_.UserGroups) names.push_back(group.name.ToUtf8());
  xml = NameListXml(KW_GROUP, names);
  return Status();
}

Status CQuorServiceUtils::ListGroupUsers(const com::Bstr& group, com::Bstr& xml) const {
  if (AuthAccessor* directory = Directory()) {
    if (!directory->IsGroup(group)) return Status(QS_E_GROUP_NAME_INVALID);
    NameList names;
    QUOR_RETURN_IF_ERROR(directory->ListGroupMembers(group, kAllDepths, ORDER_ASCENDING_UNIQUE, names));
    xml = NameListXml(KW_USER, names);
    return Status();
  }
  const UserGroup* found = FindGroup(settings_, group);
  xml = NameListXml(KW_USER, found ? Narrow(found->members) : std::vector<std::string>{});
  return Status();
}

Status CQuorServiceUtils::ListOwnGroups(const com::Bstr& user, com::Bstr& xml) const {
  if (AuthAccessor* directory = Directory()) {
    NameList names;
    QUOR_RETURN_IF_ERROR(directory->ListGroupsOf(user, ORDER_ASCENDING_UNIQUE, names));
    xml = NameListXml(KW_GROUP, names);
    return Status();
  }
  std::vector<std::string> names;
  for (const auto& group : settings_.UserGroups)
    if (Contains(group.members, user)) names.push_back(group.name.ToUtf8());
  xml = NameListXml(KW_GROUP, names);
  return Status();
}

Result<NameList> CQuorServiceUtils::VariantToNameList(const com::Variant& value) {
  const com::Variant* current = &value;
  while (current->Type() == (com::VT_BYREF | com::VT_VARIANT) && current->VariantRef()) current = current->VariantRef();
  const com::VARTYPE type = current->Type();
  if (type == (com::VT_ARRAY | com::VT_VARIANT) || type == (com::VT_ARRAY | com::VT_BSTR))
    return SafeArrayToNameList(current->Array());
  if (type == (com::VT_BYREF | com::VT_ARRAY | com::VT_BSTR)) {
    const auto* array = static_cast<const com::SafeArray*>(current->RefPointer());
    return array ? SafeArrayToNameList(*array) : NameList{};
  }
  if (type == com::VT_BSTR) return NameList{current->GetBstr().ToUtf8()};
  if (type == com::VT_EMPTY) return NameList{};
  return Status(E_FAIL);
}

Result<NameList> CQuorServiceUtils::SafeArrayToNameList(const com::SafeArray& array) {
  NameList names;
  if (array.Dimensions() == 0) return names;
  const com::VARTYPE type = array.ElementType();
  if (type != com::VT_VARIANT && type != com::VT_BSTR) return Status(E_FAIL);
  int32_t lower = 0, upper = 0;
  if (FAILED(array.GetLBound(1, lower)) || FAILED(array.GetUBound(1, upper))) return NameList{};
  // The first column: with row-by-attribute results, the first attribute of
  // every row.
  for (int32_t i = lower; i <= upper; ++i) {
    std::vector<int32_t> index{i};
    if (array.Dimensions() == 2) {
      int32_t lower2 = 0;
      array.GetLBound(2, lower2);
      index.push_back(lower2);
    }
    com::Variant element;
    if (FAILED(array.GetElement(index, element))) return NameList{};
    if (element.Type() == com::VT_BSTR) names.push_back(element.GetBstr().ToUtf8());
  }
  return names;
}

}  // namespace quor::core
