// The service data viewer, the unify-rule editor and the target field dialog
// against the recording host and a real server with two SQLite data sources:
// what the viewer shows comes through the service, a rule the editor saves is
// one the running service applies after ReLoadUnifyTable, and the files are
// checked on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "admin/snapin/ServiceDataDlg.h"
#include "admin/snapin/SnapInModule.h"
#include "admin/snapin/TargetFieldDialog.h"
#include "admin/snapin/UnifyRuleEditor.h"
#include "testing/OutsideSql.h"
#include "testing/RecordingHost.h"
#include "testing/ServerInstance.h"
#include "admin/tests/SnapinFixture.h"
#include "platform/xml/dom.h"

namespace quor::admin::snapin {
namespace {

namespace fs = std::filesystem;
using namespace console;
using admin::testing::Call;
using admin::testing::CallOutcome;
using admin::testing::ColumnTexts;
using admin::testing::InstanceOptions;
using console::testing::RecordingHost;
using Step = std::function<void(IModalDialog&)>;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string Value(const IModalDialog& dialog, std::string_view id) { return RecordingHost::FieldOf(dialog, id).value; }

// The row of a grid whose first cell is `first`; empty when there is none.
std::vector<std::string> RowOf(const IModalDialog& dialog, std::string_view grid, std::string_view first) {
  for (const std::vector<std::string>& row : RecordingHost::FieldOf(dialog, grid).rows)
    if (!row.empty() && row[0] == first) return row;
  return {};
}

std::string RowIndexOf(const IModalDialog& dialog, std::string_view grid, std::string_view first) {
  const auto rows = RecordingHost::FieldOf(dialog, grid).rows;
  for (size_t i = 0; i < rows.size(); ++i)
    if (!rows[i].empty() && rows[i][0] == first) return std::to_string(i);
  return "none";
}


class UnifyEditorTest : public testing::SnapinServerTest {
 protected:
  void SetUp() override {
    sales_ = MakeSqlite("sales",
                        "CREATE TABLE staff (id INTEGER PRIMARY KEY, name TEXT NOT NULL, dept TEXT);"
                        "INSERT INTO staff VALUES (1, 'Ann', 'x'), (2, 'Bob', 'y'), (3, 'Cy', NULL), (4, 'Dee', 'z'),"
                        "(5, 'Eve', 'x'), (6, 'Fay', 'y'), (7, 'Gus', 'z');");
    hr_ = MakeSqlite("hr",
                     "CREATE TABLE staff (id INTEGER PRIMARY KEY, name TEXT NOT NULL, dept TEXT);"
                     "INSERT INTO staff VALUES (1, 'Ann', 'h'), (9, 'Hal', 'h');");
    InstanceOptions options;
    // A rule of another source, so that the service has read a unifier
    // folder that is not empty when it first unifies.
    options.homeFiles = {{"config/sales.xml", testing::SqliteConnectionFile("sales", sales_)},
                         {"config/hr.xml", testing::SqliteConnectionFile("hr", hr_)},
                         {"unifier/other.xml",
                          "<unifyrule><Provider>MSDASQL.1</Provider><Dsn>elsewhere</Dsn><Catalog>main</Catalog>"
                          "<unify>Full Outer Join</unify><table name=\"other\"/></unifyrule>"}};
    ASSERT_NO_FATAL_FAILURE(StartServer(options));
    if (IsSkipped()) return;
    Module::SetService(client_.get());
    rules_ = instance_->Home() / "unifier";
  }

  std::string Target(const std::string& dsn) const {
    return "<target><provider>MSDASQL.1</provider><dsn>" + dsn +
           "</dsn><catalog>main</catalog><table>staff</table></target>";
  }
  CallOutcome QueryBoth(bool unify) {
    return Call(*client_, "Query",
                {{"sqlstmt", "<query><get><content>record</content>" + Target("sales") + Target("hr") +
                                 (unify ? "" : "<nounify/>") + "</get></query>"}});
  }
  int OpenEditor(Step step, const std::string& table = "staff") {
    host_.modalSteps.push_front(std::move(step));
    return RunUnifyRuleEditor("MSDASQL.1", "sales", "main", table);
  }
  // The next target field dialog: its name typed and its type chosen, then OK.
  void QueueTarget(std::string name, std::string type) {
    host_.modalSteps.push_back([name, type](IModalDialog& dialog) {
      EXPECT_EQ(dialog.Caption(), "Target Field");
      EXPECT_TRUE(dialog.SetValue(CTargetFieldDialog::kName, name));
      EXPECT_TRUE(dialog.SetValue(CTargetFieldDialog::kType, type));
      EXPECT_TRUE(dialog.Press(CTargetFieldDialog::kOk));
    });
  }
  // Maps one row of the editor through the target field dialog.
  static void MapRow(IModalDialog& editor, std::string_view column) {
    ASSERT_TRUE(editor.SetValue(CUnifyRuleEditor::kColumns, RowIndexOf(editor, CUnifyRuleEditor::kColumns, column)));
    ASSERT_TRUE(editor.Press(CUnifyRuleEditor::kColumns));
  }

