// The console's Databases and Native DB folders in quor-console against a real
// quor-server with a SQLite repository and two SQLite "sales"/"hr" databases:
// connections listed, made through the connection dialog and removed; the
// database's objects listed; the unify-rule editor's rule used by the next
// Query; the repository's rows deleted and a table reset, checked in the
// database itself.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "console/tests/ConsoleRoad.h"
#include "testing/OutsideSql.h"

namespace quor::console::qt {
namespace {

namespace fs = std::filesystem;
using admin::testing::Call;
using admin::testing::CallOutcome;
using admin::testing::InstanceOptions;
using namespace testing;

void Choose(QWidget* dialog, const char* id, const std::string& option) {
  auto* combo = dialog->findChild<QComboBox*>(id);
  ASSERT_NE(combo, nullptr) << id;
  const int index = combo->findText(QString::fromStdString(option));
  ASSERT_GE(index, 0) << id << " offers no " << option;
  combo->setCurrentIndex(index);
  emit combo->activated(index);  // as a user's pick, also of the entry already chosen
}
QTreeWidget* Grid(QWidget* dialog, const char* id) { return dialog->findChild<QTreeWidget*>(id); }
// Double-clicks the grid's row whose column `column` reads `text`, from the
// event loop (it opens a dialog).
void ActivateLater(QWidget* dialog, const char* id, int column, const QString& text) {
  QTreeWidget* grid = Grid(dialog, id);
  ASSERT_NE(grid, nullptr) << id;
  for (int row = 0; row < grid->topLevelItemCount(); ++row) {
    QTreeWidgetItem* item = grid->topLevelItem(row);
    if (item->text(column) != text) continue;
    QTimer::singleShot(0, grid, [grid, item] { emit grid->itemActivated(item, 0); });
    return;
  }
  FAIL() << "no row " << text.toStdString() << " in " << id;
}
std::vector<std::string> Column(QTreeWidget* grid, int column) {
  std::vector<std::string> texts;
  for (int row = 0; grid && row < grid->topLevelItemCount(); ++row)
    texts.push_back(grid->topLevelItem(row)->text(column).toStdString());
  return texts;
}
int ColumnIndex(QTreeWidget* grid, const QString& header) {
  for (int column = 0; grid && column < grid->columnCount(); ++column)
    if (grid->headerItem()->text(column) == header) return column;
  return -1;
}

std::string Sqlite(const fs::path& db, const std::string& sql) {
  return oledb::testing::Capture("sqlite3 -batch '" + db.string() + "' \"" + sql + "\" 2>&1");
}

class ConsoleDatabases : public ConsoleRoad {
 protected:
  void StartWithDatabases(InstanceOptions options = {}) {
    sales_ = data_.Path() / "sales.db";
    hr_ = data_.Path() / "hr.db";
    Sqlite(sales_,
           "CREATE TABLE staff (id INTEGER PRIMARY KEY, name TEXT, dept TEXT); INSERT INTO staff VALUES (1, 'Ann', "
           "'x'); INSERT INTO staff VALUES (2, 'Bo', 'y'); CREATE TABLE orders (id INTEGER PRIMARY KEY, what TEXT); "
           "CREATE VIEW staff_names AS SELECT name FROM staff;");
    Sqlite(hr_,
           "CREATE TABLE staff (id INTEGER PRIMARY KEY, name TEXT, dept TEXT); INSERT INTO staff VALUES (1, 'Ann', "
           "'h'); INSERT INTO staff VALUES (5, 'Hal', 'h');");
    options.homeFiles.push_back({"config/sales.xml", Connection("sales", sales_)});
    options.homeFiles.push_back({"config/hr.xml", Connection("hr", hr_)});
    options.accounts.push_back({"alice", "alice-pw"});
    StartService(options);
    if (HasFatalFailure() || IsSkipped()) return;
    admin_ = instance_->SignIn("administrator", kAdminPassword);
    ASSERT_TRUE(admin_);
  }
  void TearDown() override {
    if (admin_) admin_->EndSession();
    ConsoleRoad::TearDown();
  }
  static std::string Connection(const std::string& dsn, const fs::path& db) {
    return "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>" + dsn +
           "</DataSource><InitialCatalog>main</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};Database=" +
           db.string() + "</ExtendedProperties></OLEDBSetting>";
  }
  QTreeWidgetItem* Folder(const QString& name) { return ChildNamed(window_->RootItem(), name); }
  std::string Repository(const std::string& sql) { return Sqlite(instance_->Dir() / "repository.db", sql); }

  soap::testing::TempDir data_;
  fs::path sales_, hr_;
  std::unique_ptr<admin::CVeltService> admin_;
};

#define QUOR_START_DATABASES(...)                 \
  do {                                            \
    StartWithDatabases(__VA_ARGS__);              \
    if (HasFatalFailure() || IsSkipped()) return; \
  } while (0)

TEST_F(ConsoleDatabases, ConnectionsAreListedMadeThroughTheDialogAndRemoved) {
  QUOR_START_DATABASES();
  ASSERT_NO_FATAL_FAILURE(SignIn());
  QTreeWidgetItem* databases = Folder("Databases");
  ASSERT_NE(databases, nullptr);
  databases->setExpanded(true);
  window_->ScopeTree()->setCurrentItem(databases);
  std::vector<std::string> shown = ChildTexts(databases);
  std::sort(shown.begin(), shown.end());
  EXPECT_EQ(shown, (std::vector<std::string>{"hr [main]", "sales [main]"})) << "the repository file is no connection";
  QTreeWidget* list = window_->ResultList();
  for (const std::string& status : RowTexts(list, 3)) EXPECT_EQ(status, "Ready");

  // A new connection to a third database, described in the dialog.
  const fs::path extra = data_.Path() / "extra.db";
  Sqlite(extra, "CREATE TABLE t (a INTEGER);");
  driver_.Then([&](QWidget* link) {
    ASSERT_EQ(link->windowTitle(), "Data Link Properties");
    Choose(link, "3001", "MSDASQL.1");
    Type(link, "3002", "extra");
    Type(link, "3003", "DRIVER={SQLite3};Database=" + extra.string());
    Type(link, "3004", "main");
    PressLater(link, "1");
  });
  driver_.Then([](QWidget* schema) {
    EXPECT_EQ(schema->windowTitle(), "Database Schema");
    Type(schema, "223", "main");
    PressLater(schema, "1");
  });
  driver_.Then([](QWidget* save) {
    Type(save, "223", "extra");
    PressLater(save, "1");
  });
  driver_.ThenMessageBox();
  driver_.ThenMessageBox();
  std::unique_ptr<QMenu> menu = window_->ScopeMenu(databases);
  QAction* add = ActionNamed(menu.get(), "&New Database Connection");
  ASSERT_NE(add, nullptr);
  add->trigger();
  ASSERT_TRUE(driver_.WaitDone());
  const std::vector<std::string> seen = driver_.Seen();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[seen.size() - 2], "Configuration files reloaded.");
  EXPECT_EQ(seen.back(), "New database added.  Please refresh the Databases node.");
  const fs::path file = instance_->Home() / "config" / "extra.xml";
  ASSERT_TRUE(fs::exists(file));
  std::string listed;
  EXPECT_GE(admin_->ListNames("get", "column", "MSDASQL.1", "", "", "", listed), 3) << admin_->FormatFault();
  EXPECT_NE(listed.find("extra"), std::string::npos) << "the service reloaded its configuration: " << listed;

  window_->ScopeTree()->setCurrentItem(databases);
  window_->RunRefresh();
  shown = ChildTexts(databases);
  EXPECT_EQ(std::count(shown.begin(), shown.end(), "extra [main]"), 1) << "listed once after a refresh";

