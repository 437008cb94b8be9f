// quor-console's main window in-process against a real quor-server (local
// account store): the snap-in is created by ProgID from the instance's
// registry, signs in through the logon dialog, and the tree, result list,
// context menus, verbs and property sheet show what it gives.
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QTabWidget>
#include <QDialogButtonBox>
#include <QTreeWidget>

#include <cstdio>
#include <cstdlib>

#include "admin/RegistryAccess.h"
#include "testing/ServerInstance.h"
#include "console/ConsoleWindow.h"
#include "console/tests/ConsoleRoad.h"

namespace quor::console::qt {
namespace {

using admin::testing::InstanceOptions;
using admin::testing::RoadTest;
using namespace testing;
namespace st = soap::testing;

const std::string kClerkPassword = "Clerk-Secret?";

TEST_F(ConsoleRoad, AdministratorSignsInThroughTheLogonDialogAndSeesTheFourFolders) {
  QUOR_START_SERVICE();
  ASSERT_NO_FATAL_FAILURE(SignIn());

  QTreeWidgetItem* root = window_->RootItem();
  EXPECT_EQ(root->text(0), "Quor Server Manager");
  EXPECT_TRUE(root->isExpanded());
  const std::vector<std::string> folders{"Databases", "Native DB", "Transformers", "Users"};
  EXPECT_EQ(ChildTexts(root), folders);
  EXPECT_EQ(window_->ScopeTree()->currentItem(), root);
  // The root lists nothing of its own: its list shows the folders.
  EXPECT_EQ(RowTexts(window_->ResultList()), folders);
  EXPECT_TRUE(window_->VerbEnabled(MMC_VERB_PROPERTIES)) << "signed in";
  // What the sign-in keeps for the next logon (never the password).
  admin::RegistryAccess registry;
  EXPECT_EQ(registry.ReadServiceText("Service"), instance_->CoreUrl());
  EXPECT_EQ(registry.ReadServiceText("UserName"), "administrator");
  EXPECT_EQ(registry.ReadServiceText("Password"), "");

  // The window as the administrator sees it, kept beside the build.
  QTest::qWait(50);
  const QString shot = QStringLiteral(QUOR_BUILD_DIR "/console-signed-in.png");
  ASSERT_TRUE(window_->grab().save(shot));
  std::printf("screenshot of the signed-in console: %s\n", shot.toUtf8().constData());

  // Selecting a folder shows its own pane; its verbs replace the root's.
  QTreeWidgetItem* transformers = ChildNamed(root, "Transformers");
  ASSERT_NE(transformers, nullptr);
  window_->ScopeTree()->setCurrentItem(transformers);
  EXPECT_TRUE(window_->VerbEnabled(MMC_VERB_REFRESH));
  EXPECT_FALSE(window_->VerbEnabled(MMC_VERB_PROPERTIES));
  EXPECT_EQ(window_->DescriptionBar()->text().toStdString(),
            "[To edit the transformer configuration, double click at the transformer name.]");
  window_->RunRefresh();  // the folder answers; nothing may break
  window_->ScopeTree()->setCurrentItem(root);
  EXPECT_TRUE(window_->DescriptionBar()->text().isEmpty()) << "the bar belongs to the node shown";
  EXPECT_TRUE(window_->VerbEnabled(MMC_VERB_PROPERTIES));
}

TEST_F(ConsoleRoad, RootMenuRunsAReloadOnTheServerAndPropertiesOpenTheSheet) {
  QUOR_START_SERVICE();
  ASSERT_NO_FATAL_FAILURE(SignIn());
  QTreeWidgetItem* root = window_->RootItem();

  std::unique_ptr<QMenu> menu = window_->ScopeMenu(root);
  QMenu* tasks = menu->findChild<QMenu*>("AllTasks");
  ASSERT_NE(tasks, nullptr) << "the reloads sit at the TASK insertion point";
  std::vector<std::string> texts, tips;
  for (QAction* action : tasks->actions()) {
    texts.push_back(action->text().toStdString());
    tips.push_back(action->statusTip().toStdString());
    EXPECT_TRUE(action->isEnabled()) << action->text().toStdString();
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"&Reload Configuration Files", "&Reload Transformer Files",
                                             "&Reload Unify Tables"}));
  EXPECT_EQ(tips, (std::vector<std::string>{"Reload Configuration Files", "Reload Transformer Files",
                                            "Reload Unify Tables"}));
  QAction* properties = menu->findChild<QAction*>("verb-8004");
  ASSERT_NE(properties, nullptr) << "Properties is enabled for the signed-in root";
  EXPECT_EQ(menu->findChild<QAction*>("verb-8006"), nullptr) << "the root offers no Refresh";

  // The reload asks the server and the answer comes as a message box.
  driver_.ThenMessageBox();
  tasks->actions().front()->trigger();
  ASSERT_TRUE(driver_.Done());
  EXPECT_EQ(driver_.Seen().back(), "Configuration files reloaded.");
  driver_.ThenMessageBox();
  tasks->actions().back()->trigger();
  EXPECT_EQ(driver_.Seen().back(), "Unify tables reloaded.");

