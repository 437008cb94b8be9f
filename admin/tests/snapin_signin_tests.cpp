// The snap-in signing in to a real quor-server (local account store) through
// the root node, with the recording host answering the logon dialog; the
// tree, menus and reload commands that follow; and what the console's log
// file keeps of it.
#include <gtest/gtest.h>

#include <filesystem>

#include "admin/ConsoleLog.h"
#include "admin/RegistryAccess.h"
#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/SnapInModule.h"
#include "testing/RecordingHost.h"
#include "testing/ServerInstance.h"

namespace quor::admin::snapin {
namespace {

using namespace console;
using admin::testing::InstanceOptions;
using admin::testing::RoadTest;
using console::testing::RecordingHost;

constexpr std::string_view kAdminPassword = "Adm1n-Secret!";
constexpr std::string_view kClerkPassword = "Clerk-Secret?";

class SnapinSignIn : public RoadTest {
 protected:
  void StartService(std::string adminUsers = "administrator") {
    InstanceOptions options;
    options.accounts = {{"administrator", std::string(kAdminPassword)}, {"clerk", std::string(kClerkPassword)}};
    options.adminUsers = std::move(adminUsers);
    Start(options);
  }
  void TearDown() override {
    snapin_ = nullptr;  // ends the session while the server still runs
    Module::SetDialogs(nullptr);
    RoadTest::TearDown();
  }

  LogonReply Reply(std::string_view user, std::string_view password) {
    return {true, instance_->CoreUrl(), std::string(user), std::string(password)};
  }
  // The snap-in as the host makes it: created, then handed the console.
  void Load() {
    snapin_ = com::MakeObject<CQuorAdminMMC>();
    ASSERT_EQ(snapin_->Initialize(&host_), S_OK);
    ASSERT_NE(snapin_->Root(), nullptr);
  }
  CQuorAdminMMCData& Root() { return *snapin_->Root(); }
  com::ComPtr<IDataObject> RootObject() {
    com::ComPtr<IDataObject> object;
    EXPECT_EQ(snapin_->QueryDataObject(0, CCT_SCOPE, object.Put()), S_OK);
    return object;
  }
  // The texts of the scope items inserted so far, as the host asks for them.
  std::vector<std::string> ScopeTexts() {
    std::vector<std::string> texts;
    for (const ScopeItem& inserted : host_.scopeItems) {
      ScopeItem item;
      item.mask = SDI_STR;
      item.param = inserted.param;
      EXPECT_EQ(snapin_->GetDisplayInfo(item), S_OK);
      texts.push_back(item.text);
    }
    return texts;
  }

