#include "admin/snapin/FolderNodes.h"

#include "admin/snapin/Resources.h"
#include "admin/snapin/SnapInModule.h"

namespace quor::admin::snapin {

const NodeIdentity CDatabasesNode::kIdentity{"9DA4C7DE-AA6C-4BB9-B32B-E61B92F62FEA", "Databases", IDR_DATABASES_MENU,
                                             1};
const NodeIdentity CNativeDBNode::kIdentity{"CAD0C44F-B4ED-41B2-B3D9-9031068976E1", "Repos", IDR_NATIVEDB_MENU, 9};
const NodeIdentity CUsersNode::kIdentity{"5664669B-B0A0-46A3-8F76-5BBA01163E6B", "Users", IDR_USERS_MENU, 17};
const NodeIdentity CLogEntryItem::kIdentity{
    "EAE65C05-E204-4B57-84AA-23671732B809", "Log", IDR_NO_COMMANDS_MENU, 8, 2, true};

CDatabasesNode::CDatabasesNode() : CSnapInItem("Databases", kIdentity) {}
CNativeDBNode::CNativeDBNode() : CSnapInItem("Native DB", kIdentity) {}
CUsersNode::CUsersNode() : CSnapInItem("Users", kIdentity) {}

CLogEntryItem::CLogEntryItem(std::array<std::string, 5> texts)
    : CSnapInItem(texts[0], kIdentity), texts_(std::move(texts)) {}

HRESULT CLogEntryItem::Notify(uint32_t event, std::intptr_t, std::intptr_t, CQuorAdminMMC*, CQuorAdminMMCComponent*,
                              uint32_t) {
  return event == console::MMCN_EXPAND || event == console::MMCN_SHOW ? S_OK : E_NOTIMPL;
}

std::string CLogEntryItem::GetResultPaneColInfo(int column) {
  Module::SetResultPaneFlag(0);
  return column >= 0 && column < static_cast<int>(texts_.size()) ? texts_[static_cast<size_t>(column)] : std::string();
}

}  // namespace quor::admin::snapin
