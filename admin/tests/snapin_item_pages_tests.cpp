// The read-only pages of the result items that have one, a log entry and a
// repository table, as the recording host receives them, and the
// Properties verb that selecting such an item offers in a view. The
// repository is a scratch SQLite file named by a connection file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "admin/snapin/LogsNode.h"
#include "admin/snapin/NativeDBNode.h"
#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/SnapInModule.h"
#include "admin/tests/SnapinFixture.h"
#include "testing/RecordingHost.h"

namespace quor::admin::snapin {
namespace {

namespace fs = std::filesystem;
using namespace console;

class ItemPages : public testing::OfflineSnapinTest {
 protected:
  void TearDown() override {
    if (view_) view_->Destroy(0);
    view_ = {};
    if (snapin_) snapin_->Destroy();
    snapin_ = {};
    Module::SetHomeDir("");
    OfflineSnapinTest::TearDown();
  }
  // The one page of `item`, with its lines as label and value.
  std::vector<std::pair<std::string, std::string>> PageLines(CSnapInItem& item, std::string& title) {
    host_.pages.clear();
    EXPECT_EQ(item.QueryPagesFor(CCT_RESULT), S_OK);
    EXPECT_EQ(item.CreatePropertyPages(&host_, 0, CCT_RESULT), S_OK);
    EXPECT_EQ(host_.pages.size(), 1u);
    std::vector<std::pair<std::string, std::string>> lines;
    if (host_.pages.empty()) return lines;
    IPropertyPage& page = *host_.pages[0];
    title = page.Title();
    for (const PageField& field : page.Fields()) {
      EXPECT_EQ(field.kind, FieldKind::ReadOnlyText) << field.label;
      EXPECT_FALSE(page.SetValue(field.id, "edited")) << field.label;
      lines.emplace_back(field.label, field.value);
    }
    EXPECT_FALSE(page.Changed());
    return lines;
  }
  // Whether selecting the item as a result row in a view enables Properties.
  bool SelectingOffersProperties(CSnapInItem& item) {
    if (!snapin_) {
      snapin_ = com::MakeObject<CQuorAdminMMC>();
      EXPECT_EQ(snapin_->Initialize(&host_), S_OK);  // the logon is cancelled
      EXPECT_EQ(snapin_->CreateComponent(view_.Put()), S_OK);
      EXPECT_EQ(view_->Initialize(&host_), S_OK);
    }
    com::ComPtr<IDataObject> data;
    EXPECT_EQ(item.GetDataObject(data.Put(), CCT_RESULT), S_OK);
    host_.verbs.clear();
    view_->Notify(data.Get(), MMCN_SELECT, 0, 0);  // deselected: nothing offered
    EXPECT_FALSE(host_.verbs.contains(MMC_VERB_PROPERTIES));
    view_->Notify(data.Get(), MMCN_SELECT, std::intptr_t{1} << 16, 0);
    return host_.verbs.contains(MMC_VERB_PROPERTIES) && host_.verbs.at(MMC_VERB_PROPERTIES);
  }

  com::ComPtr<CQuorAdminMMC> snapin_;
  com::ComPtr<IComponent> view_;
};

TEST_F(ItemPages, ALogEntryShowsItsFiveTextsUnderTheirHeaders) {
  CLogEntryItem item({"12", "2026-12-09 10:00:00", "Query", "urn:vocontent:vodb000:7", "done"});
  std::string title;
  const auto lines = PageLines(item, title);
  EXPECT_EQ(title, "Log");
  EXPECT_EQ(lines, (std::vector<std::pair<std::string, std::string>>{{"ID", "12"},
                                                                     {"Date and Time", "2026-12-09 10:00:00"},
                                                                     {"Operation", "Query"},
                                                                     {"Target", "urn:vocontent:vodb000:7"},
                                                                     {"Description", "done"}}));
  EXPECT_TRUE(SelectingOffersProperties(item));
}

TEST_F(ItemPages, ARepositoryTableShowsItsRowStatusAndConnectionFile) {
  const fs::path home = dir_.Path() / "home";
  fs::create_directories(home / "config");
  const fs::path db = dir_.Path() / "repo.db";
  ASSERT_EQ(testing::RunSqlite(db, "CREATE TABLE quorlog (id INTEGER PRIMARY KEY);"), "");
  const fs::path file = home / "config" / "repo.xml";
  std::ofstream(file) << testing::SqliteConnectionFile("repo", db.string(), "VODB");
  Module::SetHomeDir(home.string());

  CNativeDBNode node;
  ASSERT_NE(node.Item(CNativeDBNode::kLog), nullptr);
  ASSERT_NE(node.Item(CNativeDBNode::kContent), nullptr);
  std::string title;
  EXPECT_EQ(PageLines(*node.Item(CNativeDBNode::kLog), title),
            (std::vector<std::pair<std::string, std::string>>{{"Object", "LogDB"},
                                                              {"Description", "Log Database"},
                                                              {"Table Name", "QUORLOG"},
                                                              {"Status", "Ready"},
                                                              {"Connection File", file.string()}}));
  EXPECT_EQ(title, "MMCNodeDB");
  // A table the database lacks shows that status.
  const auto content = PageLines(*node.Item(CNativeDBNode::kContent), title);
  ASSERT_EQ(content.size(), 5u);
  EXPECT_EQ(content[3], (std::pair<std::string, std::string>{"Status", "Table Not Found"}));
  EXPECT_TRUE(SelectingOffersProperties(*node.Item(CNativeDBNode::kLog)));
}

}  // namespace
}  // namespace quor::admin::snapin
