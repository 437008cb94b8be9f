// The console parts a snap-in fills, called as a snap-in calls them: result
// columns and rows, the description bar, the name space's handles and the
// verbs. Nothing here needs a loaded snap-in: texts come from the records.
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLabel>
#include <QImage>
#include <QTreeWidget>

#include "console/ConsoleWindow.h"

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
  ImageStrip bad;
  bad.size = 0;
  EXPECT_EQ(window.QueryScopeImageList()->ImageListSetStrip(bad, bad, 0, 0), E_INVALIDARG);
  ImageStrip named;  // ids alone: the style's icons
  EXPECT_EQ(window.QueryResultImageList()->ImageListSetStrip(named, named, 0, 0xFFFF00), S_OK);
}

TEST(ConsoleHostParts, StripsAreCutIntoIconsWithTheMaskTransparent) {
  ConsoleWindow window;
  // Two images of 2 by 2 pixels side by side, colours as 0x00BBGGRR.
  constexpr uint32_t kMask = 0xFFFF00, kRed = 0x0000FF, kBlue = 0xFF0000;
  ImageStrip strip;
  strip.size = 2;
  strip.count = 2;
  strip.pixels = {kMask, kRed, kBlue, kBlue, kRed, kRed, kBlue, kBlue};
  ImageStrip shortStrip = strip;
  shortStrip.pixels.pop_back();
  EXPECT_EQ(window.QueryScopeImageList()->ImageListSetStrip(shortStrip, strip, 0, kMask), E_INVALIDARG);
  ASSERT_EQ(window.QueryScopeImageList()->ImageListSetStrip(strip, strip, 3, kMask), S_OK);

  ScopeItem item;
  item.mask = SDI_STR | SDI_IMAGE | SDI_OPENIMAGE;
  item.text = "node";
  item.image = 3;
  item.openImage = 4;
  ASSERT_EQ(window.InsertItem(item), S_OK);
  QTreeWidgetItem* node = window.ScopeTree()->topLevelItem(0);
  const QImage closed = node->icon(0).pixmap(2, 2).toImage().convertToFormat(QImage::Format_ARGB32);
  EXPECT_EQ(qAlpha(closed.pixel(0, 0)), 0);
  EXPECT_EQ(closed.pixel(1, 0), qRgb(255, 0, 0));
  EXPECT_EQ(closed.pixel(0, 1), qRgb(255, 0, 0));
  node->setExpanded(true);  // the open image
  EXPECT_EQ(node->icon(0).pixmap(2, 2).toImage().convertToFormat(QImage::Format_ARGB32).pixel(0, 0),
            qRgb(0, 0, 255));
  // An index no strip gave: the style's folder.
  item.image = item.openImage = 9;
  ASSERT_EQ(window.InsertItem(item), S_OK);
  EXPECT_FALSE(window.ScopeTree()->topLevelItem(1)->icon(0).isNull());
}

}  // namespace
}  // namespace quor::console::qt
