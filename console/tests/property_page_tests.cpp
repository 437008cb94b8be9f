// The root node's "Registry Setting" page in quor-console's property sheet,
// against a real quor-server instance: the widgets are found by control id,
// edited, applied, and the instance's registry is read back by the
// service's own settings code.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>

#include <fstream>
#include <sstream>

#include "admin/RegistryAccess.h"
#include "testing/ServerInstance.h"
#include "core/ServiceConfig.h"
#include "console/ConsoleWindow.h"
#include "console/tests/ModalDriver.h"

namespace quor::console::qt {
namespace {

using admin::testing::InstanceOptions;
using admin::testing::RoadTest;
using testing::ModalDriver;
namespace st = soap::testing;

const std::string kAdminPassword = "Adm1n-Secret!";

// Replaces an edit's text the way typing does (textEdited fires).
void Type(QLineEdit* edit, const QString& text) {
  edit->selectAll();
  edit->del();
  QTest::keyClicks(edit, text);
}

void Press(QAbstractButton* button) {
  QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
}

std::string ServiceValue(std::string_view name) {
  std::string value;
  return core::ReadServiceString(core::kServiceKey, name, value) ? value : "<missing>";
}

class PropertyPageRoad : public RoadTest {
 protected:
  void StartAndSignIn() {
    InstanceOptions options;
    options.accounts = {{"administrator", kAdminPassword}};
    options.adminUsers = "administrator";
    options.logLevel = "Normal";
    Start(options);
    if (HasFatalFailure() || IsSkipped()) return;
    const st::RunResult r =
        st::RunProgram(std::string(QUOR_BIN_DIR) + "/quor-regsvr", {"-s", std::string(QUOR_LIB_DIR) + "/libQuorAdminMMC.so"},
                       st::Environment({"QUOR_REGISTRY=" + instance_->RegistryFile().string()}), instance_->Dir());
    ASSERT_EQ(r.status, 0) << r.output;
    window_ = std::make_unique<ConsoleWindow>();
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    driver_.ThenLogon(instance_->CoreUrl(), "administrator", kAdminPassword);
    ASSERT_EQ(window_->LoadSnapin("QuorAdmin.QuorAdminMMC"), S_OK);
    ASSERT_TRUE(driver_.Done());
    ASSERT_NE(window_->RootItem(), nullptr);
    window_->ScopeTree()->setCurrentItem(window_->RootItem());
    ASSERT_TRUE(window_->VerbEnabled(MMC_VERB_PROPERTIES));
  }
  void TearDown() override {
    window_.reset();
    EXPECT_TRUE(driver_.Unexpected().empty()) << "unexpected dialog: " << driver_.Unexpected().front();
    RoadTest::TearDown();
  }

