// A temporary service instance for tests: a home folder with config/,
// unifier/ and transform/, and a registry file of its own (QUOR_REGISTRY).
#pragma once

#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/ServiceConfig.h"
#include "core/UnifyTable.h"
#include "platform/registry/registry.h"
#include "testing/TempDir.h"

namespace quor::core::testing {

// The first node of `text`, which must load (the node keeps its document).
inline xml::NodePtr ParseNode(const std::string& text) {
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(text)) return nullptr;
  return doc->firstChild();
}

// A unify table of the given "unifyrule" elements, in order; none when one
// of them does not load.
inline std::unique_ptr<UnifyTableEntry> UnifyRules(const std::vector<std::string>& rules) {
  std::unique_ptr<UnifyTableEntry> first;
  std::unique_ptr<UnifyTableEntry>* slot = &first;
  for (const std::string& rule : rules) {
    *slot = std::make_unique<UnifyTableEntry>();
    const xml::NodePtr node = ParseNode(rule);
    if (!node || (*slot)->LoadFromXml(node).code() != S_OK) return nullptr;
    slot = &(*slot)->NextRuleSlot();
  }
  return first;
}

// Registers a library of the build's lib folder with the real quor-regsvr
// into the registry QUOR_REGISTRY names; its exit status.
inline int RegisterLibrary(const std::string& library) {
  std::string program = std::string(QUOR_BIN_DIR) + "/quor-regsvr";
  std::string flag = "-s";
  std::string path = std::string(QUOR_LIB_DIR) + "/" + library;
  char* argv[] = {program.data(), flag.data(), path.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class TestInstance {
 public:
  TestInstance() {
    root_ = temp_.Path();
    home_ = root_ + "/home";
    for (const char* folder : {"config", "unifier", "transform"}) std::filesystem::create_directories(home_ + "/" + folder);
    registry_ = root_ + "/registry.reg";
    ::setenv("QUOR_REGISTRY", registry_.c_str(), 1);
    eventLog_ = root_ + "/events.log";
    ::setenv("QUOR_EVENTLOG", eventLog_.c_str(), 1);
  }
  ~TestInstance() {
    ::unsetenv("QUOR_EVENTLOG");
  }

  const std::string& root() const { return root_; }
  const std::string& home() const { return home_; }
  const std::string& registry() const { return registry_; }
  const std::string& eventLog() const { return eventLog_; }

  // Writes a file below the home folder.
  void Write(const std::string& relative, const std::string& contents) const {
    std::ofstream(home_ + "/" + relative, std::ios::binary) << contents;
  }

  reg::Key ServiceKey() const {
    reg::Key key;
    EXPECT_TRUE(key.Create(reg::Hive::LocalMachine, kServiceKey).ok());
    return key;
  }
  void SetHomeDir() const { EXPECT_TRUE(ServiceKey().SetString("HomeDir", home_).ok()); }

  std::string EventLogText() const {
    std::ifstream in(eventLog_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  quor::test::TempDir temp_{"quor-core"};
  std::string root_, home_, registry_, eventLog_;
};

}  // namespace quor::core::testing
