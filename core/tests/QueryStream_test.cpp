// Query answers that leave while the accessor reads the rows: the engine
// against the real accessor on SQLite (a file read whole, and one in a WAL,
// read row by row) and on the test run's PostgreSQL, a sink of the test's
// own collecting the pieces. The pieces together are the text the same
// query answers whole, byte for byte; what needs the whole answer is made
// whole; a failure after rows went out fails the call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/StatusCodes.h"
#include "core/query/QueryEngine.h"
#include "core/tests/TestInstance.h"
#include "platform/com/memory_budget.h"
#include "platform/com/callcontext.h"
#include "platform/com/classstore.h"
#include "platform/odbc/odbc.h"
#include "platform/text/text.h"
#include "testing/OutsideSql.h"

namespace quor::core {
namespace {

using testing::TestInstance;
namespace outside = oledb::testing;

constexpr int kRows = 20000;
constexpr int kBrokenRow = 15000;
constexpr HRESULT kClientGone = static_cast<HRESULT>(0x800704CDu);

// The carrier's side: every piece kept; the `failAt`th write fails (0:
// none), as a connection that went would.
class Pieces : public com::ResultSink {
 public:
  Status Write(std::string_view piece) override {
    ++writes;
    if (failAt && writes >= failAt) return Status(kClientGone);
    pieces.emplace_back(piece);
    return Status();
  }
  std::string Joined() const {
    std::string all;
    for (const std::string& piece : pieces) all += piece;
    return all;
  }

