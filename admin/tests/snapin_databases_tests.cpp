// The Databases folder, its connection items and their object folders
// against the recording host and a real server: connections are the files of
// HomeDir/config without a service role, each tested through the service; a
// connection added through the connection dialog is a file the service loads
// on ReLoadConfig, and Remove deletes the file only when asked to.
#include <gtest/gtest.h>


#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "admin/VeltService.h"
#include "admin/snapin/DataLinkDialog.h"
#include "admin/snapin/DatabasesNode.h"
#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/Resources.h"
#include "admin/snapin/SnapInModule.h"
#include "admin/snapin/UnifyRuleNode.h"
#include "testing/OutsideSql.h"
#include "testing/ServerInstance.h"
#include "admin/tests/SnapinFixture.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"

namespace quor::admin::snapin {
namespace {

namespace fs = std::filesystem;
using namespace console;
using admin::testing::InstanceOptions;
using console::testing::RecordedProgress;

std::string ConnectionFile(std::string_view dsn, std::string_view catalog, const std::string& odbc) {
  std::string file = "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>" + std::string(dsn) + "</DataSource>";
  if (!catalog.empty()) file += "<InitialCatalog>" + std::string(catalog) + "</InitialCatalog>";
  return file + "<ExtendedProperties>" + admin::testing::XmlText(odbc) + "</ExtendedProperties></OLEDBSetting>";
}

// The element texts under a connection file's root, by name.
std::map<std::string, std::string> FileElements(const fs::path& path) {
  std::map<std::string, std::string> texts;
  auto document = xml::Document::Create();
  if (!document->load(path.string()) || !document->documentElement()) return texts;
  for (const xml::NodePtr& child : document->documentElement()->childNodes()) texts[child->nodeName()] = child->text();
  return texts;
}

class DatabasesFolder : public testing::SnapinServerTest {
 protected:
  static std::string Odbc(const std::string& file) { return "DRIVER={SQLite3};Database=" + file; }

  // Starts the server with the sales database and `extra` files in config/,
  // signs in, and sets up the snap-in signed out with the client as its
  // service.
  void StartWith(std::vector<std::pair<std::string, std::string>> extra = {}) {
    sales_ = MakeSqlite("sales",
                        "CREATE TABLE customers (id INTEGER PRIMARY KEY, name TEXT); "
                        "CREATE TABLE orders (id INTEGER PRIMARY KEY, customer INTEGER, total REAL); "
                        "CREATE VIEW big_orders AS SELECT * FROM orders WHERE total > 100;");
    InstanceOptions options;
    options.homeFiles = {{"config/sales.xml", ConnectionFile("sales", "main", Odbc(sales_))}};
    for (auto& file : extra) options.homeFiles.push_back(std::move(file));
    ASSERT_NO_FATAL_FAILURE(StartSnapin(options));
    if (IsSkipped()) return;
    Module::SetService(client_.get());
    Reset();
  }
  void Reset() {
    host_.messageBoxes.clear();
    host_.progress.clear();
    host_.scopeItems.clear();
    host_.scopeDeletions.clear();
    host_.modalCaptions.clear();
  }

  // A text format of a node's data object.
  std::string Text(CSnapInItem& node, std::string_view format) {
    std::vector<uint8_t> bytes;
    EXPECT_EQ(DataOf(node, CCT_SCOPE)->GetDataHere(format, bytes), S_OK) << format;
    return TextFromWideBytes(bytes);
  }

