#include "testing/ServerInstance.h"
// One failure of each kind the repository's driver reports, followed from
// the driver to the fault and the event log: a statement the database
// refuses, a link the server ends during a call, and credentials the server
// refuses. The driver's own words arrive whole wherever the call tells them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "platform/eventlog/eventlog.h"
#include "platform/odbc/odbc.h"
#include "testing/OutsideSql.h"

namespace quor::admin::testing {
namespace {

using collab::kDatabaseMissing;
namespace outside = oledb::testing;

// What the driver says to `sql` on the database of `odbc`, seen from outside.
std::string DriverSays(const std::string& odbc, std::string_view sql) {
  auto connection = std::make_shared<odbc::Connection>();
  if (const Status opened = connection->Open(odbc, 5); !opened.ok()) return opened.message();
  odbc::Statement statement(connection);
  return statement.Execute(sql).message();
}

// The event log's line of a call's failure: "[0x<status>] <text>", the text
// escaped as the log writes it.
std::string FailureLine(HRESULT status, const std::string& text) {
  return text::Format("[0x%X] %s", status, eventlog::EscapeText(text));
}

CallOutcome Put(CVeltService& client, const std::string& name) {
  return Call(client, "PutVOContent", {{"name", name}, {"content", "x"}});
}

TEST_F(RoadTest, AStatementTheDatabaseRefusesIsToldInTheDriversWords) {
  QUOR_START_INSTANCE(InstanceOptions{});
  const std::string odbc = instance_->Odbc();
  ASSERT_EQ(DriverSays(odbc, "DROP TABLE QUORVESK"), "");
  const std::string said = DriverSays(odbc, "SELECT 1 FROM QUORVESK");
  ASSERT_NE(said.find("QUORVESK"), std::string::npos) << said;

  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);
  const CallOutcome put = Put(*client, "unstored");
  EXPECT_FALSE(put.ok);
  // The statement's code as the repository has always answered it.
  EXPECT_EQ(put.status, static_cast<HRESULT>(0x80040E14u)) << put.fault;
  EXPECT_NE(put.fault.find(said), std::string::npos) << put.fault << "\n" << said;
  EXPECT_NE(instance_->Events().find(FailureLine(put.status, said)), std::string::npos) << instance_->Events();
}

// The server's own PostgreSQL connections carry an application name of
// their own (libpq takes it from the environment), so that only they end.
TEST_F(RoadTest, ALinkTheServerEndsIsToldInTheDriversWords) {
  if (Env("QUOR_TEST_PG").empty()) GTEST_SKIP() << "QUOR_TEST_PG not set";
  const std::string app = "quor-lost-" + std::to_string(::getpid());
  InstanceOptions options;
  options.database = Database::Postgres;
  ::setenv("PGAPPNAME", app.c_str(), 1);
  Start(options);
  ::unsetenv("PGAPPNAME");
  if (HasFatalFailure() || IsSkipped()) return;
  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);
  ASSERT_TRUE(Call(*client, "GetLogCount").ok);

  const std::string ended = outside::Capture(outside::PsqlCommand(Env("QUOR_TEST_PG")) +
                                             " -Atc \"SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                                             "WHERE application_name = '" + app + "'\" 2>&1");
  ASSERT_GE(std::atoi(ended.c_str()), 1) << ended;
  const CallOutcome lost = Put(*client, "lost");
  EXPECT_FALSE(lost.ok);
  // The call that met the ended link answers the statement's code with the
  // driver's words, which its event-log line carries whole; the log also
  // tells that the repository went, in the words of the statement that
  // found it gone.
  EXPECT_EQ(lost.status, static_cast<HRESULT>(0x80040E14u)) << lost.fault;
  const std::string told = lost.fault.substr(0, lost.fault.rfind(" [0x"));
  ASSERT_FALSE(told.empty()) << lost.fault;
  const std::string events = instance_->Events();
  EXPECT_NE(events.find(FailureLine(lost.status, told)), std::string::npos) << lost.fault << "\n" << events;
  constexpr std::string_view kGone = "cannot be reached: ";
  const size_t gone = events.find(kGone);
  ASSERT_NE(gone, std::string::npos) << events;
  EXPECT_GT(events.find_first_of("\r\n", gone), gone + kGone.size()) << events;
  // And the next call has a new link.
  EXPECT_TRUE(Call(*client, "GetLogCount").ok) << events;
}

TEST_F(RoadTest, CredentialsTheDatabaseRefusesAreToldInTheDriversWords) {
  const std::string served = Env("QUOR_TEST_PG");
  if (served.empty()) GTEST_SKIP() << "QUOR_TEST_PG not set";
  const std::string wrong = served + ";PWD=not-the-password";
  const std::string said = DriverSays(wrong, "SELECT 1");
  ASSERT_NE(said.find("password"), std::string::npos) << said;
  InstanceOptions options;
  options.database = Database::Postgres;
  ::setenv("QUOR_TEST_PG", wrong.c_str(), 1);
  Start(options);
  ::setenv("QUOR_TEST_PG", served.c_str(), 1);
  if (HasFatalFailure() || IsSkipped()) return;
  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);
  // Calls answer that the repository is not there, as they always did.
  const CallOutcome count = Call(*client, "GetLogCount");
  EXPECT_EQ(count.status, kDatabaseMissing) << count.fault;
  const std::string events = instance_->Events();
  EXPECT_NE(events.find("could not be opened: " + eventlog::EscapeText(said)), std::string::npos)
      << events << "\n" << said;
  EXPECT_EQ(events.find("not-the-password"), std::string::npos) << "no password in the event log";
}

}  // namespace
}  // namespace quor::admin::testing
