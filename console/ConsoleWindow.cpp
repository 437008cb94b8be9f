#include "console/ConsoleWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QHeaderView>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/com/classstore.h"
#include "console/ChooserDialog.h"
#include "console/Dialogs.h"
#include "console/ModalDialogWindow.h"
#include "console/InputDialogs.h"
#include "console/PropertyPageWidget.h"

namespace quor::console::qt {

namespace {

constexpr int kHandleRole = Qt::UserRole;
constexpr int kCookieRole = Qt::UserRole + 1;
constexpr int kExpandedRole = Qt::UserRole + 2;
constexpr int kScopeRole = Qt::UserRole + 3;
// A scope item's image and open image in the scope image list; -1: none.
constexpr int kImageRole = Qt::UserRole + 4;
constexpr int kOpenImageRole = Qt::UserRole + 5;

QString FromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QString Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return QString::fromLatin1(text);
}

// The wait cursor while the snap-in works (it may talk to the server).
class BusyCursor {
 public:
  BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~BusyCursor() { QApplication::restoreOverrideCursor(); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

// MMCN_SELECT's argument: whether the item is in the scope pane (low word)
// and whether it is being selected (high word).
std::intptr_t SelectArg(bool scope, bool select) {
  return (static_cast<std::intptr_t>(select ? 1 : 0) << 16) | (scope ? 1 : 0);
}

class MenuCollector final : public IContextMenuCallback {
 public:
  std::vector<MenuItem> items;
  HRESULT AddItem(const MenuItem& item) override {
    items.push_back(item);
    return S_OK;
  }
};

class PageCollector final : public IPropertySheetCallback {
 public:
  std::vector<std::unique_ptr<IPropertyPage>> pages;
  HRESULT AddPage(std::unique_ptr<IPropertyPage> page) override {
    if (!page) return E_POINTER;
    pages.push_back(std::move(page));
    return S_OK;
  }
};

}  // namespace

// An image list: the icons cut from the strips the snap-in set, by image
// index. A strip set again at the same place replaces its icons; strips
// without pixels give none, and their items get the style's icons.
class ConsoleWindow::Images final : public IImageList {
 public:
  HRESULT ImageListSetStrip(const ImageStrip& smallStrip, const ImageStrip& largeStrip, int start,
                            uint32_t mask) override {
    if (start < 0 || smallStrip.size <= 0 || largeStrip.size <= 0) return E_INVALIDARG;
    std::vector<QPixmap> small, large;
    if (!Cut(smallStrip, mask, small) || !Cut(largeStrip, mask, large)) return E_INVALIDARG;
    for (size_t i = 0; i < small.size(); ++i) {
      QIcon icon(small[i]);
      if (i < large.size()) icon.addPixmap(large[i]);
      icons_[start + static_cast<int>(i)] = icon;
    }
    return S_OK;
  }
  // Null when no strip gave that image.
  QIcon Icon(int index) const {
    const auto it = icons_.find(index);
    return it == icons_.end() ? QIcon() : it->second;
  }

 private:
  // One pixmap per image of the strip; false for pixels that do not fill it.
  static bool Cut(const ImageStrip& strip, uint32_t mask, std::vector<QPixmap>& out) {
    if (strip.pixels.empty()) return true;
    constexpr int kMaxImages = 4096, kMaxSize = 256;
    if (strip.count <= 0 || strip.count > kMaxImages || strip.size > kMaxSize) return false;
    const int width = strip.count * strip.size;
    if (strip.pixels.size() != static_cast<size_t>(width) * static_cast<size_t>(strip.size)) return false;
    QImage image(width, strip.size, QImage::Format_ARGB32);
    for (int y = 0; y < strip.size; ++y) {
      auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
      for (int x = 0; x < width; ++x) {
        // The strip's colours are 0x00BBGGRR, as the mask is.
        const uint32_t p = strip.pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
        line[x] = p == mask ? qRgba(0, 0, 0, 0)
                            : qRgb(static_cast<int>(p & 0xFF), static_cast<int>((p >> 8) & 0xFF),
                                   static_cast<int>((p >> 16) & 0xFF));
      }
    }
    for (int i = 0; i < strip.count; ++i)
      out.push_back(QPixmap::fromImage(image.copy(i * strip.size, 0, strip.size, strip.size)));
    return true;
  }

