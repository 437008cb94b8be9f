// Runs the real SettingsProbe program against fixture home directories and
// compares everything it prints with the golden files in data/*.out (standard
// output) and data/*.err (error output; none means it must stay empty). The
// home directory in the output is written as "<HOME>" in the golden files.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "testing/TempDir.h"

extern char** environ;

namespace {

namespace stdfs = std::filesystem;

const stdfs::path kData = QUOR_TEST_DATA_DIR;
const std::string kProgram = std::string(QUOR_BIN_DIR) + "/SettingsProbe";

std::string ReadAll(const stdfs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

using TempDir = quor::test::TempDir;

struct ProbeRun {
  int status = -1;
  std::string out;
  std::string err;
};

class SettingsProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(scratch_.Path().empty());
    // Every run gets a registry of its own, so that the machine's never counts.
    registry_ = scratch_.Path() / "registry.reg";
  }

  // Runs the program with `args`; its output with `home` written as <HOME>.
  ProbeRun Probe(const std::vector<std::string>& args, const std::string& home = {}) {
    std::vector<std::string> owned{kProgram};
    owned.insert(owned.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : owned) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (!std::string_view(*e).starts_with("QUOR_REGISTRY=")) env.emplace_back(*e);
    env.push_back("QUOR_REGISTRY=" + registry_.string());
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    const stdfs::path outFile = scratch_.Path() / "run.out";
    const stdfs::path errFile = scratch_.Path() / "run.err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, kProgram.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ProbeRun run;
    if (rc != 0) {
      ADD_FAILURE() << "cannot start " << kProgram;
      return run;
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid)
      run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = ReplaceAll(ReadAll(outFile), home, "<HOME>");
    run.err = ReplaceAll(ReadAll(errFile), home, "<HOME>");
    return run;
  }

  // Checks the fixture home directory `name` with "-d" and compares with
  // data/<name>.out and data/<name>.err.
  void ExpectGolden(const std::string& name, int status) {
    SCOPED_TRACE(name);
    const std::string home = (kData / name).string();
    const ProbeRun run = Probe({"-d", home}, home);
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.out, ReadAll(kData / (name + ".out")));
    const stdfs::path err = kData / (name + ".err");
    EXPECT_EQ(run.err, stdfs::exists(err) ? ReadAll(err) : std::string());
  }

  void WriteHomeDir(const std::string& home) {
    quor::reg::Registry registry(registry_);
    quor::reg::Key key(registry);
    ASSERT_EQ(quor::reg::Win32Error(key.Create(quor::reg::Hive::LocalMachine, "Software\\Velt\\QuorService")),
              quor::reg::ERROR_SUCCESS);
    ASSERT_EQ(quor::reg::Win32Error(key.SetString("HomeDir", home)), quor::reg::ERROR_SUCCESS);
  }

  TempDir scratch_;
  stdfs::path registry_;
};

constexpr std::string_view kBanner = " *** Configuration file checker for QuorService V2.0. ***\n";
constexpr std::string_view kUsage =
    "SettingsProbe [-d <pathname>] [-h[elp]]\n"
    "   This command will check QuorService Config File content.\n"
    "   If -d option is not specifed, this command will try to search\n"
    "   QuorService Config Files. If -d option is specified, this command\n"
    "   will search <pathname>/config directory.\n";
constexpr std::string_view kArgumentError = "Argument Error: argument should be \"-d <path>\"\n";

// ---- The checks, file by file -------------------------------------------

TEST_F(SettingsProbeTest, CleanFilesPassInNameOrderAndOtherFilesAreIgnored) {
  ExpectGolden("valid", 0);
}

TEST_F(SettingsProbeTest, EmptyOptionalTagsWarnButDoNotFail) {
  ExpectGolden("warnings", 0);
}

TEST_F(SettingsProbeTest, MissingQuotedInvalidAndUnknownTagsAreErrors) {
  ExpectGolden("errors", 1);
}

TEST_F(SettingsProbeTest, ProviderAdviceIsGivenPerFile) {
  ExpectGolden("advice", 1);
}

TEST_F(SettingsProbeTest, FilesThatCannotBeCheckedAreReportedAndTheRestStillChecked) {
  ExpectGolden("badfile", 1);
}

// ---- The configuration folder ------------------------------------------

TEST_F(SettingsProbeTest, NoConfigurationFilesIsReported) {
  const std::string expected = std::string(kBanner) + "The Config File didn't exist.\n";
  // Only files that are not *.xml.
  ProbeRun run = Probe({"-d", (kData / "nonxml").string()});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected);

  // An empty config folder, and no config folder at all.
  ASSERT_TRUE(stdfs::create_directories(scratch_.Path() / "empty" / "config"));
  run = Probe({"-d", (scratch_.Path() / "empty").string()});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected);
  run = Probe({"-d", (scratch_.Path() / "missing").string()});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected);
  EXPECT_EQ(run.err, "");
}

