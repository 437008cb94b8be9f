// The management-console host and its snap-ins meet through these
// interfaces. The host (quor-console, or the recording host of the tests)
// implements the console side: name space, result pane, column header,
// verbs, image strips, menu and property-sheet callbacks, and the dialogs.
// A snap-in implements the component side (component data, per-view
// component, context menu, property sheet, persistence, about), which the
// host reaches through the component runtime, so those derive from IUnknown.
//
// Texts are UTF-8. The numeric codes keep the values the snap-ins were
// written against, so that node code compares and passes them unchanged.
// Everything is called on the host's user-interface thread.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/unknown.h"

namespace quor::console {

// The snap-in's own value for one of its items (a node's address); 0 is the
// snap-in's root.
using Cookie = std::intptr_t;
// The host's handle of an inserted scope item / result item.
using ScopeHandle = std::intptr_t;
using ResultHandle = std::intptr_t;

// Notifications.
inline constexpr uint32_t MMCN_ACTIVATE = 0x8001;
inline constexpr uint32_t MMCN_ADD_IMAGES = 0x8002;
inline constexpr uint32_t MMCN_BTN_CLICK = 0x8003;
inline constexpr uint32_t MMCN_CLICK = 0x8004;
inline constexpr uint32_t MMCN_COLUMN_CLICK = 0x8005;
inline constexpr uint32_t MMCN_CONTEXTMENU = 0x8006;
inline constexpr uint32_t MMCN_DBLCLICK = 0x8008;
inline constexpr uint32_t MMCN_DELETE = 0x8009;
inline constexpr uint32_t MMCN_EXPAND = 0x800B;
inline constexpr uint32_t MMCN_PROPERTY_CHANGE = 0x8010;
inline constexpr uint32_t MMCN_REFRESH = 0x8012;
inline constexpr uint32_t MMCN_REMOVE_CHILDREN = 0x8013;
inline constexpr uint32_t MMCN_RENAME = 0x8014;
inline constexpr uint32_t MMCN_SELECT = 0x8015;
inline constexpr uint32_t MMCN_SHOW = 0x8016;
inline constexpr uint32_t MMCN_VIEW_CHANGE = 0x8017;

// Where a data object comes from.
inline constexpr uint32_t CCT_SCOPE = 0x8000;
inline constexpr uint32_t CCT_RESULT = 0x8001;
inline constexpr uint32_t CCT_SNAPIN_MANAGER = 0x8002;
inline constexpr uint32_t CCT_UNINITIALIZED = 0xFFFF;

// Context-menu insertion points and the host's permission bits for them.
inline constexpr long CCM_INSERTIONPOINTID_PRIMARY_TOP = static_cast<long>(0xA0000000);
inline constexpr long CCM_INSERTIONPOINTID_PRIMARY_NEW = static_cast<long>(0xA0000001);
inline constexpr long CCM_INSERTIONPOINTID_PRIMARY_TASK = static_cast<long>(0xA0000002);
inline constexpr long CCM_INSERTIONPOINTID_PRIMARY_VIEW = static_cast<long>(0xA0000003);
inline constexpr long CCM_INSERTIONALLOWED_TOP = 1;
inline constexpr long CCM_INSERTIONALLOWED_NEW = 2;
inline constexpr long CCM_INSERTIONALLOWED_TASK = 4;
inline constexpr long CCM_INSERTIONALLOWED_VIEW = 8;

// Menu item state.
inline constexpr long MF_ENABLED = 0;
inline constexpr long MF_GRAYED = 1;
inline constexpr long MF_DISABLED = 2;

// Console verbs and their states.
inline constexpr uint32_t MMC_VERB_OPEN = 0x8000;
inline constexpr uint32_t MMC_VERB_COPY = 0x8001;
inline constexpr uint32_t MMC_VERB_PASTE = 0x8002;
inline constexpr uint32_t MMC_VERB_DELETE = 0x8003;
inline constexpr uint32_t MMC_VERB_PROPERTIES = 0x8004;
inline constexpr uint32_t MMC_VERB_RENAME = 0x8005;
inline constexpr uint32_t MMC_VERB_REFRESH = 0x8006;
inline constexpr uint32_t MMC_VERB_PRINT = 0x8007;
inline constexpr uint32_t ENABLED = 1;
inline constexpr uint32_t CHECKED = 2;
inline constexpr uint32_t HIDDEN = 3;

// Scope-item and result-item record masks.
inline constexpr uint32_t SDI_STR = 0x2;
inline constexpr uint32_t SDI_IMAGE = 0x4;
inline constexpr uint32_t SDI_OPENIMAGE = 0x8;
inline constexpr uint32_t SDI_STATE = 0x10;
inline constexpr uint32_t SDI_PARAM = 0x20;
inline constexpr uint32_t SDI_CHILDREN = 0x40;
inline constexpr uint32_t RDI_STR = 0x2;
inline constexpr uint32_t RDI_IMAGE = 0x4;
inline constexpr uint32_t RDI_STATE = 0x8;
inline constexpr uint32_t RDI_PARAM = 0x10;
inline constexpr uint32_t RDI_INDEX = 0x20;

// Column header formats; a width of MMCLV_AUTO sizes the column to its title.
inline constexpr int LVCFMT_LEFT = 0;
inline constexpr int LVCFMT_RIGHT = 1;
inline constexpr int LVCFMT_CENTER = 2;
inline constexpr int MMCLV_AUTO = -1;

// Message boxes: styles and the buttons pressed.
inline constexpr uint32_t MB_OK = 0x0;
inline constexpr uint32_t MB_OKCANCEL = 0x1;
inline constexpr uint32_t MB_YESNO = 0x4;
inline constexpr uint32_t MB_RETRYCANCEL = 0x5;
inline constexpr uint32_t MB_ICONHAND = 0x10;
inline constexpr uint32_t MB_ICONQUESTION = 0x20;
inline constexpr uint32_t MB_ICONEXCLAMATION = 0x30;
inline constexpr uint32_t MB_ICONINFORMATION = 0x40;
inline constexpr uint32_t MB_TASKMODAL = 0x2000;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDRETRY = 4;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Data a snap-in's data object may be asked for.
inline constexpr std::string_view CCF_NODETYPE = "CCF_NODETYPE";
inline constexpr std::string_view CCF_SZNODETYPE = "CCF_SZNODETYPE";
inline constexpr std::string_view CCF_DISPLAY_NAME = "CCF_DISPLAY_NAME";
inline constexpr std::string_view CCF_SNAPIN_CLASSID = "CCF_SNAPIN_CLASSID";
inline constexpr std::string_view CCF_GETOBJECTDATA = "CCF_GETOBJECTDATA";
inline constexpr std::string_view CCF_MMC_MULTISELECT_DATAOBJECT = "CCF_MMC_MULTISELECT_DATAOBJECT";
// The format a data object does not answer.
inline constexpr HRESULT DV_E_CLIPFORMAT = static_cast<HRESULT>(0x8004006AU);

// One item of the scope pane (tree). With SDI_STR the host asks the snap-in
// for the text (IComponentData::GetDisplayInfo) whenever it draws the item.
struct ScopeItem {
  uint32_t mask = 0;
  std::string text;
  int image = 0;
  int openImage = 0;
  uint32_t state = 0;
  Cookie param = 0;
  ScopeHandle relativeId = 0;  // the parent, when inserting
  ScopeHandle id = 0;          // set by the host when inserted
};

// One row of the result pane (list); `column` says which text is wanted when
// the host asks for display information.
struct ResultItem {
  uint32_t mask = 0;
  std::string text;
  int column = 0;
  int image = 0;
  Cookie param = 0;
  int index = 0;
  ResultHandle itemId = 0;  // set by the host when inserted
};

// One context-menu item as a snap-in adds it.
struct MenuItem {
  std::string name;
  std::string statusBarText;
  long commandId = 0;
  long insertionPointId = 0;
  long flags = 0;
  long specialFlags = 0;
};

// An image strip: the snap-in's bitmap of that resource id, `size` pixels
// square per image. The pixels are the bitmap's: `count` images side by
// side, row by row (count * size wide, size high), each pixel a colour in
// the form the mask colour is given (0x00BBGGRR); pixels of the mask colour
// are transparent. Without pixels the host draws its own icons.
struct ImageStrip {
  int resourceId = 0;
  int size = 16;
  int count = 0;
  std::vector<uint32_t> pixels;
};

// ---- Console side: implemented by the host ------------------------------------------

class IConsoleNameSpace {
 public:
  virtual ~IConsoleNameSpace() = default;
  // Inserts under item.relativeId; sets item.id.
  virtual HRESULT InsertItem(ScopeItem& item) = 0;
  // Deletes the item's children, and the item itself when `deleteThis`.
  virtual HRESULT DeleteItem(ScopeHandle item, bool deleteThis) = 0;
};

class IHeaderCtrl {
 public:
  virtual ~IHeaderCtrl() = default;
  virtual HRESULT InsertColumn(int column, std::string_view title, int format, int width) = 0;
  virtual HRESULT SetColumnWidth(int column, int width) = 0;
};

class IResultData {
 public:
  virtual ~IResultData() = default;
  // Sets item.itemId.
  virtual HRESULT InsertItem(ResultItem& item) = 0;
  virtual HRESULT DeleteItem(ResultHandle item, int column) = 0;
  virtual HRESULT DeleteAllRsltItems() = 0;
  virtual HRESULT SetDescBarText(std::string_view text) = 0;
};

class IConsoleVerb {
 public:
  virtual ~IConsoleVerb() = default;
  virtual HRESULT SetVerbState(uint32_t verb, uint32_t state, bool on) = 0;
};

class IImageList {
 public:
  virtual ~IImageList() = default;
  virtual HRESULT ImageListSetStrip(const ImageStrip& smallStrip, const ImageStrip& largeStrip, int start,
                                    uint32_t mask) = 0;
};

class IContextMenuCallback {
 public:
  virtual ~IContextMenuCallback() = default;
  virtual HRESULT AddItem(const MenuItem& item) = 0;
};

// What kind of control a page field is, so that a host can draw it without
// the snap-in knowing the toolkit.
enum class FieldKind {
  Text,           // one line
  Password,       // one line, not shown
  MultiLineText,  // several lines
  Number,         // one line of decimal digits, checked by the page on Apply
  Check,          // value "1" checked, "0" not
  Choice,         // value one of `options`
  ReadOnlyText,   // shown, never edited
  Button,         // no value; the label is its text and the host calls Press
  List,           // a list box: `options` are its lines, `value` the selected one
  Grid,           // a list of rows under `columns`; `value` the selected rows'
                  // indices joined with ","; a row activated (double-click)
                  // is a Press of the field
};

// One control of a page. `id` is the control id as text; a host names its
// widget after it.
struct PageField {
  std::string id;
  std::string label;
  FieldKind kind = FieldKind::Text;
  std::vector<std::string> options;
  std::string value;
  bool enabled = true;
  // Grid only: the headers, the rows' cells (a row may have fewer cells than
  // there are columns), and whether several rows may be selected.
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;
  bool multiSelect = false;
};

// A field of any kind but Grid and Choice.
inline PageField MakeField(std::string id, std::string label, FieldKind kind, std::string value = {},
                           bool enabled = true) {
  PageField field;
  field.id = std::move(id);
  field.label = std::move(label);
  field.kind = kind;
  field.value = std::move(value);
  field.enabled = enabled;
  return field;
}

// The selected rows of a Grid value, and the value of a selection; an index
// that is no number is left out.
std::vector<size_t> GridSelection(std::string_view value);
std::string GridValue(const std::vector<size_t>& rows);

// Apply's answer: refused names the field and why, and then nothing was written.
struct PageApplyResult {
  bool ok = true;
  std::string field;
  std::string message;
};

// A property page a snap-in hands to the host; the host owns it from then on.
// A host shows Fields(), passes every edit to SetValue, keeps Apply enabled
// while Changed() and calls Apply() for Apply and OK. Fields may change
// their values or enabled state after a SetValue (a check box unlocking
// edits), so a host reads them again after each one.
class IPropertyPage {
 public:
  virtual ~IPropertyPage() = default;
  virtual std::string Title() const = 0;
  virtual std::vector<PageField> Fields() const { return {}; }
  // False for an unknown or disabled field, or a value its kind cannot take.
  virtual bool SetValue(std::string_view /*id*/, std::string_view /*value*/) { return false; }
  // A button field pressed; it may run a dialog and change other fields.
  // False for an id that is no enabled button.
  virtual bool Press(std::string_view /*id*/) { return false; }
  virtual bool Changed() const { return false; }
  virtual PageApplyResult Apply() { return {}; }
};

class IPropertySheetCallback {
 public:
  virtual ~IPropertySheetCallback() = default;
  virtual HRESULT AddPage(std::unique_ptr<IPropertyPage> page) = 0;
};

// What the logon dialog starts with, and what it gives back after OK.
struct LogonRequest {
  std::string serviceName;  // selected in the list when it is there
  std::string userName;
  std::string knownServices;  // names joined with ","
};
struct LogonReply {
  bool ok = false;  // false: cancelled
  std::string serviceName;
  std::string userName;
  std::string password;
};

// The one-line input dialog: OK stays disabled while the text equals the
// initial one, unless `okAlways`.
struct InputRequest {
  std::string caption;
  std::string prompt;
  std::string initial;
  bool okAlways = false;
};
// The save dialog for a configuration file written into `folder`: the name is
// completed with ".xml", names no file can have are refused, and an existing
// file is replaced only when the administrator agrees.
struct SaveRequest {
  std::string folder;
  std::string initialName;
};
// The chooser of a folder (or, with `files`, of a file matching `pattern`),
// opening on `startPath` (the current folder when empty).
struct ChooserRequest {
  std::string startPath;
  std::string pattern;
  bool files = false;
};
// What those dialogs give back: the text entered, the full path to save to,
// or the path chosen.
struct DialogReply {
  bool ok = false;  // false: cancelled, and `text` is empty
  std::string text;
};

// A modal dialog the snap-in describes and the host draws: its controls are
// fields (Button fields are its push buttons; "1" is OK or Close and "2"
// Cancel when it has them). The host calls Open() once before showing it
// (the dialog fills itself there), draws Fields(), passes every edit to
// SetValue and every button to Press, and reads Fields() again after each,
// since a press may change any control or run further dialogs. The dialog
// is over when Ended(); Escape or closing the window calls Cancel().
class IModalDialog {
 public:
  virtual ~IModalDialog() = default;
  virtual std::string Caption() const = 0;
  virtual void Open() = 0;
  virtual std::vector<PageField> Fields() const = 0;
  // False for an unknown or disabled field, or a value its kind cannot take
  // (a List takes one of its lines, or "" for no selection).
  virtual bool SetValue(std::string_view id, std::string_view value) = 0;
  // False for an id that is no enabled button.
  virtual bool Press(std::string_view id) = 0;
  virtual void Cancel() = 0;
  virtual bool Ended() const = 0;
  // The end code (IDOK, IDCANCEL); 0 while the dialog runs.
  virtual int Result() const = 0;
};

// Dialogs, modal on the host's active window. Node logic shows them only
// through here and never touches a toolkit.
class IDialogHost {
 public:
  virtual ~IDialogHost() = default;
  // The button pressed (IDOK, IDYES, ...).
  virtual int MessageBox(std::string_view text, std::string_view caption, uint32_t style) = 0;
  virtual LogonReply RunLogon(const LogonRequest& request) = 0;
  virtual DialogReply AskText(const InputRequest& request) = 0;
  virtual DialogReply AskSavePath(const SaveRequest& request) = 0;
  virtual DialogReply ChoosePath(const ChooserRequest& request) = 0;
  // Runs `dialog` until it ends; its Result().
  virtual int RunModal(IModalDialog& dialog) = 0;
  // The connecting dialog, modeless, while the caller blocks on a slow step:
  // shown with `message` at position 0, moved (0 to 100, repainted at once)
  // and closed again. Beginning again replaces the one shown; ending without
  // one does nothing.
  virtual void BeginProgress(std::string_view message) = 0;
  virtual void SetProgress(int position) = 0;
  virtual void EndProgress() = 0;
};

// Shows the connecting dialog for as long as it lives, so that no early
// return leaves it up. A null host shows nothing.
class ProgressScope {
 public:
  ProgressScope(IDialogHost* host, std::string_view message) : host_(host) {
    if (host_) host_->BeginProgress(message);
  }
  ~ProgressScope() {
    if (host_) host_->EndProgress();
  }
  ProgressScope(const ProgressScope&) = delete;
  ProgressScope& operator=(const ProgressScope&) = delete;
  void Set(int position) {
    if (host_) host_->SetProgress(position);
  }

