// quor-console's main window in-process against a real quor-server (local
// account store): the snap-in is registered in the instance's class store,
// created by ProgID, and signs in through the logon dialog, which the modal
// driver answers.
#pragma once

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>

#include <memory>
#include <string>
#include <vector>

#include "testing/ServerInstance.h"
#include "console/ConsoleWindow.h"
#include "console/tests/ModalDriver.h"

namespace quor::console::qt::testing {

inline constexpr const char* kSnapin = "QuorAdmin.QuorAdminMMC";
inline const std::string kAdminPassword = "Adm1n-Secret!";

inline std::vector<std::string> ChildTexts(const QTreeWidgetItem* item) {
  std::vector<std::string> texts;
  for (int i = 0; item && i < item->childCount(); ++i) texts.push_back(item->child(i)->text(0).toStdString());
  return texts;
}

// Column `column` of every row of the list.
inline std::vector<std::string> RowTexts(const QTreeWidget* list, int column = 0) {
  std::vector<std::string> texts;
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    texts.push_back(list->topLevelItem(i)->text(column).toStdString());
  return texts;
}

inline QTreeWidgetItem* ChildNamed(QTreeWidgetItem* item, const QString& text) {
  for (int i = 0; item && i < item->childCount(); ++i)
    if (item->child(i)->text(0) == text) return item->child(i);
  return nullptr;
}

inline QTreeWidgetItem* RowNamed(QTreeWidget* list, const QString& text) {
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    if (list->topLevelItem(i)->text(0) == text) return list->topLevelItem(i);
  return nullptr;
}

// The action named `text` anywhere in `menu` and its sub-menus.
inline QAction* ActionNamed(QMenu* menu, const QString& text) {
  for (QAction* action : menu->actions()) {
    if (action->text() == text) return action;
    if (action->menu())
      if (QAction* inner = ActionNamed(action->menu(), text)) return inner;
  }
  return nullptr;
}
// Types into an edit key by key, over what it held.
inline void Type(QWidget* dialog, const char* id, const std::string& text) {
  auto* edit = dialog->findChild<QLineEdit*>(id);
  ASSERT_NE(edit, nullptr) << id;
  edit->selectAll();
  QTest::keyClicks(edit, QString::fromUtf8(text.c_str()));
}
// A press that opens nothing modal runs at once; one that does is queued,
// so that the next step runs on the dialog it opens.
inline void Press(QWidget* dialog, const char* id) {
  auto* button = dialog->findChild<QPushButton*>(id);
  ASSERT_NE(button, nullptr) << id;
  ASSERT_TRUE(button->isEnabled()) << id;
  button->click();
}
inline void PressLater(QWidget* dialog, const char* id) {
  auto* button = dialog->findChild<QPushButton*>(id);
  ASSERT_NE(button, nullptr) << id;
  QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
}

class ConsoleRoad : public admin::testing::RoadTest {
 protected:
  // `options` gets the administrator's account and administrator list.
  void StartService(admin::testing::InstanceOptions options = {}) {
    options.accounts.erase(options.accounts.begin());  // the default administrator
    options.accounts.insert(options.accounts.begin(), {"administrator", kAdminPassword});
    options.adminUsers = "administrator";
    Start(options);
    if (HasFatalFailure() || IsSkipped()) return;
    const soap::testing::RunResult r = soap::testing::RunProgram(
        std::string(QUOR_BIN_DIR) + "/quor-regsvr", {"-s", std::string(QUOR_LIB_DIR) + "/libQuorAdminMMC.so"},
        soap::testing::Environment({"QUOR_REGISTRY=" + instance_->RegistryFile().string()}), instance_->Dir());
    ASSERT_EQ(r.status, 0) << r.output;
    window_ = std::make_unique<ConsoleWindow>();
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  }
  void TearDown() override {
    // The snap-in ends its session on unload: while the server still runs.
    window_.reset();
    EXPECT_TRUE(driver_.Unexpected().empty()) << "unexpected dialog: " << driver_.Unexpected().front();
    RoadTest::TearDown();
  }
  // Loads the snap-in and signs in as the administrator.
  void SignIn() {
    driver_.ThenLogon(instance_->CoreUrl(), "administrator", kAdminPassword);
    ASSERT_EQ(window_->LoadSnapin(kSnapin), S_OK);
    ASSERT_TRUE(driver_.Done());
    ASSERT_EQ(driver_.Seen(), std::vector<std::string>{"Logon"}) << "no message box on a good sign-in";
    ASSERT_NE(window_->RootItem(), nullptr);
  }

  std::unique_ptr<ConsoleWindow> window_;
  ModalDriver driver_;
};

#define QUOR_START_SERVICE(...)                   \
  do {                                            \
    StartService(__VA_ARGS__);                    \
    if (HasFatalFailure() || IsSkipped()) return; \
  } while (0)

}  // namespace quor::console::qt::testing