TEST_F(SettingsProbeTest, LongHomeDirectoryIsNotCutShort) {
  stdfs::path home = scratch_.Path();
  for (int i = 0; i < 12; ++i) home /= std::string(40, static_cast<char>('a' + i));
  ASSERT_GT(home.string().size(), 500u);
  ASSERT_TRUE(stdfs::create_directories(home / "config"));
  stdfs::copy_file(kData / "valid" / "config" / "crm.XML", home / "config" / "crm.xml");
  const ProbeRun run = Probe({"-d", home.string()});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, std::string(kBanner) + home.string() + "/config/crm.xml loading ... completed.\n");
}

TEST_F(SettingsProbeTest, FilesAreNotChanged) {
  const stdfs::path file = kData / "errors" / "config" / "unknown.xml";
  const std::string before = ReadAll(file);
  const auto stamp = stdfs::last_write_time(file);
  Probe({"-d", (kData / "errors").string()});
  EXPECT_EQ(ReadAll(file), before);
  EXPECT_EQ(stdfs::last_write_time(file), stamp);
}

// ---- Home directory from the registry -----------------------------------

TEST_F(SettingsProbeTest, HomeDirectoryComesFromTheRegistry) {
  const std::string home = (kData / "valid").string();
  WriteHomeDir(home);
  const ProbeRun run = Probe({}, home);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, ReadAll(kData / "valid.out"));

  // "-d" wins over the registry.
  const std::string other = (kData / "errors").string();
  const ProbeRun overridden = Probe({"-d", other}, other);
  EXPECT_EQ(overridden.status, 1);
  EXPECT_EQ(overridden.out, ReadAll(kData / "errors.out"));
}

TEST_F(SettingsProbeTest, MissingHomeDirectoryStopsBeforeAnyCheck) {
  const std::string expected = std::string(kBanner) + "HomeDir is not set in the registry.\n";
  // No registry file at all.
  ProbeRun run = Probe({});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, expected);

  // The key without the value, then an empty value.
  {
    quor::reg::Registry registry(registry_);
    quor::reg::Key key(registry);
    ASSERT_EQ(quor::reg::Win32Error(key.Create(quor::reg::Hive::LocalMachine, "Software\\Velt\\QuorService")),
              quor::reg::ERROR_SUCCESS);
    ASSERT_EQ(quor::reg::Win32Error(key.SetString("LogLevel", "Normal")), quor::reg::ERROR_SUCCESS);
  }
  run = Probe({});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, expected);
  WriteHomeDir("");
  run = Probe({});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, expected);
}

TEST_F(SettingsProbeTest, DamagedRegistryIsReported) {
  std::ofstream(registry_) << "this is not a registry file\n[HKEY_NOWHERE\n\"x\"=hex:zz\n";
  const ProbeRun run = Probe({});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(run.out.starts_with(std::string(kBanner) + "The registry " + registry_.string() + " cannot be read: "))
      << run.out;
}

// ---- Arguments ----------------------------------------------------------

TEST_F(SettingsProbeTest, HelpPrintsUsageWithoutChecking) {
  WriteHomeDir((kData / "errors").string());
  for (const std::string arg : {"-h", "-H", "-help", "-HeLp", "-?"}) {
    SCOPED_TRACE(arg);
    const ProbeRun run = Probe({arg});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, std::string(kBanner) + std::string(kUsage));
    EXPECT_EQ(run.err, "");
  }
  // Arguments after the help are not read; a home directory before it is not checked.
  ProbeRun run = Probe({"-d", (kData / "errors").string(), "-h", "--bogus"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, std::string(kBanner) + std::string(kUsage));
}

TEST_F(SettingsProbeTest, BadArgumentsStopTheRun) {
  WriteHomeDir((kData / "errors").string());
  struct Case {
    std::vector<std::string> args;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {{"--help"}, "--help"},
      {{"-D", "/tmp"}, "-D"},
      {{"/tmp"}, "/tmp"},
      {{"-x", "-d", (kData / "valid").string()}, "-x"},
      {{"-d", (kData / "valid").string(), "extra"}, "extra"},
      {{"-d"}, "-d"},
      {{"-d", ""}, "-d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    const ProbeRun run = Probe(c.args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, std::string(kBanner) + c.shown + "\n" + std::string(kArgumentError));
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace
