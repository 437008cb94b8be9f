#include "platform/fs/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <random>
#include <string>
#include <vector>
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

namespace {

// Whether unnamed files can be given a name through their /proc link.
bool CanNameUnnamedFiles() {
  static const bool can = ::access("/proc/self/fd", F_OK) == 0;
  return can;
}

// Unique among threads and processes, and tells which process made it.
std::string TemporaryName(std::string_view name, const TemporaryNames& names) {
  thread_local std::mt19937_64 random{std::random_device{}()};
  return text::Format("%s%s%s%d-%llx", names.prefix, name, names.infix, static_cast<int>(::getpid()),
                      static_cast<unsigned long long>(random()));
}

}  // namespace

Status WriteFileAtomicAt(int folder, std::string_view name, std::string_view contents, const WriteOptions& options,
                         WriteStep* failedStep, std::string_view shown) {
  const std::string target(name);
  const std::string named = shown.empty() ? target : std::string(shown);
  std::string tmp;
  bool made = false;
  const auto fail = [&](WriteStep step, std::string_view what, int err) {
    if (made) ::unlinkat(folder, tmp.c_str(), 0);
    if (failedStep) *failedStep = step;
    return Status(HRESULT_FROM_WIN32(Win32ErrorFromErrno(err, false)),
                  text::Format("\"%s\" cannot be written: %s (%s)", named, what, SystemText(err)));
  };

  mode_t mode = options.mode;
  if (struct stat st {}; options.keepMode && ::fstatat(folder, target.c_str(), &st, 0) == 0) mode = st.st_mode & 07777;
  // An unnamed file first: a writer killed before the rename leaves nothing.
  UniqueFd fd(CanNameUnnamedFiles() ? ::openat(folder, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600) : -1);
  const bool unnamed = fd.valid();
  for (int attempt = 0; attempt < 16 && !fd.valid(); ++attempt) {
    tmp = TemporaryName(target, options.temporaries);
    fd.Reset(::openat(folder, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid() && errno != EEXIST) break;
  }
  if (!fd.valid()) return fail(WriteStep::Create, "no temporary file can be made beside it", errno);
  made = !unnamed;
  // A file system without permission bits refuses; the temporary's own 0600
  // then stands.
  (void)::fchmod(fd.get(), mode);
  for (std::string_view rest = contents; !rest.empty();) {
    const ssize_t n = ::write(fd.get(), rest.data(), rest.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(WriteStep::Write, "its temporary file cannot be written", errno);
    }
    rest.remove_prefix(static_cast<size_t>(n));
  }
  if (::fsync(fd.get()) != 0) return fail(WriteStep::Write, "its temporary file cannot be written", errno);
  if (unnamed) {
    // Whole and synced: only now does it get a name, to be renamed at once.
    const std::string self = text::Format("/proc/self/fd/%d", fd.get());
    for (int attempt = 0; attempt < 16 && !made; ++attempt) {
      tmp = TemporaryName(target, options.temporaries);
      made = ::linkat(AT_FDCWD, self.c_str(), folder, tmp.c_str(), AT_SYMLINK_FOLLOW) == 0;
      if (!made && errno != EEXIST) break;
    }
    if (!made) return fail(WriteStep::Create, "no temporary file can be made beside it", errno);
  }
  if (::close(fd.Release()) != 0) return fail(WriteStep::Write, "its temporary file cannot be written", errno);
  if (::renameat(folder, tmp.c_str(), folder, target.c_str()) != 0)
    return fail(WriteStep::Replace, "its temporary file cannot replace it", errno);
  // The new contents are in place; a folder that cannot be synced leaves
  // only the rename's durability to the file system.
  (void)::fsync(folder);
  return Status();
}

Status WriteFileAtomic(std::string_view path, std::string_view contents, const WriteOptions& options,
                       WriteStep* failedStep) {
  const std::string p = NormalizePath(path);
  const size_t slash = p.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
  const std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // A folder that may be written but not listed still takes the file; only
  // its sync is then left to the file system.
  if (!dir.valid() && errno == EACCES) dir.Reset(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) {
    const int err = errno;
    if (failedStep) *failedStep = WriteStep::Create;
    return Status(HRESULT_FROM_WIN32(Win32ErrorFromErrno(err, err == ENOENT)),
                  text::Format("\"%s\" cannot be written: no temporary file can be made beside it (%s)", p,
                               SystemText(err)));
  }
  return WriteFileAtomicAt(dir.get(), name, contents, options, failedStep, p);
}

void RemoveTemporariesOfEndedProcesses(int folder, std::string_view name, const TemporaryNames& names) {
  const std::string prefix = std::string(names.prefix) + std::string(name) + std::string(names.infix);
  UniqueFd readable(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::unique_ptr<DIR, DirCloser> dir(readable.valid() ? ::fdopendir(readable.get()) : nullptr);
  if (!dir) return;
  readable.Release();  // the listing owns it now
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view entryName = entry->d_name;
    if (!entryName.starts_with(prefix)) continue;
    const std::string_view rest = entryName.substr(prefix.size());
    const std::string_view digits = rest.substr(0, rest.find('-'));
    if (digits.size() == rest.size() || digits.size() > 9 || !text::IsAsciiDigits(digits)) continue;
    const auto pid = static_cast<pid_t>(std::strtol(std::string(digits).c_str(), nullptr, 10));
    if (pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH) stale.emplace_back(entryName);
  }
  for (const std::string& entryName : stale) ::unlinkat(folder, entryName.c_str(), 0);
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
