// The Native DB folder and the table maintenance dialogs against the
// recording host and real databases: the repository of a running
// quor-server (SQLite, and PostgreSQL where the test run has it) and scratch
// SQLite files. What the dialogs delete is checked from outside with the
// sqlite3 and psql programs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "admin/VeltService.h"
#include "admin/snapin/DataLinkDialog.h"
#include "admin/snapin/NativeDBNode.h"
#include "admin/snapin/OleDbSetting.h"
#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/Resources.h"
#include "admin/snapin/SnapInModule.h"
#include "admin/snapin/TableDialogs.h"
#include "testing/OutsideSql.h"
#include "testing/RecordingHost.h"
#include "testing/ServerInstance.h"
#include "admin/tests/SnapinFixture.h"

namespace quor::admin::snapin {
namespace {

namespace fs = std::filesystem;
using namespace console;
using admin::testing::Database;
using admin::testing::InstanceOptions;
using console::testing::RecordingHost;
using oledb::testing::Capture;
using snapin::testing::RunSqlite;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string ConnectionFile(const fs::path& db, std::string_view role = {}) {
  return snapin::testing::SqliteConnectionFile("repo", db.string(), role);
}

// The index of the first grid row whose cells under `columns` are `values`.
size_t RowOf(const IModalDialog& dialog, const std::vector<std::string>& names,
             const std::vector<std::string>& values) {
  const PageField grid = RecordingHost::FieldOf(dialog, CTableDataDlg::kGrid);
  for (size_t row = 0; row < grid.rows.size(); ++row) {
    bool all = true;
    for (size_t i = 0; i < names.size() && all; ++i) {
      const auto at = std::find(grid.columns.begin(), grid.columns.end(), names[i]);
      const size_t column = static_cast<size_t>(at - grid.columns.begin());
      all = at != grid.columns.end() && column < grid.rows[row].size() && grid.rows[row][column] == values[i];
    }
    if (all) return row;
  }
  ADD_FAILURE() << "no row with " << (values.empty() ? "" : values[0]);
  return grid.rows.size();
}

// ---- The folder on a running server's repository -------------------------------------

class NativeDbFolder : public snapin::testing::SnapinServerTest {
 protected:
  void Start(Database database = Database::Sqlite) {
    InstanceOptions options;
    options.database = database;
    ASSERT_NO_FATAL_FAILURE(StartSnapin(options));
    if (IsSkipped()) return;
    repository_ = instance_->Dir() / "repository.db";
  }
  long NewNativeDbState(CNativeDBNode& node) {
    host_.ClearMenu();
    EXPECT_EQ(node.AddMenuItems(&host_, CCM_INSERTIONALLOWED_TOP, CCT_SCOPE), S_OK);
    EXPECT_EQ(host_.menuItems.size(), 1u);
    return host_.menuItems.empty() ? -1 : host_.menuItems[0].flags;
  }

  fs::path repository_;
};

TEST_F(NativeDbFolder, ShowsTheFourRepositoryTablesReady) {
  ASSERT_NO_FATAL_FAILURE(Start());
  CNativeDBNode node;
  struct Expected {
    CNativeDBNode::Slot slot;
    std::string object, description, table;
    int kind;
  };
  const Expected expected[] = {
      {CNativeDBNode::kContent, "VODB", "QuorVesk Database", "QUORVESK", 1},
      {CNativeDBNode::kResource, "VOResourceDB", "Vesk Resource", "QUORVESKRES", 1},
      {CNativeDBNode::kCollaboration, "CollabDB", "Collaboration Database", "QUORCOLLAB", 1},
      {CNativeDBNode::kLog, "LogDB", "Log Database", "QUORLOG", 2},
  };
  for (const Expected& want : expected) {
    SCOPED_TRACE(want.object);
    CRepositoryDBItem* item = node.Item(want.slot);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->GetResultPaneColInfo(0), want.object);
    EXPECT_EQ(item->GetResultPaneColInfo(1), want.description);
    EXPECT_EQ(item->GetResultPaneColInfo(2), want.table);
    EXPECT_EQ(item->GetResultPaneColInfo(3), "Ready");
    EXPECT_EQ(item->MaintenanceKind(), want.kind);
    EXPECT_EQ(fs::path(item->ConnectionFile()), instance_->Home() / "config" / "repository.xml");
  }
  // The repository exists: no second one can be described.
  EXPECT_EQ(NewNativeDbState(node), MF_GRAYED | MF_DISABLED);

