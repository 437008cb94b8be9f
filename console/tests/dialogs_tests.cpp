// The logon and connecting dialogs and the message boxes, driven as a user
// would through their controls (found by control id).
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include "console/Dialogs.h"
#include "console/tests/ModalDriver.h"

namespace quor::console::qt {
namespace {

using testing::ModalDriver;

LogonRequest Request(std::string service, std::string user, std::string known) {
  return {std::move(service), std::move(user), std::move(known)};
}

QComboBox* Combo(QWidget& dialog) { return dialog.findChild<QComboBox*>("334"); }
QLineEdit* Edit(QWidget& dialog, const char* id) { return dialog.findChild<QLineEdit*>(id); }

TEST(LogonDialog, ControlsCarryTheirIdsAndTexts) {
  LogonDialog dialog(Request("local", "administrator", "local"));
  EXPECT_EQ(dialog.objectName(), "228");
  EXPECT_EQ(dialog.windowTitle(), "Logon");
  ASSERT_NE(Combo(dialog), nullptr);
  EXPECT_TRUE(Combo(dialog)->isEditable());
  EXPECT_EQ(Combo(dialog)->view()->minimumHeight(), 100);
  ASSERT_NE(Edit(dialog, "243"), nullptr);
  ASSERT_NE(Edit(dialog, "244"), nullptr);
  EXPECT_EQ(Edit(dialog, "244")->echoMode(), QLineEdit::Password);
  const std::pair<const char*, const char*> labels[] = {
      {"279", "&Service Name:"}, {"280", "&User Name:"}, {"281", "&Password:"}};
  for (const auto& [id, text] : labels) {
    auto* label = dialog.findChild<QLabel*>(id);
    ASSERT_NE(label, nullptr) << id;
    EXPECT_EQ(label->text(), text);
    EXPECT_NE(label->buddy(), nullptr) << id << ": its mnemonic reaches a field";
  }
  auto* ok = dialog.findChild<QPushButton*>("1");
  auto* cancel = dialog.findChild<QPushButton*>("2");
  ASSERT_TRUE(ok && cancel);
  EXPECT_EQ(ok->text(), "OK");
  EXPECT_EQ(cancel->text(), "Cancel");
  EXPECT_TRUE(ok->isDefault());
  // How it looks, kept beside the build.
  dialog.show();
  EXPECT_TRUE(dialog.grab().save(QStringLiteral(QUOR_BUILD_DIR "/console-logon.png")));
  // Each field takes at most 259 characters.
  Edit(dialog, "243")->setText(QString(300, QLatin1Char('u')));
  EXPECT_EQ(Edit(dialog, "243")->text().size(), LogonDialog::kMaxText);
  EXPECT_EQ(Combo(dialog)->lineEdit()->maxLength(), LogonDialog::kMaxText);
}

TEST(LogonDialog, KnownServicesFillTheListAndTheStoredOneIsSelectedByPrefix) {
  {
    // The search starts at the second item and wraps round; case is ignored.
    LogonDialog dialog(Request("LOC", "u", "localA,beta,local-b"));
    ASSERT_EQ(Combo(dialog)->count(), 3);
    EXPECT_EQ(Combo(dialog)->currentIndex(), 2);
    EXPECT_EQ(Combo(dialog)->currentText(), "local-b");
  }
  {
    LogonDialog dialog(Request("alpha", "u", "alpha,beta"));
    EXPECT_EQ(Combo(dialog)->currentIndex(), 0) << "wrapped round to the first";
  }
  {
    // Nothing begins with it: the first item, with the stored name typed over.
    LogonDialog dialog(Request("http://127.0.0.1:1/x", "u", "alpha,beta"));
    EXPECT_EQ(Combo(dialog)->currentIndex(), 0);
    EXPECT_EQ(Combo(dialog)->currentText(), "http://127.0.0.1:1/x");
  }
  {
    // No known services: one empty item, and the stored name in the field.
    LogonDialog dialog(Request("local", "u", ""));
    ASSERT_EQ(Combo(dialog)->count(), 1);
    EXPECT_EQ(Combo(dialog)->itemText(0), "");
    EXPECT_EQ(Combo(dialog)->currentText(), "local");
  }
  {
    // A trailing comma leaves an empty last item.
    LogonDialog dialog(Request("local", "u", "a,"));
    ASSERT_EQ(Combo(dialog)->count(), 2);
    EXPECT_EQ(Combo(dialog)->itemText(1), "");
  }
}

TEST(LogonDialog, FocusGoesWhereTheFirstMissingTextIs) {
  struct Case {
    LogonRequest request;
    const char* focused;
  };
  const Case cases[] = {{Request("local", "admin", ""), "244"},
                        {Request("local", "", ""), "243"},
                        {Request("", "", ""), "334"}};
  for (const Case& c : cases) {
    ModalDriver driver;
    QString focused;
    driver.Then([&](QWidget* modal) {
      QWidget* focus = modal->focusWidget();
      // The combo's line edit stands for the combo.
      while (focus && focus->objectName().isEmpty()) focus = focus->parentWidget();
      focused = focus ? focus->objectName() : QString();
      QMetaObject::invokeMethod(modal->findChild<QPushButton*>("2"), &QAbstractButton::click, Qt::QueuedConnection);
    });
    const LogonReply reply = LogonDialog::Run(c.request, nullptr);
    EXPECT_FALSE(reply.ok) << "cancelled";
    EXPECT_EQ(focused, c.focused) << c.request.serviceName << "/" << c.request.userName;
  }
}

TEST(LogonDialog, BlankNamesAreRefusedAndTheDialogStaysOpen) {
  ModalDriver driver;
  // Blank service first, then blank user, then a complete entry with an
  // empty password, which is accepted.
  driver.Then([](QWidget* modal) {
    Combo(*modal)->setEditText("");
    Edit(*modal, "243")->setText("someone");
    QMetaObject::invokeMethod(modal->findChild<QPushButton*>("1"), &QAbstractButton::click, Qt::QueuedConnection);
  });
  driver.ThenMessageBox();
  // The same dialog, still open after the refusal, comes back to the driver.
  driver.Then([](QWidget* modal) {
    ASSERT_EQ(modal->objectName(), "228") << "still open after the refusal";
    Combo(*modal)->setEditText("http://host/x");
    Edit(*modal, "243")->clear();
    QMetaObject::invokeMethod(modal->findChild<QPushButton*>("1"), &QAbstractButton::click, Qt::QueuedConnection);
  });
  driver.ThenMessageBox();
  driver.Then([](QWidget* modal) {
    ASSERT_EQ(modal->objectName(), "228");
    Edit(*modal, "243")->setText("someone");
    QMetaObject::invokeMethod(modal->findChild<QPushButton*>("1"), &QAbstractButton::click, Qt::QueuedConnection);
  });
  const LogonReply reply = LogonDialog::Run(Request("local", "", ""), nullptr);
  EXPECT_TRUE(driver.Done());
  ASSERT_EQ(driver.Seen().size(), 5u);
  EXPECT_EQ(driver.Seen()[1], "The Service Name is blank.  Please, try again.");
  EXPECT_EQ(driver.Seen()[3], "The User Name is blank.  Please, try again.");
  EXPECT_TRUE(reply.ok);
  EXPECT_EQ(reply.serviceName, "http://host/x");
  EXPECT_EQ(reply.userName, "someone");
  EXPECT_EQ(reply.password, "") << "an empty password is accepted";
  EXPECT_TRUE(driver.Unexpected().empty());
}

TEST(LogonDialog, OkGivesTheTypedTextsAndCancelGivesNothing) {
  ModalDriver driver;
  driver.ThenLogon("http://127.0.0.1:9/QuorService/QuorServiceCore.sod", "Administrator", "p@ss, wörd");
  LogonReply reply = LogonDialog::Run(Request("local", "old", "local"), nullptr);
  EXPECT_TRUE(reply.ok);
  EXPECT_EQ(reply.serviceName, "http://127.0.0.1:9/QuorService/QuorServiceCore.sod");
  EXPECT_EQ(reply.userName, "Administrator");
  EXPECT_EQ(reply.password, "p@ss, wörd");

  driver.Then([](QWidget* modal) {
    Edit(*modal, "244")->setText("typed but cancelled");
    QMetaObject::invokeMethod(modal->findChild<QPushButton*>("2"), &QAbstractButton::click, Qt::QueuedConnection);
  });
  reply = LogonDialog::Run(Request("local", "old", "local"), nullptr);
  EXPECT_FALSE(reply.ok);
  EXPECT_EQ(reply.password, "");
}

TEST(ConnectingDialog, ShowsTheMessageAndMovesTheBar) {
  ConnectingDialog dialog("Testing the connection to sales...");
  EXPECT_EQ(dialog.objectName(), "266");
  EXPECT_EQ(dialog.windowTitle(), "Connecting . . .");
  auto* bar = dialog.findChild<QProgressBar*>("337");
  auto* text = dialog.findChild<QLabel*>("338");
  ASSERT_TRUE(bar && text);
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_EQ(bar->value(), 0);
  EXPECT_EQ(text->text(), "Testing the connection to sales...");
  dialog.show();
  dialog.SetPosition(40);
  EXPECT_EQ(bar->value(), 40);
  dialog.SetPosition(100);
  EXPECT_EQ(bar->value(), 100);
}

TEST(MessageBox, StyleChoosesButtonsIconAndAnswer) {
  struct Case {
    uint32_t style;
    QMessageBox::StandardButton press;
    int answer;
    QMessageBox::Icon icon;
  };
  const Case cases[] = {
      {MB_OK | MB_ICONINFORMATION, QMessageBox::Ok, IDOK, QMessageBox::Information},
      {MB_YESNO | MB_ICONEXCLAMATION, QMessageBox::Yes, IDYES, QMessageBox::Warning},
      {MB_YESNO | MB_ICONEXCLAMATION, QMessageBox::No, IDNO, QMessageBox::Warning},
      {MB_RETRYCANCEL | MB_ICONHAND, QMessageBox::Retry, IDRETRY, QMessageBox::Critical},
      {MB_RETRYCANCEL | MB_ICONHAND | MB_TASKMODAL, QMessageBox::Cancel, IDCANCEL, QMessageBox::Critical},
      {MB_OKCANCEL | MB_ICONQUESTION, QMessageBox::Cancel, IDCANCEL, QMessageBox::Question},
  };
  for (const Case& c : cases) {
    ModalDriver driver;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString caption;
    driver.Then([&](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      ASSERT_NE(box, nullptr);
      icon = box->icon();
      caption = box->windowTitle();
      QMetaObject::invokeMethod(box->button(c.press), &QAbstractButton::click, Qt::QueuedConnection);
    });
    EXPECT_EQ(ShowMessageBox(nullptr, "Fail to reload unify tables.", "Error", c.style), c.answer) << c.style;
    EXPECT_EQ(icon, c.icon) << c.style;
    EXPECT_EQ(caption, "Error");
  }
  // Closed without a button: Yes/No answers No.
  ModalDriver driver;
  driver.Then([](QWidget* modal) { QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection); });
  EXPECT_EQ(ShowMessageBox(nullptr, "Delete?", "Warning", MB_YESNO | MB_ICONEXCLAMATION), IDNO);
}

}  // namespace
}  // namespace quor::console::qt
