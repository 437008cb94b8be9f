// The console's user, Vesk-object, log and transformer folders in quor-console
// against a real quor-server, driven as an administrator would: the ACL
// editor's dialogs by control id, the Users folder's commands through its
// context menus, the transformer plug-in added, edited and removed. What the
// console did is checked on the server through other users' clients.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "console/tests/ConsoleRoad.h"
#include "platform/text/text.h"

namespace quor::console::qt {
namespace {

namespace fs = std::filesystem;
using admin::testing::Call;
using admin::testing::CallOutcome;
using admin::testing::InstanceOptions;
using namespace testing;

std::vector<std::string> Lines(QWidget* dialog) {
  std::vector<std::string> lines;
  auto* list = dialog->findChild<QListWidget*>("271");
  for (int i = 0; list && i < list->count(); ++i) lines.push_back(list->item(i)->text().toStdString());
  return lines;
}
void SelectLine(QWidget* dialog, const char* line) {
  auto* list = dialog->findChild<QListWidget*>("271");
  ASSERT_NE(list, nullptr);
  const auto found = list->findItems(QString::fromUtf8(line), Qt::MatchExactly);
  ASSERT_EQ(found.size(), 1) << line;
  list->setCurrentItem(found.front());
}
bool Enabled(QWidget* dialog, const char* id) {
  auto* widget = dialog->findChild<QWidget*>(id);
  return widget && widget->isEnabled();
}
void Check(QWidget* dialog, const char* id) {
  auto* box = dialog->findChild<QCheckBox*>(id);
  ASSERT_NE(box, nullptr) << id;
  box->setChecked(true);
}
bool Checked(QWidget* dialog, const char* id) {
  auto* box = dialog->findChild<QCheckBox*>(id);
  return box && box->isChecked();
}


// Runs the folder's current directory elsewhere for as long as it lives.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const fs::path& path) : previous_(fs::current_path()) { fs::current_path(path); }
  ~WorkingDirectory() { fs::current_path(previous_); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  fs::path previous_;
};

std::string VOUri(std::string_view owner, std::string_view name) {
  return "urn:vocontent:vodb000:" + std::string(owner) + "-" + std::string(name);
}

class ConsoleContent : public ConsoleRoad {
 protected:
  void StartWithUsers(InstanceOptions options = {}) {
    options.accounts.push_back({"alice", "alice-pw"});
    options.accounts.push_back({"bob", "bob-pw"});
    StartService(options);
    if (HasFatalFailure() || IsSkipped()) return;
    alice_ = instance_->SignIn("alice", "alice-pw");
    bob_ = instance_->SignIn("bob", "bob-pw");
    admin_ = instance_->SignIn("administrator", kAdminPassword);
    ASSERT_TRUE(alice_ && bob_ && admin_);
  }
  void TearDown() override {
    for (auto* client : {&alice_, &bob_, &admin_})
      if (*client) (*client)->EndSession();
    ConsoleRoad::TearDown();
  }
  // The user's folder under Users, expanded.
  QTreeWidgetItem* UserFolder(const QString& user) {
    QTreeWidgetItem* users = ChildNamed(window_->RootItem(), "Users");
    if (!users) return nullptr;
    users->setExpanded(true);
    QTreeWidgetItem* folder = ChildNamed(users, user);
    if (folder) folder->setExpanded(true);
    return folder;
  }
  CallOutcome BobReads(const std::string& uri) { return Call(*bob_, "GetVOContentbyURI", {{"uri", uri}}); }

