#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include "core/QuorServiceUtils.h"
#include "core/ServiceModule.h"
#include "core/tests/TestInstance.h"
#include "platform/com/classstore.h"
#include "platform/eventlog/eventlog.h"
#include "platform/text/text.h"
#include "platform/time/clock.h"

extern char** environ;

using namespace quor;
using namespace quor::core;
using quor::core::testing::TestInstance;

namespace {

// Writes the embedded repository (an SQLite file with the repository tables)
// and its definition into the instance.
void AddSqliteRepository(const TestInstance& instance) {
  const std::string db = instance.root() + "/repository.db";
  instance.Write("config/repository.xml",
                 "<?xml version=\"1.0\"?><OLEDBSetting><quorservice>VODB</quorservice><Provider>MSDASQL.1</Provider>"
                 "<ExtendedProperties>DRIVER={SQLite3};Database=" + db + "</ExtendedProperties></OLEDBSetting>");
}

int RunRegsvr(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string program = std::string(QUOR_BIN_DIR) + "/quor-regsvr";
  argv.push_back(program.data());
  std::vector<std::string> copies = args;
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The entries of the instance's event log, of one type or all.
std::vector<eventlog::Entry> Entries(const TestInstance& instance, std::string_view type = {}) {
  std::vector<eventlog::Entry> entries;
  for (const auto& line : text::Split(instance.EventLogText(), '\n')) {
    eventlog::Entry entry;
    if (!line.empty() && eventlog::ParseLine(line, entry) && (type.empty() || entry.type == type))
      entries.push_back(entry);
  }
  return entries;
}

}  // namespace

TEST(ServiceModule, StartUpOpensTheRepositoryAndReadsSettings) {
  TestInstance instance;
  instance.SetHomeDir();
  EXPECT_TRUE(instance.ServiceKey().SetString("LogLevel", "Normal").ok());
  EXPECT_TRUE(instance.ServiceKey().SetString("AdminUsers", "root, admin").ok());
  AddSqliteRepository(instance);

  CServiceModule& module = CServiceModule::Instance();
  ASSERT_EQ(module.InitInstance().code(), S_OK);
  ASSERT_TRUE(module.Settings());
  EXPECT_EQ(module.Settings()->HomeDirAnsi, instance.home());
  EXPECT_EQ(module.Settings()->LogLevel, LOGLEVEL_NORMAL);
  EXPECT_EQ(module.Settings()->AdminUsers.size(), 2u);
  EXPECT_EQ(module.Settings()->CompressThreshold, 0);
  ASSERT_TRUE(module.Connection());
  EXPECT_EQ(module.Connection()->GetState(), 1);
  ASSERT_TRUE(module.Utils());
  EXPECT_EQ(module.Utils()->GetCompressThreshold(), 0);
  EXPECT_TRUE(Entries(instance, "Error").empty()) << instance.EventLogText();
  const auto started = Entries(instance, "Information");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_NE(started[0].strings.at(0).find("is open"), std::string::npos);

  module.ExitInstance();
  EXPECT_FALSE(module.Utils());
  EXPECT_FALSE(module.Connection());
  EXPECT_TRUE(module.Settings());  // lives as long as the process
}

TEST(ServiceModule, UnreachableRepositoryLeavesTheServiceNotReady) {
  TestInstance instance;
  instance.SetHomeDir();
  instance.Write("config/repository.xml",
                 "<OLEDBSetting><quorservice>VODB</quorservice><Provider>MSDASQL.1</Provider>"
                 "<ExtendedProperties>DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Database=x</ExtendedProperties>"
                 "</OLEDBSetting>");
  CServiceModule& module = CServiceModule::Instance();
  ASSERT_EQ(module.InitInstance().code(), S_OK);
  EXPECT_EQ(module.Connection()->GetState(), 0);
  const auto entries = Entries(instance);
  ASSERT_EQ(entries.size(), 1u) << instance.EventLogText();
  EXPECT_EQ(entries[0].source, "QuorService");
  EXPECT_EQ(entries[0].type, "Error");
  ASSERT_EQ(entries[0].strings.size(), 1u);
  EXPECT_EQ(entries[0].strings[0].rfind("[0x8100004E] ", 0), 0u) << entries[0].strings[0];
  EXPECT_NE(entries[0].strings[0].find("could not be opened"), std::string::npos);
  module.ExitInstance();
}

TEST(ServiceModule, LoadsThroughTheComponentRuntime) {
  TestInstance instance;
  instance.SetHomeDir();
  const std::string library = std::string(QUOR_LIB_DIR) + "/libQuorServiceCore.so";
  ASSERT_EQ(RunRegsvr({"-s", library}), 0);

  // No repository definition: the library loads, stays not ready and says why.
  com::CoInitialize();
  com::ComPtr<com::IDispatch> admin;
  ASSERT_EQ(com::CreateObject(u"QuorServiceCore.QuorServiceCoreAdmin", admin), S_OK);
  ASSERT_TRUE(admin);
  const auto entries = Entries(instance);
  ASSERT_EQ(entries.size(), 1u) << instance.EventLogText();
  EXPECT_EQ(entries[0].strings.at(0).rfind("[0x8100004E] ", 0), 0u);
  EXPECT_NE(entries[0].strings[0].find("No repository definition"), std::string::npos);
  admin.Reset();
  com::CoUninitialize();

  EXPECT_EQ(RunRegsvr({"-s", "-u", library}), 0);
  com::CLSID clsid;
  EXPECT_NE(com::CLSIDFromProgID("QuorServiceCore.QuorServiceCoreAdmin", clsid), S_OK);
}

TEST(ServiceUtils, LogTimeHasNoLeadingZeros) {
  time::SetFixedTime(time::ParseUtc("2004-01-01T09:05:03Z"));
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  EXPECT_EQ(CQuorServiceUtils::FormatLogTime(), "2004/1/1 9:5:3");
  time::SetFixedTime(std::nullopt);
  ::unsetenv("TZ");
  ::tzset();
}

TEST(ServiceUtils, EventLogWriterHonoursItsLevel) {
  TestInstance instance;
  CEventLogWriter writer;
  writer.Source = "QuorService";
  writer.Level = 0;
  writer.ReportError(4096, "hidden");
  EXPECT_TRUE(Entries(instance).empty());
  writer.Level = 1;
  writer.ReportError(4096, "[0x81000001] shown");
  const auto entries = Entries(instance);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].eventId, 4096u);
  EXPECT_EQ(entries[0].strings, std::vector<std::string>{"[0x81000001] shown"});
}