  // The display names of the connections listed.
  static std::vector<std::string> Names(const CDatabasesNode& node) {
    std::vector<std::string> names;
    for (const auto& item : node.Items()) names.push_back(item->DisplayName());
    return names;
  }
  static std::vector<std::string> RowNames(const CUnifyRuleNode& folder) {
    std::vector<std::string> names;
    for (const auto& item : folder.Items()) names.push_back(item->Name());
    return names;
  }
  // Without the tables other tests make and drop meanwhile in the shared
  // PostgreSQL database, each named with its process number after a '_'.
  static std::vector<std::string> WithoutScratch(std::vector<std::string> names) {
    std::erase_if(names, [](const std::string& name) {
      const size_t cut = name.rfind('_');
      return cut != std::string::npos && text::IsAsciiDigits(std::string_view(name).substr(cut + 1));
    });
    return names;
  }
  // The names the service gives for a kind, split as the folders split them.
  std::vector<std::string> ServiceNames(std::string_view content, std::string_view dsn, std::string_view catalog) {
    std::string list;
    EXPECT_GE(client_->ListNames("get", content, "MSDASQL.1", dsn, catalog, "", list), 0) << client_->FaultText();
    return CUnifyRuleNode::SplitNames(list);
  }
  // The scope items inserted under `parent`, by text on request.
  std::vector<CSnapInItem*> InsertedUnder(ScopeHandle parent) const {
    std::vector<CSnapInItem*> nodes;
    for (const ScopeItem& item : host_.scopeItems)
      if (item.relativeId == parent) nodes.push_back(reinterpret_cast<CSnapInItem*>(item.param));
    return nodes;
  }

