// The Transformers folder against the recording host and a real server: a
// library added through the node is registered by the real quor-regsvr, its
// definition file is one the running service loads on ReLoadTransform, and
// a Query names the new transformer. Edits, removals and files dropped into
// the folder behind the console's back are checked on disk and through the
// service.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/Resources.h"
#include "admin/snapin/SnapInModule.h"
#include "admin/snapin/TransformersNode.h"
#include "testing/OutsideSql.h"
#include "testing/RecordingHost.h"
#include "testing/ServerInstance.h"
#include "admin/tests/SnapinFixture.h"
#include "platform/com/classstore.h"
#include "platform/xml/dom.h"

namespace quor::admin::snapin {
namespace {

namespace fs = std::filesystem;
using namespace console;
using admin::testing::Call;
using admin::testing::CallOutcome;
using admin::testing::InstanceOptions;

constexpr HRESULT kNoSuchTransformer = static_cast<HRESULT>(0x81000011u);

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The texts of the children of the definition's entry element, and whether
// the file holds them nested (QuorTransform > transform > ...).
struct Definition {
  bool nested = false;
  std::map<std::string, std::string> texts;
};
Definition ReadDefinition(const fs::path& path) {
  Definition definition;
  auto document = xml::Document::Create();
  if (!document->load(path.string()) || !document->documentElement()) return definition;
  auto root = document->documentElement();
  if (root->nodeName() != "QuorTransform") return definition;
  auto entry = root->firstChild();
  definition.nested = entry && entry->nodeName() == "transform" && entry->hasChildNodes();
  for (auto child = root->firstChild(); child; child = child->nextSibling())
    if (child->nodeName() == "ProgID") definition.nested = false;
  if (!definition.nested) return definition;
  for (auto child = entry->firstChild(); child; child = child->nextSibling())
    definition.texts[child->nodeName()] = child->text();
  return definition;
}

class TransformersFolder : public testing::SnapinServerTest {
 protected:
  void SetUp() override {
    if (const char* previous = std::getenv(CTransformersNode::kRegistrationProgramVariable)) previousRegsvr_ = previous;
    ::setenv(CTransformersNode::kRegistrationProgramVariable, (fs::path(QUOR_BIN_DIR) / "quor-regsvr").c_str(), 1);
    db_ = MakeSqlite("sales",
                     "CREATE TABLE staff (id INTEGER PRIMARY KEY, name TEXT); INSERT INTO staff VALUES (1, 'Ann');");
    InstanceOptions options;
    options.homeFiles = {{"config/sales.xml", testing::SqliteConnectionFile("sales", db_)}};
    ASSERT_NO_FATAL_FAILURE(StartSnapin(options));
    if (IsSkipped()) return;
    Module::SetHomeDir(instance_->Home().string());
    folder_ = instance_->Home() / "transform";
    library_ = fs::path(QUOR_LIB_DIR) / "libFlatConvert.so";
  }
  void TearDown() override {
    SnapinServerTest::TearDown();
    if (previousRegsvr_)
      ::setenv(CTransformersNode::kRegistrationProgramVariable, previousRegsvr_->c_str(), 1);
    else
      ::unsetenv(CTransformersNode::kRegistrationProgramVariable);
  }

  // Adds the library through the node, saving the definition as `file`.
  void Add(CTransformersNode& node, const fs::path& library, const std::string& file) {
    host_.chooserReplies.push_back({true, library.string()});
    host_.saveReplies.push_back({true, (folder_ / file).string()});
    ASSERT_EQ(Command(node, ID_ADD_TRANSFORMER, CCT_SCOPE), S_OK);
  }
  CallOutcome Reload() { return Call(*client_, "ReLoadTransform"); }
  CallOutcome QueryThrough(const std::string& transformer) {
    return Call(*client_, "Query",
                {{"sqlstmt",
                  "<query><get><content>record</content><target><provider>MSDASQL.1</provider><dsn>sales</dsn>"
                  "<catalog>main</catalog><table>staff</table></target><transform>" +
                      transformer + "</transform></get></query>"}});
  }
  bool Registered(std::string_view progId) {
    com::CLSID clsid;
    return SUCCEEDED(com::CLSIDFromProgID(progId, clsid));
  }

