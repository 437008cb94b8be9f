// The file-backed registry.
//
// File layout (UTF-8 text, the registry export format):
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\Software\Velt\QuorService]
//   ; LastWrite=1733702400123456789
//   @="default value"
//   "HomeDir"="/srv/quor"
//   "CompressThreshold"=dword:00000400
//   "Names"=hex(7):61,00,62,00,00
//   "Blob"=hex:01,02,03
//
// - The first non-blank line is "REGEDIT4". Every key has a section, also an
//   empty one; a hive's own section appears only when the hive holds anything.
//   Sections come parent first, subkeys in creation order; values in the order
//   they were first written.
// - Names are quoted with '\\' and '"' escaped; '@' is the default value.
// - A string value is written as "..." when its text is valid UTF-8 without
//   control characters and ends at its one terminating NUL; any other string
//   is written as hex(1): (hex(2): for an expandable one) so that it survives
//   the round trip. A DWORD of four bytes is dword:XXXXXXXX; binary is hex:;
//   any other type is hex(N): with N its type number in hex. Long hex data is
//   wrapped with a trailing '\' and continued on the next line.
// - The comment "; LastWrite=<nanoseconds since the epoch>" after a section
//   header keeps the key's last-write stamp. A key without one (a hand-edited
//   file) takes the file's modification time, so hand edits show up as a
//   change too. Other comments are ignored on reading and not written back.
// - Every line ends with a line end ("\n" or "\r\n"), the last one too: a file
//   whose last line has none was cut off.
// - A file that breaks these rules is damaged: every call gives ERROR_BADDB
//   and the file is never overwritten until someone repairs it.
//
// Concurrency: reads compare the file's identity (device, inode, size,
// modification time) with the loaded one and re-read on a change. Writes take
// flock(LOCK_EX) on "<file>.lock", read the file again (by content, not by its
// identity, so no update can be lost to a coarse clock), apply the change and
// write the file with fs::WriteFileAtomic (a unique "<file>.tmp.XXXXXX",
// fsynced, renamed over the file, the folder fsynced); the file keeps its
// permission bits. Temporaries that a killed writer left are removed under the
// lock. A mutex makes one Registry object safe for threads.

#include "platform/registry/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include "platform/base/thread_annotations.h"
#include "platform/base/unique_fd.h"
#include "platform/fs/fs.h"
#include "platform/text/text.h"

namespace quor::reg {
namespace {

constexpr std::array<std::string_view, 3> kHiveNames = {"HKEY_LOCAL_MACHINE", "HKEY_CLASSES_ROOT",
                                                        "HKEY_CURRENT_USER"};
constexpr std::string_view kStampPrefix = "; LastWrite=";
constexpr size_t kMaxKeyNameLength = 255;

// ---- The tree -----------------------------------------------------------------

struct Node {
  std::string name;
  uint64_t stamp = 0;
  std::vector<NamedValue> values;
  std::vector<std::unique_ptr<Node>> children;