  fs::path rules_;
  std::string sales_, hr_;
};

// ---- The viewer -----------------------------------------------------------------

TEST_F(UnifyEditorTest, TheViewerShowsTheColumnsAndAtMostTheRowCountOfRecords) {
  CServiceDataDlg viewer("MSDASQL.1", "sales", "main", "staff");
  host_.modalSteps.push_back([](IModalDialog& dialog) {
    EXPECT_EQ(dialog.Caption(), "staff");
    EXPECT_EQ(Value(dialog, CServiceDataDlg::kDataCaption), "Data (First 5 rows)");
    const PageField grid = RecordingHost::FieldOf(dialog, CServiceDataDlg::kList);
    EXPECT_EQ(grid.kind, FieldKind::Grid);
    EXPECT_EQ(grid.columns, (std::vector<std::string>{"id", "name", "dept"}));
    ASSERT_EQ(grid.rows.size(), 5u);
    EXPECT_EQ(grid.rows[0], (std::vector<std::string>{"1", "Ann", "x"}));
    EXPECT_EQ(grid.rows[2], (std::vector<std::string>{"3", "Cy", ""}));
    EXPECT_TRUE(dialog.SetValue(CServiceDataDlg::kList, "4"));
    EXPECT_FALSE(dialog.SetValue(CServiceDataDlg::kList, "5"));
    EXPECT_TRUE(dialog.Press(CServiceDataDlg::kClose));
  });
  EXPECT_EQ(viewer.DoModal(), IDCANCEL);
  EXPECT_EQ(viewer.CellText("name", 3), "Dee");
  EXPECT_EQ(viewer.CellText("Name", 3), "");  // headers match exactly
  EXPECT_EQ(viewer.CellText("name", 5), "");
  EXPECT_EQ(host_.modalCaptions, std::vector<std::string>{"staff"});

  client_->SetRowCount(1);
  CServiceDataDlg one("MSDASQL.1", "hr", "main", "staff");
  host_.modalSteps.push_back([](IModalDialog& dialog) {
    EXPECT_EQ(Value(dialog, CServiceDataDlg::kDataCaption), "Data (First 1 row)");
    EXPECT_EQ(RecordingHost::FieldOf(dialog, CServiceDataDlg::kList).rows.size(), 1u);
    dialog.Cancel();
  });
  EXPECT_EQ(one.DoModal(), IDCANCEL);
  EXPECT_EQ(one.Records(), (std::vector<std::vector<std::string>>{{"1", "Ann", "h"}}));

  // A table the source does not have: no columns, no rows, nothing shown.
  CServiceDataDlg missing("MSDASQL.1", "sales", "main", "absent");
  EXPECT_EQ(missing.DoModal(), IDCANCEL);
  EXPECT_TRUE(missing.Columns().empty());
  EXPECT_TRUE(missing.Records().empty());
  EXPECT_TRUE(host_.messageBoxes.empty());
}

// ---- The editor -----------------------------------------------------------------

TEST_F(UnifyEditorTest, ANewRuleSavedAtOnceHoldsTheFiveSourceChildrenAndNoPattern) {
  const fs::path file = rules_ / "staff.xml";
  ASSERT_FALSE(fs::exists(file));
  host_.messageBoxAnswers = {IDNO, IDYES};
  EXPECT_EQ(OpenEditor([&](IModalDialog& editor) {
              EXPECT_EQ(editor.Caption(), "staff");
              EXPECT_EQ(Value(editor, CServiceDataDlg::kDataCaption), "Data (First 5 rows)");
              EXPECT_EQ(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kDestination).options,
                        std::vector<std::string>{"Default"});
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kUnify), "Full Outer Join");
              EXPECT_EQ(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kUnify).options.size(), 10u);
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kProvider), "MSDASQL.1");
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kDsn), "sales");
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kTable), "staff");
              // The source is the table opened: its keys cannot change.
              for (std::string_view id : {CUnifyRuleEditor::kProvider, CUnifyRuleEditor::kDsn,
                                          CUnifyRuleEditor::kCatalog, CUnifyRuleEditor::kTable})
                EXPECT_FALSE(RecordingHost::FieldOf(editor, id).enabled) << id;
              EXPECT_FALSE(editor.SetValue(CUnifyRuleEditor::kProvider, "MSDASQL.1"));
              EXPECT_FALSE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kDelete).enabled);
              const PageField columns = RecordingHost::FieldOf(editor, CUnifyRuleEditor::kColumns);
              EXPECT_EQ(columns.columns, (std::vector<std::string>{"Original Name", "Original Type", "Target Name",
                                                                   "Target Type"}));
              ASSERT_EQ(columns.rows.size(), 3u);
              EXPECT_EQ(columns.rows[1][0], "name");
              EXPECT_FALSE(columns.rows[1][1].empty());  // the type the service reports
              // Nothing mapped on the source: the service would not apply
              // the rule, and No to the warning keeps it unsaved.
              EXPECT_TRUE(editor.Press(CUnifyRuleEditor::kSave));
              EXPECT_FALSE(fs::exists(file));
              EXPECT_TRUE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kSave).enabled);
              EXPECT_FALSE(editor.Ended());
              EXPECT_TRUE(editor.Press(CUnifyRuleEditor::kSave));
              EXPECT_FALSE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kSave).enabled);
              EXPECT_TRUE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kDelete).enabled);
              EXPECT_TRUE(editor.Press(CServiceDataDlg::kClose));
            }),
            IDCANCEL);
  EXPECT_EQ(ReadAll(file),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><unifyrule><Provider>MSDASQL.1</Provider><Dsn>sales</Dsn>"
            "<Catalog>main</Catalog><unify>Full Outer Join</unify><table name=\"staff\"/></unifyrule>");
  const std::string warning =
      "The unify rule of staff maps no column on its Default page, so the service will not apply it.  Save it "
      "anyway?";
  EXPECT_EQ(host_.MessageTexts(),
            (std::vector<std::string>{warning, warning,
                                      "Unifer staff saved as " + fs::path(file).lexically_normal().string() + "."}));
  EXPECT_EQ(host_.messageBoxes[0].style & 0xFF, MB_ICONEXCLAMATION | MB_YESNO);
}

