// quor-console's main window and the console side of the snap-in interfaces:
// the scope tree, the result list with its columns and description bar,
// context menus (the snap-in's items at the four insertion points, then the
// verbs), the property sheet, message boxes and the logon dialog. It creates
// the snap-in by ProgID through the component runtime and drives it with the
// notifications; every snap-in call runs under a busy cursor.
//
// One console object serves the scope pane and the one view, as the snap-in
// needs nothing that tells them apart.
#pragma once

#include <QMainWindow>

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/com/unknown.h"
#include "platform/console/snapin.h"

class QIcon;
class QLabel;
class QMenu;
class QTreeWidget;
class QTreeWidgetItem;

namespace quor::console::qt {

class ConnectingDialog;

class ConsoleWindow final : public QMainWindow,
                            public IConsole,
                            public IConsoleNameSpace,
                            public IResultData,
                            public IHeaderCtrl,
                            public IConsoleVerb,
                            public IDialogHost {
 public:
  ConsoleWindow();
  ~ConsoleWindow() override;

  // Creates the snap-in, hands it the console (it signs in there), creates
  // its view and shows its root node selected and expanded. A failure is
  // shown in a message box and answered; the window stays usable.
  HRESULT LoadSnapin(std::string_view progId);
  // Destroys the view and the snap-in (which ends its session) and empties
  // the panes. Safe to call twice.
  void UnloadSnapin();

  QTreeWidget* ScopeTree() const { return scope_; }
  QTreeWidget* ResultList() const { return result_; }
  QLabel* DescriptionBar() const { return description_; }
  // The scope item of the snap-in's root node; null before loading.
  QTreeWidgetItem* RootItem() const;

  // The context menu of a scope item / result row, as a right click shows
  // it (the item is selected first). The caller owns the menu.
  std::unique_ptr<QMenu> ScopeMenu(QTreeWidgetItem* item);
  std::unique_ptr<QMenu> ResultMenu(QTreeWidgetItem* row);
  // The verbs, on the selected scope item (or result row, when one is
  // selected in the list).
  void RunRefresh();
  void RunDelete();
  void RunProperties();
  bool VerbEnabled(uint32_t verb) const;

  // ---- IConsole
  IConsoleNameSpace* NameSpace() override { return this; }
  IResultData* ResultData() override { return this; }
  IHeaderCtrl* HeaderCtrl() override { return this; }
  IConsoleVerb* ConsoleVerb() override { return this; }
  IImageList* QueryScopeImageList() override;
  IImageList* QueryResultImageList() override;
  IDialogHost* Dialogs() override { return this; }

  // ---- IConsoleNameSpace
  HRESULT InsertItem(ScopeItem& item) override;
  HRESULT DeleteItem(ScopeHandle item, bool deleteThis) override;

  // ---- IResultData
  HRESULT InsertItem(ResultItem& item) override;
  HRESULT DeleteItem(ResultHandle item, int column) override;
  HRESULT DeleteAllRsltItems() override;
  HRESULT SetDescBarText(std::string_view text) override;

  // ---- IHeaderCtrl
  HRESULT InsertColumn(int column, std::string_view title, int format, int width) override;
  HRESULT SetColumnWidth(int column, int width) override;

  // ---- IConsoleVerb
  HRESULT SetVerbState(uint32_t verb, uint32_t state, bool on) override;

  // ---- IDialogHost
  int MessageBox(std::string_view text, std::string_view caption, uint32_t style) override;
  LogonReply RunLogon(const LogonRequest& request) override;
  DialogReply AskText(const InputRequest& request) override;
  DialogReply AskSavePath(const SaveRequest& request) override;
  DialogReply ChoosePath(const ChooserRequest& request) override;
  int RunModal(IModalDialog& dialog) override;
  void BeginProgress(std::string_view message) override;
  void SetProgress(int position) override;
  void EndProgress() override;
  // The connecting dialog while one is up; null otherwise.
  ConnectingDialog* Progress() const { return progress_.get(); }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  class Images;
  struct Snapin;

  // What a tree item or list row stands for.
  struct Target {
    bool scope = true;
    Cookie cookie = 0;
    ScopeHandle handle = 0;
  };

  void BuildMenus();
  void OnScopeSelected(QTreeWidgetItem* current, QTreeWidgetItem* previous);
  void OnScopeExpanded(QTreeWidgetItem* item);
  void OnResultSelected();
  void OnResultActivated(QTreeWidgetItem* row);
  void ShowScopeMenu(const QPoint& at);
  void ShowResultMenu(const QPoint& at);
  std::unique_ptr<QMenu> MenuFor(const Target& target);
  void RunCommand(const Target& target, long commandId);
  void ShowPropertySheet(const Target& target);
  // The target the verbs act on now.
  Target Current() const;
  com::ComPtr<IDataObject> DataObjectOf(const Target& target);
  // Notifies the view (component); the component data for MMCN_EXPAND.
  HRESULT NotifyScope(uint32_t event, const Target& target, std::intptr_t arg, std::intptr_t param);
  HRESULT NotifyResult(uint32_t event, const Target& target, std::intptr_t arg, std::intptr_t param);
  void RefreshScopeText(QTreeWidgetItem* item);
  // The icon of a scope item's image (or open image) in the scope image
  // list; the style's folder icon when the list has none.
  QIcon ScopeIcon(const QTreeWidgetItem* item, bool open) const;
  void RefreshRowTexts(QTreeWidgetItem* row);
  void ClearResultPane();
  // A row of the list for a child folder of the node shown.
  void AddFolderRow(const QTreeWidgetItem* folder);
  void ResetVerbs();
  void ForgetScopeItem(QTreeWidgetItem* item);
  QTreeWidgetItem* ScopeItemOf(ScopeHandle handle) const;
  static Target TargetOf(const QTreeWidgetItem* item, bool scope);
  void Status(const QString& text);

  QTreeWidget* scope_;
  QTreeWidget* result_;
  QLabel* description_;
  std::unique_ptr<Images> scopeImages_, resultImages_;
  std::unique_ptr<Snapin> snapin_;
  std::unique_ptr<QMenu> actionSource_;
  std::unique_ptr<ConnectingDialog> progress_;
  std::map<ScopeHandle, QTreeWidgetItem*> scopeItems_;
  std::map<ResultHandle, QTreeWidgetItem*> resultRows_;
  std::map<uint32_t, bool> verbs_;
  ScopeHandle nextHandle_ = 1;
  int columnsInserted_ = 0;
  // The scope node whose result pane is shown.
  Target shown_;
  bool hasShown_ = false;
  // Whether the list shows the shown node's folders (it lists nothing itself).
  bool listsFolders_ = false;
  // Set while the panes are being rebuilt, so that the selection changes
  // this causes are not passed on to the snap-in.
  bool quiet_ = false;
};

}  // namespace quor::console::qt
