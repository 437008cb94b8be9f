// The input dialog, the save dialog over a real folder, and the XML wrapper
// writing to and loading from the path the save dialog gives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "admin/XmlDocument.h"
#include "platform/console/InputDialog.h"
#include "testing/TempDir.h"

namespace quor::admin {
namespace {

using namespace console;

namespace stdfs = std::filesystem;

class DialogTest : public ::testing::Test {
 protected:
  quor::test::TempDir temp_{"quor-dialog"};
  DialogTest() {
    dir_ = temp_.Path();
    folder_ = dir_.string() + "/";
  }

  stdfs::path dir_;
  std::string folder_;
};

TEST_F(DialogTest, OkIsEnabledWhileTheTextDiffersAndTakesTheWholeText) {
  InputDialog dialog("Rename", "New name:", "old");
  dialog.Open();
  EXPECT_EQ(dialog.EditText(), "old");
  EXPECT_FALSE(dialog.OkEnabled());
  dialog.SetEditText("older");
  EXPECT_TRUE(dialog.OkEnabled());
  dialog.SetEditText("old");
  EXPECT_FALSE(dialog.OkEnabled());

  InputDialog empty("Input", "Name:", "");
  empty.Open();
  empty.SetEditText("x");
  EXPECT_TRUE(empty.OkEnabled());
  empty.SetEditText("");  // typed and deleted again
  EXPECT_FALSE(empty.OkEnabled());

  InputDialog always("Input", "Name:", "same");
  always.EnableOkAlways();
  always.Open();
  EXPECT_TRUE(always.OkEnabled());

  // OK takes the whole text, however long; Cancel keeps none.
  const std::string longText(400, 'n');
  empty.SetEditText(longText);
  EXPECT_EQ(empty.Ok().end, kIdOk);
  EXPECT_EQ(empty.Value(), longText);
  dialog.SetEditText("typed");
  EXPECT_EQ(dialog.Cancel().end, kIdCancel);
  EXPECT_EQ(dialog.Value(), "");
}

TEST_F(DialogTest, FileNamesGetTheXmlEnding) {
  EXPECT_EQ(CompleteConfigFileName("conn"), "conn.xml");
  EXPECT_EQ(CompleteConfigFileName("conn.xml"), "conn.xml");
  EXPECT_EQ(CompleteConfigFileName("conn.txt"), "conn.txt.xml");
  EXPECT_EQ(CompleteConfigFileName("conn.XML"), "conn.XML.xml");
  EXPECT_EQ(CompleteConfigFileName("my conn"), "my conn.xml");
  EXPECT_EQ(CompleteConfigFileName(std::string(251, 'a')), std::string(251, 'a') + ".xml");
  for (const std::string& bad : {std::string(), std::string("   "), std::string("."), std::string(".."),
                                 std::string("../conn"), std::string("sub/conn"), std::string("sub\\conn"),
                                 std::string("/etc/passwd"), std::string("a\0b", 3), std::string(252, 'a')})
    EXPECT_FALSE(CompleteConfigFileName(bad).has_value()) << bad;
}

TEST_F(DialogTest, TheSaveDialogRefusesBadNamesAndAsksBeforeReplacing) {
  SaveConfigDialog dialog(dir_.string());  // the separator is added
  EXPECT_EQ(dialog.Folder(), folder_);
  EXPECT_EQ(dialog.Caption(), "Save Configuration File");
  EXPECT_EQ(dialog.Prompt(), "Enter XML file name to save as:");
  dialog.Open();
  EXPECT_EQ(dialog.EditText(), "");
  EXPECT_FALSE(dialog.OkEnabled());

  for (const char* bad : {"", "../outside", "sub/conn"}) {
    dialog.SetEditText(bad);
    const InputDialog::Outcome outcome = dialog.Ok();
    EXPECT_FALSE(outcome.end.has_value()) << bad;
    ASSERT_TRUE(outcome.notice.has_value());
    EXPECT_EQ(outcome.notice->text, "Invalid file name.");
    EXPECT_EQ(outcome.notice->buttons, Notice::Buttons::RetryCancel);
    EXPECT_FALSE(dialog.Retry().end.has_value());
  }
  EXPECT_EQ(dialog.Cancel().end, kIdCancel);

  std::ofstream(dir_ / "conn.xml") << "<old/>";
  dialog.SetEditText("conn");
  InputDialog::Outcome outcome = dialog.Ok();
  EXPECT_FALSE(outcome.end.has_value());
  ASSERT_TRUE(outcome.notice.has_value());
  EXPECT_EQ(outcome.notice->text, folder_ + "conn.xml already exists.  Do you want to replace it?");
  EXPECT_EQ(outcome.notice->buttons, Notice::Buttons::YesNo);
  EXPECT_FALSE(dialog.ConfirmReplace(false).end.has_value());
  EXPECT_EQ(dialog.EditText(), "conn");  // the typed name stays
  EXPECT_EQ(dialog.Value(), "");
  // Yes without a pending question ends nothing.
  EXPECT_FALSE(dialog.ConfirmReplace(true).end.has_value());

  ASSERT_TRUE(dialog.Ok().notice.has_value());
  EXPECT_EQ(dialog.ConfirmReplace(true).end, kIdOk);
  EXPECT_EQ(dialog.Value(), "conn.xml");
  EXPECT_EQ(dialog.Path(), folder_ + "conn.xml");

  stdfs::create_directory(dir_ / "taken.xml");
  dialog.SetEditText("taken");
  outcome = dialog.Ok();
  EXPECT_FALSE(outcome.end.has_value());
  ASSERT_TRUE(outcome.notice.has_value());
  EXPECT_EQ(outcome.notice->kind, Notice::Kind::Error);
}

TEST_F(DialogTest, ANewNameEndsTheDialogAndTheDocumentSavesThere) {
  SaveConfigDialog dialog(folder_);
  dialog.Open();
  dialog.SetEditText("fresh");
  ASSERT_EQ(dialog.Ok().end, kIdOk);
  EXPECT_EQ(dialog.Value(), "fresh.xml");

  CXmlDocument out;
  ASSERT_EQ(out.CreateRoot("OLEDBSetting", ""), S_OK);
  ASSERT_EQ(out.AddChild("DataSource", "db"), S_OK);
  ASSERT_EQ(out.Save(dialog.Path()), S_OK);

  CXmlDocument in;
  ASSERT_EQ(in.Load(dialog.Path()), 0);
  EXPECT_EQ(in.GetChildTextByName("DataSource"), "db");
}

TEST_F(DialogTest, TheDocumentElementIsTheRootWhateverComesBeforeIt) {
  // Comments and processing instructions before the element, or none at all:
  // the root is always the element.
  const std::string body = "<config><a>1</a><b>2</b></config>";
  const std::string heads[] = {"", "<?xml version=\"1.0\"?>\n", "<!-- written by hand -->\n",
                               "<?xml version=\"1.0\"?><?style sheet?><!-- note -->\n"};
  for (const std::string& head : heads) {
    std::ofstream(dir_ / "doc.xml", std::ios::trunc) << head << body << "\n<!-- trailing -->";
    CXmlDocument doc;
    ASSERT_EQ(doc.Load((dir_ / "doc.xml").string()), 0) << head;
    EXPECT_EQ(doc.ChildCount(), 2) << head;
    EXPECT_EQ(doc.GetChildTextByName("b"), "2") << head;
    doc.MoveToRoot();
    EXPECT_EQ(doc.GetXml(), body) << head;
  }
}

}  // namespace
}  // namespace quor::admin
