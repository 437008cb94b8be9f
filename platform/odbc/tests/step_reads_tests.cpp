// SQLite queries read row by row (the driver's step mode) only where that
// answers what the whole read answers: the same columns and values, from
// the real driver, for every shape of statement; whole everywhere else.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/odbc/odbc.h"
#include "platform/text/text.h"
#include "testing/TempDir.h"

namespace quor::odbc {
namespace {

class StepReads : public ::testing::Test {
 protected:
  void SetUp() override {
    // Before the process's first use of SQLite, which counts its memory then.
    prepared_ = PrepareDriverLibraries();
    ASSERT_EQ(Run(Open(""),
                    "CREATE TABLE typed (id INTEGER PRIMARY KEY, i INT, bi BIGINT, si SMALLINT, r REAL, d DOUBLE, "
                    "n NUMERIC(12,3), t TEXT, vc VARCHAR(20), c CHAR(5), b BLOB, bo BOOLEAN, dt DATE, tm TIME, "
                    "ts TIMESTAMP, nn TEXT NOT NULL DEFAULT 'x');"
                    "INSERT INTO typed VALUES (1, 42, 9000000000, 7, 1.5, 0.1, 12.5, 'caf\xC3\xA9 ' || char(128512) || ' <&>',"
                    " 'vc', 'ab', x'00ff10', 1, '2024-01-02', '03:04:05', '2024-01-02 03:04:05.123', 'nn');"
                    "INSERT INTO typed (id, t) VALUES (2, ''), (3, NULL);"
                    "INSERT INTO typed (id, i, t) VALUES (4, 5, 'x'), (5, -3, '2.5');"
                    "CREATE TABLE other (id INTEGER, note VARCHAR(40));"
                    "INSERT INTO other VALUES (1, 'one'), (4, 'four');"
                    "CREATE TABLE untyped (a, b); INSERT INTO untyped VALUES (1, 'x'), (2.5, NULL);"
                    "CREATE TABLE lower (a varchar, b integer); INSERT INTO lower VALUES ('7', 7);"
                    "CREATE TABLE mixed (v varchar, w); INSERT INTO mixed VALUES ('7', 7);"
                    "CREATE TABLE texts (id INTEGER, body TEXT);"
                    "WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < 3) "
                    "INSERT INTO texts SELECT k, replace(hex(zeroblob(100000 * k)), '0', 'y') FROM n;"
                    "CREATE VIEW plain AS SELECT t.id, t.t, o.note FROM typed t JOIN other o ON o.id = t.id;"
                    "CREATE VIEW computed AS SELECT id, i * 2 AS twice FROM typed;"
                    "PRAGMA journal_mode = WAL")
                  .Text(),
              Status().Text());
  }

  std::shared_ptr<Connection> Open(const std::string& more, const std::string& file = "steps.db") {
    auto connection = std::make_shared<Connection>();
    const Status opened = connection->Open("DRIVER={SQLite3};Database=" + dir_.File(file) + more, 5);
    EXPECT_TRUE(opened.ok()) << opened.Text();
    return connection;
  }
  // Runs each statement of `batch` (split at its semicolons).
  static Status Run(const std::shared_ptr<Connection>& connection, const std::string& batch) {
    for (size_t at = 0; at < batch.size();) {
      const size_t end = std::min(batch.find(';', at), batch.size());
      Statement statement(connection);
      if (Status ran = statement.Execute(batch.substr(at, end - at)); !ran.ok()) return ran;
      at = end + 1;
    }
    return {};
  }

