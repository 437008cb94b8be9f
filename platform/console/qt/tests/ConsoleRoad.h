// quor-console's main window in-process against a real quor-server (local
// account store): the snap-in is registered in the instance's class store,
// created by ProgID, and signs in through the logon dialog, which the modal
// driver answers.
#pragma once

#include <gtest/gtest.h>

#include <QTreeWidget>

#include <memory>
#include <string>
#include <vector>

#include "admin/tests/ServerInstance.h"
#include "platform/console/qt/ConsoleWindow.h"
#include "platform/console/qt/tests/ModalDriver.h"

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