  Node* FindChild(std::string_view childName) const {
    for (const auto& child : children)
      if (text::EqualsNoCase(child->name, childName)) return child.get();
    return nullptr;
  }
  NamedValue* FindValue(std::string_view valueName) {
    for (auto& v : values)
      if (text::EqualsNoCase(v.name, valueName)) return &v;
    return nullptr;
  }
  bool Empty() const { return values.empty() && children.empty(); }
};

struct Tree {
  std::array<Node, 3> hives;
  Node& Root(Hive hive) { return hives[static_cast<size_t>(hive)]; }
};

uint64_t NowNs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

// Strictly later than the previous stamp, even when the clock stands still or
// another machine's clock wrote the file.
void Touch(Node& node) { node.stamp = std::max(NowNs(), node.stamp + 1); }

bool ValidName(std::string_view name) {
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) return false;
  return text::IsValidUtf8(name);
}

// Splits a key path into its names. Leading and trailing separators are
// tolerated; an empty name between two separators is not.
Status SplitPath(std::string_view path, std::vector<std::string_view>& parts) {
  parts.clear();
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (path.empty()) return Status();
  parts = text::SplitViews(path, '\\');
  for (const std::string_view part : parts)
    if (part.empty() || part.size() > kMaxKeyNameLength || !ValidName(part))
      return Win32Status(ERROR_INVALID_PARAMETER);
  return Status();
}

Node* Find(Node& root, std::span<const std::string_view> parts) {
  Node* node = &root;
  for (auto part : parts) {
    node = node->FindChild(part);
    if (!node) return nullptr;
  }
  return node;
}

// The stored spelling of a path, joined with '\'.
std::string StoredPath(Node& root, std::span<const std::string_view> parts) {
  std::string out;
  Node* node = &root;
  for (auto part : parts) {
    node = node->FindChild(part);
    if (!out.empty()) out += '\\';
    out += node ? node->name : std::string(part);
  }
  return out;
}

// ---- Parsing --------------------------------------------------------------------

struct ParseError {
  size_t line;
  std::string what;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted text at the start of `in`; on success `in` points after the
// closing quote.
bool ReadQuoted(std::string_view& in, std::string& out) {
  if (in.empty() || in.front() != '"') return false;
  out.clear();
  size_t i = 1;
  while (i < in.size()) {
    char c = in[i];
    if (c == '"') {
      in.remove_prefix(i + 1);
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= in.size() || (in[i + 1] != '\\' && in[i + 1] != '"')) return false;
      out += in[i + 1];
      i += 2;
      continue;
    }
    out += c;
    ++i;
  }
  return false;
}

bool ReadHexBytes(std::string_view in, std::vector<uint8_t>& out) {
  out.clear();
  in = text::TrimAscii(in);
  if (in.empty()) return true;
  for (const auto& item : text::Split(in, ',')) {
    std::string_view byte = text::TrimAscii(item);
    if (byte.size() != 2) return false;
    int hi = HexDigit(byte[0]), lo = HexDigit(byte[1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

std::optional<ParseError> ParseValueLine(std::string_view line, size_t lineNo, Node& key) {
  std::string name;
  if (line.front() == '@') {
    line.remove_prefix(1);
  } else if (!ReadQuoted(line, name)) {
    return ParseError{lineNo, "bad value name"};
  }
  line = text::TrimAscii(line);
  if (line.empty() || line.front() != '=') return ParseError{lineNo, "missing '=' after the value name"};
  line = text::TrimAscii(line.substr(1));

  Value value;
  if (!line.empty() && line.front() == '"') {
    std::string data;
    if (!ReadQuoted(line, data) || !text::TrimAscii(line).empty())
      return ParseError{lineNo, "bad string data"};
    value = Value::String(data);
  } else if (line.starts_with("dword:")) {
    std::string_view digits = line.substr(6);
    if (digits.empty() || digits.size() > 8 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return HexDigit(c) >= 0; }))
      return ParseError{lineNo, "bad dword data"};
    value = Value::Dword(*text::ParseUInt32(digits, 16));
  } else if (line.starts_with("hex")) {
    std::string_view rest = line.substr(3);
    uint32_t type = static_cast<uint32_t>(ValueType::Binary);
    if (!rest.empty() && rest.front() == '(') {
      size_t close = rest.find(')');
      if (close == std::string_view::npos) return ParseError{lineNo, "bad hex type"};
      std::string_view number = rest.substr(1, close - 1);
      auto parsed = number.empty() || number.find_first_of(" \t+-x") != std::string_view::npos
                        ? std::nullopt
                        : text::ParseUInt32(number, 16);
      if (!parsed) return ParseError{lineNo, "bad hex type"};
      type = *parsed;
      rest = rest.substr(close + 1);
    }
    if (rest.empty() || rest.front() != ':') return ParseError{lineNo, "bad hex data"};
    value.type = static_cast<ValueType>(type);
    if (!ReadHexBytes(rest.substr(1), value.data)) return ParseError{lineNo, "bad hex data"};
  } else {
    return ParseError{lineNo, "unknown value data"};
  }

  if (!ValidName(name)) return ParseError{lineNo, "bad value name"};
  if (NamedValue* existing = key.FindValue(name))
    existing->value = std::move(value);
  else
    key.values.push_back({std::move(name), std::move(value)});
  return std::nullopt;
}

// Fills `tree` from the file text. Keys without a stamp get `fallbackStamp`.
std::optional<ParseError> Parse(std::string_view content, uint64_t fallbackStamp, Tree& tree) {
  if (content.starts_with("\xEF\xBB\xBF")) content.remove_prefix(3);
  if (!text::IsValidUtf8(content)) return ParseError{0, "the file is not UTF-8 text"};

  bool header = false;
  Node* section = nullptr;
  size_t lineNo = 0;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    if (end == std::string_view::npos) end = content.size();
    std::string_view raw = content.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    size_t firstLine = lineNo;
    std::string joined;
    std::string_view line = text::TrimAscii(raw);
    // Hex data may continue on the next line after a trailing backslash.
    if (!line.empty() && line.front() != '[' && line.front() != ';') {
      while (!line.empty() && line.back() == '\\' && pos < content.size()) {
        joined.append(line.substr(0, line.size() - 1));
        end = content.find('\n', pos);
        if (end == std::string_view::npos) end = content.size();
        line = text::TrimAscii(content.substr(pos, end - pos));
        pos = end + 1;
        ++lineNo;
      }
      if (!joined.empty()) {
        joined.append(line);
        line = joined;
      }
    }
    if (line.empty()) continue;
    if (!header) {
      if (line != "REGEDIT4") return ParseError{firstLine, "the file does not start with REGEDIT4"};
      header = true;
      continue;
    }
    if (line.front() == ';') {
      if (section && line.starts_with(kStampPrefix)) {
        if (auto stamp = text::ParseUInt64(line.substr(kStampPrefix.size()))) section->stamp = *stamp;
      }
      continue;
    }
    if (line.front() == '[') {
      if (line.size() < 3 || line.back() != ']') return ParseError{firstLine, "bad section header"};
      std::string_view path = line.substr(1, line.size() - 2);
      size_t slash = path.find('\\');
      auto hive = ParseHive(path.substr(0, slash));
      if (!hive) return ParseError{firstLine, "unknown hive in section header"};
      std::vector<std::string_view> parts;
      if (slash != std::string_view::npos) {
        std::string_view rest = path.substr(slash + 1);
        if (rest.empty() || !SplitPath(rest, parts).ok() || rest.front() == '\\' || rest.back() == '\\')
          return ParseError{firstLine, "bad key path in section header"};
      }
      Node* node = &tree.Root(*hive);
      if (node->stamp == 0) node->stamp = fallbackStamp;
      for (auto part : parts) {
        Node* child = node->FindChild(part);
        if (!child) {
          node->children.push_back(std::make_unique<Node>());
          child = node->children.back().get();
          child->name = std::string(part);
          child->stamp = fallbackStamp;
        }
        node = child;
      }
      section = node;
      continue;
    }
    if (!section) return ParseError{firstLine, "value outside of a section"};
    if (line.front() != '"' && line.front() != '@') return ParseError{firstLine, "unexpected text"};
    if (auto error = ParseValueLine(line, firstLine, *section)) return error;
  }
  // Only a file without any byte is an empty registry; anything else without
  // the header is not ours.
  if (!header && !content.empty()) return ParseError{1, "the file does not start with REGEDIT4"};
  // A last line without its line end is what a cut-off file looks like (a
  // cut dword or stamp would still read as a number).
  if (!content.empty() && content.back() != '\n')
    return ParseError{lineNo, "the last line has no line end (the file is truncated)"};
  return std::nullopt;
}

// ---- Writing ----------------------------------------------------------------------

void AppendQuoted(std::string& out, std::string_view in) {
  out += '"';
  for (char c : in) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

// A string whose bytes are exactly "text NUL" with printable UTF-8 text.
bool WritableAsQuoted(const Value& value) {
  const auto& d = value.data;
  if (d.empty() || d.back() != 0) return false;
  std::string_view body(reinterpret_cast<const char*>(d.data()), d.size() - 1);
  return body.find('\0') == std::string_view::npos && ValidName(body);
}

void AppendHex(std::string& out, std::string_view prefix, const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += prefix;
  size_t column = out.size() - (out.rfind('\n') + 1);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (column > 75) {
      out += "\\\n  ";
      column = 2;
    }
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
    column += 2;
    if (i + 1 < bytes.size()) {
      out += ',';
      ++column;
    }
  }
}

void AppendValue(std::string& out, const NamedValue& v) {
  if (v.name.empty())
    out += '@';
  else
    AppendQuoted(out, v.name);
  out += '=';
  const Value& value = v.value;
  switch (value.type) {
    case ValueType::String:
      if (WritableAsQuoted(value)) {
        AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1));
        break;
      }
      AppendHex(out, "hex(1):", value.data);
      break;
    case ValueType::Dword:
      if (auto number = value.AsDword()) {
        out += text::Format("dword:%08x", *number);
        break;
      }
      AppendHex(out, "hex(4):", value.data);
      break;
    case ValueType::Binary:
      AppendHex(out, "hex:", value.data);
      break;
    default:
      AppendHex(out, text::Format("hex(%x):", static_cast<uint32_t>(value.type)), value.data);
      break;
  }
  out += '\n';
}