  std::unique_ptr<admin::CVeltService> alice_, bob_, admin_;
};

#define QUOR_START_USERS(...)                     \
  do {                                            \
    StartWithUsers(__VA_ARGS__);                  \
    if (HasFatalFailure() || IsSkipped()) return; \
  } while (0)

TEST_F(ConsoleContent, TheAclEditorGrantsChangesAndWithdrawsBobsRightsOnTheServer) {
  QUOR_START_USERS();
  ASSERT_TRUE(Call(*alice_, "PutVOContent", {{"name", "plan"}, {"content", "the plan"}}).ok);
  ASSERT_TRUE(Call(*alice_, "PutVOContent", {{"name", "notes"}, {"content", "n"}}).ok);
  const std::string uri = VOUri("alice", "plan");
  ASSERT_FALSE(BobReads(uri).ok) << "bob is not in the object's list yet";
  ASSERT_NO_FATAL_FAILURE(SignIn());

  // Alice owns two objects and is listed once; bob owns none.
  QTreeWidgetItem* alice = UserFolder("alice");
  ASSERT_NE(alice, nullptr);
  EXPECT_EQ(ChildTexts(alice->parent()), std::vector<std::string>{"alice"});
  EXPECT_EQ(ChildTexts(alice), (std::vector<std::string>{"Vesks", "Logs"}));
  window_->ScopeTree()->setCurrentItem(ChildNamed(alice, "Vesks"));
  QTreeWidget* list = window_->ResultList();
  std::vector<std::string> names = RowTexts(list);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"notes", "plan"}));
  QTreeWidgetItem* row = RowNamed(list, "plan");
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->text(1).toStdString(), uri);
  const std::string before = row->text(4).toStdString();

  // Add bob with content read and attribute read.
  std::vector<std::string> opened;
  driver_.Then([&](QWidget* dialog) {
    ASSERT_EQ(dialog->windowTitle(), "Access Control List Editor");
    opened = Lines(dialog);
    EXPECT_FALSE(Enabled(dialog, "276")) << "Edit waits for a selection";
    EXPECT_FALSE(Enabled(dialog, "275"));
    PressLater(dialog, "273");
  });
  driver_.Then([](QWidget* entry) {
    ASSERT_EQ(entry->windowTitle(), "Access Right Editor");
    Type(entry, "317", "bob");
    Check(entry, "319");
    Check(entry, "324");
    PressLater(entry, "1");
  });
  std::vector<std::string> added;
  driver_.Then([&](QWidget* dialog) {
    added = Lines(dialog);
    // The editor as the administrator sees it, kept beside the build.
    EXPECT_TRUE(dialog->grab().save(QStringLiteral(QUOR_BUILD_DIR "/console-acl-editor.png")));
    PressLater(dialog, "1");
  });
  emit list->itemActivated(row, 0);
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_EQ(opened.size() + 1, added.size());
  EXPECT_NE(std::find(added.begin(), added.end(), "bob [rar]"), added.end());
  EXPECT_TRUE(std::is_sorted(added.begin(), added.end()));
  const CallOutcome read = BobReads(uri);
  ASSERT_TRUE(read.ok) << read.fault;
  EXPECT_NE(read.decoded.find("the plan"), std::string::npos);
  row = RowNamed(list, "plan");
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->text(4).toStdString(), std::to_string(added.size()) + " Users");
  EXPECT_NE(row->text(4).toStdString(), before);

  // Edit bob to content write as well, then remove him.
  bool readOnlyName = false, keptRights = false;
  std::vector<std::string> edited, removed;
  driver_.Then([](QWidget* dialog) {
    SelectLine(dialog, "bob [rar]");
    PressLater(dialog, "276");
  });
  driver_.Then([&](QWidget* entry) {
    auto* name = entry->findChild<QLineEdit*>("317");
    ASSERT_NE(name, nullptr);
    readOnlyName = name->text() == "bob" && (name->isReadOnly() || !name->isEnabled());
    keptRights = Checked(entry, "319") && Checked(entry, "324") && !Checked(entry, "321");
    Check(entry, "321");
    PressLater(entry, "1");
  });
  driver_.Then([&](QWidget* dialog) {
    edited = Lines(dialog);
    SelectLine(dialog, "bob [rwar]");
    Press(dialog, "275");
    removed = Lines(dialog);
    PressLater(dialog, "1");
  });
  emit list->itemActivated(RowNamed(list, "plan"), 0);
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_TRUE(readOnlyName);
  EXPECT_TRUE(keptRights);
  EXPECT_NE(std::find(edited.begin(), edited.end(), "bob [rwar]"), edited.end());
  EXPECT_EQ(removed, opened);
  EXPECT_FALSE(BobReads(uri).ok) << "bob's entry is gone on the server";
  const CallOutcome acl = Call(*admin_, "GetACL", {{"uri", uri}});
  ASSERT_TRUE(acl.ok) << acl.fault;
  EXPECT_EQ(acl.decoded.find("<user>bob</user>"), std::string::npos) << acl.decoded;
  EXPECT_EQ(RowNamed(list, "plan")->text(4).toStdString(), before);
}

