// The ACL editor against the recording host: the rights text it reads and
// writes, the entry dialog's checks, and the list dialog working one Vesk
// object's ACL on a real quor-server, where each change must show in what
// the service answers and in what another user may then do.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "admin/snapin/ACLEditor.h"
#include "admin/snapin/SnapInModule.h"
#include "testing/RecordingHost.h"
#include "testing/ServerInstance.h"
#include "admin/tests/SnapinFixture.h"

namespace quor::admin::snapin {
namespace {

using console::IModalDialog;
using console::testing::RecordingHost;
using admin::testing::Call;
using admin::testing::CallOutcome;
using admin::testing::DefaultAcl;
using admin::testing::InstanceOptions;
using Rights = std::array<bool, 6>;
using Dlg = CAccessRightDlg;
using List = CACLEditorDlg;

std::string Value(const IModalDialog& dialog, std::string_view id) { return RecordingHost::FieldOf(dialog, id).value; }
bool Enabled(const IModalDialog& dialog, std::string_view id) { return RecordingHost::FieldOf(dialog, id).enabled; }
std::vector<std::string> Lines(const IModalDialog& dialog) { return RecordingHost::FieldOf(dialog, List::kList).options; }
std::string Boxes(const IModalDialog& dialog) {
  std::string boxes;
  for (auto id : {Dlg::kContentRead, Dlg::kContentWrite, Dlg::kContentDelete, Dlg::kAttributeRead,
                  Dlg::kAttributeWrite, Dlg::kAttributeDelete})
    boxes += Value(dialog, id);
  return boxes;
}

TEST(AccessRights, BuiltInFixedOrderReadInAnyOrder) {
  EXPECT_EQ(Dlg::BuildRights({true, true, true, true, true, true}), "rwdarawad");
  EXPECT_EQ(Dlg::BuildRights({false, false, false, true, true, true}), "arawad");
  EXPECT_EQ(Dlg::BuildRights({true, false, true, false, true, false}), "rdaw");
  EXPECT_EQ(Dlg::BuildRights({}), "");
  EXPECT_EQ(Dlg::ReadRights(" [rwdar]"), (Rights{true, true, true, true, false, false}));
  EXPECT_EQ(Dlg::ReadRights("[awx]"), (Rights{false, false, false, false, true, false}));
  // "a" takes its neighbour whatever it is; a trailing "a" names nothing.
  EXPECT_EQ(Dlg::ReadRights("axraar"), (Rights{true, false, false, false, false, false}));
  EXPECT_EQ(Dlg::ReadRights("adwa"), (Rights{false, true, false, false, false, true}));
  EXPECT_EQ(Dlg::ReadRights("RW [ ]"), Rights{});
  for (unsigned mask = 0; mask < 64; ++mask) {
    Rights rights{};
    for (unsigned i = 0; i < 6; ++i) rights[i] = (mask >> i & 1u) != 0;
    EXPECT_EQ(Dlg::ReadRights(" [" + Dlg::BuildRights(rights) + "]"), rights) << mask;
  }
}

class EntryDialog : public testing::HostedDialogTest {};

TEST_F(EntryDialog, RefusalsComeInOrderAndLeaveItOpen) {
  Dlg dialog("", "");
  host_.modalSteps.push_back([this](IModalDialog& d) {
    EXPECT_TRUE(Enabled(d, Dlg::kUserName));
    EXPECT_EQ(Boxes(d), "000000");
    ASSERT_TRUE(d.Press(Dlg::kOk));
    ASSERT_TRUE(d.SetValue(Dlg::kUserName, "   "));
    ASSERT_TRUE(d.Press(Dlg::kOk));
    ASSERT_TRUE(d.SetValue(Dlg::kAttributeRead, "1"));
    EXPECT_FALSE(d.SetValue(Dlg::kContentRead, "yes"));
    ASSERT_TRUE(d.Press(Dlg::kOk));
    ASSERT_TRUE(d.SetValue(Dlg::kUserName, ""));
    ASSERT_TRUE(d.Press(Dlg::kOk));
    EXPECT_FALSE(d.Ended());
    EXPECT_EQ(host_.MessageTexts(), (std::vector<std::string>{"User Name is not specified",
                                                              "Access Right is not selected", "User Name is invalid",
                                                              "User Name is not specified"}));
    EXPECT_EQ(host_.messageBoxes.back().caption, "Error");
    // A leading blank is part of the name.
    ASSERT_TRUE(d.SetValue(Dlg::kUserName, " carol"));
    ASSERT_TRUE(d.SetValue(Dlg::kAttributeWrite, "1"));
    ASSERT_TRUE(d.Press(Dlg::kOk));
  });
  EXPECT_EQ(dialog.DoModal(), console::IDOK);
  EXPECT_EQ(dialog.UserName(), " carol");
  EXPECT_EQ(dialog.Rights(), "araw");
  EXPECT_EQ(host_.modalCaptions, std::vector<std::string>{"Access Right Editor"});
}

TEST_F(EntryDialog, AGivenNameIsFixedAndCancelKeepsTheTexts) {
  Dlg dialog("bob", " [rwdar]");
  host_.modalSteps.push_back([](IModalDialog& d) {
    EXPECT_EQ(Value(d, Dlg::kUserName), "bob");
    EXPECT_FALSE(Enabled(d, Dlg::kUserName));
    EXPECT_FALSE(d.SetValue(Dlg::kUserName, "mallory"));
    EXPECT_EQ(Boxes(d), "111100");
    ASSERT_TRUE(d.SetValue(Dlg::kContentDelete, "0"));
    ASSERT_TRUE(d.Press(Dlg::kCancel));
  });
  EXPECT_EQ(dialog.DoModal(), console::IDCANCEL);
  EXPECT_EQ(dialog.UserName(), "bob");
  EXPECT_EQ(dialog.Rights(), " [rwdar]");

  // The field gives at most 259 characters, whole ones.
  Dlg added("", "");
  host_.modalSteps.push_back([](IModalDialog& d) {
    std::string long_name;
    for (int i = 0; i < 300; ++i) long_name += "\xE6\x97\xA5";
    ASSERT_TRUE(d.SetValue(Dlg::kUserName, long_name));
    ASSERT_TRUE(d.SetValue(Dlg::kContentRead, "1"));
    ASSERT_TRUE(d.Press(Dlg::kOk));
  });
  EXPECT_EQ(added.DoModal(), console::IDOK);
  EXPECT_EQ(added.UserName().size(), 259u * 3);

  Module::SetDialogs(nullptr);
  EXPECT_EQ(Dlg("", "").DoModal(), console::IDCANCEL);
  EXPECT_EQ(List("urn:x").DoModal(), console::IDCANCEL);
}

// alice's object, edited by the administrator through the editor.
class AclEditor : public admin::testing::CollabRoad {
 protected:
  void SetUp() override { Module::SetDialogs(&host_); }
  void TearDown() override {
    Module::SetService(nullptr);
    Module::SetDialogs(nullptr);
    CollabRoad::TearDown();
  }
  // Starts the service and puts alice's object; its URN.
  std::string Start() {
    StartCollab(InstanceOptions{});
    if (HasFatalFailure() || IsSkipped()) return {};
    Module::SetService(admin.get());
    const CallOutcome put = Call(*alice, "PutVOContent", {{"name", "plan"}, {"content", "secret"}});
    EXPECT_TRUE(put.ok) << put.fault;
    return put.ok ? "urn:vocontent:vodb000:" + alice_ + "-plan" : std::string();
  }
  // The ACL as the service answers alice.
  std::string AclOf(const std::string& uri) {
    const CallOutcome acl = Call(*alice, "GetACL", {{"uri", uri}});
    EXPECT_TRUE(acl.ok) << acl.fault;
    return acl.decoded;
  }
  std::string Line(const std::string& user, const std::string& rights) { return user + " [" + rights + "]"; }
  std::string Entry(const std::string& user, const std::string& rights) {
    return "<control><user>" + user + "</user><access>" + rights + "</access></control>";
  }
  // The entry dialog's next run: the name (when editable) and the boxes to set.
  void Answer(std::string name, std::vector<std::string_view> boxes) {
    host_.modalSteps.push_back([name, boxes](IModalDialog& d) {
      if (!name.empty()) {
        ASSERT_TRUE(d.SetValue(Dlg::kUserName, name));
      }
      for (auto box : boxes) ASSERT_TRUE(d.SetValue(box, "1"));
      ASSERT_TRUE(d.Press(Dlg::kOk));
    });
  }