void AppendSection(std::string& out, const std::string& path, const Node& node) {
  out += '[';
  out += path;
  out += "]\n";
  out += kStampPrefix;
  out += std::to_string(node.stamp);
  out += '\n';
  for (const auto& v : node.values) AppendValue(out, v);
  out += '\n';
  for (const auto& child : node.children) AppendSection(out, path + "\\" + child->name, *child);
}

std::string Serialize(const Tree& tree) {
  std::string out = "REGEDIT4\n\n";
  for (size_t i = 0; i < tree.hives.size(); ++i) {
    const Node& root = tree.hives[i];
    if (root.Empty()) continue;
    AppendSection(out, std::string(kHiveNames[i]), root);
  }
  return out;
}

// ---- Files ---------------------------------------------------------------------------

struct FileId {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtimeNs = 0;
  bool operator==(const FileId&) const = default;
};

FileId IdOf(const struct stat& st) {
  return {true, st.st_dev, st.st_ino, st.st_size,
          static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

Status ErrorFromErrno(int err, long otherwise) {
  if (err == EACCES || err == EPERM || err == EROFS) return Win32Status(ERROR_ACCESS_DENIED);
  return Win32Status(otherwise);
}

// Reads the whole file. ERROR_FILE_NOT_FOUND when it does not exist.
Status ReadFile(const std::filesystem::path& file, std::string& content, FileId& id) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0)
    return errno == ENOENT ? Win32Status(ERROR_FILE_NOT_FOUND) : ErrorFromErrno(errno, quor::ERROR_CANTREAD);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Win32Status(quor::ERROR_CANTREAD);
  content.clear();
  char buffer[65536];
  while (true) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Win32Status(quor::ERROR_CANTREAD);
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  id = IdOf(st);
  return Status();
}

