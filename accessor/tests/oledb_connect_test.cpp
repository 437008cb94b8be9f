#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "accessor/oledb_connect.h"
#include "accessor/tests/test_util.h"
#include "platform/text/text.h"

using namespace quor;
using namespace quor::accessor;
using quor::accessor::testing::Load;

namespace {

std::shared_ptr<CConfigObj> Config(const std::string& settings) {
  auto config = std::make_shared<CConfigObj>();
  const xml::DocumentPtr doc = Load("<OLEDBSetting>" + settings + "</OLEDBSetting>");
  EXPECT_EQ(config->ParseConfigDOM(doc->firstChild()).code(), S_OK) << settings;
  return config;
}

std::vector<int> Ids(const std::vector<InitProperty>& props) {
  std::vector<int> ids;
  for (const auto& p : props) ids.push_back(p.id);
  return ids;
}

const InitProperty* Find(const std::vector<InitProperty>& props, int id) {
  for (const auto& p : props)
    if (p.id == id) return &p;
  return nullptr;
}

TEST(InitProperties, OracleSendsOnlyCredentialsPersistAndDataSource) {
  const std::string rest =
      "<DataSource>orcl</DataSource><UserName>u</UserName><Password>p</Password>"
      "<InitialCatalog>c</InitialCatalog><Mode>16</Mode><ConnectTimeout>30</ConnectTimeout>"
      "<EncryptPassword>true</EncryptPassword><ExtendedProperties>x=y</ExtendedProperties>";
  const auto oracle = BuildInitProperties(*Config("<Provider>OraOLEDB.Oracle.1</Provider>" + rest));
  EXPECT_EQ(Ids(oracle), (std::vector<int>{dbprop::kAuthPassword, dbprop::kAuthUserId,
                                           dbprop::kAuthPersistSensitiveAuthInfo, dbprop::kInitDataSource}));

  // Another spelling is not Oracle: everything configured goes out, in order.
  const auto other = BuildInitProperties(*Config("<Provider>oraoledb.oracle.1</Provider>" + rest));
  EXPECT_EQ(Ids(other), (std::vector<int>{dbprop::kAuthCacheAuthInfo, dbprop::kAuthEncryptPassword,
                                          dbprop::kAuthPassword, dbprop::kAuthUserId,
                                          dbprop::kAuthPersistSensitiveAuthInfo, dbprop::kInitDataSource,
                                          dbprop::kInitMode, dbprop::kInitProviderString, dbprop::kInitTimeout,
                                          dbprop::kInitCatalog}));
  EXPECT_EQ(std::get<std::int32_t>(Find(other, dbprop::kInitTimeout)->value), 30);
  EXPECT_EQ(std::get<std::string>(Find(other, dbprop::kInitCatalog)->value), "c");
  EXPECT_FALSE(std::get<bool>(Find(other, dbprop::kAuthPersistSensitiveAuthInfo)->value));
}

TEST(InitProperties, NoPasswordIsEmptyAndNeverPrompts) {
  const auto props = BuildInitProperties(*Config("<Provider>MSDASQL</Provider><UserName>u</UserName>"));
  const InitProperty* password = Find(props, dbprop::kAuthPassword);
  ASSERT_TRUE(password);
  EXPECT_EQ(std::get<std::string>(password->value), "");
  const InitProperty* prompt = Find(props, dbprop::kInitPrompt);
  ASSERT_TRUE(prompt);
  EXPECT_EQ(std::get<std::int16_t>(prompt->value), kPromptNever);

  const auto given = BuildInitProperties(*Config("<Provider>MSDASQL</Provider><Password>p</Password>"));
  EXPECT_FALSE(Find(given, dbprop::kInitPrompt));
}

TEST(InitProperties, IntegratedSecurityReplacesCredentials) {
  const auto props = BuildInitProperties(
      *Config("<Provider>SQLOLEDB</Provider><IntegratedSecurity>SSPI</IntegratedSecurity><UserName>u</UserName>"
              "<Password>p</Password><DataSource>srv</DataSource><InitialCatalog>db</InitialCatalog>"
              "<PersistSecurityInfo>true</PersistSecurityInfo>"));
  EXPECT_EQ(Ids(props), (std::vector<int>{dbprop::kAuthIntegrated, dbprop::kInitDataSource, dbprop::kInitCatalog}));
  EXPECT_EQ(std::get<std::string>(props.front().value), "SSPI");
}

TEST(QueryObj, WithoutUsableProviderFailsWithInitStatus) {
  for (const char* settings : {"<DataSource>x</DataSource>", "<Provider>  </Provider>",
                               "<Provider>No.Such.Provider</Provider><DataSource>x</DataSource>",
                               "<Provider>MSDASQL</Provider>"}) {
    CQueryObj query;
    ASSERT_EQ(query.SetConfig(Config(settings)).code(), S_OK);
    EXPECT_EQ(query.ConnectBeforeQuery().code(), kOleDbInitFailed) << settings;
    EXPECT_FALSE(query.SessionOpen());
    EXPECT_FALSE(query.LastError().empty()) << settings;
    CSQLParser parser;
    EXPECT_NE(query.DoQuery2(parser, xml::Document::Create()).code(), S_OK);
  }
  CQueryObj unset;
  EXPECT_EQ(unset.ConnectBeforeQuery().code(), kOleDbInitFailed);
}

// ---- Live on an SQLite file and on the PostgreSQL cluster (QUOR_TEST_PG) -----

struct Engine {
  std::string name;
};
void PrintTo(const Engine& engine, std::ostream* os) { *os << engine.name; }

std::string PgOdbc() {
  const char* env = std::getenv("QUOR_TEST_PG");
  return env ? env : "";
}

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

// The PostgreSQL string without its UID and PWD, which go in the settings'
// own UserName and Password.
struct PgParts {
  std::string rest, user, password;
};
PgParts SplitPg(const std::string& odbc) {
  PgParts parts;
  size_t at = 0;
  while (at <= odbc.size()) {
    size_t end = odbc.find(';', at);
    if (end == std::string::npos) end = odbc.size();
    const std::string item = odbc.substr(at, end - at);
    const std::string key = text::ToUpperAscii(item.substr(0, item.find('=')));
    const std::string value = item.find('=') == std::string::npos ? "" : item.substr(item.find('=') + 1);
    if (key == "UID") parts.user = value;
    else if (key == "PWD") parts.password = value;
    else if (!item.empty()) parts.rest += (parts.rest.empty() ? "" : ";") + item;
    at = end + 1;
  }
  return parts;
}

class OleDbConnectTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    const std::string suffix = std::to_string(::getpid());
    table_ = "conn_t_" + suffix;
    if (IsSqlite()) {
      dbPath_ = (std::filesystem::temp_directory_path() / ("oledb_connect_" + suffix + ".db")).string();
      std::filesystem::remove(dbPath_);
      odbc_ = "DRIVER={SQLite3};Database=" + dbPath_;
      schema_ = "main";
    } else {
      if (PgOdbc().empty()) {
        if (std::getenv("CI")) FAIL() << "QUOR_TEST_PG is not set: the test command must start PostgreSQL";
        GTEST_SKIP() << "QUOR_TEST_PG not set";
      }
      odbc_ = PgOdbc();
      schema_ = "conn_s_" + suffix;
    }
    ASSERT_EQ(outsideSource_.SetProperty(oledb::DBPROP_INIT_PROVIDERSTRING, odbc_), S_OK);
    ASSERT_EQ(outsideSource_.Initialize("MSDASQL.1"), S_OK) << outsideSource_.LastError();
    ASSERT_EQ(outsideSource_.CreateSession(outside_), S_OK) << outsideSource_.LastError();
    if (!IsSqlite()) {
      Run("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
      ASSERT_EQ(Run("CREATE SCHEMA " + schema_), S_OK) << outside_->LastError();
    }
    ASSERT_EQ(Run("CREATE TABLE " + schema_ + "." + table_ + " (id INTEGER PRIMARY KEY, name VARCHAR(40))"), S_OK)
        << outside_->LastError();
    for (int i = 1; i <= 20; ++i)
      ASSERT_EQ(Run(text::Format("INSERT INTO %s.%s VALUES (%d, 'n%d')", schema_, table_, i, i)), S_OK);
  }
  void TearDown() override {
    if (outside_ && !IsSqlite()) Run("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
    outside_.reset();
    outsideSource_.Uninitialize();
    if (!dbPath_.empty()) std::filesystem::remove(dbPath_);
  }

  bool IsSqlite() const { return GetParam().name == "sqlite"; }

  // The configuration document the service core would send for this engine.
  std::string Settings(bool withSchema = true) const {
    std::string s = "<Provider>MSDASQL.1</Provider>";
    if (IsSqlite()) {
      s += "<ExtendedProperties>" + Escape(odbc_) + "</ExtendedProperties>";
    } else {
      const PgParts pg = SplitPg(odbc_);
      s += "<ExtendedProperties>" + Escape(pg.rest) + "</ExtendedProperties><UserName>" + Escape(pg.user) +
           "</UserName><Password>" + Escape(pg.password) + "</Password>";
    }
    if (withSchema) s += "<Schema>" + schema_ + "</Schema>";
    return s + "<ConnectTimeout>5</ConnectTimeout>";
  }

  HRESULT Run(const std::string& sql) {
    std::unique_ptr<oledb::Rowset> rows;
    return outside_->Execute(sql, rows);
  }
  // The rows of `sql` seen from outside, each as "id|name".
  std::vector<std::string> Rows(const std::string& sql) {
    std::unique_ptr<oledb::Rowset> rows;
    std::vector<std::string> out;
    EXPECT_EQ(outside_->Execute(sql, rows), S_OK) << outside_->LastError();
    while (rows && rows->Next() == S_OK) {
      odbc::Value id, name;
      EXPECT_EQ(rows->Get(0, id), S_OK);
      EXPECT_EQ(rows->Get(1, name), S_OK);
      out.push_back((id.kind == odbc::Value::Kind::Integer ? std::to_string(id.integer) : id.text) + "|" +
                    (name.IsNull() ? "NULL" : name.text));
    }
    return out;
  }

  // Parses `statement` ({T} standing for the qualified table name) and runs it.
  Status Query(CQueryObj& query, std::string statement, xml::DocumentPtr& result) {
    for (size_t at; (at = statement.find("{T}")) != std::string::npos;) statement.replace(at, 3, schema_ + "." + table_);
    const xml::DocumentPtr doc = Load("<statement>" + statement + "</statement>");
    CSQLParser parser;
    if (const Status parsed = parser.ParseQueryDOM(doc->firstChild()); !parsed.ok()) return parsed;
    result = xml::Document::Create();
    return query.DoQuery2(parser, result);
  }

  std::string table_, dbPath_, odbc_, schema_;
  oledb::DataSource outsideSource_;
  std::unique_ptr<oledb::Session> outside_;
};

INSTANTIATE_TEST_SUITE_P(Engines, OleDbConnectTest, ::testing::Values(Engine{"sqlite"}, Engine{"postgresql"}),
                         [](const auto& info) { return info.param.name; });

TEST_P(OleDbConnectTest, ConfiguredSourceRunsSelectsAndChanges) {
  CQueryObj query;
  ASSERT_EQ(query.SetConfig(Config(Settings())).code(), S_OK);
  ASSERT_EQ(query.ConnectBeforeQuery().code(), S_OK) << query.LastError();
  EXPECT_TRUE(query.SessionOpen());
  EXPECT_EQ(query.DataSourceName(), IsSqlite() ? "SQLite" : "PostgreSQL");

  xml::DocumentPtr result;
  ASSERT_EQ(Query(query, "<sql><select/><from>{T}</from><rowcount>7</rowcount></sql>", result).code(), S_OK)
      << query.LastError();
  // A named table answers one "table" of its rows inside "response".
  ASSERT_TRUE(result->documentElement());
  EXPECT_EQ(result->documentElement()->nodeName(), "response");
  ASSERT_EQ(result->documentElement()->childNodes().size(), 1u);
  const xml::NodePtr table = result->documentElement()->firstChild();
  EXPECT_EQ(table->nodeName(), "table");
  EXPECT_EQ(table->childNodes().size(), 7u);

  ASSERT_EQ(Query(query, "<sql><insert/><into>{T}</into><values>21, 'it''s new'</values></sql>", result).code(), S_OK);
  ASSERT_EQ(Query(query, "<sql><update>{T}</update><set>name = 'renamed'</set><where>id = 2</where></sql>",
                  result).code(),
            S_OK);
  ASSERT_EQ(Query(query, "<sql><delete/><from>{T}</from><where>id &gt; 3 AND id &lt; 21</where></sql>", result).code(),
            S_OK);
  EXPECT_EQ(Rows("SELECT id, name FROM " + schema_ + "." + table_ + " ORDER BY id"),
            (std::vector<std::string>{"1|n1", "2|renamed", "3|n3", "21|it's new"}));

  // The session stays usable after a failed statement; a closed one refuses.
  ASSERT_EQ(Query(query, "<sql><select/><from>missing_" + table_ + "</from></sql>", result).code(),
            static_cast<HRESULT>(oledb::DB_E_NOTABLE));
  EXPECT_FALSE(result->documentElement());
  ASSERT_EQ(Query(query, "<sql><select>id</select><from>{T}</from><where>id = 21</where></sql>", result).code(), S_OK);
  EXPECT_EQ(result->documentElement()->firstChild()->childNodes().size(), 1u);
  EXPECT_EQ(query.CloseSession().code(), S_OK);
  EXPECT_NE(Query(query, "<sql><select/><from>{T}</from></sql>", result).code(), S_OK);
  EXPECT_EQ(query.OpenSession().code(), S_OK);
  EXPECT_EQ(Query(query, "<sql><select/><from>{T}</from></sql>", result).code(), S_OK);
}

// SQLite's catalog reports no schema, so there the file's own tables count.
TEST_P(OleDbConnectTest, ConfiguredSchemaScopesEveryTableSelect) {
  CQueryObj query;
  ASSERT_EQ(query.SetConfig(Config(Settings(/*withSchema=*/!IsSqlite()))).code(), S_OK);
  ASSERT_EQ(query.ConnectBeforeQuery().code(), S_OK) << query.LastError();
  xml::DocumentPtr result;
  ASSERT_EQ(Query(query, "<sql><select/><from>*</from><rowcount>3</rowcount></sql>", result).code(), S_OK);
  const xml::NodePtr response = result->documentElement();
  ASSERT_TRUE(response);
  const auto tables = response->childNodes();
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0]->getAttribute("name").value_or(""), IsSqlite() ? table_ : schema_ + "." + table_);
  EXPECT_EQ(tables[0]->childNodes().size(), 3u);
}