  // Remove asks, then deletes the file; a refresh no longer lists it.
  QTreeWidgetItem* item = ChildNamed(databases, "extra [main]");
  ASSERT_NE(item, nullptr);
  driver_.ThenMessageBox(QMessageBox::Yes);
  driver_.ThenMessageBox();
  menu = window_->ScopeMenu(item);
  QAction* remove = ActionNamed(menu.get(), "&Remove");
  ASSERT_NE(remove, nullptr);
  remove->trigger();
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_FALSE(fs::exists(file));
  window_->ScopeTree()->setCurrentItem(databases);
  window_->RunRefresh();
  shown = ChildTexts(databases);
  EXPECT_EQ(std::count(shown.begin(), shown.end(), "extra [main]"), 0);
}

TEST_F(ConsoleDatabases, ObjectsAreListedAndTheUnifyRuleEditorsRuleIsUsedByTheNextQuery) {
  QUOR_START_DATABASES();
  ASSERT_NO_FATAL_FAILURE(SignIn());
  QTreeWidgetItem* databases = Folder("Databases");
  ASSERT_NE(databases, nullptr);
  databases->setExpanded(true);
  QTreeWidgetItem* sales = ChildNamed(databases, "sales [main]");
  ASSERT_NE(sales, nullptr);
  sales->setExpanded(true);
  EXPECT_EQ(ChildTexts(sales), (std::vector<std::string>{"Tables", "Views", "Stored Procedures", "Alias", "Synonym"}));
  window_->ScopeTree()->setCurrentItem(ChildNamed(sales, "Views"));
  EXPECT_EQ(RowTexts(window_->ResultList()), std::vector<std::string>{"staff_names"});
  window_->ScopeTree()->setCurrentItem(ChildNamed(sales, "Tables"));
  QTreeWidget* list = window_->ResultList();
  std::vector<std::string> tables = RowTexts(list);
  std::sort(tables.begin(), tables.end());
  EXPECT_EQ(tables, (std::vector<std::string>{"orders", "staff"}));

  // The editor on sales.staff: its first rows, then "name" mapped to
  // "person" on the source and on a destination hr.staff, saved.
  std::vector<std::string> dataNames;
  const auto mapName = [this] {
    driver_.Then([](QWidget* target) {
      ASSERT_EQ(target->windowTitle(), "Target Field");
      auto* name = target->findChild<QLineEdit*>("235");
      ASSERT_NE(name, nullptr);
      name->clear();
      QTest::keyClicks(name, "person");
      PressLater(target, "1");
    });
  };
  driver_.Then([&](QWidget* editor) {
    QTreeWidget* data = Grid(editor, "218");
    ASSERT_NE(data, nullptr);
    dataNames = Column(data, ColumnIndex(data, "name"));
    ActivateLater(editor, "502", 0, "name");
  });
  mapName();
  driver_.Then([](QWidget* editor) { PressLater(editor, "501"); });
  driver_.ThenMessageBox();
  driver_.Then([](QWidget* editor) {
    Press(editor, "507");
    Choose(editor, "509", "MSDASQL.1");
    Choose(editor, "511", "hr");
    Choose(editor, "513", "main");
    Choose(editor, "515", "staff");
    Choose(editor, "504", "Left Inner Join");
    ActivateLater(editor, "502", 0, "name");
  });
  mapName();
  driver_.Then([](QWidget* editor) { PressLater(editor, "501"); });
  driver_.ThenMessageBox();
  driver_.Then([](QWidget* editor) { PressLater(editor, "230"); });
  QTreeWidgetItem* staff = RowNamed(list, "staff");
  ASSERT_NE(staff, nullptr);
  emit list->itemActivated(staff, 0);
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_EQ(dataNames, (std::vector<std::string>{"Ann", "Bo"}));
  ASSERT_TRUE(fs::exists(instance_->Home() / "unifier" / "staff.xml"));

  // The service takes the rule on reload: only the ids both sides have.
  ASSERT_TRUE(Call(*admin_, "ReLoadUnifyTable").ok);
  const auto target = [](const char* dsn) {
    return "<target><provider>MSDASQL.1</provider><dsn>" + std::string(dsn) +
           "</dsn><catalog>main</catalog><table>staff</table></target>";
  };
  const CallOutcome unified = Call(
      *admin_, "Query",
      {{"sqlstmt", "<query><get><content>record</content>" + target("sales") + target("hr") + "</get></query>"}});
  ASSERT_TRUE(unified.ok) << unified.fault;
  EXPECT_NE(unified.decoded.find("name=\"person\""), std::string::npos) << unified.decoded;
  EXPECT_NE(unified.decoded.find("Ann"), std::string::npos) << unified.decoded;
  EXPECT_EQ(unified.decoded.find("Hal"), std::string::npos) << "a left inner join drops hr's own rows: "
                                                              << unified.decoded;

  // Reopened, the editor shows the source page's mapping.
  std::vector<std::string> targets;
  driver_.Then([&](QWidget* editor) {
    QTreeWidget* columns = Grid(editor, "502");
    targets = Column(columns, ColumnIndex(columns, "Target Name"));
    EXPECT_TRUE(editor->grab().save(QStringLiteral(QUOR_BUILD_DIR "/console-unify-editor.png")));
    PressLater(editor, "230");
  });
  emit list->itemActivated(RowNamed(list, "staff"), 0);
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_NE(std::find(targets.begin(), targets.end(), "person"), targets.end());
}

TEST_F(ConsoleDatabases, NativeDbDeletesExactlyTheSelectedRowsAndResetsTheLogAfterAsking) {
  InstanceOptions options;
  options.logLevel = "Detail";
  QUOR_START_DATABASES(options);
  auto alice = instance_->SignIn("alice", "alice-pw");
  ASSERT_TRUE(alice);
  for (const char* name : {"keep", "gone", "it's"})
    ASSERT_TRUE(Call(*alice, "PutVOContent", {{"name", name}, {"content", "c"}}).ok) << name;
  alice->EndSession();
  ASSERT_NE(Repository("SELECT COUNT(*) FROM QUORLOG;"), "0");
  ASSERT_NO_FATAL_FAILURE(SignIn());
  QTreeWidgetItem* native = Folder("Native DB");
  ASSERT_NE(native, nullptr);
  window_->ScopeTree()->setCurrentItem(native);
  QTreeWidget* list = window_->ResultList();
  std::vector<std::string> tables = RowTexts(list, 2);
  std::sort(tables.begin(), tables.end());
  EXPECT_EQ(tables, (std::vector<std::string>{"QUORCOLLAB", "QUORLOG", "QUORVESK", "QUORVESKRES"}));
  for (const std::string& status : RowTexts(list, 3)) EXPECT_EQ(status, "Ready");

  // Delete two of alice's three objects, one with a quote in its key.
  std::string deleted;
  driver_.Then([&](QWidget* dialog) {
    QTreeWidget* rows = Grid(dialog, "218");
    ASSERT_NE(rows, nullptr);
    const int name = ColumnIndex(rows, "NAME");
    ASSERT_GE(name, 0);
    for (int row = 0; row < rows->topLevelItemCount(); ++row) {
      const QString text = rows->topLevelItem(row)->text(name);
      rows->topLevelItem(row)->setSelected(text == "gone" || text == "it's");
    }
    PressLater(dialog, "228");
  });
  driver_.ThenMessageBox();
  driver_.Then([](QWidget* dialog) { PressLater(dialog, "230"); });
  emit list->itemActivated(RowNamed(list, "VODB"), 0);
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_NE(std::find(driver_.Seen().begin(), driver_.Seen().end(), "2 record(s) deleted."), driver_.Seen().end());
  EXPECT_EQ(Repository("SELECT NAME FROM QUORVESK ORDER BY NAME;"), "keep");

  // Reset asks: No keeps the log, Yes empties it.
  driver_.Then([](QWidget* dialog) { PressLater(dialog, "501"); });
  driver_.ThenMessageBox(QMessageBox::No);
  driver_.Then([](QWidget* dialog) { PressLater(dialog, "501"); });
  driver_.ThenMessageBox(QMessageBox::Yes);
  driver_.ThenMessageBox();
  driver_.Then([](QWidget* dialog) { PressLater(dialog, "230"); });
  emit list->itemActivated(RowNamed(list, "LogDB"), 0);
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_NE(std::find(driver_.Seen().begin(), driver_.Seen().end(), "QUORLOG reset."), driver_.Seen().end());
  EXPECT_EQ(Repository("SELECT COUNT(*) FROM QUORLOG;"), "0");
}

}  // namespace
}  // namespace quor::console::qt