class FileLock {
 public:
  Status Acquire(const std::filesystem::path& lockFile) {
    fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return ErrorFromErrno(errno, ERROR_CANTWRITE);
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) return Win32Status(ERROR_CANTWRITE);
    }
    return Status();
  }
  ~FileLock() {
    if (fd_ >= 0) {
      ::flock(fd_, LOCK_UN);
      ::close(fd_);
    }
  }

 private:
  int fd_ = -1;
};

}  // namespace

// ---- Hives and values ------------------------------------------------------------------

std::string_view HiveName(Hive hive) { return kHiveNames[static_cast<size_t>(hive)]; }

std::optional<Hive> ParseHive(std::string_view name) {
  static constexpr std::array<std::string_view, 3> kShort = {"HKLM", "HKCR", "HKCU"};
  for (size_t i = 0; i < kHiveNames.size(); ++i)
    if (text::EqualsNoCase(name, kHiveNames[i]) || text::EqualsNoCase(name, kShort[i])) return static_cast<Hive>(i);
  return std::nullopt;
}

namespace {
Value TextValue(ValueType type, std::string_view text) {
  Value v;
  v.type = type;
  v.data.assign(text.begin(), text.end());
  v.data.push_back(0);
  return v;
}
}  // namespace

Value Value::String(std::string_view text) { return TextValue(ValueType::String, text); }
Value Value::ExpandString(std::string_view text) { return TextValue(ValueType::ExpandString, text); }

Value Value::Dword(uint32_t number) {
  Value v;
  v.type = ValueType::Dword;
  for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<uint8_t>(number >> (8 * i)));
  return v;
}

Value Value::MultiString(std::span<const std::string> texts) {
  Value v;
  v.type = ValueType::MultiString;
  for (const auto& t : texts) {
    v.data.insert(v.data.end(), t.begin(), t.end());
    v.data.push_back(0);
  }
  v.data.push_back(0);
  return v;
}

Value Value::Binary(std::span<const uint8_t> bytes) {
  Value v;
  v.type = ValueType::Binary;
  v.data.assign(bytes.begin(), bytes.end());
  return v;
}

