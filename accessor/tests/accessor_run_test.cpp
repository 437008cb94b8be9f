// The accessor's three runs against two real data sources (two SQLite files,
// or two schemas of the PostgreSQL test cluster): what lands is checked
// from outside with the sqlite3 and psql programs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "accessor/legacy_db_accessor_impl.h"
#include "platform/text/text.h"
#include "testing/OutsideSql.h"

namespace quor::accessor {
namespace {

namespace fs = std::filesystem;
using oledb::testing::Capture;

std::string PgItem(const std::string& odbc, std::string_view key) { return oledb::testing::OdbcItem(odbc, key); }

std::string Escape(std::string_view in) {
  std::string out;
  for (char c : in) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out.push_back(c);
  }
  return out;
}

std::u16string W(std::string_view s) { return text::Widen(s); }

class AccessorRunTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    suffix_ = std::to_string(::getpid());
    if (IsSqlite()) {
      for (int i = 0; i < 2; ++i) {
        files_[i] = (fs::temp_directory_path() / ("accessor_run_" + suffix_ + "_" + std::to_string(i) + ".db")).string();
        fs::remove(files_[i]);
        SqlOn(i, "CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT NOT NULL);");
      }
    } else {
      pg_ = std::getenv("QUOR_TEST_PG") ? std::getenv("QUOR_TEST_PG") : "";
      if (pg_.empty()) {
        if (std::getenv("CI")) FAIL() << "QUOR_TEST_PG is not set: the test command must start PostgreSQL";
        GTEST_SKIP() << "QUOR_TEST_PG not set";
      }
      for (int i = 0; i < 2; ++i) {
        SqlOn(i, "DROP SCHEMA IF EXISTS " + Catalog(i) + " CASCADE; CREATE SCHEMA " + Catalog(i) + "; CREATE TABLE " +
                     Catalog(i) + ".items (id INTEGER PRIMARY KEY, name TEXT NOT NULL);");
      }
    }
  }

  void TearDown() override {
    if (IsSqlite()) {
      for (const std::string& file : files_) fs::remove(file);
    } else if (!pg_.empty()) {
      for (int i = 0; i < 2; ++i) SqlOn(i, "DROP SCHEMA IF EXISTS " + Catalog(i) + " CASCADE;");
    }
  }

  bool IsSqlite() const { return GetParam() == "sqlite"; }

  // The catalog a statement names to reach source `i`: the SQLite source's
  // initial catalog, or the PostgreSQL source's schema.
  std::string Catalog(int i) const { return (IsSqlite() ? "cat" : "acc_run_") + std::to_string(i) + "_" + suffix_; }

  // Runs SQL on source `i` with the database's own command-line program.
  std::string SqlOn(int i, const std::string& sql) const {
    if (IsSqlite()) return Capture("sqlite3 -batch '" + files_[i] + "' \"" + sql + "\" 2>&1");
    return Capture(oledb::testing::PsqlCommand(pg_) + " -c \"" + sql + "\" 2>&1");
  }

  std::string Names(int i) const {
    const std::string table = IsSqlite() ? "items" : Catalog(i) + ".items";
    const std::string joined = IsSqlite() ? "group_concat(id || ':' || name)" : "string_agg(id || ':' || name, ',')";
    return SqlOn(i, "SELECT COALESCE(" + joined + ", '') FROM (SELECT * FROM " + table + " ORDER BY id) t");
  }

  // One configured source. The SQLite file, or the PostgreSQL schema as the
  // search path, is named in the ODBC string: the data source name is only a
  // label to select by, and one statement text fits both sources.
  // With `encoding`, the source's text is in that encoding: its Encoding
  // setting names it, and a PostgreSQL client asks the server for it.
  std::string Entry(int i, const std::string& encoding = {}) const {
    std::string s = "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>repo</DataSource>";
    if (!encoding.empty()) s += "<Encoding>" + encoding + "</Encoding>";
    if (IsSqlite()) {
      s += "<InitialCatalog>" + Catalog(i) + "</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};Database=" +
           Escape(files_[i]) + "</ExtendedProperties>";
    } else {
      // The Unicode driver keeps its client encoding at UTF-8; the ANSI one
      // takes the one asked for.
      std::string rest = "DRIVER=" + (encoding.empty() ? PgItem(pg_, "DRIVER") : "{PostgreSQL ANSI}") + ";Server=" + PgItem(pg_, "Server") +
                         ";Port=" + PgItem(pg_, "Port") + ";Database=" + PgItem(pg_, "Database") +
                         ";ConnSettings={SET search_path TO " + Catalog(i) +
                         (encoding.empty() ? "" : "; SET client_encoding TO '" + encoding + "'") + "}";
      s += "<ExtendedProperties>" + Escape(rest) + "</ExtendedProperties><UserName>" + Escape(PgItem(pg_, "UID")) +
           "</UserName><Password>" + Escape(PgItem(pg_, "PWD")) + "</Password><Schema>" + Catalog(i) + "</Schema>";
    }
    return s + "</OLEDBSetting>";
  }
  std::string ConfigList() const { return "<config>" + Entry(0) + Entry(1) + "</config>"; }

  std::string Statement(const std::string& target, const std::string& sql) const {
    return "<statement>" + target + "<sql>" + sql + "</sql></statement>";
  }
  std::string Target(int i) const {
    return "<provider>MSDASQL.1</provider><dsn>repo</dsn><catalog>" + Catalog(i) + "</catalog>";
  }
  static std::string Insert(int id, const std::string& name) {
    return "<insert/><into>items</into><values>" + std::to_string(id) + ", '" + name + "'</values>";
  }

  Status Run(const std::string& query, const std::string& config, std::string& answer) {
    return worker_.Query(W(query), W(config), answer);
  }

  CLegacyDBAccessorImpl worker_;
  std::string suffix_, pg_;
  std::array<std::string, 2> files_;
};