  ASSERT_EQ(Notify(node, MMCN_SHOW, 1), S_OK);
  ASSERT_FALSE(host_.descriptionBar.empty());
  EXPECT_EQ(host_.descriptionBar.back(), CNativeDBNode::kDescription);
  ASSERT_EQ(host_.columns.size(), 4u);
  EXPECT_EQ(host_.columns[3].title, "Status");
  EXPECT_EQ(host_.columns[3].width, 100);  // sized to its title first, then set
  ASSERT_EQ(host_.resultItems.size(), 4u);
  const std::pair<CNativeDBNode::Slot, int> rows[] = {
      {CNativeDBNode::kContent, 10}, {CNativeDBNode::kResource, 11}, {CNativeDBNode::kCollaboration, 12},
      {CNativeDBNode::kLog, 14}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(host_.resultItems[i].param, node.Item(rows[i].first)->CookieValue());
    EXPECT_EQ(host_.resultItems[i].image, rows[i].second);
  }

  // Refresh acts only while the pane last drew one of our rows.
  const int clears = host_.resultClears;
  Module::SetResultPaneFlag(1);
  ASSERT_EQ(Notify(node, MMCN_REFRESH), S_OK);
  EXPECT_EQ(host_.resultClears, clears);
  ResultItem drawn = host_.resultItems[0];
  drawn.mask = RDI_STR;
  drawn.column = 3;
  ASSERT_EQ(view_->GetDisplayInfo(drawn), S_OK);
  EXPECT_EQ(drawn.text, "Ready");
  EXPECT_EQ(Module::ResultPaneFlag(), 2);
  ASSERT_EQ(Notify(node, MMCN_REFRESH), S_OK);
  EXPECT_EQ(host_.resultClears, clears + 1);
  EXPECT_EQ(host_.resultItems.size(), 4u);

  ASSERT_EQ(Notify(node, MMCN_SHOW, 0), S_OK);
  EXPECT_TRUE(host_.resultItems.empty());
}

TEST_F(NativeDbFolder, LaterRepositoryFileWinsAndAMissingTableOnlyTellsItsStatus) {
  ASSERT_NO_FATAL_FAILURE(Start());
  // A second repository file, sorted after the server's own, on a database
  // without the resource table and with the log table in lower case.
  const fs::path other = instance_->Dir() / "other.db";
  RunSqlite(other,
            "CREATE TABLE QUORVESK (VOUSER TEXT, NAME TEXT, PRIMARY KEY (VOUSER, NAME)); CREATE TABLE quorlog (LOGID "
            "INTEGER PRIMARY KEY); CREATE TABLE QUORCOLLAB (VOURI TEXT PRIMARY KEY);");
  std::ofstream(instance_->Home() / "config" / "zz-other.xml") << ConnectionFile(other, "VODB");
  // A file that is no XML is passed over.
  std::ofstream(instance_->Home() / "config" / "broken.xml") << "<OLEDBSetting>";

  CNativeDBNode node;
  ASSERT_NE(node.Item(CNativeDBNode::kContent), nullptr);
  EXPECT_EQ(fs::path(node.Item(CNativeDBNode::kContent)->ConnectionFile()),
            instance_->Home() / "config" / "zz-other.xml");
  EXPECT_EQ(node.Item(CNativeDBNode::kContent)->Status(), "Ready");
  EXPECT_EQ(node.Item(CNativeDBNode::kResource)->Status(), "Table Not Found");
  EXPECT_EQ(node.Item(CNativeDBNode::kLog)->Status(), "Ready");
  EXPECT_EQ(node.Item(CNativeDBNode::kCollaboration)->Status(), "Ready");

  ASSERT_EQ(Notify(*node.Item(CNativeDBNode::kResource), MMCN_DBLCLICK, 0, CCT_RESULT), E_NOTIMPL);
  EXPECT_EQ(host_.MessageTexts(), std::vector<std::string>{"Table Not Found"});
  EXPECT_TRUE(host_.modalCaptions.empty());

  // The ready log table, listed in lower case, opens under that name.
  host_.modalSteps.push_back([](IModalDialog& dialog) {
    EXPECT_EQ(RecordingHost::FieldOf(dialog, CResetTableDlg::kReset).kind, FieldKind::Button);
    EXPECT_TRUE(dialog.Press(CTableDataDlg::kClose));
  });
  ASSERT_EQ(Notify(*node.Item(CNativeDBNode::kLog), MMCN_DBLCLICK, 0, CCT_RESULT), E_NOTIMPL);
  EXPECT_EQ(host_.modalCaptions, std::vector<std::string>{"quorlog"});
}

TEST_F(NativeDbFolder, DeleteRemovesExactlyTheSelectedRows) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_EQ(RunSqlite(repository_,
                      "INSERT INTO QUORVESK (VOUSER, NAME, VOURI) VALUES ('ann', 'a', 'u1'), "
                      "('ann', 'o''brien', 'u2'), ('bob', 'a', 'u3'), ('bob', 'b', 'u4'), "
                      "('ann', 'o''brien'' OR ''1''=''1', 'u5');"),
            "");
  CNativeDBNode node;
  CRepositoryDBItem* content = node.Item(CNativeDBNode::kContent);
  ASSERT_NE(content, nullptr);
  ASSERT_EQ(content->Status(), "Ready");

