// quor-instance as run.sh runs it: a fresh folder becomes an instance that
// quor-server serves and the administrator signs in to with the password it
// printed; a second run keeps the accounts, the password and later edits of
// the registry, and writes the new endpoint.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

std::string Bin(const char* program) { return std::string(QUOR_BIN_DIR) + "/" + program; }

std::string ServiceValue(const fs::path& registry, std::string_view key, std::string_view name) {
  reg::Registry file(registry);
  reg::Key k(file);
  if (!k.Open(reg::Hive::LocalMachine, key).ok()) return "(no key)";
  const Result<std::string> value = k.GetString(name);
  return value.ok() ? *value : "(no value)";
}

// Points QUOR_REGISTRY at a file while it lives; the earlier value comes back.
class RegistryNamed {
 public:
  explicit RegistryNamed(const fs::path& file) {
    if (const char* value = std::getenv("QUOR_REGISTRY")) previous_ = value;
    ::setenv("QUOR_REGISTRY", file.c_str(), 1);
  }
  ~RegistryNamed() {
    if (previous_)
      ::setenv("QUOR_REGISTRY", previous_->c_str(), 1);
    else
      ::unsetenv("QUOR_REGISTRY");
  }
  RegistryNamed(const RegistryNamed&) = delete;
  RegistryNamed& operator=(const RegistryNamed&) = delete;

 private:
  std::optional<std::string> previous_;
};

TEST(InstanceProgram, MakesAnInstanceThatServesAndASecondRunKeepsIt) {
  st::TempDir dir;
  const fs::path instance = dir.Path() / "instance";
  const fs::path registry = instance / "registry.reg";
  const auto run = [&](const std::string& locator) {
    return st::RunProgram(Bin("quor-instance"),
                          {"--dir", instance.string(), "--schema", std::string(QUOR_SOURCE_DIR) + "/sql/sqlite.sql",
                           "--bin", QUOR_BIN_DIR, "--lib", QUOR_LIB_DIR, "--console-service", locator, "--locator",
                           locator},
                          st::Environment({"QUOR_EVENTLOG=" + (dir.Path() / "events.log").string()}), dir.Path());
  };

  const st::RunResult first = run("http://127.0.0.1:1/QuorService/QuorServiceCore.sod");
  ASSERT_EQ(first.status, 0) << first.output;
  const std::string password = st::ReadFile(instance / "administrator.password");
  ASSERT_EQ(password.size(), 17u) << password;
  EXPECT_EQ(first.output, password);
  struct stat info {};
  ASSERT_EQ(::stat((instance / "administrator.password").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::string accounts = st::ReadFile(instance / "registry.reg.accounts");

  {
    reg::Registry file(registry);
    reg::Key service(file);
    ASSERT_TRUE(service.Open(reg::Hive::LocalMachine, "Software\\Velt\\QuorService").ok());
    ASSERT_TRUE(service.SetString("LogLevel", "Debug").ok());
  }
  const std::string endpoint = "http://127.0.0.1:2/QuorService/QuorServiceCore.sod";
  const st::RunResult second = run(endpoint);
  ASSERT_EQ(second.status, 0) << second.output;
  EXPECT_EQ(second.output, "");
  EXPECT_EQ(st::ReadFile(instance / "administrator.password"), password);
  EXPECT_EQ(st::ReadFile(instance / "registry.reg.accounts"), accounts);
  EXPECT_EQ(ServiceValue(registry, "Software\\Velt\\QuorService", "LogLevel"), "Debug");
  EXPECT_EQ(ServiceValue(registry, "Software\\Velt\\Services", "qsc"), endpoint);
  EXPECT_EQ(ServiceValue(registry, "Software\\Velt\\QuorService\\ServiceInfo\\local", "Service"), endpoint);

  // Served as run.sh serves it; the console's client reads the same registry.
  const RegistryNamed named(registry);
  st::ServerChild server;
  std::string why;
  ASSERT_TRUE(server.Start(Bin("quor-server"),
                           {"--resource-url", "/QuorService/resource", "--resource-dir", (instance / "resource").string()},
                           st::Environment({"QUOR_REGISTRY=" + registry.string(),
                                            "QUOR_EVENTLOG=" + (instance / "logs" / "events.log").string()}),
                           dir.Path() / "server.err", std::chrono::seconds(30), why))
      << why << st::ReadFile(dir.Path() / "server.err");
  {
    CVeltService client;
    const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + std::string(soap::kCorePath);
    EXPECT_EQ(client.Connect(url, "administrator", password.substr(0, 16)), 0) << client.FormatFault();
    const CallOutcome count = Call(client, "GetLogCount");
    EXPECT_TRUE(count.ok) << count.fault;
    client.EndSession();
  }
  EXPECT_EQ(server.Stop(SIGTERM, std::chrono::seconds(20)), 0) << st::ReadFile(dir.Path() / "server.err");
}

}  // namespace
}  // namespace quor::admin::testing