TEST_P(AccessorRunTest, ReplicatedStatementLandsOnEveryMatchingSourceOrNone) {
  std::string answer;
  // Without dsn and catalog the provider alone selects: both sources.
  ASSERT_EQ(Run(Statement("<provider>MSDASQL.1</provider>", Insert(1, "one")), ConfigList(), answer).code(), S_OK);
  EXPECT_EQ(answer, "<resultCode>0</resultCode>");
  EXPECT_EQ(Names(0), "1:one");
  EXPECT_EQ(Names(1), "1:one");

  // The full target (in another case: names match without regard to it)
  // selects the second source only.
  const std::string second = "<provider>msdasql.1</provider><dsn>REPO</dsn><catalog>" + Catalog(1) + "</catalog>";
  ASSERT_EQ(Run(Statement(second, Insert(2, "two")), ConfigList(), answer).code(), S_OK);
  EXPECT_EQ(Names(0), "1:one");
  EXPECT_EQ(Names(1), "1:one,2:two");

  // A key taken on the second source undoes the first source's insert.
  answer = "untouched";
  EXPECT_EQ(Run(Statement("<provider>MSDASQL.1</provider>", Insert(2, "again")), ConfigList(), answer).code(),
            kTransactionFailed);
  EXPECT_EQ(answer, "untouched");
  EXPECT_EQ(Names(0), "1:one");
  EXPECT_EQ(Names(1), "1:one,2:two");

  EXPECT_EQ(Run(Statement("<provider>Other</provider>", Insert(3, "x")), ConfigList(), answer).code(), kTargetMissing);
  EXPECT_EQ(Run("<table/>", ConfigList(), answer).code(), kQueryInvalid);
}