 private:
  IDialogHost* host_;
};

// The console as the snap-in sees it: one per view, the scope pane's being
// the one given to IComponentData::Initialize. Accessors give null when the
// host has no such part.
class IConsole {
 public:
  virtual ~IConsole() = default;
  virtual IConsoleNameSpace* NameSpace() = 0;
  virtual IResultData* ResultData() = 0;
  virtual IHeaderCtrl* HeaderCtrl() = 0;
  virtual IConsoleVerb* ConsoleVerb() = 0;
  virtual IImageList* QueryScopeImageList() = 0;
  virtual IImageList* QueryResultImageList() = 0;
  virtual IDialogHost* Dialogs() = 0;
};

// ---- Snap-in side: implemented by the snap-in, reached through the runtime --------

struct IDataObject : com::IUnknown {
  QUOR_COM_INTERFACE(com::IUnknown, "{5C1F9A2E-3B47-4D2A-9E61-0A8C7D3B5F10}");
  // Replaces `out` with the data in `format`; DV_E_CLIPFORMAT when the
  // object has none in it.
  virtual HRESULT GetDataHere(std::string_view format, std::vector<uint8_t>& out) = 0;

 protected:
  ~IDataObject() = default;
};

struct IComponent : com::IUnknown {
  QUOR_COM_INTERFACE(com::IUnknown, "{5C1F9A2E-3B47-4D2A-9E61-0A8C7D3B5F11}");
  virtual HRESULT Initialize(IConsole* console) = 0;
  virtual HRESULT Notify(IDataObject* dataObject, uint32_t event, std::intptr_t arg, std::intptr_t param) = 0;
  virtual HRESULT Destroy(Cookie cookie) = 0;
  virtual HRESULT QueryDataObject(Cookie cookie, uint32_t type, IDataObject** out) = 0;
  // Empty view type and S_FALSE: the default list view.
  virtual HRESULT GetResultViewType(Cookie cookie, std::string& viewType, long& options) = 0;
  virtual HRESULT GetDisplayInfo(ResultItem& item) = 0;

