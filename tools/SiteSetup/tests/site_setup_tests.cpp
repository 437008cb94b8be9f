// The real SiteSetup program against a site configuration file in a
// temporary folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/webconfig/webconfig.h"
#include "testing/TempDir.h"

extern char** environ;

using namespace quor::webconfig;
namespace fs = std::filesystem;

namespace {

const fs::path kProgram = fs::path(QUOR_BIN_DIR) / "SiteSetup";

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Outcome {
  int status = -1;
  std::string err;
};

class SiteSetupTest : public ::testing::Test {
 protected:
  quor::test::TempDir temp_{"quor-sitesetup"};
  void SetUp() override {
    dir_ = temp_.Path();
    file_ = dir_ / "conf" / "sites.xml";
    fs::create_directories(dir_ / "conf");
    fs::create_directories(dir_ / "install");
  }

  // Runs SiteSetup in `dir_/install` with the arguments exactly as given.
  Outcome RunSetup(const std::vector<std::string>& args) {
    std::vector<std::string> owned = {kProgram.string()};
    owned.insert(owned.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : owned) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (!std::string_view(*e).starts_with("QUOR_SITE_CONFIG=")) env.emplace_back(*e);
    env.push_back("QUOR_SITE_CONFIG=" + file_.string());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const fs::path errFile = dir_ / "run.err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, (dir_ / "install").c_str());
    pid_t pid = -1;
    Outcome r;
    const int rc = posix_spawn(&pid, kProgram.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return r;
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.err = ReadAll(errFile);
    return r;
  }

  SiteConfig Read() {
    quor::Result<SiteConfig> c = Load(file_);
    EXPECT_TRUE(c.ok()) << c.status().message();
    return c.ok() ? *c : SiteConfig();
  }

  void Write(const SiteConfig& c) {
    const quor::Status status = Update(file_, [&](SiteConfig& s) { s = c; return true; });
    ASSERT_TRUE(status.ok()) << status.message();
  }

  fs::path dir_, file_;
};

const std::vector<std::string> kArgs = {"web01", "2", "/opt/quor/listener", "svc-user", "s3cr3t pass"};

}  // namespace

TEST_F(SiteSetupTest, PreparesTheSiteOnceAndASecondRunChangesNothing) {
  Outcome r = RunSetup(kArgs);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string first = ReadAll(file_);
  SiteConfig c = Read();
  const Site* site = c.Find("web01", 2);
  ASSERT_NE(site, nullptr);
  EXPECT_EQ(site->scriptMaps, (std::vector<std::string>{".sod,/opt/quor/listener,5,POST",
                                                        ".wsdl,quor-server,5,GET, POST, HEAD"}));
  const VirtualDirectory* vd = site->FindVirtualDirectory("QuorService");
  ASSERT_NE(vd, nullptr);
  EXPECT_EQ(vd->name, "QuorService");
  EXPECT_EQ(fs::path(vd->path), fs::canonical(dir_ / "install") / "IIS");
  ASSERT_EQ(vd->files.size(), 2u);
  EXPECT_EQ(vd->files[0].name, "QuorServiceCore.xml");
  EXPECT_EQ(vd->files[1].name, "QuorServiceCoreAdmin.xml");
  for (const FileSettings& f : vd->files) {
    EXPECT_EQ(f.anonymousUserName, "svc-user");
    EXPECT_TRUE(f.anonymousPasswordGiven);
    EXPECT_FALSE(f.anonymousPasswordSync);
  }
  EXPECT_TRUE(vd->directories.empty());
  // The password (with its blank: arguments are taken as given) is nowhere in the file.
  EXPECT_EQ(first.find("s3cr3t"), std::string::npos) << first;

  // Twice: byte for byte the same file.
  r = RunSetup(kArgs);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadAll(file_), first);

  // An existing virtual directory keeps its folder; an empty password is recorded as none.
  fs::create_directories(dir_ / "elsewhere");
  r = RunSetup({"WEB01", "2", "/other/listener", "admin", ""});
  ASSERT_EQ(r.status, 0) << r.err;
  c = Read();
  site = c.Find("web01", 2);
  ASSERT_NE(site, nullptr);
  EXPECT_EQ(site->scriptMaps.size(), 2u);
  EXPECT_EQ(site->FindScriptMap(".sod")->executable, "/opt/quor/listener");
  EXPECT_EQ(fs::path(site->FindVirtualDirectory("QuorService")->path), fs::canonical(dir_ / "install") / "IIS");
  EXPECT_EQ(site->FindVirtualDirectory("QuorService")->files[0].anonymousUserName, "admin");
  EXPECT_FALSE(site->FindVirtualDirectory("QuorService")->files[0].anonymousPasswordGiven);
}

TEST_F(SiteSetupTest, ExistingMapsAreFoundByTheirExtensionField) {
  SiteConfig c;
  Site& s = c.Ensure("web01", 2);
  // ".SOD" counts as the .sod map; ".wsdlx" and a path holding ".wsdl" do not count as the .wsdl map.
  s.scriptMaps = {".asp,/bin/asp.so,1,GET", ".SOD,/old/listener,1,POST", ".wsdlx,/x,1,GET", ".htm,/tools/.wsdl/h,1,GET"};
  Write(c);
  Outcome r = RunSetup(kArgs);
  ASSERT_EQ(r.status, 0) << r.err;
  const SiteConfig after = Read();
  EXPECT_EQ(after.Find("web01", 2)->scriptMaps,
            (std::vector<std::string>{".asp,/bin/asp.so,1,GET", ".SOD,/old/listener,1,POST", ".wsdlx,/x,1,GET",
                                      ".htm,/tools/.wsdl/h,1,GET", ".wsdl,quor-server,5,GET, POST, HEAD"}));
  // Other sites stay as they were.
  EXPECT_EQ(after.sites.size(), 1u);
}