TEST(ServiceUtils, RootContextNeedsText) {
  TestInstance instance;
  CServiceConfig settings;
  CQuorServiceUtils utils(settings, nullptr);
  com::Bstr context(u"stale");
  EXPECT_FALSE(utils.ReadRootContext(context));
  EXPECT_TRUE(context.IsNull());
  EXPECT_TRUE(instance.ServiceKey().SetString("RootContext", "").ok());
  EXPECT_FALSE(utils.ReadRootContext(context));
  EXPECT_TRUE(instance.ServiceKey().SetString("RootContext", "DC=quor,DC=test").ok());
  EXPECT_TRUE(utils.ReadRootContext(context));
  EXPECT_EQ(context, u"DC=quor,DC=test");
}

TEST(ServiceModule, OpensTheRepositoryWhenLoadedThroughTheRuntime) {
  TestInstance instance;
  instance.SetHomeDir();
  AddSqliteRepository(instance);
  const std::string library = std::string(QUOR_LIB_DIR) + "/libQuorServiceCore.so";
  ASSERT_EQ(RunRegsvr({"-s", library}), 0);
  com::ComPtr<com::IDispatch> core;
  ASSERT_EQ(com::CreateObject(u"QuorServiceCore.QuorServiceCore", core), S_OK);
  EXPECT_TRUE(Entries(instance, "Error").empty()) << instance.EventLogText();
  const auto started = Entries(instance, "Information");
  ASSERT_EQ(started.size(), 1u) << instance.EventLogText();
  EXPECT_NE(started[0].strings.at(0).find("MSDASQL.1"), std::string::npos);
}