TEST_F(ConsoleContent, AUserAddedFromATemplateHoldsItsDesktopAndRemovingTheUserRemovesItsObjects) {
  QUOR_START_USERS();
  ASSERT_TRUE(Call(*alice_, "PutVOContent", {{"name", "kept"}, {"content", "k"}}).ok);
  // The template as the desktop tools write it: UTF-16LE with its
  // signature and a final line break.
  soap::testing::TempDir templates;
  const std::string document = "<desktop><title>Caf\xC3\xA9 \xE2\x9C\x93</title></desktop>";
  {
    std::u16string wide = u"\uFEFF" + text::Widen(document) + u"\r\n";
    std::ofstream out(templates.Path() / "standard.000", std::ios::binary);
    for (char16_t c : wide) out.put(static_cast<char>(c & 0xFF)).put(static_cast<char>(c >> 8));
  }
  ASSERT_NO_FATAL_FAILURE(SignIn());
  QTreeWidgetItem* users = ChildNamed(window_->RootItem(), "Users");
  ASSERT_NE(users, nullptr);
  users->setExpanded(true);
  EXPECT_EQ(ChildTexts(users), std::vector<std::string>{"alice"});

  driver_.Then([](QWidget* input) {
    ASSERT_EQ(input->objectName(), "212");
    EXPECT_EQ(input->windowTitle(), "Add User");
    Type(input, "223", "carol");
    PressLater(input, "1");
  });
  driver_.Then([](QWidget* chooser) {
    ASSERT_EQ(chooser->objectName(), "218");
    auto* entries = chooser->findChild<QListWidget*>("1003");
    ASSERT_NE(entries, nullptr);
    const auto found = entries->findItems("standard.000", Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1);
    entries->setCurrentItem(found.front());
    PressLater(chooser, "1");
  });
  {
    WorkingDirectory inTemplates(templates.Path());
    std::unique_ptr<QMenu> menu = window_->ScopeMenu(users);
    QAction* add = ActionNamed(menu.get(), "&Add User");
    ASSERT_NE(add, nullptr);
    add->trigger();
    ASSERT_TRUE(driver_.WaitDone());
  }
  EXPECT_EQ(ChildTexts(users), (std::vector<std::string>{"alice", "carol"}));
  const std::string desktop = VOUri("carol", "Desktop.000");
  const CallOutcome content = Call(*admin_, "GetVOContentbyURI", {{"uri", desktop}});
  ASSERT_TRUE(content.ok) << content.fault;
  EXPECT_EQ(content.decoded, "<root>" + admin::testing::XmlText(document) + "</root>");

  // Remove asks first; afterwards nothing of carol's is left, and a
  // refresh no longer lists her.
  QTreeWidgetItem* carol = ChildNamed(users, "carol");
  ASSERT_NE(carol, nullptr);
  driver_.ThenMessageBox(QMessageBox::Yes);
  driver_.ThenMessageBox();
  std::unique_ptr<QMenu> menu = window_->ScopeMenu(carol);
  QAction* remove = ActionNamed(menu.get(), "&Remove");
  ASSERT_NE(remove, nullptr);
  remove->trigger();
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_EQ(driver_.Seen().back(), "User carol is removed.  Please refresh the Users node.");
  const CallOutcome all = Call(*admin_, "GetAllVOList");
  ASSERT_TRUE(all.ok) << all.fault;
  EXPECT_EQ(all.decoded.find("carol"), std::string::npos) << all.decoded;
  EXPECT_NE(all.decoded.find(VOUri("alice", "kept")), std::string::npos);
  window_->ScopeTree()->setCurrentItem(users);
  window_->RunRefresh();
  EXPECT_EQ(ChildTexts(users), std::vector<std::string>{"alice"});
}

TEST_F(ConsoleContent, TheLogsFolderListsOnlyItsUsersApplicationEntries) {
  InstanceOptions options;
  options.logLevel = "Detail";
  QUOR_START_USERS(options);
  ASSERT_TRUE(Call(*alice_, "PutVOContent", {{"name", "doc"}, {"content", "d"}}).ok);
  for (const char* text : {"first entry", "second <entry> & more"})
    ASSERT_TRUE(Call(*alice_, "PutLog", {{"log", text}}).ok);
  ASSERT_TRUE(Call(*bob_, "PutLog", {{"log", "bob's entry"}}).ok);
  ASSERT_NO_FATAL_FAILURE(SignIn());
  QTreeWidgetItem* alice = UserFolder("alice");
  ASSERT_NE(alice, nullptr);
  window_->ScopeTree()->setCurrentItem(ChildNamed(alice, "Logs"));
  QTreeWidget* list = window_->ResultList();
  std::vector<std::string> headers;
  for (int column = 0; column < list->columnCount(); ++column)
    headers.push_back(list->headerItem()->text(column).toStdString());
  EXPECT_EQ(headers, (std::vector<std::string>{"ID", "Date and Time", "Operation", "Target", "Description"}));
  EXPECT_EQ(RowTexts(list, 4), (std::vector<std::string>{"first entry", "second <entry> & more"}));
  EXPECT_EQ(RowTexts(list, 2), (std::vector<std::string>{"PutLog", "PutLog"}));
  for (const std::string& stamp : RowTexts(list, 1)) EXPECT_FALSE(stamp.empty());
  // A refresh lists the same entries again, once each.
  ASSERT_TRUE(Call(*alice_, "PutLog", {{"log", "third"}}).ok);
  window_->RunRefresh();
  EXPECT_EQ(RowTexts(list, 4).size(), 3u);
}