  std::map<int, QIcon> icons_;
};

struct ConsoleWindow::Snapin {
  com::ComPtr<IComponentData> data;
  com::ComPtr<IComponent> component;
  com::ComPtr<IExtendContextMenu> dataMenu, viewMenu;
  com::ComPtr<IExtendPropertySheet> dataSheet, viewSheet;
};

ConsoleWindow::ConsoleWindow()
    : scopeImages_(std::make_unique<Images>()), resultImages_(std::make_unique<Images>()) {
  setObjectName(QStringLiteral("ConsoleWindow"));
  setWindowTitle(QStringLiteral("Quor Console"));
  resize(900, 560);

  scope_ = new QTreeWidget;
  scope_->setObjectName(QStringLiteral("ScopeTree"));
  scope_->setHeaderHidden(true);
  scope_->setContextMenuPolicy(Qt::CustomContextMenu);
  scope_->setExpandsOnDoubleClick(true);

  description_ = new QLabel;
  description_->setObjectName(QStringLiteral("DescriptionBar"));
  description_->setFrameShape(QFrame::StyledPanel);
  description_->setWordWrap(true);
  description_->setVisible(false);

  result_ = new QTreeWidget;
  result_->setObjectName(QStringLiteral("ResultList"));
  result_->setRootIsDecorated(false);
  result_->setItemsExpandable(false);
  result_->setUniformRowHeights(true);
  result_->setContextMenuPolicy(Qt::CustomContextMenu);
  result_->setSelectionMode(QAbstractItemView::SingleSelection);
  result_->header()->setStretchLastSection(true);

  auto* right = new QWidget;
  auto* rightLayout = new QVBoxLayout(right);
  rightLayout->setContentsMargins(0, 0, 0, 0);
  rightLayout->setSpacing(2);
  rightLayout->addWidget(description_);
  rightLayout->addWidget(result_);

  auto* splitter = new QSplitter;
  splitter->addWidget(scope_);
  splitter->addWidget(right);
  splitter->setStretchFactor(0, 1);
  splitter->setStretchFactor(1, 2);
  splitter->setSizes({280, 620});
  setCentralWidget(splitter);
  statusBar()->showMessage(QStringLiteral("Ready"));

  ClearResultPane();
  BuildMenus();

  connect(scope_, &QTreeWidget::currentItemChanged, this, &ConsoleWindow::OnScopeSelected);
  connect(scope_, &QTreeWidget::itemExpanded, this, &ConsoleWindow::OnScopeExpanded);
  connect(scope_, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* item) {
    item->setIcon(0, ScopeIcon(item, false));
    if (!quiet_ && snapin_) NotifyScope(MMCN_EXPAND, TargetOf(item, true), 0, TargetOf(item, true).handle);
  });
  connect(scope_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
    if (snapin_) NotifyScope(MMCN_DBLCLICK, TargetOf(item, true), 0, 0);
  });
  connect(scope_, &QWidget::customContextMenuRequested, this, &ConsoleWindow::ShowScopeMenu);
  connect(result_, &QTreeWidget::itemSelectionChanged, this, &ConsoleWindow::OnResultSelected);
  connect(result_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* row, int) { OnResultActivated(row); });
  connect(result_, &QWidget::customContextMenuRequested, this, &ConsoleWindow::ShowResultMenu);
}

ConsoleWindow::~ConsoleWindow() { UnloadSnapin(); }

void ConsoleWindow::closeEvent(QCloseEvent* event) {
  UnloadSnapin();
  event->accept();
}

void ConsoleWindow::BuildMenus() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  QAction* exit = file->addAction(QStringLiteral("E&xit"));
  exit->setShortcut(QKeySequence::Quit);
  connect(exit, &QAction::triggered, this, &QWidget::close);

  // The Action menu is the context menu of what is selected.
  QMenu* action = menuBar()->addMenu(QStringLiteral("&Action"));
  action->setObjectName(QStringLiteral("ActionMenu"));
  connect(action, &QMenu::aboutToShow, this, [this, action] {
    action->clear();
    actionSource_.reset();
    if (!snapin_ || !scope_->currentItem()) {
      action->addAction(QStringLiteral("(nothing selected)"))->setEnabled(false);
      return;
    }
    // The context menu lives on behind the Action menu: its submenus and
    // actions are shown from there.
    actionSource_ = MenuFor(Current());
    action->addActions(actionSource_->actions());
  });

  // Keyboard equivalents of the verbs, live whatever menu is open.
  auto shortcut = [this](const QKeySequence& keys, void (ConsoleWindow::*run)()) {
    auto* a = new QAction(this);
    a->setShortcut(keys);
    a->setShortcutContext(Qt::WindowShortcut);
    connect(a, &QAction::triggered, this, run);
    addAction(a);
  };
  shortcut(QKeySequence(Qt::Key_F5), &ConsoleWindow::RunRefresh);
  shortcut(QKeySequence(Qt::Key_Delete), &ConsoleWindow::RunDelete);
  shortcut(QKeySequence(Qt::ALT | Qt::Key_Return), &ConsoleWindow::RunProperties);

  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  connect(help->addAction(QStringLiteral("&About Quor Console")), &QAction::triggered, this, [this] {
    MessageBox("Quor Console: the host of the Quor Server administration snap-in.", "About Quor Console",
               MB_OK | MB_ICONINFORMATION);
  });
}

void ConsoleWindow::Status(const QString& text) { statusBar()->showMessage(text); }

// ---- Loading ------------------------------------------------------------------------------

