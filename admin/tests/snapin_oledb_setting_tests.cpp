// The console's direct database connection: the data-link dialog driven
// through the recording host, connection files written and read back, and
// table data read and changed over real SQLite and PostgreSQL databases.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "admin/snapin/DataLinkDialog.h"
#include "admin/snapin/OleDbSetting.h"
#include "admin/snapin/TableData.h"
#include "testing/OutsideSql.h"
#include "testing/ServerInstance.h"
#include "admin/tests/SnapinFixture.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"

namespace quor::admin::snapin {
namespace {

namespace fs = std::filesystem;
using console::IModalDialog;
using console::testing::RecordingHost;
using oledb::testing::PgOdbc;
using oledb::testing::PgParts;
using oledb::testing::SplitPg;

using Elements = std::vector<std::pair<std::string, std::string>>;

// The root's name and its children (name, text) in file order.
std::pair<std::string, Elements> ReadConnectionFile(const fs::path& path) {
  std::pair<std::string, Elements> out;
  auto document = xml::Document::Create();
  if (!document->load(path.string()) || !document->documentElement()) return out;
  out.first = document->documentElement()->nodeName();
  for (auto child = document->documentElement()->firstChild(); child; child = child->nextSibling())
    out.second.emplace_back(child->nodeName(), child->text());
  return out;
}

std::vector<std::string> NamesOf(const Elements& elements) {
  std::vector<std::string> names;
  for (const auto& [name, text] : elements) names.push_back(name);
  return names;
}

std::string TextOf(const Elements& elements, std::string_view name) {
  for (const auto& [n, text] : elements)
    if (n == name) return text;
  return "(missing)";
}

std::vector<std::string> ListNames(std::unique_ptr<oledb::Rowset> rows, std::string_view column) {
  std::vector<std::string> names;
  while (rows && rows->Next() == S_OK) {
    odbc::Value value;
    if (rows->Get(column, value) == S_OK) names.push_back(value.text);
  }
  return names;
}

bool Contains(const std::vector<std::string>& list, std::string_view item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}


struct DialogInput {
  std::string provider = "MSDASQL.1";
  std::string dataSource, extended, catalog, user, password;
  bool allowSaving = false;
};

// A dialog step that fills the fields and presses OK; whether it ended is
// kept in `ended`.
std::function<void(IModalDialog&)> FillAndOk(DialogInput input, std::shared_ptr<bool> ended = nullptr) {
  return [input = std::move(input), ended](IModalDialog& dialog) {
    EXPECT_EQ(dialog.Caption(), "Data Link Properties");
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kProvider, input.provider));
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kDataSource, input.dataSource));
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kExtendedProperties, input.extended));
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kInitialCatalog, input.catalog));
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kUserName, input.user));
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kPassword, input.password));
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kAllowSaving, input.allowSaving ? "1" : "0"));
    EXPECT_TRUE(dialog.Press(CDataLinkDlg::kOk));
    if (ended) *ended = dialog.Ended();
  };
}

class OleDbSettingTest : public testing::OfflineSnapinTest {
 protected:
  void SetUp() override {
    OfflineSnapinTest::SetUp();
    db_ = (dir_.Path() / "sales.db").string();
    const std::string longText(1000, 'x');
    const std::string out = oledb::testing::Capture(
        "sqlite3 -batch '" + db_ +
        "' \"CREATE TABLE customers (id INTEGER PRIMARY KEY, name VARCHAR(40), note VARCHAR(1000));"
        "INSERT INTO customers VALUES (1, 'Ann', NULL);"
        "INSERT INTO customers VALUES (2, 'O''Brien', '" +
        longText +
        "');"
        "INSERT INTO customers VALUES (3, 'OBrien', 'kept');"
        "CREATE TABLE orders (region TEXT NOT NULL, num INTEGER NOT NULL, item TEXT, PRIMARY KEY (num, region));"
        "CREATE TABLE [order details] (id INTEGER, qty INTEGER);"
        "INSERT INTO [order details] VALUES (7, 3);"
        "CREATE VIEW big_customers AS SELECT * FROM customers;\" 2>&1");
    ASSERT_EQ(out, "");
    sqliteOdbc_ = "DRIVER={SQLite3};Database=" + db_;
  }

