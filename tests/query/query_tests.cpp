// The Query operation end to end: the console's client over real HTTP, the
// real server with the real accessor and transformers registered, and two
// SQLite databases (or SQLite beside the PostgreSQL of the test run) as the
// configured data sources. What lands is checked from outside.
#include <memory>

#include "testing/OutsideSql.h"
#include "testing/ServerInstance.h"
#include "platform/text/text.h"

namespace quor::admin::testing {
namespace {

constexpr HRESULT kTransactionFailed = static_cast<HRESULT>(0x82000005u);
constexpr HRESULT kXmlLoadFailed = static_cast<HRESULT>(0x81000085u);

using oledb::testing::Capture;

std::string PgItem(std::string_view key) { return oledb::testing::OdbcItem(Env("QUOR_TEST_PG"), key); }

// One configured data source for the queries, and how to look into it from
// outside.
struct Source {
  std::string dsn;       // its data source name in the configuration
  std::string catalog;   // its initial catalog (SQLite) or schema (PostgreSQL)
  std::string file;      // the SQLite file; empty for PostgreSQL
  bool postgres = false;

  std::string Sql(const std::string& sql) const {
    if (!postgres) return Capture("sqlite3 -batch '" + file + "' \"" + sql + "\" 2>&1");
    return Capture(oledb::testing::PsqlCommand(Env("QUOR_TEST_PG")) + " -c \"SET search_path TO " + catalog + "; " +
                   sql + "\" 2>&1");
  }
  std::string Setting() const {
    std::string s = "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>" + dsn + "</DataSource>";
    if (!postgres) {
      s += "<InitialCatalog>" + catalog + "</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};Database=" +
           CVeltService::EscapeXml(file) + "</ExtendedProperties>";
    } else {
      const std::string rest = "DRIVER=" + PgItem("DRIVER") + ";Server=" + PgItem("Server") + ";Port=" +
                               PgItem("Port") + ";Database=" + PgItem("Database") +
                               ";ConnSettings=SET search_path TO " + catalog;
      s += "<InitialCatalog>" + catalog + "</InitialCatalog><ExtendedProperties>" + CVeltService::EscapeXml(rest) +
           "</ExtendedProperties><UserName>" + PgItem("UID") + "</UserName><Password>" + PgItem("PWD") +
           "</Password>";
    }
    return s + "</OLEDBSetting>";
  }
  std::string Target(const std::string& table) const {
    return "<target><provider>MSDASQL.1</provider><dsn>" + dsn + "</dsn><catalog>" + catalog + "</catalog><table>" +
           table + "</table></target>";
  }
};

class QueryRoad : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    const fs::path dir = fs::temp_directory_path() / ("quor-query-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    dir_ = dir;
    sales_ = {"sales", "main", (dir / "sales.db").string(), false};
    const bool postgres = GetParam();
    if (postgres) {
      if (Env("QUOR_TEST_PG").empty()) {
        if (Env("CI").size()) FAIL() << "QUOR_TEST_PG is not set: the test command must start PostgreSQL";
        GTEST_SKIP() << "QUOR_TEST_PG not set";
      }
      hr_ = {"hr", "qr_" + std::to_string(::getpid()), "", true};
      hr_.Sql("DROP SCHEMA IF EXISTS " + hr_.catalog + " CASCADE; CREATE SCHEMA " + hr_.catalog);
    } else {
      hr_ = {"hr", "main", (dir / "hr.db").string(), false};
    }
    for (const Source* s : {&sales_, &hr_}) {
      s->Sql("CREATE TABLE staff (id INTEGER PRIMARY KEY, name TEXT NOT NULL, dept TEXT);"
             "INSERT INTO staff VALUES (1, 'Ann', 'x');");
    }
  }
  void TearDown() override {
    instance_.reset();
    if (hr_.postgres) hr_.Sql("RESET search_path; DROP SCHEMA IF EXISTS " + hr_.catalog + " CASCADE");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void StartWith(std::vector<std::pair<std::string, std::string>> files = {}) {
    InstanceOptions options;
    files.push_back({"config/sales.xml", sales_.Setting()});
    files.push_back({"config/hr.xml", hr_.Setting()});
    options.homeFiles = std::move(files);
    instance_ = std::make_unique<ServerInstance>();
    instance_->Start(options);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    client_ = instance_->SignIn("administrator", "pw");
    ASSERT_TRUE(client_);
  }

  CallOutcome Query(const std::string& document) { return Call(*client_, "Query", {{"sqlstmt", document}}); }

  static std::string Insert(const Source& s, int id, const std::string& name) {
    return "<insert>" + s.Target("staff") + "<value>" + std::to_string(id) + ", '" + name + "', 'y'</value></insert>";
  }

  fs::path dir_;
  Source sales_, hr_;
  std::unique_ptr<ServerInstance> instance_;
  std::unique_ptr<CVeltService> client_;
};

TEST_P(QueryRoad, WritesAcrossTwoSourcesCommitTogetherOrNotAtAll) {
  ASSERT_NO_FATAL_FAILURE(StartWith());
  const CallOutcome both = Query("<query>" + Insert(sales_, 2, "Bob") + Insert(hr_, 2, "Cy") + "</query>");
  ASSERT_TRUE(both.ok) << both.fault;
  EXPECT_EQ(both.decoded, "<root><response><resultCode>0</resultCode></response>"
                          "<response><resultCode>0</resultCode></response></root>");
  EXPECT_EQ(sales_.Sql("SELECT name FROM staff WHERE id = 2"), "Bob");
  EXPECT_EQ(hr_.Sql("SELECT name FROM staff WHERE id = 2"), "Cy");

  // The second statement breaks a key: the first one is undone too.
  const CallOutcome broken = Query("<query>" + Insert(sales_, 3, "Dee") + Insert(hr_, 2, "again") + "</query>");
  EXPECT_FALSE(broken.ok);
  EXPECT_EQ(broken.status, kTransactionFailed) << broken.fault;
  EXPECT_EQ(sales_.Sql("SELECT COUNT(*) FROM staff"), "2");
  EXPECT_EQ(hr_.Sql("SELECT COUNT(*) FROM staff"), "2");

  // An update and a delete the same way.
  const CallOutcome update = Query("<query><update>" + sales_.Target("staff") +
                                   "<set>dept = 'z'</set><condition>id = 1</condition></update><delete>" +
                                   hr_.Target("staff") + "<condition>id = 2</condition></delete></query>");
  ASSERT_TRUE(update.ok) << update.fault;
  EXPECT_EQ(sales_.Sql("SELECT dept FROM staff WHERE id = 1"), "z");
  EXPECT_EQ(hr_.Sql("SELECT COUNT(*) FROM staff"), "1");
}

TEST_P(QueryRoad, BadDocumentsAnswerTheirStatusAndChangeNothing) {
  ASSERT_NO_FATAL_FAILURE(StartWith());
  EXPECT_EQ(Query("<query><insert>").status, kXmlLoadFailed);
  EXPECT_EQ(Query("not xml at all").status, kXmlLoadFailed);
  const CallOutcome unknown = Query("<query><frobnicate/></query>");
  EXPECT_FALSE(unknown.ok);
  EXPECT_LT(unknown.status, 0) << unknown.fault;
  // A write naming no configured source is refused before anything runs.
  const CallOutcome nowhere =
      Query("<query>" + Insert(sales_, 9, "Eve") +
            "<insert><target><provider>MSDASQL.1</provider><dsn>nowhere</dsn><catalog>main</catalog>"
            "<table>staff</table></target><value>9, 'x', 'y'</value></insert></query>");
  EXPECT_EQ(nowhere.status, static_cast<HRESULT>(0x82000029u)) << nowhere.fault;
  EXPECT_EQ(sales_.Sql("SELECT COUNT(*) FROM staff"), "1");
  EXPECT_TRUE(instance_->Running());
}


std::string Get(const Source& s, const std::string& table, const std::string& more = "") {
  return "<get><content>record</content>" + s.Target(table) + more + "</get>";
}

TEST_P(QueryRoad, GetsReadOneOrSeveralSources) {
  ASSERT_NO_FATAL_FAILURE(StartWith());
  hr_.Sql("INSERT INTO staff VALUES (5, 'Hal', 'h')");
  ASSERT_TRUE(client_->Query("get", "record", "MSDASQL.1", "sales", sales_.catalog, "staff", "id = 1", ""))
      << client_->FormatFault();
  const std::string one = client_->DecodedResult();
  EXPECT_TRUE(one.starts_with("<root><response>")) << one;
  EXPECT_EQ(ColumnTexts(one, "name"), std::vector<std::string>{"Ann"}) << one;

  // Two targets with "nounify": both sources' rows, first source first.
  const CallOutcome both = Query("<query><get><content>record</content>" + sales_.Target("staff") +
                                 hr_.Target("staff") + "<nounify/></get></query>");
  ASSERT_TRUE(both.ok) << both.fault;
  EXPECT_EQ(ColumnTexts(both.decoded, "name"), (std::vector<std::string>{"Ann", "Ann", "Hal"})) << both.decoded;

  // A statement per source in one query: one answer each, in order.
  const CallOutcome two = Query("<query>" + Get(sales_, "staff") + Get(hr_, "staff") + "</query>");
  ASSERT_TRUE(two.ok) << two.fault;
  EXPECT_EQ(ColumnTexts(two.decoded, "name"), (std::vector<std::string>{"Ann", "Ann", "Hal"})) << two.decoded;

  // A table that is not there: the accessor's status.
  const CallOutcome missing = Query("<query>" + Get(sales_, "absent") + "</query>");
  EXPECT_EQ(missing.status, static_cast<HRESULT>(0x80040E37u)) << missing.fault;
}

TEST_P(QueryRoad, UnifyRuleJoinsTheSourcesOnTheirKey) {
  // sales.staff's "name" and hr.staff's "name" are both "person"; the rule
  // joins the two tables on their key.
  const std::string rule =
      "<unifyrule><Provider>MSDASQL.1</Provider><Dsn>sales</Dsn><Catalog>" + sales_.catalog +
      "</Catalog><unify>full outer join</unify><table name=\"staff\"><pattern><lid>person</lid><rid>name</rid>"
      "</pattern></table><destination><Provider>MSDASQL.1</Provider><Dsn>hr</Dsn><Catalog>" + hr_.catalog +
      "</Catalog><table name=\"staff\"><pattern><lid>person</lid><rid>name</rid></pattern></table></destination>"
      "</unifyrule>";
  ASSERT_NO_FATAL_FAILURE(StartWith({{"unifier/staff.xml", rule}}));
  hr_.Sql("INSERT INTO staff VALUES (5, 'Hal', 'h')");
  const CallOutcome unified = Query("<query><get><content>record</content>" + sales_.Target("staff") +
                                    hr_.Target("staff") + "</get></query>");
  ASSERT_TRUE(unified.ok) << unified.fault;
  // One joined table, matched on the shared key: the first source's columns
  // renamed by the rule's destination, id 1 once with both sides, id 5 from
  // the second source alone (a full outer join: the rule names no other).
  const xml::DocumentPtr doc = xml::Document::Create();
  ASSERT_TRUE(doc->loadXML(unified.decoded)) << unified.decoded;
  const xml::NodePtr response = doc->documentElement()->firstChild();
  ASSERT_TRUE(response);
  ASSERT_EQ(response->childNodes().size(), 1u) << unified.decoded;
  EXPECT_EQ(response->firstChild()->getAttribute("name"), std::string("staff & staff"));
  EXPECT_EQ(ColumnTexts(unified.decoded, "id"), (std::vector<std::string>{"1", "5"})) << unified.decoded;
  EXPECT_EQ(ColumnTexts(unified.decoded, "person"), (std::vector<std::string>{"Ann", ""})) << unified.decoded;
  EXPECT_EQ(ColumnTexts(unified.decoded, "name"), (std::vector<std::string>{"Ann", "Hal"})) << unified.decoded;

  // With "nounify" the rule is not applied: both tables side by side.
  const CallOutcome apart = Query("<query><get><content>record</content>" + sales_.Target("staff") +
                                  hr_.Target("staff") + "<nounify/></get></query>");
  ASSERT_TRUE(apart.ok) << apart.fault;
  EXPECT_EQ(ColumnTexts(apart.decoded, "person"), std::vector<std::string>{}) << apart.decoded;
  EXPECT_EQ(ColumnTexts(apart.decoded, "name"), (std::vector<std::string>{"Ann", "Ann", "Hal"})) << apart.decoded;
}

TEST_P(QueryRoad, TransformersConvertAStatementsResult) {
  ASSERT_NO_FATAL_FAILURE(StartWith(
      {{"transform/csv.xml", "<QuorTransform><transform><ProgID>FlatConvert.TransCSV</ProgID></transform></QuorTransform>"},
       {"transform/xhtml.xml",
        "<QuorTransform><transform><ProgID>GridPage.TransXHTML</ProgID><Rule>r</Rule></transform></QuorTransform>"}}));
  // The first file's entry is "trans:0".
  const CallOutcome csv = Query("<query>" + Get(sales_, "staff", "<transform>trans:0</transform>") + "</query>");
  ASSERT_TRUE(csv.ok) << csv.fault;
  EXPECT_TRUE(csv.decoded.starts_with("<root>")) << csv.decoded;
  EXPECT_NE(csv.decoded.find("<csv><![CDATA[id,name,dept"), std::string::npos) << csv.decoded;
  const CallOutcome page =
      Query("<query>" + Get(sales_, "staff", "<transform>GridPage.TransXHTML rule</transform>") + "</query>");
  ASSERT_TRUE(page.ok) << page.fault;
  EXPECT_NE(page.decoded.find("Ann"), std::string::npos) << page.decoded;
  EXPECT_NE(page.decoded.find("<table"), std::string::npos) << page.decoded;
  const CallOutcome nobody = Query("<query>" + Get(sales_, "staff", "<transform>nobody</transform>") + "</query>");
  EXPECT_EQ(nobody.status, static_cast<HRESULT>(0x81000011u)) << nobody.fault;

  // Two transform elements are one item: the first names the transformer,
  // the second is its rule (which the CSV converter does not use).
  const CallOutcome ruled = Query(
      "<query>" + Get(sales_, "staff", "<transform>trans:0</transform><transform>GridPage.TransXHTML</transform>") +
      "</query>");
  ASSERT_TRUE(ruled.ok) << ruled.fault;
  EXPECT_EQ(ruled.decoded, csv.decoded);
  // A comma inside one element chains: the page is made of the CSV answer.
  const CallOutcome chained =
      Query("<query>" + Get(sales_, "staff", "<transform>trans:0,GridPage.TransXHTML</transform>") + "</query>");
  ASSERT_TRUE(chained.ok) << chained.fault;
  EXPECT_NE(chained.decoded, csv.decoded);
  EXPECT_NE(chained.decoded.find("<table"), std::string::npos) << chained.decoded;
}

// A PostgreSQL database in EUC-JP read through the ANSI driver with EUC-JP as
// the client encoding: without an Encoding setting the bytes are read with the
// narrow code page, with "EUC_JP" as Japanese text.
TEST_P(QueryRoad, LegacyEncodedTextIsReadByTheSourcesEncoding) {
  if (!hr_.postgres) GTEST_SKIP() << "a PostgreSQL database of its own";
  const std::string database = "quor_eucjp_" + std::to_string(::getpid());
  const std::string superuser = "PGPASSWORD=postgres psql -X -q -t -A -v ON_ERROR_STOP=1 -h '" + PgItem("Server") +
                                "' -p '" + PgItem("Port") + "' -U postgres";
  const std::string drop = superuser + " -d postgres -c 'DROP DATABASE IF EXISTS " + database + " WITH (FORCE)' 2>&1";
  Capture(drop);
  ASSERT_EQ(Capture(superuser + " -d postgres -c \"CREATE DATABASE " + database +
                    " ENCODING 'EUC_JP' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0\" 2>&1"),
            "");
  const std::unique_ptr<const std::string, void (*)(const std::string*)> dropped(
      &drop, [](const std::string* command) { Capture(*command); });
  const std::string japanese = "\xE6\x97\xA5\xE6\x9C\xAC";  // in UTF-8; C6 FC CB DC in EUC-JP
  ASSERT_EQ(Capture("PGCLIENTENCODING=UTF8 " + superuser + " -d " + database +
                    " -c \"CREATE TABLE staff (id INTEGER PRIMARY KEY, name TEXT);"
                    "INSERT INTO staff VALUES (1, 'Ann'), (2, '" + japanese + "');"
                    "GRANT SELECT ON staff TO " + PgItem("UID") + "\" 2>&1"),
            "");
  const auto setting = [&](const std::string& dsn, const std::string& encoding) {
    const std::string rest = "DRIVER={PostgreSQL ANSI};Server=" + PgItem("Server") + ";Port=" + PgItem("Port") +
                             ";Database=" + database + ";ConnSettings={SET client_encoding TO 'EUC_JP'}";
    return "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>" + dsn + "</DataSource>" +
           (encoding.empty() ? "" : "<Encoding>" + encoding + "</Encoding>") +
           "<InitialCatalog>public</InitialCatalog><ExtendedProperties>" + CVeltService::EscapeXml(rest) +
           "</ExtendedProperties><UserName>" + PgItem("UID") + "</UserName><Password>" + PgItem("PWD") +
           "</Password></OLEDBSetting>";
  };
  ASSERT_NO_FATAL_FAILURE(
      StartWith({{"config/legacy.xml", setting("legacy", "")}, {"config/japanese.xml", setting("japanese", "EUC_JP")}}));
  const auto names = [&](const std::string& dsn) {
    const CallOutcome read = Query("<query><get><content>record</content><target><provider>MSDASQL.1</provider><dsn>" +
                                   dsn + "</dsn><catalog>public</catalog><table>staff</table></target>"
                                   "<order>id</order></get></query>");
    EXPECT_TRUE(read.ok) << dsn << ": " << read.fault;
    return ColumnTexts(read.decoded, "name");
  };
  // The narrow code page is UTF-8 here: the EUC-JP bytes are no UTF-8 text.
  EXPECT_EQ(names("legacy"),
            (std::vector<std::string>{"Ann", text::Narrow(text::Widen("\xC6\xFC\xCB\xDC"))}));
  EXPECT_EQ(names("japanese"), (std::vector<std::string>{"Ann", japanese}));
}

TEST_P(QueryRoad, ListingsAnswerWhatTheConsoleParses) {
  ASSERT_NO_FATAL_FAILURE(StartWith(
      {{"transform/csv.xml", "<QuorTransform><transform><ProgID>FlatConvert.TransCSV</ProgID></transform></QuorTransform>"}}));
  std::string list;
  EXPECT_EQ(client_->ListNames("get", "column", "", "", "", "", list), 1) << client_->FormatFault();
  EXPECT_EQ(list, "MSDASQL.1");
  EXPECT_EQ(client_->ListNames("get", "column", "MSDASQL.1", "", "", "", list), 2) << client_->FormatFault();
  EXPECT_EQ(list, "hr,sales");  // in configuration (folder) order
  EXPECT_EQ(client_->ListNames("get", "column", "MSDASQL.1", "hr", "", "", list), 1) << client_->FormatFault();
  EXPECT_EQ(list, hr_.catalog);
  EXPECT_GE(client_->ListNames("get", "table", "MSDASQL.1", "sales", sales_.catalog, "", list), 1)
      << client_->FormatFault();
  EXPECT_NE(list.find("staff"), std::string::npos) << list;
  const CallOutcome transformers =
      Query("<query><get><content>transform</content>" + sales_.Target("") + "</get></query>");
  ASSERT_TRUE(transformers.ok) << transformers.fault;
  EXPECT_NE(transformers.decoded.find("FlatConvert.TransCSV"), std::string::npos) << transformers.decoded;
}

TEST_P(QueryRoad, ReloadedUnifyRulesChangeTheNextAnswer) {
  ASSERT_NO_FATAL_FAILURE(StartWith());
  hr_.Sql("INSERT INTO staff VALUES (5, 'Hal', 'h')");
  const std::string query =
      "<query><get><content>record</content>" + sales_.Target("staff") + hr_.Target("staff") + "</get></query>";
  // Without a rule the two tables are joined in full: id 5 is there.
  const CallOutcome before = Query(query);
  ASSERT_TRUE(before.ok) << before.fault;
  EXPECT_EQ(ColumnTexts(before.decoded, "id"), (std::vector<std::string>{"1", "5"})) << before.decoded;

  // A rule that joins the first source's table to the second's with a left
  // inner join: only ids both have are left.
  std::ofstream(instance_->Home() / "unifier" / "staff.xml")
      << "<unifyrule><Provider>MSDASQL.1</Provider><Dsn>sales</Dsn><Catalog>" << sales_.catalog
      << "</Catalog><table name=\"staff\"><pattern><lid>person</lid><rid>name</rid></pattern></table>"
      << "<destination><Provider>MSDASQL.1</Provider><Dsn>hr</Dsn><Catalog>" << hr_.catalog
      << "</Catalog><unify>left inner join</unify><table name=\"staff\"><pattern><lid>person</lid><rid>name</rid>"
      << "</pattern></table></destination></unifyrule>";
  ASSERT_TRUE(Call(*client_, "ReLoadUnifyTable").ok);
  const CallOutcome after = Query(query);
  ASSERT_TRUE(after.ok) << after.fault;
  EXPECT_EQ(ColumnTexts(after.decoded, "id"), std::vector<std::string>{"1"}) << after.decoded;
  EXPECT_EQ(ColumnTexts(after.decoded, "person"), std::vector<std::string>{"Ann"}) << after.decoded;
}

INSTANTIATE_TEST_SUITE_P(Sources, QueryRoad, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "SqliteAndPostgres" : "TwoSqlite"; });

}  // namespace
}  // namespace quor::admin::testing