  std::vector<std::string> pieces;
  int writes = 0;
  int failAt = 0;
};

struct Answer {
  HRESULT status = S_OK;
  std::string text;  // "(null)" when none
};

// The rows: numbers, a text of every kind the answer escapes or drops
// (markup characters, CR LF and tab, characters of two to four bytes,
// blanks alone, a line feed alone, empty, NULL, the end of a CDATA
// section), a real and bytes.
std::string RowsSql(bool postgres) {
  const std::string text =
      postgres ? "lpad(i::text, 5, '0') || ' <&>\"' || chr(13) || chr(10) || chr(9) || ' é 漢 😀'"
               : "printf('%05d', i) || ' <&>\"' || char(13, 10, 9) || ' é 漢 😀'";
  const std::string lineFeed = postgres ? "chr(10)" : "char(10)";
  const std::string bytes = postgres ? "decode(lpad(to_hex(i), 8, '0'), 'hex')" : "CAST(printf('%08x', i) AS BLOB)";
  const std::string value = "CASE WHEN i % 11 = 0 THEN NULL WHEN i % 7 = 0 THEN '  ' WHEN i % 13 = 0 THEN '' "
                            "WHEN i % 17 = 0 THEN " + lineFeed + " WHEN i % 19 = 0 THEN 'x]]>y]]]>' ELSE " +
                            text + " END";
  const std::string series = postgres ? "generate_series(1, " + std::to_string(kRows) + ") AS n(i)"
                                      : "n";
  const std::string with = postgres ? "" : "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                                               std::to_string(kRows) + ") ";
  const std::string control = postgres ? "chr(1)" : "char(1)";
  const std::string real = postgres ? "DOUBLE PRECISION" : "REAL";
  const std::string blob = postgres ? "BYTEA" : "BLOB";
  return "CREATE TABLE big (id INTEGER, t TEXT, r " + real + ", b " + blob + ");\n"
         "INSERT INTO big " + with + "SELECT i, " + value + ", i * 0.5, " + bytes + " FROM " + series + ";\n"
         // A character XML cannot carry, far into the rows.
         "CREATE TABLE mid AS SELECT * FROM big WHERE id <= 1000;\n"
         "CREATE TABLE odd (id INTEGER, t TEXT);\n"
         "INSERT INTO odd " + with + "SELECT i, CASE WHEN i = " + std::to_string(kBrokenRow) + " THEN 'a' || " +
         control + " ELSE " + text + " END FROM " + series + ";\n";
}

struct Engine {
  std::string name;
};
void PrintTo(const Engine& engine, std::ostream* os) { *os << engine.name; }

class QueryStreamTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    // Before the process's first use of SQLite, which counts its memory then.
    prepared_ = odbc::PrepareDriverLibraries();
    for (const char* library : {"libQuorAccessor.so", "libFlatConvert.so", "libGridPage.so"})
      ASSERT_EQ(testing::RegisterLibrary(library), 0) << library;
    instance_.SetHomeDir();
    const std::string sqlFile = instance_.root() + "/rows.sql";
    std::string setting = "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>big</DataSource>";
    if (Postgres()) {
      const std::string odbc = outside::PgOdbc();
      if (odbc.empty()) {
        if (std::getenv("CI")) FAIL() << "QUOR_TEST_PG is not set: the test command must start PostgreSQL";
        GTEST_SKIP() << "QUOR_TEST_PG not set";
      }
      catalog_ = "qs_" + std::to_string(::getpid());
      std::ofstream(sqlFile) << "DROP SCHEMA IF EXISTS " << catalog_ << " CASCADE; CREATE SCHEMA " << catalog_
                             << "; SET search_path TO " << catalog_ << ";\n"
                             << RowsSql(true)
                             // A failure far into the rows, met by a fetch.
                             << "CREATE VIEW failing AS SELECT id, t, CASE WHEN id = " << kBrokenRow
                             << " THEN 1 / (id - id) ELSE id END AS x FROM big;\n";
      ASSERT_EQ(outside::Capture(outside::PsqlCommand(odbc) +
                                 " -v ON_ERROR_STOP=1 -c 'SET client_min_messages = warning' -f '" + sqlFile +
                                 "' 2>&1"),
                "");
      const std::string rest = "DRIVER=" + outside::OdbcItem(odbc, "DRIVER") + ";Server=" +
                               outside::OdbcItem(odbc, "Server") + ";Port=" + outside::OdbcItem(odbc, "Port") +
                               ";Database=" + outside::OdbcItem(odbc, "Database") +
                               ";ConnSettings=SET search_path TO " + catalog_;
      setting += "<InitialCatalog>" + catalog_ + "</InitialCatalog><ExtendedProperties>" + rest +
                 "</ExtendedProperties><UserName>" + outside::OdbcItem(odbc, "UID") + "</UserName><Password>" +
                 outside::OdbcItem(odbc, "PWD") + "</Password>";
    } else {
      catalog_ = "main";
      const std::string db = instance_.root() + "/big.db";
      std::ofstream(sqlFile) << RowsSql(false);
      ASSERT_EQ(outside::Capture("sqlite3 -batch '" + db + "' < '" + sqlFile + "' 2>&1"), "");
      if (Wal()) {
        ASSERT_EQ(outside::Capture("sqlite3 -batch '" + db + "' 'PRAGMA journal_mode = WAL' 2>&1"), "wal");
      }
      setting += "<InitialCatalog>main</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};Database=" + db +
                 "</ExtendedProperties>";
    }
    instance_.Write("config/big.xml", setting + "</OLEDBSetting>");
    instance_.Write("transform/csv.xml",
                    "<QuorTransform><transform><transID>csv</transID><ProgID>FlatConvert.TransCSV</ProgID>"
                    "</transform><transform><transID>xhtml</transID><ProgID>GridPage.TransXHTML</ProgID>"
                    "</transform></QuorTransform>");
    settings_.ReadHomeDir();
    settings_.DefaultAccessorProgID = com::Bstr(u"QuorAccessor.LegacyDBAccessor");
    settings_.DefaultAccessorMethod = com::Bstr(u"Query");
  }
  void TearDown() override {
    if (Postgres() && !catalog_.empty())
      outside::Capture(outside::PsqlCommand(outside::PgOdbc()) + " -c 'DROP SCHEMA IF EXISTS " + catalog_ +
                       " CASCADE' 2>&1");
    com::CoFreeUnusedLibraries();
  }

  bool Postgres() const { return GetParam().name == "postgresql"; }
  bool Wal() const { return GetParam().name == "sqlite-wal"; }

  // A client's query of `table` (one target: one source, as it stands).
  std::string Get(const std::string& table, const std::string& more = "") const {
    return "<query><get><content>record</content><target><provider>MSDASQL.1</provider><dsn>big</dsn><catalog>" +
           catalog_ + "</catalog><table>" + table + "</table></target>" + more + "</get></query>";
  }

  // `query` answered by a new engine, as a call does; through `sink` when
  // given. A statement document ("<sqlquery>") is dispatched as it is.
  Answer Run(const std::string& query, com::ResultSink* sink = nullptr) {
    CQueryEngine engine(settings_);
    Answer answer;
    if (const Status ready = engine.Init(); !ready.ok()) {
      answer.status = ready.code();
      return answer;
    }
    com::Bstr result;
    if (query.starts_with("<sqlquery>")) {
      const xml::DocumentPtr doc = xml::Document::Create();
      EXPECT_TRUE(doc->loadXML(query));
      answer.status = engine.DispatchQuery(doc, result, sink).code();
    } else {
      answer.status = engine.Execute(com::Bstr::FromUtf8(query), result, sink).code();
    }
    answer.text = result.IsNull() ? "(null)" : result.ToUtf8();
    return answer;
  }

  // Runs `query` whole and streamed; the streamed pieces must be the whole
  // answer's text. Answers the pieces.
  Pieces ExpectStreamedAsWhole(const std::string& query, size_t atLeast = size_t{1} << 20) {
    const Answer whole = Run(query);
    EXPECT_EQ(whole.status, S_OK) << whole.text.substr(0, 300);
    EXPECT_GT(whole.text.size(), atLeast) << "too small to show anything";
    Pieces sink;
    const Answer streamed = Run(query, &sink);
    EXPECT_EQ(streamed.status, S_OK);
    EXPECT_EQ(streamed.text, "(null)") << "the answer went out: nothing is returned";
    EXPECT_GE(sink.pieces.size(), whole.text.size() / (size_t{80} << 10)) << "not sent in pieces";
    const std::string joined = sink.Joined();
    EXPECT_EQ(joined.size(), whole.text.size());
    EXPECT_TRUE(joined == whole.text) << "first difference at "
                                      << std::mismatch(joined.begin(), joined.end(), whole.text.begin(),
                                                       whole.text.end())
                                                 .first -
                                             joined.begin();
    for (const std::string& piece : sink.pieces) {
      EXPECT_TRUE(text::IsValidUtf8(piece));
      // A piece is what the accessor held: a flush's worth and one row.
      EXPECT_LE(piece.size(), size_t{68} << 10);
    }
    return sink;
  }

  Status prepared_;
  TestInstance instance_;
  CServiceConfig settings_;
  std::string catalog_;
};

