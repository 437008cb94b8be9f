#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "platform/ado/ado.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

using namespace quor;
using namespace quor::ado;
using com::Bstr;
using com::Variant;

namespace {

// The engines every database test runs on: an SQLite file of its own, and the
// PostgreSQL cluster that the test command starts (QUOR_TEST_PG holds its ODBC
// connection string). Without that variable PostgreSQL cases are skipped
// locally and fail under CI.
struct Engine {
  std::string name;
};

std::string PgOdbc() {
  const char* env = std::getenv("QUOR_TEST_PG");
  return env ? env : "";
}

class AdoTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    table_ = text::Format("ADOTEST_%d", static_cast<int>(::getpid()));
    if (GetParam().name == "sqlite") {
      dbPath_ = (std::filesystem::temp_directory_path() / (table_ + ".db")).string();
      std::filesystem::remove(dbPath_);
      connectionString_ = "Provider=MSDASQL.1;Extended Properties=\"DRIVER={SQLite3};Database=" + dbPath_ + "\"";
    } else {
      if (PgOdbc().empty()) {
        if (std::getenv("CI")) {
          FAIL() << "QUOR_TEST_PG is not set: the test command must start PostgreSQL";
        }
        GTEST_SKIP() << "QUOR_TEST_PG not set";
      }
      connectionString_ = "Provider=MSDASQL.1;Extended Properties=\"" + PgOdbc() + "\"";
    }
    const Status opened = conn_.Open(text::Widen(connectionString_));
    ASSERT_EQ(opened.code(), S_OK) << opened.message();
    Run("DROP TABLE IF EXISTS " + table_).Ignore();
    const Status created = Run("CREATE TABLE " + table_ + " (VOURI VARCHAR(200) PRIMARY KEY, NAME TEXT, BODY TEXT, LEN INTEGER)");
    ASSERT_EQ(created.code(), S_OK) << created.message();
  }
  void TearDown() override {
    if (conn_.State() == adStateOpen) Run("DROP TABLE IF EXISTS " + table_).Ignore();
    conn_.Close();
    if (!dbPath_.empty()) std::filesystem::remove(dbPath_);
  }

  Status Run(const std::string& sql, std::unique_ptr<Recordset>* rows = nullptr) {
    return conn_.Execute(text::Widen(sql), nullptr, rows);
  }

  Status Insert(const std::u16string& uri, Variant name, Variant body, Variant len) {
    Command cmd;
    cmd.SetActiveConnection(&conn_);
    cmd.SetCommandText(text::Widen("INSERT INTO " + table_ + " (VOURI, NAME, BODY, LEN) VALUES (?, ?, ?, ?)"));
    cmd.AppendParameter(Command::CreateParameter(u"uri", adBSTR, adParamInput, 0, Variant(Bstr(uri))));
    cmd.AppendParameter(Command::CreateParameter(u"name", adBSTR, adParamInput, 0, std::move(name)));
    cmd.AppendParameter(Command::CreateParameter(u"body", adBSTR, adParamInput, 0, std::move(body)));
    cmd.AppendParameter(Command::CreateParameter(u"len", adInteger, adParamInput, 0, std::move(len)));
    int64_t affected = 0;
    Status inserted = cmd.Execute(&affected, nullptr);
    if (inserted.ok()) {
      EXPECT_EQ(affected, 1);
    }
    return inserted;
  }

  // Reads one row by URI through a bound parameter.
  std::unique_ptr<Recordset> Select(const std::u16string& uri) {
    Command cmd;
    cmd.SetActiveConnection(&conn_);
    cmd.SetCommandText(text::Widen("SELECT VOURI, NAME, BODY, LEN FROM " + table_ + " WHERE VOURI = ?"));
    cmd.AppendParameter(Command::CreateParameter(u"uri", adBSTR, adParamInput, 0, Variant(Bstr(uri))));
    std::unique_ptr<Recordset> rows;
    EXPECT_EQ(cmd.Execute(nullptr, &rows).code(), S_OK);
    return rows;
  }

  Connection conn_;
  std::string table_, dbPath_, connectionString_;
};

}  // namespace

TEST_P(AdoTest, OpenCloseAndState) {
  EXPECT_EQ(conn_.State(), adStateOpen);
  EXPECT_FALSE(conn_.DbmsName().empty());
  conn_.Close();
  EXPECT_EQ(conn_.State(), adStateClosed);
  EXPECT_EQ(Run("SELECT 1").code(), adErrObjectClosed);
  ASSERT_EQ(conn_.Open().code(), S_OK);  // reopens from the ConnectionString property
  EXPECT_EQ(conn_.State(), adStateOpen);
}