  host_.modalSteps.push_back([this](IModalDialog& dialog) {
    EXPECT_EQ(RecordingHost::FieldOf(dialog, CTableDataDlg::kTabCaption).value, "Data");
    const PageField grid = RecordingHost::FieldOf(dialog, CTableDataDlg::kGrid);
    EXPECT_TRUE(grid.multiSelect);
    EXPECT_EQ(grid.rows.size(), 5u);
    EXPECT_NE(std::find(grid.columns.begin(), grid.columns.end(), "VOUSER"), grid.columns.end());
    EXPECT_FALSE(RecordingHost::FieldOf(dialog, CDeleteRecordsDlg::kDelete).enabled);
    EXPECT_FALSE(dialog.Press(CDeleteRecordsDlg::kDelete));
    // A selection of rows the list does not have changes nothing.
    EXPECT_FALSE(dialog.SetValue(CTableDataDlg::kGrid, "9"));
    EXPECT_FALSE(RecordingHost::FieldOf(dialog, CDeleteRecordsDlg::kDelete).enabled);

    const size_t quoted = RowOf(dialog, {"VOUSER", "NAME"}, {"ann", "o'brien"});
    const size_t bobA = RowOf(dialog, {"VOUSER", "NAME"}, {"bob", "a"});
    ASSERT_TRUE(dialog.SetValue(CTableDataDlg::kGrid, GridValue({quoted, bobA})));
    EXPECT_TRUE(RecordingHost::FieldOf(dialog, CDeleteRecordsDlg::kDelete).enabled);
    ASSERT_TRUE(dialog.Press(CDeleteRecordsDlg::kDelete));
    EXPECT_EQ(host_.MessageTexts(), std::vector<std::string>{"2 record(s) deleted."});
    EXPECT_EQ(RecordingHost::FieldOf(dialog, CTableDataDlg::kGrid).rows.size(), 3u);
    EXPECT_FALSE(RecordingHost::FieldOf(dialog, CDeleteRecordsDlg::kDelete).enabled);

    // A row deleted behind the dialog's back matches nothing: not counted.
    const size_t bobB = RowOf(dialog, {"VOUSER", "NAME"}, {"bob", "b"});
    ASSERT_TRUE(dialog.SetValue(CTableDataDlg::kGrid, GridValue({bobB})));
    RunSqlite(repository_, "DELETE FROM QUORVESK WHERE VOUSER = 'bob';");
    ASSERT_TRUE(dialog.Press(CDeleteRecordsDlg::kDelete));
    EXPECT_EQ(host_.MessageTexts().back(), "Error: Unable to delete the selected record(s).");
    EXPECT_TRUE(dialog.Press(CTableDataDlg::kClose));
    EXPECT_TRUE(dialog.Ended());
    EXPECT_EQ(dialog.Result(), 2);
  });
  ASSERT_EQ(Notify(*content, MMCN_DBLCLICK, 0, CCT_RESULT), E_NOTIMPL);
  EXPECT_EQ(host_.modalCaptions, std::vector<std::string>{"QUORVESK"});
  EXPECT_TRUE(host_.modalSteps.empty());
  // The key holding quotes was a value, not SQL: its look-alike stays.
  EXPECT_EQ(RunSqlite(repository_, "SELECT VOUSER || ':' || NAME FROM QUORVESK ORDER BY VOURI;"),
            "ann:a\nann:o'brien' OR '1'='1");
}

