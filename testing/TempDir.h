// A folder of a test's own under the system's temporary folder, removed with
// everything in it when the object goes. Also used by the benchmarks, so it
// needs no test framework.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace quor::test {

class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "quor") {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
    else throw std::runtime_error("cannot make a temporary folder from " + pattern);
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // A name inside the folder, as text.
  std::string File(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace quor::test
