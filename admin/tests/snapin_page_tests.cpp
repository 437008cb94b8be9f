// The root node's "Registry Setting" page as a host sees it through the
// recording host: its fields, edits, refusals and Apply, against a real
// registry file read back by the service's own settings code.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "admin/RegistryAccess.h"
#include "admin/snapin/RootNode.h"
#include "admin/snapin/SnapInModule.h"
#include "core/ServiceConfig.h"
#include "admin/tests/SnapinFixture.h"
#include "platform/registry/registry.h"
#include "testing/RecordingHost.h"
#include "testing/ServerProcess.h"

namespace quor::admin::snapin {
namespace {

using namespace console;
using console::testing::RecordingHost;

class RootPage : public testing::OfflineSnapinTest {
 protected:
  static void Seed() {
    reg::Key service;
    ASSERT_EQ(reg::Win32Error(service.Create(reg::Hive::LocalMachine, core::kServiceKey)), reg::ERROR_SUCCESS);
    EXPECT_TRUE(service.SetString("HomeDir", "/srv/quor").ok());
    EXPECT_TRUE(service.SetString("LogLevel", "detail").ok());
    EXPECT_TRUE(service.SetString("ResourceURL", "http://h/res").ok());
    EXPECT_TRUE(service.SetString("ResourceDir", "/srv/quor/resource").ok());
    EXPECT_TRUE(service.SetDword("CompressThreshold", 4096).ok());
    EXPECT_TRUE(service.SetString("AdminUsers", "alice, bob").ok());
    EXPECT_TRUE(service.SetString("ConferenceManagerURL", "http://conf/").ok());
    reg::Key services;
    ASSERT_EQ(reg::Win32Error(services.Create(reg::Hive::LocalMachine, "Software\\Velt\\Services")),
              reg::ERROR_SUCCESS);
    EXPECT_TRUE(services.SetString("qsc", "http://h/QuorServiceCore.sod").ok());
  }

  // The root's page as the host receives it (the sign-in is cancelled: the
  // page needs no service).
  IPropertyPage& OpenPage() {
    root_.emplace("Quor Server Manager");
    host_.pages.clear();
    EXPECT_EQ(root_->CreatePropertyPages(&host_, 0, CCT_SCOPE), S_OK);
    EXPECT_EQ(host_.pages.size(), 1u);
    return *host_.pages.at(0);
  }
  PageField Field(std::string_view id) const { return host_.PageFieldOf(0, id); }
  static std::string Stored(std::string_view name, std::string_view key = core::kServiceKey) {
    std::string value;
    return core::ReadServiceString(key, name, value) ? value : "<missing>";
  }

