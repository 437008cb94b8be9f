// The Users, Vesks and Logs folders against the recording host and a real
// server: what they list is what the service holds, Add User and Remove
// change the service exactly as reported, and a failed call fills nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/Resources.h"
#include "admin/snapin/SnapInModule.h"
#include "admin/snapin/UsersNode.h"
#include "testing/ServerInstance.h"
#include "admin/tests/SnapinFixture.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"

namespace quor::admin::snapin {
namespace {

namespace fs = std::filesystem;
using namespace console;
using admin::testing::Call;
using admin::testing::CallOutcome;
using admin::testing::InstanceOptions;
using admin::testing::XmlText;

struct Owned {
  std::string owner, name;
  bool operator==(const Owned&) const = default;
};

class UsersFolder : public testing::SnapinServerTest {
 protected:
  void SetUp() override {
    InstanceOptions options;
    options.logLevel = "Detail";
    options.accounts = {{"administrator", "pw"}, {"carol", "carol-pw"}};
    ASSERT_NO_FATAL_FAILURE(StartSnapin(options));
    if (IsSkipped()) return;
    Module::SetService(client_.get());
  }

  void Put(std::string_view owner, std::string_view name) {
    const CallOutcome put = Call(*client_, "PutVOURI", {{"vouser", owner}, {"name", name}});
    ASSERT_TRUE(put.ok) << owner << "/" << name << ": " << put.fault;
  }
  // Every object on the service, as GetAllVOList tells.
  std::vector<Owned> Objects() {
    const CallOutcome all = Call(*client_, "GetAllVOList");
    EXPECT_TRUE(all.ok) << all.fault;
    std::vector<Owned> found;
    const xml::DocumentPtr doc = xml::Document::Create();
    if (!doc->loadXML(all.decoded) || !doc->documentElement()) return found;
    for (const xml::NodePtr& object : doc->documentElement()->childNodes()) {
      const std::vector<xml::NodePtr> fields = object->childNodes();
      if (fields.size() > 1) found.push_back({fields[0]->text(), fields[1]->text()});
    }
    return found;
  }
  // The user with that name among the listed ones, or null.
  static CUserItem* UserNamed(const CUsersNode& users, std::string_view name) {
    for (const auto& item : users.Items())
      if (item->UserName() == name) return item.get();
    return nullptr;
  }
  std::vector<std::string> RowTexts(int column) {
    std::vector<std::string> texts;
    for (const ResultItem& row : host_.resultItems)
      texts.push_back(reinterpret_cast<CSnapInItem*>(row.param)->GetResultPaneColInfo(column));
    return texts;
  }
  // A template as an editor saves it: UTF-16LE, byte-order mark first.
  fs::path WriteTemplate(const std::string& file, std::string_view utf8) {
    std::u16string wide;
    EXPECT_TRUE(text::Utf8ToUtf16(utf8, wide));
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : wide) {
      bytes += static_cast<char>(unit & 0xFF);
      bytes += static_cast<char>(unit >> 8);
    }
    const fs::path path = instance_->Dir() / file;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  bool AddUser(const std::string& name, const fs::path& path) {
    host_.inputReplies.push_back({true, name});
    host_.chooserReplies.push_back({true, path.string()});
    return users_.AddUser();
  }

