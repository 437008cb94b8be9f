// The data-format helpers both sides of the console use, and the recording
// host's own bookkeeping that snap-in tests rely on.
#include <gtest/gtest.h>

#include "platform/console/snapin.h"
#include "testing/RecordingHost.h"

namespace quor::console {
namespace {

TEST(ConsoleFormats, WideTextRoundTripsWithItsTerminatingZero) {
  const std::vector<uint8_t> bytes = WideBytes("Ab\xC3\xA9");  // "Abé"
  EXPECT_EQ(bytes, (std::vector<uint8_t>{'A', 0, 'b', 0, 0xE9, 0, 0, 0}));
  EXPECT_EQ(TextFromWideBytes(bytes), "Ab\xC3\xA9");
  EXPECT_EQ(WideBytes(""), (std::vector<uint8_t>{0, 0}));
  // Characters beyond the basic plane travel as surrogate pairs.
  EXPECT_EQ(WideBytes("\xF0\x9F\x98\x80").size(), 6u);
  EXPECT_EQ(TextFromWideBytes(WideBytes("\xF0\x9F\x98\x80")), "\xF0\x9F\x98\x80");
  // Malformed buffers read as empty, text stops at the first zero.
  const std::vector<uint8_t> odd{'A', 0, 'B'};
  EXPECT_EQ(TextFromWideBytes(odd), "");
  const std::vector<uint8_t> early{'A', 0, 0, 0, 'B', 0};
  EXPECT_EQ(TextFromWideBytes(early), "A");
}

TEST(ConsoleFormats, GuidBytesFollowThePlatformLayout) {
  const com::Guid guid = com::Guid::Literal("{00112233-4455-6677-8899-AABBCCDDEEFF}");
  EXPECT_EQ(GuidBytes(guid), (std::vector<uint8_t>{0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xAA,
                                                   0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
}

TEST(ConsoleFormats, NotificationNames) {
  EXPECT_EQ(NotificationName(MMCN_EXPAND), "MMCN_EXPAND");
  EXPECT_EQ(NotificationName(MMCN_DBLCLICK), "MMCN_DBLCLICK");
  EXPECT_EQ(NotificationName(0x1234), "0x1234");
}

TEST(RecordingHostTest, RecordsRowsColumnsAndAnswersFromItsScript) {
  testing::RecordingHost host;
  IConsole& console = host;
  ResultItem first, second;
  first.param = 1;
  second.param = 2;
  ASSERT_EQ(console.ResultData()->InsertItem(first), S_OK);
  ASSERT_EQ(console.ResultData()->InsertItem(second), S_OK);
  EXPECT_NE(first.itemId, second.itemId) << "each row its own handle";
  EXPECT_EQ(console.ResultData()->DeleteItem(first.itemId, 0), S_OK);
  EXPECT_EQ(console.ResultData()->DeleteItem(first.itemId, 0), E_INVALIDARG) << "already gone";
  ASSERT_EQ(host.resultItems.size(), 1u);
  EXPECT_EQ(host.resultItems[0].param, 2);
  console.HeaderCtrl()->InsertColumn(0, "Object", LVCFMT_LEFT, MMCLV_AUTO);
  console.HeaderCtrl()->SetColumnWidth(0, 100);
  ASSERT_EQ(host.columns.size(), 1u);
  EXPECT_EQ(host.columns[0].width, 100);

  // The scope image list is a part of its own; the result pane's is the host.
  ASSERT_NE(console.QueryScopeImageList(), nullptr);
  console.QueryScopeImageList()->ImageListSetStrip(ImageStrip{}, ImageStrip{}, 0, 0xFFFF00);
  EXPECT_EQ(host.scopeStrips.size(), 1u);
  EXPECT_TRUE(host.resultStrips.empty());

  // Scripted answers first, then each box's default; logon cancels when unscripted.
  host.messageBoxAnswers = {IDNO};
  EXPECT_EQ(console.Dialogs()->MessageBox("a", "Warning", MB_YESNO), IDNO);
  EXPECT_EQ(console.Dialogs()->MessageBox("b", "Warning", MB_YESNO), IDYES);
  EXPECT_EQ(console.Dialogs()->MessageBox("c", "Error", MB_RETRYCANCEL), IDRETRY);
  EXPECT_EQ(host.MessageTexts(), (std::vector<std::string>{"a", "b", "c"}));
  host.logonReplies.push_back({true, "svc", "bob", "pw"});
  EXPECT_TRUE(console.Dialogs()->RunLogon({"local", "", ""}).ok);
  EXPECT_FALSE(console.Dialogs()->RunLogon({"local", "", ""}).ok);
  EXPECT_EQ(host.logonRequests.size(), 2u);
}

}  // namespace
}  // namespace quor::console
