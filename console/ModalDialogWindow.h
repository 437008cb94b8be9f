// A snap-in's own modal dialog (IModalDialog) drawn in Qt: its fields as a
// form of widgets named by their control ids, its push buttons in a row at
// the bottom. Every edit and press goes to the dialog at once; the window
// closes when the dialog says it ended.
#pragma once

#include <QDialog>

#include <memory>

#include "platform/console/snapin.h"

namespace quor::console::qt {

class ModalDialogWindow final : public QDialog {
 public:
  explicit ModalDialogWindow(IModalDialog& dialog, QWidget* parent = nullptr);
  ~ModalDialogWindow() override;

  // Opens the dialog, runs it and answers its result.
  static int Run(IModalDialog& dialog, QWidget* parent);

  // Escape and the window's close button.
  void reject() override;

 private:
  void AfterChange();

  IModalDialog& dialog_;
  class FieldPage;
  std::unique_ptr<FieldPage> fields_;
};

}  // namespace quor::console::qt
