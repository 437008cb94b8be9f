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
    ASSERT_EQ(conn_.Open(text::Widen(connectionString_)), S_OK) << conn_.LastError();
    Run("DROP TABLE IF EXISTS " + table_);
    Run("CREATE TABLE " + table_ + " (VOURI VARCHAR(200) PRIMARY KEY, NAME TEXT, BODY TEXT, LEN INTEGER)");
  }
  void TearDown() override {
    if (conn_.State() == adStateOpen) Run("DROP TABLE IF EXISTS " + table_);
    conn_.Close();
    if (!dbPath_.empty()) std::filesystem::remove(dbPath_);
  }

  HRESULT Run(const std::string& sql, std::unique_ptr<Recordset>* rows = nullptr) {
    return conn_.Execute(text::Widen(sql), nullptr, rows);
  }

  HRESULT Insert(const std::u16string& uri, Variant name, Variant body, Variant len) {
    Command cmd;
    cmd.SetActiveConnection(&conn_);
    cmd.SetCommandText(text::Widen("INSERT INTO " + table_ + " (VOURI, NAME, BODY, LEN) VALUES (?, ?, ?, ?)"));
    cmd.AppendParameter(Command::CreateParameter(u"uri", adBSTR, adParamInput, 0, Variant(Bstr(uri))));
    cmd.AppendParameter(Command::CreateParameter(u"name", adBSTR, adParamInput, 0, std::move(name)));
    cmd.AppendParameter(Command::CreateParameter(u"body", adBSTR, adParamInput, 0, std::move(body)));
    cmd.AppendParameter(Command::CreateParameter(u"len", adInteger, adParamInput, 0, std::move(len)));
    int64_t affected = 0;
    const HRESULT hr = cmd.Execute(&affected, nullptr);
    if (SUCCEEDED(hr)) {
      EXPECT_EQ(affected, 1);
    }
    return hr;
  }

  // Reads one row by URI through a bound parameter.
  std::unique_ptr<Recordset> Select(const std::u16string& uri) {
    Command cmd;
    cmd.SetActiveConnection(&conn_);
    cmd.SetCommandText(text::Widen("SELECT VOURI, NAME, BODY, LEN FROM " + table_ + " WHERE VOURI = ?"));
    cmd.AppendParameter(Command::CreateParameter(u"uri", adBSTR, adParamInput, 0, Variant(Bstr(uri))));
    std::unique_ptr<Recordset> rows;
    EXPECT_EQ(cmd.Execute(nullptr, &rows), S_OK) << conn_.LastError();
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
  EXPECT_EQ(Run("SELECT 1"), adErrObjectClosed);
  ASSERT_EQ(conn_.Open(), S_OK) << conn_.LastError();  // reopens from the ConnectionString property
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
                     Variant(static_cast<int32_t>(value.size()))),
              S_OK)
        << conn_.LastError();
  }
  for (const auto& [uri, value] : cases) {
    auto rows = Select(uri);
    ASSERT_TRUE(rows);
    ASSERT_FALSE(rows->Eof());
    Variant body, len;
    ASSERT_EQ(rows->GetValue(u"body", body), S_OK);
    ASSERT_EQ(body.Type(), com::VT_BSTR) << "empty text must not come back as NULL";
    EXPECT_EQ(body.GetBstr().ToUtf8(), value);
    ASSERT_EQ(rows->GetValue(3, len), S_OK);
    Bstr lenText;
    ASSERT_EQ(len.ToBstr(lenText), S_OK);
    EXPECT_EQ(lenText.ToUtf8(), std::to_string(value.size()));
    EXPECT_EQ(rows->MoveNext(), S_OK);
    EXPECT_TRUE(rows->Eof());
  }
  if (GetParam().name != "sqlite") return;
  // SQLite holds each as text, in exactly the bytes sent.
  for (const auto& [uri, value] : cases) {
    std::unique_ptr<Recordset> rows;
    ASSERT_EQ(Run("SELECT typeof(BODY), length(CAST(BODY AS BLOB)) FROM " + table_ + " WHERE VOURI = '" +
                      text::Narrow(uri) + "'",
                  &rows),
              S_OK);
    ASSERT_TRUE(rows && !rows->Eof());
    Variant type, bytes;
    ASSERT_EQ(rows->GetValue(0, type), S_OK);
    ASSERT_EQ(rows->GetValue(1, bytes), S_OK);
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
  ASSERT_EQ(Insert(u"urn:kept", Variant(Bstr(u"n")), Variant(body), Variant(int32_t{1})), S_OK) << conn_.LastError();
  body.Clear();
  EXPECT_EQ(share.use_count(), 1) << "the cached statement still holds the text it wrote";
  auto rows = Select(u"urn:kept");
  ASSERT_TRUE(rows && !rows->Eof());
  Variant stored;
  ASSERT_EQ(rows->GetValue(u"BODY", stored), S_OK);
  EXPECT_EQ(stored.GetBstr().ToUtf8(), std::string(1 << 16, 'b') + "\xC3\xA9");
}

