// The folders under the root and the log entry item (the Transformers
// folder is in TransformersNode.h). The folders carry
// their identity (name, images, node type, menu) and the family's folder
// behaviour; what they list comes with their own code.
#pragma once

#include <array>
#include <string>

#include "admin/snapin/SnapInItem.h"
#include "admin/snapin/TransformersNode.h"

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

class CUsersNode final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  CUsersNode();
};

// One row of the Logs node's list: five texts, one per column.
class CLogEntryItem final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  explicit CLogEntryItem(std::array<std::string, 5> texts);

  HRESULT Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                 CQuorAdminMMCComponent* component, uint32_t type) override;
  std::string GetResultPaneColInfo(int column) override;

 private:
  std::array<std::string, 5> texts_;
};

}  // namespace quor::admin::snapin
