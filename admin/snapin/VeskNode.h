// The "Vesks" folder under each user: the Vesk objects that user owns, one
// row each, with the size of its access-control list. Double-clicking a row
// opens the ACL editor on that object.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "admin/snapin/SnapInItem.h"

namespace quor::admin::snapin {

class CVeskNode;

// Whether two user names are the same user: compared without case, for
// every letter (not only ASCII), on UTF-8 text.
bool SameUserName(std::string_view a, std::string_view b);

class CVeskItem final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  CVeskItem(std::string name, std::string uri, std::string createDate, std::string updateDate, std::string accessList);

  HRESULT Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                 CQuorAdminMMCComponent* component, uint32_t type) override;
  HRESULT GetResultPaneInfo(console::ResultItem& item) override;
  HRESULT Command(long commandId, uint32_t type) override;
  std::string GetResultPaneColInfo(int column) override;

  // Sends RemoveVOURI for the object; false when it was removed already or
  // the service refused.
  bool RemoveWithoutAsking();
  // The Remove command: asks first, reports the outcome, and drops the row
  // once the service confirmed.
  void Remove();

  const std::string& Name() const { return displayName_; }
  const std::string& Uri() const { return uri_; }
  const std::string& AccessList() const { return accessList_; }
  bool Removed() const { return removed_; }
  // "%d User" below 2 entries, else "%d Users".
  static std::string AccessListText(int entries);

 private:
  friend class CVeskNode;
  void EditAccessList(console::IResultData* result);

  std::string uri_, createDate_, updateDate_, accessList_;
  bool removed_ = false;
  CVeskNode* owner_ = nullptr;
};

class CVeskNode final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  explicit CVeskNode(std::string ownerName);
  ~CVeskNode() override;

  // Rebuilds the rows from GetAllVOList; false (and no rows) when the call
  // failed.
  bool Refill();
  // Refills, then removes every listed object without asking; false when the
  // list could not be read or any removal failed.
  bool RemoveAll();

  const std::string& OwnerName() const { return owner_; }
  const std::vector<std::unique_ptr<CVeskItem>>& Items() const { return items_; }
  // The result pane the rows are shown in; null while not shown.
  console::IResultData* ShownResult() const;

 protected:
  void OnSelect(console::IConsoleVerb& verbs) override;
  HRESULT OnShow(console::IConsole& console, bool showing) override;
  HRESULT OnRefresh(console::IConsole& console, std::intptr_t param) override;

 private:
  void InsertRows(console::IResultData& result);

  std::string owner_;
  std::vector<std::unique_ptr<CVeskItem>> items_;
  console::IConsole* shown_ = nullptr;
};

}  // namespace quor::admin::snapin
