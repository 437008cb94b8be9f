#include "admin/snapin/SnapInItem.h"

#include <algorithm>

#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/Resources.h"
#include "admin/snapin/SnapInModule.h"

namespace quor::admin::snapin {

namespace {

// Our data objects answer this private interface with their own address, so
// that a data object the host hands back leads to its node.
constexpr com::IID kIidSnapInDataObject = com::Guid::Literal("{8D2A41C6-0F5B-4E7A-B3C9-6E1D2F4A7B80}");

constexpr long kInsertionPoints[4] = {
    console::CCM_INSERTIONPOINTID_PRIMARY_TOP, console::CCM_INSERTIONPOINTID_PRIMARY_NEW,
    console::CCM_INSERTIONPOINTID_PRIMARY_TASK, console::CCM_INSERTIONPOINTID_PRIMARY_VIEW};
constexpr long kInsertionAllowed[4] = {console::CCM_INSERTIONALLOWED_TOP, console::CCM_INSERTIONALLOWED_NEW,
                                       console::CCM_INSERTIONALLOWED_TASK, console::CCM_INSERTIONALLOWED_VIEW};

// The status-bar text of a menu item is limited to what its buffer held.
constexpr size_t kStatusBarMax = 255;

}  // namespace

void InsertColumns(console::IHeaderCtrl* header, std::span<const ResultColumn> columns) {
  if (!header) return;
  for (size_t column = 0; column < columns.size(); ++column) {
    const int index = static_cast<int>(column);
    const ResultColumn& shape = columns[column];
    header->InsertColumn(index, shape.title, console::LVCFMT_LEFT, shape.sizedAfter ? console::MMCLV_AUTO : shape.width);
    if (shape.sizedAfter) header->SetColumnWidth(index, shape.width);
  }
}

std::string ConfigFolder(std::string_view home) {
  if (home.empty()) return {};
  std::string folder(home);
  if (folder.back() != '/') folder += '/';
  return folder + "config/";
}

CSnapInItem::CSnapInItem(std::string displayName, const NodeIdentity& identity)
    : displayName_(std::move(displayName)), identity_(identity) {
  nodeType_ = com::Guid::Parse(identity.nodeType).value_or(com::GUID_NULL);
  nodeTypeText_ = nodeType_.Format().substr(1, 36);
  const int resultImage = identity.resultImage < 0 ? identity.image : identity.resultImage;
  scopeData_.mask = console::SDI_STR | console::SDI_IMAGE | console::SDI_OPENIMAGE | console::SDI_PARAM;
  scopeData_.image = identity.image;
  scopeData_.openImage = identity.image;
  scopeData_.param = CookieValue();
  resultData_.mask = console::RDI_STR | console::RDI_IMAGE | console::RDI_PARAM;
  if (identity.leaf) resultData_.mask |= console::RDI_INDEX;
  resultData_.image = resultImage;
  resultData_.param = CookieValue();
}

CSnapInItem::~CSnapInItem() = default;

HRESULT CSnapInItem::Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                            CQuorAdminMMCComponent* component, uint32_t /*type*/) {
  console::IConsole* console = componentData ? componentData->Console() : component ? component->Console() : nullptr;
  if (!console) return E_UNEXPECTED;
  switch (event) {
    case console::MMCN_EXPAND: {
      if (arg == 0) return S_OK;  // collapsing
      console::IConsoleNameSpace* nameSpace = console->NameSpace();
      if (!nameSpace) return E_UNEXPECTED;
      return InsertChildren(*nameSpace, param);
    }
    case console::MMCN_REFRESH:
      return OnRefresh(*console, param);
    case console::MMCN_SELECT: {
      console::IConsoleVerb* verbs = console->ConsoleVerb();
      if (!verbs) return E_UNEXPECTED;
      OnSelect(*verbs);
      return S_OK;
    }
    case console::MMCN_SHOW:
      return OnShow(*console, arg != 0);
    default:
      return E_NOTIMPL;
  }
}

HRESULT CSnapInItem::InsertChildren(console::IConsoleNameSpace& nameSpace, console::ScopeHandle parent) {
  HRESULT status = S_OK;
  for (CSnapInItem* child : ScopeChildren()) {
    child->scopeData_.relativeId = parent;
    status = nameSpace.InsertItem(child->scopeData_);
  }
  return status;
}

void CSnapInItem::OnSelect(console::IConsoleVerb& verbs) {
  verbs.SetVerbState(console::MMC_VERB_REFRESH, console::ENABLED, true);
}

void CSnapInItem::EnablePropertiesOnSelect(std::intptr_t arg, CQuorAdminMMC* componentData,
                                           CQuorAdminMMCComponent* component) {
  // The high word says whether the item is being selected.
  if (((arg >> 16) & 0xFFFF) == 0) return;
  console::IConsole* console = componentData ? componentData->Console() : component ? component->Console() : nullptr;
  if (console::IConsoleVerb* verbs = console ? console->ConsoleVerb() : nullptr)
    verbs->SetVerbState(console::MMC_VERB_PROPERTIES, console::ENABLED, true);
}

HRESULT CSnapInItem::OnShow(console::IConsole& console, bool /*showing*/) {
  return console.ResultData() ? S_OK : E_UNEXPECTED;
}

HRESULT CSnapInItem::OnRefresh(console::IConsole& /*console*/, std::intptr_t /*param*/) { return S_OK; }

HRESULT CSnapInItem::InsertRow(console::IResultData& result) {
  resultData_.itemId = 0;
  return result.InsertItem(resultData_);
}

void CSnapInItem::DeleteRow(console::IResultData& result) {
  if (resultData_.itemId != 0) result.DeleteItem(resultData_.itemId, 0);
  resultData_.itemId = 0;
}