TEST_F(UnifyEditorTest, ASavedRuleIsAppliedByTheServiceAfterReload) {
  // Without a rule the two tables are joined in full and nothing is called
  // "person"; the service has read its (empty) unifier folder now.
  const CallOutcome before = QueryBoth(true);
  ASSERT_TRUE(before.ok) << before.fault;
  EXPECT_EQ(ColumnTexts(before.decoded, "id").size(), 8u) << before.decoded;
  EXPECT_TRUE(ColumnTexts(before.decoded, "person").empty()) << before.decoded;

  std::string nameType;
  // The destination first, while New Destination is enabled; then one
  // column mapped on each side.
  QueueTarget("person", "DBTYPE_WSTR");
  QueueTarget("person", "DBTYPE_WSTR");
  EXPECT_EQ(OpenEditor([&](IModalDialog& editor) {
              nameType = RowOf(editor, CUnifyRuleEditor::kColumns, "name").at(1);
              ASSERT_TRUE(editor.Press(CUnifyRuleEditor::kNewDestination));
              EXPECT_EQ(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kDestination).options,
                        (std::vector<std::string>{"Default", "Destination 1"}));
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kDestination), "Destination 1");
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kUnify), "Left Inner Join");
              EXPECT_TRUE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kProvider).enabled);
              // Provider, then DSN, then catalog, then table, each list filled
              // by the one before.
              ASSERT_TRUE(editor.SetValue(CUnifyRuleEditor::kProvider, "MSDASQL.1"));
              const PageField dsns = RecordingHost::FieldOf(editor, CUnifyRuleEditor::kDsn);
              EXPECT_EQ(dsns.value, "");
              EXPECT_NE(std::find(dsns.options.begin(), dsns.options.end(), "hr"), dsns.options.end());
              EXPECT_NE(std::find(dsns.options.begin(), dsns.options.end(), "sales"), dsns.options.end());
              EXPECT_TRUE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kCatalog).options.empty());
              EXPECT_FALSE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kCatalog).enabled);
              ASSERT_TRUE(editor.SetValue(CUnifyRuleEditor::kDsn, "hr"));
              EXPECT_EQ(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kCatalog).options,
                        std::vector<std::string>{"main"});
              ASSERT_TRUE(editor.SetValue(CUnifyRuleEditor::kCatalog, "main"));
              EXPECT_EQ(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kTable).options,
                        std::vector<std::string>{"staff"});
              EXPECT_FALSE(editor.SetValue(CUnifyRuleEditor::kTable, "other"));
              ASSERT_TRUE(editor.SetValue(CUnifyRuleEditor::kTable, "staff"));
              EXPECT_TRUE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kSave).enabled);
              EXPECT_FALSE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kNewDestination).enabled);
              ASSERT_NO_FATAL_FAILURE(MapRow(editor, "name"));
              EXPECT_EQ(RowOf(editor, CUnifyRuleEditor::kColumns, "name"),
                        (std::vector<std::string>{"name", nameType, "person", "DBTYPE_WSTR"}));
              // Back to the source: its own (empty) mapping, then one made.
              ASSERT_TRUE(editor.SetValue(CUnifyRuleEditor::kDestination, "Default"));
              EXPECT_EQ(RowOf(editor, CUnifyRuleEditor::kColumns, "name").at(2), "");
              EXPECT_FALSE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kProvider).enabled);
              ASSERT_NO_FATAL_FAILURE(MapRow(editor, "name"));
              ASSERT_TRUE(editor.Press(CUnifyRuleEditor::kSave));
              ASSERT_TRUE(editor.Press(CServiceDataDlg::kClose));
            }),
            IDCANCEL);
  EXPECT_TRUE(host_.modalSteps.empty());
  const std::string pattern = "<pattern><lid type=\"DBTYPE_WSTR\">person</lid><rid type=\"" + nameType +
                              "\">name</rid></pattern>";
  EXPECT_EQ(ReadAll(rules_ / "staff.xml"),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><unifyrule><Provider>MSDASQL.1</Provider><Dsn>sales</Dsn>"
            "<Catalog>main</Catalog><unify>Full Outer Join</unify><table name=\"staff\">" +
                pattern +
                "</table><destination><Provider>MSDASQL.1</Provider><Dsn>hr</Dsn><Catalog>main</Catalog>"
                "<unify>Left Inner Join</unify><table name=\"staff\">" +
                pattern + "</table></destination></unifyrule>");

  // The service sees the new file only once it reloads its unify tables.
  const CallOutcome stale = QueryBoth(true);
  ASSERT_TRUE(stale.ok) << stale.fault;
  EXPECT_EQ(ColumnTexts(stale.decoded, "id"), ColumnTexts(before.decoded, "id")) << stale.decoded;
  EXPECT_TRUE(ColumnTexts(stale.decoded, "person").empty()) << stale.decoded;

  ASSERT_TRUE(Call(*client_, "ReLoadUnifyTable").ok);
  const CallOutcome unified = QueryBoth(true);
  ASSERT_TRUE(unified.ok) << unified.fault;
  // The destination's left inner join keeps the ids both sides have, with
  // the source's "name" under its target name.
  EXPECT_EQ(ColumnTexts(unified.decoded, "id"), std::vector<std::string>{"1"}) << unified.decoded;
  EXPECT_EQ(ColumnTexts(unified.decoded, "person"), std::vector<std::string>{"Ann"}) << unified.decoded;
  const CallOutcome apart = QueryBoth(false);
  ASSERT_TRUE(apart.ok) << apart.fault;
  EXPECT_TRUE(ColumnTexts(apart.decoded, "person").empty()) << apart.decoded;
  EXPECT_EQ(ColumnTexts(apart.decoded, "name").size(), 9u) << apart.decoded;

  // Opened again, the editor shows both pages' mappings and has nothing to save.
  host_.messageBoxes.clear();
  EXPECT_EQ(OpenEditor([&](IModalDialog& editor) {
              EXPECT_EQ(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kDestination).options,
                        (std::vector<std::string>{"Default", "Destination 1"}));
              EXPECT_FALSE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kSave).enabled);
              EXPECT_TRUE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kDelete).enabled);
              EXPECT_EQ(RowOf(editor, CUnifyRuleEditor::kColumns, "name"),
                        (std::vector<std::string>{"name", nameType, "person", "DBTYPE_WSTR"}));
              EXPECT_EQ(RowOf(editor, CUnifyRuleEditor::kColumns, "id").at(2), "");
              ASSERT_TRUE(editor.SetValue(CUnifyRuleEditor::kDestination, "Destination 1"));
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kProvider), "MSDASQL.1");
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kDsn), "hr");
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kCatalog), "main");
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kTable), "staff");
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kUnify), "Left Inner Join");
              EXPECT_TRUE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kTable).enabled);
              EXPECT_EQ(RowOf(editor, CUnifyRuleEditor::kColumns, "name").at(2), "person");
              EXPECT_TRUE(editor.Press(CServiceDataDlg::kClose));
            }),
            IDCANCEL);
  EXPECT_TRUE(host_.messageBoxes.empty());  // nothing changed: no question

  // A destination can be saved only once all four of its keys are chosen.
  host_.messageBoxAnswers = {IDNO};
  EXPECT_EQ(OpenEditor([&](IModalDialog& editor) {
              ASSERT_TRUE(editor.SetValue(CUnifyRuleEditor::kDestination, "Destination 1"));
              ASSERT_TRUE(editor.SetValue(CUnifyRuleEditor::kProvider, "MSDASQL.1"));
              EXPECT_TRUE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kTable).options.empty());
              EXPECT_FALSE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kTable).enabled);
              EXPECT_FALSE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kSave).enabled);
              ASSERT_TRUE(editor.SetValue(CUnifyRuleEditor::kDsn, "sales"));
              ASSERT_TRUE(editor.SetValue(CUnifyRuleEditor::kCatalog, "main"));
              EXPECT_FALSE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kSave).enabled);
              ASSERT_TRUE(editor.SetValue(CUnifyRuleEditor::kTable, "staff"));
              EXPECT_TRUE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kSave).enabled);
              EXPECT_TRUE(editor.Press(CServiceDataDlg::kClose));
            }),
            IDCANCEL);
  EXPECT_EQ(host_.MessageTexts(), std::vector<std::string>{"Save Unify Rule Configuration?"});
  EXPECT_NE(ReadAll(rules_ / "staff.xml").find("<Dsn>hr</Dsn>"), std::string::npos);  // No: left as it was
}