  std::optional<CQuorAdminMMCData> root_;
};

TEST_F(RootPage, OffersEveryControlOfTheSettingsDialogInItsOrder) {
  ASSERT_NO_FATAL_FAILURE(Seed());
  IPropertyPage& page = OpenPage();
  EXPECT_EQ(page.Title(), "Registry Setting");
  EXPECT_FALSE(page.Changed());

  struct Expected {
    std::string id, label;
    FieldKind kind;
    std::string value;
    bool enabled;
  };
  const std::vector<Expected> expected = {
      {"202", "Home Directory:", FieldKind::Text, "/srv/quor", true},
      {"212", "...", FieldKind::Button, "", true},
      {"209", "Log Level:", FieldKind::Choice, "Detail", true},
      {"211", "Resource URL:", FieldKind::Text, "http://h/res", true},
      {"208", "Resource DIR:", FieldKind::Text, "/srv/quor/resource", true},
      {"213", "...", FieldKind::Button, "", true},
      {"215", "Service URL:", FieldKind::Text, "http://h/QuorServiceCore.sod", true},
      {"306", "CompressThreshold:", FieldKind::Number, "4096", true},
      {"217", "Admin Users:", FieldKind::Text, "alice, bob", true},
      {"326", "Active Directory", FieldKind::Check, "0", true},
      {"219", "Root Context:", FieldKind::Text, "", false},
      {"221", "Admin Group Name:", FieldKind::Text, "", false},
      {"324", "Conference Manager URL:", FieldKind::Text, "http://conf/", true},
  };
  const std::vector<PageField> fields = page.Fields();
  ASSERT_EQ(fields.size(), expected.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    SCOPED_TRACE(expected[i].id);
    EXPECT_EQ(fields[i].id, expected[i].id);
    EXPECT_EQ(fields[i].label, expected[i].label);
    EXPECT_EQ(fields[i].kind, expected[i].kind);
    EXPECT_EQ(fields[i].value, expected[i].value);
    EXPECT_EQ(fields[i].enabled, expected[i].enabled);
  }
  EXPECT_EQ(fields[2].options, (std::vector<std::string>{"None", "Normal", "Detail", "Debug"}));
}

TEST_F(RootPage, EditsAreCheckedByFieldAndTheCheckBoxUnlocksTheDirectoryFields) {
  ASSERT_NO_FATAL_FAILURE(Seed());
  IPropertyPage& page = OpenPage();

  // Nothing the page does not have, and nothing its kind cannot take.
  EXPECT_FALSE(page.SetValue("999", "x"));
  EXPECT_FALSE(page.SetValue("", "x"));
  EXPECT_FALSE(page.SetValue("202 ", "x"));
  EXPECT_FALSE(page.SetValue("+202", "x"));
  EXPECT_FALSE(page.SetValue("212", "x")) << "the browse button holds no value";
  EXPECT_FALSE(page.Press("202")) << "an edit is no button";
  EXPECT_FALSE(page.SetValue("209", "Verbose"));
  EXPECT_FALSE(page.SetValue("326", "yes"));
  EXPECT_FALSE(page.SetValue("219", "dc=x")) << "read-only while the box is unchecked";
  EXPECT_FALSE(page.Changed()) << "refused edits change nothing";
  EXPECT_EQ(Field("209").value, "Detail");

  // Unchanged values leave the page unmodified.
  EXPECT_TRUE(page.SetValue("202", "/srv/quor"));
  EXPECT_TRUE(page.SetValue("326", "0"));
  EXPECT_FALSE(page.Changed());

  EXPECT_TRUE(page.SetValue("326", "1"));
  EXPECT_TRUE(page.Changed());
  EXPECT_TRUE(Field("219").enabled);
  EXPECT_TRUE(Field("221").enabled);
  EXPECT_TRUE(page.SetValue("219", "dc=example,dc=org"));
  EXPECT_TRUE(page.SetValue("209", "debug")) << "levels match without case";
  EXPECT_EQ(Field("209").value, "Debug");
  EXPECT_EQ(Field("219").value, "dc=example,dc=org");
}

TEST_F(RootPage, BrowseButtonsRunTheChooserOnTheirEditsText) {
  ASSERT_NO_FATAL_FAILURE(Seed());
  IPropertyPage& page = OpenPage();
  host_.chooserReplies.push_back({false, ""});
  host_.chooserReplies.push_back({true, "/picked/home"});
  host_.chooserReplies.push_back({true, "/picked/resource"});

  EXPECT_TRUE(page.Press("212"));
  EXPECT_EQ(Field("202").value, "/srv/quor") << "cancelled: the edit keeps its text";
  EXPECT_FALSE(page.Changed());
  EXPECT_TRUE(page.Press("212"));
  EXPECT_TRUE(page.Press("213"));
  ASSERT_EQ(host_.chooserRequests.size(), 3u);
  EXPECT_EQ(host_.chooserRequests[0].startPath, "/srv/quor");
  EXPECT_FALSE(host_.chooserRequests[0].files) << "a folder is chosen";
  EXPECT_EQ(host_.chooserRequests[2].startPath, "/srv/quor/resource");
  EXPECT_EQ(Field("202").value, "/picked/home");
  EXPECT_EQ(Field("208").value, "/picked/resource");
  EXPECT_TRUE(page.Changed());
  ASSERT_TRUE(page.Apply().ok);
  EXPECT_EQ(Stored("HomeDir"), "/picked/home");
  EXPECT_EQ(Stored("ResourceDir"), "/picked/resource");
}

TEST_F(RootPage, ANonNumberThresholdIsRefusedAndNothingIsWritten) {
  ASSERT_NO_FATAL_FAILURE(Seed());
  IPropertyPage& page = OpenPage();
  ASSERT_TRUE(page.SetValue("202", "/opt/other"));
  ASSERT_TRUE(page.SetValue("209", "Debug"));
  for (std::string_view bad : {"12x", "-5", "4096.0", "99999999999"}) {
    SCOPED_TRACE(bad);
    ASSERT_TRUE(page.SetValue("306", bad)) << "typing is free; Apply checks";
    const PageApplyResult result = page.Apply();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.field, "306");
    EXPECT_NE(result.message.find("CompressThreshold"), std::string::npos) << result.message;
    EXPECT_TRUE(page.Changed()) << "the edits stay to be corrected";
  }
  EXPECT_EQ(Stored("HomeDir"), "/srv/quor");
  EXPECT_EQ(Stored("LogLevel"), "detail");
  core::CServiceConfig config;
  config.ReadCompressThreshold();
  EXPECT_EQ(config.CompressThreshold, 4096);

  ASSERT_TRUE(page.SetValue("306", "2048"));
  const PageApplyResult result = page.Apply();
  EXPECT_TRUE(result.ok) << result.message;
  EXPECT_FALSE(page.Changed());
  EXPECT_EQ(Stored("HomeDir"), "/opt/other");
  config.ReadCompressThreshold();
  EXPECT_EQ(config.CompressThreshold, 2048);
}

TEST_F(RootPage, AppliedValuesReachTheServiceSettingsUnchangedAndReopenAsWritten) {
  ASSERT_NO_FATAL_FAILURE(Seed());
  IPropertyPage& page = OpenPage();
  // A long list: no length limit cuts it.
  std::string users = "administrator";
  for (int i = 0; i < 60; ++i) users += ", user" + std::to_string(i);
  ASSERT_GT(users.size(), 260u);
  ASSERT_TRUE(page.SetValue("217", users));
  ASSERT_TRUE(page.SetValue("209", "Debug"));
  ASSERT_TRUE(page.SetValue("215", "http://other/QuorServiceCore.sod"));
  ASSERT_TRUE(page.Apply().ok);

  EXPECT_EQ(Stored("AdminUsers"), users);
  EXPECT_EQ(Stored("qsc", "Software\\Velt\\Services"), "http://other/QuorServiceCore.sod");
  core::CServiceConfig config;
  config.ReadLogLevel();
  EXPECT_EQ(config.LogLevel, core::LOGLEVEL_DEBUG);
  config.ReadAdminUsers();
  ASSERT_EQ(config.AdminUsers.size(), 61u);
  EXPECT_EQ(config.AdminUsers.back().ToUtf8(), "user59");

  // A new page shows what was written.
  OpenPage();
  EXPECT_EQ(Field("209").value, "Debug");
  EXPECT_EQ(Field("217").value, users);
}

}  // namespace
}  // namespace quor::admin::snapin