HRESULT ConsoleWindow::LoadSnapin(std::string_view progId) {
  UnloadSnapin();
  const QString name = FromUtf8(progId);
  auto fail = [&](const QString& what, HRESULT hr) {
    UnloadSnapin();
    Status(QStringLiteral("No snap-in loaded"));
    MessageBox((what + QStringLiteral(" (status ") + Hex(hr) + QStringLiteral(")")).toStdString(), "Quor Console",
               MB_OK | MB_ICONHAND);
    return hr;
  };

  auto snapin = std::make_unique<Snapin>();
  {
    BusyCursor busy;
    com::CLSID clsid;
    HRESULT hr = com::CLSIDFromProgID(progId, clsid);
    if (SUCCEEDED(hr)) hr = com::CoCreateInstance(clsid, snapin->data);
    if (FAILED(hr) || !snapin->data) {
      return fail(QStringLiteral("The snap-in %1 could not be created: is its library registered with "
                                 "quor-regsvr in the registry file that QUOR_REGISTRY names?")
                      .arg(name),
                  FAILED(hr) ? hr : E_NOINTERFACE);
    }
  }
  snapin->data.As(snapin->dataMenu);
  snapin->data.As(snapin->dataSheet);
  snapin_ = std::move(snapin);

  HRESULT hr = S_OK;
  {
    BusyCursor busy;
    Status(QStringLiteral("Starting %1...").arg(name));
    // The snap-in signs in here, through RunLogon.
    hr = snapin_->data->Initialize(this);
  }
  if (FAILED(hr)) return fail(QStringLiteral("The snap-in %1 did not start.").arg(name), hr);
  {
    BusyCursor busy;
    hr = snapin_->data->CreateComponent(snapin_->component.Put());
    if (SUCCEEDED(hr) && !snapin_->component) hr = E_POINTER;
    if (SUCCEEDED(hr)) hr = snapin_->component->Initialize(this);
  }
  if (FAILED(hr)) return fail(QStringLiteral("The snap-in %1 gave no view.").arg(name), hr);
  snapin_->component.As(snapin_->viewMenu);
  snapin_->component.As(snapin_->viewSheet);

  // The snap-in's static node: the root of its tree.
  ScopeItem root;
  root.param = 0;
  // Its images are the snap-in's to say, as for any item it draws.
  root.mask = SDI_IMAGE | SDI_OPENIMAGE | SDI_PARAM;
  if (FAILED(snapin_->data->GetDisplayInfo(root))) root.image = root.openImage = -1;
  root.mask = SDI_STR | SDI_IMAGE | SDI_OPENIMAGE | SDI_PARAM;
  if (FAILED(hr = InsertItem(root))) return fail(QStringLiteral("The snap-in %1 has no root.").arg(name), hr);
  // Opened with its folders, and shown.
  ScopeItemOf(root.id)->setExpanded(true);
  if (QTreeWidgetItem* item = ScopeItemOf(root.id)) scope_->setCurrentItem(item);
  return S_OK;
}

void ConsoleWindow::UnloadSnapin() {
  if (!snapin_) return;
  if (hasShown_) NotifyScope(MMCN_SHOW, shown_, 0, shown_.handle);
  hasShown_ = false;
  quiet_ = true;
  ClearResultPane();
  scope_->clear();
  scopeItems_.clear();
  quiet_ = false;
  ResetVerbs();
  // The view first, then the snap-in, which ends its session.
  std::unique_ptr<Snapin> snapin = std::move(snapin_);
  if (snapin->component) snapin->component->Destroy(0);
  snapin->viewMenu = nullptr;
  snapin->viewSheet = nullptr;
  snapin->component = nullptr;
  snapin->dataMenu = nullptr;
  snapin->dataSheet = nullptr;
  if (snapin->data) {
    BusyCursor busy;
    snapin->data->Destroy();
  }
  snapin->data = nullptr;
}

QTreeWidgetItem* ConsoleWindow::RootItem() const { return scope_->topLevelItemCount() ? scope_->topLevelItem(0) : nullptr; }

// ---- Items --------------------------------------------------------------------------------

ConsoleWindow::Target ConsoleWindow::TargetOf(const QTreeWidgetItem* item, bool scope) {
  Target target;
  if (!item) return target;
  target.scope = scope || item->data(0, kScopeRole).toBool();
  target.cookie = static_cast<Cookie>(item->data(0, kCookieRole).toLongLong());
  target.handle = static_cast<ScopeHandle>(item->data(0, kHandleRole).toLongLong());
  return target;
}

ConsoleWindow::Target ConsoleWindow::Current() const {
  const QList<QTreeWidgetItem*> rows = result_->selectedItems();
  if (!rows.isEmpty()) return TargetOf(rows.front(), false);
  return TargetOf(scope_->currentItem(), true);
}

QTreeWidgetItem* ConsoleWindow::ScopeItemOf(ScopeHandle handle) const {
  const auto it = scopeItems_.find(handle);
  return it == scopeItems_.end() ? nullptr : it->second;
}

com::ComPtr<IDataObject> ConsoleWindow::DataObjectOf(const Target& target) {
  com::ComPtr<IDataObject> object;
  if (!snapin_) return object;
  if (target.scope)
    snapin_->data->QueryDataObject(target.cookie, CCT_SCOPE, object.Put());
  else if (snapin_->component)
    snapin_->component->QueryDataObject(target.cookie, CCT_RESULT, object.Put());
  return object;
}

