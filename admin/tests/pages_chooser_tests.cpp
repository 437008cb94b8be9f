// The folder and file chooser over real folders.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/console/DirectoryChooser.h"
#include "testing/TempDir.h"

namespace quor::admin {
namespace {

using namespace console;

namespace stdfs = std::filesystem;
using Kind = ChooserEntry::Kind;

class ChooserTest : public ::testing::Test {
 protected:
  quor::test::TempDir temp_{"quor-chooser"};
  ChooserTest() {
    root_ = temp_.Path();
    top_ = root_.string() + "/";
    stdfs::create_directories(root_ / "tools" / "sub" / "deeper");
    stdfs::create_directories(root_ / "tools" / "Beta");
    stdfs::create_directories(root_ / "tools" / ".hidden");
    for (const char* name : {"a.dll", "B.DLL", "notes.txt", ".secret.dll"}) std::ofstream(root_ / "tools" / name) << "x";
  }

  static std::vector<std::string> Shown(const DirectoryChooser& chooser) {
    std::vector<std::string> shown;
    for (const auto& entry : chooser.Entries()) shown.push_back(entry.Display());
    return shown;
  }
  static int IndexOf(const DirectoryChooser& chooser, std::string_view display) {
    const auto shown = Shown(chooser);
    for (size_t i = 0; i < shown.size(); ++i)
      if (shown[i] == display) return static_cast<int>(i);
    ADD_FAILURE() << display << " not listed";
    return -1;
  }

