#include "admin/snapin/DatabasesNode.h"

#include "admin/RegistryAccess.h"
#include "admin/VeltService.h"
#include "admin/XmlDocument.h"
#include "admin/snapin/OleDbSetting.h"
#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/Resources.h"
#include "admin/snapin/SnapInModule.h"
#include "platform/base/win32_error.h"
#include "platform/fs/fs.h"
#include "platform/text/text.h"

namespace quor::admin::snapin {

namespace {

constexpr std::array<ResultColumn, 5> kColumns = {{{"Provider", 100},
                                                 {"DSN", 100},
                                                 {"Catalog/Schema", 100},
                                                 {"Status", 300},
                                                 {"Configuration File", 300}}};
constexpr int kObjectsColumnWidth = 200;

// The one provider that cannot do without a catalog, compared exactly.
constexpr std::string_view kCatalogProvider = "SQLOLEDB.1";

console::IConsole* ConsoleOf(CQuorAdminMMC* componentData, CQuorAdminMMCComponent* component) {
  return componentData ? componentData->Console() : component ? component->Console() : nullptr;
}

std::string ServiceConfigFolder() {
  return ConfigFolder(RegistryAccess().ReadServiceText("HomeDir"));
}

}  // namespace

// ---- CDatabaseNode ------------------------------------------------------------------------

const NodeIdentity CDatabaseNode::kIdentity{"377A339D-B763-4F92-8818-344F7C3DC24F", "Database", IDR_REMOVE_MENU, 2};

CDatabaseNode::CDatabaseNode(CDatabasesNode* owner) : CSnapInItem("", kIdentity), owner_(owner) {}

CDatabaseNode::~CDatabaseNode() = default;

std::string CDatabaseNode::MakeDisplayName(std::string_view dsn, std::string_view catalog) {
  return catalog.empty() ? std::string(dsn) : text::Format("%s [%s]", dsn, catalog);
}

void CDatabaseNode::Fill(std::string provider, std::string dsn, std::string catalog) {
  provider_ = std::move(provider);
  dsn_ = std::move(dsn);
  catalog_ = std::move(catalog);
  displayName_ = MakeDisplayName(dsn_, catalog_);
}

int CDatabaseNode::LoadFromFile(std::string_view path) {
  folders_.clear();
  path_ = std::string(path);
  CXmlDocument document;
  const bool loaded = document.Load(path) == 0;
  std::string catalog = loaded ? document.GetChildTextByName("InitialCatalog") : std::string();
  if (catalog.empty() && loaded) catalog = document.GetChildTextByName("Schema");
  std::string provider = loaded ? document.GetChildTextByName("Provider") : std::string();
  std::string dsn = loaded ? document.GetChildTextByName("DataSource") : std::string();
  const bool described =
      !provider.empty() && (!dsn.empty() || !document.GetChildTextByName("ExtendedProperties").empty());
  Fill(std::move(provider), std::move(dsn), std::move(catalog));
  // A file the service could not use either is no connection to test.
  if (!loaded || !described) {
    status_ = text::Format("Error: %s is not a valid connection file.", path);
    return 0;
  }

  console::ProgressScope progress(Module::Dialogs(), text::Format("Database: %s", displayName_));
  progress.Set(10);
  CVeltService* service = Module::Service();
  std::string names;
  const int listed = service ? service->ListNames("get", "column", provider_, dsn_, catalog_, "", names) : -1;
  progress.Set(40);
  if (listed < 0) {
    status_ = "Error: " + (service ? service->FaultText() : std::string("Unknown Error"));
    progress.Set(100);
    return 0;
  }
  status_ = "Ready";
  progress.Set(50);
  for (size_t i = 0; i < kFolderNames.size(); ++i) {
    auto folder = std::make_unique<CUnifyRuleNode>(std::string(kFolderNames[i]), provider_, dsn_, catalog_);
    folder->SetFolderImage(kFolderImages[i]);
    folders_.push_back(std::move(folder));
    if (i + 1 < kFolderNames.size()) progress.Set(60 + static_cast<int>(i) * 10);
  }
  progress.Set(100);
  return 1;
}

int CDatabaseNode::NewConnection() {
  COleDbSetting setting;
  if (!setting.PromptNew()) return 0;
  Fill(setting.Provider, setting.DataSource, setting.InitialCatalog);
  if (provider_.empty()) {
    CMessageBox::Error("Invalid Database Provider.  Please try again");
    return 0;
  }
  if (dsn_.empty()) {
    CMessageBox::Error("Invalid Database DSN.  Please try again");
    return 0;
  }
  if (catalog_.empty() && provider_ == kCatalogProvider) {
    CMessageBox::Error("Invalid Database Catalog/Schema.  Please try again");
    return 0;
  }
  const std::string folder = ServiceConfigFolder();
  if (folder.empty()) {
    CMessageBox::Error("The service's home directory is not set.");
    return 0;
  }
  console::IDialogHost* dialogs = Module::Dialogs();
  if (!dialogs) return 0;
  if (COleDbSetting::IsSchemaProvider(setting.Provider)) {
    const console::DialogReply schema =
        dialogs->AskText({"Database Schema", "Schema Name:", text::ToUpperAscii(setting.UserName), true});
    if (!schema.ok) return 0;
    setting.InitialCatalog = schema.text;
  }
  // The save dialog opens where it can; a missing folder fails the save itself.
  fs::CreateFolders(folder).Ignore();
  const console::DialogReply saved = dialogs->AskSavePath({folder, ""});
  if (!saved.ok || saved.text.empty()) return 0;
  // The dialog answers a full path; a bare name belongs in the folder.
  const std::string path = saved.text.find('/') == std::string::npos ? folder + saved.text : saved.text;
  if (!setting.Write(path)) return 0;
  path_ = path;
  Fill(setting.Provider, setting.DataSource, setting.InitialCatalog);
  status_ = "New Connection";
  return 1;
}

HRESULT CDatabaseNode::Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                              CQuorAdminMMCComponent* component, uint32_t type) {
  if (event != console::MMCN_EXPAND) return CSnapInItem::Notify(event, arg, param, componentData, component, type);
  console::IConsole* console = ConsoleOf(componentData, component);
  if (!console) return E_UNEXPECTED;
  if (arg == 0) return S_OK;  // collapsing
  console::IConsoleNameSpace* nameSpace = console->NameSpace();
  if (!nameSpace) return E_UNEXPECTED;
  // A connection added since the last refresh has no folders yet: nothing to add.
  HRESULT status = S_OK;
  for (auto& folder : folders_) {
    console::ScopeItem* item = nullptr;
    folder->GetScopeData(&item);
    item->relativeId = static_cast<console::ScopeHandle>(param);
    status = nameSpace->InsertItem(*item);
  }
  return status;
}