  DialogInput Sales() const {
    DialogInput input;
    input.dataSource = "sales";
    input.extended = sqliteOdbc_;
    input.catalog = "main";
    input.user = "dbuser";
    return input;
  }

  std::vector<std::string> Boxes() const { return host_.MessageTexts(); }

  std::string db_, sqliteOdbc_;
};

TEST_F(OleDbSettingTest, DialogConnectsAndWriteGivesTheConnectionFile) {
  host_.modalSteps.push_back(FillAndOk(Sales()));
  COleDbSetting setting;
  ASSERT_EQ(setting.PromptNew(), 1) << ::testing::PrintToString(Boxes());
  EXPECT_TRUE(setting.IsOpen());
  EXPECT_EQ(setting.Provider, "MSDASQL.1");
  EXPECT_EQ(setting.DataSource, "sales");
  EXPECT_EQ(setting.InitialCatalog, "main");
  EXPECT_EQ(setting.UserName, "dbuser");
  EXPECT_TRUE(Boxes().empty());

  const fs::path file = dir_.Path() / "sales.xml";
  ASSERT_TRUE(setting.Write(file.string()));
  const auto [root, elements] = ReadConnectionFile(file);
  EXPECT_EQ(root, "OLEDBSetting");
  // A plain connection: no role, no table; the ODBC string whole although it
  // holds ";"; the schema provider's Schema last.
  EXPECT_EQ(NamesOf(elements), (std::vector<std::string>{"Provider", "PersistSecurityInfo", "UserName",
                                                         "InitialCatalog", "DataSource", "ExtendedProperties",
                                                         "Schema"}));
  EXPECT_EQ(TextOf(elements, "ExtendedProperties"), sqliteOdbc_);
  EXPECT_EQ(TextOf(elements, "PersistSecurityInfo"), "False");
  EXPECT_EQ(TextOf(elements, "UserName"), "dbuser");
  EXPECT_EQ(TextOf(elements, "Schema"), "main");

  // What was written opens again and lists the database's objects.
  COleDbSetting reopened;
  ASSERT_EQ(reopened.OpenFromFile(file.string()), 1) << com::HResultText(reopened.OpenStatus());
  EXPECT_EQ(reopened.UserName, "dbuser");
  const auto tables = ListNames(reopened.OpenTables(), "TABLE_NAME");
  EXPECT_TRUE(Contains(tables, "customers") && Contains(tables, "orders") && Contains(tables, "order details"))
      << ::testing::PrintToString(tables);
  EXPECT_FALSE(Contains(tables, "big_customers"));
  EXPECT_TRUE(Contains(ListNames(reopened.OpenViews(), "TABLE_NAME"), "big_customers"));
  EXPECT_NE(reopened.OpenProcedures(), nullptr);

  // A repository definition carries its role and table first.
  reopened.SetRoleAndTable("VODB", "QUORVESK");
  ASSERT_TRUE(reopened.Write(file.string()));
  const auto names = NamesOf(ReadConnectionFile(file).second);
  ASSERT_GE(names.size(), 3u);
  EXPECT_EQ(names[0], "quorservice");
  EXPECT_EQ(names[1], "table");
}

TEST_F(OleDbSettingTest, TestConnectionReportsAndOkStaysOpenOnFailure) {
  auto ended = std::make_shared<bool>(true);
  DialogInput bad = Sales();
  bad.extended = "DRIVER={No Such Driver};Database=" + db_;
  host_.modalSteps.push_back([&, ended, bad](IModalDialog& dialog) {
    FillAndOk(bad, ended)(dialog);
    EXPECT_TRUE(dialog.Press(CDataLinkDlg::kTestConnection));
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kExtendedProperties, sqliteOdbc_));
    EXPECT_TRUE(dialog.Press(CDataLinkDlg::kTestConnection));
    EXPECT_FALSE(dialog.SetValue(CDataLinkDlg::kProvider, "NoSuch.1"));
    EXPECT_TRUE(dialog.Press(CDataLinkDlg::kCancel));
  });
  COleDbSetting setting;
  EXPECT_EQ(setting.PromptNew(), 0);
  EXPECT_FALSE(*ended) << "OK closed the dialog on a connection that failed";
  EXPECT_FALSE(setting.IsOpen());
  EXPECT_FALSE(setting.Write((dir_.Path() / "none.xml").string()));
  EXPECT_FALSE(fs::exists(dir_.Path() / "none.xml"));
  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 3u);
  // The driver's own text, for the failed OK and the failed test.
  EXPECT_FALSE(boxes[0].empty());
  EXPECT_EQ(boxes[0], boxes[1]);
  EXPECT_EQ(boxes[2], "Test connection succeeded.");
}

