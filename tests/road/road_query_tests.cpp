// Query answers end to end over SQLite sources: a unify of three sources
// gives each column once, values reach the answer byte for byte through
// the CSV transformer, a large answer stays as it was recorded, and a unify
// the call's memory cannot hold is refused while other calls run on.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "testing/OutsideSql.h"
#include "testing/ServerInstance.h"

namespace quor::admin::testing {
namespace {

class QueryAnswerRoad : public RoadTest {
 protected:
  // A SQLite source `dsn` made with `sql`, and its config file.
  // `wal`: the database in WAL mode, whose rows the driver steps through.
  void AddSource(const std::string& dsn, const std::string& sql, bool wal = false) {
    const std::string file = (data_.Path() / (dsn + ".db")).string();
    ASSERT_EQ(oledb::testing::Capture("sqlite3 -batch '" + file + "' \"" + (wal ? "PRAGMA journal_mode=WAL; " : "") +
                                      sql + "\" 2>&1"),
              wal ? "wal" : "")
        << dsn;
    options_.homeFiles.push_back(
        {"config/" + dsn + ".xml", "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>" + dsn +
                                       "</DataSource><InitialCatalog>main</InitialCatalog><ExtendedProperties>"
                                       "DRIVER={SQLite3};Database=" + CVeltService::EscapeXml(file) +
                                       "</ExtendedProperties></OLEDBSetting>"});
  }
  static std::string Target(const std::string& dsn) {
    return "<target><provider>MSDASQL.1</provider><dsn>" + dsn +
           "</dsn><catalog>main</catalog><table>staff</table></target>";
  }
  CallOutcome Query(const std::string& document) { return Call(*client_, "Query", {{"sqlstmt", document}}); }
  void StartServer() {
    QUOR_START_INSTANCE(options_);
    client_ = instance_->SignIn("administrator", "pw");
    ASSERT_TRUE(client_);
  }