HRESULT CDatabaseNode::OnShow(console::IConsole& console, bool showing) {
  console::IResultData* result = console.ResultData();
  if (!result) return E_UNEXPECTED;
  if (!showing) return result->DeleteAllRsltItems();
  if (console::IHeaderCtrl* header = console.HeaderCtrl())
    header->InsertColumn(0, "Objects", console::LVCFMT_LEFT, kObjectsColumnWidth);
  return S_OK;
}

HRESULT CDatabaseNode::Command(long commandId, uint32_t) {
  if (commandId == ID_REMOVE) Remove();
  return S_OK;
}

void CDatabaseNode::Remove() {
  const std::string& name = displayName_;
  if (CMessageBox::Warning(text::Format("Are you sure you want to remove %s DB connection?", name)) !=
      console::IDYES)
    return;
  if (path_.empty() || !fs::DeleteFile(path_).ok()) {
    CMessageBox::Error(text::Format("Error:  Unable to remove %s DB connection.", name));
    return;
  }
  CMessageBox::Information(text::Format("%s DB connection is removed.  Please refresh the Databases node.", name));
  if (console::IResultData* result = owner_ ? owner_->ShownResult() : nullptr) DeleteRow(*result);
  ForgetRow();
}

std::string CDatabaseNode::GetResultPaneColInfo(int column) {
  Module::SetResultPaneFlag(0);
  switch (column) {
    case 0:
      return provider_;
    case 1:
      return dsn_;
    case 2:
      return catalog_;
    case 3:
      return status_;
    case 4:
      return path_;
    default:
      return {};
  }
}

// ---- CDatabasesNode -----------------------------------------------------------------------

const NodeIdentity CDatabasesNode::kIdentity{"9DA4C7DE-AA6C-4BB9-B32B-E61B92F62FEA", "Databases", IDR_DATABASES_MENU,
                                             1};

CDatabasesNode::CDatabasesNode() : CSnapInItem("Databases", kIdentity) { LoadConnections(); }

