// The accessor's answers from an SQLite file in a WAL, which it reads row by
// row where that answers the same, against the same file read whole
// (StepAPI=0, as the driver reads by itself): the same text, byte for byte,
// or the same failure. Every declared type is the golden answer's.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "accessor/legacy_db_accessor_impl.h"
#include "platform/text/text.h"
#include "testing/OutsideSql.h"
#include "testing/TempDir.h"

namespace quor::accessor {
namespace {

TEST(StepReadsTest, EveryShapeAnswersTheTextOfTheWholeRead) {
  test::TempDir dir{"quor-accessor-steps"};
  const std::string file = dir.File("steps.db");
  ASSERT_EQ(oledb::testing::Capture(
                "sqlite3 -batch '" + file +
                "' \"CREATE TABLE t (id INTEGER, label VARCHAR(60), note TEXT, amount REAL, raw BLOB);"
                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) INSERT INTO t SELECT i, "
                "CASE WHEN i % 3 THEN 'a<b & ]]> ' || i END, CASE WHEN i % 100 = 1 THEN hex(zeroblob(30000)) ELSE "
                "'caf' || char(233, 32, 128512) END, i / 7.0, CAST('b' || i AS BLOB) FROM n;"
                "CREATE TABLE u (id INTEGER, other); INSERT INTO u SELECT id, id * 2 FROM t;"
                "CREATE VIEW v AS SELECT t.id, t.label, u.other FROM t JOIN u ON u.id = t.id;"
                "PRAGMA journal_mode = WAL;\" 2>&1"),
            "wal");
  const auto entry = [&](bool stepping) {
    return "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>steps</DataSource><InitialCatalog>main"
           "</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};Database=" +
           file + (stepping ? "" : ";StepAPI=0") + "</ExtendedProperties></OLEDBSetting>";
  };
  const auto run = [](const std::string& query, const std::string& config) {
    CLegacyDBAccessorImpl worker;
    std::pair<HRESULT, std::string> answer;
    answer.first = worker.Query(text::Widen(query), text::Widen(config), answer.second).code();
    return answer;
  };
  const auto select = [](const std::string& sql) { return "<statement><sql>" + sql + "</sql></statement>"; };
  const std::string target = "<provider>MSDASQL.1</provider><dsn>steps</dsn><catalog>main</catalog>";
  const std::string failing = "<where>abs(CASE WHEN id = 250 THEN -9223372036854775808 ELSE id END) &gt; 0</where>";
  const std::pair<std::string, bool> shapes[] = {  // the query, and whether it answers
      {select("<select>id AS k, label, note, raw</select><from>t</from><order>id DESC</order>"), true},
      {select("<select>t.id, u.other</select><from>t JOIN u ON u.id = t.id</from>"), true},
      {select("<select/><from>v</from>"), true},
      {select("<select>id, amount * 2 AS twice, note || '!' AS loud</select><from>t</from>"), true},
      {select("<select/><from>t</from><where>id &gt; 1000</where>"), true},
      {select("<select>id</select><from>t</from>" + failing + "<rowcount>5</rowcount>"), false},
      {select("<select>id</select><from>t</from>" + failing), false},
      {"<transaction><statement>" + target + "<sql><select>note</select><from>t</from></sql></statement><statement>" +
           target + "<sql><select/><from>v</from><where>id &lt; 9</where></sql></statement></transaction>",
       true},
  };
  for (const auto& [query, answers] : shapes) {
    const bool list = query.starts_with("<transaction>");
    const auto expected = run(query, list ? "<config>" + entry(false) + "</config>" : entry(false));
    EXPECT_EQ(expected.first == S_OK && expected.second.find("<table") != std::string::npos, answers) << query;
    const auto got = run(query, list ? "<config>" + entry(true) + "</config>" : entry(true));
    EXPECT_EQ(got.first, expected.first) << query;
    EXPECT_TRUE(got.second == expected.second) << query << "\n" << got.second.substr(0, 300);
  }
}

}  // namespace
}  // namespace quor::accessor
