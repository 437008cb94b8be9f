// The unify-rule editor: the first rows of one source table (read through
// the service) and the rule that maps its columns onto those of its
// destinations, kept in HomeDir/unifier/<table>.xml.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "admin/XmlDocument.h"
#include "admin/snapin/ServiceDataDlg.h"

namespace quor::admin::snapin {

class CUnifyRuleEditor;

// Opens the editor for one table of a database connection, modally through
// the module's dialog host; the dialog's result. A table name that cannot
// be a file name of the unifier folder is refused with an error box, and
// nothing opens (IDCANCEL).
int RunUnifyRuleEditor(std::string_view provider, std::string_view dsn, std::string_view catalog,
                       std::string_view table);

// The editor: the viewer's data page, then the rule's controls.
//
// The file: root "unifyrule" whose first five children describe the source
// (Provider, Dsn, Catalog or Schema, unify, table with the "name"
// attribute), then one "destination" per destination with the same five
// children. Each "table" holds one "pattern" per mapped column: "lid" (the
// target name, attribute "type") and "rid" (the source column, attribute
// "type").
class CUnifyRuleEditor final : public CServiceDataDlg {
 public:
  // Control ids.
  static constexpr std::string_view kRuleCaption = "221";  // the rule's heading
  static constexpr std::string_view kSave = "501";
  static constexpr std::string_view kDelete = "228";
  static constexpr std::string_view kNewDestination = "507";
  static constexpr std::string_view kDestination = "506";
  static constexpr std::string_view kProvider = "509";
  static constexpr std::string_view kDsn = "511";
  static constexpr std::string_view kCatalog = "513";
  static constexpr std::string_view kTable = "515";
  static constexpr std::string_view kUnify = "504";
  static constexpr std::string_view kColumns = "502";

  // The join kinds, in the order the list offers them.
  static constexpr std::array<std::string_view, 10> kJoinKinds = {
      "Full Outer Join", "Left Outer Join", "Right Outer Join", "Equiv Join",      "Cross Join",
      "Union Join",      "Left Inner Join", "Right Inner Join", "Max Inner Join", "Min Inner Join"};

  CUnifyRuleEditor(std::string_view provider, std::string_view dsn, std::string_view catalog,
                   std::string_view table);
  ~CUnifyRuleEditor() override;

  // False for a name that would leave the unifier folder or name no file:
  // empty, ".", anything holding "..", "/", "\" or a NUL.
  static bool IsFileSafeTableName(std::string_view table);
  // HomeDir/unifier/<table>.xml; empty for a name that is not file-safe.
  static std::string RuleFilePath(std::string_view home, std::string_view table);
  // The home directory the console knows: the service's registry value, else
  // the module's.
  static std::string HomeDirectory();

  const std::string& FilePath() const { return path_; }

  void Open() override;
  std::vector<console::PageField> Fields() const override;
  bool SetValue(std::string_view id, std::string_view value) override;
  bool Press(std::string_view id) override;

 protected:
  void OnClose() override;

 private:
  // A drop-down list: its entries, the selected one (-1: none).
  struct DropDown {
    std::vector<std::string> entries;
    int selected = -1;
    bool enabled = true;
    std::string Text() const;
    void Clear() {
      entries.clear();
      selected = -1;
    }
    int Find(std::string_view value) const;
  };
  // One source column and its target.
  struct ColumnRow {
    std::string originalName, originalType, targetName, targetType;
  };
  // The rule document; its cursor's parent is the element of the page shown.
  class RuleDocument final : public CXmlDocument {
   public:
    using CXmlDocument::ParentName;
  };

  void LoadOrCreate();
  bool IsEditableRule();
  bool IsEditablePage();
  void NewRule();
  void ShowPage();
  void StorePage();
  void SwitchPage(int index);
  void EnableLists();
  void NewDestination();
  void CascadeFromProvider();
  void CascadeFromDsn();
  void CascadeFromCatalog();
  void UpdateSave();
  void EditTarget();
  // Whether the source ("Default") page maps at least one column.
  bool SourceMapsAColumn();
  bool Save();
  void Delete();
  // Appends the five children of a page for the given source or destination.
  void AppendPageChildren(std::string_view provider, std::string_view dsn, std::string_view catalog,
                          std::string_view unify, std::string_view table);
  // "Catalog" or "Schema": the name under which the service compares the
  // value with its data source's definition.
  std::string CatalogElement(std::string_view provider, std::string_view dsn, std::string_view catalog);
  void SetChildText(int index, std::string_view text);
  static void SelectFor(DropDown& list, std::string_view text, bool addWhenMissing);

  std::string path_;
  std::unique_ptr<RuleDocument> rule_;
  int page_ = 0;  // 0: the source ("Default"); n: destination n
  DropDown destinations_, providers_, dsns_, catalogs_, tables_, joins_;
  std::vector<ColumnRow> rows_;
  std::string rowSelection_;
  bool saveEnabled_ = false, deleteEnabled_ = false, newDestinationEnabled_ = true;
  // What the service lists as the catalogs of a provider and DSN.
  std::map<std::pair<std::string, std::string>, std::vector<ServiceName>> catalogListings_;
};

}  // namespace quor::admin::snapin