  RecordingHost host_;
  com::ComPtr<CQuorAdminMMC> snapin_;
};

#define QUOR_START_SERVICE(...)                                                     \
  do {                                                                              \
    StartService(__VA_ARGS__);                                                      \
    if (::testing::Test::HasFatalFailure() || ::testing::Test::IsSkipped()) return; \
  } while (0)

TEST_F(SnapinSignIn, AdministratorSignsInExpandsReloadsAndTheLogKeepsNoSecrets) {
  QUOR_START_SERVICE();
  // The log file is written in the current folder: the instance's.
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(instance_->Dir());
  ConsoleLog::Instance().Open();
  host_.logonReplies.push_back(Reply("administrator", kAdminPassword));

  ASSERT_NO_FATAL_FAILURE(Load());
  EXPECT_EQ(Root().ConnectionResult(), 0);
  EXPECT_EQ(host_.logonRequests.size(), 1u);
  EXPECT_TRUE(host_.messageBoxes.empty()) << host_.messageBoxes[0].text;
  RegistryAccess registry;
  EXPECT_EQ(registry.ReadServiceText("Service"), instance_->CoreUrl()) << "kept for the next logon";
  EXPECT_EQ(registry.ReadServiceText("UserName"), "administrator");
  EXPECT_EQ(registry.ReadServiceText("Password"), "") << "the console never writes the password";
  EXPECT_EQ(Module::HomeDir(), instance_->Home().string());
  EXPECT_EQ(Module::Service(), Root().Service());
  const std::string ticket = Root().Service()->Ticket();
  const std::string sessionKey = Root().Service()->SessionKey();
  ASSERT_FALSE(ticket.empty());
  ASSERT_FALSE(sessionKey.empty());

  // Expanding the root inserts its four folders in order under the given item.
  const com::ComPtr<IDataObject> root = RootObject();
  EXPECT_EQ(snapin_->Notify(root.Get(), MMCN_EXPAND, 0, 4242), S_OK) << "collapsing";
  EXPECT_TRUE(host_.scopeItems.empty());
  EXPECT_EQ(snapin_->Notify(root.Get(), MMCN_EXPAND, 1, 4242), S_OK);
  EXPECT_EQ(ScopeTexts(), (std::vector<std::string>{"Databases", "Native DB", "Transformers", "Users"}));
  const int images[] = {1, 9, 16, 17};
  ASSERT_EQ(host_.scopeItems.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(host_.scopeItems[i].relativeId, 4242);
    EXPECT_EQ(host_.scopeItems[i].image, images[i]);
    EXPECT_EQ(host_.scopeItems[i].openImage, images[i]);
  }

  // Signed in: Properties is on and the reloads are offered enabled.
  EXPECT_EQ(snapin_->Notify(root.Get(), MMCN_SELECT, 0, 0), S_OK);
  EXPECT_TRUE(host_.VerbEnabled(MMC_VERB_PROPERTIES));
  EXPECT_EQ(snapin_->AddMenuItems(root.Get(), &host_, CCM_INSERTIONALLOWED_TASK), S_OK);
  ASSERT_EQ(host_.menuItems.size(), 3u);
  for (const MenuItem& item : host_.menuItems) EXPECT_EQ(item.flags, MF_ENABLED) << item.name;

  // A folder through its own data object: select enables Refresh.
  com::ComPtr<IDataObject> users;
  ASSERT_EQ(snapin_->QueryDataObject(host_.scopeItems[3].param, CCT_SCOPE, users.Put()), S_OK);
  EXPECT_EQ(snapin_->Notify(users.Get(), MMCN_SELECT, 0, 0), S_OK);
  EXPECT_TRUE(host_.VerbEnabled(MMC_VERB_REFRESH));
  // The Transformers folder shows its description in a view.
  com::ComPtr<IComponent> view;
  ASSERT_EQ(snapin_->CreateComponent(view.Put()), S_OK);
  ASSERT_EQ(view->Initialize(&host_), S_OK);
  com::ComPtr<IDataObject> transformers;
  ASSERT_EQ(view->QueryDataObject(host_.scopeItems[2].param, CCT_SCOPE, transformers.Put()), S_OK);
  EXPECT_EQ(view->Notify(transformers.Get(), MMCN_SHOW, 1, 0), S_OK);
  EXPECT_EQ(host_.descriptionBar,
            std::vector<std::string>{"[To edit the transformer configuration, double click at the transformer name.]"});

  // Each reload answered with its box.
  for (long command : {32776L, 32777L, 32778L}) EXPECT_EQ(snapin_->Command(command, root.Get()), S_OK);
  EXPECT_EQ(host_.MessageTexts(), (std::vector<std::string>{"Configuration files reloaded.",
                                                            "Transformer files reloaded.", "Unify tables reloaded."}));
  for (const auto& box : host_.messageBoxes) EXPECT_EQ(box.caption, "Information");
  EXPECT_EQ(snapin_->Command(32999, root.Get()), S_OK) << "an unknown command does nothing";
  EXPECT_EQ(host_.messageBoxes.size(), 3u);

  view->Destroy(0);
  view = nullptr;
  snapin_ = nullptr;  // ends the session
  ConsoleLog::Instance().Close();
  std::filesystem::current_path(previous);
  const std::string log = soap::testing::ReadFile(instance_->Dir() / "VeltLog.log");
  EXPECT_NE(log.find("QuorAdmin"), std::string::npos);
  EXPECT_NE(log.find("CQuorAdminMMCData Started"), std::string::npos);
  EXPECT_NE(log.find("<GetAdminUserList><user/></GetAdminUserList>"), std::string::npos)
      << "ordinary requests are logged without their token";
  EXPECT_NE(log.find("OpenSession"), std::string::npos);
  EXPECT_EQ(log.find(kAdminPassword), std::string::npos) << "password in the log";
  EXPECT_EQ(log.find(ticket), std::string::npos) << "ticket in the log";
  EXPECT_EQ(log.find(sessionKey), std::string::npos) << "session key in the log";
}

TEST_F(SnapinSignIn, NonAdministratorIsToldSoAndGetsThreeTries) {
  QUOR_START_SERVICE();
  for (int i = 0; i < 4; ++i) host_.logonReplies.push_back(Reply("clerk", kClerkPassword));
  ASSERT_NO_FATAL_FAILURE(Load());
  EXPECT_EQ(Root().ConnectionResult(), -8);
  EXPECT_EQ(host_.logonRequests.size(), 3u);
  EXPECT_EQ(host_.MessageTexts(), std::vector<std::string>(3, "This is not an administrator."));
  for (const auto& box : host_.messageBoxes) EXPECT_EQ(box.style, MB_ICONINFORMATION | MB_OK);
  EXPECT_EQ(Root().Service()->SessionKey(), "") << "the refused session was closed";
  EXPECT_EQ(RegistryAccess().ReadServiceText("UserName"), "") << "a refused user is not remembered";
  EXPECT_EQ(snapin_->Notify(RootObject().Get(), MMCN_EXPAND, 1, 1), S_OK);
  EXPECT_TRUE(host_.scopeItems.empty());
}

TEST_F(SnapinSignIn, WrongPasswordThenNonAdministratorThenAdministratorListedInOtherCase) {
  // The list names the administrator in other case: the check ignores case.
  QUOR_START_SERVICE("Administrator");
  host_.logonReplies.push_back(Reply("administrator", "wrong"));
  host_.logonReplies.push_back(Reply("clerk", kClerkPassword));
  host_.logonReplies.push_back(Reply("administrator", kAdminPassword));
  ASSERT_NO_FATAL_FAILURE(Load());
  EXPECT_EQ(Root().ConnectionResult(), 0);
  EXPECT_EQ(host_.logonRequests.size(), 3u);
  ASSERT_EQ(host_.messageBoxes.size(), 2u);
  EXPECT_EQ(host_.messageBoxes[0].caption, "Error");
  EXPECT_NE(host_.messageBoxes[0].text, "") << "the service's fault text";
  EXPECT_NE(host_.messageBoxes[0].text, "Unknown Error");
  EXPECT_EQ(host_.messageBoxes[1].text, "This is not an administrator.");
  EXPECT_NE(Root().Databases(), nullptr);
}

TEST_F(SnapinSignIn, StoredPasswordSignsInSilentlyWithoutTheAdministratorCheck) {
  QUOR_START_SERVICE();
  RegistryAccess registry;
  registry.WriteServiceText("Service", instance_->CoreUrl());
  registry.WriteServiceText("UserName", "clerk");
  registry.WriteServiceText("Password", kClerkPassword);
  ASSERT_NO_FATAL_FAILURE(Load());
  EXPECT_EQ(Root().ConnectionResult(), 0) << "no administrator check";
  EXPECT_TRUE(host_.logonRequests.empty());
  EXPECT_TRUE(host_.messageBoxes.empty());
  EXPECT_NE(Root().Users(), nullptr);

  // The service itself refuses a non-administrator's reloads.
  const com::ComPtr<IDataObject> root = RootObject();
  for (long command : {32776L, 32777L, 32778L}) EXPECT_EQ(snapin_->Command(command, root.Get()), S_OK);
  EXPECT_EQ(host_.MessageTexts(),
            (std::vector<std::string>{"Fail to reload configuration files.", "Fail to reload transformer files.",
                                      "Fail to reload unify tables."}));
  for (const auto& box : host_.messageBoxes) EXPECT_EQ(box.caption, "Error");
}

TEST_F(SnapinSignIn, SilentSignInThatFailsLeavesTheTreeEmpty) {
  QUOR_START_SERVICE();
  RegistryAccess registry;
  registry.WriteServiceText("Service", instance_->CoreUrl());
  registry.WriteServiceText("UserName", "administrator");
  registry.WriteServiceText("Password", "not-the-password");
  ASSERT_NO_FATAL_FAILURE(Load());
  EXPECT_LT(Root().ConnectionResult(), 0);
  EXPECT_TRUE(host_.logonRequests.empty()) << "no dialog after a stored password";
  EXPECT_TRUE(host_.messageBoxes.empty());
  EXPECT_EQ(Root().Databases(), nullptr);
  host_.verbs[MMC_VERB_PROPERTIES] = true;
  EXPECT_EQ(snapin_->Notify(RootObject().Get(), MMCN_SELECT, 0, 0), S_OK);
  EXPECT_FALSE(host_.VerbEnabled(MMC_VERB_PROPERTIES));
}

}  // namespace
}  // namespace quor::admin::snapin