  // Properties: a tabbed sheet with the root's page, OK/Cancel/Apply.
  int pages = 0;
  std::string title;
  bool applyEnabled = true;
  driver_.Then([&](QWidget* modal) {
    ASSERT_EQ(modal->objectName(), "PropertySheet");
    auto* tabs = modal->findChild<QTabWidget*>("Pages");
    auto* buttons = modal->findChild<QDialogButtonBox*>("Buttons");
    ASSERT_TRUE(tabs && buttons);
    pages = tabs->count();
    title = tabs->tabText(0).toStdString();
    applyEnabled = buttons->button(QDialogButtonBox::Apply)->isEnabled();
    ASSERT_NE(buttons->button(QDialogButtonBox::Ok), nullptr);
    QMetaObject::invokeMethod(buttons->button(QDialogButtonBox::Cancel), &QAbstractButton::click,
                              Qt::QueuedConnection);
  });
  properties->trigger();
  EXPECT_TRUE(driver_.Done());
  EXPECT_EQ(pages, 1);
  EXPECT_EQ(title, "Registry Setting");
  EXPECT_FALSE(applyEnabled) << "nothing changed yet";

  // The Action menu of the menu bar is the same menu, for what is selected.
  auto* actionMenu = window_->findChild<QMenu*>("ActionMenu");
  ASSERT_NE(actionMenu, nullptr);
  QMetaObject::invokeMethod(actionMenu, "aboutToShow");
  QMenu* barTasks = nullptr;
  for (QAction* action : actionMenu->actions())
    if (action->menu() && action->menu()->objectName() == "AllTasks") barTasks = action->menu();
  ASSERT_NE(barTasks, nullptr);
  EXPECT_EQ(barTasks->actions().size(), 3);
  driver_.ThenMessageBox();
  barTasks->actions()[1]->trigger();
  EXPECT_EQ(driver_.Seen().back(), "Transformer files reloaded.");

  // A folder's menu: its verbs, and the context menu selects what it is for.
  QTreeWidgetItem* users = ChildNamed(root, "Users");
  ASSERT_NE(users, nullptr);
  menu = window_->ScopeMenu(users);
  EXPECT_EQ(window_->ScopeTree()->currentItem(), users);
  EXPECT_NE(menu->findChild<QAction*>("verb-8006"), nullptr) << "Refresh";
}

TEST_F(ConsoleRoad, FailedSignInsLeaveTheRootEmptyAndItsCommandsGreyed) {
  InstanceOptions options;
  options.accounts.push_back({"clerk", kClerkPassword});
  QUOR_START_SERVICE(options);
  // A wrong password, a user who is no administrator, then Cancel.
  driver_.ThenLogon(instance_->CoreUrl(), "administrator", "wrong password");
  driver_.ThenMessageBox();
  driver_.ThenLogon(instance_->CoreUrl(), "clerk", kClerkPassword);
  driver_.ThenMessageBox();
  driver_.ThenPress("2");
  driver_.ThenMessageBox();
  ASSERT_EQ(window_->LoadSnapin(kSnapin), S_OK) << "the snap-in starts, signed out";
  EXPECT_TRUE(driver_.Done());
  ASSERT_EQ(driver_.Seen().size(), 6u);
  EXPECT_EQ(driver_.Seen()[0], "Logon");
  EXPECT_FALSE(driver_.Seen()[1].empty()) << "the fault of the refused sign-in";
  EXPECT_EQ(driver_.Seen()[3], "This is not an administrator.");
  EXPECT_EQ(driver_.Seen()[5], "Service Logon cancelled.");

  QTreeWidgetItem* root = window_->RootItem();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->text(0), "Quor Server Manager");
  EXPECT_EQ(root->childCount(), 0);
  EXPECT_FALSE(window_->VerbEnabled(MMC_VERB_PROPERTIES));
  std::unique_ptr<QMenu> menu = window_->ScopeMenu(root);
  QMenu* tasks = menu->findChild<QMenu*>("AllTasks");
  ASSERT_NE(tasks, nullptr);
  ASSERT_EQ(tasks->actions().size(), 3);
  for (QAction* action : tasks->actions()) EXPECT_FALSE(action->isEnabled()) << action->text().toStdString();
  EXPECT_EQ(menu->findChild<QAction*>("verb-8004"), nullptr);
  window_->RunProperties();  // disabled: shows nothing
  EXPECT_TRUE(driver_.Unexpected().empty());
}

TEST(ConsoleWindow, AnUnregisteredSnapinIsReportedAndNothingLoads) {
  st::TempDir dir;
  const char* previous = std::getenv("QUOR_REGISTRY");
  const std::string saved = previous ? previous : "";
  ::setenv("QUOR_REGISTRY", (dir.Path() / "registry.reg").c_str(), 1);
  {
    ConsoleWindow window;
    window.show();
    ModalDriver driver;
    driver.ThenMessageBox();
    EXPECT_TRUE(FAILED(window.LoadSnapin("Nobody.NoSuchSnapin")));
    EXPECT_TRUE(driver.Done());
    ASSERT_EQ(driver.Seen().size(), 1u);
    EXPECT_NE(driver.Seen()[0].find("Nobody.NoSuchSnapin could not be created"), std::string::npos)
        << driver.Seen()[0];
    EXPECT_EQ(window.RootItem(), nullptr);
    EXPECT_EQ(window.ScopeMenu(nullptr)->actions().size(), 0);
    window.RunRefresh();
    window.RunProperties();
    window.UnloadSnapin();
  }
  if (previous)
    ::setenv("QUOR_REGISTRY", saved.c_str(), 1);
  else
    ::unsetenv("QUOR_REGISTRY");
}

}  // namespace
}  // namespace quor::console::qt
