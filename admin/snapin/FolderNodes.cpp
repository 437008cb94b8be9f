#include "admin/snapin/FolderNodes.h"

#include "admin/snapin/Resources.h"
#include "admin/snapin/SnapInModule.h"

namespace quor::admin::snapin {

const NodeIdentity CDatabasesNode::kIdentity{"9DA4C7DE-AA6C-4BB9-B32B-E61B92F62FEA", "Databases", IDR_DATABASES_MENU,
                                             1};
const NodeIdentity CNativeDBNode::kIdentity{"CAD0C44F-B4ED-41B2-B3D9-9031068976E1", "Repos", IDR_NATIVEDB_MENU, 9};

CDatabasesNode::CDatabasesNode() : CSnapInItem("Databases", kIdentity) {}
CNativeDBNode::CNativeDBNode() : CSnapInItem("Native DB", kIdentity) {}

}  // namespace quor::admin::snapin