  CUsersNode users_;
};

TEST_F(UsersFolder, ListsEachOwnerOnceWithTheirObjectsAndAccessLists) {
  if (IsSkipped()) return;
  Put("Dora", "a");
  Put("dora", "b");  // the same user, spelt otherwise
  Put("ann lee", "c");
  Put("\xC3\x89va", "d");  // "Éva" and "éva": one user beyond ASCII too
  Put("\xC3\xA9va", "e");
  const std::string uriA = Call(*client_, "GetVOURI", {{"vouser", "Dora"}, {"name", "a"}}).decoded;
  ASSERT_TRUE(
      Call(*client_, "PutACLEntry", {{"uri", "urn:vocontent:vodb000:Dora-a"}, {"acluser", "carol"}, {"accright", "r"}})
          .ok)
      << uriA;

  ASSERT_EQ(Expand(users_, 77), S_OK);
  std::vector<std::string> names;
  for (const auto& item : users_.Items()) names.push_back(item->UserName());
  EXPECT_EQ(names, (std::vector<std::string>{"Dora", "ann lee", "\xC3\x89va"})) << "first spelling kept";
  ASSERT_EQ(host_.scopeItems.size(), 3u);
  for (const ScopeItem& scope : host_.scopeItems) EXPECT_EQ(scope.relativeId, 77u);
  EXPECT_TRUE(Errors().empty());

  CUserItem* dora = UserNamed(users_, "Dora");
  ASSERT_NE(dora, nullptr);
  ASSERT_EQ(Expand(*dora, host_.scopeItems[0].id), S_OK);
  ASSERT_EQ(host_.scopeItems.size(), 5u);
  EXPECT_EQ(host_.scopeItems[3].param, dora->Vesks()->CookieValue());
  EXPECT_EQ(host_.scopeItems[4].param, dora->Logs()->CookieValue());
  EXPECT_EQ(host_.scopeItems[3].relativeId, host_.scopeItems[0].id);

  ASSERT_EQ(Notify(*dora->Vesks(), MMCN_SHOW, 1), S_OK);
  ASSERT_EQ(host_.columns.size(), 5u);
  const std::vector<std::pair<std::string, int>> columns = {
      {"Name", 100}, {"URI", 200}, {"CreateDate", 150}, {"UpdateDate", 150}, {"AccessList", 100}};
  for (size_t i = 0; i < columns.size(); ++i) {
    EXPECT_EQ(host_.columns[i].title, columns[i].first);
    EXPECT_EQ(host_.columns[i].width, columns[i].second);
  }
  EXPECT_EQ(RowTexts(0), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(RowTexts(1), (std::vector<std::string>{"urn:vocontent:vodb000:Dora-a", "urn:vocontent:vodb000:dora-b"}));
  EXPECT_EQ(RowTexts(4), (std::vector<std::string>{"3 Users", "2 Users"})) << "owner, administrator, carol";
  EXPECT_FALSE(RowTexts(2)[0].empty());
  EXPECT_EQ(CVeskItem::AccessListText(1), "1 User");
  EXPECT_EQ(CVeskItem::AccessListText(0), "0 User");

  // Showing again and refreshing replace the rows rather than add to them.
  ASSERT_EQ(Notify(*dora->Vesks(), MMCN_REFRESH), S_OK);
  EXPECT_EQ(host_.resultItems.size(), 2u);

  // The ACL editor reads what the service holds now; the row follows it
  // without a refill.
  ASSERT_TRUE(
      Call(*client_, "PutACLEntry", {{"uri", "urn:vocontent:vodb000:dora-b"}, {"acluser", "carol"}, {"accright", "r"}})
          .ok);
  auto* rowB = reinterpret_cast<CVeskItem*>(host_.resultItems[1].param);
  EXPECT_EQ(Notify(*rowB, MMCN_DBLCLICK, 0, CCT_RESULT), E_NOTIMPL);
  EXPECT_EQ(host_.modalCaptions, std::vector<std::string>{"Access Control List Editor"});
  EXPECT_EQ(RowTexts(4), (std::vector<std::string>{"3 Users", "3 Users"}));

  // Remove on one object: offered through its menu, done after yes only.
  auto* rowA = reinterpret_cast<CVeskItem*>(host_.resultItems[0].param);
  host_.ClearMenu();
  ASSERT_EQ(rowA->AddMenuItems(&host_, CCM_INSERTIONALLOWED_TOP, CCT_RESULT), S_OK);
  ASSERT_EQ(host_.menuItems.size(), 1u);
  EXPECT_EQ(host_.menuItems[0].commandId, ID_REMOVE);
  host_.messageBoxAnswers = {IDYES};
  ASSERT_EQ(Command(*rowA, ID_REMOVE), S_OK);
  ASSERT_EQ(Command(*rowA, ID_REMOVE), S_OK);
  EXPECT_EQ(host_.MessageTexts(), (std::vector<std::string>{"Are you sure you want to remove Vesk a?",
                                                            "Vesk a is removed.  Please refresh the Vesks node.",
                                                            "Vesk a is already removed."}));
  EXPECT_EQ(RowTexts(0), std::vector<std::string>{"b"});
  EXPECT_EQ(Objects().size(), 4u);
  EXPECT_EQ(Notify(*rowA, MMCN_DBLCLICK, 0, CCT_RESULT), E_NOTIMPL);
  EXPECT_EQ(host_.modalCaptions.size(), 1u) << "a removed object opens no editor";

  EXPECT_TRUE(SameUserName("\xC3\x89VA", "\xC3\xA9va"));
  EXPECT_FALSE(SameUserName("Eva", "\xC3\x89va"));
  EXPECT_FALSE(SameUserName("\xFF", "\xFE"));

  CUserItem* ann = UserNamed(users_, "ann lee");
  ASSERT_NE(ann, nullptr);
  host_.ClearResult();
  ASSERT_EQ(Notify(*ann->Vesks(), MMCN_SHOW, 1), S_OK);
  EXPECT_EQ(RowTexts(0), std::vector<std::string>{"c"}) << "a name with a blank is kept whole";
}

TEST_F(UsersFolder, AddUserStoresTheTemplateTextExactly) {
  if (IsSkipped()) return;
  const std::string xml =
      "<desk title=\"\xC3\x9C"
      "berblick \xE6\x97\xA5\xE6\x9C\xAC\"><i>\xF0\x9F\x98\x80 &amp; ok</i></desk>";
  const fs::path path = WriteTemplate("desk.000", xml + "\r\n");
  ASSERT_EQ(Expand(users_, 5), S_OK);
  ASSERT_EQ(Notify(users_, MMCN_SHOW, 1), S_OK);
  ASSERT_EQ(host_.columns.size(), 1u);
  EXPECT_EQ(host_.columns[0].width, 200);

  host_.inputReplies.push_back({true, "new user"});
  host_.chooserReplies.push_back({true, path.string()});
  ASSERT_EQ(Command(users_, ID_ADD_USER), S_OK);
  ASSERT_EQ(host_.inputRequests.size(), 1u);
  EXPECT_EQ(host_.inputRequests[0].caption, "Add User");
  EXPECT_EQ(host_.inputRequests[0].prompt, "User Name");
  EXPECT_FALSE(host_.inputRequests[0].okAlways);
  ASSERT_EQ(host_.chooserRequests.size(), 1u);
  EXPECT_EQ(host_.chooserRequests[0].pattern, "*.000");
  EXPECT_TRUE(host_.chooserRequests[0].files);
  EXPECT_TRUE(host_.messageBoxes.empty()) << host_.MessageTexts().front();

  EXPECT_EQ(Objects(), (std::vector<Owned>{{"new user", "Desktop.000"}}));
  CallOutcome content = Call(*client_, "GetVOContentbyURI", {{"uri", "urn:vocontent:vodb000:new user-Desktop.000"}});
  ASSERT_TRUE(content.ok) << content.fault;
  EXPECT_EQ(content.decoded, "<root>" + XmlText(xml) + "</root>");
  ASSERT_EQ(users_.Items().size(), 1u);
  EXPECT_EQ(users_.Items()[0]->UserName(), "new user");
  ASSERT_EQ(host_.scopeItems.size(), 1u);
  EXPECT_EQ(host_.scopeItems[0].relativeId, 5u);
  EXPECT_EQ(host_.resultItems.size(), 1u);

  // An empty template makes the object and sends no content.
  const fs::path empty = instance_->Dir() / "empty.000";
  std::ofstream(empty, std::ios::binary).flush();
  ASSERT_TRUE(AddUser("blank", empty));
  content = Call(*client_, "GetVOContentbyURI", {{"uri", "urn:vocontent:vodb000:blank-Desktop.000"}});
  ASSERT_TRUE(content.ok) << content.fault;
  EXPECT_EQ(content.decoded, "<root/>");

  // Adding an existing first object is the service's refusal, shown as such.
  host_.messageBoxes.clear();
  EXPECT_FALSE(AddUser("new user", path));
  ASSERT_EQ(Errors().size(), 1u);
  EXPECT_EQ(Errors()[0], "The specified Vesk is already existing.");
  EXPECT_EQ(users_.Items().size(), 2u);
}

TEST_F(UsersFolder, BadTemplatesCreateNothing) {
  if (IsSkipped()) return;
  const fs::path missing = instance_->Dir() / "missing.000";
  EXPECT_FALSE(AddUser("ghost", missing));
  EXPECT_EQ(Errors(), std::vector<std::string>{"Unable to open the template " + missing.string() + " file."});
  EXPECT_FALSE(fs::exists(missing)) << "a missing template is not created";

  const fs::path odd = instance_->Dir() / "odd.000";
  std::ofstream(odd, std::ios::binary) << "\xFF\xFE<";
  host_.messageBoxes.clear();
  EXPECT_FALSE(AddUser("ghost", odd));
  EXPECT_EQ(Errors(), std::vector<std::string>{"The template " + odd.string() + " file is not UTF-16 text."});
  EXPECT_TRUE(Objects().empty());
  EXPECT_TRUE(users_.Items().empty());

  EXPECT_EQ(CUsersNode::TemplateContent(std::string("\xFF\xFE<\0a\0>\0\r\0\n\0\x1A\0", 14)), "<a>");
}

TEST_F(UsersFolder, RemoveTakesEveryObjectOnlyAfterYes) {
  if (IsSkipped()) return;
  Put("erin x", "one");
  Put("Erin X", "two");
  Put("frank", "keep");
  ASSERT_EQ(Expand(users_, 3), S_OK);
  CUserItem* erin = UserNamed(users_, "Erin X");  // the service lists this spelling first
  ASSERT_NE(erin, nullptr);

  host_.messageBoxAnswers = {IDNO};
  ASSERT_EQ(Command(*erin, ID_REMOVE), S_OK);
  EXPECT_EQ(host_.MessageTexts(), std::vector<std::string>{"Are you sure you want to remove user Erin X?"});
  EXPECT_EQ(Objects().size(), 3u);
  EXPECT_FALSE(erin->Removed());

  host_.messageBoxes.clear();
  host_.messageBoxAnswers = {IDYES};
  ASSERT_EQ(Command(*erin, ID_REMOVE), S_OK);
  EXPECT_EQ(host_.MessageTexts(),
            (std::vector<std::string>{"Are you sure you want to remove user Erin X?",
                                      "User Erin X is removed.  Please refresh the Users node."}));
  EXPECT_EQ(Objects(), (std::vector<Owned>{{"frank", "keep"}}));
  EXPECT_TRUE(erin->Removed());
  host_.messageBoxes.clear();
  ASSERT_EQ(Command(*erin, ID_REMOVE), S_OK);
  EXPECT_EQ(host_.MessageTexts(), std::vector<std::string>{"User Erin X is already removed."});

  // A refresh takes the old folders out of the tree and lists who is left.
  const ScopeHandle old = host_.scopeItems[0].id;
  ASSERT_EQ(Notify(users_, MMCN_REFRESH), S_OK);
  EXPECT_NE(std::find(host_.scopeDeletions.begin(), host_.scopeDeletions.end(), std::make_pair(old, true)),
            host_.scopeDeletions.end());
  ASSERT_EQ(users_.Items().size(), 1u);
  EXPECT_EQ(users_.Items()[0]->UserName(), "frank");
}

TEST_F(UsersFolder, LogsListTheUsersApplicationEntries) {
  if (IsSkipped()) return;
  auto carol = instance_->SignIn("carol", "carol-pw");
  ASSERT_TRUE(carol);
  for (const char* text : {"first <entry>", "second entry"}) ASSERT_TRUE(Call(*carol, "PutLog", {{"log", text}}).ok);
  ASSERT_TRUE(Call(*client_, "PutLog", {{"log", "the administrator's"}}).ok);
  carol->EndSession();

  CLogsNode logs("carol");
  ASSERT_EQ(Notify(logs, MMCN_SHOW, 1), S_OK);
  EXPECT_EQ(host_.descriptionBar, std::vector<std::string>{""});
  const std::vector<std::pair<std::string, int>> columns = {
      {"ID", 100}, {"Date and Time", 100}, {"Operation", 100}, {"Target", 200}, {"Description", 300}};
  ASSERT_EQ(host_.columns.size(), columns.size());
  for (size_t i = 0; i < columns.size(); ++i) {
    EXPECT_EQ(host_.columns[i].title, columns[i].first);
    EXPECT_EQ(host_.columns[i].width, columns[i].second);
  }
  std::vector<admin::testing::LogRow> expected;
  for (auto& row : instance_->Rows("carol"))
    if (row.catalog == "application") expected.push_back(row);
  ASSERT_EQ(expected.size(), 2u);
  ASSERT_EQ(host_.resultItems.size(), 2u);
  for (size_t i = 0; i < expected.size(); ++i) {
    auto* item = reinterpret_cast<CSnapInItem*>(host_.resultItems[i].param);
    EXPECT_EQ(item->GetResultPaneColInfo(0), std::to_string(expected[i].id));
    EXPECT_EQ(item->GetResultPaneColInfo(1), expected[i].timestamp);
    EXPECT_EQ(item->GetResultPaneColInfo(2), expected[i].op);
    EXPECT_EQ(item->GetResultPaneColInfo(3), expected[i].target);
    EXPECT_EQ(item->GetResultPaneColInfo(4), expected[i].description);
  }
  EXPECT_EQ(RowTexts(4), (std::vector<std::string>{"first <entry>", "second entry"}));

  // Shown again and refreshed: the same two rows, never twice.
  ASSERT_EQ(Notify(logs, MMCN_SHOW, 1), S_OK);
  ASSERT_EQ(Notify(logs, MMCN_REFRESH), S_OK);
  EXPECT_EQ(host_.resultItems.size(), 2u);
  EXPECT_TRUE(Errors().empty());
}

TEST_F(UsersFolder, FailedCallsAreReportedAndFillNothing) {
  if (IsSkipped()) return;
  Put("gina", "kept");
  ASSERT_EQ(Expand(users_, 1), S_OK);
  CUserItem* gina = UserNamed(users_, "gina");
  ASSERT_NE(gina, nullptr);

  auto ended = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(ended);
  ended->EndSession();
  Module::SetService(ended.get());

  host_.messageBoxAnswers = {IDYES};
  ASSERT_EQ(Command(*gina, ID_REMOVE), S_OK);
  EXPECT_FALSE(gina->Removed());
  EXPECT_EQ(host_.messageBoxes.size(), 2u) << "the question and the error, no success";
  ASSERT_EQ(Notify(users_, MMCN_REFRESH), S_OK);
  EXPECT_TRUE(users_.Items().empty());
  EXPECT_EQ(host_.scopeItems.size(), 1u) << "nothing inserted after the failed fill";
  CVeskNode vesks("gina");
  CLogsNode logs("gina");
  host_.ClearResult();
  ASSERT_EQ(Notify(vesks, MMCN_SHOW, 1), S_OK);
  ASSERT_EQ(Notify(logs, MMCN_SHOW, 1), S_OK);
  EXPECT_TRUE(host_.resultItems.empty());
  EXPECT_FALSE(vesks.RemoveAll());
  EXPECT_FALSE(AddUser("hal", WriteTemplate("hal.000", "<x/>")));
  const std::vector<std::string> errors = Errors();
  ASSERT_EQ(errors.size(), 6u);
  const std::string reason = ended->FaultText();
  EXPECT_FALSE(reason.empty());
  for (const std::string& error : errors) EXPECT_EQ(error, reason);

  Module::SetService(client_.get());
  EXPECT_EQ(Objects(), (std::vector<Owned>{{"gina", "kept"}})) << "nothing changed on the service";
}

}  // namespace
}  // namespace quor::admin::snapin