TEST_F(UnifyEditorTest, AClearedTargetIsLeftOutAndCloseAsksBeforeChangesAreLost) {
  const fs::path file = rules_ / "staff.xml";
  QueueTarget("who", "DBTYPE_STR");
  ASSERT_EQ(OpenEditor([&](IModalDialog& editor) {
              ASSERT_NO_FATAL_FAILURE(MapRow(editor, "name"));
              ASSERT_TRUE(editor.Press(CUnifyRuleEditor::kSave));
              ASSERT_TRUE(editor.Press(CServiceDataDlg::kClose));
            }),
            IDCANCEL);
  const std::string saved = ReadAll(file);
  EXPECT_NE(saved.find("<lid type=\"DBTYPE_STR\">who</lid>"), std::string::npos) << saved;

  // A change, and No to the question: the dialog ends and the file stays.
  host_.modalSteps.push_back([](IModalDialog& target) { EXPECT_TRUE(target.Press(CTargetFieldDialog::kClear)); });
  host_.messageBoxAnswers = {IDNO};
  host_.messageBoxes.clear();
  ASSERT_EQ(OpenEditor([&](IModalDialog& editor) {
              ASSERT_NO_FATAL_FAILURE(MapRow(editor, "name"));
              EXPECT_EQ(RowOf(editor, CUnifyRuleEditor::kColumns, "name").at(2), "");
              EXPECT_TRUE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kSave).enabled);
              ASSERT_TRUE(editor.Press(CServiceDataDlg::kClose));
              EXPECT_TRUE(editor.Ended());
            }),
            IDCANCEL);
  EXPECT_EQ(host_.MessageTexts(), std::vector<std::string>{"Save Unify Rule Configuration?"});
  EXPECT_EQ(ReadAll(file), saved);

  // The same with Yes: the cleared column is gone from the file.
  host_.modalSteps.push_back([](IModalDialog& target) { EXPECT_TRUE(target.Press(CTargetFieldDialog::kClear)); });
  host_.messageBoxAnswers = {IDYES};
  ASSERT_EQ(OpenEditor([&](IModalDialog& editor) {
              ASSERT_NO_FATAL_FAILURE(MapRow(editor, "name"));
              editor.Cancel();  // Escape closes as Close does
            }),
            IDCANCEL);
  EXPECT_EQ(ReadAll(file),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><unifyrule><Provider>MSDASQL.1</Provider><Dsn>sales</Dsn>"
            "<Catalog>main</Catalog><unify>Full Outer Join</unify><table name=\"staff\"/></unifyrule>");
}