  // Everything the accessor takes from a statement: its columns, then each
  // value as the layer reads it, or the failure where it came.
  static std::string Read(const std::shared_ptr<Connection>& connection, const std::string& sql, NarrowText narrow,
                          bool* stepped = nullptr) {
    Statement statement(connection);
    statement.SetNarrowText(narrow);
    std::vector<Param> params;
    if (sql.find('?') != std::string::npos) params.push_back(Param::Int(1));
    const Status ran = statement.Execute(sql, params);
    if (stepped) *stepped = statement.Stepped();
    if (!ran.ok()) return "execute failed: " + ran.Text();
    std::string out;
    for (const ColumnInfo& c : statement.columns())
      out += c.name + " " + std::to_string(c.sqlType) + " " + std::to_string(c.size) + " " +
             std::to_string(c.decimals) + (c.nullable ? " null" : " not null") + "\n";
    while (true) {
      const Result<bool> fetched = statement.Fetch();
      if (!fetched.ok()) return out + "fetch failed: " + fetched.status().Text();
      if (!*fetched) return out;
      for (size_t i = 0; i < statement.columns().size(); ++i) {
        const Result<ValueView> value = statement.Read(i);
        if (!value.ok()) return out + "read failed: " + value.status().Text();
        switch (value->kind) {
          case Value::Kind::Null: out += "[null]"; break;
          case Value::Kind::Integer: out += "[" + std::to_string(value->integer) + "]"; break;
          case Value::Kind::Double: out += text::Format("[%.17g]", value->real); break;
          default: out += "[" + std::string(value->narrow ? "n:" : "w:") + std::string(value->text) + "]";
        }
      }
      out += "\n";
    }
  }

  Status prepared_;
  test::TempDir dir_{"quor-odbc-steps"};
};

TEST_F(StepReads, EveryShapeAnswersAsTheWholeReadDoes) {
  struct Shape {
    std::string sql;
    bool steps;
  };
  const std::vector<Shape> shapes = {
      {"SELECT * FROM typed", true},
      {"SELECT id AS key, t AS label, vc FROM typed ORDER BY id DESC", true},
      {"SELECT t.id, o.note FROM typed t JOIN other o ON o.id = t.id", true},
      {"SELECT * FROM plain", true},
      {"SELECT * FROM typed WHERE id > 100", true},
      {"SELECT body FROM texts", true},
      {"SELECT (SELECT t FROM typed WHERE id = 1) AS first, id FROM typed", true},
      {"SELECT t FROM typed UNION SELECT a FROM untyped", true},
      {"SELECT a, b FROM lower", true},  // "varchar" as its table declares it
      {"SELECT v FROM mixed", false},    // beside a column of no type
      {"SELECT a, b FROM untyped", false},
      {"SELECT id, i + 1 AS next, r * 2, t || '!' FROM typed", false},
      {"SELECT * FROM computed", false},
      {"SELECT count(*), max(t) FROM typed", false},
      {"SELECT id FROM typed WHERE id > 100 AND i + 1 > 0", true},
      {"SELECT id, t FROM typed WHERE id > ?", false},  // the driver reads a query with parameters whole
      {"PRAGMA table_info(typed)", false},
      {"SELECT id FROM typed; SELECT 1", false},
      {"SELECT nothing FROM typed", false},
  };
  const auto whole = Open("");
  const auto stepping = Open(";StepAPI=1");
  ASSERT_FALSE(whole->DriverSteps());
  ASSERT_TRUE(stepping->MayStep());
  for (const Shape& shape : shapes) {
    for (const NarrowText narrow : {NarrowText::None, NarrowText::All}) {
      bool stepped = true, wholeStepped = true;
      const std::string expected = Read(whole, shape.sql, narrow, &wholeStepped);
      EXPECT_EQ(Read(stepping, shape.sql, narrow, &stepped), expected) << shape.sql;
      EXPECT_EQ(stepped, shape.steps) << shape.sql;
      EXPECT_FALSE(wholeStepped) << shape.sql;
    }
  }
}

TEST_F(StepReads, AFailureAmongTheRowsComesAtItsFetch) {
  ASSERT_TRUE(Run(Open(""), "CREATE TABLE many (id INTEGER PRIMARY KEY, t TEXT);"
                            "WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < 1000) "
                            "INSERT INTO many SELECT k, 'row ' || k FROM n")
                  .ok());
  const std::string sql =
      "SELECT id, t FROM many WHERE abs(CASE WHEN id = 500 THEN -9223372036854775808 ELSE id END) > 0";
  const std::string whole = Read(Open(""), sql, NarrowText::None);
  ASSERT_TRUE(whole.starts_with("execute failed: ")) << whole.substr(0, 200);
  bool stepped = false;
  const std::string rowByRow = Read(Open(";StepAPI=1"), sql, NarrowText::None, &stepped);
  EXPECT_TRUE(stepped);
  const size_t failure = rowByRow.find("fetch failed: ");
  ASSERT_NE(failure, std::string::npos) << rowByRow.substr(0, 200);
  EXPECT_NE(rowByRow.find("[499][w:row 499]\n"), std::string::npos);
  // The same code and text.
  EXPECT_EQ(rowByRow.substr(failure + 14), whole.substr(16));
}

// Outside a WAL a row-by-row read would hold the database's read lock, and
// its writers, until its last row: such a database is read whole, and a
// writer goes on while a read is half way.
TEST_F(StepReads, OnlyAWalIsReadRowByRow) {
  for (const std::string journal : {"delete", "wal"}) {
    const std::string file = journal + ".db";
    ASSERT_TRUE(Run(Open("", file), "PRAGMA journal_mode = " + journal +
                                        ";CREATE TABLE many (id INTEGER PRIMARY KEY, t TEXT);"
                                        "WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < "
                                        "1000) INSERT INTO many SELECT k, 'row ' || k FROM n")
                    .ok());
    const auto reader = Open(";StepAPI=1;Timeout=200", file);
    EXPECT_EQ(reader->MayStep(), journal == "wal");
    Statement read(reader);
    ASSERT_TRUE(read.Execute("SELECT id, t FROM many").ok());
    EXPECT_EQ(read.Stepped(), journal == "wal");
    for (int i = 0; i < 10; ++i) {
      const Result<bool> fetched = read.Fetch();
      ASSERT_TRUE(fetched.ok() && *fetched);
    }
    const Status wrote = Run(Open(";Timeout=200", file), "INSERT INTO many (t) VALUES ('more')");
    EXPECT_TRUE(wrote.ok()) << journal << ": " << wrote.Text();
  }
}

// The driver's own allocations, counted: whole, a read holds every row
// from the moment it runs; row by row, a row at a time, whatever the rows.
TEST_F(StepReads, ARowByRowReadHoldsNoMoreForMoreRows) {
  if (!prepared_.ok()) GTEST_SKIP() << prepared_.Text() << " (a test before this one in the process used SQLite)";
  const auto fill = Open("");
  for (const int rows : {20000, 200000})
    ASSERT_TRUE(Run(fill, "CREATE TABLE rows" + std::to_string(rows) +
                              " (id INTEGER PRIMARY KEY, qty INTEGER, price REAL, note TEXT, tag TEXT);"
                              "WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < " +
                              std::to_string(rows) + ") INSERT INTO rows" + std::to_string(rows) +
                              " SELECT k, k * 7, k / 3.0, 'a note of some length, row ' || k, "
                              "CASE WHEN k % 3 = 0 THEN NULL ELSE 'tag' || (k % 17) END FROM n")
                    .ok());
  struct Held {
    uint64_t atRun = 0;
    int64_t peak = 0;
  };
  const auto read = [&](const std::string& more, int rows) {
    const auto connection = Open(more);
    Statement statement(connection);
    Held held;
    const int64_t before = SqliteHeldByThread();
    EXPECT_TRUE(statement.Execute("SELECT * FROM rows" + std::to_string(rows)).ok());
    held.atRun = statement.DriverHeld();
    int read = 0;
    for (Result<bool> fetched = statement.Fetch(); fetched.ok() && *fetched; fetched = statement.Fetch()) {
      for (size_t i = 0; i < statement.columns().size(); ++i) EXPECT_TRUE(statement.Read(i).ok());
      held.peak = std::max(held.peak, SqliteHeldByThread() - before);
      ++read;
    }
    EXPECT_EQ(read, rows);
    return held;
  };
  const Held wholeFew = read("", 20000), wholeMany = read("", 200000);
  const Held steppedFew = read(";StepAPI=1", 20000), steppedMany = read(";StepAPI=1", 200000);
  // Whole: the rows, held from the run on, ten times as many for ten times the rows.
  EXPECT_GT(wholeMany.atRun, 5 * wholeFew.atRun);
  EXPECT_GE(wholeMany.peak, static_cast<int64_t>(wholeMany.atRun));
  // Row by row: nothing held at the run, and no more for ten times the rows
  // than the page cache the engine fills.
  EXPECT_LT(steppedMany.atRun, wholeFew.atRun / 100);
  EXPECT_LT(steppedMany.peak, 2 * steppedFew.peak);
  EXPECT_LT(steppedMany.peak, static_cast<int64_t>(wholeMany.atRun / 10));
}

}  // namespace
}  // namespace quor::odbc