  std::string sales_;
};

TEST_F(DatabasesFolder, ListsReachableConnectionsWithTheirFoldersAndNeverTheRepository) {
  ASSERT_NO_FATAL_FAILURE(StartWith());
  if (IsSkipped()) return;
  ASSERT_TRUE(fs::exists(instance_->Home() / "config" / "repository.xml"));

  CDatabasesNode databases;
  ASSERT_EQ(Names(databases), std::vector<std::string>{"sales [main]"});
  EXPECT_TRUE(host_.messageBoxes.empty());
  CDatabaseNode& sales = *databases.Items()[0];
  const std::string path = (instance_->Home() / "config" / "sales.xml").string();
  const std::vector<std::string> columns = {"MSDASQL.1", "sales", "main", "Ready", path};
  for (int column = 0; column < 5; ++column) EXPECT_EQ(sales.GetResultPaneColInfo(column), columns[column]);

  // The connecting dialog while the service tested the connection.
  std::vector<std::string> steps;
  for (const RecordedProgress& step : host_.progress)
    steps.push_back(step.kind == RecordedProgress::Kind::Begin ? "begin " + step.message
                    : step.kind == RecordedProgress::Kind::End ? "end"
                                                                : std::to_string(step.position));
  EXPECT_EQ(steps, (std::vector<std::string>{"begin Database: sales [main]", "10", "40", "50", "60", "70", "80", "90",
                                             "100", "end"}));

  // Shown: the five columns and one row per connection.
  ASSERT_EQ(Notify(databases, MMCN_SHOW, 1), S_OK);
  ASSERT_EQ(host_.columns.size(), 5u);
  const std::vector<std::pair<std::string, int>> wanted = {
      {"Provider", 100}, {"DSN", 100}, {"Catalog/Schema", 100}, {"Status", 300}, {"Configuration File", 300}};
  for (size_t i = 0; i < wanted.size(); ++i) {
    EXPECT_EQ(host_.columns[i].title, wanted[i].first);
    EXPECT_EQ(host_.columns[i].width, wanted[i].second);
  }
  ASSERT_EQ(host_.resultItems.size(), 1u);
  EXPECT_EQ(host_.resultItems[0].param, sales.CookieValue());
  ASSERT_EQ(Notify(databases, MMCN_SELECT, 1), S_OK);
  EXPECT_TRUE(host_.VerbEnabled(MMC_VERB_REFRESH));
  EXPECT_FALSE(host_.VerbEnabled(MMC_VERB_PROPERTIES));

  // Expanded: the connection once, then its five folders with their images.
  ASSERT_EQ(Expand(databases, 500), S_OK);
  ASSERT_EQ(InsertedUnder(500), std::vector<CSnapInItem*>{&sales});
  ASSERT_EQ(Expand(databases, 500), S_OK);
  EXPECT_EQ(InsertedUnder(500).size(), 1u) << "a second expansion adds nothing";
  ASSERT_EQ(Expand(sales, 600), S_OK);
  const std::vector<CSnapInItem*> folders = InsertedUnder(600);
  ASSERT_EQ(folders.size(), 5u);
  const std::vector<std::string> names = {"Tables", "Views", "Stored Procedures", "Alias", "Synonym"};
  const std::vector<int> images = {3, 5, 7, 19, 21};
  for (size_t i = 0; i < folders.size(); ++i) {
    EXPECT_EQ(folders[i]->DisplayName(), names[i]);
    ScopeItem info;
    info.mask = SDI_IMAGE | SDI_OPENIMAGE | SDI_STR;
    folders[i]->GetScopePaneInfo(info);
    EXPECT_EQ(info.image, images[i]) << names[i];
    EXPECT_EQ(info.openImage, images[i]) << names[i];
    EXPECT_EQ(info.text, names[i]);
  }

  // What the data objects name.
  EXPECT_EQ(Text(databases, CCF_SZNODETYPE), "9DA4C7DE-AA6C-4BB9-B32B-E61B92F62FEA");
  EXPECT_EQ(Text(databases, CCF_DISPLAY_NAME), "Databases");
  EXPECT_EQ(Text(sales, CCF_SZNODETYPE), "377A339D-B763-4F92-8818-344F7C3DC24F");
  EXPECT_EQ(Text(sales, CCF_DISPLAY_NAME), "Database");
  EXPECT_EQ(Text(*folders[1], CCF_SZNODETYPE), "0CFF68D3-F538-472F-88C3-4FD02D1857F1");
  EXPECT_EQ(Text(*folders[1], CCF_DISPLAY_NAME), "Tables");
  ASSERT_FALSE(sales.Folders()[0]->Items().empty());
  CUnifyTableItem& row = *sales.Folders()[0]->Items()[0];
  EXPECT_EQ(Text(row, CCF_SZNODETYPE), "BDBD40C5-D470-4AEE-9DF0-D0F8372288EA");
  EXPECT_EQ(Text(row, CCF_DISPLAY_NAME), "Table");

  // The connection itself shows one column and no rows of its own.
  host_.ClearResult();
  ASSERT_EQ(Notify(sales, MMCN_SHOW, 1), S_OK);
  ASSERT_EQ(host_.columns.size(), 1u);
  EXPECT_EQ(host_.columns[0].title, "Objects");
  EXPECT_EQ(host_.columns[0].width, 200);
  EXPECT_TRUE(host_.resultItems.empty());

  // Menus: New Database Connection on the folder, Remove on a connection.
  host_.ClearMenu();
  ASSERT_EQ(databases.AddMenuItems(&host_, CCM_INSERTIONALLOWED_TOP, CCT_SCOPE), S_OK);
  ASSERT_EQ(host_.menuItems.size(), 1u);
  EXPECT_EQ(host_.menuItems[0].commandId, ID_NEW_DATABASE_CONNECTION);
  host_.ClearMenu();
  ASSERT_EQ(sales.AddMenuItems(&host_, CCM_INSERTIONALLOWED_TOP, CCT_SCOPE), S_OK);
  ASSERT_EQ(host_.menuItems.size(), 1u);
  EXPECT_EQ(host_.menuItems[0].commandId, ID_REMOVE);
}

TEST_F(DatabasesFolder, UnreachableOrMalformedConnectionsAreReportedAndLeftOut) {
  ASSERT_NO_FATAL_FAILURE(
      StartWith({{"config/lost.xml",
                  ConnectionFile("lost", "main",
                                 Odbc((fs::temp_directory_path() / "no-such-folder-q" / "x.db").string()))},
                 {"config/other.xml", "<OLEDBSetting><quorservice>AUDIT</quorservice><Provider>MSDASQL.1</Provider>"
                                      "<DataSource>audit</DataSource></OLEDBSetting>"}}));
  if (IsSkipped()) return;
  // Files the service would refuse to start with, dropped in while it runs.
  const fs::path config = instance_->Home() / "config";
  std::ofstream(config / "notxml.xml") << "this is no XML";
  std::ofstream(config / "noprovider.xml") << "<OLEDBSetting><DataSource>sales</DataSource></OLEDBSetting>";
  CDatabasesNode databases;
  EXPECT_EQ(Names(databases), std::vector<std::string>{"sales [main]"});
  const std::vector<std::string> errors = Errors();
  ASSERT_EQ(errors.size(), 3u) << ::testing::PrintToString(host_.MessageTexts());
  EXPECT_EQ(host_.messageBoxes.size(), 3u);
  // In the order the folder lists the files: lost, noprovider, notxml.
  EXPECT_TRUE(errors[0].starts_with("Error: ")) << errors[0];
  EXPECT_NE(errors[0], "Error: Unknown Error");
  const std::string folder = config.string() + "/";
  EXPECT_EQ(errors[1], "Error: " + folder + "noprovider.xml is not a valid connection file.");
  EXPECT_EQ(errors[2], "Error: " + folder + "notxml.xml is not a valid connection file.");

  // The failure is told once per build: a refresh tells it again.
  host_.messageBoxes.clear();
  ASSERT_EQ(Notify(databases, MMCN_REFRESH, 0, CCT_SCOPE, 0), S_OK);
  EXPECT_EQ(Errors().size(), 3u);
  EXPECT_EQ(Names(databases), std::vector<std::string>{"sales [main]"});
}

TEST_F(DatabasesFolder, DisplayNameCarriesTheCatalogOrSchemaWhenThereIsOne) {
  EXPECT_EQ(CDatabaseNode::MakeDisplayName("ORCL", "SCOTT"), "ORCL [SCOTT]");
  EXPECT_EQ(CDatabaseNode::MakeDisplayName("sales", ""), "sales");
}

TEST_F(DatabasesFolder, ObjectFoldersListTheServiceNamesAndOnlyTablesOpenTheEditor) {
  ASSERT_NO_FATAL_FAILURE(StartWith());
  if (IsSkipped()) return;
  CDatabasesNode databases;
  ASSERT_EQ(databases.Items().size(), 1u);
  const auto& folders = databases.Items()[0]->Folders();
  ASSERT_EQ(folders.size(), 5u);
  CUnifyRuleNode& tables = *folders[0];
  CUnifyRuleNode& views = *folders[1];

  const std::vector<std::string> tableNames = RowNames(tables);
  EXPECT_EQ(tableNames, ServiceNames("column", "sales", "main"));
  EXPECT_NE(std::find(tableNames.begin(), tableNames.end(), "customers"), tableNames.end());
  EXPECT_NE(std::find(tableNames.begin(), tableNames.end(), "orders"), tableNames.end());
  EXPECT_EQ(RowNames(views), std::vector<std::string>{"big_orders"});
  EXPECT_EQ(RowNames(views), ServiceNames("view", "sales", "main"));

  // Tables shown: the description, the five columns, one row per table.
  ASSERT_EQ(Notify(tables, MMCN_SHOW, 1), S_OK);
  ASSERT_FALSE(host_.descriptionBar.empty());
  EXPECT_EQ(host_.descriptionBar.back(), "[To edit the unify rule, double click at the table name.]");
  const std::vector<std::pair<std::string, int>> wanted = {
      {"Name", 200}, {"Provider", 100}, {"DSN", 100}, {"Catalog/Schema", 100}, {"Description", 200}};
  ASSERT_EQ(host_.columns.size(), wanted.size());
  for (size_t i = 0; i < wanted.size(); ++i) {
    EXPECT_EQ(host_.columns[i].title, wanted[i].first);
    EXPECT_EQ(host_.columns[i].width, wanted[i].second);
  }
  ASSERT_EQ(host_.resultItems.size(), tableNames.size());
  auto* first = reinterpret_cast<CUnifyTableItem*>(host_.resultItems[0].param);
  EXPECT_EQ(first->GetResultPaneColInfo(0), tableNames[0]);
  EXPECT_EQ(first->GetResultPaneColInfo(1), "MSDASQL.1");
  EXPECT_EQ(first->GetResultPaneColInfo(2), "sales");
  EXPECT_EQ(first->GetResultPaneColInfo(3), "main");
  EXPECT_EQ(first->GetResultPaneColInfo(4), "");
  EXPECT_EQ(host_.resultItems[0].image, 4);
  ASSERT_EQ(Notify(tables, MMCN_SHOW, 0), S_OK);
  EXPECT_TRUE(host_.resultItems.empty());
  EXPECT_EQ(Notify(tables, MMCN_EXPAND, 1), S_OK);
  EXPECT_EQ(Notify(tables, MMCN_SELECT, 1), E_NOTIMPL);

  // A table row opens the editor (cancelled here: no step); a view row does not.
  host_.modalCaptions.clear();
  EXPECT_EQ(Notify(*tables.Items()[0], MMCN_DBLCLICK, 0, CCT_RESULT), E_NOTIMPL);
  EXPECT_EQ(host_.modalCaptions.size(), 1u);
  EXPECT_EQ(Notify(*views.Items()[0], MMCN_DBLCLICK, 0, CCT_RESULT), E_NOTIMPL);
  EXPECT_EQ(host_.modalCaptions.size(), 1u);

  // Views shown: no description, the view's image.
  host_.ClearResult();
  ASSERT_EQ(Notify(views, MMCN_SHOW, 1), S_OK);
  EXPECT_EQ(host_.descriptionBar.back(), "");
  ASSERT_EQ(host_.resultItems.size(), 1u);
  EXPECT_EQ(host_.resultItems[0].image, 6);

  // A kind in another case lists tables but opens nothing.
  CUnifyRuleNode lower("tables", "MSDASQL.1", "sales", "main");
  EXPECT_EQ(RowNames(lower), tableNames);
  ASSERT_FALSE(lower.Items().empty());
  EXPECT_EQ(Notify(*lower.Items()[0], MMCN_DBLCLICK, 0, CCT_RESULT), E_NOTIMPL);
  EXPECT_EQ(host_.modalCaptions.size(), 1u);

  // A connection the service does not know gives an empty folder, silently.
  host_.messageBoxes.clear();
  CUnifyRuleNode unknown("Tables", "MSDASQL.1", "nowhere", "none");
  EXPECT_TRUE(unknown.Items().empty());
  EXPECT_TRUE(host_.messageBoxes.empty());
}

TEST(UnifyRuleNames, SplitLikeTheFolders) {
  using V = std::vector<std::string>;
  EXPECT_EQ(CUnifyRuleNode::SplitNames("a,b,c"), (V{"a", "b", "c"}));
  EXPECT_EQ(CUnifyRuleNode::SplitNames(""), V{});
  EXPECT_EQ(CUnifyRuleNode::SplitNames("a,"), V{"a"});
  // A leading comma: the whole answer is one name.
  EXPECT_EQ(CUnifyRuleNode::SplitNames(",a,b"), V{",a,b"});
  // An empty place: the rest from the second comma on is one name.
  EXPECT_EQ(CUnifyRuleNode::SplitNames("a,,b,c"), (V{"a", ",b,c"}));
  EXPECT_EQ(CUnifyRuleNode::ContentOf("Stored Procedures"), "procedure");
  EXPECT_EQ(CUnifyRuleNode::ContentOf("tables"), "column");
  EXPECT_EQ(CUnifyRuleNode::ItemImageOf("Synonym"), 22);
  EXPECT_EQ(CUnifyRuleNode::ItemImageOf("Alias"), 20);
}

TEST_F(DatabasesFolder, NewConnectionIsWrittenReloadedAndListedOnceAfterRefresh) {
  ASSERT_NO_FATAL_FAILURE(StartWith());
  if (IsSkipped()) return;
  const std::string ledger = MakeSqlite("ledger", "CREATE TABLE entries (id INTEGER PRIMARY KEY, amount REAL);");
  CDatabasesNode databases;
  ASSERT_EQ(Expand(databases, 500), S_OK);
  ASSERT_EQ(Notify(databases, MMCN_SHOW, 1), S_OK);
  Reset();

  const fs::path file = instance_->Home() / "config" / "ledger.xml";
  host_.modalSteps.push_back([&](IModalDialog& dialog) {
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kProvider, "MSDASQL.1"));
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kDataSource, "ledger"));
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kExtendedProperties, Odbc(ledger)));
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kUserName, "clerk"));
    EXPECT_TRUE(dialog.Press(CDataLinkDlg::kOk));
  });
  // SQLite has no schemas: the administrator leaves the name empty.
  host_.inputReplies.push_back({true, ""});
  host_.saveReplies.push_back({true, file.string()});
  ASSERT_EQ(Command(databases, ID_NEW_DATABASE_CONNECTION), S_OK);

  ASSERT_EQ(host_.inputRequests.size(), 1u);
  EXPECT_EQ(host_.inputRequests[0].caption, "Database Schema");
  EXPECT_EQ(host_.inputRequests[0].prompt, "Schema Name:");
  EXPECT_EQ(host_.inputRequests[0].initial, "CLERK");
  ASSERT_EQ(host_.saveRequests.size(), 1u);
  EXPECT_EQ(fs::path(host_.saveRequests[0].folder), fs::path((instance_->Home() / "config").string() + "/"));
  EXPECT_EQ(host_.MessageTexts(),
            (std::vector<std::string>{"Configuration files reloaded.",
                                      "New database added.  Please refresh the Databases node."}));
  const std::map<std::string, std::string> written = FileElements(file);
  EXPECT_EQ(written.count("quorservice"), 0u);
  EXPECT_EQ(written.count("table"), 0u);
  EXPECT_EQ(written.at("Provider"), "MSDASQL.1");
  EXPECT_EQ(written.at("DataSource"), "ledger");
  EXPECT_EQ(written.count("Schema"), 0u);
  EXPECT_EQ(written.at("ExtendedProperties"), Odbc(ledger));

  // Listed at once as a new connection, in the tree and in the list, once.
  ASSERT_EQ(databases.Items().size(), 2u);
  CDatabaseNode& added = *databases.Items()[1];
  EXPECT_EQ(added.DisplayName(), "ledger");
  EXPECT_EQ(added.Status(), "New Connection");
  EXPECT_EQ(added.Path(), file.string());
  EXPECT_EQ(InsertedUnder(500), std::vector<CSnapInItem*>{&added});
  EXPECT_EQ(host_.resultItems.size(), 2u);
  // Expanding it before a refresh shows nothing and does not fail.
  ASSERT_EQ(Expand(added, 700), S_OK);
  EXPECT_TRUE(InsertedUnder(700).empty());

  // The service read the file: the refreshed folder tests it and lists it once.
  Reset();
  ASSERT_EQ(Notify(databases, MMCN_REFRESH, 0, CCT_SCOPE, 500), S_OK);
  EXPECT_TRUE(host_.messageBoxes.empty()) << ::testing::PrintToString(host_.MessageTexts());
  EXPECT_EQ(host_.scopeDeletions.size(), 2u);
  ASSERT_EQ(Names(databases), (std::vector<std::string>{"ledger", "sales [main]"}));
  EXPECT_EQ(databases.Items()[0]->Status(), "Ready");
  EXPECT_EQ(InsertedUnder(500).size(), 2u);
  EXPECT_EQ(host_.resultItems.size(), 2u);
  EXPECT_EQ(RowNames(*databases.Items()[0]->Folders()[0]), std::vector<std::string>{"entries"});
}

