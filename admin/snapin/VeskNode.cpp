#include "admin/snapin/VeskNode.h"

#include <array>
#include <locale>
#include <stdexcept>

#include "admin/VeltService.h"
#include "admin/snapin/ACLEditor.h"
#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/Resources.h"
#include "admin/snapin/SnapInModule.h"
#include "platform/text/text.h"

namespace quor::admin::snapin {

namespace {

constexpr std::array<ResultColumn, 5> kColumns = {{{"Name", 100, true},
                                                   {"URI", 200, true},
                                                   {"CreateDate", 150, true},
                                                   {"UpdateDate", 150, true},
                                                   {"AccessList", 100, true}}};

// Positions in one object's entry of the GetAllVOList answer.
constexpr int kOwnerChild = 0;
constexpr int kNameChild = 1;
constexpr int kUriChild = 2;
constexpr int kCreateChild = 3;
constexpr int kUpdateChild = 4;
constexpr int kAclChild = 6;

// The image the host gets for a result row of an object.
constexpr int kResultRowImage = 2;

console::IConsole* ConsoleOf(CQuorAdminMMC* componentData, CQuorAdminMMCComponent* component) {
  return componentData ? componentData->Console() : component ? component->Console() : nullptr;
}

// Case mapping for all of Unicode, not only ASCII; the classic locale when the
// system has no UTF-8 one (ASCII folding still holds then).
const std::ctype<wchar_t>& UnicodeCase() {
  static const std::locale locale = [] {
    try {
      return std::locale("C.UTF-8");
    } catch (const std::runtime_error&) {
      return std::locale::classic();
    }
  }();
  return std::use_facet<std::ctype<wchar_t>>(locale);
}

std::u32string CodePoints(std::u16string_view text) {
  std::u32string points;
  points.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    points.push_back(c);
  }
  return points;
}

}  // namespace

bool SameUserName(std::string_view a, std::string_view b) {
  std::u16string wideA, wideB;
  // Names that are no valid UTF-8 are compared as bytes (ASCII folded).
  if (!text::Utf8ToUtf16(a, wideA) || !text::Utf8ToUtf16(b, wideB)) return text::EqualsNoCase(a, b);
  const std::u32string pointsA = CodePoints(wideA), pointsB = CodePoints(wideB);
  if (pointsA.size() != pointsB.size()) return false;
  const std::ctype<wchar_t>& folding = UnicodeCase();
  for (size_t i = 0; i < pointsA.size(); ++i) {
    if (pointsA[i] == pointsB[i]) continue;
    if (folding.tolower(static_cast<wchar_t>(pointsA[i])) != folding.tolower(static_cast<wchar_t>(pointsB[i])))
      return false;
  }
  return true;
}

// ---- CVeskItem ----------------------------------------------------------------------------

const NodeIdentity CVeskItem::kIdentity{"8DE57970-1B4D-4E91-B43C-273AE4D8C200", "VO", IDR_REMOVE_MENU, 6, 6, true};

CVeskItem::CVeskItem(std::string name, std::string uri, std::string createDate, std::string updateDate,
                     std::string accessList)
    : CSnapInItem(std::move(name), kIdentity),
      uri_(std::move(uri)),
      createDate_(std::move(createDate)),
      updateDate_(std::move(updateDate)),
      accessList_(std::move(accessList)) {}

std::string CVeskItem::AccessListText(int entries) {
  return text::Format(entries < 2 ? "%d User" : "%d Users", entries);
}

HRESULT CVeskItem::Notify(uint32_t event, std::intptr_t, std::intptr_t, CQuorAdminMMC* componentData,
                          CQuorAdminMMCComponent* component, uint32_t) {
  switch (event) {
    case console::MMCN_DBLCLICK: {
      // The host opens nothing itself on a double-click, hence E_NOTIMPL
      // whether the editor ran or not.
      if (!removed_) {
        console::IConsole* console = ConsoleOf(componentData, component);
        EditAccessList(console ? console->ResultData() : nullptr);
      }
      return E_NOTIMPL;
    }
    case console::MMCN_EXPAND:
    case console::MMCN_SHOW:
      return S_OK;
    default:
      return E_NOTIMPL;
  }
}

void CVeskItem::EditAccessList(console::IResultData* result) {
  CACLEditorDlg editor(uri_);
  editor.DoModal();
  accessList_ = AccessListText(editor.EntryCount());
  if (result) {
    DeleteRow(*result);
    InsertRow(*result);
  }
}

HRESULT CVeskItem::GetResultPaneInfo(console::ResultItem& item) {
  const HRESULT hr = CSnapInItem::GetResultPaneInfo(item);
  if (item.mask & console::RDI_IMAGE) item.image = kResultRowImage;
  return hr;
}

