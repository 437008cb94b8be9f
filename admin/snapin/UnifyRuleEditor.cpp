#include "admin/snapin/UnifyRuleEditor.h"

#include <algorithm>

#include "admin/RegistryAccess.h"
#include "admin/VeltService.h"
#include "admin/snapin/SnapInModule.h"
#include "admin/snapin/TargetFieldDialog.h"
#include "platform/fs/fs.h"
#include "platform/text/text.h"

namespace quor::admin::snapin {

namespace {

using console::FieldKind;
using console::PageField;

constexpr std::string_view kDefaultPage = "Default";
constexpr std::string_view kNewRuleJoin = "Full Outer Join";
constexpr std::string_view kNewDestinationJoin = "Left Inner Join";
// The source's five children come first; destinations follow them.
constexpr int kPageChildren = 5;

bool IsCatalogOrSchema(std::string_view name) { return name == "Catalog" || name == "Schema" || name == "schema"; }

PageField ChoiceField(std::string_view id, std::string label, const std::vector<std::string>& entries, int selected,
                      bool enabled) {
  PageField field = console::MakeField(std::string(id), std::move(label), FieldKind::Choice,
                                       selected >= 0 ? entries[static_cast<std::size_t>(selected)] : std::string(),
                                       enabled);
  field.options = entries;
  return field;
}

}  // namespace

int RunUnifyRuleEditor(std::string_view provider, std::string_view dsn, std::string_view catalog,
                       std::string_view table) {
  if (!CUnifyRuleEditor::IsFileSafeTableName(table)) {
    CMessageBox::Error(text::Format("The table name \"%s\" cannot name a unify rule file.", table));
    return console::IDCANCEL;
  }
  if (CUnifyRuleEditor::HomeDirectory().empty()) {
    CMessageBox::Error("The service's home directory is not set.");
    return console::IDCANCEL;
  }
  CUnifyRuleEditor editor(provider, dsn, catalog, table);
  return editor.DoModal();
}

// ---- Lists -------------------------------------------------------------------------

std::string CUnifyRuleEditor::DropDown::Text() const {
  return selected >= 0 ? entries[static_cast<std::size_t>(selected)] : std::string();
}

int CUnifyRuleEditor::DropDown::Find(std::string_view value) const {
  const auto found = std::find(entries.begin(), entries.end(), value);
  return found == entries.end() ? -1 : static_cast<int>(found - entries.begin());
}

// The entry equal to the text, else the first that begins with it (case
// ignored), else the first. An exact match comes first so that "sales" is
// not shown as "sales_archive" and then written back so.
void CUnifyRuleEditor::SelectFor(DropDown& list, std::string_view text, bool addWhenMissing) {
  list.selected = list.Find(text);
  if (list.selected >= 0) return;
  for (std::size_t i = 0; i < list.entries.size(); ++i) {
    if (text::EqualsNoCase(list.entries[i], text)) {
      list.selected = static_cast<int>(i);
      return;
    }
  }
  for (std::size_t i = 0; i < list.entries.size(); ++i) {
    if (text::StartsWithNoCase(list.entries[i], text)) {
      list.selected = static_cast<int>(i);
      return;
    }
  }
  if (list.entries.empty() || (addWhenMissing && !text.empty())) {
    list.entries.emplace_back(text);
    list.selected = static_cast<int>(list.entries.size()) - 1;
    return;
  }
  list.selected = 0;
}

// ---- Construction and the file ------------------------------------------------------

CUnifyRuleEditor::CUnifyRuleEditor(std::string_view provider, std::string_view dsn, std::string_view catalog,
                                   std::string_view table)
    : CServiceDataDlg(provider, dsn, catalog, table),
      path_(RuleFilePath(HomeDirectory(), table)),
      rule_(std::make_unique<RuleDocument>()) {}

CUnifyRuleEditor::~CUnifyRuleEditor() = default;

bool CUnifyRuleEditor::IsFileSafeTableName(std::string_view table) {
  return !table.empty() && table != "." && table.find("..") == std::string_view::npos &&
         table.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

std::string CUnifyRuleEditor::RuleFilePath(std::string_view home, std::string_view table) {
  if (home.empty() || !IsFileSafeTableName(table)) return {};
  std::string path(home);
  if (path.back() != '/' && path.back() != '\\') path += '/';
  return fs::NormalizePath(text::Format("%s%s.xml", path + "unifier/", table));
}

std::string CUnifyRuleEditor::HomeDirectory() {
  std::string home = RegistryAccess().ReadServiceText("HomeDir");
  return home.empty() ? Module::HomeDir() : home;
}

// ---- Opening --------------------------------------------------------------------------

void CUnifyRuleEditor::Open() {
  CServiceDataDlg::Open();
  // Opened directly rather than through RunUnifyRuleEditor: the same refusals.
  if (path_.empty()) {
    CMessageBox::Error(IsFileSafeTableName(Table())
                           ? std::string("The service's home directory is not set.")
                           : text::Format("The table name \"%s\" cannot name a unify rule file.", Table()));
    EndDialog(console::IDCANCEL);
    return;
  }
  page_ = 0;
  catalogListings_.clear();
  rowSelection_.clear();
  saveEnabled_ = deleteEnabled_ = false;
  newDestinationEnabled_ = true;

  joins_ = {};
  for (std::string_view kind : kJoinKinds) joins_.entries.emplace_back(kind);
  providers_ = {};
  for (ServiceName& provider : ListServiceNames({}, {}, {}, {})) providers_.entries.push_back(std::move(provider.name));
  rows_.clear();
  for (ServiceName& column : ListServiceNames(Provider(), Dsn(), Catalog(), Table()))
    rows_.push_back({std::move(column.name), std::move(column.type), {}, {}});
  dsns_ = catalogs_ = tables_ = {};
  for (DropDown* list : {&providers_, &dsns_, &catalogs_, &tables_}) list->enabled = false;

  LoadOrCreate();

  destinations_ = {};
  destinations_.entries.emplace_back(kDefaultPage);
  rule_->MoveToRoot();
  for (int i = 1; i <= rule_->ChildCount() - kPageChildren; ++i)
    destinations_.entries.push_back(text::Format("Destination %d", i));
  destinations_.selected = 0;
  ShowPage();
}

void CUnifyRuleEditor::LoadOrCreate() {
  rule_ = std::make_unique<RuleDocument>();
  if (fs::Exists(path_)) {
    if (rule_->Load(path_) == 0 && IsEditableRule()) {
      deleteEnabled_ = true;
      rule_->MoveToRoot();
      return;
    }
    // Saving would replace what is there: say so before anything is edited.
    CMessageBox::Error(text::Format("%s is no unify rule this editor can read; a new rule is started.", path_));
    deleteEnabled_ = true;
    rule_ = std::make_unique<RuleDocument>();
  }
  NewRule();
  // A rule that is not on disk yet is a change to save.
  saveEnabled_ = true;
}

void CUnifyRuleEditor::NewRule() {
  rule_->CreateRoot("unifyrule", {});
  AppendPageChildren(Provider(), Dsn(), Catalog(), kNewRuleJoin, Table());
  rule_->MoveToRoot();
}

void CUnifyRuleEditor::AppendPageChildren(std::string_view provider, std::string_view dsn, std::string_view catalog,
                                          std::string_view unify, std::string_view table) {
  rule_->AddChild("Provider", provider);
  rule_->AddChild("Dsn", dsn);
  rule_->AddChild(CatalogElement(provider, dsn, catalog), catalog);
  rule_->AddChild("unify", unify);
  rule_->AddChildWithAttribute("table", {}, "name", table);
  // A new table holds one empty pattern, which readers pass over and the
  // next store replaces.
  if (rule_->MoveToChild(4) == S_OK) {
    rule_->AddChild("pattern", {});
    rule_->MoveToParent();
  }
}

// The editor works by position: a file it did not write in its layout
// (another root, a missing or extra element, a comment between them) is not
// edited in place.
bool CUnifyRuleEditor::IsEditableRule() {
  rule_->MoveToRoot();
  if (rule_->ParentName() != "unifyrule" || !IsEditablePage()) return false;
  const int count = rule_->ChildCount();
  for (int i = kPageChildren; i < count; ++i) {
    if (rule_->MoveToChild(i) != S_OK) return false;
    const bool fits = rule_->ParentName() == "destination" && IsEditablePage();
    rule_->MoveToParent();
    if (!fits) return false;
  }
  return true;
}

bool CUnifyRuleEditor::IsEditablePage() {
  static constexpr std::array<std::string_view, kPageChildren> kNames = {"Provider", "Dsn", "", "unify", "table"};
  if (rule_->ChildCount() < kPageChildren) return false;
  if (rule_->ParentName() == "destination" && rule_->ChildCount() != kPageChildren) return false;
  for (int i = 0; i < kPageChildren; ++i) {
    if (rule_->MoveToChild(i) != S_OK) return false;
    const std::string name = rule_->ParentName();
    bool fits = i == 2 ? IsCatalogOrSchema(name) : name == kNames[static_cast<std::size_t>(i)];
    // Only "table" holds elements ("pattern"s).
    if (fits && i == 4) {
      const int patterns = rule_->ChildCount();
      for (int p = 0; fits && p < patterns; ++p) {
        if (rule_->MoveToChild(p) != S_OK) return false;
        fits = rule_->ParentName() == "pattern";
        rule_->MoveToParent();
      }
    }
    rule_->MoveToParent();
    if (!fits) return false;
  }
  return true;
}

std::string CUnifyRuleEditor::CatalogElement(std::string_view provider, std::string_view dsn,
                                             std::string_view catalog) {
  const auto key = std::make_pair(std::string(provider), std::string(dsn));
  auto listing = catalogListings_.find(key);
  if (listing == catalogListings_.end() && !provider.empty() && !dsn.empty())
    listing = catalogListings_.emplace(key, ListServiceNames(provider, dsn, {}, {})).first;
  if (listing != catalogListings_.end()) {
    for (const ServiceName& entry : listing->second) {
      if (entry.name != catalog) continue;
      if (text::EqualsNoCase(entry.element, "catalog")) return "Catalog";
      if (text::EqualsNoCase(entry.element, "schema")) return "Schema";
    }
  }
  // A source the service does not describe: named by its provider.
  return text::EqualsNoCase(provider, "SQLOLEDB.1") ? "Catalog" : "Schema";
}

// ---- Pages --------------------------------------------------------------------------

void CUnifyRuleEditor::SetChildText(int index, std::string_view text) {
  if (rule_->MoveToChild(index) != S_OK) return;
  rule_->SetText(text);
  rule_->MoveToParent();
}

void CUnifyRuleEditor::ShowPage() {
  SelectFor(providers_, rule_->GetChildText(0), true);
  SelectFor(dsns_, rule_->GetChildText(1), false);
  // Position 2 is the catalog or the schema, whichever name it has.
  SelectFor(catalogs_, rule_->GetChildText(2), false);
  std::string table;
  if (rule_->MoveToChild(4) == S_OK) {
    table = rule_->GetAttribute("name");
    rule_->MoveToParent();
  }
  SelectFor(tables_, table, false);
  SelectFor(joins_, rule_->GetChildText(3), false);

  for (ColumnRow& row : rows_) {
    row.targetName.clear();
    row.targetType.clear();
  }
  if (rule_->MoveToChild(4) != S_OK) return;
  const int count = rule_->ChildCount();
  for (int i = 0; i < count; ++i) {
    if (rule_->MoveToChild(i) != S_OK) break;
    if (rule_->ChildCount() > 0) {
      const std::string rid = rule_->GetChildTextByName("rid");
      const auto row = std::find_if(rows_.begin(), rows_.end(),
                                    [&rid](const ColumnRow& r) { return r.originalName == rid; });
      if (row != rows_.end()) {
        row->targetName = rule_->GetChildTextByName("lid");
        row->targetType = rule_->GetChildAttribute("lid", "type");
      }
    }
    rule_->MoveToParent();
  }
  rule_->MoveToParent();
}

void CUnifyRuleEditor::StorePage() {
  const std::string provider = providers_.Text(), dsn = dsns_.Text(), catalog = catalogs_.Text();
  SetChildText(0, provider);
  SetChildText(1, dsn);
  rule_->RemoveChild(2);
  rule_->InsertChild(2, CatalogElement(provider, dsn, catalog), catalog);
  SetChildText(3, joins_.Text());
  if (rule_->MoveToChild(4) != S_OK) return;
  rule_->AddAttribute("name", tables_.Text());
  for (int i = rule_->ChildCount() - 1; i >= 0; --i) rule_->RemoveChild(i);
  for (const ColumnRow& row : rows_) {
    if (row.targetName.empty()) continue;
    rule_->AddChild("pattern", {});
    if (rule_->MoveToChild(rule_->ChildCount() - 1) != S_OK) continue;
    rule_->AddChildWithAttribute("lid", row.targetName, "type", row.targetType);
    rule_->AddChildWithAttribute("rid", row.originalName, "type", row.originalType);
    rule_->MoveToParent();
  }
  rule_->MoveToParent();
}

void CUnifyRuleEditor::SwitchPage(int index) {
  StorePage();
  rule_->MoveToRoot();
  if (index > 0 && rule_->MoveToChild(index + kPageChildren - 1) != S_OK) index = 0;
  page_ = index;
  destinations_.selected = index;
  joins_.selected = providers_.selected = -1;
  dsns_.Clear();
  catalogs_.Clear();
  tables_.Clear();
  ShowPage();
  EnableLists();
}

void CUnifyRuleEditor::EnableLists() {
  const bool source = text::EqualsNoCase(destinations_.Text(), kDefaultPage);
  for (DropDown* list : {&providers_, &dsns_, &catalogs_, &tables_})
    list->enabled = !source && !list->entries.empty();
}

void CUnifyRuleEditor::NewDestination() {
  // What the page shown holds is kept before another one is shown.
  StorePage();
  const int number = static_cast<int>(destinations_.entries.size());
  destinations_.entries.push_back(text::Format("Destination %d", number));
  destinations_.selected = number;
  page_ = number;
  EnableLists();
  rule_->MoveToRoot();
  rule_->AddChild("destination", {});
  rule_->MoveToChild(rule_->ChildCount() - 1);
  AppendPageChildren(Provider(), Dsn(), Catalog(), kNewDestinationJoin, {});
  joins_.selected = providers_.selected = -1;
  dsns_.Clear();
  catalogs_.Clear();
  tables_.Clear();
  ShowPage();
  EnableLists();
}

// ---- Cascades -----------------------------------------------------------------------

void CUnifyRuleEditor::CascadeFromProvider() {
  dsns_.Clear();
  catalogs_.Clear();
  tables_.Clear();
  for (ServiceName& dsn : ListServiceNames(providers_.Text(), {}, {}, {})) dsns_.entries.push_back(std::move(dsn.name));
  EnableLists();
  UpdateSave();
}

void CUnifyRuleEditor::CascadeFromDsn() {
  catalogs_.Clear();
  tables_.Clear();
  std::vector<ServiceName> listing = ListServiceNames(providers_.Text(), dsns_.Text(), {}, {});
  for (const ServiceName& catalog : listing) catalogs_.entries.push_back(catalog.name);
  catalogListings_[{providers_.Text(), dsns_.Text()}] = std::move(listing);
  EnableLists();
  UpdateSave();
}

void CUnifyRuleEditor::CascadeFromCatalog() {
  tables_.Clear();
  for (ServiceName& table : ListServiceNames(providers_.Text(), dsns_.Text(), catalogs_.Text(), {}))
    tables_.entries.push_back(std::move(table.name));
  EnableLists();
  UpdateSave();
}

// A destination needs all four of its keys, a table name among them.
void CUnifyRuleEditor::UpdateSave() {
  if (text::EqualsNoCase(destinations_.Text(), kDefaultPage) ||
      (providers_.selected >= 0 && dsns_.selected >= 0 && catalogs_.selected >= 0 && !tables_.Text().empty()))
    saveEnabled_ = true;
  newDestinationEnabled_ = false;
}

// ---- Commands -----------------------------------------------------------------------

void CUnifyRuleEditor::EditTarget() {
  const std::vector<std::size_t> selected = console::GridSelection(rowSelection_);
  if (selected.empty() || selected.front() >= rows_.size()) return;
  ColumnRow& row = rows_[selected.front()];
  CTargetFieldDialog dialog(row.targetName.empty() ? row.originalName : row.targetName,
                            row.targetType.empty() ? row.originalType : row.targetType);
  if (dialog.DoModal() != console::IDOK) return;
  row.targetName = dialog.TargetName();
  row.targetType = dialog.TargetType();
  UpdateSave();
}

bool CUnifyRuleEditor::SourceMapsAColumn() {
  rule_->MoveToRoot();
  bool mapped = false;
  if (rule_->MoveToChild(4) == S_OK) {
    for (int i = 0; i < rule_->ChildCount() && !mapped; ++i) {
      if (rule_->MoveToChild(i) != S_OK) break;
      mapped = rule_->ChildCount() > 0;
      rule_->MoveToParent();
    }
  }
  // Back to the element of the page shown.
  rule_->MoveToRoot();
  if (page_ > 0) rule_->MoveToChild(page_ + kPageChildren - 1);
  return mapped;
}

bool CUnifyRuleEditor::Save() {
  StorePage();
  // The service unifies by the source's mapping: a rule without one is read
  // and then passed over, so the administrator hears of it before it is kept.
  if (!SourceMapsAColumn() &&
      CMessageBox::Warning(text::Format("The unify rule of %s maps no column on its Default page, so the service "
                                        "will not apply it.  Save it anyway?",
                                        Table())) != console::IDYES)
    return false;
  const std::string folder = path_.substr(0, path_.rfind('/'));
  // A folder that cannot be made fails the save below, which says so.
  fs::CreateFolders(folder).Ignore();
  if (FAILED(rule_->Save(path_))) {
    CMessageBox::Error(text::Format("Unable to save %s.", path_));
    return false;
  }
  CMessageBox::Information(text::Format("Unifer %s saved as %s.", Table(), path_));
  saveEnabled_ = false;
  newDestinationEnabled_ = deleteEnabled_ = true;
  return true;
}

void CUnifyRuleEditor::Delete() {
  if (CMessageBox::Warning("Delete Unify Rule Configuration?") != console::IDYES) return;
  if (fs::DeleteFile(path_).ok())
    CMessageBox::Information("Unify Rule Configuration Deleted.");
  else
    CMessageBox::Error("Unable to delete Unify Rule Configuration.");
  EndDialog(console::IDCANCEL);
}

// Unsaved changes are offered for saving; a save that fails keeps the
// dialog open, so the changes are not lost with it.
void CUnifyRuleEditor::OnClose() {
  if (saveEnabled_ && CMessageBox::Warning("Save Unify Rule Configuration?") == console::IDYES && !Save()) return;
  EndDialog(console::IDCANCEL);
}

// ---- Fields -------------------------------------------------------------------------

std::vector<PageField> CUnifyRuleEditor::Fields() const {
  std::vector<PageField> fields = DataFields();
  fields.push_back(console::MakeField(std::string(kRuleCaption), {}, FieldKind::ReadOnlyText, "Unify Rule"));
  fields.push_back(console::MakeField(std::string(kSave), "Save", FieldKind::Button, {}, saveEnabled_));
  fields.push_back(console::MakeField(std::string(kDelete), "Delete", FieldKind::Button, {}, deleteEnabled_));
  fields.push_back(
      console::MakeField(std::string(kNewDestination), "New Destination", FieldKind::Button, {}, newDestinationEnabled_));
  fields.push_back(ChoiceField(kDestination, "Destination:", destinations_.entries, destinations_.selected, true));
  fields.push_back(ChoiceField(kProvider, "Provider:", providers_.entries, providers_.selected, providers_.enabled));
  fields.push_back(ChoiceField(kDsn, "DSN:", dsns_.entries, dsns_.selected, dsns_.enabled));
  fields.push_back(ChoiceField(kCatalog, "Catalog/Schema:", catalogs_.entries, catalogs_.selected, catalogs_.enabled));
  fields.push_back(ChoiceField(kTable, "Table:", tables_.entries, tables_.selected, tables_.enabled));
  fields.push_back(ChoiceField(kUnify, "Unify Rule:", joins_.entries, joins_.selected, true));
  PageField grid = console::MakeField(std::string(kColumns), {}, FieldKind::Grid, rowSelection_);
  grid.columns = {"Original Name", "Original Type", "Target Name", "Target Type"};
  for (const ColumnRow& row : rows_)
    grid.rows.push_back({row.originalName, row.originalType, row.targetName, row.targetType});
  fields.push_back(std::move(grid));
  return fields;
}

bool CUnifyRuleEditor::SetValue(std::string_view id, std::string_view value) {
  if (Ended()) return false;
  if (id == kColumns) {
    const std::vector<std::size_t> rows = console::GridSelection(value);
    if (rows.size() > 1 || (!rows.empty() && rows.front() >= rows_.size())) return false;
    rowSelection_ = console::GridValue(rows);
    return true;
  }
  const std::pair<std::string_view, DropDown*> lists[] = {{kDestination, &destinations_}, {kProvider, &providers_},
                                                          {kDsn, &dsns_},                 {kCatalog, &catalogs_},
                                                          {kTable, &tables_},             {kUnify, &joins_}};
  for (const auto& [listId, list] : lists) {
    if (id != listId) continue;
    const int index = list->Find(value);
    if (!list->enabled || index < 0) return false;
    if (list == &destinations_) {
      SwitchPage(index);
      return true;
    }
    list->selected = index;
    if (list == &providers_) CascadeFromProvider();
    if (list == &dsns_) CascadeFromDsn();
    if (list == &catalogs_) CascadeFromCatalog();
    if (list == &tables_) UpdateSave();
    return true;
  }
  return CServiceDataDlg::SetValue(id, value);
}

bool CUnifyRuleEditor::Press(std::string_view id) {
  if (Ended()) return false;
  if (id == kSave && saveEnabled_) {
    Save();
  } else if (id == kDelete && deleteEnabled_) {
    Delete();
  } else if (id == kNewDestination && newDestinationEnabled_) {
    NewDestination();
  } else if (id == kColumns) {
    EditTarget();
  } else {
    return CServiceDataDlg::Press(id);
  }
  return true;
}

}  // namespace quor::admin::snapin