HRESULT ConsoleWindow::NotifyScope(uint32_t event, const Target& target, std::intptr_t arg, std::intptr_t param) {
  if (!snapin_) return E_UNEXPECTED;
  com::ComPtr<IDataObject> object = DataObjectOf(target);
  if (!object) return E_UNEXPECTED;
  BusyCursor busy;
  // Expanding fills the name space, which the component data owns; the rest
  // concerns the view.
  if (event == MMCN_EXPAND) return snapin_->data->Notify(object.Get(), event, arg, param);
  if (!snapin_->component) return E_UNEXPECTED;
  return snapin_->component->Notify(object.Get(), event, arg, param);
}

HRESULT ConsoleWindow::NotifyResult(uint32_t event, const Target& target, std::intptr_t arg, std::intptr_t param) {
  if (target.scope) return NotifyScope(event, target, arg, param);
  if (!snapin_ || !snapin_->component) return E_UNEXPECTED;
  com::ComPtr<IDataObject> object = DataObjectOf(target);
  if (!object) return E_UNEXPECTED;
  BusyCursor busy;
  return snapin_->component->Notify(object.Get(), event, arg, param);
}

void ConsoleWindow::RefreshScopeText(QTreeWidgetItem* item) {
  if (!snapin_ || !item) return;
  ScopeItem info;
  info.mask = SDI_STR;
  info.param = static_cast<Cookie>(item->data(0, kCookieRole).toLongLong());
  info.id = static_cast<ScopeHandle>(item->data(0, kHandleRole).toLongLong());
  if (SUCCEEDED(snapin_->data->GetDisplayInfo(info))) item->setText(0, FromUtf8(info.text));
}

void ConsoleWindow::RefreshRowTexts(QTreeWidgetItem* row) {
  if (!snapin_ || !snapin_->component || !row) return;
  const Cookie cookie = static_cast<Cookie>(row->data(0, kCookieRole).toLongLong());
  for (int column = 0; column < std::max(1, result_->columnCount()); ++column) {
    ResultItem info;
    info.mask = RDI_STR;
    info.column = column;
    info.param = cookie;
    if (SUCCEEDED(snapin_->component->GetDisplayInfo(info))) row->setText(column, FromUtf8(info.text));
  }
}

void ConsoleWindow::ForgetScopeItem(QTreeWidgetItem* item) {
  for (int i = 0; i < item->childCount(); ++i) ForgetScopeItem(item->child(i));
  const auto handle = item->data(0, kHandleRole).toLongLong();
  scopeItems_.erase(static_cast<ScopeHandle>(handle));
  // Its row in the list, when the list shows folders.
  for (int i = result_->topLevelItemCount() - 1; listsFolders_ && i >= 0; --i) {
    QTreeWidgetItem* row = result_->topLevelItem(i);
    if (row->data(0, kScopeRole).toBool() && row->data(0, kHandleRole).toLongLong() == handle) delete row;
  }
  if (hasShown_ && shown_.handle == static_cast<ScopeHandle>(handle)) hasShown_ = false;
}

QIcon ConsoleWindow::ScopeIcon(const QTreeWidgetItem* item, bool open) const {
  const QVariant index = item->data(0, open ? kOpenImageRole : kImageRole);
  const QIcon icon = index.isValid() && index.toInt() >= 0 ? scopeImages_->Icon(index.toInt()) : QIcon();
  if (!icon.isNull()) return icon;
  return style()->standardIcon(open ? QStyle::SP_DirOpenIcon : QStyle::SP_DirIcon);
}

// ---- IConsoleNameSpace ----------------------------------------------------------------------

HRESULT ConsoleWindow::InsertItem(ScopeItem& item) {
  QTreeWidgetItem* parent = nullptr;
  if (item.relativeId != 0 && !(parent = ScopeItemOf(item.relativeId))) return E_INVALIDARG;
  auto* node = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(scope_);
  const ScopeHandle handle = nextHandle_++;
  node->setData(0, kHandleRole, static_cast<qlonglong>(handle));
  node->setData(0, kCookieRole, static_cast<qlonglong>(item.mask & SDI_PARAM ? item.param : 0));
  node->setData(0, kExpandedRole, false);
  node->setData(0, kScopeRole, true);
  node->setData(0, kImageRole, item.mask & SDI_IMAGE ? item.image : -1);
  node->setData(0, kOpenImageRole, item.mask & SDI_OPENIMAGE ? item.openImage : -1);
  node->setIcon(0, ScopeIcon(node, false));
  node->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  scopeItems_[handle] = node;
  item.id = handle;
  node->setText(0, FromUtf8(item.text));
  if (item.mask & SDI_STR) RefreshScopeText(node);
  // A folder appearing under the node whose folders the list shows.
  if (listsFolders_ && hasShown_ && item.relativeId == shown_.handle) AddFolderRow(node);
  return S_OK;
}