HRESULT CVeskItem::Command(long commandId, uint32_t) {
  if (commandId == ID_REMOVE) Remove();
  return S_OK;
}

std::string CVeskItem::GetResultPaneColInfo(int column) {
  Module::SetResultPaneFlag(0);
  switch (column) {
    case 0:
      return displayName_;
    case 1:
      return uri_;
    case 2:
      return createDate_;
    case 3:
      return updateDate_;
    case 4:
      return accessList_;
    default:
      return {};
  }
}

bool CVeskItem::RemoveWithoutAsking() {
  if (removed_) return false;
  if (!CallService("RemoveVOURI", {{"uri", uri_}})) return false;
  removed_ = true;
  return true;
}

void CVeskItem::Remove() {
  if (removed_) {
    CMessageBox::Information(text::Format("Vesk %s is already removed.", displayName_));
    return;
  }
  if (CMessageBox::Warning(text::Format("Are you sure you want to remove Vesk %s?", displayName_)) != console::IDYES)
    return;
  if (!RemoveWithoutAsking()) return;  // the fault text was shown
  if (console::IResultData* result = owner_ ? owner_->ShownResult() : nullptr) DeleteRow(*result);
  CMessageBox::Information(text::Format("Vesk %s is removed.  Please refresh the Vesks node.", displayName_));
}

// ---- CVeskNode ----------------------------------------------------------------------------

const NodeIdentity CVeskNode::kIdentity{"762748D1-9BFC-4571-A3F3-C741BB9F656E", "VOs", IDR_NO_COMMANDS_MENU, 5};

CVeskNode::CVeskNode(std::string ownerName) : CSnapInItem("Vesks", kIdentity), owner_(std::move(ownerName)) {}

CVeskNode::~CVeskNode() = default;

console::IResultData* CVeskNode::ShownResult() const { return shown_ ? shown_->ResultData() : nullptr; }

void CVeskNode::InsertRows(console::IResultData& result) {
  for (auto& item : items_) item->InsertRow(result);
}

bool CVeskNode::Refill() {
  // Rows shown for the old items go first: the host must never hold a row
  // whose item is gone.
  console::IResultData* result = ShownResult();
  if (result)
    for (auto& item : items_) item->DeleteRow(*result);
  items_.clear();
  if (!CallService("GetAllVOList")) return false;

  CVeltService& answer = *Module::Service();
  answer.MoveToRoot();
  const int count = answer.ChildCount();
  for (int i = 0; i < count; ++i) {
    answer.MoveToRoot();
    if (FAILED(answer.MoveToChild(i))) continue;
    if (!SameUserName(answer.GetChildText(kOwnerChild), owner_)) continue;
    std::string name = answer.GetChildText(kNameChild);
    std::string uri = answer.GetChildText(kUriChild);
    std::string created = answer.GetChildText(kCreateChild);
    std::string updated = answer.GetChildText(kUpdateChild);
    // The list element holds the ACL document, one child per entry; an
    // object without one has no entries.
    int entries = 0;
    if (SUCCEEDED(answer.MoveToChild(kAclChild)) && SUCCEEDED(answer.MoveToChild(0))) entries = answer.ChildCount();
    auto item = std::make_unique<CVeskItem>(std::move(name), std::move(uri), std::move(created), std::move(updated),
                                            CVeskItem::AccessListText(entries));
    item->owner_ = this;
    items_.push_back(std::move(item));
  }
  answer.MoveToRoot();
  if (result) InsertRows(*result);
  return true;
}

bool CVeskNode::RemoveAll() {
  if (!Refill()) return false;
  bool all = true;
  console::IResultData* result = ShownResult();
  for (auto& item : items_) {
    if (!item->RemoveWithoutAsking()) {
      all = false;
    } else if (result) {
      item->DeleteRow(*result);
    }
  }
  return all;
}

void CVeskNode::OnSelect(console::IConsoleVerb&) {}

HRESULT CVeskNode::OnShow(console::IConsole& console, bool showing) {
  return ShowItemRows(console, showing, items_, &shown_, kColumns, std::nullopt,
                      [&](console::IResultData&) { Refill(); });
}

HRESULT CVeskNode::OnRefresh(console::IConsole& console, std::intptr_t) {
  if (!console.ResultData()) return E_UNEXPECTED;
  // The rows stay in the pane that shows them; a refresh before any show
  // fills the pane it came from.
  if (!shown_) shown_ = &console;
  Refill();
  return S_OK;
}

}  // namespace quor::admin::snapin
