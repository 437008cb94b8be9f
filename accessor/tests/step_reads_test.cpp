// The accessor's answers from an SQLite source in a WAL, which it reads row
// by row where that answers the same, against the same source read whole
// (StepAPI=0, as the driver reads by itself): the very same text, byte for
// byte, or the same failure, for every shape of statement.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "accessor/legacy_db_accessor_impl.h"
#include "platform/text/text.h"
#include "testing/OutsideSql.h"
#include "testing/TempDir.h"

namespace quor::accessor {
namespace {

class StepReadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string made = oledb::testing::Capture(
        "sqlite3 -batch '" + file_ +
        "' \"CREATE TABLE typed (id INTEGER PRIMARY KEY, label VARCHAR(60), note TEXT, amount REAL, big BIGINT, "
        "price NUMERIC(12,3), day DATE, stamp TIMESTAMP, raw BLOB, flag BIT, code varchar(255)); "
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) INSERT INTO typed SELECT i, "
        "CASE i % 4 WHEN 0 THEN 'a<b & c>d ]]> ' || i WHEN 1 THEN 'tab' || char(9) || 'cr' || char(13) || i "
        "WHEN 2 THEN NULL ELSE '' END, CASE WHEN i % 7 = 0 THEN NULL WHEN i % 100 = 1 THEN "
        "replace(hex(zeroblob(60000)), '00', 'xy') ELSE 'caf' || char(233) || ' ' || char(128512) || ' #' || i END, "
        "CASE WHEN i % 5 = 0 THEN NULL ELSE i / 7.0 END, (i - 150) * 100000000007, round(i * 1.25, 3), "
        "date('2020-01-01', '+' || i || ' days'), datetime('2020-01-01 00:00:00', '+' || i || ' minutes'), "
        "CASE WHEN i % 3 = 0 THEN NULL ELSE CAST('b' || i AS BLOB) END, i % 2, 'c' || i FROM n; "
        "CREATE TABLE other (id INTEGER, note VARCHAR(40)); INSERT INTO other SELECT id, 'other ' || id FROM typed; "
        "CREATE TABLE untyped (a, b); INSERT INTO untyped SELECT id, label FROM typed; "
        "CREATE VIEW plain AS SELECT t.id, t.note, o.note AS other FROM typed t JOIN other o ON o.id = t.id; "
        "CREATE VIEW computed AS SELECT id, amount * 2 AS twice, upper(label) AS loud FROM typed; "
        "PRAGMA journal_mode = WAL;\" 2>&1");
    ASSERT_EQ(made, "wal");
  }

  std::string Entry(bool stepping) const {
    return "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>steps</DataSource><InitialCatalog>main"
           "</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};Database=" +
           file_ + (stepping ? "" : ";StepAPI=0") + "</ExtendedProperties></OLEDBSetting>";
  }

  struct Answer {
    HRESULT status;
    std::string text;
  };
  Answer Run(const std::string& query, const std::string& config) {
    CLegacyDBAccessorImpl worker;
    Answer answer{S_OK, {}};
    answer.status = worker.Query(text::Widen(query), text::Widen(config), answer.text).code();
    return answer;
  }

  test::TempDir dir_{"quor-accessor-steps"};
  std::string file_ = dir_.File("steps.db");
};

TEST_F(StepReadsTest, EveryShapeAnswersTheTextOfTheWholeRead) {
  const auto select = [](const std::string& sql) { return "<statement><sql>" + sql + "</sql></statement>"; };
  const std::string target = "<provider>MSDASQL.1</provider><dsn>steps</dsn><catalog>main</catalog>";
  struct Shape {
    std::string query;
    bool answers = true;  // or fails
  };
  const std::vector<Shape> shapes = {
      {select("<select/><from>typed</from>")},
      {select("<select>id AS key, label AS name, code</select><from>typed</from><order>id DESC</order>")},
      {select("<select>t.id, o.note</select><from>typed t JOIN other o ON o.id = t.id</from>")},
      {select("<select/><from>plain</from>")},
      {select("<select/><from>computed</from>")},
      {select("<select>id, amount + 1 AS more, note || '!' AS loud, count(*) AS n</select><from>typed</from>"
              "<group>id</group>")},
      {select("<select/><from>untyped</from>")},
      {select("<select/><from>typed</from><where>id &gt; 1000</where>")},
      {select("<select>id, label</select><from>typed</from><rowcount>5</rowcount>")},
      // A failure beyond the rows asked for fails the statement either way.
      {select("<select>id, label</select><from>typed</from><where>abs(CASE WHEN id = 250 THEN "
              "-9223372036854775808 ELSE id END) &gt; 0</where><rowcount>5</rowcount>"),
       false},
      {select("<select>id, label</select><from>typed</from><where>abs(CASE WHEN id = 250 THEN "
              "-9223372036854775808 ELSE id END) &gt; 0</where>"),
       false},
      // Several statements on the source.
      {"<transaction><statement>" + target + "<sql><select>id, note</select><from>typed</from></sql></statement>" +
       "<statement>" + target + "<sql><select/><from>plain</from><where>id &lt; 10</where></sql></statement>" +
       "</transaction>"},
  };
  const std::string stepping = Entry(true), whole = Entry(false);
  for (const auto& [query, answers] : shapes) {
    const bool list = query.starts_with("<transaction>");
    const Answer expected = Run(query, list ? "<config>" + whole + "</config>" : whole);
    EXPECT_EQ(expected.status == S_OK && expected.text.find("<table") != std::string::npos, answers) << query;
    const Answer got = Run(query, list ? "<config>" + stepping + "</config>" : stepping);
    EXPECT_EQ(got.status, expected.status) << query;
    EXPECT_TRUE(got.text == expected.text) << query << "\n" << got.text.substr(0, 300) << "\n"
                                           << expected.text.substr(0, 300);
  }
}

}  // namespace
}  // namespace quor::accessor