HRESULT ConsoleWindow::DeleteItem(ScopeHandle handle, bool deleteThis) {
  QTreeWidgetItem* item = ScopeItemOf(handle);
  if (!item) return E_INVALIDARG;
  // When the shown node goes, the selection moves to what stays; the
  // snap-in hears of it once it is done with this call.
  const auto inside = [item](QTreeWidgetItem* at) {
    for (; at; at = at->parent())
      if (at == item) return true;
    return false;
  };
  QTreeWidgetItem* current = scope_->currentItem();
  const bool moved = current && inside(current) && (deleteThis || current != item);
  quiet_ = true;
  if (moved) {
    scope_->setCurrentItem(deleteThis ? item->parent() : item);
    ClearResultPane();
    hasShown_ = false;
  }
  while (item->childCount() > 0) {
    QTreeWidgetItem* child = item->child(0);
    ForgetScopeItem(child);
    delete child;
  }
  if (deleteThis) {
    ForgetScopeItem(item);
    delete item;
  }
  quiet_ = false;
  if (moved) QTimer::singleShot(0, this, [this] { OnScopeSelected(scope_->currentItem(), nullptr); });
  return S_OK;
}

void ConsoleWindow::OnScopeExpanded(QTreeWidgetItem* item) {
  item->setIcon(0, ScopeIcon(item, true));
  if (quiet_ || !snapin_ || item->data(0, kExpandedRole).toBool()) return;
  item->setData(0, kExpandedRole, true);
  const Target target = TargetOf(item, true);
  const HRESULT hr = NotifyScope(MMCN_EXPAND, target, 1, target.handle);
  // The item may be gone if the snap-in deleted it while expanding.
  item = ScopeItemOf(target.handle);
  if (!item) return;
  if (item->childCount() == 0) item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
  if (FAILED(hr)) Status(QStringLiteral("Expanding %1 failed (%2)").arg(item->text(0), Hex(hr)));
}

// ---- Selection and the result pane ------------------------------------------------------------

void ConsoleWindow::ClearResultPane() {
  result_->clear();
  resultRows_.clear();
  result_->setColumnCount(1);
  result_->headerItem()->setText(0, QStringLiteral("Name"));
  result_->headerItem()->setTextAlignment(0, Qt::AlignLeft | Qt::AlignVCenter);
  result_->setColumnWidth(0, 240);
  columnsInserted_ = 0;
  listsFolders_ = false;
  description_->clear();
  description_->setVisible(false);
}

void ConsoleWindow::ResetVerbs() { verbs_.clear(); }

bool ConsoleWindow::VerbEnabled(uint32_t verb) const {
  const auto it = verbs_.find(verb);
  return it != verbs_.end() && it->second;
}

void ConsoleWindow::OnScopeSelected(QTreeWidgetItem* current, QTreeWidgetItem* /*previous*/) {
  if (quiet_ || !snapin_) return;
  if (hasShown_) {
    NotifyScope(MMCN_SELECT, shown_, SelectArg(true, false), 0);
    NotifyScope(MMCN_SHOW, shown_, 0, shown_.handle);
  }
  hasShown_ = false;
  quiet_ = true;
  ClearResultPane();
  quiet_ = false;
  ResetVerbs();
  if (!current) return;

  shown_ = TargetOf(current, true);
  hasShown_ = true;
  if (snapin_->component) {
    std::string viewType;
    long options = 0;
    snapin_->component->GetResultViewType(shown_.cookie, viewType, options);
    snapin_->component->Notify(nullptr, MMCN_ADD_IMAGES,
                               reinterpret_cast<std::intptr_t>(static_cast<IImageList*>(resultImages_.get())),
                               shown_.handle);
  }
  NotifyScope(MMCN_SHOW, shown_, 1, shown_.handle);
  // The item may have gone while the snap-in filled the pane.
  current = ScopeItemOf(shown_.handle);
  if (!current) return;
  if (columnsInserted_ == 0 && resultRows_.empty()) {
    // A node that lists nothing of its own shows its child folders.
    listsFolders_ = true;
    for (int i = 0; i < current->childCount(); ++i) AddFolderRow(current->child(i));
  }
  NotifyScope(MMCN_SELECT, shown_, SelectArg(true, true), 0);
  Status(current->text(0));
}

void ConsoleWindow::AddFolderRow(const QTreeWidgetItem* folder) {
  auto* row = new QTreeWidgetItem(result_);
  row->setText(0, folder->text(0));
  row->setIcon(0, ScopeIcon(folder, false));
  for (int role : {kHandleRole, kCookieRole}) row->setData(0, role, folder->data(0, role));
  row->setData(0, kScopeRole, true);
}

void ConsoleWindow::OnResultSelected() {
  if (quiet_ || !snapin_) return;
  ResetVerbs();
  const QList<QTreeWidgetItem*> rows = result_->selectedItems();
  if (rows.isEmpty()) {
    // Back to the verbs of the node whose list this is.
    if (hasShown_) NotifyScope(MMCN_SELECT, shown_, SelectArg(true, true), 0);
    return;
  }
  const Target target = TargetOf(rows.front(), false);
  NotifyResult(MMCN_SELECT, target, SelectArg(false, true), 0);
  Status(rows.front()->text(0));
}

