#include "console/ChooserDialog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "console/Dialogs.h"
#include "console/InputDialogs.h"

namespace quor::console::qt {

namespace {

QString FromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

ChooserDialog::ChooserDialog(DirectoryChooser& model, QWidget* parent) : QDialog(parent), model_(model) {
  setObjectName(ControlName(DirectoryChooser::kDialogId));
  setWindowTitle(FromUtf8(model_.Caption()));
  setModal(true);

  path_ = new QLabel(this);
  path_->setObjectName(ControlName(DirectoryChooser::kPathStatic));
  path_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  list_ = new QListWidget(this);
  list_->setObjectName(ControlName(DirectoryChooser::kEntryList));
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setMinimumSize(280, 200);
  drives_ = new QComboBox(this);
  drives_->setObjectName(ControlName(DirectoryChooser::kDriveList));
  // Room in the drop-down for several roots.
  drives_->view()->setMinimumHeight(100);
  for (const std::string& root : model_.Drives()) drives_->addItem(FromUtf8(root));

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(ControlName(kOkButton));
  ok->setDefault(false);
  ok->setAutoDefault(false);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(ControlName(kCancelButton));
  cancel->setAutoDefault(false);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(drives_, 1);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(path_);
  layout->addWidget(list_, 1);
  layout->addLayout(buttons);

  connect(list_, &QListWidget::currentRowChanged, this, [this](int row) {
    if (!refreshing_) model_.Select(row);
  });
  // Enter in the list opens a folder rather than ending the dialog.
  connect(list_, &QListWidget::itemActivated, this,
          [this](QListWidgetItem* item) { OnActivated(list_->row(item)); });
  connect(drives_, &QComboBox::activated, this, &ChooserDialog::OnDrive);
  connect(ok, &QPushButton::clicked, this, &ChooserDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &ChooserDialog::reject);
  Refresh();
  list_->setFocus(Qt::OtherFocusReason);
}

void ChooserDialog::Refresh() {
  refreshing_ = true;
  path_->setText(FromUtf8(model_.Directory()));
  list_->clear();
  for (const ChooserEntry& entry : model_.Entries()) list_->addItem(FromUtf8(entry.Display()));
  list_->setCurrentRow(-1);
  const int drive = drives_->findText(FromUtf8(model_.CurrentDrive()));
  drives_->setCurrentIndex(drive);
  refreshing_ = false;
}

void ChooserDialog::OnActivated(int row) {
  if (model_.Activate(row)) Refresh();
}

void ChooserDialog::OnDrive(int index) {
  if (const auto notice = model_.ChooseDrive(drives_->itemText(index).toStdString())) {
    // Nothing changed: the list keeps its selection, the drive list shows
    // the current folder's drive again.
    ShowNotice(this, *notice);
    drives_->setCurrentIndex(drives_->findText(FromUtf8(model_.CurrentDrive())));
    return;
  }
  Refresh();
}

DialogReply ChooserDialog::Run(const ChooserRequest& request, QWidget* parent) {
  DirectoryChooser model;
  model.SetStartDirectory(request.startPath);
  model.SetPattern(request.pattern);
  if (request.files) model.AllowFiles();
  QApplication::setOverrideCursor(Qt::ArrowCursor);
  if (const auto notice = model.Open()) ShowNotice(parent, *notice);
  ChooserDialog dialog(model, parent);
  const int result = dialog.exec();
  QApplication::restoreOverrideCursor();
  if (result != QDialog::Accepted) return {};
  return {true, model.GetResult()};
}

}  // namespace quor::console::qt