TEST_P(AdoTest, NullIsNotEmpty) {
  ASSERT_EQ(Insert(u"urn:null", Variant::Null(), Variant(Bstr(u"")), Variant::Null()), S_OK) << conn_.LastError();
  auto rows = Select(u"urn:null");
  ASSERT_TRUE(rows && !rows->Eof());
  Variant name, body, len;
  ASSERT_EQ(rows->GetValue(u"NAME", name), S_OK);
  ASSERT_EQ(rows->GetValue(u"BODY", body), S_OK);
  ASSERT_EQ(rows->GetValue(u"LEN", len), S_OK);
  EXPECT_TRUE(name.IsNull());
  EXPECT_TRUE(len.IsNull());
  EXPECT_EQ(body.Type(), com::VT_BSTR);
  Bstr text;
  EXPECT_EQ(name.ToBstr(text), DISP_E_TYPEMISMATCH);  // NULL has no text form
}

TEST_P(AdoTest, FieldNamesComeBackAsWrittenAndUnknownFieldsFail) {
  ASSERT_EQ(Insert(u"urn:a", Variant(Bstr(u"n")), Variant(Bstr(u"b")), Variant(int32_t{1})), S_OK);
  auto rows = Select(u"urn:a");
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->FieldNames(), (std::vector<std::u16string>{u"VOURI", u"NAME", u"BODY", u"LEN"}));
  Variant v;
  com::ClearErrorInfo();
  EXPECT_EQ(rows->GetValue(u"NOSUCH", v), adErrItemNotFound);
  EXPECT_TRUE(com::HasErrorInfo());
  EXPECT_EQ(rows->GetValue(4, v), adErrItemNotFound);
  ASSERT_EQ(rows->MoveNext(), S_OK);
  EXPECT_EQ(rows->GetValue(u"VOURI", v), adErrNoCurrentRecord);
  EXPECT_EQ(rows->MoveNext(), adErrNoCurrentRecord);
}

TEST_P(AdoTest, DuplicateKeyIsAnIntegrityViolation) {
  ASSERT_EQ(Insert(u"urn:dup", Variant(Bstr(u"one")), Variant(Bstr(u"")), Variant(int32_t{0})), S_OK);
  com::ClearErrorInfo();
  EXPECT_EQ(Insert(u"urn:dup", Variant(Bstr(u"two")), Variant(Bstr(u"")), Variant(int32_t{0})),
            DB_E_INTEGRITYVIOLATION);
  auto info = com::GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_FALSE(info->description.Empty());
  EXPECT_FALSE(conn_.LastError().empty());
  auto rows = Select(u"urn:dup");
  Variant name;
  ASSERT_EQ(rows->GetValue(u"NAME", name), S_OK);
  EXPECT_EQ(name.GetBstr(), u"one");
}

TEST_P(AdoTest, BadStatementGivesDriverText) {
  EXPECT_EQ(Run("SELECT NOSUCHCOLUMN FROM " + table_), DB_E_ERRORSINCOMMAND);
  EXPECT_NE(text::ToLowerAscii(conn_.LastError()).find("nosuchcolumn"), std::string::npos) << conn_.LastError();
}