TEST_F(NativeDbFolder, ResetAsksFirstAndOnlyYesEmptiesTheLog) {
  ASSERT_NO_FATAL_FAILURE(Start());
  RunSqlite(repository_, "INSERT INTO QUORLOG (OPUSER, OP) VALUES ('ann', 'get'), ('bob', 'put');");
  const std::string before = RunSqlite(repository_, "SELECT COUNT(*) FROM QUORLOG;");
  ASSERT_NE(before, "0");
  CNativeDBNode node;
  CRepositoryDBItem* log = node.Item(CNativeDBNode::kLog);
  ASSERT_NE(log, nullptr);
  ASSERT_EQ(log->Status(), "Ready");

  host_.messageBoxAnswers = {IDNO, IDYES};
  host_.modalSteps.push_back([&](IModalDialog& dialog) {
    EXPECT_EQ(RecordingHost::FieldOf(dialog, CTableDataDlg::kGrid).rows.size(), std::stoul(before));
    EXPECT_FALSE(RecordingHost::FieldOf(dialog, CTableDataDlg::kGrid).multiSelect);
    ASSERT_TRUE(dialog.Press(CResetTableDlg::kReset));  // answered No
    ASSERT_EQ(host_.messageBoxes.size(), 1u);
    EXPECT_EQ(host_.messageBoxes[0].text, "Are you sure you want to delete every record of QUORLOG?");
    EXPECT_EQ(host_.messageBoxes[0].style & 0xF, MB_YESNO);
    EXPECT_EQ(RunSqlite(repository_, "SELECT COUNT(*) FROM QUORLOG;"), before);
    EXPECT_TRUE(RecordingHost::FieldOf(dialog, CResetTableDlg::kReset).enabled);

    ASSERT_TRUE(dialog.Press(CResetTableDlg::kReset));  // answered Yes
    EXPECT_EQ(host_.MessageTexts().back(), "QUORLOG reset.");
    EXPECT_TRUE(RecordingHost::FieldOf(dialog, CTableDataDlg::kGrid).rows.empty());
    EXPECT_FALSE(RecordingHost::FieldOf(dialog, CResetTableDlg::kReset).enabled);
    EXPECT_FALSE(dialog.Press(CResetTableDlg::kReset));
  });
  ASSERT_EQ(Notify(*log, MMCN_DBLCLICK, 0, CCT_RESULT), E_NOTIMPL);
  EXPECT_EQ(RunSqlite(repository_, "SELECT COUNT(*) FROM QUORLOG;"), "0");
}

TEST_F(NativeDbFolder, DeleteOnPostgresBindsTheKeys) {
  ASSERT_NO_FATAL_FAILURE(Start(Database::Postgres));
  if (IsSkipped()) return;
  const std::string psql = oledb::testing::PsqlCommand(instance_->Odbc());
  const std::string user = "nativedb-" + std::to_string(::getpid());
  auto run = [&](const std::string& sql) { return Capture(psql + " -c \"" + sql + "\" 2>&1"); };
  run("DELETE FROM quorvesk WHERE vouser = '" + user + "';");
  ASSERT_EQ(run("INSERT INTO quorvesk (vouser, name, vouri) VALUES ('" + user + "', 'a', '" + user + ":1'), ('" +
                user + "', 'it''s', '" + user + ":2'), ('" + user + "', 'b', '" + user + ":3');"),
            "");
  CNativeDBNode node;
  CRepositoryDBItem* content = node.Item(CNativeDBNode::kContent);
  ASSERT_NE(content, nullptr);
  ASSERT_EQ(content->Status(), "Ready");
  host_.modalSteps.push_back([&](IModalDialog& dialog) {
    const size_t quoted = RowOf(dialog, {"vouser", "name"}, {user, "it's"});
    const size_t a = RowOf(dialog, {"vouser", "name"}, {user, "a"});
    ASSERT_TRUE(dialog.SetValue(CTableDataDlg::kGrid, GridValue({quoted, a})));
    ASSERT_TRUE(dialog.Press(CDeleteRecordsDlg::kDelete));
    EXPECT_EQ(host_.MessageTexts(), std::vector<std::string>{"2 record(s) deleted."});
  });
  ASSERT_EQ(Notify(*content, MMCN_DBLCLICK, 0, CCT_RESULT), E_NOTIMPL);
  EXPECT_EQ(run("SELECT name FROM quorvesk WHERE vouser = '" + user + "' ORDER BY vouri;"), "b");
  run("DELETE FROM quorvesk WHERE vouser = '" + user + "';");
}