TEST_F(SiteSetupTest, ResourceFolderWritableOnlyWithTheExactWord) {
  for (const char* word : {"resdirwritable", "ResDirWritable", "ResDirWRITABLE "}) {
    std::vector<std::string> args = kArgs;
    args.push_back(word);
    ASSERT_EQ(RunSetup(args).status, 0);
    EXPECT_TRUE(Read().Find("web01", 2)->FindVirtualDirectory("QuorService")->directories.empty()) << word;
  }
  // The word followed by more is not the word either.
  std::vector<std::string> args = kArgs;
  args.insert(args.end(), {"ResDirWRITABLE", "extra"});
  ASSERT_EQ(RunSetup(args).status, 0);
  EXPECT_TRUE(Read().Find("web01", 2)->FindVirtualDirectory("QuorService")->directories.empty());

  args = kArgs;
  args.push_back("ResDirWRITABLE");
  Outcome r = RunSetup(args);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string once = ReadAll(file_);
  const SiteConfig c = Read();
  const VirtualDirectory* vd = c.Find("web01", 2)->FindVirtualDirectory("QuorService");
  ASSERT_EQ(vd->directories.size(), 1u);
  EXPECT_EQ(vd->directories[0].name, "resource");
  EXPECT_TRUE(vd->directories[0].accessWrite);
  EXPECT_TRUE(vd->Writable("resource"));
  ASSERT_EQ(RunSetup(args).status, 0);
  EXPECT_EQ(ReadAll(file_), once);
}

TEST_F(SiteSetupTest, RemovalTakesTheDirectoryOffAndIsSilentWhenNothingIsThere) {
  // Nothing there at all: silent, no file made.
  Outcome r = RunSetup({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(fs::exists(file_));

  ASSERT_EQ(RunSetup({"localhost", "1", "/l", "u", "p"}).status, 0);
  ASSERT_EQ(RunSetup(kArgs).status, 0);
  r = RunSetup({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  SiteConfig c = Read();
  const Site* local = c.Find("localhost", 1);
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(local->FindVirtualDirectory("QuorService"), nullptr);
  EXPECT_EQ(local->unloadCount, 1u);
  // The script maps stay; other sites are untouched.
  EXPECT_EQ(local->scriptMaps.size(), 2u);
  ASSERT_NE(c.Find("web01", 2), nullptr);
  EXPECT_NE(c.Find("web01", 2)->FindVirtualDirectory("QuorService"), nullptr);

  // Again with nothing left to remove: silent; the applications are unloaded again.
  r = RunSetup({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Read().Find("localhost", 1)->unloadCount, 2u);
}

TEST_F(SiteSetupTest, TooFewArgumentsPrintTheUsageAndChangeNothing) {
  ASSERT_EQ(RunSetup(kArgs).status, 0);
  const std::string before = ReadAll(file_);
  for (size_t n = 1; n < 5; ++n) {
    Outcome r = RunSetup(std::vector<std::string>(kArgs.begin(), kArgs.begin() + static_cast<ptrdiff_t>(n)));
    EXPECT_EQ(r.status, 2) << n;
    EXPECT_NE(r.err.find("usage: SiteSetup"), std::string::npos) << r.err;
    EXPECT_EQ(ReadAll(file_), before) << n;
  }
}

TEST_F(SiteSetupTest, FailedStepsAreReportedAndDamagedFilesKept) {
  // A site number that is not one: the site cannot be bound, for either file.
  Outcome r = RunSetup({"web01", "two", "/l", "u", "p"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.find("QuorService Installation: Get Web Server Object"), 0u) << r.err;
  EXPECT_NE(r.err.find("QuorService Installation: Get Web Server Object", 10), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(file_));

  // A listener path the entry cannot hold stops at the .sod map, both times.
  r = RunSetup({"web01", "2", "/a,b", "u", "p"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("QuorService Installation: Add .sod map"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Add .wsdl map"), std::string::npos) << r.err;
  if (fs::exists(file_)) {
    const SiteConfig c = Read();
    EXPECT_TRUE(c.Find("web01", 2) == nullptr || c.Find("web01", 2)->scriptMaps.empty());
  }

  // A file that cannot be parsed is reported and never overwritten, by setup or removal.
  const std::string damaged = "<sites><site host=\"web01\" number=\"2\"><scriptMap>.sod,x,5,POST";
  std::ofstream(file_, std::ios::binary) << damaged;
  r = RunSetup(kArgs);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("QuorService Installation: Get Web Server Object"), std::string::npos) << r.err;
  EXPECT_EQ(ReadAll(file_), damaged);
  r = RunSetup({});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("QuorService Installation: Remove Virtual Dir"), std::string::npos) << r.err;
  EXPECT_EQ(ReadAll(file_), damaged);
}
