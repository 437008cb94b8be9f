// Resource locations and file steps against a real temporary folder: hostile
// names and leaves, links leading out, and the time stamps of the update check.
#include "core/store/ResourceFiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "core/StatusCodes.h"
#include "core/store/VODBConnectImpl_ResourceDetail.h"
#include "platform/text/text.h"
#include "testing/TempDir.h"

using namespace quor::core;
using namespace quor::core::resource;
namespace fs = std::filesystem;

namespace {

class ResourceFilesTest : public ::testing::Test {
 protected:
  quor::test::TempDir temp_{"quor-res"};

  void SetUp() override {
    root_ = temp_.Path();
    dir_ = root_ + "/resource";
    outside_ = root_ + "/outside";
    fs::create_directories(dir_);
    fs::create_directories(outside_);
    std::ofstream(outside_ + "/secret") << "keep";
  }

  std::string root_, dir_, outside_;
};

TEST(ResourceNames, HostileNamesAndLeavesAreRefused) {
  for (std::u16string_view name : {u"logo.png", u"a b", u"\u65e5\u672c.txt", u".hidden"}) EXPECT_TRUE(IsSafeName(name));
  for (std::u16string_view name : {u"", u".", u"..", u"../../etc/passwd", u"/etc/passwd", u"a/b", u"a\\b", u"a..b"})
    EXPECT_FALSE(IsSafeName(name)) << quor::text::Narrow(name);
  EXPECT_FALSE(IsSafeName(std::u16string(u"a\0b", 3)));

  for (std::u16string_view leaf : {u"x.bin", u"mod/v2/x.bin"}) EXPECT_TRUE(IsSafeLeaf(leaf));
  for (std::u16string_view leaf :
       {u"", u"../../etc/passwd", u"/etc/passwd", u"a/../../b", u"C:\\x", u"a\\b", u"http://evil/x"})
    EXPECT_FALSE(IsSafeLeaf(leaf)) << quor::text::Narrow(leaf);
  EXPECT_FALSE(IsSafeLeaf(std::u16string(u"a\0b", 3)));
}

TEST_F(ResourceFilesTest, LocationsLieBelowTheFolder) {
  Location location;
  ASSERT_EQ(DefaultLocation("http://h/QuorService/resource", dir_, u"logo.png", location).code(), S_OK);
  EXPECT_EQ(location.url, "http://h/QuorService/resource/urn_voresource_logo.png/logo.png");
  EXPECT_EQ(location.folder, dir_ + "/urn_voresource_logo.png");
  EXPECT_EQ(location.path, dir_ + "/urn_voresource_logo.png/logo.png");
  // A base or folder written with its trailing separator gives the same texts.
  Location again;
  ASSERT_EQ(DefaultLocation("http://h/QuorService/resource/", dir_ + "/", u"logo.png", again).code(), S_OK);
  EXPECT_EQ(again.url, location.url);

  ASSERT_EQ(LeafLocation("http://h/r", dir_, u"mod/x.bin", location).code(), S_OK);
  EXPECT_EQ(location.url, "http://h/r/mod/x.bin");
  EXPECT_EQ(location.path, dir_ + "/mod/x.bin");
  EXPECT_TRUE(location.folder.empty());

  EXPECT_EQ(DefaultLocation("", dir_, u"a", location).code(), QS_E_RESOURCE_URL_NOT_SET);
  EXPECT_EQ(DefaultLocation("http://h/r", "", u"a", location).code(), QS_E_RESOURCE_DIR_NOT_SET);
  EXPECT_EQ(DefaultLocation("http://h/r", dir_, u"../x", location).code(), QS_E_NAME_INVALID);
  EXPECT_EQ(LeafLocation("http://h/r", dir_, u"../outside/secret", location).code(), QS_E_ARGUMENT_INVALID);

  // A link inside the folder that leads out makes the leaf through it unsafe.
  fs::create_directory_symlink(outside_, dir_ + "/link");
  EXPECT_EQ(LeafLocation("http://h/r", dir_, u"link/secret", location).code(), QS_E_ARGUMENT_INVALID);
  EXPECT_FALSE(IsBelow(dir_, dir_));
  EXPECT_FALSE(IsBelow(dir_, dir_ + "/../outside/secret"));
  EXPECT_TRUE(IsBelow(dir_, dir_ + "/new/deeper/file"));
}

TEST_F(ResourceFilesTest, FolderAndFileStepsStayBelowTheFolder) {
  const std::string folder = dir_ + "/a/b/c";
  EXPECT_EQ(MakeFolder(dir_, folder).code(), S_OK) << "made with its parents";
  EXPECT_EQ(MakeFolder(dir_, folder).code(), S_OK) << "an existing folder is fine";
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(MakeFolder(dir_, outside_ + "/made").code(), QS_E_DIRECTORY_NOT_CREATED);
  EXPECT_FALSE(fs::exists(outside_ + "/made"));

  std::ofstream(folder + "/f") << "x";
  EXPECT_TRUE(Exists(folder + "/f"));
  EXPECT_EQ(DeleteFile(dir_, outside_ + "/secret").code(), QS_E_ARGUMENT_INVALID);
  EXPECT_EQ(DeleteFile(dir_, dir_ + "/../outside/secret").code(), QS_E_ARGUMENT_INVALID);
  EXPECT_EQ(DeleteFile(dir_, folder).code(), QS_E_ARGUMENT_INVALID) << "a folder is never deleted as a file";
  // A link to a file outside is removed itself; its target stays.
  fs::create_symlink(outside_ + "/secret", dir_ + "/a/alias");
  EXPECT_EQ(DeleteFile(dir_, dir_ + "/a/alias").code(), S_OK);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ + "/a/alias")));
  // Through a linked folder the real place is outside: refused.
  fs::create_directory_symlink(outside_, dir_ + "/out");
  EXPECT_EQ(DeleteFile(dir_, dir_ + "/out/secret").code(), QS_E_ARGUMENT_INVALID);
  EXPECT_TRUE(fs::exists(outside_ + "/secret"));

  EXPECT_FALSE(RemoveEmptyFolder(dir_, folder)) << "not empty";
  EXPECT_EQ(DeleteFile(dir_, folder + "/f").code(), S_OK);
  EXPECT_EQ(DeleteFile(dir_, folder + "/f").code(), S_FALSE) << "nothing left to delete";
  EXPECT_TRUE(RemoveEmptyFolder(dir_, folder));
  EXPECT_FALSE(RemoveEmptyFolder(dir_, dir_)) << "the resource folder itself stays";
  EXPECT_TRUE(fs::is_directory(dir_));
}

TEST(ResourceStamps, BothStoredLayoutsAndTheClientsValueCompareAsTimes) {
  const auto year = ParseStamp(u"2004/10/1 0:0:0");
  const auto padded = ParseStamp(u"10/01/2004 00:00:00");
  ASSERT_TRUE(year && padded);
  EXPECT_EQ(*year, *padded);
  const auto client = ParseStamp(u"2004/9/30");
  ASSERT_TRUE(client);
  EXPECT_GT(*year, *client) << "as texts, \"2004/10/1\" sorts before \"2004/9/30\"";
  EXPECT_GT(*ParseStamp(u"2004/3/7 9:5:2"), *ParseStamp(u"03/07/2004 09:05:01"));
  EXPECT_EQ(*ParseStamp(u"2004-10-01T00:00:00"), *year);
  for (std::u16string_view bad :
       {u"", u"yesterday", u"2004/13/1", u"2004/1/1 25:0:0", u"1/2/3", u"2004//1", u"2004/1/1' OR '1'='1"})
    EXPECT_FALSE(ParseStamp(bad)) << quor::text::Narrow(bad);
}

}  // namespace
