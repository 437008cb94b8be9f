// A temporary service instance for tests: a home folder with config/,
// unifier/ and transform/, and a registry file of its own (QUOR_REGISTRY).
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/ServiceConfig.h"
#include "platform/registry/registry.h"

namespace quor::core::testing {

class TestInstance {
 public:
  TestInstance() {
    std::string templ = (std::filesystem::temp_directory_path() / "quor-core-XXXXXX").string();
    root_ = ::mkdtemp(templ.data());
    home_ = root_ + "/home";
    for (const char* folder : {"config", "unifier", "transform"}) std::filesystem::create_directories(home_ + "/" + folder);
    registry_ = root_ + "/registry.reg";
    ::setenv("QUOR_REGISTRY", registry_.c_str(), 1);
    eventLog_ = root_ + "/events.log";
    ::setenv("QUOR_EVENTLOG", eventLog_.c_str(), 1);
  }
  ~TestInstance() {
    ::unsetenv("QUOR_EVENTLOG");
    std::filesystem::remove_all(root_);
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
    key.Create(reg::Hive::LocalMachine, kServiceKey);
    return key;
  }
  void SetHomeDir() const { ServiceKey().SetString("HomeDir", home_); }

  std::string EventLogText() const {
    std::ifstream in(eventLog_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::string root_, home_, registry_, eventLog_;
};

}  // namespace quor::core::testing