std::optional<std::string> Value::AsString() const {
  if (type != ValueType::String && type != ValueType::ExpandString) return std::nullopt;
  std::string_view all(reinterpret_cast<const char*>(data.data()), data.size());
  return std::string(all.substr(0, all.find('\0')));
}

std::optional<uint32_t> Value::AsDword() const {
  if (type != ValueType::Dword || data.size() != 4) return std::nullopt;
  return static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 | static_cast<uint32_t>(data[2]) << 16 |
         static_cast<uint32_t>(data[3]) << 24;
}

std::optional<std::vector<std::string>> Value::AsMultiString() const {
  if (type != ValueType::MultiString) return std::nullopt;
  std::vector<std::string> out;
  std::string_view all(reinterpret_cast<const char*>(data.data()), data.size());
  while (!all.empty()) {
    size_t nul = all.find('\0');
    std::string_view item = all.substr(0, nul);
    // The empty item ends the list.
    if (item.empty()) break;
    out.emplace_back(item);
    if (nul == std::string_view::npos) break;
    all.remove_prefix(nul + 1);
  }
  return out;
}

// ---- Registry ---------------------------------------------------------------------------

struct Registry::State {
  std::filesystem::path file;  // set once, before the first use
  Mutex mutex;
  bool loaded QUOR_GUARDED_BY(mutex) = false;
  FileId id QUOR_GUARDED_BY(mutex);
  Status status QUOR_GUARDED_BY(mutex);
  std::string reason QUOR_GUARDED_BY(mutex);
  std::string content QUOR_GUARDED_BY(mutex);
  Tree tree QUOR_GUARDED_BY(mutex);

  // Loads `content` read from the file into the cache.
  void Load(std::string&& newContent, const FileId& newId) QUOR_REQUIRES(mutex) {
    Tree fresh;
    auto error = Parse(newContent, static_cast<uint64_t>(newId.mtimeNs), fresh);
    content = std::move(newContent);
    id = newId;
    loaded = true;
    if (error) {
      status = Win32Status(ERROR_BADDB);
      reason = error->line ? text::Format("%s: line %u: %s", file.string(), error->line, error->what)
                           : text::Format("%s: %s", file.string(), error->what);
      tree = Tree{};
    } else {
      status = Status();
      reason.clear();
      tree = std::move(fresh);
    }
  }

  // Brings the cache up to date with the file.
  Status Refresh() QUOR_REQUIRES(mutex) {
    struct stat st {};
    FileId now;
    if (::stat(file.c_str(), &st) == 0) {
      now = IdOf(st);
    } else if (errno != ENOENT) {
      return ErrorFromErrno(errno, quor::ERROR_CANTREAD);
    }
    if (loaded && now == id) return status;
    if (!now.exists) {
      Load({}, now);
      return status;
    }
    std::string data;
    FileId readId;
    Status rc = ReadFile(file, data, readId);
    if (IsNotFound(rc)) {
      Load({}, FileId{});
      return status;
    }
    if (!rc.ok()) return rc;
    Load(std::move(data), readId);
    return status;
  }

  template <typename Fn>
  Status Read(Fn&& fn) QUOR_EXCLUDES(mutex) {
    MutexLock lock(mutex);
    QUOR_RETURN_IF_ERROR(Refresh());
    return fn(tree);
  }

  // Runs `fn(tree, changed)` on the file's current content under the file
  // lock and writes the result when it succeeded and changed something.
  template <typename Fn>
  Status Write(Fn&& fn) QUOR_EXCLUDES(mutex) {
    MutexLock lock(mutex);
    std::error_code ec;
    std::filesystem::path folder = file.parent_path();
    if (!folder.empty() && !std::filesystem::exists(folder, ec)) {
      std::filesystem::create_directories(folder, ec);
      if (ec) return ErrorFromErrno(ec.value(), ERROR_CANTWRITE);
    }
    FileLock fileLock;
    std::filesystem::path lockFile = file;
    lockFile += ".lock";
    QUOR_RETURN_IF_ERROR(fileLock.Acquire(lockFile));

    std::string data;
    FileId readId;
    Status rc = ReadFile(file, data, readId);
    if (IsNotFound(rc)) {
      data.clear();
      readId = FileId{};
    } else if (!rc.ok()) {
      return rc;
    }
    if (!loaded || data != content || readId.exists != id.exists) Load(std::move(data), readId);
    if (!status.ok()) return status;

    bool changed = false;
    rc = fn(tree, changed);
    if (!rc.ok() || !changed) {
      // The tree may have been touched before the failure was found.
      if (changed) loaded = false;
      return rc;
    }
    std::string out = Serialize(tree);
    rc = Replace(out);
    if (!rc.ok()) {
      loaded = false;
      return rc;
    }
    content = std::move(out);
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0)
      id = IdOf(st);
    else
      loaded = false;
    return Status();
  }

  Status Replace(std::string_view out) QUOR_REQUIRES(mutex) {
    fs::RemoveStaleTemporaries(file.string());
    fs::WriteStep step{};
    const Status written = fs::WriteFileAtomic(file.string(), out, {.keepMode = true}, &step);
    if (written.ok()) return Status();
    // Only a temporary refused for want of rights is "access denied".
    if (step == fs::WriteStep::Create && Win32Error(written) == ERROR_ACCESS_DENIED)
      return Win32Status(ERROR_ACCESS_DENIED);
    return Win32Status(ERROR_CANTWRITE);
  }
};

