// The "Users" folder: one child folder per user owning Vesk objects on the
// service, each holding that user's Vesks and Logs folders. "Add User" gives
// a new user a first object, "Desktop.000", filled from a template file;
// "Remove" on a user removes every object the user owns.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "admin/snapin/LogsNode.h"
#include "admin/snapin/SnapInItem.h"
#include "admin/snapin/VeskNode.h"

namespace quor::admin::snapin {

class CUserItem final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  explicit CUserItem(std::string userName);
  ~CUserItem() override;

  HRESULT Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                 CQuorAdminMMCComponent* component, uint32_t type) override;
  HRESULT GetResultPaneInfo(console::ResultItem& item) override;
  HRESULT Command(long commandId, uint32_t type) override;
  std::string GetResultPaneColInfo(int column) override;

  // Asks, then removes every object of the user; reports each failure, and
  // marks the user removed only when all went.
  void Remove();

  const std::string& UserName() const { return user_; }
  bool Removed() const { return removed_; }
  CVeskNode* Vesks() const { return vesks_.get(); }
  CLogsNode* Logs() const { return logs_.get(); }

 protected:
  std::vector<CSnapInItem*> ScopeChildren() override;

 private:
  friend class CUsersNode;
  std::string user_;
  std::unique_ptr<CVeskNode> vesks_;
  std::unique_ptr<CLogsNode> logs_;
  bool removed_ = false;
};

class CUsersNode final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  static constexpr std::string_view kFirstObjectName = "Desktop.000";

  CUsersNode();
  ~CUsersNode() override;

  HRESULT Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                 CQuorAdminMMCComponent* component, uint32_t type) override;
  HRESULT Command(long commandId, uint32_t type) override;

  // Rebuilds the user list from GetAllVOUserList, each user once (names
  // differing only in case are one user, listed as first spelled); false
  // (and no users) when the call failed.
  bool Fill();
  // The Add User command: asks for the name and the template file, creates
  // the user's first object and fills it. True when the user was added.
  bool AddUser();

  // The content a template file gives: UTF-16LE text as UTF-8, without its
  // leading byte-order mark and without what follows the last ">"; nullopt
  // when the bytes are no UTF-16LE text.
  static std::optional<std::string> TemplateContent(std::string_view bytes);

  const std::vector<std::unique_ptr<CUserItem>>& Items() const { return items_; }
  const std::string& AddedName() const { return addedName_; }

 protected:
  HRESULT OnShow(console::IConsole& console, bool showing) override;
  HRESULT OnRefresh(console::IConsole& console, std::intptr_t param) override;

 private:
  // Takes every user folder and row out of the host, then drops the items.
  void ForgetItems();
  void InsertScope(CUserItem& item);
  console::ScopeHandle OwnScope() const { return ownScope_ ? ownScope_ : scopeData_.id; }

  std::vector<std::unique_ptr<CUserItem>> items_;
  std::string addedName_;
  console::IConsoleNameSpace* nameSpace_ = nullptr;
  console::ScopeHandle ownScope_ = 0;
  console::IConsole* shown_ = nullptr;
};

}  // namespace quor::admin::snapin
