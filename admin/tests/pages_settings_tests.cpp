// The "Registry Settings" page against a real registry file, read back by
// the service's own settings code.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "admin/RegistryAccess.h"
#include "admin/settings/ServiceSettingsPage.h"
#include "core/ServiceConfig.h"
#include "platform/registry/registry.h"
#include "testing/TempDir.h"

namespace quor::admin {
namespace {

namespace stdfs = std::filesystem;
using Page = ServiceSettingsPage;

class SettingsPageTest : public ::testing::Test {
 protected:
  quor::test::TempDir temp_{"quor-pages"};
  SettingsPageTest() {
    dir_ = temp_.Path();
    ::setenv("QUOR_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
  }

  static reg::Key Service() {
    reg::Key key;
    EXPECT_EQ(reg::Win32Error(key.Create(reg::Hive::LocalMachine, core::kServiceKey)), reg::ERROR_SUCCESS);
    return key;
  }
  static std::string Stored(std::string_view key, std::string_view name) {
    std::string value;
    return core::ReadServiceString(key, name, value) ? value : "<missing>";
  }
  static std::string StoredService(std::string_view name) { return Stored(core::kServiceKey, name); }

  stdfs::path dir_;
};

TEST_F(SettingsPageTest, FillShowsTheRegistryAndAnUnchangedApplyKeepsIt) {
  reg::Key service = Service();
  EXPECT_TRUE(service.SetString("HomeDir", "/srv/quor").ok());
  EXPECT_TRUE(service.SetString("LogLevel", "normal").ok());
  EXPECT_TRUE(service.SetString("ResourceURL", "http://h/res").ok());
  EXPECT_TRUE(service.SetString("ResourceDir", "/srv/quor/resource").ok());
  EXPECT_TRUE(service.SetDword("CompressThreshold", 4096).ok());
  EXPECT_TRUE(service.SetString("AdminUsers", "alice, bob").ok());
  EXPECT_TRUE(service.SetString("RootContext", "dc=example,dc=org").ok());
  EXPECT_TRUE(service.SetString("AdminGroupName", "admins").ok());
  EXPECT_TRUE(service.SetString("ConferenceManagerURL", "http://conf/").ok());
  reg::Key services;
  ASSERT_EQ(reg::Win32Error(services.Create(reg::Hive::LocalMachine, "Software\\Velt\\Services")), reg::ERROR_SUCCESS);
  EXPECT_TRUE(services.SetString("qsc", "http://h/QuorServiceCore.sod").ok());

  Page page;
  page.Fill();
  EXPECT_EQ(page.Text(Page::kHomeDir), "/srv/quor");
  EXPECT_EQ(page.LogLevel(), "Normal");
  EXPECT_EQ(page.Text(Page::kResourceUrl), "http://h/res");
  EXPECT_EQ(page.Text(Page::kResourceDir), "/srv/quor/resource");
  EXPECT_EQ(page.Text(Page::kServiceUrl), "http://h/QuorServiceCore.sod");
  EXPECT_EQ(page.Text(Page::kCompressThreshold), "4096");
  EXPECT_EQ(page.Text(Page::kAdminUsers), "alice, bob");
  EXPECT_EQ(page.Text(Page::kRootContext), "dc=example,dc=org");
  EXPECT_EQ(page.Text(Page::kAdminGroupName), "admins");
  EXPECT_EQ(page.Text(Page::kConferenceManagerUrl), "http://conf/");
  EXPECT_TRUE(page.ActiveDirectory());
  EXPECT_FALSE(page.IsReadOnly(Page::kRootContext));
  EXPECT_FALSE(page.Modified());
  EXPECT_EQ(page.Text(Page::kLogLevel), "");  // the list is no edit

  const Page::ApplyResult result = page.Apply();
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(StoredService("LogLevel"), "Normal");  // the service matches the level with case
  EXPECT_EQ(StoredService("AdminUsers"), "alice, bob");
  EXPECT_EQ(StoredService("RootContext"), "dc=example,dc=org");
  EXPECT_EQ(Stored("Software\\Velt\\Services", "qsc"), "http://h/QuorServiceCore.sod");
  const auto threshold = service.GetDword("CompressThreshold");
  ASSERT_EQ(reg::Win32Error(threshold), reg::ERROR_SUCCESS);
  EXPECT_EQ(*threshold, 4096u);
}

TEST_F(SettingsPageTest, AnEmptyRegistryFillsEmptyFieldsAndApplyCreatesTheValues) {
  Page page;
  page.Fill();
  for (int edit : {Page::kHomeDir, Page::kResourceUrl, Page::kServiceUrl, Page::kCompressThreshold, Page::kAdminUsers})
    EXPECT_EQ(page.Text(edit), "") << edit;
  EXPECT_EQ(page.LogLevel(), "None");
  EXPECT_FALSE(page.ActiveDirectory());
  EXPECT_TRUE(page.IsReadOnly(Page::kRootContext));
  EXPECT_TRUE(page.IsReadOnly(Page::kAdminGroupName));
  EXPECT_FALSE(page.SetText(Page::kRootContext, "dc=x"));

  ASSERT_TRUE(page.SetText(Page::kHomeDir, "/opt/quor"));
  EXPECT_TRUE(page.Modified());
  ASSERT_TRUE(page.Apply().ok);
  EXPECT_FALSE(page.Modified());
  EXPECT_EQ(StoredService("HomeDir"), "/opt/quor");
  EXPECT_EQ(StoredService("LogLevel"), "None");
  EXPECT_EQ(StoredService("RootContext"), "");
  // An empty threshold is 0: compression off.
  core::CServiceConfig config;
  config.ReadCompressThreshold();
  EXPECT_EQ(config.CompressThreshold, 0);
  EXPECT_EQ(page.Text(Page::kCompressThreshold), "");
}

TEST_F(SettingsPageTest, AllFourLevelsAreOfferedAndDebugSurvivesApply) {
  ASSERT_EQ(Page::kLogLevels.size(), 4u);
  EXPECT_TRUE(Service().SetString("LogLevel", "Debug").ok());
  Page page;
  page.Fill();
  EXPECT_EQ(page.LogLevel(), "Debug");
  ASSERT_TRUE(page.Apply().ok);
  EXPECT_EQ(StoredService("LogLevel"), "Debug");
  core::CServiceConfig config;
  config.ReadLogLevel();
  EXPECT_EQ(config.LogLevel, core::LOGLEVEL_DEBUG);

  // A prefix is no level: the service would not take "Nor" as Normal either.
  EXPECT_TRUE(Service().SetString("LogLevel", "Nor").ok());
  page.Fill();
  EXPECT_EQ(page.LogLevel(), "None");
  EXPECT_TRUE(Service().SetString("LogLevel", "DETAIL").ok());
  page.Fill();
  EXPECT_EQ(page.LogLevel(), "Detail");

  EXPECT_FALSE(page.SelectLogLevel(4));
  EXPECT_FALSE(page.SelectLogLevel(-1));
  EXPECT_FALSE(page.Modified());
  ASSERT_TRUE(page.SelectLogLevel(1));
  EXPECT_TRUE(page.Modified());
  ASSERT_TRUE(page.Apply().ok);
  config.ReadLogLevel();
  EXPECT_EQ(config.LogLevel, core::LOGLEVEL_NORMAL);
}

TEST_F(SettingsPageTest, LongTextsAreWrittenWholeAndReadBackExactlyByTheService) {
  std::string users;
  for (int i = 0; i < 60; ++i) users += (i ? ", user" : "user") + std::to_string(i);
  ASSERT_GT(users.size(), 260u);
  const std::string conference = "https://conference.example.org/" + std::string(400, 'p') + "?q=ü&x=<y>";
  const std::string home = "/srv/Quor Home/日本語";

  Page page;
  page.Fill();
  page.SetActiveDirectory(true);
  ASSERT_TRUE(page.SetText(Page::kHomeDir, home));
  ASSERT_TRUE(page.SetText(Page::kAdminUsers, users));
  ASSERT_TRUE(page.SetText(Page::kConferenceManagerUrl, conference));
  ASSERT_TRUE(page.SetText(Page::kRootContext, "ou=people,dc=example,dc=org"));
  ASSERT_TRUE(page.SetText(Page::kAdminGroupName, "Quor Admins"));
  ASSERT_TRUE(page.SetText(Page::kCompressThreshold, " 2147483647 "));
  ASSERT_TRUE(page.Apply().ok);

  core::CServiceConfig config;
  EXPECT_EQ(config.ReadHomeDir().ToUtf8(), home);
  EXPECT_EQ(config.HomeDirAnsi, home);
  config.ReadAdminUsers();
  ASSERT_EQ(config.AdminUsers.size(), 60u);
  EXPECT_EQ(config.AdminUsers.front().ToUtf8(), "user0");
  EXPECT_EQ(config.AdminUsers.back().ToUtf8(), "user59");
  ASSERT_TRUE(config.ReadAdminGroupName());
  EXPECT_EQ(config.AdminGroupName.ToUtf8(), "Quor Admins");
  config.ReadCompressThreshold();
  EXPECT_EQ(config.CompressThreshold, 2147483647);
  EXPECT_EQ(StoredService("AdminUsers"), users);
  EXPECT_EQ(StoredService("ConferenceManagerURL"), conference);
  EXPECT_EQ(StoredService("RootContext"), "ou=people,dc=example,dc=org");

  // The stored bytes are the text and one terminator, nothing more.
  const auto raw = Service().GetValue("ConferenceManagerURL");
  ASSERT_EQ(reg::Win32Error(raw), reg::ERROR_SUCCESS);
  EXPECT_EQ(raw->type, reg::ValueType::String);
  EXPECT_EQ(raw->data.size(), conference.size() + 1);

  // The page shows the same texts again.
  Page again;
  again.Fill();
  EXPECT_EQ(again.Text(Page::kAdminUsers), users);
  EXPECT_EQ(again.Text(Page::kConferenceManagerUrl), conference);
}

TEST_F(SettingsPageTest, UncheckingActiveDirectoryClearsItsValuesOnApply) {
  reg::Key service = Service();
  EXPECT_TRUE(service.SetString("RootContext", "dc=example,dc=org").ok());
  EXPECT_TRUE(service.SetString("AdminGroupName", "admins").ok());
  Page page;
  page.Fill();
  ASSERT_TRUE(page.ActiveDirectory());
  page.SetActiveDirectory(false);
  EXPECT_TRUE(page.Modified());
  EXPECT_TRUE(page.IsReadOnly(Page::kRootContext));
  EXPECT_FALSE(page.SetText(Page::kAdminGroupName, "other"));
  ASSERT_TRUE(page.Apply().ok);
  EXPECT_EQ(StoredService("RootContext"), "");
  EXPECT_EQ(StoredService("AdminGroupName"), "");
  core::CServiceConfig config;
  ASSERT_TRUE(config.ReadAdminGroupName());
  EXPECT_TRUE(config.AdminGroupName.IsNull());

  page.Fill();
  EXPECT_FALSE(page.ActiveDirectory());
}

TEST_F(SettingsPageTest, AThresholdThatIsNoNumberOrANulIsRefusedAndNothingIsWritten) {
  reg::Key service = Service();
  EXPECT_TRUE(service.SetString("HomeDir", "/srv/quor").ok());
  EXPECT_TRUE(service.SetDword("CompressThreshold", 100).ok());
  Page page;
  page.Fill();
  ASSERT_TRUE(page.SetText(Page::kHomeDir, "/srv/changed"));
  for (const char* bad : {"abc", "12abc", "-5", "1.5", "0x10", "2147483648", "99999999999", "1 2"}) {
    ASSERT_TRUE(page.SetText(Page::kCompressThreshold, bad));
    const Page::ApplyResult result = page.Apply();
    EXPECT_FALSE(result.ok) << bad;
    EXPECT_EQ(result.control, Page::kCompressThreshold) << bad;
    EXPECT_NE(result.message.find("CompressThreshold"), std::string::npos);
    EXPECT_TRUE(page.Modified());
  }
  EXPECT_EQ(StoredService("HomeDir"), "/srv/quor");
  const auto threshold = service.GetDword("CompressThreshold");
  ASSERT_EQ(reg::Win32Error(threshold), reg::ERROR_SUCCESS);
  EXPECT_EQ(*threshold, 100u);

  // A text the registry could not give back whole is refused as well.
  ASSERT_TRUE(page.SetText(Page::kCompressThreshold, "0"));
  ASSERT_TRUE(page.SetText(Page::kAdminUsers, std::string("alice\0bob", 9)));
  const Page::ApplyResult result = page.Apply();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.control, Page::kAdminUsers);
  EXPECT_EQ(StoredService("HomeDir"), "/srv/quor");