void ConsoleWindow::OnResultActivated(QTreeWidgetItem* row) {
  if (!snapin_ || !row) return;
  const Target target = TargetOf(row, false);
  if (target.scope) {
    // A child folder listed here: open it in the tree.
    if (QTreeWidgetItem* item = ScopeItemOf(target.handle)) {
      if (item->parent()) item->parent()->setExpanded(true);
      scope_->setCurrentItem(item);
    }
    return;
  }
  // S_FALSE asks the console for the default action: the properties.
  if (NotifyResult(MMCN_DBLCLICK, target, 0, 0) == S_FALSE && VerbEnabled(MMC_VERB_PROPERTIES))
    ShowPropertySheet(target);
}

// ---- IResultData, IHeaderCtrl, IConsoleVerb ---------------------------------------------------

HRESULT ConsoleWindow::InsertItem(ResultItem& item) {
  auto* row = new QTreeWidgetItem(result_);
  const ResultHandle handle = nextHandle_++;
  row->setData(0, kHandleRole, static_cast<qlonglong>(handle));
  row->setData(0, kCookieRole, static_cast<qlonglong>(item.mask & RDI_PARAM ? item.param : 0));
  row->setData(0, kScopeRole, false);
  const QIcon icon = item.mask & RDI_IMAGE ? resultImages_->Icon(item.image) : QIcon();
  row->setIcon(0, icon.isNull() ? style()->standardIcon(QStyle::SP_FileIcon) : icon);
  resultRows_[handle] = row;
  item.itemId = handle;
  row->setText(0, FromUtf8(item.text));
  if (item.mask & RDI_STR) RefreshRowTexts(row);
  return S_OK;
}

HRESULT ConsoleWindow::DeleteItem(ResultHandle item, int /*column*/) {
  const auto it = resultRows_.find(item);
  if (it == resultRows_.end()) return E_INVALIDARG;
  delete it->second;
  resultRows_.erase(it);
  return S_OK;
}

HRESULT ConsoleWindow::DeleteAllRsltItems() {
  quiet_ = true;
  for (auto& [handle, row] : resultRows_) delete row;
  resultRows_.clear();
  quiet_ = false;
  return S_OK;
}

HRESULT ConsoleWindow::SetDescBarText(std::string_view text) {
  description_->setText(FromUtf8(text));
  description_->setVisible(!text.empty());
  return S_OK;
}

HRESULT ConsoleWindow::InsertColumn(int column, std::string_view title, int format, int width) {
  if (column < 0 || column > 255) return E_INVALIDARG;
  if (columnsInserted_ == 0) result_->setColumnCount(1);
  if (column >= result_->columnCount()) result_->setColumnCount(column + 1);
  const QString text = FromUtf8(title);
  result_->headerItem()->setText(column, text);
  const Qt::Alignment align = format == LVCFMT_RIGHT    ? Qt::AlignRight
                              : format == LVCFMT_CENTER ? Qt::AlignHCenter
                                                        : Qt::AlignLeft;
  result_->headerItem()->setTextAlignment(column, align | Qt::AlignVCenter);
  ++columnsInserted_;
  return SetColumnWidth(column, width);
}

HRESULT ConsoleWindow::SetColumnWidth(int column, int width) {
  if (column < 0 || column >= result_->columnCount()) return E_INVALIDARG;
  if (width == MMCLV_AUTO)
    width = QFontMetrics(result_->header()->font()).horizontalAdvance(result_->headerItem()->text(column)) + 24;
  if (width < 0) return E_INVALIDARG;
  result_->setColumnWidth(column, width);
  return S_OK;
}

HRESULT ConsoleWindow::SetVerbState(uint32_t verb, uint32_t state, bool on) {
  if (verb < MMC_VERB_OPEN || verb > MMC_VERB_PRINT) return E_INVALIDARG;
  if (state == ENABLED) verbs_[verb] = on;
  return S_OK;
}

IImageList* ConsoleWindow::QueryScopeImageList() { return scopeImages_.get(); }
IImageList* ConsoleWindow::QueryResultImageList() { return resultImages_.get(); }

// ---- Menus and verbs --------------------------------------------------------------------------

std::unique_ptr<QMenu> ConsoleWindow::ScopeMenu(QTreeWidgetItem* item) {
  if (item && scope_->currentItem() != item) scope_->setCurrentItem(item);
  if (item) result_->clearSelection();
  return MenuFor(TargetOf(item, true));
}

std::unique_ptr<QMenu> ConsoleWindow::ResultMenu(QTreeWidgetItem* row) {
  if (row && !row->isSelected()) {
    result_->clearSelection();
    row->setSelected(true);
  }
  return MenuFor(TargetOf(row, false));
}