TEST_P(AdoTest, TransactionsCommitAndRollBack) {
  ASSERT_EQ(conn_.BeginTrans(), S_OK);
  ASSERT_EQ(Insert(u"urn:gone", Variant(Bstr(u"x")), Variant(Bstr(u"")), Variant(int32_t{0})), S_OK);
  ASSERT_EQ(conn_.RollbackTrans(), S_OK);
  EXPECT_TRUE(Select(u"urn:gone")->Eof());

  ASSERT_EQ(conn_.BeginTrans(), S_OK);
  ASSERT_EQ(Insert(u"urn:kept", Variant(Bstr(u"x")), Variant(Bstr(u"")), Variant(int32_t{0})), S_OK);
  ASSERT_EQ(conn_.CommitTrans(), S_OK);
  EXPECT_FALSE(Select(u"urn:kept")->Eof());
  EXPECT_NE(conn_.CommitTrans(), S_OK);  // nothing open any more

  // Closing with a transaction open rolls it back.
  ASSERT_EQ(conn_.BeginTrans(), S_OK);
  ASSERT_EQ(Insert(u"urn:closed", Variant(Bstr(u"x")), Variant(Bstr(u"")), Variant(int32_t{0})), S_OK);
  conn_.Close();
  ASSERT_EQ(conn_.Open(), S_OK);
  EXPECT_TRUE(Select(u"urn:closed")->Eof());
}

