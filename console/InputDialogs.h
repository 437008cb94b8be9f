// The input dialog and the save-configuration dialog built on it, in Qt, on
// the toolkit-free models of platform/console/InputDialog.h: the window
// forwards typing and buttons to the model and shows the message boxes the
// model answers. Every control's objectName is its control id ("223", "224",
// "1", "2").
#pragma once

#include <QDialog>

#include "platform/console/DialogTypes.h"
#include "platform/console/InputDialog.h"
#include "platform/console/snapin.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace quor::console::qt {

// Shows the message box a dialog model asks for and answers the button
// pressed (IDOK, IDRETRY, IDCANCEL, IDYES, IDNO).
int ShowNotice(QWidget* parent, const Notice& notice);

class TextInputDialog final : public QDialog {
 public:
  static constexpr int kOkButton = 1;
  static constexpr int kCancelButton = 2;
  // Longest text the edit takes.
  static constexpr int kMaxText = 260;

  // The model outlives the dialog; a SaveConfigDialog brings its checks.
  explicit TextInputDialog(InputDialog& model, QWidget* parent = nullptr);

  // OK: asks the model, which may end the dialog or keep it open behind a box.
  void accept() override;

  static DialogReply Run(const InputRequest& request, QWidget* parent);
  // The reply's text is the folder joined to the completed name.
  static DialogReply RunSave(const SaveRequest& request, QWidget* parent);

 private:
  void Finish(const InputDialog::Outcome& outcome);
  static int Exec(QDialog& dialog);

  InputDialog& model_;
  SaveConfigDialog* save_;  // the same model when it is a save dialog
  QLabel* prompt_;
  QLineEdit* edit_;
  QPushButton* ok_;
};

}  // namespace quor::console::qt