TEST_P(AccessorRunTest, TransactionCommitsAllStatementsOrNone) {
  // Two changes and a read on the first source share its connection (the
  // read sees the uncommitted row); the second source has its own.
  std::string answer;
  const std::string ok = "<transaction>" + Statement(Target(0), Insert(10, "a")) +
                         Statement(Target(0), "<select>name</select><from>items</from><where>id = 10</where>") +
                         Statement(Target(1), Insert(10, "b")) + Statement(Target(0), Insert(11, "c")) +
                         "</transaction>";
  ASSERT_EQ(Run(ok, ConfigList(), answer).code(), S_OK) << answer;
  EXPECT_TRUE(answer.starts_with("<root><response><resultCode>0</resultCode></response><response>")) << answer;
  EXPECT_NE(answer.find(">a<"), std::string::npos) << answer;
  EXPECT_EQ(Names(0), "10:a,11:c");
  EXPECT_EQ(Names(1), "10:b");

  // The second statement breaks the key: neither row stays.
  const std::string broken = "<transaction>" + Statement(Target(1), Insert(20, "x")) +
                             Statement(Target(0), Insert(21, "y")) + Statement(Target(1), Insert(20, "dup")) +
                             "</transaction>";
  EXPECT_EQ(Run(broken, ConfigList(), answer).code(), kTransactionFailed);
  EXPECT_EQ(Names(0), "10:a,11:c");
  EXPECT_EQ(Names(1), "10:b");

  // A statement that names no configured source fails the whole transaction
  // before anything runs, even when it comes last.
  const std::string unmatched = "<transaction>" + Statement(Target(0), Insert(30, "z")) +
                                Statement("<provider>MSDASQL.1</provider><dsn>repo</dsn><catalog>nowhere</catalog>",
                                          Insert(31, "w")) +
                                "</transaction>";
  EXPECT_EQ(Run(unmatched, ConfigList(), answer).code(), kTargetMissing);
  const std::string partial = "<transaction>" + Statement("<provider>MSDASQL.1</provider>", Insert(32, "v")) +
                              "</transaction>";
  EXPECT_EQ(Run(partial, ConfigList(), answer).code(), kTargetMissing);
  EXPECT_EQ(Names(0), "10:a,11:c");

  // So does a statement that does not parse, and a change with table "*".
  const std::string bad = "<transaction>" + Statement(Target(0), Insert(40, "q")) +
                          Statement(Target(0), "<delete/><from>*</from>") + "</transaction>";
  EXPECT_EQ(Run(bad, ConfigList(), answer).code(), kFromTableMissing);
  EXPECT_EQ(Names(0), "10:a,11:c");
}

TEST_P(AccessorRunTest, EveryConfigurationEntryIsCheckedBeforeAnythingRuns) {
  std::string answer;
  const std::string config = "<config>" + Entry(0) + "<Other/></config>";
  EXPECT_EQ(Run(Statement(Target(0), Insert(1, "one")), config, answer).code(), kConfigInvalidRoot);
  EXPECT_EQ(Run("<transaction>" + Statement(Target(0), Insert(1, "one")) + "</transaction>", config, answer).code(),
            kConfigInvalidRoot);
  EXPECT_EQ(Names(0), "");

  // A source that cannot be reached stops the run before the others change.
  std::string unreachable = Entry(1);
  const std::string from = IsSqlite() ? "Database=" : "Port=";
  unreachable.replace(unreachable.find(from), from.size(),
                      IsSqlite() ? "Database=/nonexistent-dir/x.db;NoCreat=1;Ignored=" : "Port=1;Ignored=");
  const std::string both = "<config>" + Entry(0) + unreachable + "</config>";
  EXPECT_EQ(Run(Statement("<provider>MSDASQL.1</provider>", Insert(2, "two")), both, answer).code(), AccessorCode(0x28));
  EXPECT_EQ(Names(0), "");
}

