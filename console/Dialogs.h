// The console's own dialogs in Qt: message boxes, the logon dialog and the
// connecting dialog. Every control's objectName is its numeric control id
// ("334", "243", "1", ...), so that tests and accessibility tools find a
// control by the id the snap-in's resources give it.
#pragma once

#include <QDialog>
#include <QString>

#include <string_view>
#include <vector>

#include "platform/console/snapin.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QWidget;

namespace quor::console::qt {

// A modal message box in the host's style: `style` carries the button set
// (MB_OK, MB_OKCANCEL, MB_YESNO, MB_RETRYCANCEL) and the icon; the answer is
// the button pressed (IDOK, IDCANCEL, IDYES, IDNO, IDRETRY). Closing the box
// without a button answers the escape button (IDCANCEL, or IDNO for Yes/No).
int ShowMessageBox(QWidget* parent, std::string_view text, std::string_view caption, uint32_t style);

// The logon dialog: service name (an editable list of the known services),
// user name and password.
class LogonDialog final : public QDialog {
 public:
  static constexpr int kDialogId = 228;
  static constexpr int kServiceCombo = 334;
  static constexpr int kUserEdit = 243;
  static constexpr int kPasswordEdit = 244;
  static constexpr int kServiceLabel = 279;
  static constexpr int kUserLabel = 280;
  static constexpr int kPasswordLabel = 281;
  static constexpr int kOkButton = 1;
  static constexpr int kCancelButton = 2;
  // Longest text each field takes.
  static constexpr int kMaxText = 259;

  explicit LogonDialog(const LogonRequest& request, QWidget* parent = nullptr);

  // The texts entered; meaningful after the dialog was accepted.
  LogonReply Reply() const;

  // Runs the dialog modally and answers what it gave.
  static LogonReply Run(const LogonRequest& request, QWidget* parent);

  // OK: refuses blank service or user names with an error box.
  void accept() override;

 private:
  QComboBox* service_;
  QLineEdit* user_;
  QLineEdit* password_;
};

// The connecting dialog: a message and a progress bar from 0 to 100, for the
// caller to move while it waits on a slow step.
class ConnectingDialog final : public QDialog {
 public:
  static constexpr int kDialogId = 266;
  static constexpr int kProgress = 337;
  static constexpr int kMessage = 338;

  explicit ConnectingDialog(std::string_view message, QWidget* parent = nullptr);

  // Moves the bar and repaints at once: the caller is busy and the event
  // loop does not run until it is done.
  void SetPosition(int position);

 private:
  QProgressBar* progress_;
  QLabel* message_;
};

// The objectName of a control id.
QString ControlName(int id);

}  // namespace quor::console::qt
