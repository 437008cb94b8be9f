// The transformer plug-ins as the query engine meets them: registered with
// the real registration program into a temporary registry, created by ProgID
// and called by name.
#pragma once

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

#include "platform/com/classstore.h"
#include "platform/com/dispatch.h"
#include "testing/TempDir.h"

extern char** environ;

namespace quor::transform::testing {

namespace fs = std::filesystem;

inline const fs::path kFlatConvert = fs::path(QUOR_LIB_DIR) / "libFlatConvert.so";
inline const fs::path kGridPage = fs::path(QUOR_LIB_DIR) / "libGridPage.so";

// Runs quor-regsvr with `args` (no shell); its exit status.
inline int RunRegsvr(std::vector<std::string> args) {
  std::string program = (fs::path(QUOR_BIN_DIR) / "quor-regsvr").string();
  std::vector<char*> argv{program.data()};
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A temporary folder whose registry file QUOR_REGISTRY names while it lives.
class TempRegistry {
 public:
  TempRegistry() {
    dir_ = temp_.Path();
    ::setenv("QUOR_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
  }
  ~TempRegistry() {
    com::CoFreeUnusedLibraries();
    ::unsetenv("QUOR_REGISTRY");
  }
  fs::path File() const { return dir_ / "registry.reg"; }

 private:
  quor::test::TempDir temp_{"quor-transform"};
  fs::path dir_;
};

// Creates `progId` and calls its Convert(src, rule) late-bound.
inline com::Bstr Convert(std::u16string_view progId, const com::Bstr& src, const com::Bstr& rule = {}) {
  com::ComPtr<com::IDispatch> object;
  EXPECT_EQ(com::CreateObject(progId, object), S_OK);
  if (!object) return {};
  com::Variant args[] = {com::Variant(src), com::Variant(rule)};
  com::Variant result;
  EXPECT_EQ(com::InvokeByName(object.Get(), u"Convert", com::DISPATCH_METHOD, args, &result), S_OK);
  EXPECT_EQ(result.Type(), com::VT_BSTR);
  return result.Type() == com::VT_BSTR ? result.GetBstr() : com::Bstr();
}

}  // namespace quor::transform::testing
