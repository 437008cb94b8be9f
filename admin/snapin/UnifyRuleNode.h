// The object folders under a database connection: one per kind of object
// ("Tables", "Views", "Stored Procedures", "Alias", "Synonym"), each listing
// the names the service gives for that kind. A table opens the unify-rule
// editor when double-clicked.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "admin/snapin/SnapInItem.h"

namespace quor::admin::snapin {

// One object of a connection's database, as a row of its folder.
class CUnifyTableItem final : public CSnapInItem {
 public:
  CUnifyTableItem(std::string provider, std::string dsn, std::string catalog, std::string name, std::string kind);

  HRESULT Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                 CQuorAdminMMCComponent* component, uint32_t type) override;
  std::string GetResultPaneColInfo(int column) override;

  const std::string& Name() const { return name_; }
  const std::string& Kind() const { return kind_; }

 private:
  friend class CUnifyRuleNode;
  std::string name_, provider_, dsn_, catalog_, description_, kind_;
};

class CUnifyRuleNode final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  static constexpr std::string_view kTablesDescription = "[To edit the unify rule, double click at the table name.]";

  // Lists the objects of `kind` at once; a failed or empty list leaves the
  // folder without rows (the connection was tested with the same query).
  CUnifyRuleNode(std::string kind, std::string provider, std::string dsn, std::string catalog);
  ~CUnifyRuleNode() override;

  HRESULT Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                 CQuorAdminMMCComponent* component, uint32_t type) override;

  // The folder's image in the tree (its connection chooses it by kind).
  void SetFolderImage(int image);

  const std::string& Kind() const { return kind_; }
  const std::vector<std::unique_ptr<CUnifyTableItem>>& Items() const { return items_; }

  // The name-list keyword and row image of a kind; anything unknown is a table.
  static std::string_view ContentOf(std::string_view kind);
  static int ItemImageOf(std::string_view kind);
  // The names of a comma-joined list, as the folder splits it: an empty
  // place or a leading comma ends the splitting, the rest being one name.
  static std::vector<std::string> SplitNames(std::string_view list);

 private:
  HRESULT Show(console::IConsole& console, bool showing);

  std::string kind_, provider_, dsn_, catalog_;
  std::vector<std::unique_ptr<CUnifyTableItem>> items_;
};

}  // namespace quor::admin::snapin