// ---- The dialogs on scratch tables ------------------------------------------------------

class TableDialogs : public snapin::testing::OfflineSnapinTest {
 protected:
  void SetUp() override {
    OfflineSnapinTest::SetUp();
    db_ = dir_.Path() / "scratch.db";
    file_ = dir_.Path() / "scratch.xml";
    std::ofstream(file_) << ConnectionFile(db_);
  }
  // Opens the scratch database after the tables were made.
  void Connect() { ASSERT_EQ(connection_.OpenFromFile(file_.string()), 1); }

  fs::path db_, file_;
  COleDbSetting connection_;
};

TEST_F(TableDialogs, TableWithoutPrimaryKeyIsNotDeletedRowByRow) {
  RunSqlite(db_, "CREATE TABLE nokey (a TEXT, b TEXT); INSERT INTO nokey VALUES ('x', '1'), ('x', '1'), ('y', '2');");
  ASSERT_NO_FATAL_FAILURE(Connect());
  CDeleteRecordsDlg dialog(connection_, "nokey");
  dialog.Open();
  ASSERT_EQ(dialog.Rows().size(), 3u);
  ASSERT_TRUE(dialog.SetValue(CTableDataDlg::kGrid, "0"));
  ASSERT_TRUE(dialog.Press(CDeleteRecordsDlg::kDelete));
  ASSERT_EQ(host_.messageBoxes.size(), 1u);
  EXPECT_EQ(host_.messageBoxes[0].text,
            "Error: The table nokey has no primary key; its records cannot be deleted one by one.");
  EXPECT_EQ(RunSqlite(db_, "SELECT COUNT(*) FROM nokey;"), "3");
}

TEST_F(TableDialogs, NullKeysAndRowsThatAreNotUniqueAreLeftAlone) {
  // SQLite lets a text primary key hold NULL more than once: such a row
  // cannot be told from its twin, so deleting it must change nothing.
  const std::string table = "odd \"name";
  RunSqlite(db_,
            "CREATE TABLE [odd \"name] (k TEXT PRIMARY KEY, v TEXT); INSERT INTO [odd \"name] VALUES (NULL, 'x'), "
            "(NULL, 'y'), ('', 'empty'), ('k1', 'one');");
  ASSERT_EQ(RunSqlite(db_, "SELECT COUNT(*) FROM [odd \"name];"), "4");
  ASSERT_NO_FATAL_FAILURE(Connect());
  CDeleteRecordsDlg dialog(connection_, table);
  EXPECT_EQ(dialog.Caption(), table);
  dialog.Open();
  ASSERT_EQ(dialog.Rows().size(), 4u);
  const size_t nullRow = RowOf(dialog, {"v"}, {"x"});
  ASSERT_TRUE(dialog.SetValue(CTableDataDlg::kGrid, GridValue({nullRow})));
  ASSERT_TRUE(dialog.Press(CDeleteRecordsDlg::kDelete));
  EXPECT_EQ(host_.MessageTexts().back(), "Error: Unable to delete the selected record(s).");
  EXPECT_EQ(RunSqlite(db_, "SELECT COUNT(*) FROM [" + table + "];"), "4");

  // An empty key is a value, not NULL: only that row goes.
  const size_t emptyRow = RowOf(dialog, {"v"}, {"empty"});
  ASSERT_TRUE(dialog.SetValue(CTableDataDlg::kGrid, GridValue({emptyRow})));
  ASSERT_TRUE(dialog.Press(CDeleteRecordsDlg::kDelete));
  EXPECT_EQ(host_.MessageTexts().back(), "1 record(s) deleted.");
  EXPECT_EQ(RunSqlite(db_, "SELECT group_concat(v, ',') FROM (SELECT v FROM [" + table + "] ORDER BY v);"), "one,x,y");
}

