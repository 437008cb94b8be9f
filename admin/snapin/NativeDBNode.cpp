#include "admin/snapin/NativeDBNode.h"

#include <utility>
#include <vector>

#include "admin/RegistryAccess.h"
#include "admin/XmlDocument.h"
#include "admin/snapin/ItemPropertyPage.h"
#include "admin/snapin/OleDbSetting.h"
#include "admin/snapin/Resources.h"
#include "admin/snapin/SnapInModule.h"
#include "admin/snapin/TableDialogs.h"
#include "platform/base/win32_error.h"
#include "platform/fs/fs.h"
#include "platform/text/text.h"

namespace quor::admin::snapin {

namespace {

constexpr std::string_view kRepositoryRole = "VODB";

// What one repository table is: its item, its slot and its row image.
struct RepositoryTable {
  CNativeDBNode::Slot slot;
  std::string_view objectName, description, table;
  int kind;
  int image;
};
// In the order the items are made.
constexpr RepositoryTable kTables[] = {
    {CNativeDBNode::kContent, "VODB", "QuorVesk Database", "QUORVESK", CRepositoryDBItem::kDeleteRecords, 10},
    {CNativeDBNode::kResource, "VOResourceDB", "Vesk Resource", "QUORVESKRES", CRepositoryDBItem::kDeleteRecords, 11},
    {CNativeDBNode::kLog, "LogDB", "Log Database", "QUORLOG", CRepositoryDBItem::kResetTable, 14},
    {CNativeDBNode::kCollaboration, "CollabDB", "Collaboration Database", "QUORCOLLAB",
     CRepositoryDBItem::kDeleteRecords, 12},
};
// The order of the rows in the result pane, with their images.
constexpr std::pair<CNativeDBNode::Slot, int> kRowOrder[] = {
    {CNativeDBNode::kContent, 10}, {CNativeDBNode::kResource, 11}, {CNativeDBNode::kCollaboration, 12},
    {CNativeDBNode::kLog, 14}};

constexpr ResultColumn kColumns[] = {
    {"Object", 100}, {"Description", 160}, {"Table Name", 140}, {"Status", 100, true}};

std::string HomeDirectory() {
  std::string home = RegistryAccess().ReadServiceText("HomeDir");
  return home.empty() ? Module::HomeDir() : home;
}

}  // namespace

// ---- CRepositoryDBItem ------------------------------------------------------------------

const NodeIdentity CRepositoryDBItem::kIdentity{
    "457E2BB6-77B1-4F62-B714-A22B6C405607", "Repository DB", IDR_NO_COMMANDS_MENU, 2, 2, true};

CRepositoryDBItem::CRepositoryDBItem(std::string objectName, std::string connectionFile, std::string tableName,
                                     std::string description)
    : CSnapInItem(std::move(objectName), kIdentity),
      description_(std::move(description)),
      tableName_(std::move(tableName)),
      connectionFile_(std::move(connectionFile)) {
  if (!SetUp())
    if (console::IDialogHost* dialogs = Module::Dialogs())
      dialogs->MessageBox(tableName_, "Native DB Connection Error", console::MB_OK);
}

CRepositoryDBItem::~CRepositoryDBItem() = default;

bool CRepositoryDBItem::SetUp() {
  connection_ = std::make_unique<COleDbSetting>();
  if (!connectionFile_.empty()) {
    if (connection_->OpenFromFile(connectionFile_) != 1) {
      status_ = kConnectionError;
      return false;
    }
  } else if (!DescribeNew()) {
    return false;
  } else if (!written_) {
    return true;  // cancelled somewhere on the way: no file, no failure
  }
  CheckTable();
  return true;
}

// Asks for the connection, then for the file to keep it in; false only for
// a connection that cannot serve as a repository.
bool CRepositoryDBItem::DescribeNew() {
  if (connection_->PromptNew() != 1) return true;
  provider_ = connection_->Provider;
  dataSource_ = connection_->DataSource;
  catalog_ = connection_->InitialCatalog;
  const char* invalid = nullptr;
  if (provider_.empty())
    invalid = "Invalid Database Provider.  Please try again";
  else if (dataSource_.empty())
    invalid = "Invalid Database DSN.  Please try again";
  else if (catalog_.empty() && provider_ == "SQLOLEDB.1")
    invalid = "Invalid Database Catalog/Schema.  Please try again";
  if (invalid) {
    CMessageBox::Error(invalid);
    connection_.reset();
    return false;
  }

  const std::string folder = ConfigFolder(HomeDirectory());
  if (folder.empty()) {
    CMessageBox::Error("The service's home directory is not set.");
    return true;
  }
  console::IDialogHost* dialogs = Module::Dialogs();
  if (!dialogs) return true;
  if (text::EqualsNoCase(provider_, "OraOLEDB.Oracle.1") || text::EqualsNoCase(provider_, "IBMDADB2.1")) {
    const console::DialogReply schema =
        dialogs->AskText({"Database Schema", "Schema Name:", text::ToUpperAscii(connection_->UserName), true});
    if (!schema.ok) {
      connection_.reset();
      return true;
    }
    connection_->InitialCatalog = schema.text;
  }
  // The save dialog opens where it can; a missing folder fails the save itself.
  fs::CreateFolders(folder).Ignore();
  const console::DialogReply saved = dialogs->AskSavePath({folder, ""});
  if (!saved.ok || saved.text.empty()) return true;
  connection_->SetRoleAndTable(DisplayName(), "");
  if (!connection_->Write(saved.text)) return true;  // Write told why
  connectionFile_ = saved.text;
  written_ = true;
  return true;
}

void CRepositoryDBItem::CheckTable() {
  status_ = kTableNotFound;
  std::unique_ptr<oledb::Rowset> tables = connection_ ? connection_->OpenTables() : nullptr;
  if (!tables) return;
  while (tables->Next() == S_OK) {
    odbc::Value name;
    if (FAILED(tables->Get("TABLE_NAME", name)) || name.IsNull()) continue;
    if (text::EqualsNoCase(name.text, tableName_)) {
      // The dialogs quote the name, so they take it as the database spells it.
      listedTable_ = name.text;
      status_ = kReady;
      return;
    }
  }
}

void CRepositoryDBItem::Maintain() {
  if (!text::EqualsNoCase(status_, kReady) || !connection_) {
    CMessageBox::Information(status_);
    return;
  }
  std::unique_ptr<CTableDataDlg> dialog;
  switch (kind_) {
    case kView:
      dialog = std::make_unique<CTableDataDlg>(*connection_, listedTable_);
      break;
    case kDeleteRecords:
      dialog = std::make_unique<CDeleteRecordsDlg>(*connection_, listedTable_);
      break;
    case kResetTable:
      dialog = std::make_unique<CResetTableDlg>(*connection_, listedTable_);
      break;
    default:
      return;
  }
  dialog->DoModal();
}

HRESULT CRepositoryDBItem::Notify(uint32_t event, std::intptr_t arg, std::intptr_t, CQuorAdminMMC* componentData,
                                  CQuorAdminMMCComponent* component, uint32_t) {
  switch (event) {
    case console::MMCN_SELECT:
      EnablePropertiesOnSelect(arg, componentData, component);
      return E_NOTIMPL;
    case console::MMCN_DBLCLICK:
      Maintain();
      return E_NOTIMPL;  // the host goes on with its default action
    case console::MMCN_EXPAND:
    case console::MMCN_SHOW:
      return S_OK;
    default:
      return E_NOTIMPL;
  }
}

std::string CRepositoryDBItem::GetResultPaneColInfo(int column) {
  Module::SetResultPaneFlag(2);
  switch (column) {
    case 0:
      return displayName_;
    case 1:
      return description_;
    case 2:
      return tableName_;
    case 3:
      return status_;
    default:
      return {};
  }
}

std::vector<std::unique_ptr<console::IPropertyPage>> CRepositoryDBItem::MakePages() {
  std::vector<std::unique_ptr<console::IPropertyPage>> pages;
  pages.push_back(std::make_unique<CItemPropertyPage>(
      std::string(kPageTitle), std::vector<CItemPropertyPage::Line>{{"Object", displayName_},
                                                                    {"Description", description_},
                                                                    {"Table Name", tableName_},
                                                                    {"Status", status_},
                                                                    {"Connection File", connectionFile_}}));
  return pages;
}

HRESULT CRepositoryDBItem::InsertRow(console::IResultData& result, int image) {
  resultData_.image = image;
  return CSnapInItem::InsertRow(result);
}

// ---- CNativeDBNode ----------------------------------------------------------------------

const NodeIdentity CNativeDBNode::kIdentity{"CAD0C44F-B4ED-41B2-B3D9-9031068976E1", "Repos", IDR_NATIVEDB_MENU, 9};

CNativeDBNode::CNativeDBNode() : CSnapInItem("Native DB", kIdentity) { Discover(); }

CNativeDBNode::~CNativeDBNode() = default;

void CNativeDBNode::Discover() {
  const std::string folder = ConfigFolder(HomeDirectory());
  if (folder.empty()) return;
  const Result<std::vector<std::string>> names = fs::ListFiles(folder, "*.xml");
  if (!names.ok()) return;
  for (const std::string& name : *names) {
    const std::string path = folder + name;
    CXmlDocument document;
    if (document.Load(path) != 0 || !document.HasServiceRole(kRepositoryRole)) continue;
    // A later repository file wins; the items of an earlier one go with
    // their connections.
    for (const RepositoryTable& table : kTables) {
      auto item = std::make_unique<CRepositoryDBItem>(std::string(table.objectName), path, std::string(table.table),
                                                      std::string(table.description));
      item->SetMaintenanceKind(table.kind);
      items_[table.slot] = std::move(item);
    }
  }
}

long CNativeDBNode::MenuItemState(long commandId) {
  if (commandId == ID_NEW_NATIVE_DB && items_[kContent]) return console::MF_GRAYED | console::MF_DISABLED;
  return console::MF_ENABLED;
}

HRESULT CNativeDBNode::Command(long commandId, uint32_t) {
  if (commandId == ID_NEW_NATIVE_DB) NewNativeDB();
  return S_OK;
}

void CNativeDBNode::NewNativeDB() {
  if (items_[kContent]) return;
  auto item = std::make_unique<CRepositoryDBItem>("VODB", "", tableName_, "Vesk Objects");
  // Only a connection that was really kept in a file becomes the repository;
  // otherwise the command stays offered.
  if (!item->Written()) return;
  const std::string file = item->ConnectionFile();
  items_[kContent] = std::move(item);
  if (shown_)
    if (console::IResultData* result = shown_->ResultData()) items_[kContent]->InsertRow(*result, kRowOrder[0].second);
  CMessageBox::Information(
      text::Format("Native Database %s config file created.  Please, restart the QuorServer.", file));
}

void CNativeDBNode::InsertRows(console::IResultData& result) {
  for (const auto& [slot, image] : kRowOrder)
    if (items_[slot]) items_[slot]->InsertRow(result, image);
}

HRESULT CNativeDBNode::OnShow(console::IConsole& console, bool showing) {
  return ShowItemRows(console, showing, items_, &shown_, kColumns, kDescription,
                      [&](console::IResultData& result) { InsertRows(result); });
}

HRESULT CNativeDBNode::OnRefresh(console::IConsole& console, std::intptr_t) {
  // Only while the pane shows our rows; the items keep the statuses they had.
  if (Module::ResultPaneFlag() != 2) return S_OK;
  console::IResultData* result = console.ResultData();
  if (!result) return E_UNEXPECTED;
  result->DeleteAllRsltItems();
  for (auto& item : items_)
    if (item) item->ForgetRow();
  InsertRows(*result);
  return S_OK;
}

}  // namespace quor::admin::snapin