CDatabasesNode::~CDatabasesNode() = default;

void CDatabasesNode::LoadConnections() {
  ForgetItems();
  const std::string folder = ServiceConfigFolder();
  if (folder.empty()) return;
  const Result<std::vector<std::string>> names = fs::ListFiles(folder, "*.xml");
  if (!names.ok()) return;
  for (const std::string& name : *names) {
    const std::string path = folder + name;
    CXmlDocument document;
    // Repository definitions carry a service role and belong to Native DB.
    if (document.Load(path) == 0 && !document.HasServiceRole("")) continue;
    auto item = std::make_unique<CDatabaseNode>(this);
    if (!item->LoadFromFile(path)) {
      CMessageBox::Error(item->Status());
      continue;
    }
    items_.push_back(std::move(item));
  }
}

void CDatabasesNode::ForgetItems() {
  console::IResultData* result = ShownResult();
  for (auto& item : items_) {
    if (item->scopeData_.id != 0 && nameSpace_) nameSpace_->DeleteItem(item->scopeData_.id, true);
    item->scopeData_.id = 0;
    if (result) item->DeleteRow(*result);
    item->ForgetRow();
  }
  items_.clear();
}

void CDatabasesNode::InsertScope(CDatabaseNode& item) {
  if (!expanded_ || !nameSpace_ || item.scopeData_.id != 0) return;
  item.scopeData_.relativeId = ownScope_;
  nameSpace_->InsertItem(item.scopeData_);
}

void CDatabasesNode::InsertRow(CDatabaseNode& item) {
  console::IResultData* result = ShownResult();
  if (!result) return;
  item.InsertRow(*result);
}

console::IResultData* CDatabasesNode::ShownResult() const { return shown_ ? shown_->ResultData() : nullptr; }

HRESULT CDatabasesNode::Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                               CQuorAdminMMCComponent* component, uint32_t type) {
  if (event != console::MMCN_EXPAND) return CSnapInItem::Notify(event, arg, param, componentData, component, type);
  console::IConsole* console = ConsoleOf(componentData, component);
  if (!console) return E_UNEXPECTED;
  if (arg == 0) return S_OK;  // collapsing
  console::IConsoleNameSpace* nameSpace = console->NameSpace();
  if (!nameSpace) return E_UNEXPECTED;
  // The host expands a folder once; a second expansion must not add the
  // children again.
  if (expanded_ && nameSpace_ == nameSpace && ownScope_ == static_cast<console::ScopeHandle>(param)) return S_OK;
  nameSpace_ = nameSpace;
  ownScope_ = static_cast<console::ScopeHandle>(param);
  expanded_ = true;
  for (auto& item : items_) {
    item->scopeData_.id = 0;
    InsertScope(*item);
  }
  return S_OK;
}

HRESULT CDatabasesNode::OnShow(console::IConsole& console, bool showing) {
  // The host lists no child folders once columns are set: the rows come from here.
  return ShowItemRows(console, showing, items_, &shown_, kColumns, std::nullopt, [&](console::IResultData&) {
    for (auto& item : items_) InsertRow(*item);
  });
}

HRESULT CDatabasesNode::OnRefresh(console::IConsole& console, std::intptr_t param) {
  if (console::IConsoleNameSpace* nameSpace = console.NameSpace()) nameSpace_ = nameSpace;
  if (param != 0 && expanded_) ownScope_ = static_cast<console::ScopeHandle>(param);
  LoadConnections();
  for (auto& item : items_) {
    InsertScope(*item);
    InsertRow(*item);
  }
  return S_OK;
}

HRESULT CDatabasesNode::Command(long commandId, uint32_t) {
  if (commandId == ID_NEW_DATABASE_CONNECTION) AddConnection();
  return S_OK;
}

void CDatabasesNode::AddConnection() {
  auto item = std::make_unique<CDatabaseNode>(this);
  if (!item->NewConnection()) return;
  CDatabaseNode& added = *item;
  items_.push_back(std::move(item));
  InsertScope(added);
  InsertRow(added);

  const bool reloaded = CallService("ReLoadConfig", {}, false) && Module::Service()->GetChildText(0) == "0";
  if (reloaded)
    CMessageBox::Information("Configuration files reloaded.");
  else
    CMessageBox::Error("Fail to reload configuration files.");
  CMessageBox::Information("New database added.  Please refresh the Databases node.");
}

}  // namespace quor::admin::snapin