TEST_F(UnifyEditorTest, PagesComeByPositionAndOnlyListedColumnsAreWrittenBack) {
  const fs::path file = rules_ / "staff.xml";
  std::ofstream(file)
      << "<?xml version=\"1.0\"?><unifyrule><Provider>MSDASQL.1</Provider><Dsn>sales</Dsn><Catalog>main</Catalog>"
         "<unify>Full Outer Join</unify><table name=\"staff\"><pattern><lid type=\"DBTYPE_I4\">key</lid>"
         "<rid type=\"DBTYPE_I4\">id</rid></pattern></table>"
         "<destination><Provider>MSDASQL.1</Provider><Dsn>one</Dsn><Schema>s1</Schema><unify>Cross Join</unify>"
         "<table name=\"t1\"/></destination>"
         "<destination><Provider>MSDASQL.1</Provider><Dsn>hr</Dsn><Catalog>main</Catalog>"
         "<unify>min inner join</unify><table name=\"staff\"><pattern><lid type=\"DBTYPE_STR\">who</lid>"
         "<rid type=\"DBTYPE_STR\">Name</rid></pattern><pattern><lid type=\"DBTYPE_STR\">gone</lid>"
         "<rid type=\"DBTYPE_STR\">retired</rid></pattern><pattern/></table></destination></unifyrule>";
  QueueTarget("section", "DBTYPE_WSTR");
  ASSERT_EQ(OpenEditor([&](IModalDialog& editor) {
              EXPECT_EQ(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kDestination).options,
                        (std::vector<std::string>{"Default", "Destination 1", "Destination 2"}));
              EXPECT_EQ(RowOf(editor, CUnifyRuleEditor::kColumns, "id").at(2), "key");
              ASSERT_TRUE(editor.SetValue(CUnifyRuleEditor::kDestination, "Destination 2"));
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kDsn), "hr");
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kUnify), "Min Inner Join");
              // "Name" is no column of the source ("name" is): nothing shown.
              for (const std::string column : {"id", "name", "dept"})
                EXPECT_EQ(RowOf(editor, CUnifyRuleEditor::kColumns, column).at(2), "") << column;
              ASSERT_TRUE(editor.SetValue(CUnifyRuleEditor::kDestination, "Destination 1"));
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kDsn), "one");
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kCatalog), "s1");
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kTable), "t1");
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kUnify), "Cross Join");
              ASSERT_TRUE(editor.SetValue(CUnifyRuleEditor::kDestination, "Destination 2"));
              ASSERT_NO_FATAL_FAILURE(MapRow(editor, "dept"));
              ASSERT_TRUE(editor.Press(CUnifyRuleEditor::kSave));
              ASSERT_TRUE(editor.Press(CServiceDataDlg::kClose));
            }),
            IDCANCEL);
  const std::string saved = ReadAll(file);
  // The first destination as it was (a source the service does not list
  // keeps the schema name), the second with its listed mapping alone.
  EXPECT_NE(saved.find("<destination><Provider>MSDASQL.1</Provider><Dsn>one</Dsn><Schema>s1</Schema>"
                       "<unify>Cross Join</unify><table name=\"t1\"/></destination>"),
            std::string::npos)
      << saved;
  EXPECT_NE(saved.find("<destination><Provider>MSDASQL.1</Provider><Dsn>hr</Dsn><Catalog>main</Catalog>"
                       "<unify>Min Inner Join</unify><table name=\"staff\"><pattern><lid type=\"DBTYPE_WSTR\">"
                       "section</lid><rid type=\"DBTYPE_STR\">dept</rid></pattern></table></destination></unifyrule>"),
            std::string::npos)
      << saved;
  EXPECT_NE(saved.find("<rid type=\"DBTYPE_I4\">id</rid>"), std::string::npos) << saved;
}