TEST_P(QueryStreamTest, ManyRowsLeaveAsTheWholeAnswerWouldBe) {
  // A client's query: the accessor's answer stands as it is.
  const Pieces got = ExpectStreamedAsWhole(Get("big"));
  ASSERT_FALSE(got.pieces.empty());
  EXPECT_TRUE(got.pieces.front().starts_with("<root><response><table name=\"big\"><record>"))
      << got.pieces.front().substr(0, 200);
  EXPECT_TRUE(got.pieces.back().ends_with("</record></table></response></root>"));
  // The whole answer's forms of what the document model changes: blanks
  // alone are no value, a carriage return a reference.
  const std::string joined = got.Joined();
  const std::string_view seventh = ">7</column><column name=\"t\"";  // blanks alone
  const size_t at = joined.find(seventh);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(joined.substr(joined.find('>', at + seventh.size()) - 1, 2), "/>");
  EXPECT_NE(joined.find("&lt;&amp;&gt;\"&#xD;\n\t é 漢 😀</column>"), std::string::npos);

  // A statement whose source answers through the unify step, which no rule
  // changes (read whole, that step parses the answer: a smaller table).
  ExpectStreamedAsWhole("<sqlquery><statement><provider>MSDASQL.1</provider><dsn>big</dsn><sql><select/><from>mid"
                        "</from></sql></statement></sqlquery>",
                        size_t{128} << 10);
}