TEST_F(TableDialogs, ViewShowsEveryRowWholeAndCloseEndsWithTwo) {
  const std::string longText(300, 'z');
  std::string sql = "CREATE TABLE [Order Details] (id INTEGER PRIMARY KEY, note VARCHAR(10)); INSERT INTO [Order "
                    "Details] VALUES (1, '" + longText + "'), (2, NULL);";
  for (int i = 3; i <= 40; ++i) sql += "INSERT INTO [Order Details] (id) VALUES (" + std::to_string(i) + ");";
  RunSqlite(db_, sql);
  ASSERT_NO_FATAL_FAILURE(Connect());
  CTableDataDlg dialog(connection_, "Order Details");
  EXPECT_EQ(dialog.Caption(), "Order Details");
  dialog.Open();
  const PageField grid = RecordingHost::FieldOf(dialog, CTableDataDlg::kGrid);
  EXPECT_EQ(grid.columns, (std::vector<std::string>{"id", "note"}));
  ASSERT_EQ(grid.rows.size(), 40u);  // no row limit
  EXPECT_EQ(grid.rows[0][1], longText);
  EXPECT_EQ(grid.rows[1][1], "");
  EXPECT_FALSE(grid.multiSelect);
  EXPECT_TRUE(RecordingHost::FieldOf(dialog, CDeleteRecordsDlg::kDelete).id.empty());
  EXPECT_FALSE(dialog.SetValue(CTableDataDlg::kGrid, "0,1"));  // one row at a time here
  EXPECT_TRUE(dialog.SetValue(CTableDataDlg::kGrid, "1"));
  EXPECT_FALSE(dialog.Press("999"));
  EXPECT_FALSE(dialog.Ended());
  EXPECT_TRUE(dialog.Press(CTableDataDlg::kClose));
  EXPECT_EQ(dialog.Result(), 2);

  // A table that is not there leaves the list empty and says nothing.
  CResetTableDlg missing(connection_, "no such table");
  missing.Open();
  EXPECT_TRUE(missing.Rows().empty());
  EXPECT_TRUE(missing.ColumnNames().empty());
  EXPECT_TRUE(host_.messageBoxes.empty());
}

// ---- New Native DB ----------------------------------------------------------------------

class NewNativeDb : public snapin::testing::OfflineSnapinTest {
 protected:
  void SetUp() override {
    OfflineSnapinTest::SetUp();
    home_ = dir_.Path() / "home";
    fs::create_directories(home_ / "config");
    Module::SetHomeDir(home_.string());
    db_ = dir_.Path() / "repo.db";
    ASSERT_EQ(
        Capture("sqlite3 -batch '" + db_.string() + "' < '" + std::string(QUOR_SOURCE_DIR) + "/sql/sqlite.sql' 2>&1"),
        "");
  }
  void TearDown() override {
    Module::SetHomeDir("");
    OfflineSnapinTest::TearDown();
  }
  long NewNativeDbState(CNativeDBNode& node) {
    host_.ClearMenu();
    EXPECT_EQ(node.AddMenuItems(&host_, CCM_INSERTIONALLOWED_TOP, CCT_SCOPE), S_OK);
    return host_.menuItems.empty() ? -1 : host_.menuItems[0].flags;
  }
  // Fills the connection dialog with the repository database and presses OK.
  void DescribeRepository() {
    host_.modalSteps.push_back([this](IModalDialog& dialog) {
      ASSERT_TRUE(dialog.SetValue(CDataLinkDlg::kProvider, "MSDASQL.1"));
      ASSERT_TRUE(dialog.SetValue(CDataLinkDlg::kDataSource, "repo"));
      ASSERT_TRUE(dialog.SetValue(CDataLinkDlg::kExtendedProperties, "DRIVER={SQLite3};Database=" + db_.string()));
      ASSERT_TRUE(dialog.Press(CDataLinkDlg::kOk));
    });
  }

