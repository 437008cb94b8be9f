#include "server/site_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <random>
#include <utility>

#include "platform/text/text.h"
#include "server/http_text.h"

namespace quor::soap::detail {

namespace {

// The name in `dir` that equals `name` without case; empty when none does.
std::string NameNoCase(int dir, std::string_view name) {
  UniqueFd readable(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* listing = readable.valid() ? ::fdopendir(readable.get()) : nullptr;
  if (!listing) return {};
  readable.Release();  // the listing owns it now
  std::string found;
  while (const dirent* entry = ::readdir(listing)) {
    if (text::EqualsNoCase(entry->d_name, name)) {
      found = entry->d_name;
      break;
    }
  }
  ::closedir(listing);
  return found;
}

// Removes the temporaries of `name` in `folder` that a writer killed
// before its rename left behind: their names carry the writer's process,
// and only those of processes that are gone are taken.
void RemoveStaleTemporaries(int folder, const std::string& name) {
  const std::string prefix = "." + name + ".put-";
  UniqueFd readable(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* listing = readable.valid() ? ::fdopendir(readable.get()) : nullptr;
  if (!listing) return;
  readable.Release();  // the listing owns it now
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view entryName = entry->d_name;
    if (!entryName.starts_with(prefix)) continue;
    const std::string_view rest = entryName.substr(prefix.size());
    const std::string digits(rest.substr(0, rest.find('-')));
    if (digits.empty() || digits.size() == rest.size() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
      continue;
    const pid_t pid = static_cast<pid_t>(std::strtol(digits.c_str(), nullptr, 10));
    if (pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH) stale.emplace_back(entryName);
  }
  ::closedir(listing);
  for (const std::string& entryName : stale) ::unlinkat(folder, entryName.c_str(), 0);
}

// The body is written into an unnamed file (O_TMPFILE), so that a server
// killed while writing leaves nothing behind; only once whole and synced
// is it given a hidden name, renamed over the target and the folder synced.
// Where unnamed files are not supported the hidden name comes first.
HttpAnswer WriteFile(const UniqueFd& dir, const std::string& name, bool existed, const std::string& body,
                     const std::string& path, const eventlog::EventSource& log) {
  // O_PATH descriptors serve as the base of *at calls; writing needs a real one.
  UniqueFd folder(::openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) RemoveStaleTemporaries(folder.get(), name);
  std::string temp;
  thread_local std::mt19937_64 random{std::random_device{}()};
  const auto tempName = [&] { return text::Format(".%s.put-%d-%x", name, static_cast<int>(::getpid()), random()); };
  // Naming an unnamed file goes through its /proc link.
  static const bool canName = ::access("/proc/self/fd", F_OK) == 0;
  UniqueFd out(folder.valid() && canName ? ::openat(folder.get(), ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0644) : -1);
  const bool unnamed = out.valid();
  for (int attempt = 0; attempt < 16 && folder.valid() && !out.valid(); ++attempt) {
    temp = tempName();
    out.Reset(::openat(folder.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.valid() && errno != EEXIST) break;
  }
  bool written = out.valid();
  for (size_t done = 0; written && done < body.size();) {
    const ssize_t n = ::write(out.get(), body.data() + done, body.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) written = false;
    else done += static_cast<size_t>(n);
  }
  written = written && ::fsync(out.get()) == 0;
  if (written && unnamed) {
    const std::string self = text::Format("/proc/self/fd/%d", out.get());
    written = false;
    for (int attempt = 0; attempt < 16 && !written; ++attempt) {
      temp = tempName();
      written = ::linkat(AT_FDCWD, self.c_str(), folder.get(), temp.c_str(), AT_SYMLINK_FOLLOW) == 0;
      if (!written && errno != EEXIST) break;
    }
    if (!written) temp.clear();
  }
  out.Reset();
  written = written && ::renameat(folder.get(), temp.c_str(), folder.get(), name.c_str()) == 0;
  if (!written) {
    if (!temp.empty() && folder.valid()) ::unlinkat(folder.get(), temp.c_str(), 0);
    log.Report(eventlog::EventType::Error, 22, {path, "the file cannot be written"});
    return Status(500);
  }
  ::fsync(folder.get());
  return Status(existed ? 204 : 201);
}

}  // namespace

Opened Segments(std::string_view relative, std::vector<std::string>& segments, std::string& reason) {
  switch (PathSegments(relative, segments)) {
    case PathCheck::Ok: return Opened::Ok;
    case PathCheck::Empty: return Opened::NotFound;
    case PathCheck::Refused: break;
  }
  reason = "the path leaves the folder or holds a backslash";
  return Opened::Refused;
}

// Walks `relative` down from the folder one segment at a time, following
// no symbolic link.
Opened OpenResource(int root, std::string_view relative, UniqueFd& file, struct stat& st, std::string& reason,
                    bool foldCase) {
  std::vector<std::string> segments;
  if (Opened o = Segments(relative, segments, reason); o != Opened::Ok) return o;
  UniqueFd dir(::fcntl(root, F_DUPFD_CLOEXEC, 0));
  if (!dir.valid()) return Opened::NotFound;
  for (size_t i = 0; i < segments.size(); ++i) {
    const bool last = i + 1 == segments.size();
    const int flags = (last ? (O_RDONLY | O_NONBLOCK | O_NOCTTY) : (O_PATH | O_DIRECTORY)) | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd next(::openat(dir.get(), segments[i].c_str(), flags));
    if (!next.valid() && errno == ENOENT && foldCase) {
      if (std::string other = NameNoCase(dir.get(), segments[i]); !other.empty()) {
        segments[i] = std::move(other);
        next.Reset(::openat(dir.get(), segments[i].c_str(), flags));
      } else {
        errno = ENOENT;  // missing in any case
      }
    }
    if (!next.valid()) {
      const int err = errno;
      struct stat link {};
      if (err == ELOOP || err == EACCES || err == EPERM ||
          (::fstatat(dir.get(), segments[i].c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode))) {
        reason = text::Format("\"%s\" is a symbolic link or not accessible", segments[i]);
        return Opened::Refused;
      }
      return Opened::NotFound;
    }
    dir = std::move(next);
  }
  if (::fstat(dir.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Opened::NotFound;
  file = std::move(dir);
  return Opened::Ok;
}

// The file's first part now; the connection fetches the rest as it sends.
HttpAnswer ServeFile(int root, std::string_view relative, const HttpRequest& req, const eventlog::EventSource& log) {
  UniqueFd file;
  struct stat st {};
  std::string reason;
  switch (OpenResource(root, relative, file, st, reason)) {
    case Opened::Refused:
      log.Report(eventlog::EventType::Warning, 23, {req.path, reason});
      return Status(403);
    case Opened::NotFound: return Status(404);
    case Opened::Ok: break;
  }
  HttpAnswer a = Text(200, {}, MimeType(req.path));
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  uint64_t first = 0, last = size - 1;
  bool satisfiable = true;
  if (!req.range.empty() && ByteRange(req.range, size, first, last, satisfiable)) {
    if (!satisfiable) {
      a = Status(416);
      a.headers.emplace_back("Content-Range", text::Format("bytes */%u", size));
      return a;
    }
    a.status = 206;
    a.headers.emplace_back("Content-Range", text::Format("bytes %u-%u/%u", first, last, size));
  }
  a.headers.emplace_back("Accept-Ranges", "bytes");
  const uint64_t length = size == 0 ? 0 : last - first + 1;
  a.length = length;
  a.fileOffset = first;
  if (req.head) return a;
  a.body.resize(static_cast<size_t>(std::min<uint64_t>(length, kFileChunk)));
  const ssize_t n = ::pread(file.get(), a.body.data(), a.body.size(), static_cast<off_t>(first));
  a.body.resize(n > 0 ? static_cast<size_t>(n) : 0);
  if (a.body.size() < length) a.file = std::make_shared<UniqueFd>(std::move(file));
  return a;
}

Plan PutFile(const std::string& root, std::string_view relative, const std::shared_ptr<const HttpRequest>& r,
             const eventlog::EventSource& log) {
  const auto refuse = [&](int status, std::string_view why) {
    if (status == 403) log.Report(eventlog::EventType::Warning, 23, {r->path, std::string(why)});
    return Plan::Now(Status(status, true));
  };
  std::vector<std::string> segments;
  std::string reason;
  switch (Segments(relative, segments, reason)) {
    case Opened::Refused: return refuse(403, reason);
    case Opened::NotFound: return refuse(409, "no file name");
    case Opened::Ok: break;
  }
  UniqueFd dir(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return refuse(409, "the folder is missing");
  for (size_t i = 0; i + 1 < segments.size(); ++i) {
    UniqueFd next(::openat(dir.get(), segments[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      struct stat link {};
      if (::fstatat(dir.get(), segments[i].c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode))
        return refuse(403, text::Format("\"%s\" is a symbolic link", segments[i]));
      return refuse(409, "a folder on the way is missing");
    }
    dir = std::move(next);
  }
  std::string name = segments.back();
  struct stat existing {};
  const bool existed = ::fstatat(dir.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
  if (existed && !S_ISREG(existing.st_mode)) return refuse(403, text::Format("\"%s\" is not a plain file", name));
  auto parent = std::make_shared<UniqueFd>(std::move(dir));
  return Plan::AfterBody([&log, r, parent, name, existed](std::string body, AnswerWriter*) {
    return Plan::Now(WriteFile(*parent, name, existed, body, r->path, log));
  });
}

}  // namespace quor::soap::detail