TEST_F(DatabasesFolder, CancelledOrRefusedNewConnectionWritesNothing) {
  ASSERT_NO_FATAL_FAILURE(StartWith());
  if (IsSkipped()) return;
  CDatabasesNode databases;
  Reset();
  const fs::path config = instance_->Home() / "config";
  const auto filesInConfig = [&] {
    return static_cast<size_t>(std::distance(fs::directory_iterator(config), fs::directory_iterator()));
  };
  const size_t before = filesInConfig();

  // The connection dialog cancelled.
  ASSERT_EQ(Command(databases, ID_NEW_DATABASE_CONNECTION), S_OK);
  EXPECT_EQ(host_.modalCaptions, std::vector<std::string>{"Data Link Properties"});
  EXPECT_TRUE(host_.messageBoxes.empty());

  // A connection without a data source name is refused.
  host_.modalSteps.push_back([&](IModalDialog& dialog) {
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kProvider, "MSDASQL.1"));
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kExtendedProperties, Odbc(sales_)));
    EXPECT_TRUE(dialog.Press(CDataLinkDlg::kOk));
  });
  ASSERT_EQ(Command(databases, ID_NEW_DATABASE_CONNECTION), S_OK);
  EXPECT_EQ(Errors(), std::vector<std::string>{"Invalid Database DSN.  Please try again"});
  EXPECT_TRUE(host_.saveRequests.empty());

  // The schema prompt cancelled; then the save dialog cancelled.
  host_.messageBoxes.clear();
  for (int i = 0; i < 2; ++i)
    host_.modalSteps.push_back([&](IModalDialog& dialog) {
      EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kProvider, "MSDASQL.1"));
      EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kDataSource, "sales"));
      EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kExtendedProperties, Odbc(sales_)));
      EXPECT_TRUE(dialog.Press(CDataLinkDlg::kOk));
    });
  ASSERT_EQ(Command(databases, ID_NEW_DATABASE_CONNECTION), S_OK);
  EXPECT_EQ(host_.inputRequests.size(), 1u);
  EXPECT_TRUE(host_.saveRequests.empty());
  host_.inputReplies.push_back({true, "main"});
  ASSERT_EQ(Command(databases, ID_NEW_DATABASE_CONNECTION), S_OK);
  EXPECT_EQ(host_.saveRequests.size(), 1u);
  EXPECT_TRUE(host_.messageBoxes.empty());

  EXPECT_EQ(databases.Items().size(), 1u);
  EXPECT_EQ(filesInConfig(), before);
}