TEST_F(OleDbSettingTest, InitializationStringPairsAreReadWhole) {
  COleDbSetting setting;
  // An empty password does not take the user with it; an item without "="
  // is skipped.
  ASSERT_EQ(setting.OpenFromString("Provider=MSDASQL.1;Password=;User ID=x;Junk;Data Source=sales;"
                                   "Extended Properties=\"" +
                                   sqliteOdbc_ + "\""),
            S_OK);
  EXPECT_EQ(setting.UserName, "x");
  EXPECT_EQ(setting.DataSource, "sales");
  const fs::path file = dir_.Path() / "pairs.xml";
  ASSERT_TRUE(setting.Write(file.string()));
  auto elements = ReadConnectionFile(file).second;
  EXPECT_EQ(elements, (Elements{{"Provider", "MSDASQL.1"},
                                {"UserName", "x"},
                                {"DataSource", "sales"},
                                {"ExtendedProperties", sqliteOdbc_}}));

  // A quote left open runs to the end; a quote inside a value survives.
  ASSERT_EQ(setting.OpenFromString("Provider=MSDASQL.1;User ID=\"a\"\"b;c\";Extended Properties=\"" + sqliteOdbc_),
            S_OK);
  EXPECT_EQ(setting.UserName, "a\"b;c");
  ASSERT_TRUE(setting.Write(file.string()));
  elements = ReadConnectionFile(file).second;
  EXPECT_EQ(elements, (Elements{{"Provider", "MSDASQL.1"}, {"UserName", "a\"b;c"}, {"ExtendedProperties", sqliteOdbc_}}));

  // Nothing to reach: refused, and nothing stays open.
  EXPECT_TRUE(FAILED(setting.OpenFromString("Provider=MSDASQL.1;User ID=x")));
  EXPECT_FALSE(setting.IsOpen());
  EXPECT_TRUE(setting.InitializationString().empty());
  EXPECT_TRUE(FAILED(setting.OpenFromString("Provider=NoSuch.1;Data Source=x")));
  EXPECT_TRUE(FAILED(setting.OpenStatus()));
}

TEST_F(OleDbSettingTest, MissingOrBrokenFilesOpenNothing) {
  COleDbSetting setting;
  EXPECT_EQ(setting.OpenFromFile((dir_.Path() / "absent.xml").string()), 0);
  EXPECT_EQ(setting.OpenStatus(), HRESULT_FROM_WIN32(2));
  std::ofstream(dir_.Path() / "broken.xml") << "<OLEDBSetting><Provider>";
  EXPECT_EQ(setting.OpenFromFile((dir_.Path() / "broken.xml").string()), 0);
  EXPECT_TRUE(FAILED(setting.OpenStatus()));
  std::ofstream(dir_.Path() / "wrong.xml") << "<OLEDBSetting><Provider>MSDASQL.1</Provider><ExtendedProperties>"
                                              "DRIVER={SQLite3};Database=" +
                                                  (dir_.Path() / "no-folder" / "x.db").string() +
                                                  "</ExtendedProperties></OLEDBSetting>";
  EXPECT_EQ(setting.OpenFromFile((dir_.Path() / "wrong.xml").string()), 0);
  EXPECT_TRUE(FAILED(setting.OpenStatus()));
  EXPECT_FALSE(setting.IsOpen());
  EXPECT_EQ(setting.OpenTables(), nullptr);
  EXPECT_TRUE(Boxes().empty()) << "opening a file must not show anything";
}