TEST_P(AdoTest, RecordSetOutlivesClosedConnection) {
  ASSERT_EQ(Insert(u"urn:1", Variant(Bstr(u"a")), Variant(Bstr(u"")), Variant(int32_t{0})), S_OK);
  ASSERT_EQ(Insert(u"urn:2", Variant(Bstr(u"b")), Variant(Bstr(u"")), Variant(int32_t{0})), S_OK);
  std::unique_ptr<Recordset> rows;
  ASSERT_EQ(Run("SELECT COUNT(*) AS N FROM " + table_, &rows), S_OK);
  conn_.Close();
  Variant n;
  ASSERT_EQ(rows->GetValue(u"n", n), S_OK);
  int32_t count = 0;
  ASSERT_EQ(n.ToI4(count), S_OK);
  EXPECT_EQ(count, 2);
  rows.reset();
  ASSERT_EQ(conn_.Open(), S_OK);
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
  EXPECT_EQ(conn.Open(text::Widen("Provider=MSDASQL;Extended Properties=\"" + wrong + "\"")), E_FAIL);
  EXPECT_NE(conn.LastError().find("password"), std::string::npos) << conn.LastError();
  EXPECT_EQ(conn.State(), adStateClosed);
  EXPECT_EQ(conn.Open(u"Provider=MSDASQL;Extended Properties=\"DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=1;"
                      u"Database=x;UID=x;PWD=x\""),
            E_FAIL);
  EXPECT_FALSE(conn.LastError().empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(AdoConnect, ProvidersMapToTheirDrivers) {
  std::string odbc, error;
  ASSERT_EQ(MapConnectionString("Provider=MSDASQL.1;Extended Properties=\"DRIVER={SQLite3};Database=/tmp/a.db\"", odbc,
                                error),
            S_OK);
  EXPECT_EQ(odbc, "DRIVER={SQLite3};Database=/tmp/a.db");
  ASSERT_EQ(MapConnectionString("Provider=MSDASQL;Data Source=quor;User ID=me;Password=a}b", odbc, error), S_OK)
      << error;
  EXPECT_EQ(odbc, "DSN=quor;UID=me;PWD={a}}b}");
  // An unquoted ';' ends the value, leaving an item without '='.
  EXPECT_EQ(MapConnectionString("Provider=MSDASQL;Data Source=quor;Password=a;b}c", odbc, error), adErrInvalidArgument);
  ASSERT_EQ(MapConnectionString("Provider=SQLOLEDB.1;Data Source=db1;Initial Catalog=Quor;User Id=sa;"
                                "Password=\"p;w}d\"\"x\"",
                                odbc, error),
            S_OK);
  EXPECT_EQ(odbc, "DRIVER={FreeTDS};Server=db1;Database=Quor;UID=sa;PWD={p;w}}d\"x}");
  ASSERT_EQ(MapConnectionString("Provider=OraOLEDB.Oracle.1;Data Source=orcl;User ID=scott;Password=tiger", odbc,
                                error),
            S_OK);
  EXPECT_EQ(odbc, "DRIVER={Oracle};DBQ=orcl;UID=scott;PWD=tiger");
  EXPECT_EQ(MapConnectionString("Provider=Nope.1;Data Source=x", odbc, error), adErrProviderNotFound);
  EXPECT_EQ(MapConnectionString("Provider=MSDASQL;Password=\"unterminated", odbc, error), adErrInvalidArgument);
  EXPECT_EQ(MapConnectionString("Provider=MSDASQL.1", odbc, error), adErrInvalidConnection);
}

TEST(AdoConnect, OleDbQuotingRoundTrips) {
  for (std::string value : {"plain", "semi;colon", "quote\"inside", " padded ", "it's", ""}) {
    std::string odbc, error;
    const std::string oledb = "Provider=MSDASQL;Data Source=dsn;Password=" + QuoteConnectionValue(value);
    ASSERT_EQ(MapConnectionString(oledb, odbc, error), S_OK) << oledb << " " << error;
    if (value.empty()) {
      EXPECT_EQ(odbc, "DSN=dsn");
    } else {
      EXPECT_EQ(odbc.substr(0, 12), "DSN=dsn;PWD=");
    }
  }
}

TEST_P(AdoTest, SchemaListsTablesAndColumns) {
  std::unique_ptr<Recordset> rows;
  ASSERT_EQ(conn_.OpenSchema(adSchemaTables, {u"", u"", text::Widen(table_), u"TABLE"}, rows), S_OK)
      << conn_.LastError();
  std::vector<std::string> tables;
  for (; !rows->Eof(); rows->MoveNext()) {
    Variant name;
    ASSERT_EQ(rows->GetValue(u"TABLE_NAME", name), S_OK);
    tables.push_back(name.GetBstr().ToUtf8());
  }
  EXPECT_EQ(tables, std::vector<std::string>{table_});

  ASSERT_EQ(conn_.OpenSchema(adSchemaColumns, {u"", u"", text::Widen(table_)}, rows), S_OK);
  std::vector<std::string> columns;
  for (; !rows->Eof(); rows->MoveNext()) {
    Variant name;
    ASSERT_EQ(rows->GetValue(u"COLUMN_NAME", name), S_OK);
    columns.push_back(name.GetBstr().ToUtf8());
  }
  EXPECT_EQ(columns, (std::vector<std::string>{"VOURI", "NAME", "BODY", "LEN"}));

  ASSERT_EQ(conn_.OpenSchema(adSchemaCatalogs, {}, rows), S_OK) << conn_.LastError();
}

TEST_P(AdoTest, SameStatementOpenTwiceKeepsBothResults) {
  ASSERT_EQ(Insert(u"urn:a", Variant(Bstr(u"first")), Variant(Bstr(u"")), Variant(int32_t{1})), S_OK);
  ASSERT_EQ(Insert(u"urn:b", Variant(Bstr(u"second")), Variant(Bstr(u"")), Variant(int32_t{2})), S_OK);
  for (int round = 0; round < 3; ++round) {  // later rounds reuse prepared statements
    auto a = Select(u"urn:a");
    auto b = Select(u"urn:b");
    ASSERT_TRUE(a && b && !a->Eof() && !b->Eof());
    Variant nameA, nameB;
    ASSERT_EQ(a->GetValue(u"NAME", nameA), S_OK);
    ASSERT_EQ(b->GetValue(u"NAME", nameB), S_OK);
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
    ASSERT_EQ(conn.Open(text::Widen("Provider=MSDASQL;Extended Properties=\"DRIVER={SQLite3};Database=" + path + "\"")),
              S_OK);
    ASSERT_EQ(conn.Execute(u"SELECT 1 AS A UNION ALL SELECT 2", nullptr, &rows), S_OK);
  }
  ASSERT_FALSE(rows->Eof());
  EXPECT_EQ(rows->MoveNext(), S_OK);
  Variant v;
  ASSERT_EQ(rows->GetValue(u"A", v), S_OK);
  EXPECT_EQ(v.I4(), 2);
  EXPECT_EQ(rows->MoveNext(), S_OK);
  EXPECT_TRUE(rows->Eof());
  rows.reset();
  std::filesystem::remove(path);
}