TEST_P(AccessorRunTest, SingleSourceAndRefusedDocuments) {
  std::string answer;
  ASSERT_EQ(Run(Statement("", Insert(5, "it''s")), Entry(0), answer).code(), S_OK);
  EXPECT_EQ(answer, "<response><resultCode>0</resultCode></response>");
  ASSERT_EQ(Run(Statement("", "<select>id, name</select><from>items</from>"), Entry(0), answer).code(), S_OK);
  EXPECT_NE(answer.find("it's"), std::string::npos) << answer;

  EXPECT_EQ(Run("not xml", Entry(0), answer).code(), kXmlLoadFailed);
  EXPECT_EQ(Run(Statement("", Insert(6, "x")), "<OLEDBSetting>", answer).code(), kXmlLoadFailed);
  EXPECT_EQ(Run("", Entry(0), answer).code(), kXmlLoadFailed);
  // A declaration in front makes the declaration the query's first node.
  EXPECT_EQ(Run("<?xml version=\"1.0\"?>" + Statement("", Insert(6, "x")), Entry(0), answer).code(), kQueryInvalid);
  EXPECT_EQ(Run(Statement("", "<delete/><from>*</from>"), Entry(0), answer).code(), kFromTableMissing);
  EXPECT_EQ(Names(0), "5:it's");
}

TEST_P(AccessorRunTest, TextInALegacyEncodingComesBackAsItsCharacters) {
  // U+3042 U+65E5 U+672C U+FF71: hiragana, two kanji, a half-width katakana.
  const std::string expected = "\xE3\x81\x82\xE6\x97\xA5\xE6\x9C\xAC\xEF\xBD\xB1";
  if (IsSqlite()) {
    // The files hold the legacy bytes themselves.
    SqlOn(0, "INSERT INTO items VALUES (1, CAST(X'A4A2C6FCCBDC8EB1' AS TEXT));");
    SqlOn(1, "INSERT INTO items VALUES (1, CAST(X'82A093FA967BB1' AS TEXT));");
  } else {
    // The server converts to the encoding the client asks for.
    for (int i = 0; i < 2; ++i)
      SqlOn(i, "INSERT INTO " + Catalog(i) + ".items VALUES (1, U&'\\3042\\65E5\\672C\\FF71')");
  }
  const std::string select = Statement("", "<select>name</select><from>items</from>");
  std::string answer;
  ASSERT_EQ(Run(select, Entry(0, "EUC_JP"), answer).code(), S_OK);
  EXPECT_NE(answer.find(">" + expected + "<"), std::string::npos) << answer;
  ASSERT_EQ(Run(select, Entry(1, "SJIS"), answer).code(), S_OK);
  EXPECT_NE(answer.find(">" + expected + "<"), std::string::npos) << answer;

  // Without an encoding the driver's own decoding stands: UTF-8 text reads
  // as it is.
  if (IsSqlite()) SqlOn(0, "UPDATE items SET name = CAST(X'" "E38182E697A5E69CACEFBDB1" "' AS TEXT);");
  ASSERT_EQ(Run(select, Entry(0), answer).code(), S_OK);
  EXPECT_NE(answer.find(">" + expected + "<"), std::string::npos) << answer;
}

// Callers writing to the same sources at once, each statement in the local
// transactions of a replicated run: every write lands, none waiting out a
// driver's busy time-out (on SQLite a read before the write inside the
// transaction once made a writer wait 100 s, or fail, whenever another
// committed in between).
TEST_P(AccessorRunTest, ConcurrentTransactionalWritesAllLandPromptly) {
  constexpr int kThreads = 6, kEach = 12;
  std::array<Status, kThreads> failures;
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      CLegacyDBAccessorImpl worker;
      for (int n = 0; n < kEach && failures[t].ok(); ++n) {
        std::string answer;
        const std::string insert = Statement("<provider>MSDASQL.1</provider>", Insert(100 * (t + 1) + n, "w"));
        failures[t] = worker.Query(W(insert), W(ConfigList()), answer);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto took = std::chrono::steady_clock::now() - start;
  for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(failures[t].ok()) << "writer " << t << ": " << failures[t].message();
  EXPECT_LT(took, std::chrono::seconds(30)) << "a writer waited for a stale snapshot";
  for (int i = 0; i < 2; ++i) {
    const std::string table = IsSqlite() ? "items" : Catalog(i) + ".items";
    EXPECT_EQ(SqlOn(i, "SELECT COUNT(*) FROM " + table), std::to_string(kThreads * kEach));
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, AccessorRunTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace quor::accessor