TEST_P(AdoTest, TextsSurviveParametersExactly) {
  const std::string big(1 << 20, 'x');
  const std::vector<std::pair<std::u16string, std::string>> cases = {
      {u"urn:big", big},
      {u"urn:quotes", "it's \"quoted\"; '); DROP TABLE x; --"},
      {u"urn:percent", "100% _wild_ %s %d"},
      {u"urn:control", "tab\there\r\nnew line \x01\x1f"},
      {u"urn:japanese", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xF0\x9F\x98\x80"},
      {u"urn:empty", ""},
  };
  for (const auto& [uri, value] : cases) {
    ASSERT_EQ(Insert(uri, Variant(Bstr::FromUtf8(value)), Variant(Bstr::FromUtf8(value)),
                     Variant(static_cast<int32_t>(value.size()))).code(),
              S_OK);
  }
  for (const auto& [uri, value] : cases) {
    auto rows = Select(uri);
    ASSERT_TRUE(rows);
    ASSERT_FALSE(rows->Eof());
    Variant body, len;
    ASSERT_EQ(rows->GetValue(u"body", body).code(), S_OK);
    ASSERT_EQ(body.Type(), com::VT_BSTR) << "empty text must not come back as NULL";
    EXPECT_EQ(body.GetBstr().ToUtf8(), value);
    ASSERT_EQ(rows->GetValue(3, len).code(), S_OK);
    Bstr lenText;
    ASSERT_EQ(len.ToBstr(lenText), S_OK);
    EXPECT_EQ(lenText.ToUtf8(), std::to_string(value.size()));
    EXPECT_EQ(rows->MoveNext().code(), S_OK);
    EXPECT_TRUE(rows->Eof());
  }
  if (GetParam().name != "sqlite") return;
  // SQLite holds each as text, in exactly the bytes sent.
  for (const auto& [uri, value] : cases) {
    std::unique_ptr<Recordset> rows;
    ASSERT_EQ(Run("SELECT typeof(BODY), length(CAST(BODY AS BLOB)) FROM " + table_ + " WHERE VOURI = '" +
                      text::Narrow(uri) + "'",
                  &rows).code(),
              S_OK);
    ASSERT_TRUE(rows && !rows->Eof());
    Variant type, bytes;
    ASSERT_EQ(rows->GetValue(0, type).code(), S_OK);
    ASSERT_EQ(rows->GetValue(1, bytes).code(), S_OK);
    EXPECT_EQ(type.GetBstr(), u"text") << text::Narrow(uri);
    Bstr count;
    ASSERT_EQ(bytes.ToBstr(count), S_OK);
    EXPECT_EQ(count.ToUtf8(), std::to_string(value.size())) << text::Narrow(uri);
  }
}

// A text parameter is bound where it lies, and let go once its statement
// ran without rows to read: the statement cache does not keep a large put's
// text until the statement next runs.
TEST_P(AdoTest, AWrittenTextIsNotKeptOnceItsStatementRan) {
  Bstr body = Bstr::FromUtf8(std::string(1 << 16, 'b') + "\xC3\xA9");
  const std::shared_ptr<const void> share = body.Share();
  ASSERT_EQ(Insert(u"urn:kept", Variant(Bstr(u"n")), Variant(body), Variant(int32_t{1})).code(), S_OK);
  body.Clear();
  EXPECT_EQ(share.use_count(), 1) << "the cached statement still holds the text it wrote";
  auto rows = Select(u"urn:kept");
  ASSERT_TRUE(rows && !rows->Eof());
  Variant stored;
  ASSERT_EQ(rows->GetValue(u"BODY", stored).code(), S_OK);
  EXPECT_EQ(stored.GetBstr().ToUtf8(), std::string(1 << 16, 'b') + "\xC3\xA9");
}

TEST_P(AdoTest, NullIsNotEmpty) {
  ASSERT_EQ(Insert(u"urn:null", Variant::Null(), Variant(Bstr(u"")), Variant::Null()).code(), S_OK);
  auto rows = Select(u"urn:null");
  ASSERT_TRUE(rows && !rows->Eof());
  Variant name, body, len;
  ASSERT_EQ(rows->GetValue(u"NAME", name).code(), S_OK);
  ASSERT_EQ(rows->GetValue(u"BODY", body).code(), S_OK);
  ASSERT_EQ(rows->GetValue(u"LEN", len).code(), S_OK);
  EXPECT_TRUE(name.IsNull());
  EXPECT_TRUE(len.IsNull());
  EXPECT_EQ(body.Type(), com::VT_BSTR);
  Bstr text;
  EXPECT_EQ(name.ToBstr(text), DISP_E_TYPEMISMATCH);  // NULL has no text form
}

TEST_P(AdoTest, FieldNamesComeBackAsWrittenAndUnknownFieldsFail) {
  ASSERT_EQ(Insert(u"urn:a", Variant(Bstr(u"n")), Variant(Bstr(u"b")), Variant(int32_t{1})).code(), S_OK);
  auto rows = Select(u"urn:a");
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->FieldNames(), (std::vector<std::u16string>{u"VOURI", u"NAME", u"BODY", u"LEN"}));
  Variant v;
  const Status missing = rows->GetValue(u"NOSUCH", v);
  EXPECT_EQ(missing.code(), adErrItemNotFound);
  EXPECT_FALSE(missing.message().empty());
  EXPECT_EQ(rows->GetValue(4, v).code(), adErrItemNotFound);
  ASSERT_EQ(rows->MoveNext().code(), S_OK);
  EXPECT_EQ(rows->GetValue(u"VOURI", v).code(), adErrNoCurrentRecord);
  EXPECT_EQ(rows->MoveNext().code(), adErrNoCurrentRecord);
}