Registry::Registry(std::filesystem::path file) : state_(std::make_unique<State>()) { state_->file = std::move(file); }
Registry::~Registry() = default;

Registry& Registry::Default() {
  static Mutex mutex;
  // Process-wide: one registry per file path ever named by QUOR_REGISTRY.
  static std::map<std::string, std::unique_ptr<Registry>> registries QUOR_GUARDED_BY(mutex);
  const char* env = std::getenv("QUOR_REGISTRY");
  std::string path = env && *env ? env : std::string(kDefaultPath);
  MutexLock lock(mutex);
  auto& slot = registries[path];
  if (!slot) slot = std::make_unique<Registry>(path);
  return *slot;
}

const std::filesystem::path& Registry::Path() const { return state_->file; }

Status Registry::Check() {
  MutexLock lock(state_->mutex);
  Status rc = state_->Refresh();
  if (Win32Error(rc) == ERROR_BADDB) return Win32Status(ERROR_BADDB, state_->reason);
  return rc;
}

Status Registry::DeleteKeyTree(Hive hive, std::string_view path) {
  std::vector<std::string_view> parts;
  QUOR_RETURN_IF_ERROR(SplitPath(path, parts));
  if (parts.empty()) return Win32Status(ERROR_ACCESS_DENIED);
  return state_->Write([&](Tree& tree, bool& changed) -> Status {
    Node* parent = Find(tree.Root(hive), std::span(parts).first(parts.size() - 1));
    if (!parent) return Win32Status(ERROR_FILE_NOT_FOUND);
    auto it = std::find_if(parent->children.begin(), parent->children.end(),
                           [&](const auto& c) { return text::EqualsNoCase(c->name, parts.back()); });
    if (it == parent->children.end()) return Win32Status(ERROR_FILE_NOT_FOUND);
    parent->children.erase(it);
    Touch(*parent);
    changed = true;
    return Status();
  });
}

// ---- Key ------------------------------------------------------------------------------------

Key::Key(Key&& other) noexcept
    : registry_(other.registry_), open_(other.open_), hive_(other.hive_), path_(std::move(other.path_)) {
  other.open_ = false;
  other.path_.clear();
}