TEST_F(OleDbSettingTest, OpensTheServicesOwnRepositoryFile) {
  admin::testing::ServerInstance instance;
  instance.Start(admin::testing::InstanceOptions{});
  ASSERT_FALSE(HasFatalFailure());
  if (IsSkipped()) return;
  COleDbSetting setting;
  ASSERT_EQ(setting.OpenFromFile((instance.Home() / "config" / "repository.xml").string()), 1)
      << com::HResultText(setting.OpenStatus());
  const auto tables = ListNames(setting.OpenTables(), "TABLE_NAME");
  EXPECT_TRUE(Contains(tables, "QUORLOG")) << ::testing::PrintToString(tables);
}

TEST_F(OleDbSettingTest, TableDataReadsWholeValuesAndDeletesByBoundKey) {
  COleDbSetting setting;
  ASSERT_EQ(setting.OpenFromString("Provider=MSDASQL.1;Extended Properties=\"" + sqliteOdbc_ + "\""), S_OK);
  oledb::Session& session = *setting.Session();

  CTableData data;
  ASSERT_EQ(data.Open(session, "customers"), 1);
  ASSERT_EQ(data.ColumnCount(), 3);
  EXPECT_EQ(data.ColumnName(1), "name");
  EXPECT_EQ(data.ColumnWidth(0), 20);
  EXPECT_EQ(data.ColumnWidth(1), 40);
  EXPECT_EQ(data.ColumnWidth(2), 260);
  EXPECT_EQ(data.ColumnName(3), "");
  EXPECT_EQ(data.ColumnWidth(-1), 0);
  std::string text;
  EXPECT_FALSE(data.ColumnText(0, text)) << "no current row yet";
  std::vector<std::vector<std::string>> rows;
  std::vector<bool> nulls;
  while (data.MoveNext()) {
    rows.emplace_back();
    for (int i = 0; i < data.ColumnCount(); ++i) {
      ASSERT_TRUE(data.ColumnText(i, text));
      rows.back().push_back(text);
    }
    nulls.push_back(data.ColumnIsNull(2));
  }
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"1", "Ann", ""}));
  EXPECT_EQ(nulls, (std::vector<bool>{true, false, false}));
  EXPECT_EQ(rows[1][2], std::string(1000, 'x')) << "a long value was cut";
  EXPECT_FALSE(data.ColumnText(0, text)) << "past the last row";

  // A name with a blank is quoted whole.
  ASSERT_EQ(data.Open(session, "order details"), 1);
  ASSERT_TRUE(data.MoveNext());
  ASSERT_TRUE(data.ColumnText(1, text));
  EXPECT_EQ(text, "3");
  EXPECT_EQ(data.Open(session, "no such table"), 0);
  EXPECT_EQ(data.ColumnCount(), 0);
  EXPECT_EQ(CTableData::QualifiedName("EMP", "SCOTT"), "\"SCOTT\".\"EMP\"");
  EXPECT_EQ(CTableData::QualifiedName("a\"b"), "\"a\"\"b\"");

  std::vector<std::string> keys;
  EXPECT_EQ(CTableData::PrimaryKeyColumns(session, "orders", keys), 2);
  EXPECT_EQ(keys, (std::vector<std::string>{"num", "region"}));
  EXPECT_EQ(CTableData::PrimaryKeyColumns(session, "order details", keys), 0);

  // The quote in the key reaches the database as data: one row goes.
  std::vector<oledb::Parameter> params{oledb::Parameter::Text("O'Brien")};
  EXPECT_EQ(CTableData::ExecuteStatement(session, "DELETE FROM customers WHERE name = ?", params), 1);
  EXPECT_EQ(oledb::testing::Capture("sqlite3 -batch '" + db_ + "' 'SELECT name FROM customers ORDER BY id'"),
            "Ann\nOBrien");
  std::vector<oledb::Parameter> none;
  EXPECT_EQ(CTableData::ExecuteStatement(session, "DELETE FROM no_such_table", none), -1);
}

