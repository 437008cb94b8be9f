// The "Databases" folder: one child per connection file of the service
// (HomeDir/config/*.xml without a service role), each tested through the
// service when it is loaded and holding the five object folders of its
// database. Connections are added through the connection dialog and removed
// by deleting their file; the service learns of both on ReLoadConfig, the
// folder on its next refresh.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "admin/snapin/SnapInItem.h"
#include "admin/snapin/UnifyRuleNode.h"

namespace quor::admin::snapin {

class CDatabasesNode;

// One database connection file.
class CDatabaseNode final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  static constexpr std::array<std::string_view, 5> kFolderNames = {"Tables", "Views", "Stored Procedures", "Alias",
                                                                   "Synonym"};
  static constexpr std::array<int, 5> kFolderImages = {3, 5, 7, 19, 21};

  explicit CDatabaseNode(CDatabasesNode* owner = nullptr);
  ~CDatabaseNode() override;

  // Reads the file and tests the connection through the service: 1 when it
  // answered (status "Ready", five folders), 0 otherwise (status "Error: ...").
  int LoadFromFile(std::string_view path);
  // The connection dialog, the checks, the schema prompt and the save dialog;
  // non-zero when a file was written (status "New Connection").
  int NewConnection();

  HRESULT Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                 CQuorAdminMMCComponent* component, uint32_t type) override;
  HRESULT Command(long commandId, uint32_t type) override;
  std::string GetResultPaneColInfo(int column) override;

  // Asks, deletes the connection file and drops its row; the item stays
  // listed until the folder is refreshed.
  void Remove();

  const std::string& Provider() const { return provider_; }
  const std::string& Dsn() const { return dsn_; }
  const std::string& Catalog() const { return catalog_; }
  const std::string& Path() const { return path_; }
  const std::string& Status() const { return status_; }
  const std::vector<std::unique_ptr<CUnifyRuleNode>>& Folders() const { return folders_; }

  // "dsn [catalog]", or the DSN alone without a catalog.
  static std::string MakeDisplayName(std::string_view dsn, std::string_view catalog);

 protected:
  HRESULT OnShow(console::IConsole& console, bool showing) override;

 private:
  friend class CDatabasesNode;
  void Fill(std::string provider, std::string dsn, std::string catalog);

  CDatabasesNode* owner_;
  std::string provider_, dsn_, catalog_, path_, status_;
  std::vector<std::unique_ptr<CUnifyRuleNode>> folders_;
};

class CDatabasesNode final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;

  // Loads the connections at once.
  CDatabasesNode();
  ~CDatabasesNode() override;

  HRESULT Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                 CQuorAdminMMCComponent* component, uint32_t type) override;
  HRESULT Command(long commandId, uint32_t type) override;

  // Rebuilds the list from the connection files; each failing connection is
  // shown in the error box and left out.
  void LoadConnections();
  // The New Database Connection command.
  void AddConnection();

  const std::vector<std::unique_ptr<CDatabaseNode>>& Items() const { return items_; }
  // The result pane while this folder is shown; null otherwise.
  console::IResultData* ShownResult() const;

 protected:
  HRESULT OnShow(console::IConsole& console, bool showing) override;
  HRESULT OnRefresh(console::IConsole& console, std::intptr_t param) override;

 private:
  void InsertScope(CDatabaseNode& item);
  void InsertRow(CDatabaseNode& item);
  // Takes every connection's tree entry and row out of the host.
  void ForgetItems();

  std::vector<std::unique_ptr<CDatabaseNode>> items_;
  console::IConsoleNameSpace* nameSpace_ = nullptr;
  console::ScopeHandle ownScope_ = 0;
  bool expanded_ = false;               // the children are in the tree
  console::IConsole* shown_ = nullptr;  // the view showing our rows
};

}  // namespace quor::admin::snapin