TEST_F(ConsoleContent, ATransformerPluginAddedFromTheConsoleServesQueriesAndIsEditedAndRemoved) {
  soap::testing::TempDir data;
  const std::string db = (data.Path() / "sales.db").string();
  const auto made = soap::testing::RunProgram(
      "/usr/bin/sqlite3", {db, "CREATE TABLE staff (id INTEGER PRIMARY KEY, name TEXT); INSERT INTO staff VALUES (1, 'Ann');"},
      soap::testing::Environment({}), data.Path());
  ASSERT_EQ(made.status, 0) << made.output;
  InstanceOptions options;
  options.homeFiles = {{"config/sales.xml",
                        "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>sales</DataSource><InitialCatalog>main"
                        "</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};Database=" +
                            db + "</ExtendedProperties></OLEDBSetting>"}};
  QUOR_START_USERS(options);
  ASSERT_NO_FATAL_FAILURE(SignIn());
  QTreeWidgetItem* transformers = ChildNamed(window_->RootItem(), "Transformers");
  ASSERT_NE(transformers, nullptr);
  window_->ScopeTree()->setCurrentItem(transformers);
  const fs::path file = instance_->Home() / "transform" / "flat.xml";
  const auto query = [&] {
    return Call(*admin_, "Query",
                {{"sqlstmt",
                  "<query><get><content>record</content><target><provider>MSDASQL.1</provider><dsn>sales</dsn>"
                  "<catalog>main</catalog><table>staff</table></target><transform>trans:0</transform></get></query>"}});
  };

  driver_.Then([](QWidget* chooser) {
    ASSERT_EQ(chooser->objectName(), "218");
    auto* entries = chooser->findChild<QListWidget*>("1003");
    ASSERT_NE(entries, nullptr);
    const auto found = entries->findItems("libFlatConvert.so", Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1);
    entries->setCurrentItem(found.front());
    PressLater(chooser, "1");
  });
  driver_.Then([](QWidget* save) {
    EXPECT_EQ(save->windowTitle(), "Save Configuration File");
    Type(save, "223", "flat");
    PressLater(save, "1");
  });
  driver_.ThenMessageBox();
  {
    WorkingDirectory inLibraries(QUOR_LIB_DIR);
    std::unique_ptr<QMenu> menu = window_->ScopeMenu(transformers);
    QAction* add = ActionNamed(menu.get(), "&Add Transformer");
    ASSERT_NE(add, nullptr);
    add->trigger();
    ASSERT_TRUE(driver_.WaitDone());
  }
  EXPECT_EQ(driver_.Seen().back(), "New transformer added.");
  ASSERT_TRUE(fs::exists(file));
  QTreeWidget* list = window_->ResultList();
  ASSERT_EQ(list->topLevelItemCount(), 1);
  const std::string progId = list->topLevelItem(0)->text(0).toStdString();
  EXPECT_NE(progId.find("FlatConvert"), std::string::npos) << progId;
  ASSERT_TRUE(Call(*admin_, "ReLoadTransform").ok);
  CallOutcome answer = query();
  ASSERT_TRUE(answer.ok) << answer.fault;
  EXPECT_NE(answer.decoded.find("Ann"), std::string::npos) << answer.decoded;

  // Double-click edits the four texts; the Rule typed lands in the file.
  for (int prompt = 0; prompt < 4; ++prompt)
    driver_.Then([prompt](QWidget* input) {
      if (prompt == 2) Type(input, "223", "rule-7");
      PressLater(input, "1");
    });
  emit list->itemActivated(list->topLevelItem(0), 0);
  ASSERT_TRUE(driver_.WaitDone());
  std::ifstream in(file);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(written.find("<Rule>rule-7</Rule>"), std::string::npos) << written;
  EXPECT_NE(written.find("<ProgID>" + progId + "</ProgID>"), std::string::npos) << written;

  // Remove asks, deletes the file, and the service forgets it on reload.
  std::unique_ptr<QMenu> menu = window_->ResultMenu(list->topLevelItem(0));
  QAction* remove = ActionNamed(menu.get(), "&Remove");
  ASSERT_NE(remove, nullptr);
  driver_.ThenMessageBox(QMessageBox::Yes);
  driver_.ThenMessageBox();
  remove->trigger();
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_EQ(list->topLevelItemCount(), 0);
  EXPECT_FALSE(fs::exists(file));
  ASSERT_TRUE(Call(*admin_, "ReLoadTransform").ok);
  EXPECT_FALSE(query().ok);
}

}  // namespace
}  // namespace quor::console::qt
