#include "platform/fs/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>

#include "platform/base/win32_error.h"
#include "platform/base/unique_fd.h"
#include "platform/text/text.h"

namespace quor::fs {
namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};


char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool ParentExists(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return true;
  struct stat st {};
  return ::stat(path.substr(0, slash).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string SystemText(int err) { return std::error_code(err, std::generic_category()).message(); }

// The failure errno describes, for `path`; `what` says what could not be done.
Status LastError(const std::string& path, std::string_view what) {
  const int err = errno;
  return Status(HRESULT_FROM_WIN32(Win32ErrorFromErrno(err, err == ENOENT && !ParentExists(path))),
                text::Format("\"%s\" %s: %s", path, what, SystemText(err)));
}

}  // namespace

std::string NormalizePath(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    if (c == '\\') c = '/';
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out.push_back(c);
  }
  return out;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  std::string out = NormalizePath(folder);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out += NormalizePath(name);
  return NormalizePath(out);
}

bool MatchWildcard(std::string_view pattern, std::string_view name) {
  // Iterative matcher with one back-track point per '*': linear in practice.
  size_t p = 0, n = 0, star = std::string_view::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || Fold(pattern[p]) == Fold(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

Result<std::vector<std::string>> ListFiles(std::string_view folder, std::string_view pattern) {
  const std::string path = NormalizePath(folder);
  std::unique_ptr<DIR, DirCloser> dir(::opendir(path.empty() ? "." : path.c_str()));
  if (!dir) return LastError(path, "cannot be listed");
  std::vector<std::string> found;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name(entry->d_name);
    if (name == "." || name == ".." || !MatchWildcard(pattern, name)) continue;
    struct stat st {};
    if (::stat(JoinPath(path, name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    found.emplace_back(name);
  }
  std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
    const int c = text::CompareNoCase(a, b);
    return c != 0 ? c < 0 : a < b;
  });
  return found;
}

bool Exists(std::string_view path) {
  struct stat st {};
  return ::stat(NormalizePath(path).c_str(), &st) == 0;
}

bool IsFolder(std::string_view path) {
  struct stat st {};
  return ::stat(NormalizePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Status CreateFolder(std::string_view path) {
  const std::string p = NormalizePath(path);
  return ::mkdir(p.c_str(), 0755) == 0 ? Status() : LastError(p, "cannot be created");
}

Status CreateFolders(std::string_view path) {
  const std::string p = NormalizePath(path);
  for (size_t at = p.find('/', 1); ; at = p.find('/', at + 1)) {
    const std::string prefix = p.substr(0, at);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
      return LastError(prefix, "cannot be created");
    if (at == std::string::npos) break;
  }
  if (IsFolder(p)) return Status();
  return Status(HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS),
                text::Format("\"%s\" cannot be created: %s", p, SystemText(EEXIST)));
}

Status RemoveFolder(std::string_view path) {
  const std::string p = NormalizePath(path);
  return ::rmdir(p.c_str()) == 0 ? Status() : LastError(p, "cannot be removed");
}

Status DeleteFile(std::string_view path) {
  const std::string p = NormalizePath(path);
  if (IsFolder(p))
    return Status(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
                  text::Format("\"%s\" cannot be deleted: %s", p, SystemText(EISDIR)));
  return ::unlink(p.c_str()) == 0 ? Status() : LastError(p, "cannot be deleted");
}

Result<std::string> ReadFile(std::string_view path) {
  const std::string p = NormalizePath(path);
  UniqueFd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return LastError(p, "cannot be read");
  std::string data;
  char buf[65536];
  while (true) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      return Status(HRESULT_FROM_WIN32(Win32ErrorFromErrno(err)),
                    text::Format("\"%s\" cannot be read: %s", p, SystemText(err)));
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

long Win32Error(const Status& status) {
  if (status.ok()) return ERROR_SUCCESS;
  return HRESULT_FACILITY(status.code()) == FACILITY_WIN32 ? static_cast<long>(HRESULT_CODE(status.code()))
                                                           : static_cast<long>(status.code());
}

Status WriteFileAtomic(std::string_view path, std::string_view contents, const WriteOptions& options,
                       WriteStep* failedStep) {
  const std::string p = NormalizePath(path);
  // A unique temporary name: threads or processes saving the same file at
  // once must not write into one another's temporary.
  std::string tmp = p + ".tmp.XXXXXX";
  bool made = false;
  const auto fail = [&](WriteStep step, std::string_view what) {
    const int err = errno;
    if (made) ::unlink(tmp.c_str());
    if (failedStep) *failedStep = step;
    return Status(HRESULT_FROM_WIN32(Win32ErrorFromErrno(err, err == ENOENT && !ParentExists(p))),
                  text::Format("\"%s\" cannot be written: %s (%s)", p, what, SystemText(err)));
  };

  mode_t mode = options.mode;
  if (struct stat st {}; options.keepMode && ::stat(p.c_str(), &st) == 0) mode = st.st_mode & 07777;
  UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd.valid()) return fail(WriteStep::Create, "no temporary file can be made beside it");
  made = true;
  // A file system without permission bits refuses; the temporary's own 0600
  // then stands.
  (void)::fchmod(fd.get(), mode);
  for (std::string_view rest = contents; !rest.empty();) {
    const ssize_t n = ::write(fd.get(), rest.data(), rest.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(WriteStep::Write, "its temporary file cannot be written");
    }
    rest.remove_prefix(static_cast<size_t>(n));
  }
  if (::fsync(fd.get()) != 0 || ::close(fd.Release()) != 0)
    return fail(WriteStep::Write, "its temporary file cannot be written");
  if (::rename(tmp.c_str(), p.c_str()) != 0) return fail(WriteStep::Replace, "its temporary file cannot replace it");

  // The new contents are in place; a folder that cannot be synced leaves
  // only the rename's durability to the file system.
  const size_t slash = p.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
  if (UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dir.valid()) (void)::fsync(dir.get());
  return Status();
}

void RemoveStaleTemporaries(std::string_view path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string_view::npos ? "./" : std::string(path.substr(0, slash + 1));
  const std::string prefix = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1)) + ".tmp.";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name.size() > prefix.size() && name.starts_with(prefix)) ::unlink((folder + std::string(name)).c_str());
  }
}

}  // namespace quor::fs
