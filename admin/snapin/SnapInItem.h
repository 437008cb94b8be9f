// The node family: every item the console shows in the tree or in the list
// derives from CSnapInItem and answers the host through its virtual
// operations. A node hands the host its scope and result records (whose
// parameter is the node itself), fills the host's context menu from its menu
// resource, gives its pages, runs its commands and answers the data formats
// that name it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/com/object.h"
#include "platform/console/snapin.h"

namespace quor::admin::snapin {

class CQuorAdminMMC;
class CQuorAdminMMCComponent;

// What a node class is, as the host and the data formats see it.
struct NodeIdentity {
  std::string_view nodeType;  // 36 characters, no braces
  std::string_view dataName;  // the display name in the data object
  int menuId = 0;
  int image = 0;         // scope image; the open image is the same
  int resultImage = -1;  // image of its result row; -1: as `image`
  bool leaf = false;     // a result item (its result record has an index)
};

// One column of a result pane: inserted left-aligned at its width, or at
// automatic width and then set to it (`sizedAfter`).
struct ResultColumn {
  std::string_view title;
  int width = 0;
  bool sizedAfter = false;
};
// Inserts `columns` in order; nothing without a header.
void InsertColumns(console::IHeaderCtrl* header, std::span<const ResultColumn> columns);

// The service's folder of connection and repository files: `home` + "/"
// when needed + "config/"; empty for an empty home.
std::string ConfigFolder(std::string_view home);

class CSnapInItem {
 public:
  CSnapInItem(std::string displayName, const NodeIdentity& identity);
  virtual ~CSnapInItem();
  CSnapInItem(const CSnapInItem&) = delete;
  CSnapInItem& operator=(const CSnapInItem&) = delete;

  // `componentData` is given for the scope pane, `component` for a view.
  virtual HRESULT Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                         CQuorAdminMMCComponent* component, uint32_t type);
  virtual HRESULT GetScopePaneInfo(console::ScopeItem& item);
  virtual HRESULT GetResultViewType(std::string& viewType, long& options);
  virtual HRESULT GetResultPaneInfo(console::ResultItem& item);
  virtual HRESULT AddMenuItems(console::IContextMenuCallback* callback, long allowed, uint32_t type);
  virtual HRESULT Command(long commandId, uint32_t type);
  virtual HRESULT CreatePropertyPages(console::IPropertySheetCallback* callback, std::intptr_t handle, uint32_t type);
  virtual HRESULT QueryPagesFor(uint32_t type);
  virtual HRESULT SetControlbar();
  virtual HRESULT ControlbarNotify(uint32_t event, std::intptr_t arg, uint32_t type);
  virtual HRESULT GetScopeData(console::ScopeItem** out);
  virtual HRESULT GetResultData(console::ResultItem** out);
  virtual HRESULT FillData(std::string_view format, std::vector<uint8_t>& stream);
  virtual void InitDataClass() {}
  virtual HRESULT GetDataObject(console::IDataObject** out, uint32_t type);

  // The text of a result column; column 0 is the display name. Nodes with
  // more columns answer them.
  virtual std::string GetResultPaneColInfo(int column);

  // The item's own row in a result pane: inserted anew (the host's handle
  // kept), deleted when it has one, or forgotten when the pane dropped every
  // row at once.
  HRESULT InsertRow(console::IResultData& result);
  void DeleteRow(console::IResultData& result);
  void ForgetRow() { resultData_.itemId = 0; }

  const std::string& DisplayName() const { return displayName_; }
  const com::Guid& NodeType() const { return nodeType_; }
  const std::string& NodeTypeText() const { return nodeTypeText_; }
  const NodeIdentity& Identity() const { return identity_; }
  console::Cookie CookieValue() const { return reinterpret_cast<console::Cookie>(this); }

 protected:
  // The state of a menu item: MF_ENABLED, or MF_GRAYED | MF_DISABLED.
  virtual long MenuItemState(long commandId);
  // The children a folder inserts on expand, in their fixed order.
  virtual std::vector<CSnapInItem*> ScopeChildren() { return {}; }
  // Property pages of the node; none unless a node has them.
  virtual std::vector<std::unique_ptr<console::IPropertyPage>> MakePages() { return {}; }
  // The verb a folder enables when selected.
  virtual void OnSelect(console::IConsoleVerb& verbs);
  // An item with pages but no select handling of its own: Properties
  // enabled in the console that selects it (MMCN_SELECT's `arg`), so that
  // its pages can be opened.
  static void EnablePropertiesOnSelect(std::intptr_t arg, CQuorAdminMMC* componentData,
                                       CQuorAdminMMCComponent* component);
  // Columns and rows of the result pane, when showing.
  virtual HRESULT OnShow(console::IConsole& console, bool showing);
  virtual HRESULT OnRefresh(console::IConsole& console, std::intptr_t param);
  // Inserts the scope children under `parent`; the last insertion's status.
  HRESULT InsertChildren(console::IConsoleNameSpace& nameSpace, console::ScopeHandle parent);

  // OnShow of a folder whose items are the rows of its result pane. Hiding
  // drops every row at once (the items forget theirs) and lets go of the
  // view kept in `*shown` (when given); showing sets the description bar
  // (when given) and the columns, keeps the view, then `fill` inserts the
  // rows into the pane.
  template <typename Items, typename Fill>
  static HRESULT ShowItemRows(console::IConsole& console, bool showing, Items& items, console::IConsole** shown,
                              std::span<const ResultColumn> columns, std::optional<std::string_view> description,
                              Fill&& fill) {
    console::IResultData* result = console.ResultData();
    if (!result) return E_UNEXPECTED;
    if (!showing) {
      result->DeleteAllRsltItems();
      for (auto& item : items)
        if (item) item->ForgetRow();
      if (shown && *shown == &console) *shown = nullptr;
      return S_OK;
    }
    if (description) result->SetDescBarText(*description);
    InsertColumns(console.HeaderCtrl(), columns);
    if (shown) *shown = &console;
    fill(*result);
    return S_OK;
  }

  std::string displayName_;
  NodeIdentity identity_;
  com::Guid nodeType_;
  std::string nodeTypeText_;
  console::ScopeItem scopeData_;
  console::ResultItem resultData_;
};

// The data object of one node: the node and where it was asked for.
class CSnapInDataObject final : public com::ComObject<CSnapInDataObject, console::IDataObject> {
 public:
  CSnapInDataObject(CSnapInItem* node, uint32_t type) : node_(node), type_(type) {}

  HRESULT GetDataHere(std::string_view format, std::vector<uint8_t>& out) override;
  void* FindExtraInterface(const com::IID& iid);

  CSnapInItem* Node() const { return node_; }
  uint32_t Type() const { return type_; }

  // The node and type of one of our data objects; null for anything else
  // (another snap-in's object, or none).
  static CSnapInItem* NodeOf(console::IDataObject* dataObject, uint32_t* type = nullptr);

 private:
  CSnapInItem* node_;
  uint32_t type_;
};

}  // namespace quor::admin::snapin
