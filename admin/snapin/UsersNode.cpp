#include "admin/snapin/UsersNode.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "admin/VeltService.h"
#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/Resources.h"
#include "admin/snapin/SnapInModule.h"
#include "platform/text/text.h"

namespace quor::admin::snapin {

namespace {

constexpr ResultColumn kColumns[] = {{"Name", 200, true}};
// The image the host gets for a user's row in a result pane.
constexpr int kResultRowImage = 2;

console::IConsole* ConsoleOf(CQuorAdminMMC* componentData, CQuorAdminMMCComponent* component) {
  return componentData ? componentData->Console() : component ? component->Console() : nullptr;
}

// The whole file, opened for reading only: a template that is not there is
// an error, never an empty file made on the spot.
std::optional<std::string> ReadTemplate(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

// The length of the UTF-8 sequence that `lead` begins.
size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  return 4;
}

}  // namespace

// ---- CUserItem ----------------------------------------------------------------------------

const NodeIdentity CUserItem::kIdentity{"0D6F0858-B718-4547-91A3-9E6581C72F4E", "User", IDR_REMOVE_MENU, 18};

CUserItem::CUserItem(std::string userName)
    : CSnapInItem(userName, kIdentity),
      user_(std::move(userName)),
      vesks_(std::make_unique<CVeskNode>(user_)),
      logs_(std::make_unique<CLogsNode>(user_)) {}

CUserItem::~CUserItem() = default;

std::vector<CSnapInItem*> CUserItem::ScopeChildren() { return {vesks_.get(), logs_.get()}; }

HRESULT CUserItem::Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                          CQuorAdminMMCComponent* component, uint32_t type) {
  switch (event) {
    case console::MMCN_EXPAND:
      return CSnapInItem::Notify(event, arg, param, componentData, component, type);
    case console::MMCN_SHOW:
      return S_OK;
    default:
      return E_NOTIMPL;
  }
}

HRESULT CUserItem::GetResultPaneInfo(console::ResultItem& item) {
  const HRESULT hr = CSnapInItem::GetResultPaneInfo(item);
  if (item.mask & console::RDI_IMAGE) item.image = kResultRowImage;
  return hr;
}

HRESULT CUserItem::Command(long commandId, uint32_t) {
  if (commandId == ID_REMOVE) Remove();
  return S_OK;
}

std::string CUserItem::GetResultPaneColInfo(int column) {
  Module::SetResultPaneFlag(0);
  return column == 0 ? user_ : std::string();
}

void CUserItem::Remove() {
  if (removed_) {
    CMessageBox::Information(text::Format("User %s is already removed.", user_));
    return;
  }
  if (CMessageBox::Warning(text::Format("Are you sure you want to remove user %s?", user_)) != console::IDYES) return;
  // Each failed step was shown with the service's reason; the user stays.
  if (!vesks_->RemoveAll()) return;
  CMessageBox::Information(text::Format("User %s is removed.  Please refresh the Users node.", user_));
  removed_ = true;
}

// ---- CUsersNode ---------------------------------------------------------------------------

const NodeIdentity CUsersNode::kIdentity{"5664669B-B0A0-46A3-8F76-5BBA01163E6B", "Users", IDR_USERS_MENU, 17};

CUsersNode::CUsersNode() : CSnapInItem("Users", kIdentity) {}

CUsersNode::~CUsersNode() = default;

void CUsersNode::ForgetItems() {
  console::IResultData* result = shown_ ? shown_->ResultData() : nullptr;
  for (auto& item : items_) {
    if (item->scopeData_.id != 0 && nameSpace_) nameSpace_->DeleteItem(item->scopeData_.id, true);
    item->scopeData_.id = 0;
    if (result) item->DeleteRow(*result);
    item->ForgetRow();
  }
  items_.clear();
}

void CUsersNode::InsertScope(CUserItem& item) {
  if (!nameSpace_) return;
  item.scopeData_.relativeId = OwnScope();
  nameSpace_->InsertItem(item.scopeData_);
}

bool CUsersNode::Fill() {
  ForgetItems();
  if (!CallService("GetAllVOUserList")) return false;
  CVeltService& answer = *Module::Service();
  answer.MoveToRoot();
  const int count = answer.ChildCount();
  for (int i = 0; i < count; ++i) {
    std::string name = answer.GetChildText(i);
    if (name.empty()) continue;
    const bool listed = std::any_of(items_.begin(), items_.end(), [&](const std::unique_ptr<CUserItem>& item) {
      return SameUserName(item->user_, name);
    });
    if (listed) continue;
    addedName_ = name;
    items_.push_back(std::make_unique<CUserItem>(std::move(name)));
  }
  return true;
}