  fs::path folder_, library_;
  std::string db_;
  std::optional<std::string> previousRegsvr_;
};

TEST_F(TransformersFolder, AddedLibraryIsRegisteredWrittenNestedAndServesQueries) {
  // Start from an unregistered library so the registration has to happen.
  namespace st = soap::testing;
  const st::RunResult un =
      st::RunProgram((fs::path(QUOR_BIN_DIR) / "quor-regsvr").string(), {"-u", "-s", library_.string()},
                     st::Environment({"QUOR_REGISTRY=" + instance_->RegistryFile().string()}), instance_->Dir());
  ASSERT_EQ(un.status, 0) << un.output;
  ASSERT_FALSE(Registered("FlatConvert.TransCSV"));

  CTransformersNode node;
  EXPECT_TRUE(node.Items().empty());
  ASSERT_EQ(Notify(node, MMCN_SHOW, 1), S_OK);
  ASSERT_EQ(host_.columns.size(), 7u);
  EXPECT_EQ(host_.columns[6].title, "Configuration File");
  EXPECT_EQ(host_.columns[6].width, 300);

  ASSERT_NO_FATAL_FAILURE(Add(node, library_, "csv.xml"));
  ASSERT_EQ(host_.chooserRequests.size(), 1u);
  EXPECT_EQ(host_.chooserRequests[0].pattern, "*.so");
  EXPECT_TRUE(host_.chooserRequests[0].files);
  ASSERT_EQ(host_.saveRequests.size(), 1u);
  EXPECT_EQ(fs::path(host_.saveRequests[0].folder), fs::path(folder_.string() + "/"));
  EXPECT_EQ(host_.MessageTexts(), std::vector<std::string>{"New transformer added."});

  EXPECT_TRUE(Registered("FlatConvert.TransCSV"));
  ASSERT_EQ(node.Items().size(), 1u);
  CTransformerItem& item = *node.Items()[0];
  EXPECT_EQ(item.GetResultPaneColInfo(0), "FlatConvert.TransCSV");
  EXPECT_EQ(Module::ResultPaneFlag(), 1);
  EXPECT_EQ(item.GetResultPaneColInfo(6), (folder_ / "csv.xml").string());
  EXPECT_EQ(host_.resultItems.size(), 1u);

  const Definition written = ReadDefinition(folder_ / "csv.xml");
  ASSERT_TRUE(written.nested) << ReadAll(folder_ / "csv.xml");
  EXPECT_EQ(written.texts.at("ProgID"), "FlatConvert.TransCSV");
  EXPECT_EQ(written.texts.size(), 6u);

  const CallOutcome reload = Reload();
  ASSERT_TRUE(reload.ok) << reload.fault;
  for (const std::string name : {"trans:0", "FlatConvert.TransCSV"}) {
    const CallOutcome csv = QueryThrough(name);
    ASSERT_TRUE(csv.ok) << name << ": " << csv.fault;
    EXPECT_NE(csv.decoded.find("<csv><![CDATA[id,name"), std::string::npos) << name << ": " << csv.decoded;
  }
}

TEST_F(TransformersFolder, FailedOrCancelledAddWritesNothing) {
  CTransformersNode node;
  ASSERT_EQ(Notify(node, MMCN_SHOW, 1), S_OK);
  // Not a component library: the registration program refuses it.
  const fs::path notLibrary = instance_->Dir() / "notes.txt";
  std::ofstream(notLibrary) << "plain text";
  host_.chooserReplies.push_back({true, notLibrary.string()});
  ASSERT_EQ(Command(node, ID_ADD_TRANSFORMER, CCT_SCOPE), S_OK);
  ASSERT_EQ(host_.messageBoxes.size(), 1u);
  EXPECT_EQ(host_.messageBoxes[0].text,
            "Unable to register " + notLibrary.string() + ".  Please check to sure it is a COM dll.");
  EXPECT_TRUE(host_.saveRequests.empty());
  // Chooser cancelled; then the save dialog cancelled.
  ASSERT_EQ(Command(node, ID_ADD_TRANSFORMER, CCT_SCOPE), S_OK);
  host_.chooserReplies.push_back({true, library_.string()});
  ASSERT_EQ(Command(node, ID_ADD_TRANSFORMER, CCT_SCOPE), S_OK);
  EXPECT_EQ(host_.saveRequests.size(), 1u);
  EXPECT_TRUE(node.Items().empty());
  EXPECT_TRUE(host_.resultItems.empty());
  EXPECT_TRUE(fs::is_empty(folder_));
}

TEST_F(TransformersFolder, EditRewritesTheRuleAndCancelChangesNothing) {
  CTransformersNode node;
  ASSERT_EQ(Notify(node, MMCN_SHOW, 1), S_OK);
  ASSERT_NO_FATAL_FAILURE(Add(node, library_, "csv.xml"));
  ASSERT_EQ(node.Items().size(), 1u);
  CTransformerItem& item = *node.Items()[0];
  const fs::path file = item.Path();

  host_.inputReplies = {{true, "FlatConvert.TransCSV"}, {true, "Convert"}, {true, "rule <&> one"}, {true, "CSV"}};
  ASSERT_EQ(Notify(item, MMCN_DBLCLICK, 0, CCT_RESULT), S_OK);
  ASSERT_EQ(host_.inputRequests.size(), 4u);
  EXPECT_EQ(host_.inputRequests[2].prompt, "Rule:");
  const Definition edited = ReadDefinition(file);
  ASSERT_TRUE(edited.nested);
  EXPECT_EQ(edited.texts.at("Rule"), "rule <&> one");
  EXPECT_EQ(edited.texts.at("Method"), "Convert");
  EXPECT_EQ(edited.texts.at("Description"), "CSV");
  EXPECT_EQ(item.GetResultPaneColInfo(3), "rule <&> one");
  EXPECT_EQ(host_.resultItems.size(), 1u) << "the row is redrawn, not doubled";

  // Cancelling at the second prompt rewrites nothing.
  const std::string before = ReadAll(file);
  host_.inputReplies = {{true, "Other.ProgID"}, {false, ""}};
  ASSERT_EQ(Notify(item, MMCN_DBLCLICK, 0, CCT_RESULT), S_OK);
  EXPECT_EQ(ReadAll(file), before);
  EXPECT_EQ(item.GetResultPaneColInfo(0), "FlatConvert.TransCSV");
  EXPECT_EQ(host_.resultItems.size(), 1u);

  // The service takes the edited definition.
  ASSERT_TRUE(Reload().ok);
  const CallOutcome csv = QueryThrough("trans:0");
  ASSERT_TRUE(csv.ok) << csv.fault;
  EXPECT_NE(csv.decoded.find("id,name"), std::string::npos) << csv.decoded;
}

TEST_F(TransformersFolder, RefreshListsFilesAddedBehindTheConsole) {
  CTransformersNode node;
  ASSERT_EQ(Notify(node, MMCN_SHOW, 1), S_OK);
  ASSERT_NO_FATAL_FAILURE(Add(node, library_, "csv.xml"));
  // A flat definition written by hand, and a file that is no definition.
  std::ofstream(folder_ / "page.xml")
      << "<QuorTransform><transform/><ProgID>GridPage.TransXHTML</ProgID><Rule>r</Rule></QuorTransform>";
  std::ofstream(folder_ / "readme.txt") << "<QuorTransform/>";
  Module::SetResultPaneFlag(0);  // the refresh does not depend on what was shown last
  ASSERT_EQ(Notify(node, MMCN_REFRESH), S_OK);
  ASSERT_EQ(node.Items().size(), 2u);
  EXPECT_EQ(node.Items()[1]->GetResultPaneColInfo(0), "GridPage.TransXHTML");
  EXPECT_EQ(node.Items()[1]->GetResultPaneColInfo(1), "") << "no Method element";
  EXPECT_EQ(node.Items()[1]->GetResultPaneColInfo(3), "r");
  EXPECT_EQ(host_.resultItems.size(), 2u);

  // The service reads the hand-written flat file as well: row 1 is trans:1.
  ASSERT_TRUE(Reload().ok);
  const CallOutcome page = QueryThrough("trans:1");
  ASSERT_TRUE(page.ok) << page.fault;
  EXPECT_NE(page.decoded.find("<table"), std::string::npos) << page.decoded;

  // A broken file is reported and left out.
  std::ofstream(folder_ / "broken.xml") << "<QuorTransform><ProgID>";
  host_.messageBoxes.clear();
  ASSERT_EQ(Notify(node, MMCN_REFRESH), S_OK);
  EXPECT_EQ(node.Items().size(), 2u);
  ASSERT_EQ(host_.messageBoxes.size(), 1u);
  EXPECT_EQ(host_.messageBoxes[0].text, (folder_ / "broken.xml").string() + " was invalid.");
  EXPECT_EQ(host_.messageBoxes[0].caption, "Transformer Config File Error");
}

TEST_F(TransformersFolder, RemoveDeletesOnlyTheDefinitionAfterYes) {
  CTransformersNode node;
  ASSERT_EQ(Notify(node, MMCN_SHOW, 1), S_OK);
  ASSERT_NO_FATAL_FAILURE(Add(node, library_, "csv.xml"));
  ASSERT_EQ(node.Items().size(), 1u);
  CTransformerItem& item = *node.Items()[0];
  ASSERT_TRUE(Reload().ok);
  ASSERT_TRUE(QueryThrough("FlatConvert.TransCSV").ok);

  host_.messageBoxes.clear();
  host_.messageBoxAnswers = {IDNO};
  ASSERT_EQ(Command(item, ID_REMOVE, CCT_RESULT), S_OK);
  EXPECT_TRUE(fs::exists(folder_ / "csv.xml"));
  EXPECT_EQ(host_.resultItems.size(), 1u);
  ASSERT_EQ(host_.messageBoxes.size(), 1u);
  EXPECT_EQ(host_.messageBoxes[0].text, "Are you sure you want to remove FlatConvert.TransCSV transformer?");

  host_.messageBoxAnswers = {IDYES};
  ASSERT_EQ(Command(item, ID_REMOVE, CCT_RESULT), S_OK);
  EXPECT_FALSE(fs::exists(folder_ / "csv.xml"));
  EXPECT_TRUE(item.Removed());
  EXPECT_TRUE(host_.resultItems.empty()) << "the row leaves at once";
  EXPECT_EQ(host_.MessageTexts().back(), "FlatConvert.TransCSV is removed.");
  EXPECT_TRUE(Registered("FlatConvert.TransCSV")) << "the library stays registered";

  // The item leaves the list at the next show.
  ASSERT_EQ(Notify(node, MMCN_SHOW, 1), S_OK);
  EXPECT_TRUE(node.Items().empty());

  // Once reloaded, the service no longer knows it.
  std::ofstream(folder_ / "other.xml")
      << "<QuorTransform><transform><ProgID>GridPage.TransXHTML</ProgID></transform></QuorTransform>";
  ASSERT_TRUE(Reload().ok);
  EXPECT_EQ(QueryThrough("FlatConvert.TransCSV").status, kNoSuchTransformer);
}

}  // namespace
}  // namespace quor::admin::snapin