  stdfs::path root_;
  std::string top_;
};

TEST_F(ChooserTest, ListsFoldersAloneOrFilesMatchingThePattern) {
  DirectoryChooser folders;
  EXPECT_EQ(folders.Caption(), "Select Directory");
  folders.SetStartDirectory(top_ + "tools");
  EXPECT_EQ(folders.Directory(), top_ + "tools/");
  ASSERT_FALSE(folders.Open().has_value());
  EXPECT_EQ(Shown(folders), (std::vector<std::string>{"[..]", "[Beta]", "[sub]"}));

  DirectoryChooser files;
  files.AllowFiles();
  files.SetPattern("*.dll");
  EXPECT_EQ(files.Caption(), "Select File");
  files.SetStartDirectory(top_ + "tools/");
  ASSERT_FALSE(files.Open().has_value());
  EXPECT_EQ(Shown(files), (std::vector<std::string>{"[..]", "[Beta]", "[sub]", "a.dll", "B.DLL"}));
  EXPECT_EQ(files.Entries()[3], (ChooserEntry{Kind::File, "a.dll"}));

  // The pattern stays in force in every folder opened later.
  std::ofstream(root_ / "tools" / "sub" / "c.dll") << "x";
  std::ofstream(root_ / "tools" / "sub" / "c.txt") << "x";
  ASSERT_TRUE(files.Activate(IndexOf(files, "[sub]")));
  EXPECT_EQ(Shown(files), (std::vector<std::string>{"[..]", "[deeper]", "c.dll"}));
}

TEST_F(ChooserTest, TheResultJoinsTheSelectionAndDoubleClicksOpenFolders) {
  DirectoryChooser chooser;
  chooser.AllowFiles();
  chooser.SetStartDirectory(top_ + "tools");
  ASSERT_FALSE(chooser.Open().has_value());
  EXPECT_EQ(chooser.GetResult(), top_ + "tools");
  chooser.Select(IndexOf(chooser, "[sub]"));  // selected, not opened
  EXPECT_EQ(chooser.GetResult(), top_ + "tools/sub");
  chooser.Select(IndexOf(chooser, "[..]"));
  EXPECT_EQ(chooser.GetResult(), top_ + "tools");
  chooser.Select(IndexOf(chooser, "a.dll"));
  EXPECT_EQ(chooser.GetResult(), top_ + "tools/a.dll");
  EXPECT_FALSE(chooser.Activate(IndexOf(chooser, "a.dll")));
  EXPECT_EQ(chooser.Directory(), top_ + "tools/");
  EXPECT_EQ(chooser.Selection(), "a.dll");
  EXPECT_FALSE(chooser.Activate(-1));

  ASSERT_TRUE(chooser.Activate(IndexOf(chooser, "[sub]")));
  EXPECT_EQ(chooser.Directory(), top_ + "tools/sub/");
  EXPECT_EQ(chooser.Selection(), "");
  ASSERT_TRUE(chooser.Activate(IndexOf(chooser, "[deeper]")));
  ASSERT_TRUE(chooser.Activate(IndexOf(chooser, "[..]")));
  ASSERT_TRUE(chooser.Activate(IndexOf(chooser, "[..]")));
  EXPECT_EQ(chooser.Directory(), top_ + "tools/");

  // A folder removed after it was listed cannot be opened; nothing changes.
  const int beta = IndexOf(chooser, "[Beta]");
  stdfs::remove(root_ / "tools" / "Beta");
  EXPECT_FALSE(chooser.Activate(beta));
  EXPECT_EQ(chooser.Directory(), top_ + "tools/");
}

TEST_F(ChooserTest, TheRootKeepsItsSeparatorAndItsParentIsItself) {
  DirectoryChooser chooser;
  chooser.SetStartDirectory("/");
  ASSERT_FALSE(chooser.Open().has_value());
  EXPECT_EQ(chooser.Directory(), "/");
  EXPECT_EQ(chooser.GetResult(), "/");
  ASSERT_FALSE(chooser.Entries().empty());
  EXPECT_NE(chooser.Entries().front().kind, Kind::Parent);  // no parent entry in a root

  chooser.SetStartDirectory("/tmp/..");
  ASSERT_FALSE(chooser.Open().has_value());
  EXPECT_EQ(chooser.Directory(), "/");
  const int tmp = IndexOf(chooser, "[tmp]");
  ASSERT_TRUE(chooser.Activate(tmp));
  EXPECT_EQ(chooser.Directory(), "/tmp/");
  ASSERT_TRUE(chooser.Activate(IndexOf(chooser, "[..]")));
  EXPECT_EQ(chooser.Directory(), "/");
  EXPECT_EQ(chooser.GetResult(), "/");
}

TEST_F(ChooserTest, AStartFolderThatDoesNotExistOpensOnTheCurrentFolder) {
  DirectoryChooser chooser;
  chooser.SetStartDirectory(top_ + "missing");
  const std::optional<Notice> notice = chooser.Open();
  ASSERT_TRUE(notice.has_value());
  EXPECT_EQ(notice->caption, "Information");
  EXPECT_EQ(notice->text, top_ + "missing/ is invalid Directory.");
  EXPECT_EQ(chooser.Directory(), FolderPath(stdfs::current_path().string()));
  EXPECT_EQ(chooser.Selection(), "");

  // An empty start is the current folder too, without a message.
  DirectoryChooser current;
  current.SetStartDirectory("");
  EXPECT_FALSE(current.Open().has_value());
  EXPECT_EQ(current.Directory(), chooser.Directory());
  // A file is no folder.
  DirectoryChooser file;
  file.SetStartDirectory(top_ + "tools/a.dll");
  EXPECT_TRUE(file.Open().has_value());
}

TEST_F(ChooserTest, DrivesAreRootsAndTheCurrentOneChangesNothing) {
  DirectoryChooser chooser;
  chooser.SetDrives({"/", top_ + "tools"});
  chooser.SetStartDirectory(top_ + "tools/sub");
  ASSERT_FALSE(chooser.Open().has_value());
  EXPECT_EQ(chooser.CurrentDrive(), top_ + "tools/");
  chooser.Select(IndexOf(chooser, "[deeper]"));

  EXPECT_FALSE(chooser.ChooseDrive(top_ + "tools/").has_value());
  EXPECT_EQ(chooser.Directory(), top_ + "tools/sub/");
  EXPECT_EQ(chooser.Selection(), "deeper/");

  EXPECT_FALSE(chooser.ChooseDrive("/").has_value());
  EXPECT_EQ(chooser.Directory(), "/");
  EXPECT_EQ(chooser.Selection(), "");
  EXPECT_EQ(chooser.CurrentDrive(), "/");

  const std::optional<Notice> notice = chooser.ChooseDrive(top_ + "unplugged");
  ASSERT_TRUE(notice.has_value());
  EXPECT_EQ(notice->text, "Drive " + top_ + "unplugged/ is not ready or is unavailable.");
  EXPECT_EQ(chooser.Directory(), "/");
  EXPECT_EQ(chooser.CurrentDrive(), "/");
}

}  // namespace
}  // namespace quor::admin
