// The "Logs" folder under each user: that user's operation-log entries of
// the category "application", fetched afresh on every show and refresh.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "admin/snapin/SnapInItem.h"

namespace quor::admin::snapin {

// One row of the Logs node's list: five texts, one per column.
class CLogEntryItem final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  explicit CLogEntryItem(std::array<std::string, 5> texts);

  HRESULT Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                 CQuorAdminMMCComponent* component, uint32_t type) override;
  std::string GetResultPaneColInfo(int column) override;

 protected:
  // "Log": the five texts under their column headers, read-only.
  std::vector<std::unique_ptr<console::IPropertyPage>> MakePages() override;

 private:
  friend class CLogsNode;
  std::array<std::string, 5> texts_;
};

class CLogsNode final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  explicit CLogsNode(std::string userName);
  ~CLogsNode() override;

  // Rebuilds the entries from GetCategoryLogbyUser, keeping only the
  // records of this node's user; false (and no entries) when the call
  // failed.
  bool Fetch();

  const std::string& UserName() const { return user_; }
  const std::vector<std::unique_ptr<CLogEntryItem>>& Items() const { return items_; }

 protected:
  HRESULT OnShow(console::IConsole& console, bool showing) override;
  HRESULT OnRefresh(console::IConsole& console, std::intptr_t param) override;

 private:
  void DeleteRows(console::IResultData& result);
  void InsertRows(console::IResultData& result);

  std::string user_;
  std::vector<std::unique_ptr<CLogEntryItem>> items_;
};

}  // namespace quor::admin::snapin
