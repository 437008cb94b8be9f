// The input, save and chooser dialogs and the connecting dialog, reached
// through the Qt host's dialog entries and driven by control id as a user
// would; and the recording host's answers to the same entries.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/console/DirectoryChooser.h"
#include "platform/console/InputDialog.h"
#include "console/ConsoleWindow.h"
#include "console/Dialogs.h"
#include "console/tests/ModalDriver.h"
#include "testing/RecordingHost.h"
#include "testing/TempDir.h"

namespace quor::console::qt {
namespace {

namespace stdfs = std::filesystem;
using testing::ModalDriver;

// A fresh folder, removed with everything in it afterwards, and ways to fill it.
class Folder : public quor::test::TempDir {
 public:
  Folder() : TempDir("quor-dialogs") {}
  const stdfs::path& path() const { return Path(); }
  std::string str() const { return Path().string(); }
  void File(const std::string& name) const { std::ofstream(Path() / name) << "x"; }
  void Dir(const std::string& name) const { stdfs::create_directories(Path() / name); }
};

QLineEdit* ValueEdit(QWidget* dialog) { return dialog->findChild<QLineEdit*>("223"); }
QPushButton* Button(QWidget* dialog, const char* id) { return dialog->findChild<QPushButton*>(id); }
void Click(QWidget* dialog, const char* id) {
  QMetaObject::invokeMethod(Button(dialog, id), &QAbstractButton::click, Qt::QueuedConnection);
}

// Types `text` over the value edit and presses OK.
ModalDriver::Step TypeAndOk(const std::string& text) {
  return [text](QWidget* dialog) {
    ASSERT_EQ(dialog->objectName(), "212");
    ASSERT_NE(ValueEdit(dialog), nullptr);
    ValueEdit(dialog)->setText(QString::fromStdString(text));
    Click(dialog, "1");
  };
}

std::vector<std::string> Shown(QWidget* dialog) {
  std::vector<std::string> texts;
  auto* list = dialog->findChild<QListWidget*>("1003");
  for (int i = 0; list && i < list->count(); ++i) texts.push_back(list->item(i)->text().toStdString());
  return texts;
}

// Opens the entry shown as `display` the way Enter in the list does.
void Open(QWidget* dialog, const std::string& display) {
  auto* list = dialog->findChild<QListWidget*>("1003");
  ASSERT_NE(list, nullptr);
  const auto found = list->findItems(QString::fromStdString(display), Qt::MatchExactly);
  ASSERT_EQ(found.size(), 1) << display;
  list->setCurrentItem(found.front());
  QTest::keyClick(list, Qt::Key_Return);
}

void Select(QWidget* dialog, const std::string& display) {
  auto* list = dialog->findChild<QListWidget*>("1003");
  ASSERT_NE(list, nullptr);
  const auto found = list->findItems(QString::fromStdString(display), Qt::MatchExactly);
  ASSERT_EQ(found.size(), 1) << display;
  list->setCurrentItem(found.front());
}

std::string PathShown(QWidget* dialog) { return dialog->findChild<QLabel*>("1002")->text().toStdString(); }

TEST(InputDialogs, TheInputDialogGivesTheTextOnOkAndNothingOnCancel) {
  ConsoleWindow window;
  ModalDriver driver;
  driver.Then([](QWidget* dialog) {
    ASSERT_EQ(dialog->objectName(), "212");
    EXPECT_EQ(dialog->windowTitle(), "Add User");
    EXPECT_EQ(dialog->findChild<QLabel*>("224")->text(), "User Name");
    EXPECT_EQ(dialog->size(), QSize(InputDialog::kWidth, InputDialog::kHeight));
    EXPECT_EQ(ValueEdit(dialog)->geometry().topLeft(), QPoint(10, 48));
    auto* ok = Button(dialog, "1");
    ASSERT_TRUE(ok && Button(dialog, "2"));
    // OK follows whether the text differs from the initial one.
    EXPECT_EQ(ValueEdit(dialog)->text(), "guest");
    EXPECT_FALSE(ok->isEnabled());
    QTest::keyClick(ValueEdit(dialog), Qt::Key_End);  // the text may be selected on opening
    QTest::keyClicks(ValueEdit(dialog), "s");
    EXPECT_EQ(ValueEdit(dialog)->text(), "guests");
    EXPECT_TRUE(ok->isEnabled());
    QTest::keyClick(ValueEdit(dialog), Qt::Key_Backspace);
    EXPECT_FALSE(ok->isEnabled());
    // Enter while OK is disabled does not end the dialog.
    QTest::keyClick(ValueEdit(dialog), Qt::Key_Return);
    EXPECT_TRUE(dialog->isVisible());
    ValueEdit(dialog)->setText(QString::fromUtf8("Zoë Müller"));
    Click(dialog, "1");
  });
  const DialogReply reply = window.AskText({"Add User", "User Name", "guest", false});
  EXPECT_TRUE(driver.WaitDone());
  EXPECT_TRUE(reply.ok);
  EXPECT_EQ(reply.text, "Zoë Müller");

  driver.Then([](QWidget* dialog) {
    ValueEdit(dialog)->setText("typed");
    Click(dialog, "2");
  });
  const DialogReply cancelled = window.AskText({"Rename", "New name:", "old", false});
  EXPECT_FALSE(cancelled.ok);
  EXPECT_EQ(cancelled.text, "");

  // With OK always enabled, the initial text can be taken as it is.
  driver.Then([](QWidget* dialog) {
    EXPECT_TRUE(Button(dialog, "1")->isEnabled());
    Click(dialog, "1");
  });
  const DialogReply same = window.AskText({"Rename", "New name:", "old", true});
  EXPECT_TRUE(same.ok);
  EXPECT_EQ(same.text, "old");
  EXPECT_TRUE(driver.Unexpected().empty());
}

TEST(InputDialogs, TheSaveDialogRefusesBadNamesAsksBeforeReplacingAndGivesThePath) {
  Folder folder;
  folder.File("conn.xml");
  const std::string base = folder.str() + "/";
  ConsoleWindow window;
  ModalDriver driver;
  driver.Then([](QWidget* dialog) {
    EXPECT_EQ(dialog->windowTitle(), "Save Configuration File");
    EXPECT_EQ(dialog->findChild<QLabel*>("224")->text(), "Enter XML file name to save as:");
    EXPECT_FALSE(Button(dialog, "1")->isEnabled()) << "nothing typed yet";
    TypeAndOk("a/b")(dialog);
  });
  driver.ThenMessageBox(QMessageBox::Retry);
  driver.Then(TypeAndOk(".."));
  driver.ThenMessageBox(QMessageBox::Retry);
  driver.Then(TypeAndOk("conn"));
  driver.ThenMessageBox(QMessageBox::No);
  // No keeps the dialog open with the typed name.
  driver.Then([](QWidget* dialog) {
    EXPECT_EQ(ValueEdit(dialog)->text(), "conn");
    Click(dialog, "1");
  });
  driver.ThenMessageBox(QMessageBox::Yes);
  const DialogReply reply = window.AskSavePath({folder.str(), ""});
  EXPECT_TRUE(driver.WaitDone());
  ASSERT_EQ(driver.Seen().size(), 8u);
  EXPECT_EQ(driver.Seen()[1], "Invalid file name.");
  EXPECT_EQ(driver.Seen()[3], "Invalid file name.");
  EXPECT_EQ(driver.Seen()[5], base + "conn.xml already exists.  Do you want to replace it?");
  EXPECT_TRUE(reply.ok);
  EXPECT_EQ(reply.text, base + "conn.xml");

  // A new name is completed and nothing is asked; the dialog writes nothing.
  driver.Then(TypeAndOk("next.txt"));
  const DialogReply fresh = window.AskSavePath({base, ""});
  EXPECT_EQ(fresh.text, base + "next.txt.xml");
  EXPECT_FALSE(stdfs::exists(fresh.text));

  // An initial name can be taken as it is.
  driver.Then([](QWidget* dialog) {
    EXPECT_EQ(ValueEdit(dialog)->text(), "saved");
    Click(dialog, "1");
  });
  EXPECT_EQ(window.AskSavePath({base, "saved"}).text, base + "saved.xml");

  // Cancel in the error box ends the dialog.
  driver.Then(TypeAndOk("   "));
  driver.ThenMessageBox(QMessageBox::Cancel);
  const DialogReply cancelled = window.AskSavePath({base, ""});
  EXPECT_TRUE(driver.WaitDone());
  EXPECT_FALSE(cancelled.ok);
  EXPECT_EQ(cancelled.text, "");
  EXPECT_TRUE(driver.Unexpected().empty());
}

TEST(InputDialogs, TheChooserListsAFolderByPatternNavigatesAndGivesThePath) {
  Folder folder;
  folder.Dir("alpha/deep");
  folder.Dir("Beta");
  folder.File("a.dll");
  folder.File("b.txt");
  folder.File("c.DLL");
  folder.File(".hidden.dll");
  folder.File("alpha/x.dll");
  ConsoleWindow window;
  ModalDriver driver;
  driver.Then([&](QWidget* dialog) {
    ASSERT_EQ(dialog->objectName(), "218");
    EXPECT_EQ(dialog->windowTitle(), "Select File");
    EXPECT_EQ(PathShown(dialog), folder.str() + "/");
    EXPECT_EQ(Shown(dialog), (std::vector<std::string>{"[..]", "[alpha]", "[Beta]", "a.dll", "c.DLL"}));
    auto* drives = dialog->findChild<QComboBox*>("1004");
    ASSERT_NE(drives, nullptr);
    EXPECT_EQ(drives->currentText(), "/");
    // A file does not open; a folder does.
    Open(dialog, "a.dll");
    EXPECT_EQ(PathShown(dialog), folder.str() + "/");
    Open(dialog, "[alpha]");
    EXPECT_EQ(PathShown(dialog), folder.str() + "/alpha/");
    EXPECT_EQ(Shown(dialog), (std::vector<std::string>{"[..]", "[deep]", "x.dll"}));
    EXPECT_TRUE(dialog->isVisible()) << "Enter in the list opens, it does not end the dialog";
    Select(dialog, "x.dll");
    Click(dialog, "1");
  });
  const DialogReply file = window.ChoosePath({folder.str(), "*.dll", true});
  EXPECT_TRUE(driver.WaitDone());
  EXPECT_TRUE(file.ok);
  EXPECT_EQ(file.text, folder.str() + "/alpha/x.dll");

  // Folders only: a folder selected but not opened is the result.
  driver.Then([](QWidget* dialog) {
    EXPECT_EQ(dialog->windowTitle(), "Select Directory");
    EXPECT_EQ(Shown(dialog), (std::vector<std::string>{"[..]", "[alpha]", "[Beta]"}));
    Select(dialog, "[Beta]");
    Click(dialog, "1");
  });
  EXPECT_EQ(window.ChoosePath({folder.str(), "", false}).text, folder.str() + "/Beta");

  // Cancel gives nothing, whatever was selected.
  driver.Then([](QWidget* dialog) {
    Select(dialog, "[alpha]");
    Click(dialog, "2");
  });
  const DialogReply cancelled = window.ChoosePath({folder.str(), "", false});
  EXPECT_FALSE(cancelled.ok);
  EXPECT_EQ(cancelled.text, "");
  EXPECT_TRUE(driver.Unexpected().empty());
}

TEST(InputDialogs, TheChooserStopsAtTheRootAndKeepsItsSeparator) {
  Folder folder;
  ConsoleWindow window;
  ModalDriver driver;
  driver.Then([](QWidget* dialog) {
    // Up until the root; the root has no parent entry, so it stays there.
    for (int step = 0; step < 64 && PathShown(dialog) != "/"; ++step) Open(dialog, "[..]");
    ASSERT_EQ(PathShown(dialog), "/");
    const std::vector<std::string> shown = Shown(dialog);
    EXPECT_TRUE(std::find(shown.begin(), shown.end(), "[..]") == shown.end());
    EXPECT_TRUE(std::find(shown.begin(), shown.end(), "[tmp]") != shown.end());
    Click(dialog, "1");
  });
  const DialogReply root = window.ChoosePath({folder.str(), "", false});
  EXPECT_TRUE(driver.WaitDone());
  EXPECT_EQ(root.text, "/");

  // A start folder that cannot be listed is reported, and the chooser opens
  // on the current folder.
  driver.ThenMessageBox(QMessageBox::Ok);
  driver.Then([](QWidget* dialog) {
    EXPECT_EQ(PathShown(dialog), FolderPath(""));
    Click(dialog, "1");
  });
  const std::string missing = folder.str() + "/missing";
  const DialogReply fallback = window.ChoosePath({missing, "", false});
  EXPECT_TRUE(driver.WaitDone());
  ASSERT_FALSE(driver.Seen().empty());
  EXPECT_EQ(driver.Seen()[driver.Seen().size() - 2], missing + "/ is invalid Directory.");
  EXPECT_EQ(fallback.text + "/", FolderPath(""));
  EXPECT_TRUE(driver.Unexpected().empty());
}

TEST(InputDialogs, TheConnectingDialogShowsItsMessageAndPosition) {
  ConsoleWindow window;
  window.EndProgress();  // none up: nothing happens
  EXPECT_EQ(window.Progress(), nullptr);
  window.BeginProgress("Database: first");
  window.BeginProgress("Database: orders");
  ConnectingDialog* dialog = window.Progress();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(window.findChildren<QDialog*>("266").size(), 1) << "beginning again replaced the first";
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_FALSE(dialog->isModal());
  EXPECT_EQ(dialog->objectName(), "266");
  EXPECT_EQ(dialog->findChild<QLabel*>("338")->text(), "Database: orders");
  auto* bar = dialog->findChild<QProgressBar*>("337");
  EXPECT_EQ(bar->value(), 0);
  window.SetProgress(10);
  EXPECT_EQ(bar->value(), 10);
  window.SetProgress(250);
  EXPECT_EQ(bar->value(), 100);
  window.SetProgress(-5);
  EXPECT_EQ(bar->value(), 0);
  window.EndProgress();
  EXPECT_EQ(window.Progress(), nullptr);
  EXPECT_TRUE(window.findChildren<QDialog*>("266").empty());
  window.SetProgress(50);  // after the end: ignored
}

TEST(InputDialogs, TheRecordingHostAnswersFromItsScriptAndRecords) {
  console::testing::RecordingHost host;
  host.inputReplies.push_back({true, "alice"});
  host.inputReplies.push_back({false, "ignored"});
  host.saveReplies.push_back({true, "/srv/conf/a.xml"});
  host.chooserReplies.push_back({true, "/opt/lib/x.dll"});
  IDialogHost& dialogs = *host.Dialogs();

  EXPECT_EQ(dialogs.AskText({"Add User", "User Name", "", false}).text, "alice");
  const DialogReply cancelled = dialogs.AskText({"Rename", "New name:", "old", true});
  EXPECT_FALSE(cancelled.ok);
  EXPECT_EQ(cancelled.text, "") << "a cancelled dialog gives no text";
  EXPECT_FALSE(dialogs.AskText({"Again", "", "", false}).ok) << "an empty script cancels";
  ASSERT_EQ(host.inputRequests.size(), 3u);
  EXPECT_EQ(host.inputRequests[1].initial, "old");
  EXPECT_TRUE(host.inputRequests[1].okAlways);

  EXPECT_EQ(dialogs.AskSavePath({"/srv/conf/", "a"}).text, "/srv/conf/a.xml");
  EXPECT_FALSE(dialogs.AskSavePath({"/srv/conf/", ""}).ok);
  ASSERT_EQ(host.saveRequests.size(), 2u);
  EXPECT_EQ(host.saveRequests[0].initialName, "a");

  EXPECT_EQ(dialogs.ChoosePath({"", "*.dll", true}).text, "/opt/lib/x.dll");
  ASSERT_EQ(host.chooserRequests.size(), 1u);
  EXPECT_EQ(host.chooserRequests[0].pattern, "*.dll");
  EXPECT_TRUE(host.chooserRequests[0].files);

  // The scope ends the dialog however the block is left.
  using Kind = console::testing::RecordedProgress::Kind;
  auto slowStep = [&](bool fail) {
    ProgressScope progress(&dialogs, "Database: orders");
    progress.Set(10);
    if (fail) return;
    progress.Set(100);
  };
  slowStep(true);
  slowStep(false);
  ASSERT_EQ(host.progress.size(), 7u);
  EXPECT_EQ(host.progress[0].kind, Kind::Begin);
  EXPECT_EQ(host.progress[0].message, "Database: orders");
  EXPECT_EQ(host.progress[1].position, 10);
  EXPECT_EQ(host.progress[2].kind, Kind::End);
  EXPECT_EQ(host.progress[5].position, 100);
  EXPECT_EQ(host.progress[6].kind, Kind::End);
  ProgressScope none(nullptr, "no host");  // shows nothing, and does not fail
  none.Set(5);
}

}  // namespace
}  // namespace quor::console::qt