  ASSERT_TRUE(page.SetText(Page::kAdminUsers, "alice"));
  ASSERT_TRUE(page.Apply().ok);
  EXPECT_EQ(StoredService("HomeDir"), "/srv/changed");
}

TEST_F(SettingsPageTest, AFailedWriteIsReportedNotTakenForSuccess) {
  // A registry whose folder is a plain file cannot be written.
  std::ofstream(dir_ / "plain") << "x";
  ::setenv("QUOR_REGISTRY", (dir_ / "plain" / "registry.reg").c_str(), 1);
  Page page;
  page.Fill();
  ASSERT_TRUE(page.SetText(Page::kHomeDir, "/srv/quor"));
  const Page::ApplyResult result = page.Apply();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.control, Page::kHomeDir);
  EXPECT_EQ(result.message, "Unable to write HomeDir to the registry.");
  EXPECT_TRUE(page.Modified());
}

TEST_F(SettingsPageTest, BrowseOpensTheChooserOnTheFieldAndTakesItsResult) {
  stdfs::create_directories(dir_ / "home" / "sub");
  Page page;
  page.Fill();
  EXPECT_FALSE(page.Browse(Page::kHomeDir).has_value());
  ASSERT_TRUE(page.SetText(Page::kHomeDir, (dir_ / "home").string()));
  std::optional<console::DirectoryChooser> chooser = page.Browse(Page::kBrowseHomeDir);
  ASSERT_TRUE(chooser.has_value());
  EXPECT_FALSE(chooser->Open().has_value());
  EXPECT_EQ(chooser->Directory(), (dir_ / "home").string() + "/");
  ASSERT_EQ(chooser->Entries().size(), 2u);  // [..] and [sub]
  chooser->Select(1);
  ASSERT_TRUE(page.TakeBrowseResult(Page::kBrowseResourceDir, *chooser));
  EXPECT_EQ(page.Text(Page::kResourceDir), (dir_ / "home" / "sub").string());
  EXPECT_EQ(page.Text(Page::kHomeDir), (dir_ / "home").string());
  EXPECT_FALSE(page.TakeBrowseResult(Page::kAdminUsers, *chooser));
}

TEST_F(SettingsPageTest, RegistryWritesRefuseWhatTheyCannotStore) {
  RegistryAccess registry;
  EXPECT_TRUE(registry.WriteNumber("QuorService", "RowCount", "25"));
  EXPECT_FALSE(registry.WriteNumber("QuorService", "RowCount", "25 rows"));
  EXPECT_FALSE(registry.WriteNumber("QuorService", "RowCount", ""));
  EXPECT_FALSE(registry.WriteNumber("QuorService", "RowCount", "4294967296"));
  EXPECT_EQ(registry.ReadNumber("QuorService", "RowCount"), 25u);
  EXPECT_FALSE(registry.WriteText("QuorService", "UserName", std::string("a\0b", 3)));
  EXPECT_EQ(registry.ReadServiceText("UserName"), "");
  EXPECT_TRUE(registry.WriteServiceText("UserName", "admin"));
  EXPECT_EQ(registry.ReadServiceText("UserName"), "admin");
}

}  // namespace
}  // namespace quor::admin