  std::unique_ptr<ConsoleWindow> window_;
  ModalDriver driver_;
};

struct Sheet {
  QWidget* page = nullptr;
  QPushButton *ok = nullptr, *cancel = nullptr, *apply = nullptr;
};

Sheet SheetOf(QWidget* modal) {
  Sheet sheet;
  EXPECT_EQ(modal->objectName(), "PropertySheet");
  auto* tabs = modal->findChild<QTabWidget*>("Pages");
  auto* buttons = modal->findChild<QDialogButtonBox*>("Buttons");
  if (!tabs || !buttons || tabs->count() != 1) return sheet;
  sheet.page = tabs->widget(0);
  sheet.ok = buttons->button(QDialogButtonBox::Ok);
  sheet.cancel = buttons->button(QDialogButtonBox::Cancel);
  sheet.apply = buttons->button(QDialogButtonBox::Apply);
  return sheet;
}

TEST_F(PropertyPageRoad, EditedSettingsAreAppliedToTheRegistryTheServiceReads) {
  StartAndSignIn();
  if (HasFatalFailure() || IsSkipped()) return;
  const std::string homeBefore = ServiceValue("HomeDir");
  const std::string rootContextBefore = ServiceValue("RootContext");
  ASSERT_FALSE(rootContextBefore.empty());
  const std::string users = "administrator, clerk, a-rather-long-name-" + std::string(300, 'x');

  // First visit: LogLevel and AdminUsers changed with a bad threshold; Apply
  // is refused with a message box and the sheet stays open.
  bool applyOff = false, applyOnAfterEdit = false, comboOk = false;
  std::string shownLevel;
  driver_.Then([&](QWidget* modal) {
    Sheet sheet = SheetOf(modal);
    ASSERT_TRUE(sheet.page && sheet.apply);
    applyOff = !sheet.apply->isEnabled();
    auto* level = sheet.page->findChild<QComboBox*>("209");
    auto* admins = sheet.page->findChild<QLineEdit*>("217");
    auto* threshold = sheet.page->findChild<QLineEdit*>("306");
    ASSERT_TRUE(level && admins && threshold);
    shownLevel = level->currentText().toStdString();
    comboOk = level->count() == 4 && level->itemText(3) == "Debug";
    // The instance has a root context: the box is checked; unchecked, the
    // directory fields lock.
    auto* directory = sheet.page->findChild<QCheckBox*>("326");
    auto* rootContext = sheet.page->findChild<QLineEdit*>("219");
    ASSERT_TRUE(directory && rootContext);
    EXPECT_TRUE(directory->isChecked());
    EXPECT_TRUE(rootContext->isEnabled());
    EXPECT_EQ(rootContext->text().toStdString(), rootContextBefore);
    directory->setChecked(false);
    EXPECT_FALSE(rootContext->isEnabled());
    directory->setChecked(true);
    EXPECT_TRUE(rootContext->isEnabled());

    level->setCurrentText("Debug");
    Type(admins, QString::fromStdString(users));
    Type(threshold, "12ab");
    applyOnAfterEdit = sheet.apply->isEnabled();
    Press(sheet.apply);
  });
  driver_.ThenMessageBox();
  // Back on the sheet: nothing was written; a good threshold and Apply.
  std::string homeAfterRefusal, levelAfterRefusal;
  bool applyOffAfterApply = false;
  driver_.Then([&](QWidget* modal) {
    Sheet sheet = SheetOf(modal);
    ASSERT_TRUE(sheet.page && sheet.apply && sheet.cancel);
    levelAfterRefusal = ServiceValue("LogLevel");
    homeAfterRefusal = ServiceValue("HomeDir");
    auto* threshold = sheet.page->findChild<QLineEdit*>("306");
    ASSERT_NE(threshold, nullptr);
    EXPECT_EQ(modal->focusWidget(), threshold) << "the refused field is shown";
    Type(threshold, "1024");
    sheet.apply->click();  // succeeds: no dialog comes up
    applyOffAfterApply = !sheet.apply->isEnabled();
    Press(sheet.cancel);  // what was applied stays
  });
  window_->RunProperties();
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_TRUE(applyOff) << "nothing changed when the sheet opened";
  EXPECT_TRUE(comboOk) << "all four levels are offered";
  EXPECT_EQ(shownLevel, "Normal");
  EXPECT_TRUE(applyOnAfterEdit);
  ASSERT_EQ(driver_.Seen().size(), 4u);  // logon, sheet, box, sheet
  EXPECT_NE(driver_.Seen()[2].find("CompressThreshold"), std::string::npos) << driver_.Seen()[2];
  EXPECT_NE(levelAfterRefusal, "Debug") << "a refused Apply writes nothing";
  EXPECT_EQ(homeAfterRefusal, homeBefore);
  EXPECT_TRUE(applyOffAfterApply);

  // The registry file holds the values, and the service's settings code
  // reads them back exactly.
  std::ifstream file(instance_->RegistryFile());
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_NE(text.str().find("Debug"), std::string::npos);
  EXPECT_NE(text.str().find(std::string(300, 'x')), std::string::npos);
  EXPECT_EQ(ServiceValue("LogLevel"), "Debug");
  EXPECT_EQ(ServiceValue("AdminUsers"), users);
  EXPECT_EQ(ServiceValue("RootContext"), rootContextBefore);
  core::CServiceConfig config;
  config.ReadLogLevel();
  EXPECT_EQ(config.LogLevel, core::LOGLEVEL_DEBUG);
  config.ReadAdminUsers();
  ASSERT_EQ(config.AdminUsers.size(), 3u);
  EXPECT_EQ(config.AdminUsers[0].ToUtf8(), "administrator");
  EXPECT_EQ(config.AdminUsers[1].ToUtf8(), "clerk");
  config.ReadCompressThreshold();
  EXPECT_EQ(config.CompressThreshold, 1024);

  // Second visit: the page shows what was written; the home folder's "..."
  // opens the chooser over the sheet (cancelled: nothing changes); OK
  // applies and closes.
  std::string reopenedLevel, reopenedUsers, chooser;
  QWidget* sheetWindow = nullptr;
  QWidget* chooserParent = nullptr;
  bool unchangedAfterChooser = false;
  driver_.Then([&](QWidget* modal) {
    Sheet sheet = SheetOf(modal);
    ASSERT_TRUE(sheet.page && sheet.ok);
    sheetWindow = modal;
    auto* level = sheet.page->findChild<QComboBox*>("209");
    auto* admins = sheet.page->findChild<QLineEdit*>("217");
    auto* browse = sheet.page->findChild<QPushButton*>("212");
    ASSERT_TRUE(level && admins && browse);
    reopenedLevel = level->currentText().toStdString();
    reopenedUsers = admins->text().toStdString();
    Press(browse);
  });
  driver_.Then([&](QWidget* modal) {
    chooser = modal->objectName().toStdString();
    chooserParent = modal->parentWidget();
    if (auto* dialog = qobject_cast<QDialog*>(modal))
      QMetaObject::invokeMethod(dialog, &QDialog::reject, Qt::QueuedConnection);
  });
  driver_.Then([&](QWidget* modal) {
    Sheet sheet = SheetOf(modal);
    ASSERT_TRUE(sheet.page && sheet.ok && sheet.apply);
    unchangedAfterChooser = !sheet.apply->isEnabled();
    auto* level = sheet.page->findChild<QComboBox*>("209");
    ASSERT_NE(level, nullptr);
    level->setCurrentText("Normal");
    Press(sheet.ok);
  });
  window_->RunProperties();
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_EQ(reopenedLevel, "Debug");
  EXPECT_EQ(reopenedUsers, users);
  EXPECT_EQ(chooser, "218") << "the folder chooser";
  EXPECT_EQ(chooserParent, sheetWindow) << "it sits on the sheet";
  EXPECT_TRUE(unchangedAfterChooser);
  EXPECT_EQ(ServiceValue("HomeDir"), homeBefore);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "OK closed the sheet";
  config.ReadLogLevel();
  EXPECT_EQ(config.LogLevel, core::LOGLEVEL_NORMAL);
}

}  // namespace
}  // namespace quor::console::qt