TEST_F(UnifyEditorTest, AFailedSaveKeepsTheEditorOpen) {
  // A folder where the file should be: nothing can be written there.
  fs::create_directories(rules_ / "staff.xml");
  // Each save is warned of first (nothing is mapped) and accepted.
  host_.messageBoxAnswers = {IDOK, IDYES, IDOK, IDYES, IDYES, IDOK, IDNO};
  EXPECT_EQ(OpenEditor([&](IModalDialog& editor) {
              ASSERT_TRUE(editor.Press(CUnifyRuleEditor::kSave));
              EXPECT_FALSE(editor.Ended());
              EXPECT_TRUE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kSave).enabled);
              ASSERT_TRUE(editor.Press(CServiceDataDlg::kClose));
              EXPECT_FALSE(editor.Ended());  // Yes, but the save failed
            }),
            IDCANCEL);  // then No
  const std::vector<std::string> texts = host_.MessageTexts();
  ASSERT_EQ(texts.size(), 7u);
  const std::string failure = "Unable to save " + (rules_ / "staff.xml").lexically_normal().string() + ".";
  EXPECT_EQ(texts[2], failure);
  EXPECT_EQ(texts[3], "Save Unify Rule Configuration?");
  EXPECT_EQ(texts[5], failure);
  EXPECT_EQ(texts[6], "Save Unify Rule Configuration?");
  EXPECT_TRUE(fs::is_directory(rules_ / "staff.xml"));
}

TEST_F(UnifyEditorTest, DeleteAsksAndRemovesTheFile) {
  const fs::path file = rules_ / "staff.xml";
  std::ofstream(file) << "<?xml version=\"1.0\"?><unifyrule><Provider>MSDASQL.1</Provider><Dsn>sales</Dsn>"
                         "<Catalog>main</Catalog><unify>Equiv Join</unify><table name=\"staff\"/></unifyrule>";
  host_.messageBoxAnswers = {IDNO, IDYES};
  ASSERT_EQ(OpenEditor([&](IModalDialog& editor) {
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kUnify), "Equiv Join");
              ASSERT_TRUE(editor.Press(CUnifyRuleEditor::kDelete));
              EXPECT_FALSE(editor.Ended());
              EXPECT_TRUE(fs::exists(file));
              ASSERT_TRUE(editor.Press(CUnifyRuleEditor::kDelete));
              EXPECT_TRUE(editor.Ended());
            }),
            IDCANCEL);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(host_.MessageTexts(), (std::vector<std::string>{"Delete Unify Rule Configuration?",
                                                            "Delete Unify Rule Configuration?",
                                                            "Unify Rule Configuration Deleted."}));
}

