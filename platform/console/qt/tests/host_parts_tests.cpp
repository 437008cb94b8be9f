// The console parts a snap-in fills, called as a snap-in calls them: result
// columns and rows, the description bar, the name space's handles and the
// verbs. Nothing here needs a loaded snap-in: texts come from the records.
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>

#include "platform/console/qt/ConsoleWindow.h"

namespace quor::console::qt {
namespace {

TEST(ConsoleHostParts, ColumnsRowsAndTheDescriptionBar) {
  ConsoleWindow window;
  window.show();
  IHeaderCtrl& header = *window.HeaderCtrl();
  IResultData& data = *window.ResultData();
  QTreeWidget* list = window.ResultList();

  ASSERT_EQ(header.InsertColumn(0, "Name", LVCFMT_LEFT, 150), S_OK);
  ASSERT_EQ(header.InsertColumn(1, "Size", LVCFMT_RIGHT, MMCLV_AUTO), S_OK);
  EXPECT_EQ(list->columnCount(), 2);
  EXPECT_EQ(list->headerItem()->text(1), "Size");
  EXPECT_TRUE(list->headerItem()->textAlignment(1) & Qt::AlignRight);
  EXPECT_EQ(list->columnWidth(0), 150);
  EXPECT_GT(list->columnWidth(1), 0) << "sized to its title";
  EXPECT_EQ(header.SetColumnWidth(0, 80), S_OK);
  EXPECT_EQ(list->columnWidth(0), 80);
  EXPECT_EQ(header.InsertColumn(-1, "Bad", LVCFMT_LEFT, 10), E_INVALIDARG);
  EXPECT_EQ(header.SetColumnWidth(7, 10), E_INVALIDARG);

  ResultItem first, second;
  first.text = "sales";
  second.text = "staff";
  ASSERT_EQ(data.InsertItem(first), S_OK);
  ASSERT_EQ(data.InsertItem(second), S_OK);
  EXPECT_NE(first.itemId, 0);
  EXPECT_NE(first.itemId, second.itemId);
  ASSERT_EQ(list->topLevelItemCount(), 2);
  EXPECT_EQ(list->topLevelItem(1)->text(0), "staff");
  EXPECT_EQ(data.DeleteItem(first.itemId, 0), S_OK);
  EXPECT_EQ(data.DeleteItem(first.itemId, 0), E_INVALIDARG) << "already gone";
  ASSERT_EQ(list->topLevelItemCount(), 1);
  EXPECT_EQ(list->topLevelItem(0)->text(0), "staff");
  EXPECT_EQ(data.DeleteAllRsltItems(), S_OK);
  EXPECT_EQ(list->topLevelItemCount(), 0);
  EXPECT_EQ(data.DeleteItem(second.itemId, 0), E_INVALIDARG);

  EXPECT_EQ(data.SetDescBarText("[double click a row]"), S_OK);
  EXPECT_TRUE(window.DescriptionBar()->isVisible());
  EXPECT_EQ(window.DescriptionBar()->text(), "[double click a row]");
  EXPECT_EQ(data.SetDescBarText(""), S_OK);
  EXPECT_FALSE(window.DescriptionBar()->isVisible());
}

TEST(ConsoleHostParts, NameSpaceHandlesFollowInsertAndDelete) {
  ConsoleWindow window;
  IConsoleNameSpace& names = *window.NameSpace();
  ScopeItem root;
  root.text = "root";
  ASSERT_EQ(names.InsertItem(root), S_OK);
  ScopeItem a, b, grandchild;
  a.text = "a";
  a.relativeId = root.id;
  b.text = "b";
  b.relativeId = root.id;
  ASSERT_EQ(names.InsertItem(a), S_OK);
  ASSERT_EQ(names.InsertItem(b), S_OK);
  grandchild.text = "a.1";
  grandchild.relativeId = a.id;
  ASSERT_EQ(names.InsertItem(grandchild), S_OK);
  QTreeWidgetItem* top = window.RootItem();
  ASSERT_NE(top, nullptr);
  ASSERT_EQ(top->childCount(), 2);
  EXPECT_EQ(top->child(0)->child(0)->text(0), "a.1");

  ScopeItem orphan;
  orphan.relativeId = 999999;
  EXPECT_EQ(names.InsertItem(orphan), E_INVALIDARG) << "no such parent";

  // Deleting a's children keeps a; deleting a takes its whole subtree.
  EXPECT_EQ(names.DeleteItem(a.id, false), S_OK);
  EXPECT_EQ(top->child(0)->childCount(), 0);
  EXPECT_EQ(names.DeleteItem(grandchild.id, true), E_INVALIDARG) << "its handle went with it";
  EXPECT_EQ(names.DeleteItem(a.id, true), S_OK);
  ASSERT_EQ(top->childCount(), 1);
  EXPECT_EQ(top->child(0)->text(0), "b");
  EXPECT_EQ(names.DeleteItem(a.id, true), E_INVALIDARG);
  ScopeItem late;
  late.relativeId = a.id;
  EXPECT_EQ(names.InsertItem(late), E_INVALIDARG) << "a deleted parent";
}

TEST(ConsoleHostParts, VerbsKeepTheLastStateAndRefuseUnknownOnes) {
  ConsoleWindow window;
  IConsoleVerb& verbs = *window.ConsoleVerb();
  EXPECT_FALSE(window.VerbEnabled(MMC_VERB_PROPERTIES));
  EXPECT_EQ(verbs.SetVerbState(MMC_VERB_PROPERTIES, ENABLED, true), S_OK);
  EXPECT_TRUE(window.VerbEnabled(MMC_VERB_PROPERTIES));
  EXPECT_EQ(verbs.SetVerbState(MMC_VERB_PROPERTIES, HIDDEN, true), S_OK);
  EXPECT_TRUE(window.VerbEnabled(MMC_VERB_PROPERTIES)) << "hiding is another state";
  EXPECT_EQ(verbs.SetVerbState(MMC_VERB_PROPERTIES, ENABLED, false), S_OK);
  EXPECT_FALSE(window.VerbEnabled(MMC_VERB_PROPERTIES));
  EXPECT_EQ(verbs.SetVerbState(0x1234, ENABLED, true), E_INVALIDARG);
  // Without a snap-in the verbs do nothing, however they are set.
  EXPECT_EQ(verbs.SetVerbState(MMC_VERB_REFRESH, ENABLED, true), S_OK);
  window.RunRefresh();
  window.RunDelete();
  window.RunProperties();
  EXPECT_NE(window.QueryScopeImageList(), nullptr);
  ImageStrip bad{102, 0};
  EXPECT_EQ(window.QueryScopeImageList()->ImageListSetStrip(bad, bad, 0, 0), E_INVALIDARG);
  ImageStrip small{102, 16}, large{103, 32};
  EXPECT_EQ(window.QueryResultImageList()->ImageListSetStrip(small, large, 0, 0xFFFF00), S_OK);
}

}  // namespace
}  // namespace quor::console::qt