TEST_F(DatabasesFolder, RemoveAsksDeletesTheFileAndRefreshForgetsIt) {
  const std::string second = MakeSqlite("second", "CREATE TABLE t (id INTEGER);");
  ASSERT_NO_FATAL_FAILURE(StartWith({{"config/second.xml", ConnectionFile("second", "", Odbc(second))}}));
  if (IsSkipped()) return;
  CDatabasesNode databases;
  ASSERT_EQ(Names(databases), (std::vector<std::string>{"sales [main]", "second"}));
  ASSERT_EQ(Expand(databases, 500), S_OK);
  ASSERT_EQ(Notify(databases, MMCN_SHOW, 1), S_OK);
  ASSERT_EQ(host_.resultItems.size(), 2u);
  CDatabaseNode& target = *databases.Items()[1];
  const fs::path file = target.Path();
  Reset();

  // "No" keeps everything.
  host_.messageBoxAnswers.push_back(IDNO);
  ASSERT_EQ(Command(target, ID_REMOVE, CCT_RESULT), S_OK);
  EXPECT_EQ(host_.MessageTexts(), std::vector<std::string>{"Are you sure you want to remove second DB connection?"});
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(host_.resultItems.size(), 2u);

  // "Yes" deletes the file and the row; the item stays until the refresh.
  host_.messageBoxes.clear();
  ASSERT_EQ(Command(target, ID_REMOVE, CCT_RESULT), S_OK);
  EXPECT_EQ(host_.MessageTexts(),
            (std::vector<std::string>{"Are you sure you want to remove second DB connection?",
                                      "second DB connection is removed.  Please refresh the Databases node."}));
  EXPECT_FALSE(fs::exists(file));
  ASSERT_EQ(host_.resultItems.size(), 1u);
  EXPECT_EQ(host_.resultItems[0].param, databases.Items()[0]->CookieValue());
  EXPECT_EQ(databases.Items().size(), 2u);

  // Removing it again: the file is gone, which is said, and nothing else changes.
  host_.messageBoxes.clear();
  ASSERT_EQ(Command(target, ID_REMOVE, CCT_RESULT), S_OK);
  EXPECT_EQ(Errors(), std::vector<std::string>{"Error:  Unable to remove second DB connection."});
  EXPECT_EQ(host_.resultItems.size(), 1u);

  ASSERT_EQ(Notify(databases, MMCN_REFRESH, 0, CCT_SCOPE, 500), S_OK);
  EXPECT_EQ(Names(databases), std::vector<std::string>{"sales [main]"});
  EXPECT_EQ(host_.resultItems.size(), 1u);
  EXPECT_TRUE(fs::exists(instance_->Home() / "config" / "sales.xml"));
}