HRESULT CSnapInItem::GetScopePaneInfo(console::ScopeItem& item) {
  if (item.mask & console::SDI_STR) item.text = displayName_;
  if (item.mask & console::SDI_IMAGE) item.image = scopeData_.image;
  if (item.mask & console::SDI_OPENIMAGE) item.openImage = scopeData_.openImage;
  if (item.mask & console::SDI_PARAM) item.param = scopeData_.param;
  if (item.mask & console::SDI_STATE) item.state = scopeData_.state;
  return S_OK;
}

HRESULT CSnapInItem::GetResultViewType(std::string& viewType, long& options) {
  viewType.clear();
  options = 0;
  return S_FALSE;
}

HRESULT CSnapInItem::GetResultPaneInfo(console::ResultItem& item) {
  if (item.mask & console::RDI_STR) item.text = GetResultPaneColInfo(item.column);
  if (item.mask & console::RDI_IMAGE) item.image = resultData_.image;
  if (item.mask & console::RDI_PARAM) item.param = resultData_.param;
  if (item.mask & console::RDI_INDEX) item.index = resultData_.index;
  return S_OK;
}

std::string CSnapInItem::GetResultPaneColInfo(int column) {
  Module::SetResultPaneFlag(0);
  return column == 0 ? displayName_ : std::string();
}

long CSnapInItem::MenuItemState(long /*commandId*/) { return console::MF_ENABLED; }

HRESULT CSnapInItem::AddMenuItems(console::IContextMenuCallback* callback, long allowed, uint32_t /*type*/) {
  const MenuResource* menu = FindMenu(identity_.menuId);
  if (!menu) return S_OK;
  if (!callback) return E_POINTER;
  for (size_t point = 0; point < 4; ++point) {
    if (!(allowed & kInsertionAllowed[point])) continue;
    for (const MenuEntry& entry : menu->popups[point]) {
      if (!entry.isText) continue;
      console::MenuItem item;
      item.name = entry.text;
      item.statusBarText = LoadString(static_cast<int>(entry.commandId)).substr(0, kStatusBarMax);
      item.commandId = entry.commandId;
      item.insertionPointId = kInsertionPoints[point];
      item.flags = MenuItemState(entry.commandId);
      if (HRESULT hr = callback->AddItem(item); FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

HRESULT CSnapInItem::Command(long /*commandId*/, uint32_t /*type*/) { return S_OK; }

HRESULT CSnapInItem::CreatePropertyPages(console::IPropertySheetCallback* callback, std::intptr_t /*handle*/,
                                         uint32_t type) {
  if (type != console::CCT_SCOPE && type != console::CCT_RESULT) return E_UNEXPECTED;
  if (!callback) return E_POINTER;
  for (auto& page : MakePages())
    if (HRESULT hr = callback->AddPage(std::move(page)); FAILED(hr)) return hr;
  return S_OK;
}

HRESULT CSnapInItem::QueryPagesFor(uint32_t type) {
  return type == console::CCT_SCOPE || type == console::CCT_RESULT ? S_OK : S_FALSE;
}

HRESULT CSnapInItem::SetControlbar() { return S_OK; }

HRESULT CSnapInItem::ControlbarNotify(uint32_t event, std::intptr_t arg, uint32_t type) {
  if (event == console::MMCN_SELECT) return S_OK;  // no toolbar buttons to show
  if (event == console::MMCN_BTN_CLICK) return Command(static_cast<long>(arg), type);
  return E_UNEXPECTED;
}

HRESULT CSnapInItem::GetScopeData(console::ScopeItem** out) {
  if (!out) return E_FAIL;
  *out = &scopeData_;
  return S_OK;
}

HRESULT CSnapInItem::GetResultData(console::ResultItem** out) {
  if (!out) return E_FAIL;
  *out = &resultData_;
  return S_OK;
}

HRESULT CSnapInItem::FillData(std::string_view format, std::vector<uint8_t>& stream) {
  if (format == console::CCF_NODETYPE) {
    stream = console::GuidBytes(nodeType_);
  } else if (format == console::CCF_SZNODETYPE) {
    stream = console::WideBytes(nodeTypeText_);
  } else if (format == console::CCF_DISPLAY_NAME) {
    stream = console::WideBytes(identity_.dataName);
  } else if (format == console::CCF_SNAPIN_CLASSID) {
    stream = console::GuidBytes(kClsidQuorAdminMMC);
  } else {
    return console::DV_E_CLIPFORMAT;
  }
  return S_OK;
}

HRESULT CSnapInItem::GetDataObject(console::IDataObject** out, uint32_t type) {
  if (!out) return E_POINTER;
  *out = nullptr;
  InitDataClass();
  com::ComPtr<CSnapInDataObject> object = com::MakeObject<CSnapInDataObject>(this, type);
  return object->QueryInterface(console::IDataObject::kIid, reinterpret_cast<void**>(out));
}

HRESULT CSnapInDataObject::GetDataHere(std::string_view format, std::vector<uint8_t>& out) {
  return node_ ? node_->FillData(format, out) : E_UNEXPECTED;
}

void* CSnapInDataObject::FindExtraInterface(const com::IID& iid) {
  return iid == kIidSnapInDataObject ? this : nullptr;
}

CSnapInItem* CSnapInDataObject::NodeOf(console::IDataObject* dataObject, uint32_t* type) {
  if (!dataObject) return nullptr;
  void* found = nullptr;
  if (FAILED(dataObject->QueryInterface(kIidSnapInDataObject, &found)) || !found) return nullptr;
  auto* ours = static_cast<CSnapInDataObject*>(found);
  CSnapInItem* node = ours->node_;
  if (type) *type = ours->type_;
  ours->Release();
  return node;
}

}  // namespace quor::admin::snapin
