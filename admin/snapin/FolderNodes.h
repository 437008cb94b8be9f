// The folders under the root (the Transformers folder is in
// TransformersNode.h, the Users folder in UsersNode.h). The folders carry
// their identity (name, images, node type, menu) and the family's folder
// behaviour; what they list comes with their own code.
#pragma once

#include <string>

#include "admin/snapin/SnapInItem.h"
#include "admin/snapin/TransformersNode.h"
#include "admin/snapin/UsersNode.h"

namespace quor::admin::snapin {

class CDatabasesNode final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  CDatabasesNode();
};

class CNativeDBNode final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  CNativeDBNode();
};

}  // namespace quor::admin::snapin