TEST_F(DatabasesFolder, PostgresConnectionIsListedBesideSqlite) {
  const std::string pg = admin::testing::Env("QUOR_TEST_PG");
  if (pg.empty()) GTEST_SKIP() << "QUOR_TEST_PG not set";
  ASSERT_NO_FATAL_FAILURE(StartWith({{"config/pg.xml", ConnectionFile("pg", "", pg)}}));
  if (IsSkipped()) return;
  CDatabasesNode databases;
  EXPECT_TRUE(host_.messageBoxes.empty()) << ::testing::PrintToString(host_.MessageTexts());
  ASSERT_EQ(Names(databases), (std::vector<std::string>{"pg", "sales [main]"}));
  CDatabaseNode& postgres = *databases.Items()[0];
  EXPECT_EQ(postgres.Status(), "Ready");
  ASSERT_EQ(postgres.Folders().size(), 5u);
  const std::vector<std::string> tables = RowNames(*postgres.Folders()[0]);
  EXPECT_EQ(WithoutScratch(tables), WithoutScratch(ServiceNames("column", "pg", "")));
  EXPECT_FALSE(tables.empty());

  // A new connection with a schema: the file keeps it, the service lists
  // the schema's tables under it after the refresh.
  host_.modalSteps.push_back([&](IModalDialog& dialog) {
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kProvider, "MSDASQL.1"));
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kDataSource, "pgnew"));
    EXPECT_TRUE(dialog.SetValue(CDataLinkDlg::kExtendedProperties, pg));
    EXPECT_TRUE(dialog.Press(CDataLinkDlg::kOk));
  });
  host_.inputReplies.push_back({true, "public"});
  const fs::path file = instance_->Home() / "config" / "pgnew.xml";
  host_.saveReplies.push_back({true, file.string()});
  ASSERT_EQ(Command(databases, ID_NEW_DATABASE_CONNECTION), S_OK);
  EXPECT_EQ(FileElements(file)["Schema"], "public");
  ASSERT_EQ(databases.Items().size(), 3u);
  EXPECT_EQ(databases.Items()[2]->DisplayName(), "pgnew [public]");

  host_.messageBoxes.clear();
  ASSERT_EQ(Notify(databases, MMCN_REFRESH, 0, CCT_SCOPE, 0), S_OK);
  EXPECT_TRUE(host_.messageBoxes.empty()) << ::testing::PrintToString(host_.MessageTexts());
  ASSERT_EQ(Names(databases), (std::vector<std::string>{"pg", "pgnew [public]", "sales [main]"}));
  const std::vector<std::string> inSchema = RowNames(*databases.Items()[1]->Folders()[0]);
  EXPECT_EQ(WithoutScratch(inSchema), WithoutScratch(ServiceNames("column", "pgnew", "public")));
  EXPECT_NE(std::find_if(inSchema.begin(), inSchema.end(),
                         [](const std::string& name) { return text::EqualsNoCase(name, "QUORLOG"); }),
            inSchema.end());
}

}  // namespace
}  // namespace quor::admin::snapin