  st::TempDir data_;
  InstanceOptions options_;
  std::unique_ptr<CVeltService> client_;
};

TEST_F(QueryAnswerRoad, AUnifyOfThreeSourcesGivesEachColumnOnce) {
  AddSource("sales", "CREATE TABLE staff (id INTEGER PRIMARY KEY, name TEXT);"
                     "INSERT INTO staff VALUES (1, 'Ann'); INSERT INTO staff VALUES (2, 'Bob');");
  AddSource("hr", "CREATE TABLE staff (id INTEGER PRIMARY KEY, dept TEXT);"
                  "INSERT INTO staff VALUES (1, 'x'); INSERT INTO staff VALUES (3, 'z');");
  AddSource("site", "CREATE TABLE staff (id INTEGER PRIMARY KEY, city TEXT);"
                    "INSERT INTO staff VALUES (2, 'Oslo'); INSERT INTO staff VALUES (3, 'Rome');");
  // sales' "name" is "person" in the unified answer; the three tables join
  // on their key.
  options_.homeFiles.push_back(
      {"unifier/staff.xml",
       "<unifyrule><Provider>MSDASQL.1</Provider><Dsn>sales</Dsn><Catalog>main</Catalog><unify>full outer join"
       "</unify><table name=\"staff\"><pattern><lid>person</lid><rid>name</rid></pattern></table><destination>"
       "<Provider>MSDASQL.1</Provider><Dsn>hr</Dsn><Catalog>main</Catalog><table name=\"staff\"><pattern><lid>"
       "person</lid><rid>name</rid></pattern></table></destination></unifyrule>"});
  ASSERT_NO_FATAL_FAILURE(StartServer());
  if (!client_) return;

  const CallOutcome unified = Query("<query><get><content>record</content>" + Target("sales") + Target("hr") +
                                    Target("site") + "</get></query>");
  ASSERT_TRUE(unified.ok) << unified.fault;
  // Three records, each with the four columns once: every id once, with
  // what each source holds for it.
  const auto columns = PickedTexts(unified.decoded, [](const xml::Node& node) { return node.nodeName() == "column"; });
  EXPECT_EQ(columns.size(), 12u) << unified.decoded;
  using Texts = std::vector<std::string>;
  EXPECT_EQ(ColumnTexts(unified.decoded, "id"), (Texts{"1", "2", "3"})) << unified.decoded;
  EXPECT_EQ(ColumnTexts(unified.decoded, "person"), (Texts{"Ann", "Bob", ""})) << unified.decoded;
  EXPECT_EQ(ColumnTexts(unified.decoded, "dept"), (Texts{"x", "", "z"})) << unified.decoded;
  EXPECT_EQ(ColumnTexts(unified.decoded, "city"), (Texts{"", "Oslo", "Rome"})) << unified.decoded;
}

TEST_F(QueryAnswerRoad, LineEndsInValuesPassTheCsvTransformerUnchanged) {
  AddSource("sales", "CREATE TABLE staff (id INTEGER PRIMARY KEY, note TEXT);"
                     "INSERT INTO staff VALUES (1, 'a' || char(13) || 'b');"
                     "INSERT INTO staff VALUES (2, 'c' || char(13, 10) || 'd');"
                     "INSERT INTO staff VALUES (3, 'e' || char(10) || 'f' || char(13));");
  options_.homeFiles.push_back(
      {"transform/csv.xml", "<QuorTransform><transform><ProgID>FlatConvert.TransCSV</ProgID></transform>"
                            "</QuorTransform>"});
  ASSERT_NO_FATAL_FAILURE(StartServer());
  if (!client_) return;

  // Without a transformer the values come as they are stored.
  const CallOutcome plain = Query("<query><get><content>record</content>" + Target("sales") + "</get></query>");
  ASSERT_TRUE(plain.ok) << plain.fault;
  const std::vector<std::string> notes{"a\rb", "c\r\nd", "e\nf\r"};
  EXPECT_EQ(ColumnTexts(plain.decoded, "note"), notes);

  const CallOutcome csv = Query("<query><get><content>record</content>" + Target("sales") +
                                "<transform>trans:0</transform></get></query>");
  ASSERT_TRUE(csv.ok) << csv.fault;
  const std::vector<std::string> texts =
      PickedTexts(csv.decoded, [](const xml::Node& node) { return node.nodeName() == "csv"; });
  ASSERT_EQ(texts.size(), 1u) << csv.decoded;
  EXPECT_EQ(texts[0], "id,note\n1,\"" + notes[0] + "\"\n2,\"" + notes[1] + "\"\n3,\"" + notes[2] + "\"\n");
}

// FNV-1a, 64 bits: enough to tell a changed answer.
std::string Fingerprint(std::string_view text) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  char out[17];
  std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(hash));
  return out;
}

TEST_F(QueryAnswerRoad, LargeAnswersStayAsRecorded) {
  // Values the writer escapes, characters outside ASCII, NULL and empty
  // texts; a value of blanks alone is dropped by the parser.
  AddSource("big", "CREATE TABLE staff (id INTEGER PRIMARY KEY, name TEXT, amount REAL, note TEXT);"
                   "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 10000)"
                   " INSERT INTO staff SELECT x, 'name ' || x, x * 0.25, CASE WHEN x % 7 = 0 THEN NULL"
                   " WHEN x % 11 = 0 THEN '' ELSE 'a&b<' || x || '>' || char(34) || 'q' || char(39) ||"
                   " ' \u00e9\u65e5' || char(13) || char(9) END FROM n;");
  AddSource("blank", "CREATE TABLE staff (id INTEGER PRIMARY KEY, note TEXT);"
                     "INSERT INTO staff VALUES (1, '  '); INSERT INTO staff VALUES (2, ' x ');");
  ASSERT_NO_FATAL_FAILURE(StartServer());
  if (!client_) return;

  // Recorded from the engine that parsed every answer and wrote it again.
  const CallOutcome big = Query("<query><get><content>record</content>" + Target("big") + "</get></query>");
  ASSERT_TRUE(big.ok) << big.fault;
  const std::string firstRecord =
      "<root><response><table name=\"staff\"><record><column name=\"id\" type=\"DBTYPE_I4\">1</column><column "
      "name=\"name\" type=\"DBTYPE_STR\">name 1</column><column name=\"amount\" type=\"DBTYPE_R8\">0.25</column>"
      "<column name=\"note\" type=\"DBTYPE_STR\">a&amp;b&lt;1&gt;\"q' \u00e9\u65e5&#xD;\t</column></record>";
  EXPECT_EQ(big.decoded.substr(0, firstRecord.size()), firstRecord);
  EXPECT_EQ(big.decoded.size(), 2459814u);
  EXPECT_EQ(Fingerprint(big.decoded), "cdfbb3d5deb02635");

  const CallOutcome blank = Query("<query><get><content>record</content>" + Target("blank") + "</get></query>");
  ASSERT_TRUE(blank.ok) << blank.fault;
  EXPECT_EQ(blank.decoded,
            "<root><response><table name=\"staff\"><record><column name=\"id\" type=\"DBTYPE_I4\">1</column><column "
            "name=\"note\" type=\"DBTYPE_STR\"/></record><record><column name=\"id\" type=\"DBTYPE_I4\">2</column>"
            "<column name=\"note\" type=\"DBTYPE_STR\"> x </column></record></table></response></root>");
}

