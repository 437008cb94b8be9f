#include "admin/snapin/QuorAdminMMC.h"

#include "admin/ConsoleLog.h"
#include "admin/snapin/SnapInModule.h"

namespace quor::admin::snapin {

namespace {

void Log(std::string_view line) { ConsoleLog::Instance().Write(line); }

// The data object's node and type; null when the object is not ours.
CSnapInItem* NodeAndType(console::IDataObject* dataObject, uint32_t& type) {
  type = console::CCT_UNINITIALIZED;
  return CSnapInDataObject::NodeOf(dataObject, &type);
}

}  // namespace

// ---- CQuorAdminMMC ----------------------------------------------------------------------

CQuorAdminMMC::CQuorAdminMMC() {
  Log("CQuorAdminMMC Start");
  Log("CQuorAdminMMC Started");
}

CQuorAdminMMC::~CQuorAdminMMC() {
  Log("CQuorAdminMMC End");
  root_.reset();
  ReleaseConsole();
}

void CQuorAdminMMC::ReleaseConsole() {
  // The host may be gone by now: compare the pointers, call nothing on them.
  if (dialogs_ && Module::Dialogs() == dialogs_) Module::SetDialogs(nullptr);
  dialogs_ = nullptr;
  console_ = nullptr;
}

HRESULT CQuorAdminMMC::Initialize(console::IConsole* console) {
  Log("Initialize");
  if (!console) return E_POINTER;
  console_ = console;
  // The root signs in as it is made, and the sign-in needs the console's
  // dialogs: so the root comes with the console, once.
  dialogs_ = console->Dialogs();
  Module::SetDialogs(dialogs_);
  if (!root_) root_ = std::make_unique<CQuorAdminMMCData>(std::string(kRootName));
  console::IImageList* images = console->QueryScopeImageList();
  if (!images || FAILED(images->ImageListSetStrip(smallStrip_, largeStrip_, 0, kStripMask))) return E_UNEXPECTED;
  return S_OK;
}

HRESULT CQuorAdminMMC::CreateComponent(console::IComponent** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  com::ComPtr<CQuorAdminMMCComponent> component =
      com::MakeObject<CQuorAdminMMCComponent>(com::ComPtr<CQuorAdminMMC>(this));
  return component->QueryInterface(console::IComponent::kIid, reinterpret_cast<void**>(out));
}

CSnapInItem* CQuorAdminMMC::NodeOf(console::Cookie cookie) const {
  // A cookie is the address of one of our nodes, handed to the host in the
  // node's own records; 0 stands for the root.
  return cookie == 0 ? root_.get() : reinterpret_cast<CSnapInItem*>(cookie);
}

HRESULT CQuorAdminMMC::Notify(console::IDataObject* dataObject, uint32_t event, std::intptr_t arg,
                              std::intptr_t param) {
  uint32_t type = 0;
  CSnapInItem* node = NodeAndType(dataObject, type);
  if (!node) return E_NOTIMPL;
  return node->Notify(event, arg, param, this, nullptr, console::CCT_SCOPE);
}

HRESULT CQuorAdminMMC::Destroy() {
  root_.reset();
  ReleaseConsole();
  return S_OK;
}

HRESULT CQuorAdminMMC::QueryDataObject(console::Cookie cookie, uint32_t type, console::IDataObject** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  CSnapInItem* node = NodeOf(cookie);
  return node ? node->GetDataObject(out, type) : E_UNEXPECTED;
}

HRESULT CQuorAdminMMC::GetDisplayInfo(console::ScopeItem& item) {
  CSnapInItem* node = NodeOf(item.param);
  return node ? node->GetScopePaneInfo(item) : E_UNEXPECTED;
}

HRESULT CQuorAdminMMC::AddMenuItems(console::IDataObject* dataObject, console::IContextMenuCallback* callback,
                                    long allowed) {
  uint32_t type = 0;
  CSnapInItem* node = NodeAndType(dataObject, type);
  return node ? node->AddMenuItems(callback, allowed, type) : E_UNEXPECTED;
}

HRESULT CQuorAdminMMC::Command(long commandId, console::IDataObject* dataObject) {
  uint32_t type = 0;
  CSnapInItem* node = NodeAndType(dataObject, type);
  return node ? node->Command(commandId, type) : E_UNEXPECTED;
}

HRESULT CQuorAdminMMC::CreatePropertyPages(console::IPropertySheetCallback* callback, std::intptr_t handle,
                                           console::IDataObject* dataObject) {
  uint32_t type = 0;
  CSnapInItem* node = NodeAndType(dataObject, type);
  return node ? node->CreatePropertyPages(callback, handle, type) : E_UNEXPECTED;
}

HRESULT CQuorAdminMMC::QueryPagesFor(console::IDataObject* dataObject) {
  uint32_t type = 0;
  CSnapInItem* node = NodeAndType(dataObject, type);
  return node ? node->QueryPagesFor(type) : E_UNEXPECTED;
}

HRESULT CQuorAdminMMC::GetClassID(com::CLSID&) { return E_NOTIMPL; }
HRESULT CQuorAdminMMC::IsDirty() { return S_FALSE; }
HRESULT CQuorAdminMMC::Load(std::span<const uint8_t>) { return S_OK; }
HRESULT CQuorAdminMMC::Save(std::vector<uint8_t>&, bool) { return S_OK; }
HRESULT CQuorAdminMMC::GetSizeMax(uint64_t&) { return E_NOTIMPL; }
HRESULT CQuorAdminMMC::InitNew() { return S_OK; }

// ---- CQuorAdminMMCComponent ---------------------------------------------------------------

CQuorAdminMMCComponent::CQuorAdminMMCComponent(com::ComPtr<CQuorAdminMMC> owner) : owner_(std::move(owner)) {
  Log("Start");
}

CQuorAdminMMCComponent::~CQuorAdminMMCComponent() { Log("End"); }

HRESULT CQuorAdminMMCComponent::Initialize(console::IConsole* console) {
  if (!console) return E_POINTER;
  console_ = console;
  return S_OK;
}

HRESULT CQuorAdminMMCComponent::Notify(console::IDataObject* dataObject, uint32_t event, std::intptr_t arg,
                                       std::intptr_t param) {
  if (event == console::MMCN_ADD_IMAGES) {
    auto* images = reinterpret_cast<console::IImageList*>(arg);
    if (!images) return E_POINTER;
    return images->ImageListSetStrip(smallStrip_, largeStrip_, 0, kStripMask);
  }
  uint32_t type = 0;
  CSnapInItem* node = NodeAndType(dataObject, type);
  if (!node) return E_NOTIMPL;
  return node->Notify(event, arg, param, nullptr, this, type);
}

HRESULT CQuorAdminMMCComponent::Destroy(console::Cookie) {
  console_ = nullptr;
  return S_OK;
}

HRESULT CQuorAdminMMCComponent::QueryDataObject(console::Cookie cookie, uint32_t type, console::IDataObject** out) {
  return owner_->QueryDataObject(cookie, type, out);
}

HRESULT CQuorAdminMMCComponent::GetResultViewType(console::Cookie cookie, std::string& viewType, long& options) {
  CSnapInItem* node = owner_->NodeOf(cookie);
  return node ? node->GetResultViewType(viewType, options) : E_UNEXPECTED;
}

HRESULT CQuorAdminMMCComponent::GetDisplayInfo(console::ResultItem& item) {
  CSnapInItem* node = owner_->NodeOf(item.param);
  return node ? node->GetResultPaneInfo(item) : E_UNEXPECTED;
}

HRESULT CQuorAdminMMCComponent::AddMenuItems(console::IDataObject* dataObject, console::IContextMenuCallback* callback,
                                             long allowed) {
  return owner_->AddMenuItems(dataObject, callback, allowed);
}

HRESULT CQuorAdminMMCComponent::Command(long commandId, console::IDataObject* dataObject) {
  return owner_->Command(commandId, dataObject);
}

HRESULT CQuorAdminMMCComponent::CreatePropertyPages(console::IPropertySheetCallback* callback, std::intptr_t handle,
                                                    console::IDataObject* dataObject) {
  return owner_->CreatePropertyPages(callback, handle, dataObject);
}

HRESULT CQuorAdminMMCComponent::QueryPagesFor(console::IDataObject* dataObject) {
  return owner_->QueryPagesFor(dataObject);
}

HRESULT CQuorAdminMMCComponent::GetClassID(com::CLSID&) { return E_NOTIMPL; }
HRESULT CQuorAdminMMCComponent::IsDirty() { return S_FALSE; }
HRESULT CQuorAdminMMCComponent::Load(std::span<const uint8_t>) { return S_OK; }
HRESULT CQuorAdminMMCComponent::Save(std::vector<uint8_t>&, bool) { return S_OK; }
HRESULT CQuorAdminMMCComponent::GetSizeMax(uint64_t&) { return E_NOTIMPL; }
HRESULT CQuorAdminMMCComponent::InitNew() { return S_OK; }

// ---- CQuorAdminMMCAbout -------------------------------------------------------------------

HRESULT CQuorAdminMMCAbout::GetSnapinDescription(std::string& text) {
  text = LoadString(IDS_DESCRIPTION);
  return S_OK;
}

HRESULT CQuorAdminMMCAbout::GetProvider(std::string& text) {
  text = LoadString(IDS_PROVIDER);
  return S_OK;
}

HRESULT CQuorAdminMMCAbout::GetSnapinVersion(std::string& text) {
  text = LoadString(IDS_VERSION);
  return S_OK;
}

HRESULT CQuorAdminMMCAbout::GetStaticFolderImage(console::ImageStrip& smallImage, console::ImageStrip& largeImage,
                                                 uint32_t& mask) {
  smallImage = {};
  smallImage.resourceId = IDB_SMALL_STRIP;
  smallImage.size = 16;
  largeImage = {};
  largeImage.resourceId = IDB_LARGE_STRIP;
  largeImage.size = 32;
  mask = kStripMask;
  return S_OK;
}

}  // namespace quor::admin::snapin
