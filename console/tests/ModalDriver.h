// Answers the modal dialogs a test provokes: each step is run, in order, on
// the next modal window that comes up (found by polling from the nested
// event loop the dialog runs). Buttons are pressed through queued calls so
// that a step never runs inside another dialog's loop. A modal window with
// no step left is recorded and closed after a while, so a test never hangs.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace quor::console::qt::testing {

class ModalDriver {
 public:
  using Step = std::function<void(QWidget*)>;

  ModalDriver() {
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start();
  }
  ~ModalDriver() { timer_.stop(); }

  void Then(Step step) { steps_.push_back(std::move(step)); }
  bool Done() const { return steps_.empty(); }
  // Texts of the message boxes seen, in order; titles of other modal windows.
  const std::vector<std::string>& Seen() const { return seen_; }
  const std::vector<std::string>& Unexpected() const { return unexpected_; }

  // A message box: its text is recorded and `button` pressed.
  void ThenMessageBox(QMessageBox::StandardButton button = QMessageBox::Ok) {
    Then([button](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      ASSERT_NE(box, nullptr) << "expected a message box, got " << modal->windowTitle().toStdString();
      QAbstractButton* pressed = box->button(button);
      ASSERT_NE(pressed, nullptr) << "the box has no such button: " << box->text().toStdString();
      QMetaObject::invokeMethod(pressed, &QAbstractButton::click, Qt::QueuedConnection);
    });
  }

  // The logon dialog: fills it by control id and presses OK ("1").
  void ThenLogon(const std::string& service, const std::string& user, const std::string& password) {
    Then([=](QWidget* modal) {
      ASSERT_EQ(modal->objectName(), "228") << "expected the logon dialog";
      auto* combo = modal->findChild<QComboBox*>("334");
      auto* userEdit = modal->findChild<QLineEdit*>("243");
      auto* passwordEdit = modal->findChild<QLineEdit*>("244");
      auto* ok = modal->findChild<QPushButton*>("1");
      ASSERT_TRUE(combo && userEdit && passwordEdit && ok);
      combo->setEditText(QString::fromStdString(service));
      userEdit->setText(QString::fromStdString(user));
      passwordEdit->clear();
      // Typed key by key where the test library can (ASCII), else inserted.
      const QString typed = QString::fromStdString(password);
      bool ascii = true;
      for (QChar c : typed) ascii = ascii && c.unicode() < 0x80;
      if (ascii)
        QTest::keyClicks(passwordEdit, typed);
      else
        passwordEdit->insert(typed);
      QMetaObject::invokeMethod(ok, &QAbstractButton::click, Qt::QueuedConnection);
    });
  }

  // Presses the button of a control id ("2": Cancel) in the modal dialog.
  void ThenPress(const QString& button) {
    Then([button](QWidget* modal) {
      auto* target = modal->findChild<QAbstractButton*>(button);
      ASSERT_NE(target, nullptr) << "no button " << button.toStdString();
      QMetaObject::invokeMethod(target, &QAbstractButton::click, Qt::QueuedConnection);
    });
  }

  // Runs the event loop until every step ran (or `ms` passed).
  bool WaitDone(int ms = 10000) { return QTest::qWaitFor([this] { return Done(); }, ms); }

 private:
  void Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible()) {
      lingering_.invalidate();
      return;
    }
    // The window a step already ran on, still up (the step's button press
    // is queued). A dialog that comes back after a box over it closed
    // counts as a new appearance.
    if (modal == last_.data()) return;
    // A window is answered only when it is still the one up at the next
    // poll: one that comes back as a dialog over it closes is first seen
    // from the closing dialog's loop, before the code that opened that
    // dialog has gone on (a line added, a service called).
    if (modal != candidate_.data()) {
      candidate_ = modal;
      return;
    }
    if (steps_.empty()) {
      // Not scripted: give the test a moment (it may be adding a step), then close it.
      if (!lingering_.isValid()) lingering_.start();
      if (lingering_.elapsed() < 5000) return;
      lingering_.invalidate();
      unexpected_.push_back(Describe(modal));
      last_ = modal;
      if (auto* dialog = qobject_cast<QDialog*>(modal))
        QMetaObject::invokeMethod(dialog, &QDialog::reject, Qt::QueuedConnection);
      return;
    }
    last_ = modal;
    seen_.push_back(Describe(modal));
    Step step = std::move(steps_.front());
    steps_.pop_front();
    step(modal);
  }
  static std::string Describe(QWidget* modal) {
    if (auto* box = qobject_cast<QMessageBox*>(modal)) return box->text().toStdString();
    return modal->windowTitle().toStdString();
  }

  QTimer timer_;
  std::deque<Step> steps_;
  std::vector<std::string> seen_, unexpected_;
  QElapsedTimer lingering_;
  QPointer<QWidget> last_;
  QPointer<QWidget> candidate_;
};

}  // namespace quor::console::qt::testing