TEST_F(UnifyEditorTest, AFileInAnotherLayoutIsReportedAndNotEditedInPlace) {
  const fs::path file = rules_ / "staff.xml";
  const std::string foreign = "<unifyrule><Dsn>sales</Dsn><table name=\"staff\"/></unifyrule>";
  std::ofstream(file) << foreign;
  ASSERT_EQ(OpenEditor([&](IModalDialog& editor) {
              EXPECT_EQ(Value(editor, CUnifyRuleEditor::kUnify), "Full Outer Join");
              EXPECT_TRUE(RecordingHost::FieldOf(editor, CUnifyRuleEditor::kDelete).enabled);
              editor.Cancel();  // Save is offered (the default answer is Yes)...
            }),
            IDCANCEL);
  ASSERT_EQ(host_.messageBoxes.size(), 4u);
  EXPECT_NE(host_.messageBoxes[0].text.find("no unify rule this editor can read"), std::string::npos);
  EXPECT_EQ(host_.messageBoxes[1].text, "Save Unify Rule Configuration?");
  EXPECT_NE(host_.messageBoxes[2].text.find("maps no column"), std::string::npos);
  // ... and only then does the new rule replace the file.
  EXPECT_NE(ReadAll(file).find("<unify>Full Outer Join</unify>"), std::string::npos);
}

TEST_F(UnifyEditorTest, TheCatalogElementIsNamedAsTheServiceComparesIt) {
  // Sources the service describes take the name of their listing ("main" is
  // an initial catalog); others are named by their provider.
  const auto saveNew = [&](std::string provider, std::string table) {
    host_.modalSteps.push_back([](IModalDialog& editor) {
      EXPECT_TRUE(editor.Press(CUnifyRuleEditor::kSave));
      EXPECT_TRUE(editor.Press(CServiceDataDlg::kClose));
    });
    EXPECT_EQ(RunUnifyRuleEditor(provider, "nowhere", "cat", table), IDCANCEL);
    return ReadAll(rules_ / (table + ".xml"));
  };
  EXPECT_NE(saveNew("SQLOLEDB.1", "t1").find("<Provider>SQLOLEDB.1</Provider><Dsn>nowhere</Dsn><Catalog>cat</Catalog>"),
            std::string::npos);
  EXPECT_NE(saveNew("OraOLEDB.Oracle.1", "t2").find("<Provider>OraOLEDB.Oracle.1</Provider><Dsn>nowhere</Dsn>"
                                                    "<Schema>cat</Schema>"),
            std::string::npos);
}

TEST_F(UnifyEditorTest, TableNamesThatLeaveTheFolderAreRefused) {
  for (const std::string table : {"../staff", "a/b", "a\\b", ".", "..", "x..y", ""}) {
    host_.messageBoxes.clear();
    EXPECT_EQ(RunUnifyRuleEditor("MSDASQL.1", "sales", "main", table), IDCANCEL) << table;
    EXPECT_TRUE(host_.modalCaptions.empty()) << table;
    ASSERT_EQ(host_.messageBoxes.size(), 1u) << table;
    EXPECT_EQ(host_.messageBoxes[0].style & 0xF0, MB_ICONHAND) << table;
  }
  // The editor made directly refuses the same way, before anything is shown.
  host_.messageBoxes.clear();
  CUnifyRuleEditor direct("MSDASQL.1", "sales", "main", "../staff");
  EXPECT_EQ(direct.FilePath(), "");
  EXPECT_EQ(direct.DoModal(), IDCANCEL);
  EXPECT_EQ(host_.MessageTexts(),
            std::vector<std::string>{"The table name \"../staff\" cannot name a unify rule file."});
  EXPECT_FALSE(fs::exists(instance_->Home() / "staff.xml"));
  EXPECT_EQ(std::distance(fs::directory_iterator(rules_), fs::directory_iterator()), 1);  // other.xml alone
  EXPECT_TRUE(CUnifyRuleEditor::IsFileSafeTableName("staff.2024 (old)"));
  EXPECT_EQ(CUnifyRuleEditor::RuleFilePath("/srv/home", "t"), "/srv/home/unifier/t.xml");
  EXPECT_EQ(CUnifyRuleEditor::RuleFilePath("C:\\home\\", "t"), "C:/home/unifier/t.xml");
  EXPECT_EQ(CUnifyRuleEditor::RuleFilePath("/srv/home", "../t"), "");
}