 protected:
  ~IComponent() = default;
};

struct IComponentData : com::IUnknown {
  QUOR_COM_INTERFACE(com::IUnknown, "{5C1F9A2E-3B47-4D2A-9E61-0A8C7D3B5F12}");
  virtual HRESULT Initialize(IConsole* console) = 0;
  virtual HRESULT CreateComponent(IComponent** out) = 0;
  virtual HRESULT Notify(IDataObject* dataObject, uint32_t event, std::intptr_t arg, std::intptr_t param) = 0;
  virtual HRESULT Destroy() = 0;
  virtual HRESULT QueryDataObject(Cookie cookie, uint32_t type, IDataObject** out) = 0;
  virtual HRESULT GetDisplayInfo(ScopeItem& item) = 0;

 protected:
  ~IComponentData() = default;
};

struct IExtendContextMenu : com::IUnknown {
  QUOR_COM_INTERFACE(com::IUnknown, "{5C1F9A2E-3B47-4D2A-9E61-0A8C7D3B5F13}");
  // `allowed`: the CCM_INSERTIONALLOWED_* bits.
  virtual HRESULT AddMenuItems(IDataObject* dataObject, IContextMenuCallback* callback, long allowed) = 0;
  virtual HRESULT Command(long commandId, IDataObject* dataObject) = 0;