// A transformer that reads its source piece by piece converts the rows on
// their way: the pieces are the whole answer transformed.
TEST_P(QueryStreamTest, TransformedRowsLeaveAsTheWholeAnswerWouldBe) {
  const Pieces csv = ExpectStreamedAsWhole(Get("big", "<transform>csv</transform>"), size_t{512} << 10);
  const std::string text = csv.Joined();
  EXPECT_TRUE(text.starts_with("<root><response><table><caption>big</caption><csv><![CDATA[id,t,r,b\n1,")) << text.substr(0, 200);
  // A carriage return between sections; "]]>" over two.
  EXPECT_NE(text.find("]]>&#xD;<![CDATA[\n\t"), std::string::npos);
  EXPECT_NE(text.find("x]]]]><![CDATA[>y]]]]]><![CDATA[>"), std::string::npos);
  const Pieces xhtml = ExpectStreamedAsWhole(Get("big", "<transform>xhtml</transform>"), size_t{512} << 10);
  EXPECT_TRUE(xhtml.Joined().starts_with("<root><response><html><table border=\"1\"><caption>big</caption><tr><th>id"));
}

// While an answer is made whole it counts against the call's memory; sent
// while it is made it holds a piece, whatever the rows. Rows the driver
// reads whole (an SQLite file outside a WAL) count too, from the moment the
// statement runs, answer streamed or not.
TEST_P(QueryStreamTest, AStreamedAnswerHoldsAPieceOfMemory) {
  com::MemoryBudget::Process().Configure(uint64_t{1} << 20, 0);
  struct Restore {
    ~Restore() { com::MemoryBudget::Process().Configure(0, 0); }
  } restore;
  std::string refusal;
  const auto underBudget = [&](com::ResultSink* sink) {
    com::CallContext context;
    context.memory = std::make_shared<com::CallMemory>();
    const com::CallContextScope scope(context);
    const HRESULT status = Run(Get("big"), sink).status;
    refusal = context.memory->Refusal();
    return status;
  };
  EXPECT_EQ(underBudget(nullptr), E_OUTOFMEMORY);
  Pieces sink;
  // Counted once the process counts SQLite's memory (from its first use).
  if (!Postgres() && !Wal() && prepared_.ok()) {
    EXPECT_EQ(underBudget(&sink), E_OUTOFMEMORY);
    EXPECT_TRUE(sink.pieces.empty());
    EXPECT_NE(refusal.find("the rows the database driver reads whole"), std::string::npos) << refusal;
    return;
  }
  EXPECT_EQ(underBudget(&sink), S_OK);
  EXPECT_GT(sink.Joined().size(), size_t{4} << 20);
}

