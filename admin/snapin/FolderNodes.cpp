#include "admin/snapin/FolderNodes.h"

#include "admin/snapin/Resources.h"
#include "admin/snapin/SnapInModule.h"

namespace quor::admin::snapin {

}  // namespace quor::admin::snapin