std::unique_ptr<QMenu> ConsoleWindow::MenuFor(const Target& target) {
  auto menu = std::make_unique<QMenu>(this);
  menu->setObjectName(QStringLiteral("ContextMenu"));
  if (!snapin_) return menu;
  NotifyResult(MMCN_CONTEXTMENU, target, 0, 0);

  MenuCollector collected;
  IExtendContextMenu* extension = target.scope ? snapin_->dataMenu.Get() : snapin_->viewMenu.Get();
  if (com::ComPtr<IDataObject> object = DataObjectOf(target); extension && object) {
    BusyCursor busy;
    extension->AddMenuItems(object.Get(), &collected,
                            CCM_INSERTIONALLOWED_TOP | CCM_INSERTIONALLOWED_NEW | CCM_INSERTIONALLOWED_TASK |
                                CCM_INSERTIONALLOWED_VIEW);
  }
  // Top items in the menu itself, the others in their submenus.
  QMenu* newMenu = nullptr;
  QMenu* taskMenu = nullptr;
  QMenu* viewMenu = nullptr;
  for (const MenuItem& item : collected.items) {
    QMenu* into = menu.get();
    if (item.insertionPointId == CCM_INSERTIONPOINTID_PRIMARY_NEW) {
      if (!newMenu) (newMenu = menu->addMenu(QStringLiteral("&New")))->setObjectName(QStringLiteral("New"));
      into = newMenu;
    } else if (item.insertionPointId == CCM_INSERTIONPOINTID_PRIMARY_TASK) {
      if (!taskMenu) (taskMenu = menu->addMenu(QStringLiteral("All Tas&ks")))->setObjectName(QStringLiteral("AllTasks"));
      into = taskMenu;
    } else if (item.insertionPointId == CCM_INSERTIONPOINTID_PRIMARY_VIEW) {
      if (!viewMenu) (viewMenu = menu->addMenu(QStringLiteral("&View")))->setObjectName(QStringLiteral("View"));
      into = viewMenu;
    } else if (item.insertionPointId != CCM_INSERTIONPOINTID_PRIMARY_TOP) {
      continue;  // not a point this console offers
    }
    QAction* action = into->addAction(FromUtf8(item.name));
    action->setObjectName(QString::number(item.commandId));
    action->setStatusTip(FromUtf8(item.statusBarText));
    action->setEnabled((item.flags & (MF_GRAYED | MF_DISABLED)) == 0);
    const long commandId = item.commandId;
    connect(action, &QAction::triggered, this, [this, target, commandId] { RunCommand(target, commandId); });
  }

  struct Verb {
    uint32_t verb;
    const char* text;
    void (ConsoleWindow::*run)();
  };
  constexpr Verb kVerbs[] = {{MMC_VERB_REFRESH, "Re&fresh", &ConsoleWindow::RunRefresh},
                             {MMC_VERB_DELETE, "&Delete", &ConsoleWindow::RunDelete},
                             {MMC_VERB_PROPERTIES, "P&roperties", &ConsoleWindow::RunProperties}};
  bool separated = menu->actions().isEmpty();
  for (const Verb& verb : kVerbs) {
    if (!VerbEnabled(verb.verb)) continue;
    if (!separated) menu->addSeparator();
    separated = true;
    QAction* action = menu->addAction(QString::fromUtf8(verb.text));
    action->setObjectName(QStringLiteral("verb-%1").arg(verb.verb, 0, 16));
    connect(action, &QAction::triggered, this, verb.run);
  }
  return menu;
}

void ConsoleWindow::ShowScopeMenu(const QPoint& at) {
  QTreeWidgetItem* item = scope_->itemAt(at);
  if (!item) return;
  std::unique_ptr<QMenu> menu = ScopeMenu(item);
  menu->exec(scope_->viewport()->mapToGlobal(at));
}

void ConsoleWindow::ShowResultMenu(const QPoint& at) {
  QTreeWidgetItem* row = result_->itemAt(at);
  std::unique_ptr<QMenu> menu = row ? ResultMenu(row) : MenuFor(TargetOf(scope_->currentItem(), true));
  menu->exec(result_->viewport()->mapToGlobal(at));
}

void ConsoleWindow::RunCommand(const Target& target, long commandId) {
  if (!snapin_) return;
  IExtendContextMenu* extension = target.scope ? snapin_->dataMenu.Get() : snapin_->viewMenu.Get();
  com::ComPtr<IDataObject> object = DataObjectOf(target);
  if (!extension || !object) return;
  HRESULT hr;
  {
    BusyCursor busy;
    hr = extension->Command(commandId, object.Get());
  }
  if (FAILED(hr)) Status(QStringLiteral("The command failed (%1)").arg(Hex(hr)));
  if (target.scope) RefreshScopeText(ScopeItemOf(target.handle));
}

void ConsoleWindow::RunRefresh() {
  if (!snapin_ || !VerbEnabled(MMC_VERB_REFRESH)) return;
  const Target target = Current();
  NotifyResult(MMCN_REFRESH, target, 0, target.scope ? target.handle : 0);
  if (target.scope) RefreshScopeText(ScopeItemOf(target.handle));
}

void ConsoleWindow::RunDelete() {
  if (!snapin_ || !VerbEnabled(MMC_VERB_DELETE)) return;
  NotifyResult(MMCN_DELETE, Current(), 0, 0);
}

void ConsoleWindow::RunProperties() {
  if (!snapin_ || !VerbEnabled(MMC_VERB_PROPERTIES)) return;
  ShowPropertySheet(Current());
}

