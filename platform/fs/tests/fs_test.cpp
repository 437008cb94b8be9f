#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/base/win32_error.h"
#include "platform/fs/fs.h"
#include "testing/TempDir.h"

namespace fs = quor::fs;
namespace stdfs = std::filesystem;

namespace {

using TempDir = quor::test::TempDir;

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The platform's number a call reported (ERROR_SUCCESS for success).
long Code(const quor::Status& status) { return fs::Win32Error(status); }
template <typename T>
long Code(const quor::Result<T>& result) {
  return fs::Win32Error(result.status());
}

std::vector<std::string> FilesIn(const stdfs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : stdfs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(Fs, ListsXmlFilesSortedWithoutCase) {
  TempDir dir;
  for (const char* name : {"b.xml", "A.XML", "c.Xml", "notes.txt", "a.xml.bak"}) Touch(dir.Path().string() + "/" + name);
  stdfs::create_directory(dir.Path().string() + "/folder.xml");
  const auto names = fs::ListFiles(dir.Path().string(), "*.xml");
  ASSERT_EQ(Code(names), quor::ERROR_SUCCESS);
  EXPECT_EQ(*names, (std::vector<std::string>{"A.XML", "b.xml", "c.Xml"}));

  const std::string missing = dir.Path().string() + "/missing";
  const auto none = fs::ListFiles(missing, "*.xml");
  EXPECT_EQ(none.status().code(), HRESULT_FROM_WIN32(quor::ERROR_FILE_NOT_FOUND));
  EXPECT_NE(none.status().message().find(missing), std::string::npos) << none.status().message();
}

TEST(Fs, BackslashPathsAreAccepted) {
  TempDir dir;
  const std::string windowsy = dir.Path().string() + "\\config\\\\sub";
  EXPECT_EQ(fs::NormalizePath("a\\b\\\\c/"), "a/b/c/");
  EXPECT_EQ(Code(fs::CreateFolder(dir.Path().string() + "\\config")), quor::ERROR_SUCCESS);
  EXPECT_EQ(Code(fs::CreateFolder(windowsy)), quor::ERROR_SUCCESS);
  EXPECT_TRUE(stdfs::is_directory(dir.Path().string() + "/config/sub"));
  EXPECT_EQ(fs::JoinPath(dir.Path().string() + "\\config", "sub\\x.xml"), dir.Path().string() + "/config/sub/x.xml");
}

TEST(Fs, FolderAndFileErrorsUsePlatformNumbers) {
  TempDir dir;
  const std::string sub = dir.Path().string() + "/sub";
  EXPECT_EQ(Code(fs::CreateFolder(sub)), quor::ERROR_SUCCESS);
  EXPECT_EQ(Code(fs::CreateFolder(sub)), quor::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Code(fs::CreateFolder(dir.Path().string() + "/no/such")), quor::ERROR_PATH_NOT_FOUND);
  Touch(sub + "/f");
  EXPECT_EQ(Code(fs::RemoveFolder(sub)), quor::ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(Code(fs::DeleteFile(sub)), quor::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Code(fs::DeleteFile(sub + "/f")), quor::ERROR_SUCCESS);
  EXPECT_EQ(Code(fs::DeleteFile(sub + "/f")), quor::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Code(fs::RemoveFolder(sub)), quor::ERROR_SUCCESS);
  EXPECT_EQ(Code(fs::CreateFolders(dir.Path().string() + "/x/y/z")), quor::ERROR_SUCCESS);
  EXPECT_EQ(Code(fs::CreateFolders(dir.Path().string() + "/x/y/z")), quor::ERROR_SUCCESS);
}

TEST(Fs, AtomicWriteReplacesWholeFile) {
  TempDir dir;
  const std::string path = dir.Path().string() + "/data.txt";
  ASSERT_TRUE(fs::WriteFileAtomic(path, "first version, long").ok());
  ASSERT_TRUE(fs::WriteFileAtomic(path, "second").ok());
  const auto contents = fs::ReadFile(path);
  ASSERT_EQ(Code(contents), quor::ERROR_SUCCESS);
  EXPECT_EQ(*contents, "second");
  EXPECT_EQ(fs::WriteFileAtomic(dir.Path().string() + "/missing/x.txt", "y").code(),
            HRESULT_FROM_WIN32(quor::ERROR_PATH_NOT_FOUND));
  const auto names = fs::ListFiles(dir.Path().string(), "*");
  ASSERT_EQ(Code(names), quor::ERROR_SUCCESS);
  EXPECT_EQ(*names, std::vector<std::string>{"data.txt"});  // no temporary left behind
}

TEST(Fs, AtomicWriteSetsTheModeOrKeepsTheFilesOwn) {
  TempDir dir;
  const std::string path = dir.File("secret");
  ASSERT_TRUE(fs::WriteFileAtomic(path, "a", {.mode = 0600}).ok());
  EXPECT_EQ(ModeOf(path), 0600u);
  ASSERT_TRUE(fs::WriteFileAtomic(path, "b").ok());
  EXPECT_EQ(ModeOf(path), 0644u);
  ::chmod(path.c_str(), 0640);
  ASSERT_TRUE(fs::WriteFileAtomic(path, "c", {.mode = 0600, .keepMode = true}).ok());
  EXPECT_EQ(ModeOf(path), 0640u);
  const std::string fresh = dir.File("fresh");
  ASSERT_TRUE(fs::WriteFileAtomic(fresh, "d", {.mode = 0604, .keepMode = true}).ok());
  EXPECT_EQ(ModeOf(fresh), 0604u);
}

// Failures that root meets too: a temporary name too long to make, and a
// rename refused after the temporary was written.
TEST(Fs, AFailedAtomicWriteLeavesTheFileAndNoTemporary) {
  TempDir dir;
  const std::string longName = dir.File(std::string(250, 'n'));
  Touch(longName);
  fs::WriteStep step{};
  quor::Status status = fs::WriteFileAtomic(longName, "new", {}, &step);
  EXPECT_EQ(status.code(), HRESULT_FROM_WIN32(quor::ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(step, fs::WriteStep::Create);
  EXPECT_NE(status.message().find(longName), std::string::npos) << status.message();
  const auto contents = fs::ReadFile(longName);
  ASSERT_EQ(Code(contents), quor::ERROR_SUCCESS);
  EXPECT_EQ(*contents, "x");

  const std::string folder = dir.File("folder");
  stdfs::create_directory(folder);
  Touch(folder + "/inside");
  status = fs::WriteFileAtomic(folder, "new", {}, &step);
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(step, fs::WriteStep::Replace);
  EXPECT_NE(status.message().find(folder), std::string::npos) << status.message();
  EXPECT_EQ(FilesIn(dir.Path()), (std::vector<std::string>{"folder", std::string(250, 'n')}));
  EXPECT_EQ(FilesIn(folder), std::vector<std::string>{"inside"});
}

TEST(Fs, WildcardsMatchWithoutCase) {
  EXPECT_TRUE(fs::MatchWildcard("*.xml", "a.XML"));
  EXPECT_TRUE(fs::MatchWildcard("*.*", "a.b"));
  EXPECT_TRUE(fs::MatchWildcard("u?er*.000", "User1.000"));
  EXPECT_FALSE(fs::MatchWildcard("*.xml", "a.xml.bak"));
  EXPECT_FALSE(fs::MatchWildcard("a?", "a"));
  EXPECT_TRUE(fs::MatchWildcard("*a*a*a*b", std::string(200, 'a') + "b"));
}

TEST(Fs, ConcurrentAtomicWritesNeverMix) {
  TempDir dir;
  const std::string path = dir.Path().string() + "/shared.xml";
  std::vector<std::thread> writers;
  for (int t = 0; t < 8; ++t)
    writers.emplace_back([&, t] {
      const std::string body(4096 + t, static_cast<char>('a' + t));
      for (int i = 0; i < 50; ++i) EXPECT_TRUE(fs::WriteFileAtomic(path, body).ok());
    });
  for (auto& w : writers) w.join();
  const auto contents = fs::ReadFile(path);
  ASSERT_EQ(Code(contents), quor::ERROR_SUCCESS);
  ASSERT_GE(contents->size(), 4096u);
  const size_t t = contents->size() - 4096;
  EXPECT_EQ(*contents, std::string(4096 + t, static_cast<char>('a' + t)));  // one writer's whole file
  const auto names = fs::ListFiles(dir.Path().string(), "*");
  ASSERT_EQ(Code(names), quor::ERROR_SUCCESS);
  EXPECT_EQ(*names, std::vector<std::string>{"shared.xml"});
}
