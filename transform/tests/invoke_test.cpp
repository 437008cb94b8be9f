// quor-invoke against a real plug-in: FlatConvert registered with the real
// registration program, called by name with the texts of two files.
#include <fcntl.h>

#include "testing/PluginEnv.h"

namespace quor::transform::testing {
namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs quor-invoke with `args` (no shell), its output caught in files.
Outcome RunInvoke(const fs::path& dir, std::vector<std::string> args) {
  std::string program = (fs::path(QUOR_BIN_DIR) / "quor-invoke").string();
  std::vector<char*> argv{program.data()};
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const fs::path out = dir / "stdout", err = dir / "stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  Outcome outcome;
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return outcome;
  int status = 0;
  ::waitpid(pid, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.out = ReadFile(out);
  outcome.err = ReadFile(err);
  return outcome;
}

void Write(const fs::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

class InvokeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(RunRegsvr({"-s", kFlatConvert.string()}), 0); }
  fs::path Dir() const { return registry_.File().parent_path(); }
  TempRegistry registry_;
};

TEST_F(InvokeTest, ConvertsTwoFilesThroughARegisteredPlugin) {
  const fs::path src = fs::path(QUOR_TEST_DATA_DIR) / "mixed_response.xml";
  const fs::path rule = Dir() / "rule.xml";
  Write(rule, "");
  const Outcome done = RunInvoke(Dir(), {"FlatConvert.TransCSV", "Convert", src.string(), rule.string()});
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(done.out, ReadFile(fs::path(QUOR_TEST_DATA_DIR) / "mixed.csv.expected"));
  EXPECT_EQ(done.err, "");

  // The method name is matched without case, as late binding does; a byte
  // order mark in front of the text is not part of it.
  const fs::path bom = Dir() / "bom.xml";
  Write(bom, "\xEF\xBB\xBF<response/>");
  const Outcome lower = RunInvoke(Dir(), {"FlatConvert.TransCSV", "convert", bom.string(), rule.string()});
  EXPECT_EQ(lower.status, 0) << lower.err;
  EXPECT_EQ(lower.out, "<response/>");

  // A text the plug-in refuses comes back as its fault document: that is
  // the method's answer, not a failed call.
  const fs::path bad = Dir() / "bad.xml";
  Write(bad, "not xml");
  const Outcome fault = RunInvoke(Dir(), {"FlatConvert.TransCSV", "Convert", bad.string(), rule.string()});
  EXPECT_EQ(fault.status, 0) << fault.err;
  EXPECT_NE(fault.out.find("<fault><faultactor>IFlatConvert</faultactor>"), std::string::npos) << fault.out;
}

TEST_F(InvokeTest, FailuresExitNonZeroWithTheStatusAndWhy) {
  const fs::path text = Dir() / "a.xml";
  Write(text, "<response/>");

  const Outcome unknown = RunInvoke(Dir(), {"No.SuchThing", "Convert", text.string(), text.string()});
  EXPECT_EQ(unknown.status, 3);
  EXPECT_EQ(unknown.out, "");
  EXPECT_NE(unknown.err.find("cannot create No.SuchThing: 0x800401F3"), std::string::npos) << unknown.err;

  const Outcome method = RunInvoke(Dir(), {"FlatConvert.TransCSV", "NoSuchMethod", text.string(), text.string()});
  EXPECT_EQ(method.status, 4);
  EXPECT_EQ(method.out, "");
  EXPECT_NE(method.err.find("FlatConvert.TransCSV.NoSuchMethod: 0x80020006"), std::string::npos) << method.err;

  const Outcome missing = RunInvoke(Dir(), {"FlatConvert.TransCSV", "Convert", text.string(), (Dir() / "none").string()});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("none"), std::string::npos) << missing.err;

  const fs::path latin1 = Dir() / "latin1.xml";
  Write(latin1, "<response>\xE9</response>");
  const Outcome notUtf8 = RunInvoke(Dir(), {"FlatConvert.TransCSV", "Convert", latin1.string(), text.string()});
  EXPECT_EQ(notUtf8.status, 2);
  EXPECT_NE(notUtf8.err.find("not UTF-8"), std::string::npos) << notUtf8.err;

  const Outcome usage = RunInvoke(Dir(), {"FlatConvert.TransCSV", "Convert", text.string()});
  EXPECT_EQ(usage.status, 1);
  EXPECT_NE(usage.err.find("usage: quor-invoke"), std::string::npos);
  const Outcome help = RunInvoke(Dir(), {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: quor-invoke"), std::string::npos);
}

}  // namespace
}  // namespace quor::transform::testing