  fs::path home_, db_;
};

TEST_F(NewNativeDb, CancellingLeavesNoFileNoMessageAndTheCommandOffered) {
  CNativeDBNode node;
  EXPECT_EQ(node.Item(CNativeDBNode::kContent), nullptr);
  EXPECT_EQ(NewNativeDbState(node), MF_ENABLED);

  // The connection dialog cancelled.
  ASSERT_EQ(node.Command(ID_NEW_NATIVE_DB, CCT_SCOPE), S_OK);
  EXPECT_EQ(host_.modalCaptions.size(), 1u);
  // The connection described, the file name cancelled.
  DescribeRepository();
  host_.saveReplies.push_back({false, ""});
  ASSERT_EQ(node.Command(ID_NEW_NATIVE_DB, CCT_SCOPE), S_OK);
  ASSERT_EQ(host_.saveRequests.size(), 1u);
  EXPECT_EQ(fs::path(host_.saveRequests[0].folder), fs::path((home_ / "config").string() + "/"));

  EXPECT_TRUE(host_.messageBoxes.empty()) << host_.MessageTexts()[0];
  EXPECT_EQ(node.Item(CNativeDBNode::kContent), nullptr);
  EXPECT_TRUE(fs::is_empty(home_ / "config"));
  EXPECT_EQ(NewNativeDbState(node), MF_ENABLED);
}

TEST_F(NewNativeDb, WritesTheRepositoryFileAndGreysTheCommand) {
  CNativeDBNode node;
  DescribeRepository();
  const fs::path written = home_ / "config" / "repo.xml";
  host_.saveReplies.push_back({true, written.string()});
  ASSERT_EQ(node.Command(ID_NEW_NATIVE_DB, CCT_SCOPE), S_OK);
  ASSERT_TRUE(fs::exists(written));
  EXPECT_EQ(host_.MessageTexts(),
            std::vector<std::string>{"Native Database " + written.string() +
                                     " config file created.  Please, restart the QuorServer."});
  CRepositoryDBItem* item = node.Item(CNativeDBNode::kContent);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->ObjectName(), "VODB");
  EXPECT_EQ(item->Description(), "Vesk Objects");
  EXPECT_EQ(item->MaintenanceKind(), 0);
  EXPECT_EQ(item->Status(), "Table Not Found");  // it names no table
  EXPECT_EQ(NewNativeDbState(node), MF_GRAYED | MF_DISABLED);
  // A second command does nothing.
  ASSERT_EQ(node.Command(ID_NEW_NATIVE_DB, CCT_SCOPE), S_OK);
  EXPECT_EQ(host_.modalCaptions.size(), 1u);

  // The file is a repository definition: a folder made afterwards finds
  // its four tables ready.
  const std::string text = ReadAll(written);
  EXPECT_NE(text.find("<quorservice>VODB</quorservice>"), std::string::npos) << text;
  CNativeDBNode again;
  for (auto slot : {CNativeDBNode::kContent, CNativeDBNode::kResource, CNativeDBNode::kCollaboration,
                    CNativeDBNode::kLog}) {
    ASSERT_NE(again.Item(slot), nullptr);
    EXPECT_EQ(again.Item(slot)->Status(), "Ready") << again.Item(slot)->TableName();
  }
}

TEST_F(NewNativeDb, AnUnopenableRepositoryFileIsAConnectionError) {
  std::ofstream(home_ / "config" / "repo.xml")
      << ConnectionFile(dir_.Path() / "no-such-folder" / "repo.db", "VODB");
  CNativeDBNode node;
  ASSERT_NE(node.Item(CNativeDBNode::kLog), nullptr);
  EXPECT_EQ(node.Item(CNativeDBNode::kLog)->Status(), "Connection Error");
  ASSERT_EQ(host_.messageBoxes.size(), 4u);
  EXPECT_EQ(host_.messageBoxes[0].caption, "Native DB Connection Error");
  EXPECT_EQ(host_.messageBoxes[0].text, "QUORVESK");
  host_.messageBoxes.clear();
  node.Item(CNativeDBNode::kLog)->Maintain();
  EXPECT_EQ(host_.MessageTexts(), std::vector<std::string>{"Connection Error"});
}

}  // namespace
}  // namespace quor::admin::snapin
