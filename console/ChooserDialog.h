// The chooser of a folder or a file in Qt, on the toolkit-free model of
// platform/console/DirectoryChooser.h: the path label (1002), the list of
// entries (1003: a click selects, a double click or Enter opens a folder),
// the drive list (1004) and OK / Cancel; each control's objectName is its id.
#pragma once

#include <QDialog>

#include "platform/console/DirectoryChooser.h"
#include "platform/console/snapin.h"

class QComboBox;
class QLabel;
class QListWidget;

namespace quor::console::qt {

class ChooserDialog final : public QDialog {
 public:
  static constexpr int kOkButton = 1;
  static constexpr int kCancelButton = 2;

  // The model outlives the dialog and has been opened (DirectoryChooser::Open).
  explicit ChooserDialog(DirectoryChooser& model, QWidget* parent = nullptr);

  // Opens the chooser the request describes (showing the model's message
  // when the start folder cannot be listed) and answers the chosen path.
  static DialogReply Run(const ChooserRequest& request, QWidget* parent);

 private:
  // Shows the model's folder, entries and drive again.
  void Refresh();
  void OnActivated(int row);
  void OnDrive(int index);

  DirectoryChooser& model_;
  QLabel* path_;
  QListWidget* list_;
  QComboBox* drives_;
  bool refreshing_ = false;
};

}  // namespace quor::console::qt