HRESULT CUsersNode::Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                           CQuorAdminMMCComponent* component, uint32_t type) {
  if (event != console::MMCN_EXPAND) return CSnapInItem::Notify(event, arg, param, componentData, component, type);
  console::IConsole* console = ConsoleOf(componentData, component);
  if (!console) return E_UNEXPECTED;
  if (arg == 0) return S_OK;  // collapsing
  console::IConsoleNameSpace* nameSpace = console->NameSpace();
  if (!nameSpace) return E_UNEXPECTED;
  nameSpace_ = nameSpace;
  ownScope_ = static_cast<console::ScopeHandle>(param);
  Fill();
  for (auto& item : items_) InsertScope(*item);
  return S_OK;
}

HRESULT CUsersNode::OnShow(console::IConsole& console, bool showing) {
  return ShowItemRows(console, showing, items_, &shown_, kColumns, std::nullopt, [](console::IResultData&) {});
}

HRESULT CUsersNode::OnRefresh(console::IConsole& console, std::intptr_t) {
  if (console::IConsoleNameSpace* nameSpace = console.NameSpace()) nameSpace_ = nameSpace;
  Fill();
  for (auto& item : items_) InsertScope(*item);
  return S_OK;
}

HRESULT CUsersNode::Command(long commandId, uint32_t) {
  if (commandId == ID_ADD_USER) AddUser();
  return S_OK;
}

std::optional<std::string> CUsersNode::TemplateContent(std::string_view bytes) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  std::u16string wide;
  wide.reserve(bytes.size() / 2);
  for (size_t i = 0; i < bytes.size(); i += 2)
    wide.push_back(
        static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  std::string content;
  if (!text::Utf16ToUtf8(wide, content)) return std::nullopt;
  // A text that does not open with "<" carries a byte-order mark first.
  if (!content.empty() && content.front() != '<')
    content.erase(0, std::min(content.size(), SequenceLength(static_cast<unsigned char>(content.front()))));
  // What follows the document (a line break, an end-of-file mark) is not part
  // of the content.
  if (const size_t last = content.rfind('>'); last != std::string::npos) content.erase(last + 1);
  return content;
}

bool CUsersNode::AddUser() {
  console::IDialogHost* dialogs = Module::Dialogs();
  if (!dialogs) return false;
  const console::DialogReply named = dialogs->AskText({"Add User", "User Name", "", false});
  if (!named.ok || named.text.empty()) return false;
  const std::string user = named.text;
  addedName_ = user;
  const console::DialogReply chosen = dialogs->ChoosePath({"", "*.000", true});
  if (!chosen.ok || chosen.text.empty()) return false;
  const std::string& path = chosen.text;

  // The template is read before anything is created, so that a bad file
  // leaves the service as it was.
  const std::optional<std::string> bytes = ReadTemplate(path);
  if (!bytes) {
    CMessageBox::Error(text::Format("Unable to open the template %s file.", path));
    return false;
  }
  const std::optional<std::string> content = TemplateContent(*bytes);
  if (!content) {
    CMessageBox::Error(text::Format("The template %s file is not UTF-16 text.", path));
    return false;
  }

  if (!CallService("PutVOURI", {{"vouser", user}, {"name", kFirstObjectName}})) return false;
  if (!CallService("GetVOURI", {{"vouser", user}, {"name", kFirstObjectName}})) return false;
  CVeltService& answer = *Module::Service();
  answer.MoveToRoot();
  const std::string uri = answer.GetChildText(0);
  if (uri.empty()) {
    CMessageBox::Error(text::Format("Unable to find %s of user %s.", kFirstObjectName, user));
    return false;
  }
  if (!content->empty() && !CallService("UpdateVOContentbyURI", {{"uri", uri}, {"content", *content}})) {
    // An object without its template's content is no usable first object.
    CallService("RemoveVOURI", {{"uri", uri}}, false);
    return false;
  }

  const bool listed = std::any_of(items_.begin(), items_.end(), [&](const std::unique_ptr<CUserItem>& item) {
    return !item->removed_ && SameUserName(item->user_, user);
  });
  if (listed) return true;
  auto item = std::make_unique<CUserItem>(user);
  InsertScope(*item);
  if (console::IResultData* result = shown_ ? shown_->ResultData() : nullptr) item->InsertRow(*result);
  items_.push_back(std::move(item));
  return true;
}

}  // namespace quor::admin::snapin