// ---- The target field dialog ------------------------------------------------------

class TargetFieldTest : public testing::HostedDialogTest {};

TEST_F(TargetFieldTest, TheTypeListIsSortedAndMatchesTheInitialType) {
  const std::vector<std::string>& names = CTargetFieldDialog::TypeNames();
  ASSERT_EQ(names.size(), 23u);
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  EXPECT_EQ(names.front(), "DBTYPE_BOOL");
  EXPECT_EQ(names.back(), "DBTYPE_WSTR");

  const auto shown = [](std::string_view type) {
    CTargetFieldDialog dialog("n", type);
    dialog.Open();
    const PageField field = RecordingHost::FieldOf(dialog, CTargetFieldDialog::kType);
    EXPECT_EQ(field.options, CTargetFieldDialog::TypeNames());
    return field.value;
  };
  EXPECT_EQ(shown("DBTYPE_WSTR"), "DBTYPE_WSTR");
  EXPECT_EQ(shown("dbtype_dbtime"), "DBTYPE_DBTIME");
  EXPECT_EQ(shown("DBTYPE_I"), "DBTYPE_I1");
  EXPECT_EQ(shown("DBTYPE_BOOL"), "DBTYPE_BOOL");  // found when the search comes back to the first
  EXPECT_EQ(shown("VARCHAR"), "DBTYPE_BOOL");
  EXPECT_EQ(shown(""), "DBTYPE_BOOL");
}

TEST_F(TargetFieldTest, OkNeedsANameRetryStaysAndCancelEnds) {
  CTargetFieldDialog dialog("", "DBTYPE_I4");
  host_.messageBoxAnswers = {IDRETRY, IDCANCEL};
  host_.modalSteps.push_back([](IModalDialog& d) {
    EXPECT_EQ(d.Caption(), "Target Field");
    EXPECT_TRUE(d.Press(CTargetFieldDialog::kOk));
    EXPECT_FALSE(d.Ended());  // Retry
    EXPECT_FALSE(d.SetValue(CTargetFieldDialog::kType, "DBTYPE_NONE"));
    EXPECT_TRUE(d.Press(CTargetFieldDialog::kOk));
    EXPECT_TRUE(d.Ended());  // Cancel
  });
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  EXPECT_EQ(host_.MessageTexts(), (std::vector<std::string>{"Target Name is required.", "Target Name is required."}));
  EXPECT_EQ(host_.messageBoxes[0].style & 0xF, MB_RETRYCANCEL);
  EXPECT_EQ(dialog.TargetType(), "DBTYPE_I4");  // unchanged

  // A name is taken as typed, blanks and all, and cut at 260 characters.
  CTargetFieldDialog named("old", "DBTYPE_I4");
  host_.modalSteps.push_back([](IModalDialog& d) {
    EXPECT_EQ(Value(d, CTargetFieldDialog::kName), "old");
    EXPECT_TRUE(d.SetValue(CTargetFieldDialog::kName, " new name "));
    EXPECT_TRUE(d.SetValue(CTargetFieldDialog::kType, "DBTYPE_STR"));
    EXPECT_TRUE(d.Press(CTargetFieldDialog::kOk));
  });
  EXPECT_EQ(named.DoModal(), IDOK);
  EXPECT_EQ(named.TargetName(), " new name ");
  EXPECT_EQ(named.TargetType(), "DBTYPE_STR");
  CTargetFieldDialog longName(std::string(300, 'x'), "DBTYPE_STR");
  EXPECT_EQ(longName.TargetName().size(), CTargetFieldDialog::kMaxChars);

  // Clear: OK with neither name nor type; Cancel keeps the initial values.
  CTargetFieldDialog cleared("n", "DBTYPE_STR");
  host_.modalSteps.push_back([](IModalDialog& d) { EXPECT_TRUE(d.Press(CTargetFieldDialog::kClear)); });
  EXPECT_EQ(cleared.DoModal(), IDOK);
  EXPECT_EQ(cleared.TargetName(), "");
  EXPECT_EQ(cleared.TargetType(), "");
  CTargetFieldDialog cancelled("n", "DBTYPE_STR");
  host_.modalSteps.push_back([](IModalDialog& d) {
    EXPECT_TRUE(d.SetValue(CTargetFieldDialog::kName, "other"));
    EXPECT_TRUE(d.Press(CTargetFieldDialog::kCancel));
  });
  EXPECT_EQ(cancelled.DoModal(), IDCANCEL);
  EXPECT_EQ(cancelled.TargetName(), "n");
}

}  // namespace
}  // namespace quor::admin::snapin