Key& Key::operator=(Key&& other) noexcept {
  if (this != &other) {
    registry_ = other.registry_;
    open_ = std::exchange(other.open_, false);
    hive_ = other.hive_;
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

void Key::Close() {
  open_ = false;
  path_.clear();
}

Status Key::Open(Hive hive, std::string_view path) {
  std::vector<std::string_view> parts;
  QUOR_RETURN_IF_ERROR(SplitPath(path, parts));
  std::string stored;
  QUOR_RETURN_IF_ERROR(Reg().state_->Read([&](Tree& tree) -> Status {
    if (!Find(tree.Root(hive), parts)) return Win32Status(ERROR_FILE_NOT_FOUND);
    stored = StoredPath(tree.Root(hive), parts);
    return Status();
  }));
  hive_ = hive;
  path_ = std::move(stored);
  open_ = true;
  return Status();
}

Status Key::Open(const Key& parent, std::string_view subPath) {
  if (!parent.open_) return Win32Status(ERROR_INVALID_HANDLE);
  registry_ = parent.registry_;
  return Open(parent.hive_, parent.path_.empty() ? std::string(subPath) : parent.path_ + "\\" + std::string(subPath));
}

Status Key::Create(Hive hive, std::string_view path, bool* created) {
  std::vector<std::string_view> parts;
  QUOR_RETURN_IF_ERROR(SplitPath(path, parts));
  std::string stored;
  bool made = false;
  auto find = [&](Tree& tree) -> Status {
    if (!Find(tree.Root(hive), parts)) return Win32Status(ERROR_FILE_NOT_FOUND);
    stored = StoredPath(tree.Root(hive), parts);
    return Status();
  };
  // Most creations find the key already there: no write then.
  Status rc = Reg().state_->Read(find);
  if (IsNotFound(rc)) {
    rc = Reg().state_->Write([&](Tree& tree, bool& changed) -> Status {
      Node* node = &tree.Root(hive);
      for (auto part : parts) {
        Node* child = node->FindChild(part);
        if (!child) {
          node->children.push_back(std::make_unique<Node>());
          child = node->children.back().get();
          child->name = std::string(part);
          Touch(*child);
          Touch(*node);
          changed = made = true;
        }
        node = child;
      }
      stored = StoredPath(tree.Root(hive), parts);
      return Status();
    });
  }
  if (!rc.ok()) return rc;
  if (created) *created = made;
  hive_ = hive;
  path_ = std::move(stored);
  open_ = true;
  return Status();
}

Status Key::Create(const Key& parent, std::string_view subPath, bool* created) {
  if (!parent.open_) return Win32Status(ERROR_INVALID_HANDLE);
  registry_ = parent.registry_;
  return Create(parent.hive_, parent.path_.empty() ? std::string(subPath) : parent.path_ + "\\" + std::string(subPath),
                created);
}

namespace {
// Looks a key up again by its stored path for one call.
template <typename Fn>
Status WithNode(Tree& tree, Hive hive, const std::string& path, Fn&& fn) {
  std::vector<std::string_view> parts;
  if (!SplitPath(path, parts).ok()) return Win32Status(ERROR_INVALID_HANDLE);
  Node* node = Find(tree.Root(hive), parts);
  if (!node) return Win32Status(ERROR_KEY_DELETED);
  return fn(*node);
}
}  // namespace

Result<Value> Key::GetValue(std::string_view name) const {
  if (!open_) return Win32Status(ERROR_INVALID_HANDLE);
  Value out;
  QUOR_RETURN_IF_ERROR(Reg().state_->Read([&](Tree& tree) {
    return WithNode(tree, hive_, path_, [&](Node& node) -> Status {
      NamedValue* v = node.FindValue(name);
      if (!v) return Win32Status(ERROR_FILE_NOT_FOUND);
      out = v->value;
      return Status();
    });
  }));
  return out;
}

Result<std::string> Key::GetString(std::string_view name) const {
  QUOR_ASSIGN_OR_RETURN(const Value v, GetValue(name));
  auto s = v.AsString();
  if (!s) return Win32Status(ERROR_DATATYPE_MISMATCH);
  return std::move(*s);
}

Result<uint32_t> Key::GetDword(std::string_view name) const {
  QUOR_ASSIGN_OR_RETURN(const Value v, GetValue(name));
  auto n = v.AsDword();
  if (!n) return Win32Status(ERROR_DATATYPE_MISMATCH);
  return *n;
}

Result<std::vector<std::string>> Key::GetMultiString(std::string_view name) const {
  QUOR_ASSIGN_OR_RETURN(const Value v, GetValue(name));
  auto m = v.AsMultiString();
  if (!m) return Win32Status(ERROR_DATATYPE_MISMATCH);
  return std::move(*m);
}

Result<std::vector<uint8_t>> Key::GetBinary(std::string_view name) const {
  QUOR_ASSIGN_OR_RETURN(Value v, GetValue(name));
  if (v.type != ValueType::Binary) return Win32Status(ERROR_DATATYPE_MISMATCH);
  return std::move(v.data);
}

Status Key::SetValue(std::string_view name, const Value& value) {
  if (!open_) return Win32Status(ERROR_INVALID_HANDLE);
  if (!ValidName(name)) return Win32Status(ERROR_INVALID_PARAMETER);
  return Reg().state_->Write([&](Tree& tree, bool& changed) {
    return WithNode(tree, hive_, path_, [&](Node& node) -> Status {
      if (NamedValue* v = node.FindValue(name))
        v->value = value;
      else
        node.values.push_back({std::string(name), value});
      Touch(node);
      changed = true;
      return Status();
    });
  });
}

Status Key::SetString(std::string_view name, std::string_view text) { return SetValue(name, Value::String(text)); }
Status Key::SetExpandString(std::string_view name, std::string_view text) {
  return SetValue(name, Value::ExpandString(text));
}
Status Key::SetDword(std::string_view name, uint32_t number) { return SetValue(name, Value::Dword(number)); }
Status Key::SetMultiString(std::string_view name, std::span<const std::string> texts) {
  return SetValue(name, Value::MultiString(texts));
}
Status Key::SetBinary(std::string_view name, std::span<const uint8_t> bytes) {
  return SetValue(name, Value::Binary(bytes));
}

Status Key::DeleteValue(std::string_view name) {
  if (!open_) return Win32Status(ERROR_INVALID_HANDLE);
  return Reg().state_->Write([&](Tree& tree, bool& changed) {
    return WithNode(tree, hive_, path_, [&](Node& node) -> Status {
      auto it = std::find_if(node.values.begin(), node.values.end(),
                             [&](const NamedValue& v) { return text::EqualsNoCase(v.name, name); });
      if (it == node.values.end()) return Win32Status(ERROR_FILE_NOT_FOUND);
      node.values.erase(it);
      Touch(node);
      changed = true;
      return Status();
    });
  });
}

Status Key::DeleteSubKeyTree(std::string_view subPath) {
  if (!open_) return Win32Status(ERROR_INVALID_HANDLE);
  std::vector<std::string_view> parts;
  QUOR_RETURN_IF_ERROR(SplitPath(subPath, parts));
  if (parts.empty()) return Win32Status(ERROR_INVALID_PARAMETER);
  return Reg().DeleteKeyTree(hive_, path_.empty() ? std::string(subPath) : path_ + "\\" + std::string(subPath));
}

Result<std::vector<std::string>> Key::EnumSubKeys() const {
  if (!open_) return Win32Status(ERROR_INVALID_HANDLE);
  std::vector<std::string> names;
  QUOR_RETURN_IF_ERROR(Reg().state_->Read([&](Tree& tree) {
    return WithNode(tree, hive_, path_, [&](Node& node) -> Status {
      for (const auto& child : node.children) names.push_back(child->name);
      return Status();
    });
  }));
  return names;
}

Result<std::vector<NamedValue>> Key::EnumValues() const {
  if (!open_) return Win32Status(ERROR_INVALID_HANDLE);
  std::vector<NamedValue> values;
  QUOR_RETURN_IF_ERROR(Reg().state_->Read([&](Tree& tree) {
    return WithNode(tree, hive_, path_, [&](Node& node) -> Status {
      values = node.values;
      return Status();
    });
  }));
  return values;
}

Result<std::string> Key::EnumSubKey(uint32_t index) const {
  if (!open_) return Win32Status(ERROR_INVALID_HANDLE);
  std::string name;
  QUOR_RETURN_IF_ERROR(Reg().state_->Read([&](Tree& tree) {
    return WithNode(tree, hive_, path_, [&](Node& node) -> Status {
      if (index >= node.children.size()) return Win32Status(ERROR_NO_MORE_ITEMS);
      name = node.children[index]->name;
      return Status();
    });
  }));
  return name;
}

Result<NamedValue> Key::EnumValue(uint32_t index) const {
  if (!open_) return Win32Status(ERROR_INVALID_HANDLE);
  NamedValue value;
  QUOR_RETURN_IF_ERROR(Reg().state_->Read([&](Tree& tree) {
    return WithNode(tree, hive_, path_, [&](Node& node) -> Status {
      if (index >= node.values.size()) return Win32Status(ERROR_NO_MORE_ITEMS);
      value = node.values[index];
      return Status();
    });
  }));
  return value;
}

Result<uint64_t> Key::LastWrite() const {
  if (!open_) return Win32Status(ERROR_INVALID_HANDLE);
  uint64_t stamp = 0;
  QUOR_RETURN_IF_ERROR(Reg().state_->Read([&](Tree& tree) {
    return WithNode(tree, hive_, path_, [&](Node& node) -> Status {
      stamp = node.stamp;
      return Status();
    });
  }));
  return stamp;
}

}  // namespace quor::reg
