// Which SQLite queries the driver reads row by row: those whose every column
// has a declared type, in a WAL; the rest whole, as it does by itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/odbc/odbc.h"
#include "testing/TempDir.h"

namespace quor::odbc {
namespace {

class StepReads : public ::testing::Test {
 protected:
  std::shared_ptr<Connection> Open(const std::string& file, const std::string& more = ";StepAPI=1;Timeout=200") {
    auto connection = std::make_shared<Connection>();
    EXPECT_TRUE(connection->Open("DRIVER={SQLite3};Database=" + dir_.File(file) + more, 5).ok());
    return connection;
  }
  // Runs the statements of `batch`, split at its semicolons.
  void Run(const std::shared_ptr<Connection>& connection, const std::string& batch) {
    for (size_t at = 0, end; at < batch.size(); at = end + 1) {
      end = std::min(batch.find(';', at), batch.size());
      EXPECT_TRUE(Statement(connection).Execute(batch.substr(at, end - at)).ok()) << batch.substr(at, end - at);
    }
  }
  test::TempDir dir_{"quor-odbc-steps"};
};

TEST_F(StepReads, OnlyQueriesOfDeclaredTypesInAWalStep) {
  Run(Open("steps.db", ""),
      "PRAGMA journal_mode = WAL; CREATE TABLE t (id INTEGER, x REAL, s VARCHAR(9)); INSERT INTO t VALUES (1, 2, 's');"
      "CREATE TABLE lower (a varchar, b integer); CREATE TABLE mixed (a varchar, b); CREATE VIEW v AS SELECT id, s "
      "FROM t; CREATE VIEW w AS SELECT id + 1 AS n FROM t");
  const auto connection = Open("steps.db");
  const std::pair<std::string, bool> shapes[] = {
      {"SELECT * FROM t", true},          {"SELECT t1.id AS k, v.s FROM t t1 JOIN v ON v.id = t1.id", true},
      {"SELECT a, b FROM lower", true},   {"SELECT a FROM mixed", false},
      {"SELECT b FROM mixed", false},     {"SELECT id + 1 FROM t", false},
      {"SELECT * FROM w", false},         {"SELECT count(*) FROM t", false},
      {"SELECT id FROM t WHERE ?", false}, {"PRAGMA table_info(t)", false},
  };
  for (const auto& [sql, steps] : shapes) {
    Statement statement(connection);
    std::vector<Param> params;
    if (sql.ends_with("?")) params.push_back(Param::Int(1));
    ASSERT_TRUE(statement.Execute(sql, params).ok()) << sql;
    EXPECT_EQ(statement.Stepped(), steps) << sql;
  }
}

// Outside a WAL a row-by-row read would hold the database's read lock, and
// its writers, until its last row: a writer goes on while a read is half way.
TEST_F(StepReads, OutsideAWalAReadHoldsUpNoWriter) {
  for (const std::string journal : {"delete", "wal"}) {
    Run(Open(journal + ".db", ""), "PRAGMA journal_mode = " + journal +
                                       "; CREATE TABLE t (id INTEGER); WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL "
                                       "SELECT k + 1 FROM n WHERE k < 100) INSERT INTO t SELECT k FROM n");
    Statement read(Open(journal + ".db"));
    ASSERT_TRUE(read.Execute("SELECT id FROM t").ok());
    EXPECT_EQ(read.Stepped(), journal == "wal");
    ASSERT_TRUE(read.Fetch().ok());
    EXPECT_TRUE(Statement(Open(journal + ".db")).Execute("INSERT INTO t VALUES (0)").ok()) << journal;
  }
}

}  // namespace
}  // namespace quor::odbc