TEST_P(OleDbConnectTest, WithoutSchemaAnUnqualifiedMissingTableIsNoTable) {
  CQueryObj query;
  ASSERT_EQ(query.SetConfig(Config(Settings(/*withSchema=*/false))).code(), S_OK);
  ASSERT_EQ(query.ConnectBeforeQuery().code(), S_OK) << query.LastError();
  xml::DocumentPtr result;
  // On PostgreSQL the bare name is outside the search path, so it is missing too.
  const std::string missing = IsSqlite() ? "nothing_here" : table_;
  EXPECT_EQ(Query(query, "<sql><delete/><from>" + missing + "</from></sql>", result).code(),
            static_cast<HRESULT>(oledb::DB_E_NOTABLE));
  EXPECT_EQ(Rows("SELECT id, name FROM " + schema_ + "." + table_).size(), 20u);
}

TEST_P(OleDbConnectTest, WrongPasswordFailsFast) {
  if (IsSqlite()) GTEST_SKIP() << "an SQLite file has no password";
  const PgParts pg = SplitPg(odbc_);
  CQueryObj query;
  ASSERT_EQ(query.SetConfig(Config("<Provider>MSDASQL.1</Provider><ExtendedProperties>" + Escape(pg.rest) +
                                   "</ExtendedProperties><UserName>" + Escape(pg.user) +
                                   "</UserName><Password>not-" + Escape(pg.password) + "</Password>")).code(),
            S_OK);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(query.ConnectBeforeQuery().code(), kOleDbInitFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(query.SessionOpen());
  EXPECT_NE(text::ToLowerAscii(query.LastError()).find("password"), std::string::npos) << query.LastError();
}

}  // namespace