void ConsoleWindow::ShowPropertySheet(const Target& target) {
  IExtendPropertySheet* extension = target.scope ? snapin_->dataSheet.Get() : snapin_->viewSheet.Get();
  com::ComPtr<IDataObject> object = DataObjectOf(target);
  if (!extension || !object) return;
  PageCollector collected;
  {
    BusyCursor busy;
    if (extension->QueryPagesFor(object.Get()) != S_OK) return;
    if (FAILED(extension->CreatePropertyPages(&collected, target.handle, object.Get()))) return;
  }
  if (collected.pages.empty()) return;

  QString name;
  if (target.scope) {
    if (QTreeWidgetItem* item = ScopeItemOf(target.handle)) name = item->text(0);
  } else if (!result_->selectedItems().isEmpty()) {
    name = result_->selectedItems().front()->text(0);
  }
  QDialog sheet(this);
  sheet.setObjectName(QStringLiteral("PropertySheet"));
  sheet.setWindowTitle(QStringLiteral("%1 Properties").arg(name));
  auto* tabs = new QTabWidget(&sheet);
  tabs->setObjectName(QStringLiteral("Pages"));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply,
                                       &sheet);
  buttons->setObjectName(QStringLiteral("Buttons"));
  QPushButton* apply = buttons->button(QDialogButtonBox::Apply);
  // Apply is on while some page has a change to apply.
  const auto updateApply = [&collected, apply] {
    apply->setEnabled(std::any_of(collected.pages.begin(), collected.pages.end(),
                                  [](const auto& page) { return page->Changed(); }));
  };
  for (const auto& page : collected.pages) {
    auto* body = new PropertyPageWidget(*page, updateApply);
    body->setObjectName(FromUtf8(page->Title()));
    body->setMinimumSize(360, 240);
    tabs->addTab(body, FromUtf8(page->Title()));
  }
  updateApply();
  // Applies every changed page. A refusal shows its page and field with the
  // reason and leaves the sheet open; the pages after it are not applied.
  const auto applyPages = [&]() -> bool {
    bool applied = false;
    bool refused = false;
    for (size_t i = 0; i < collected.pages.size() && !refused; ++i) {
      IPropertyPage& page = *collected.pages[i];
      if (!page.Changed()) continue;
      const PageApplyResult result = page.Apply();
      if (result.ok) {
        applied = true;
        continue;
      }
      refused = true;
      QWidget* body = tabs->widget(static_cast<int>(i));
      tabs->setCurrentWidget(body);
      if (QWidget* field = body->findChild<QWidget*>(FromUtf8(result.field))) field->setFocus();
      ShowMessageBox(&sheet, result.message, page.Title(), MB_OK | MB_ICONEXCLAMATION);
    }
    updateApply();
    // The snap-in hears of what was written, as after any page's Apply.
    if (applied) NotifyResult(MMCN_PROPERTY_CHANGE, target, target.scope ? 1 : 0, target.cookie);
    return !refused;
  };
  connect(apply, &QPushButton::clicked, &sheet, [applyPages] { applyPages(); });
  connect(buttons, &QDialogButtonBox::accepted, &sheet, [&sheet, applyPages] {
    if (applyPages()) sheet.accept();
  });
  connect(buttons, &QDialogButtonBox::rejected, &sheet, &QDialog::reject);
  auto* layout = new QVBoxLayout(&sheet);
  layout->addWidget(tabs);
  layout->addWidget(buttons);
  QApplication::setOverrideCursor(Qt::ArrowCursor);
  sheet.exec();
  QApplication::restoreOverrideCursor();
}

// ---- IDialogHost ------------------------------------------------------------------------------

int ConsoleWindow::MessageBox(std::string_view text, std::string_view caption, uint32_t style) {
  return ShowMessageBox(this, text, caption, style);
}

LogonReply ConsoleWindow::RunLogon(const LogonRequest& request) { return LogonDialog::Run(request, this); }

namespace {

// A dialog asked for from inside another (a property page's Browse) sits on
// that one rather than on the main window.
QWidget* DialogParent(QWidget* window) {
  QWidget* modal = QApplication::activeModalWidget();
  return modal ? modal : window;
}

}  // namespace

DialogReply ConsoleWindow::AskText(const InputRequest& request) {
  return TextInputDialog::Run(request, DialogParent(this));
}

DialogReply ConsoleWindow::AskSavePath(const SaveRequest& request) {
  return TextInputDialog::RunSave(request, DialogParent(this));
}

DialogReply ConsoleWindow::ChoosePath(const ChooserRequest& request) {
  return ChooserDialog::Run(request, DialogParent(this));
}

void ConsoleWindow::BeginProgress(std::string_view message) {
  // Modeless: the caller blocks the event loop while it is up, so it is
  // drawn at once rather than when the loop runs again. It sits on the main
  // window, which outlives it whatever else closes meanwhile.
  progress_ = std::make_unique<ConnectingDialog>(message, this);
  progress_->show();
  progress_->repaint();
}

void ConsoleWindow::SetProgress(int position) {
  if (progress_) progress_->SetPosition(std::clamp(position, 0, 100));
}

void ConsoleWindow::EndProgress() { progress_.reset(); }

int ConsoleWindow::RunModal(IModalDialog& dialog) { return ModalDialogWindow::Run(dialog, this); }

}  // namespace quor::console::qt
