#pragma once

#include "platform/xml/dom.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <string_view>

namespace quor::xml {
inline void PrintTo(ParseErrorCode code, std::ostream* os) { *os << "ParseErrorCode(" << static_cast<long>(code) << ")"; }
}  // namespace quor::xml

namespace quor::xml::testing {

inline DocumentPtr Parse(std::string_view text) {
  auto doc = Document::Create();
  EXPECT_TRUE(doc->loadXML(text)) << doc->parseError().reason << " at " << doc->parseError().line << ":"
                                  << doc->parseError().linepos << " in: " << text;
  return doc;
}

// A fresh folder under the system's temporary folder, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quor-xml-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string File(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void WriteBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good());
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string DataFile(std::string_view name) { return std::string(QUOR_TEST_DATA_DIR) + "/" + std::string(name); }

}  // namespace quor::xml::testing
