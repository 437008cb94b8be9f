// The memory answers held whole may take: a call whose answer would pass
// its limit gets a clear fault and an event-log line, changes nothing, and
// the other calls run on; an answer sent while it is read is not held, but
// the rows its driver read whole are.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

class BudgetRoad : public CollabRoad {};

TEST_P(BudgetRoad, AnAnswerOverItsLimitIsRefusedAndOthersRunOn) {
  // Rows of a data source whose answer runs to several megabytes, in a WAL
  // (which the SQLite driver reads row by row), and the same outside one.
  st::TempDir data;
  const std::string rows = "CREATE TABLE many (id INTEGER, t TEXT); WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL "
                           "SELECT x + 1 FROM n WHERE x < 40000) INSERT INTO many SELECT x, "
                           "printf(\"%0100d\", x) FROM n;";
  const auto source = SqliteSource(data.Path() / "many.db", "many", rows + " PRAGMA journal_mode = WAL;");
  const auto whole = SqliteSource(data.Path() / "whole.db", "whole", rows);
  ASSERT_FALSE(source.first.empty());
  ASSERT_FALSE(whole.first.empty());
  InstanceOptions options;
  options.homeFiles = {
      {"transform/csv.xml", "<QuorTransform><transform><ProgID>FlatConvert.TransCSV</ProgID></transform></QuorTransform>"},
      source, whole};
  QUOR_START_COLLAB(options);
  // Rows as they are stored, or through one transformer that converts them
  // row by row, leave while they are read; through a chain of transformers
  // they are made whole first.
  const auto query = [](int rows, const std::string& chain, const std::string& dsn = "many") {
    return "<query><get><content>record</content><target><provider>MSDASQL.1</provider><dsn>" + dsn +
           "</dsn><catalog>main</catalog><table>many</table></target><condition>id &lt;= " +
           std::to_string(rows) + "</condition>" + (chain.empty() ? "" : "<transform>" + chain + "</transform>") +
           "</get></query>";
  };

  const std::string big(3u << 20, 'x'), small = "small content";
  ASSERT_TRUE(Call(*alice, "PutVOContent", {{"name", "big"}, {"content", big}}).ok);
  ASSERT_TRUE(Call(*alice, "PutVOContent", {{"name", "small"}, {"content", small}}).ok);
  // A call's limit counts its request too: the big content is stored first.
  ASSERT_NO_FATAL_FAILURE(RestartWith({{"AnswerMemoryMB", 2}}));
  alice = instance_->SignIn(alice_, "alice-pw");
  bob = instance_->SignIn(bob_, "bob-pw");
  ASSERT_TRUE(alice && bob);

  // Refused while small calls run beside them on other sessions.
  std::atomic<bool> done{false};
  std::atomic<int> smallCalls{0}, smallFailures{0};
  std::thread beside([&] {
    while (!done) {
      if (!Call(*bob, "GetLogCount").ok) ++smallFailures;
      ++smallCalls;
    }
  });
  for (int round = 0; round < 3; ++round) {
    const CallOutcome content = Call(*alice, "GetVOContent", {{"name", "big"}});
    EXPECT_FALSE(content.ok);
    EXPECT_EQ(content.status, E_OUTOFMEMORY) << content.fault;
    EXPECT_NE(content.fault.find("AnswerMemoryMB"), std::string::npos) << content.fault;
    const CallOutcome rows = Call(*alice, "Query", {{"sqlstmt", query(40000, "trans:0, trans:0")}});
    EXPECT_FALSE(rows.ok);
    EXPECT_EQ(rows.status, E_OUTOFMEMORY) << rows.fault;
    EXPECT_NE(rows.fault.find("AnswerMemoryMB"), std::string::npos) << rows.fault;
  }
  // The same rows streamed are not held whole: past the limit, and answered.
  const CallOutcome streamed = Call(*alice, "Query", {{"sqlstmt", query(40000, "")}});
  ASSERT_TRUE(streamed.ok) << streamed.fault;
  EXPECT_EQ(ColumnTexts(streamed.decoded, "id").size(), 40000u);
  const CallOutcome converted = Call(*alice, "Query", {{"sqlstmt", query(40000, "trans:0")}});
  ASSERT_TRUE(converted.ok) << converted.fault;
  EXPECT_NE(converted.decoded.find("\n40000,"), std::string::npos);
  // Outside a WAL the driver reads them whole when the statement runs.
  const CallOutcome readWhole = Call(*alice, "Query", {{"sqlstmt", query(40000, "", "whole")}});
  EXPECT_EQ(readWhole.status, E_OUTOFMEMORY) << readWhole.fault;
  EXPECT_NE(readWhole.fault.find("the rows the database driver reads whole"), std::string::npos) << readWhole.fault;
  done = true;
  beside.join();
  EXPECT_GT(smallCalls.load(), 0);
  EXPECT_EQ(smallFailures.load(), 0);

  // Answers within the limit, and the refused object itself, are untouched.
  const CallOutcome fine = Call(*alice, "GetVOContent", {{"name", "small"}});
  ASSERT_TRUE(fine.ok) << fine.fault;
  EXPECT_EQ(fine.decoded, "<root>" + small + "</root>");
  const CallOutcome few = Call(*alice, "Query", {{"sqlstmt", query(100, "trans:0")}});
  ASSERT_TRUE(few.ok) << few.fault;
  EXPECT_NE(few.decoded.find("id,t\n1,"), std::string::npos) << few.decoded.substr(0, 200);
  EXPECT_NE(instance_->Events().find("AnswerMemoryMB"), std::string::npos) << instance_->Events();
}

TEST_P(BudgetRoad, ARequestTheProcessCannotHoldIsRefusedAndStoresNothing) {
  InstanceOptions options;
  options.serviceDwords = {{"AllAnswersMemoryMB", 4}};
  QUOR_START_COLLAB(options);
  ASSERT_TRUE(Call(*alice, "PutVOContent", {{"name", "kept"}, {"content", "before"}}).ok);
  // Its body alone passes what all calls may hold: refused once the wait
  // for room is over, with nothing written.
  const CallOutcome put = Call(*alice, "PutVOContent", {{"name", "kept"}, {"content", std::string(6u << 20, 'q')}});
  EXPECT_FALSE(put.ok);
  EXPECT_EQ(put.status, E_OUTOFMEMORY) << put.fault;
  EXPECT_NE(put.fault.find("AllAnswersMemoryMB"), std::string::npos) << put.fault;
  EXPECT_NE(instance_->Events().find("AllAnswersMemoryMB"), std::string::npos) << instance_->Events();
  const CallOutcome kept = Call(*alice, "GetVOContent", {{"name", "kept"}});
  ASSERT_TRUE(kept.ok) << kept.fault;
  EXPECT_EQ(kept.decoded, "<root>before</root>");
  // Within it, the same put goes through.
  ASSERT_TRUE(Call(*alice, "PutVOContent", {{"name", "kept"}, {"content", std::string(1u << 20, 'q')}}).ok);
}

INSTANTIATE_TEST_SUITE_P(Engines, BudgetRoad, ::testing::Values(Database::Sqlite, Database::Postgres), EngineName);

}  // namespace
}  // namespace quor::admin::testing
