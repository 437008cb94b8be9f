// The folders under the root, gathered for the root node: the Databases
// folder is in DatabasesNode.h, the Native DB folder in NativeDBNode.h, the
// Transformers folder in TransformersNode.h, the Users folder in
// UsersNode.h.
#pragma once

#include <string>

#include "admin/snapin/DatabasesNode.h"
#include "admin/snapin/NativeDBNode.h"
#include "admin/snapin/SnapInItem.h"
#include "admin/snapin/TransformersNode.h"
#include "admin/snapin/UsersNode.h"

namespace quor::admin::snapin {

}  // namespace quor::admin::snapin
