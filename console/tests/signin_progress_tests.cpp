// The connecting dialog during the snap-in's sign-in, against a real
// quor-server: it comes up (modeless) for every attempt and is gone before
// anything else is shown.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QTest>

#include <string>
#include <vector>

#include "testing/ServerInstance.h"
#include "console/ConsoleWindow.h"
#include "console/tests/ModalDriver.h"

namespace quor::console::qt {
namespace {

using admin::testing::InstanceOptions;
using admin::testing::RoadTest;
using testing::ModalDriver;
namespace st = soap::testing;

const std::string kAdminPassword = "Adm1n-Secret!";

// Records each connecting dialog as it is shown: the event loop is blocked
// while it is up, so only the show itself can be watched.
class ProgressWatch final : public QObject {
 public:
  ProgressWatch() { qApp->installEventFilter(this); }
  ~ProgressWatch() override { qApp->removeEventFilter(this); }
  std::vector<std::string> messages;
  bool modal = false;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && watched->objectName() == "266" && watched->isWidgetType()) {
      auto* dialog = static_cast<QWidget*>(watched);
      if (auto* label = dialog->findChild<QLabel*>("338")) messages.push_back(label->text().toStdString());
      modal = modal || dialog->isModal();
    }
    return false;
  }
};

bool ConnectingDialogVisible() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (widget->objectName() == "266" && widget->isVisible()) return true;
  return false;
}

class SignInProgress : public RoadTest {};

TEST_F(SignInProgress, EachAttemptShowsTheConnectingDialogAndClosesItBeforeAnyBox) {
  InstanceOptions options;
  options.accounts = {{"administrator", kAdminPassword}};
  options.adminUsers = "administrator";
  QUOR_START_INSTANCE(options);
  const st::RunResult r =
      st::RunProgram(std::string(QUOR_BIN_DIR) + "/quor-regsvr", {"-s", std::string(QUOR_LIB_DIR) + "/libQuorAdminMMC.so"},
                     st::Environment({"QUOR_REGISTRY=" + instance_->RegistryFile().string()}), instance_->Dir());
  ASSERT_EQ(r.status, 0) << r.output;

  ProgressWatch watch;
  ModalDriver driver;
  bool visibleAtTheBox = true;
  {
    ConsoleWindow window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    driver.ThenLogon(instance_->CoreUrl(), "administrator", "wrong");
    driver.Then([&](QWidget* modal) {
      visibleAtTheBox = ConnectingDialogVisible();
      auto* box = qobject_cast<QMessageBox*>(modal);
      ASSERT_NE(box, nullptr);
      QMetaObject::invokeMethod(box->button(QMessageBox::Ok), &QAbstractButton::click, Qt::QueuedConnection);
    });
    driver.ThenLogon(instance_->CoreUrl(), "administrator", kAdminPassword);
    ASSERT_EQ(window.LoadSnapin("QuorAdmin.QuorAdminMMC"), S_OK);
    EXPECT_TRUE(driver.Done());
    ASSERT_NE(window.RootItem(), nullptr);
    EXPECT_EQ(window.Progress(), nullptr);
    EXPECT_FALSE(ConnectingDialogVisible());
  }
  EXPECT_TRUE(driver.Unexpected().empty());
  EXPECT_FALSE(visibleAtTheBox) << "the failed attempt's dialog was still up under its error box";
  EXPECT_FALSE(watch.modal);
  const std::string message = "Service: " + instance_->CoreUrl();
  EXPECT_EQ(watch.messages, (std::vector<std::string>{message, message}));
}

}  // namespace
}  // namespace quor::console::qt