  RecordingHost host_;
};

TEST_P(AclEditor, ChangesReachTheServiceAndTheUsers) {
  const std::string uri = Start();
  if (uri.empty()) return;
  const std::string bobReads = "<root>secret</root>";
  List editor(uri);
  host_.modalSteps.push_back([&](IModalDialog& d) {
    auto& list = dynamic_cast<List&>(d);
    EXPECT_EQ(Lines(d), (std::vector<std::string>{"administrator [rwdarawad]", Line(alice_, "rwdarawad")}));
    EXPECT_EQ(list.EntryCount(), 2);
    EXPECT_EQ(Value(d, List::kCaptionText), "Access Control List");
    EXPECT_FALSE(Enabled(d, List::kEdit));
    EXPECT_FALSE(d.Press(List::kRemove));

    Answer(bob_, {Dlg::kContentRead, Dlg::kAttributeRead});
    ASSERT_TRUE(d.Press(List::kAdd));
    EXPECT_EQ(Lines(d), (std::vector<std::string>{"administrator [rwdarawad]", Line(alice_, "rwdarawad"),
                                                  Line(bob_, "rar")}));
    EXPECT_EQ(list.EntryCount(), 3);
    EXPECT_EQ(AclOf(uri), "<root>" + DefaultAcl(alice_).substr(0, DefaultAcl(alice_).size() - 8) +
                              Entry(bob_, "rar") + "</VOACL></root>");
    CallOutcome read = Call(*bob, "GetVOContentbyURI", {{"uri", uri}});
    EXPECT_TRUE(read.ok) << read.fault;
    EXPECT_EQ(read.decoded, bobReads);
    EXPECT_FALSE(Call(*bob, "UpdateVOContentbyURI", {{"uri", uri}, {"content", "bob's"}}).ok);

    // Edit opens on the entry's rights with the name fixed; the line moves
    // only with the service's consent.
    ASSERT_TRUE(d.SetValue(List::kList, Line(bob_, "rar")));
    host_.modalSteps.push_back([this](IModalDialog& entry) {
      EXPECT_EQ(Value(entry, Dlg::kUserName), bob_);
      EXPECT_FALSE(Enabled(entry, Dlg::kUserName));
      EXPECT_EQ(Boxes(entry), "100100");
      ASSERT_TRUE(entry.SetValue(Dlg::kContentWrite, "1"));
      ASSERT_TRUE(entry.Press(Dlg::kOk));
    });
    ASSERT_TRUE(d.Press(List::kEdit));
    EXPECT_EQ(Lines(d).back(), Line(bob_, "rwar"));
    EXPECT_FALSE(Enabled(d, List::kEdit));
    EXPECT_EQ(Call(*alice, "GetACLEntry", {{"uri", uri}, {"acluser", bob_}}).decoded, Entry(bob_, "rwar"));
    EXPECT_TRUE(Call(*bob, "UpdateVOContentbyURI", {{"uri", uri}, {"content", "secret"}}).ok);

    ASSERT_TRUE(d.SetValue(List::kList, Line(bob_, "rwar")));
    ASSERT_TRUE(d.Press(List::kRemove));
    EXPECT_EQ(list.EntryCount(), 2);
    EXPECT_EQ(AclOf(uri), "<root>" + DefaultAcl(alice_) + "</root>");
    EXPECT_EQ(Call(*bob, "GetVOContentbyURI", {{"uri", uri}}).status, admin::testing::collab::kAccessDenied);

    // A name holding blanks stays whole on its way back to the service.
    Answer("web editors", {Dlg::kAttributeDelete});
    ASSERT_TRUE(d.Press(List::kAdd));
    ASSERT_TRUE(d.SetValue(List::kList, "web editors [ad]"));
    host_.modalSteps.push_back([](IModalDialog& entry) {
      EXPECT_EQ(Value(entry, Dlg::kUserName), "web editors");
      EXPECT_EQ(Boxes(entry), "000001");
    });
    ASSERT_TRUE(d.Press(List::kEdit));
    ASSERT_TRUE(d.Press(List::kRemove));
    EXPECT_EQ(AclOf(uri), "<root>" + DefaultAcl(alice_) + "</root>");
    EXPECT_EQ(list.EntryCount(), 2);
    ASSERT_TRUE(d.Press(List::kClose));
  });
  EXPECT_EQ(editor.DoModal(), 1);
  EXPECT_EQ(editor.EntryCount(), 2);
  EXPECT_EQ(host_.modalCaptions, (std::vector<std::string>{"Access Control List Editor", "Access Right Editor",
                                                           "Access Right Editor", "Access Right Editor",
                                                           "Access Right Editor"}));
  EXPECT_TRUE(host_.messageBoxes.empty()) << host_.MessageTexts().front();
}

TEST_P(AclEditor, ProtectedOrRefusedChangesKeepTheList) {
  const std::string uri = Start();
  if (uri.empty()) return;
  // An object that does not exist: no entries to list, none to add.
  List missing(uri + "-gone");
  host_.modalSteps.push_back([&](IModalDialog& d) {
    EXPECT_TRUE(Lines(d).empty());
    ASSERT_EQ(host_.messageBoxes.size(), 1u);
    Answer(bob_, {Dlg::kContentRead});
    ASSERT_TRUE(d.Press(List::kAdd));
    EXPECT_TRUE(Lines(d).empty());
    ASSERT_EQ(host_.messageBoxes.size(), 2u);
    EXPECT_EQ(host_.messageBoxes.back().text, admin->FaultText());
    EXPECT_EQ(host_.messageBoxes.back().caption, "Error");
    ASSERT_TRUE(d.Press(List::kClose));
  });
  EXPECT_EQ(missing.DoModal(), 1);
  EXPECT_EQ(missing.EntryCount(), 0);
  EXPECT_NE(host_.messageBoxes.front().text, "Unknown Error");

  // bob's entry goes behind the editor's back: Edit and Remove are refused
  // and his line stays; adding a user already listed is refused too.
  ASSERT_TRUE(Call(*alice, "PutACLEntry", {{"uri", uri}, {"acluser", bob_}, {"accright", "r"}}).ok);
  host_.messageBoxes.clear();
  host_.modalCaptions.clear();
  List editor(uri);
  host_.modalSteps.push_back([&](IModalDialog& d) {
    ASSERT_EQ(Lines(d).size(), 3u);
    // The administrator's entry, in whatever case, is neither edited nor
    // removed, and nothing goes to the service.
    const std::string sent = admin->LastEnvelope();
    ASSERT_TRUE(d.SetValue(List::kList, "administrator [rwdarawad]"));
    ASSERT_TRUE(d.Press(List::kEdit));
    ASSERT_TRUE(d.Press(List::kRemove));
    EXPECT_EQ(admin->LastEnvelope(), sent);
    EXPECT_EQ(host_.MessageTexts(),
              (std::vector<std::string>{"Can not edit Administrator user.", "Can not delete Administrator user."}));
    EXPECT_EQ(host_.messageBoxes.front().caption, "Information");
    EXPECT_EQ(host_.modalCaptions.size(), 1u);
    EXPECT_FALSE(d.SetValue(List::kList, "nobody [r]"));
    host_.messageBoxes.clear();

    ASSERT_TRUE(Call(*alice, "DeleteACLEntry", {{"uri", uri}, {"acluser", bob_}}).ok);
    ASSERT_TRUE(d.SetValue(List::kList, Line(bob_, "r")));
    Answer("", {Dlg::kContentWrite});
    ASSERT_TRUE(d.Press(List::kEdit));
    ASSERT_TRUE(d.Press(List::kRemove));
    Answer(alice_, {Dlg::kContentRead});
    ASSERT_TRUE(d.Press(List::kAdd));
    EXPECT_EQ(Lines(d), (std::vector<std::string>{"administrator [rwdarawad]", Line(alice_, "rwdarawad"),
                                                  Line(bob_, "r")}));
    EXPECT_EQ(dynamic_cast<List&>(d).EntryCount(), 3);
    ASSERT_EQ(host_.messageBoxes.size(), 3u);
    for (const auto& box : host_.messageBoxes) {
      EXPECT_EQ(box.caption, "Error");
      EXPECT_NE(box.text, "Unknown Error");
    }
    // Escape follows: the host cancels a dialog its step left open.
  });
  EXPECT_EQ(editor.DoModal(), console::IDCANCEL);
  EXPECT_EQ(AclOf(uri), "<root>" + DefaultAcl(alice_) + "</root>");
}

INSTANTIATE_TEST_SUITE_P(Engines, AclEditor, ::testing::Values(admin::testing::Database::Sqlite),
                         admin::testing::EngineName);

}  // namespace
}  // namespace quor::admin::snapin