TEST_F(QueryAnswerRoad, AUnifyOverTheCallsMemoryIsRefusedWhileOtherCallsRunOn) {
  // Two sources of 100000 rows (some 11 MB held of each) with half their
  // keys shared, joined on the key. In WAL mode the driver steps through
  // the rows: what the call holds is what it unifies.
  const std::string rows = "CREATE TABLE staff (id INTEGER PRIMARY KEY, name TEXT); WITH RECURSIVE n(x) AS "
                           "(SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 100000) INSERT INTO staff SELECT ";
  AddSource("sales", rows + "x, printf('%0100d', x) FROM n;", true);
  AddSource("hr", rows + "x + 50000, printf('%0100d', x) FROM n;", true);
  options_.homeFiles.push_back(
      {"unifier/staff.xml",
       "<unifyrule><Provider>MSDASQL.1</Provider><Dsn>sales</Dsn><Catalog>main</Catalog><unify>full outer join"
       "</unify><table name=\"staff\"><pattern><lid>person</lid><rid>name</rid></pattern></table></unifyrule>"});
  options_.serviceDwords = {{"AnswerMemoryMB", 16}};
  ASSERT_NO_FATAL_FAILURE(StartServer());
  if (!client_) return;
  std::unique_ptr<CVeltService> other = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(other);
  const auto unify = [&](const std::string& condition) {
    // A condition belongs to the target before it.
    const std::string where = "<condition>" + condition + "</condition>";
    return Query("<query><get><content>record</content>" + Target("sales") + where + Target("hr") + where +
                 "</get></query>");
  };

  std::atomic<bool> done{false};
  std::atomic<int> smallCalls{0}, smallFailures{0};
  std::thread beside([&] {
    while (!done) {
      if (!Call(*other, "GetLogCount").ok) ++smallFailures;
      ++smallCalls;
    }
  });
  for (int round = 0; round < 2; ++round) {
    const CallOutcome refused = unify("id > 0");
    EXPECT_EQ(refused.status, E_OUTOFMEMORY) << refused.fault;
    EXPECT_NE(refused.fault.find("AnswerMemoryMB"), std::string::npos) << refused.fault;
    EXPECT_NE(refused.fault.find("the answers it unifies"), std::string::npos) << refused.fault;
  }
  done = true;
  beside.join();
  EXPECT_GT(smallCalls.load(), 0);
  EXPECT_EQ(smallFailures.load(), 0);

  // A unify the call can hold is answered in full afterwards.
  const CallOutcome few = unify("id BETWEEN 49990 AND 50010");
  ASSERT_TRUE(few.ok) << few.fault;
  const std::vector<std::string> ids = ColumnTexts(few.decoded, "id");
  ASSERT_EQ(ids.size(), 21u) << few.decoded.substr(0, 400);
  EXPECT_EQ(ids.front(), "49990");
  EXPECT_EQ(ids.back(), "50010");
  EXPECT_NE(instance_->Events().find("the answers it unifies"), std::string::npos) << instance_->Events();
}

}  // namespace
}  // namespace quor::admin::testing