TEST_P(QueryStreamTest, WhatNeedsTheWholeAnswerIsMadeWhole) {
  const auto madeWhole = [&](const std::string& query) {
    const Answer whole = Run(query);
    Pieces sink;
    const Answer asked = Run(query, &sink);
    EXPECT_TRUE(sink.pieces.empty()) << query;
    EXPECT_EQ(asked.status, whole.status) << query;
    EXPECT_TRUE(asked.text == whole.text) << query;
    return whole;
  };
  // Small: the accessor never fills a piece.
  const Answer few = madeWhole(Get("big", "<condition>id &lt;= 50</condition>"));
  EXPECT_EQ(few.status, S_OK);
  EXPECT_TRUE(few.text.starts_with("<root><response><table")) << few.text.substr(0, 200);
  // The rest are answers of several pieces that would stream but for what
  // is asked of them. A chain of transformers reads the whole answer.
  const Answer chained = madeWhole(Get("mid", "<transform>csv, xhtml</transform>"));
  EXPECT_EQ(chained.status, S_OK);
  // The second reads the first one's output: no table of records.
  EXPECT_NE(chained.text.find("<caption/><tr/><tr/>"), std::string::npos) << chained.text.substr(0, 200);
  // Two statements.
  const std::string statement = "<statement><provider>MSDASQL.1</provider><dsn>big</dsn><sql><select/><from>mid"
                                "</from></sql></statement>";
  EXPECT_EQ(madeWhole("<sqlquery>" + statement + statement + "</sqlquery>").status, S_OK);

  // A unify rule of the source renames what it answers.
  instance_.Write("unifier/big.xml",
                  "<unifyrule><Provider>MSDASQL.1</Provider><Dsn>big</Dsn><Catalog>" + catalog_ +
                      "</Catalog><unify>full outer join</unify><table name=\"mid\"><pattern><lid>label</lid><rid>t"
                      "</rid></pattern></table></unifyrule>");
  settings_.UnifierDocument.reset();
  settings_.UnifyTable.reset();
  const Answer unified = madeWhole("<sqlquery>" + statement + "</sqlquery>");
  EXPECT_EQ(unified.status, S_OK);
  EXPECT_NE(unified.text.find("<column name=\"label\""), std::string::npos) << unified.text.substr(0, 400);
  // A client's query of one catalog stands as it is, rule or not.
  Pieces asItStands;
  EXPECT_EQ(Run(Get("mid"), &asItStands).status, S_OK);
  EXPECT_FALSE(asItStands.pieces.empty());
}

TEST_P(QueryStreamTest, AFailureAfterRowsWentOutFailsTheCall) {
  // The client goes: the rows stop there.
  Pieces gone;
  gone.failAt = 3;
  EXPECT_EQ(Run(Get("big"), &gone).status, kClientGone);
  EXPECT_EQ(gone.writes, 3);
  EXPECT_EQ(gone.pieces.size(), 2u);

  // A value the answer cannot carry, far into the rows: whole, the answer
  // does not load; streamed, the same status after the rows before it.
  const Answer whole = Run(Get("odd"));
  EXPECT_EQ(whole.status, QS_E_XML_LOAD_FAILED);
  Pieces odd;
  const Answer cut = Run(Get("odd"), &odd);
  EXPECT_EQ(cut.status, QS_E_XML_LOAD_FAILED);
  EXPECT_EQ(cut.text, "(null)");
  ASSERT_FALSE(odd.pieces.empty());
  const std::string sent = odd.Joined();
  // The piece that holds the odd row is not sent: a piece is some hundreds
  // of rows.
  EXPECT_NE(sent.find(">14000 &lt;&amp;"), std::string::npos) << "rows before the odd one went out";
  EXPECT_EQ(sent.find(">15000"), std::string::npos);
  EXPECT_FALSE(sent.ends_with("</root>"));

  // The database fails a fetch far into the rows (PostgreSQL reads through a
  // cursor, the SQLite driver a WAL's rows one by one; outside a WAL it
  // reads every row when the statement runs, and fails before any).
  const std::string failing =
      Postgres() ? Get("failing")
                 : Get("big", "<condition>abs(CASE WHEN id = " + std::to_string(kBrokenRow) +
                                  " THEN -9223372036854775808 ELSE id END) &gt; 0</condition>");
  const Answer failed = Run(failing);
  EXPECT_TRUE(FAILED(failed.status));
  Pieces rows;
  const Answer broken = Run(failing, &rows);
  EXPECT_EQ(broken.status, failed.status);
  EXPECT_EQ(broken.text, "(null)");
  if (!Postgres() && !Wal()) {
    EXPECT_TRUE(rows.pieces.empty());
    return;
  }
  ASSERT_FALSE(rows.pieces.empty()) << "the failure came before any row";
  EXPECT_FALSE(rows.Joined().ends_with("</root>"));
}

INSTANTIATE_TEST_SUITE_P(Engines, QueryStreamTest,
                         ::testing::Values(Engine{"sqlite"}, Engine{"sqlite-wal"}, Engine{"postgresql"}),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

}  // namespace
}  // namespace quor::core