TEST_P(AdoTest, DuplicateKeyIsAnIntegrityViolation) {
  ASSERT_EQ(Insert(u"urn:dup", Variant(Bstr(u"one")), Variant(Bstr(u"")), Variant(int32_t{0})).code(), S_OK);
  const Status duplicate = Insert(u"urn:dup", Variant(Bstr(u"two")), Variant(Bstr(u"")), Variant(int32_t{0}));
  EXPECT_EQ(duplicate.code(), DB_E_INTEGRITYVIOLATION);
  EXPECT_FALSE(duplicate.message().empty());
  EXPECT_FALSE(duplicate.SqlState().empty()) << duplicate.message();
  EXPECT_FALSE(LinkLost(duplicate));
  auto rows = Select(u"urn:dup");
  Variant name;
  ASSERT_EQ(rows->GetValue(u"NAME", name).code(), S_OK);
  EXPECT_EQ(name.GetBstr(), u"one");
}

TEST_P(AdoTest, BadStatementGivesDriverText) {
  const Status bad = Run("SELECT NOSUCHCOLUMN FROM " + table_);
  EXPECT_EQ(bad.code(), DB_E_ERRORSINCOMMAND);
  EXPECT_NE(text::ToLowerAscii(bad.message()).find("nosuchcolumn"), std::string::npos) << bad.message();
  EXPECT_EQ(bad.SqlState().size(), 5u) << bad.message();
}

// The finer codes the driver layer tells apart stay apart.
TEST_P(AdoTest, AMissingTableAndAnOverlongValueKeepTheirCodes) {
  const Status missing = Run("SELECT 1 FROM NO_SUCH_TABLE_" + table_);
  EXPECT_EQ(missing.code(), DB_E_NOTABLE) << missing.message();
  EXPECT_NE(text::ToLowerAscii(missing.message()).find("no_such_table_"), std::string::npos) << missing.message();
  if (GetParam().name == std::string("postgresql")) {
    ASSERT_EQ(Run("CREATE TEMPORARY TABLE SHORT_" + table_ + " (V VARCHAR(2))").code(), S_OK);
    const Status overlong = Run("INSERT INTO SHORT_" + table_ + " VALUES ('abc')");
    EXPECT_EQ(overlong.code(), DB_E_DATAOVERFLOW) << overlong.message();
    EXPECT_EQ(overlong.SqlState(), "22001");
  }
}

TEST_P(AdoTest, TransactionsCommitAndRollBack) {
  ASSERT_EQ(conn_.BeginTrans().code(), S_OK);
  ASSERT_EQ(Insert(u"urn:gone", Variant(Bstr(u"x")), Variant(Bstr(u"")), Variant(int32_t{0})).code(), S_OK);
  ASSERT_EQ(conn_.RollbackTrans().code(), S_OK);
  EXPECT_TRUE(Select(u"urn:gone")->Eof());

  ASSERT_EQ(conn_.BeginTrans().code(), S_OK);
  ASSERT_EQ(Insert(u"urn:kept", Variant(Bstr(u"x")), Variant(Bstr(u"")), Variant(int32_t{0})).code(), S_OK);
  ASSERT_EQ(conn_.CommitTrans().code(), S_OK);
  EXPECT_FALSE(Select(u"urn:kept")->Eof());
  EXPECT_NE(conn_.CommitTrans().code(), S_OK);  // nothing open any more

  // Closing with a transaction open rolls it back.
  ASSERT_EQ(conn_.BeginTrans().code(), S_OK);
  ASSERT_EQ(Insert(u"urn:closed", Variant(Bstr(u"x")), Variant(Bstr(u"")), Variant(int32_t{0})).code(), S_OK);
  conn_.Close();
  ASSERT_EQ(conn_.Open().code(), S_OK);
  EXPECT_TRUE(Select(u"urn:closed")->Eof());
}

