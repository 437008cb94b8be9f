#pragma once

#include "platform/xml/dom.h"
#include "testing/TempDir.h"

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

using TempDir = quor::test::TempDir;

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