// The same over PostgreSQL, where names fold and listings span schemas.
TEST_F(OleDbSettingTest, PostgresConnectionKeysAndPasswordRules) {
  if (PgOdbc().empty()) {
    if (std::getenv("CI")) FAIL() << "QUOR_TEST_PG is not set";
    GTEST_SKIP() << "QUOR_TEST_PG not set";
  }
  const PgParts pg = SplitPg(PgOdbc());
  DialogInput input;
  input.extended = pg.rest;
  input.user = pg.user;
  input.password = "wrong";
  auto ended = std::make_shared<bool>(true);
  host_.modalSteps.push_back([&, ended, input](IModalDialog& dialog) {
    FillAndOk(input, ended)(dialog);
    DialogInput right = input;
    right.password = pg.password;
    FillAndOk(right)(dialog);
  });
  COleDbSetting setting;
  ASSERT_EQ(setting.PromptNew(), 1);
  EXPECT_FALSE(*ended) << "a refused password closed the dialog";
  ASSERT_EQ(Boxes().size(), 1u);

  // Without leave to keep it, the password opens the connection but is not
  // written; the file then cannot open on its own.
  const fs::path file = dir_.Path() / "pg.xml";
  ASSERT_TRUE(setting.Write(file.string()));
  auto elements = ReadConnectionFile(file).second;
  EXPECT_EQ(TextOf(elements, "Password"), "(missing)");
  EXPECT_EQ(TextOf(elements, "PersistSecurityInfo"), "False");
  COleDbSetting reopened;
  EXPECT_EQ(reopened.OpenFromFile(file.string()), 0);
  EXPECT_EQ(reopened.OpenStatus(), oledb::DB_SEC_E_AUTH_FAILED);

  DialogInput kept = input;
  kept.password = pg.password;
  kept.allowSaving = true;
  host_.modalSteps.push_back(FillAndOk(kept));
  ASSERT_EQ(setting.PromptNew(), 1);
  ASSERT_TRUE(setting.Write(file.string()));
  elements = ReadConnectionFile(file).second;
  EXPECT_EQ(TextOf(elements, "Password"), pg.password);
  EXPECT_EQ(TextOf(elements, "PersistSecurityInfo"), "True");
  ASSERT_EQ(reopened.OpenFromFile(file.string()), 1) << com::HResultText(reopened.OpenStatus());

  oledb::Session& session = *reopened.Session();
  const std::string table = "oledbset_" + std::to_string(::getpid());
  std::vector<oledb::Parameter> none;
  CTableData::ExecuteStatement(session, "DROP TABLE IF EXISTS " + table, none);
  ASSERT_EQ(CTableData::ExecuteStatement(session,
                                         "CREATE TABLE " + table +
                                             " (a INTEGER NOT NULL, b VARCHAR(10) NOT NULL, c TEXT, PRIMARY KEY (b, a))",
                                         none),
            0);
  ASSERT_EQ(CTableData::ExecuteStatement(
                session, "INSERT INTO " + table + " VALUES (1, 'x''y', NULL), (2, 'x''y', 'two'), (1, 'z', 'one')",
                none),
            3);
  std::vector<std::string> keys;
  EXPECT_EQ(CTableData::PrimaryKeyColumns(session, table, keys), 2);
  EXPECT_EQ(keys, (std::vector<std::string>{"b", "a"}));
  EXPECT_TRUE(Contains(ListNames(reopened.OpenTables(), "TABLE_NAME"), table));

  CTableData data;
  ASSERT_EQ(data.Open(session, table, "public"), 1);
  ASSERT_EQ(data.ColumnCount(), 3);
  EXPECT_EQ(data.ColumnWidth(1), 10);
  int nullCount = 0;
  while (data.MoveNext()) nullCount += data.ColumnIsNull(2) ? 1 : 0;
  EXPECT_EQ(nullCount, 1);

  std::vector<oledb::Parameter> params{oledb::Parameter::Text("x'y"), oledb::Parameter::Int(2)};
  EXPECT_EQ(CTableData::ExecuteStatement(session, "DELETE FROM " + table + " WHERE b = ? AND a = ?", params), 1);
  ASSERT_EQ(data.Open(session, table), 1);
  int left = 0;
  while (data.MoveNext()) ++left;
  EXPECT_EQ(left, 2);
  CTableData::ExecuteStatement(session, "DROP TABLE " + table, none);
}

}  // namespace
}  // namespace quor::admin::snapin
