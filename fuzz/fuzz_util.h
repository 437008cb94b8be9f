// What the fuzz targets share: the input as text of either width, cut in
// parts, and a private temporary folder for readers that take a file.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace quor::fuzz {

inline std::string_view AsText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The bytes as UTF-16 code units, little-endian (an odd last byte dropped):
// the width the component strings have.
inline std::u16string AsWide(std::string_view bytes) {
  std::u16string out(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) | (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  return out;
}

// The input cut at each NUL byte into at most `count` parts (the last one
// keeps any further NULs); missing parts are empty.
inline std::vector<std::string_view> Parts(std::string_view bytes, size_t count) {
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < count) {
    const size_t nul = bytes.find('\0');
    if (nul == std::string_view::npos) break;
    parts.push_back(bytes.substr(0, nul));
    bytes.remove_prefix(nul + 1);
  }
  parts.push_back(bytes);
  parts.resize(count);
  return parts;
}

// A temporary folder made at first use and removed at exit.
class TempDir {
 public:
  static const std::filesystem::path& Path() {
    static TempDir dir;
    return dir.path_;
  }

 private:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quor-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::filesystem::path path_;
};

// Writes `bytes` to `name` in the temporary folder and answers its path.
inline std::filesystem::path WriteTemp(std::string_view name, std::string_view bytes) {
  const std::filesystem::path path = TempDir::Path() / name;
  // A new file each time: ext4 flushes a file that is truncated and written
  // again when it is closed, which would make every input cost milliseconds.
  std::error_code ec;
  std::filesystem::remove(path, ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::perror("writing a temporary file");
    std::abort();
  }
  return path;
}

}  // namespace quor::fuzz