TEST_P(AdoTest, RecordSetOutlivesClosedConnection) {
  ASSERT_EQ(Insert(u"urn:1", Variant(Bstr(u"a")), Variant(Bstr(u"")), Variant(int32_t{0})).code(), S_OK);
  ASSERT_EQ(Insert(u"urn:2", Variant(Bstr(u"b")), Variant(Bstr(u"")), Variant(int32_t{0})).code(), S_OK);
  std::unique_ptr<Recordset> rows;
  ASSERT_EQ(Run("SELECT COUNT(*) AS N FROM " + table_, &rows).code(), S_OK);
  conn_.Close();
  Variant n;
  ASSERT_EQ(rows->GetValue(u"n", n).code(), S_OK);
  int32_t count = 0;
  ASSERT_EQ(n.ToI4(count), S_OK);
  EXPECT_EQ(count, 2);
  rows.reset();
  ASSERT_EQ(conn_.Open().code(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Engines, AdoTest, ::testing::Values(Engine{"sqlite"}, Engine{"postgresql"}),
                         [](const auto& info) { return info.param.name; });

TEST(AdoConnect, WrongPasswordAndUnreachableServerFailFast) {
  if (PgOdbc().empty()) {
    if (std::getenv("CI")) {
      FAIL() << "QUOR_TEST_PG is not set";
    }
    GTEST_SKIP();
  }
  std::string odbc = PgOdbc();
  // Replace the password with a wrong one, and the port with a closed one.
  std::string wrong = odbc + ";PWD={not;the}}password}";
  Connection conn;
  conn.SetConnectionTimeout(5);
  const auto start = std::chrono::steady_clock::now();
  const Status refused = conn.Open(text::Widen("Provider=MSDASQL;Extended Properties=\"" + wrong + "\""));
  EXPECT_EQ(refused.code(), DB_SEC_E_AUTH_FAILED) << refused.message();
  EXPECT_NE(refused.message().find("password"), std::string::npos) << refused.message();
  EXPECT_FALSE(refused.SqlState().empty());
  EXPECT_EQ(conn.State(), adStateClosed);
  const Status unreachable =
      conn.Open(u"Provider=MSDASQL;Extended Properties=\"DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=1;"
                u"Database=x;UID=x;PWD=x\"");
  EXPECT_EQ(unreachable.code(), DB_E_CANNOTCONNECT) << unreachable.message();
  EXPECT_TRUE(LinkLost(unreachable));
  EXPECT_FALSE(unreachable.message().empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(AdoConnect, ProvidersMapToTheirDrivers) {
  // The ODBC string, or the failure's code.
  const auto map = [](std::string_view oledb, std::string& odbc) {
    Result<std::string> mapped = MapConnectionString(oledb);
    if (mapped.ok()) odbc = *mapped;
    return mapped.status();
  };
  std::string odbc;
  ASSERT_EQ(map("Provider=MSDASQL.1;Extended Properties=\"DRIVER={SQLite3};Database=/tmp/a.db\"", odbc).code(),
            S_OK);
  EXPECT_EQ(odbc, "DRIVER={SQLite3};Database=/tmp/a.db");
  ASSERT_EQ(map("Provider=MSDASQL;Data Source=quor;User ID=me;Password=a}b", odbc).code(), S_OK);
  EXPECT_EQ(odbc, "DSN=quor;UID=me;PWD={a}}b}");
  // An unquoted ';' ends the value, leaving an item without '='.
  EXPECT_EQ(map("Provider=MSDASQL;Data Source=quor;Password=a;b}c", odbc).code(), adErrInvalidArgument);
  ASSERT_EQ(map("Provider=SQLOLEDB.1;Data Source=db1;Initial Catalog=Quor;User Id=sa;Password=\"p;w}d\"\"x\"", odbc).code(),
            S_OK);
  EXPECT_EQ(odbc, "DRIVER={FreeTDS};Server=db1;Database=Quor;UID=sa;PWD={p;w}}d\"x}");
  ASSERT_EQ(map("Provider=OraOLEDB.Oracle.1;Data Source=orcl;User ID=scott;Password=tiger", odbc).code(),
            S_OK);
  EXPECT_EQ(odbc, "DRIVER={Oracle};DBQ=orcl;UID=scott;PWD=tiger");
  EXPECT_EQ(map("Provider=Nope.1;Data Source=x", odbc).code(), adErrProviderNotFound);
  EXPECT_EQ(map("Provider=MSDASQL;Password=\"unterminated", odbc).code(), adErrInvalidArgument);
  EXPECT_EQ(map("Provider=MSDASQL.1", odbc).code(), adErrInvalidConnection);
}

TEST(AdoConnect, OleDbQuotingRoundTrips) {
  for (std::string value : {"plain", "semi;colon", "quote\"inside", " padded ", "it's", ""}) {
    const std::string oledb = "Provider=MSDASQL;Data Source=dsn;Password=" + QuoteConnectionValue(value);
    const Result<std::string> mapped = MapConnectionString(oledb);
    ASSERT_TRUE(mapped.ok()) << oledb << " " << mapped.status().message();
    const std::string& odbc = *mapped;
    if (value.empty()) {
      EXPECT_EQ(odbc, "DSN=dsn");
    } else {
      EXPECT_EQ(odbc.substr(0, 12), "DSN=dsn;PWD=");
    }
  }
}

TEST_P(AdoTest, SchemaListsTablesAndColumns) {
  std::unique_ptr<Recordset> rows;
  ASSERT_EQ(conn_.OpenSchema(adSchemaTables, {u"", u"", text::Widen(table_), u"TABLE"}, rows).code(), S_OK);
  std::vector<std::string> tables;
  for (; !rows->Eof(); rows->MoveNext().Ignore()) {
    Variant name;
    ASSERT_EQ(rows->GetValue(u"TABLE_NAME", name).code(), S_OK);
    tables.push_back(name.GetBstr().ToUtf8());
  }
  EXPECT_EQ(tables, std::vector<std::string>{table_});

  ASSERT_EQ(conn_.OpenSchema(adSchemaColumns, {u"", u"", text::Widen(table_)}, rows).code(), S_OK);
  std::vector<std::string> columns;
  for (; !rows->Eof(); rows->MoveNext().Ignore()) {
    Variant name;
    ASSERT_EQ(rows->GetValue(u"COLUMN_NAME", name).code(), S_OK);
    columns.push_back(name.GetBstr().ToUtf8());
  }
  EXPECT_EQ(columns, (std::vector<std::string>{"VOURI", "NAME", "BODY", "LEN"}));

  ASSERT_EQ(conn_.OpenSchema(adSchemaCatalogs, {}, rows).code(), S_OK);
}

TEST_P(AdoTest, SameStatementOpenTwiceKeepsBothResults) {
  ASSERT_EQ(Insert(u"urn:a", Variant(Bstr(u"first")), Variant(Bstr(u"")), Variant(int32_t{1})).code(), S_OK);
  ASSERT_EQ(Insert(u"urn:b", Variant(Bstr(u"second")), Variant(Bstr(u"")), Variant(int32_t{2})).code(), S_OK);
  for (int round = 0; round < 3; ++round) {  // later rounds reuse prepared statements
    auto a = Select(u"urn:a");
    auto b = Select(u"urn:b");
    ASSERT_TRUE(a && b && !a->Eof() && !b->Eof());
    Variant nameA, nameB;
    ASSERT_EQ(a->GetValue(u"NAME", nameA).code(), S_OK);
    ASSERT_EQ(b->GetValue(u"NAME", nameB).code(), S_OK);
    EXPECT_EQ(nameA.GetBstr(), u"first");
    EXPECT_EQ(nameB.GetBstr(), u"second");
  }
}

TEST(AdoConnectionLifetime, RecordSetOutlivesConnectionObject) {
  const std::string path = (std::filesystem::temp_directory_path() / text::Format("ado-life-%d.db", static_cast<int>(::getpid())))
                               .string();
  std::unique_ptr<Recordset> rows;
  {
    Connection conn;
    ASSERT_EQ(conn.Open(text::Widen("Provider=MSDASQL;Extended Properties=\"DRIVER={SQLite3};Database=" + path + "\"")).code(),
              S_OK);
    ASSERT_EQ(conn.Execute(u"SELECT 1 AS A UNION ALL SELECT 2", nullptr, &rows).code(), S_OK);
  }
  ASSERT_FALSE(rows->Eof());
  EXPECT_EQ(rows->MoveNext().code(), S_OK);
  Variant v;
  ASSERT_EQ(rows->GetValue(u"A", v).code(), S_OK);
  EXPECT_EQ(v.I4(), 2);
  EXPECT_EQ(rows->MoveNext().code(), S_OK);
  EXPECT_TRUE(rows->Eof());
  rows.reset();
  std::filesystem::remove(path);
}