 protected:
  ~IExtendContextMenu() = default;
};

struct IExtendPropertySheet : com::IUnknown {
  QUOR_COM_INTERFACE(com::IUnknown, "{5C1F9A2E-3B47-4D2A-9E61-0A8C7D3B5F14}");
  virtual HRESULT CreatePropertyPages(IPropertySheetCallback* callback, std::intptr_t handle,
                                      IDataObject* dataObject) = 0;
  // S_OK when the item has pages.
  virtual HRESULT QueryPagesFor(IDataObject* dataObject) = 0;

 protected:
  ~IExtendPropertySheet() = default;
};

struct IPersistStream : com::IUnknown {
  QUOR_COM_INTERFACE(com::IUnknown, "{5C1F9A2E-3B47-4D2A-9E61-0A8C7D3B5F15}");
  virtual HRESULT GetClassID(com::CLSID& clsid) = 0;
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT Load(std::span<const uint8_t> stream) = 0;
  virtual HRESULT Save(std::vector<uint8_t>& stream, bool clearDirty) = 0;
  virtual HRESULT GetSizeMax(uint64_t& size) = 0;
  virtual HRESULT InitNew() = 0;

 protected:
  ~IPersistStream() = default;
};

struct ISnapinAbout : com::IUnknown {
  QUOR_COM_INTERFACE(com::IUnknown, "{5C1F9A2E-3B47-4D2A-9E61-0A8C7D3B5F16}");
  virtual HRESULT GetSnapinDescription(std::string& text) = 0;
  virtual HRESULT GetProvider(std::string& text) = 0;
  virtual HRESULT GetSnapinVersion(std::string& text) = 0;
  // Resource ids of the images (small, large); `mask` the transparent colour.
  virtual HRESULT GetStaticFolderImage(ImageStrip& smallImage, ImageStrip& largeImage, uint32_t& mask) = 0;

 protected:
  ~ISnapinAbout() = default;
};

// ---- Helpers for both sides -----------------------------------------------------------

// Wide text with its terminating zero, as the text formats of a data object
// carry it (UTF-16, little-endian).
std::vector<uint8_t> WideBytes(std::string_view text);
// The 16 bytes of a GUID in the platform's memory layout.
std::vector<uint8_t> GuidBytes(const com::Guid& guid);
// The reverse of WideBytes; empty for a malformed buffer.
std::string TextFromWideBytes(std::span<const uint8_t> bytes);
// "MMCN_EXPAND" and so on, for traces; "0x...." for an unknown code.
std::string NotificationName(uint32_t event);

}  // namespace quor::console
