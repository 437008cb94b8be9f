#include "admin/snapin/TransformersNode.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "admin/RegistryAccess.h"
#include "admin/XmlDocument.h"
#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/Resources.h"
#include "admin/snapin/SnapInModule.h"
#include "platform/fs/fs.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"

extern char** environ;

namespace quor::admin::snapin {

namespace {

namespace stdfs = std::filesystem;

constexpr std::array<std::string_view, CTransformerItem::kFieldCount> kElementNames = {
    "ProgID", "Method", "Source", "Rule", "Result", "Description"};

constexpr std::array<ResultColumn, 7> kColumns = {{{"Transformer", 150},
                                                 {"Method", 80},
                                                 {"Source", 150},
                                                 {"Rule", 100},
                                                 {"Result", 150},
                                                 {"Description", 300},
                                                 {"Configuration File", 300}}};

console::IConsole* ConsoleOf(CQuorAdminMMC* componentData, CQuorAdminMMCComponent* component) {
  return componentData ? componentData->Console() : component ? component->Console() : nullptr;
}

// The first child element of `parent` named exactly `name`.
xml::NodePtr ChildElement(const xml::NodePtr& parent, std::string_view name) {
  for (auto child = parent->firstChild(); child; child = child->nextSibling())
    if (xml::IsElement(child, name)) return child;
  return nullptr;
}

std::string RegistrationProgram() {
  if (const char* named = std::getenv(CTransformersNode::kRegistrationProgramVariable); named && *named)
    return named;
  std::error_code ec;
  const stdfs::path self = stdfs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const stdfs::path beside = self.parent_path() / "quor-regsvr";
    if (stdfs::exists(beside, ec)) return beside.string();
  }
  return "quor-regsvr";
}

// Runs the registration program on `library` as a child process (argv, no
// shell) and waits; its exit status, or -1 when it could not run.
int RunRegistration(const std::string& library) {
  const std::string program = RegistrationProgram();
  std::string silent = "-s";
  std::string libraryArg = library;
  std::string programArg = program;
  char* argv[] = {programArg.data(), silent.data(), libraryArg.data(), nullptr};
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  for (int fd : {0, 1, 2})
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SameFile(const std::string& path) {
  std::error_code ec;
  stdfs::path canonical = stdfs::weakly_canonical(path, ec);
  return ec ? path : canonical.string();
}

// The ProgIDs of the class store whose class is served by `library`.
std::vector<std::string> ProgIdsServedBy(const std::string& library) {
  std::vector<std::string> found;
  reg::Key classes;
  if (!classes.Open(reg::Hive::ClassesRoot, "").ok()) return found;
  auto names = classes.EnumSubKeys();
  if (!names.ok()) return found;
  const std::string wanted = SameFile(library);
  for (const std::string& name : *names) {
    if (name == "CLSID" || name.empty()) continue;
    reg::Key clsidKey;
    if (!clsidKey.Open(classes, name + "\\CLSID").ok()) continue;
    auto clsid = clsidKey.GetString("");
    if (!clsid.ok() || clsid->empty()) continue;
    reg::Key server;
    if (!server.Open(classes, "CLSID\\" + *clsid + "\\InprocServer32").ok()) continue;
    auto serverPath = server.GetString("");
    if (!serverPath.ok()) continue;
    if (SameFile(*serverPath) == wanted) found.push_back(name);
  }
  return found;
}

bool HasCurVer(const std::string& progId) {
  reg::Key key;
  return key.Open(reg::Hive::ClassesRoot, progId + "\\CurVer").ok();
}

// The ProgID the library registered: one that appeared with this
// registration when there is one, else one it already served; the
// version-independent one when there is a choice.
std::string RegisteredProgId(const std::string& library, const std::set<std::string>& before) {
  const std::vector<std::string> after = ProgIdsServedBy(library);
  std::vector<std::string> fresh;
  for (const std::string& name : after)
    if (!before.contains(name)) fresh.push_back(name);
  const std::vector<std::string>& pool = fresh.empty() ? after : fresh;
  for (const std::string& name : pool)
    if (HasCurVer(name)) return name;
  return pool.empty() ? std::string() : pool.front();
}

}  // namespace

// ---- CTransformerItem -------------------------------------------------------------------

const NodeIdentity CTransformerItem::kIdentity{
    "DD2296CE-3E40-4893-8827-B22534A0748E", "Transformer", IDR_NO_COMMANDS_MENU, 16, 16, true};

CTransformerItem::CTransformerItem(CTransformersNode* owner) : CSnapInItem("Transformer", kIdentity), owner_(owner) {
  fields_[kProgId] = "Unknown";
}

std::string_view CTransformerItem::ElementName(Field field) { return kElementNames[field]; }

bool CTransformerItem::LoadOrCreate(std::string_view path) {
  if (path.empty()) return RunAdd();
  return Load(path);
}

bool CTransformerItem::Load(std::string_view path) {
  auto document = xml::Document::Create();
  if (!document->load(path)) return false;
  xml::NodePtr root = document->documentElement();
  if (!root) return false;
  // The nested form keeps the texts in one "transform" entry; the flat form
  // has them straight under the document element.
  xml::NodePtr holder = root;
  if (!ChildElement(root, "ProgID"))
    if (xml::NodePtr entry = ChildElement(root, "transform"); entry && entry->hasChildNodes()) holder = entry;
  for (int field = 0; field < kFieldCount; ++field) {
    xml::NodePtr element = ChildElement(holder, kElementNames[static_cast<size_t>(field)]);
    fields_[static_cast<size_t>(field)] = element ? element->text() : std::string();
  }
  path_ = std::string(path);
  return true;
}

bool CTransformerItem::Write(std::string_view path) const {
  CXmlDocument document;
  bool built = SUCCEEDED(document.CreateRoot("QuorTransform", "")) &&
               SUCCEEDED(document.AddChild("transform", "")) && SUCCEEDED(document.MoveToChild(0));
  for (size_t field = 0; built && field < fields_.size(); ++field)
    built = SUCCEEDED(document.AddChild(kElementNames[field], fields_[field]));
  if (!built || FAILED(document.Save(path))) {
    CMessageBox::Error(text::Format("Unable to save %s.", path));
    return false;
  }
  return true;
}

bool CTransformerItem::RunAdd() {
  console::IDialogHost* dialogs = Module::Dialogs();
  if (!dialogs) return false;
  const console::DialogReply chosen = dialogs->ChoosePath({"", "*.so", true});
  if (!chosen.ok || chosen.text.empty()) return false;
  std::error_code ec;
  const stdfs::path absolute = stdfs::absolute(chosen.text, ec);
  const std::string library = ec ? chosen.text : absolute.string();

  const std::vector<std::string> served = ProgIdsServedBy(library);
  const std::set<std::string> before(served.begin(), served.end());
  if (RunRegistration(library) != 0) {
    CMessageBox::Error(text::Format("Unable to register %s.  Please check to sure it is a COM dll.", library));
    return false;
  }
  const std::string progId = RegisteredProgId(library, before);

  std::string home = RegistryAccess().ReadServiceText("HomeDir");
  if (home.empty()) home = Module::HomeDir();
  const std::string folder = CTransformersNode::TransformFolder(home);
  if (folder.empty()) {
    CMessageBox::Error("The service's home directory is not set.");
    return false;
  }
  // The save dialog opens where it can; a missing folder fails the save itself.
  fs::CreateFolders(folder).Ignore();
  const console::DialogReply saved = dialogs->AskSavePath({folder, ""});
  if (!saved.ok || saved.text.empty()) return false;

  fields_ = {};
  fields_[kProgId] = progId;
  if (!Write(saved.text)) return false;
  path_ = saved.text;
  return true;
}

void CTransformerItem::Edit(console::IResultData* result) {
  console::IDialogHost* dialogs = Module::Dialogs();
  if (dialogs) {
    // Source and Result stay as they are; the Rule is editable because the
    // service hands it to the transformer.
    static constexpr std::pair<Field, std::string_view> kEditable[] = {
        {kProgId, "Program ID:"}, {kMethod, "Method:"}, {kRule, "Rule:"}, {kDescription, "Description:"}};
    std::array<std::string, kFieldCount> edited = fields_;
    bool ok = true;
    for (const auto& [field, prompt] : kEditable) {
      const console::DialogReply reply =
          dialogs->AskText({"Transformer Configuration", std::string(prompt), fields_[field], true});
      if (!reply.ok) {
        ok = false;
        break;
      }
      edited[field] = reply.text;
    }
    if (ok) {
      std::array<std::string, kFieldCount> previous = std::exchange(fields_, edited);
      if (!Write(path_)) fields_ = std::move(previous);
    }
  }
  if (result) {
    DeleteRow(*result);
    InsertRow(*result);
  }
}

void CTransformerItem::Remove(console::IResultData* result, bool proceedUnlessNo) {
  const std::string& name = fields_[kProgId];
  const int answer = CMessageBox::Warning(text::Format("Are you sure you want to remove %s transformer?", name));
  if (proceedUnlessNo ? answer == console::IDNO : answer != console::IDYES) return;
  if (!fs::DeleteFile(path_).ok()) {
    CMessageBox::Error(text::Format("Error:  Unable to remove %s transformer.", name));
    return;
  }
  CMessageBox::Information(text::Format("%s is removed.", name));
  removed_ = true;
  if (result) DeleteRow(*result);
}

HRESULT CTransformerItem::Notify(uint32_t event, std::intptr_t, std::intptr_t, CQuorAdminMMC* componentData,
                                 CQuorAdminMMCComponent* component, uint32_t) {
  console::IConsole* console = ConsoleOf(componentData, component);
  console::IResultData* result = console ? console->ResultData() : nullptr;
  switch (event) {
    case console::MMCN_DBLCLICK:
      Edit(result);
      return S_OK;
    case console::MMCN_DELETE:
      Remove(result, true);
      return S_OK;
    case console::MMCN_EXPAND:
    case console::MMCN_SHOW:
      return S_OK;
    default:
      return E_NOTIMPL;
  }
}

HRESULT CTransformerItem::AddMenuItems(console::IContextMenuCallback* callback, long allowed, uint32_t) {
  if (!(allowed & console::CCM_INSERTIONALLOWED_TOP)) return S_OK;
  if (!callback) return E_POINTER;
  console::MenuItem item;
  item.name = "&Remove";
  item.commandId = ID_REMOVE;
  item.insertionPointId = console::CCM_INSERTIONPOINTID_PRIMARY_TOP;
  item.flags = console::MF_ENABLED;
  return callback->AddItem(item);
}

HRESULT CTransformerItem::Command(long commandId, uint32_t) {
  if (commandId == ID_REMOVE) Remove(owner_ ? owner_->ShownResult() : nullptr, false);
  return S_OK;
}

std::string CTransformerItem::GetResultPaneColInfo(int column) {
  Module::SetResultPaneFlag(1);
  if (column >= 0 && column < kFieldCount) return fields_[static_cast<size_t>(column)];
  if (column == kFieldCount) return path_;
  return {};
}

// ---- CTransformersNode ------------------------------------------------------------------

const NodeIdentity CTransformersNode::kIdentity{"7DD48E7B-FEEE-49B4-A160-DF898DF5A451", "Transformers",
                                                IDR_TRANSFORMERS_MENU, 16};

CTransformersNode::CTransformersNode() : CSnapInItem("Transformers", kIdentity) { Scan(); }

CTransformersNode::~CTransformersNode() = default;

std::string CTransformersNode::TransformFolder(std::string_view home) {
  if (home.empty()) return {};
  std::string folder(home);
  if (folder.back() != '/') folder += '/';
  return folder + "transform/";
}

void CTransformersNode::Scan() {
  items_.clear();
  const std::string folder = TransformFolder(Module::HomeDir());
  if (folder.empty()) return;
  // The service reads the folder in this same order, so row N is "trans:N".
  const Result<std::vector<std::string>> names = fs::ListFiles(folder, "*.xml");
  if (!names.ok()) return;
  for (const std::string& name : *names) {
    const std::string path = folder + name;
    auto item = std::make_unique<CTransformerItem>(this);
    if (!item->LoadOrCreate(path)) {
      if (console::IDialogHost* dialogs = Module::Dialogs())
        dialogs->MessageBox(path + " was invalid.", "Transformer Config File Error",
                            console::MB_OK | CMessageBox::ExtraStyle());
      continue;
    }
    items_.push_back(std::move(item));
  }
}

console::IResultData* CTransformersNode::ShownResult() const { return shown_ ? shown_->ResultData() : nullptr; }

void CTransformersNode::InsertRows(console::IResultData& result) {
  for (auto& item : items_) item->InsertRow(result);
}

HRESULT CTransformersNode::OnShow(console::IConsole& console, bool showing) {
  return ShowItemRows(console, showing, items_, &shown_, kColumns, kDescription, [&](console::IResultData& result) {
    std::erase_if(items_, [](const std::unique_ptr<CTransformerItem>& item) { return item->Removed(); });
    InsertRows(result);
  });
}

HRESULT CTransformersNode::OnRefresh(console::IConsole& console, std::intptr_t) {
  // Always rescans: files added or removed behind the console's back show up.
  console::IResultData* result = console.ResultData();
  if (!result) return E_UNEXPECTED;
  result->DeleteAllRsltItems();
  Scan();
  InsertRows(*result);
  return S_OK;
}

HRESULT CTransformersNode::Notify(uint32_t event, std::intptr_t arg, std::intptr_t param,
                                  CQuorAdminMMC* componentData, CQuorAdminMMCComponent* component, uint32_t type) {
  if (event == console::MMCN_VIEW_CHANGE) {
    CMessageBox::Information("Update Transformers");
    return S_OK;
  }
  return CSnapInItem::Notify(event, arg, param, componentData, component, type);
}

HRESULT CTransformersNode::Command(long commandId, uint32_t) {
  if (commandId != ID_ADD_TRANSFORMER) return S_OK;
  auto item = std::make_unique<CTransformerItem>(this);
  if (!item->LoadOrCreate({})) return S_OK;
  if (console::IResultData* result = ShownResult()) item->InsertRow(*result);
  items_.push_back(std::move(item));
  CMessageBox::Information("New transformer added.");
  return S_OK;
}

}  // namespace quor::admin::snapin
