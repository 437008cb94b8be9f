// The snap-in's images in quor-console against a real quor-server: every kind
// of node in the scope tree and every kind of row in the list carries the
// icon of the image index it gives, so that nodes of one index look alike
// and nodes of different indexes do not; and a log entry's page opens from
// its row, read-only.
#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "console/tests/ConsoleRoad.h"
#include "testing/OutsideSql.h"

namespace quor::console::qt {
namespace {

namespace fs = std::filesystem;
using admin::testing::Call;
using admin::testing::InstanceOptions;
using namespace testing;

struct Seen {
  std::string what;
  int index;  // the image index the node's Part gives it
  QImage image;
};

QImage Picture(const QTreeWidgetItem* item) {
  return item->icon(0).pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
}

class ConsoleImages : public ConsoleRoad {
 protected:
  void See(std::string what, int index, const QTreeWidgetItem* item) {
    ASSERT_NE(item, nullptr) << what;
    ASSERT_FALSE(item->icon(0).isNull()) << what;
    seen_.push_back({std::move(what), index, Picture(item)});
  }
  // Shows `folder` and notes its rows: the one whose column `column` reads
  // `text`, with its index.
  void SeeRows(QTreeWidgetItem* folder, int column, const std::vector<std::pair<std::string, int>>& rows) {
    ASSERT_NE(folder, nullptr);
    window_->ScopeTree()->setCurrentItem(folder);
    QTreeWidget* list = window_->ResultList();
    for (const auto& [text, index] : rows) {
      const QTreeWidgetItem* row = nullptr;
      for (int i = 0; i < list->topLevelItemCount() && !row; ++i)
        if (list->topLevelItem(i)->text(column).toStdString() == text) row = list->topLevelItem(i);
      ASSERT_NO_FATAL_FAILURE(See("row " + text, index, row));
    }
  }

  soap::testing::TempDir data_;
  std::vector<Seen> seen_;
};

TEST_F(ConsoleImages, EachNodeKindShowsTheIconOfItsImageIndex) {
  const fs::path sales = data_.Path() / "sales.db";
  ASSERT_EQ(oledb::testing::Capture("sqlite3 -batch '" + sales.string() +
                                    "' \"CREATE TABLE staff (id INTEGER PRIMARY KEY); CREATE VIEW staff_ids AS "
                                    "SELECT id FROM staff;\" 2>&1"),
            "");
  InstanceOptions options;
  options.logLevel = "Detail";
  options.accounts.push_back({"alice", "alice-pw"});
  options.homeFiles.push_back(
      {"config/sales.xml", "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>sales</DataSource>"
                           "<InitialCatalog>main</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};Database=" +
                               sales.string() + "</ExtendedProperties></OLEDBSetting>"});
  QUOR_START_SERVICE(options);
  auto alice = instance_->SignIn("alice", "alice-pw");
  ASSERT_TRUE(alice);
  ASSERT_TRUE(Call(*alice, "PutVOContent", {{"name", "doc"}, {"content", "d"}}).ok);
  ASSERT_TRUE(Call(*alice, "PutLog", {{"log", "an entry"}}).ok);
  alice->EndSession();
  ASSERT_NO_FATAL_FAILURE(SignIn());

  QTreeWidgetItem* root = window_->RootItem();
  ASSERT_NO_FATAL_FAILURE(See("root", 1, root));
  QTreeWidgetItem* databases = ChildNamed(root, "Databases");
  ASSERT_NO_FATAL_FAILURE(See("Databases", 1, databases));
  ASSERT_NO_FATAL_FAILURE(See("Native DB", 9, ChildNamed(root, "Native DB")));
  ASSERT_NO_FATAL_FAILURE(See("Transformers", 16, ChildNamed(root, "Transformers")));
  QTreeWidgetItem* users = ChildNamed(root, "Users");
  ASSERT_NO_FATAL_FAILURE(See("Users", 17, users));

  databases->setExpanded(true);
  QTreeWidgetItem* connection = ChildNamed(databases, "sales [main]");
  ASSERT_NO_FATAL_FAILURE(See("connection", 2, connection));
  connection->setExpanded(true);
  const std::pair<const char*, int> folders[] = {
      {"Tables", 3}, {"Views", 5}, {"Stored Procedures", 7}, {"Alias", 19}, {"Synonym", 21}};
  for (const auto& [name, index] : folders) ASSERT_NO_FATAL_FAILURE(See(name, index, ChildNamed(connection, name)));

  users->setExpanded(true);
  QTreeWidgetItem* user = ChildNamed(users, "alice");
  ASSERT_NO_FATAL_FAILURE(See("user", 18, user));
  user->setExpanded(true);
  ASSERT_NO_FATAL_FAILURE(See("Vesks", 5, ChildNamed(user, "Vesks")));
  ASSERT_NO_FATAL_FAILURE(See("Logs", 7, ChildNamed(user, "Logs")));

  ASSERT_NO_FATAL_FAILURE(SeeRows(ChildNamed(connection, "Tables"), 0, {{"staff", 4}}));
  ASSERT_NO_FATAL_FAILURE(SeeRows(ChildNamed(connection, "Views"), 0, {{"staff_ids", 6}}));
  ASSERT_NO_FATAL_FAILURE(SeeRows(ChildNamed(root, "Native DB"), 2,
                                  {{"QUORVESK", 10}, {"QUORVESKRES", 11}, {"QUORCOLLAB", 12}, {"QUORLOG", 14}}));
  EXPECT_TRUE(window_->grab().save(QStringLiteral(QUOR_BUILD_DIR "/console-images.png")));
  ASSERT_NO_FATAL_FAILURE(SeeRows(ChildNamed(user, "Vesks"), 0, {{"doc", 6}}));
  ASSERT_NO_FATAL_FAILURE(SeeRows(ChildNamed(user, "Logs"), 4, {{"an entry", 2}}));

  for (size_t a = 0; a < seen_.size(); ++a)
    for (size_t b = a + 1; b < seen_.size(); ++b) {
      if (seen_[a].index == seen_[b].index)
        EXPECT_EQ(seen_[a].image, seen_[b].image) << seen_[a].what << " and " << seen_[b].what;
      else
        EXPECT_NE(seen_[a].image, seen_[b].image) << seen_[a].what << " and " << seen_[b].what;
    }

  // The log entry's row offers its page, which shows the entry read-only.
  QTreeWidget* list = window_->ResultList();
  ASSERT_EQ(list->topLevelItemCount(), 1);
  list->topLevelItem(0)->setSelected(true);
  ASSERT_TRUE(window_->VerbEnabled(MMC_VERB_PROPERTIES));
  std::vector<std::string> texts;
  bool readOnly = true;
  driver_.Then([&](QWidget* sheet) {
    ASSERT_EQ(sheet->objectName(), "PropertySheet");
    QWidget* page = sheet->findChild<QWidget*>("Log");
    ASSERT_NE(page, nullptr);
    for (auto* edit : page->findChildren<QLineEdit*>()) {
      readOnly = readOnly && edit->isReadOnly();
      texts.push_back(edit->text().toStdString());
    }
    auto* buttons = sheet->findChild<QDialogButtonBox*>("Buttons");
    ASSERT_NE(buttons, nullptr);
    QMetaObject::invokeMethod(buttons->button(QDialogButtonBox::Cancel), &QAbstractButton::click,
                              Qt::QueuedConnection);
  });
  window_->RunProperties();
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_TRUE(readOnly);
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_EQ(texts[2], "PutLog");
  EXPECT_EQ(texts[4], "an entry");
}

}  // namespace
}  // namespace quor::console::qt
