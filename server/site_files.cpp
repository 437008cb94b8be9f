#include "server/site_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/fs/fs.h"
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

// The body replaces the file whole (platform/fs's one atomic write); the
// temporaries of servers killed while writing are cleared first.
HttpAnswer WriteFile(const UniqueFd& dir, const std::string& name, bool existed, const std::string& body,
                     const std::string& path, const eventlog::EventSource& log) {
  // O_PATH descriptors serve as the base of *at calls; syncing the folder
  // needs a real one.
  UniqueFd folder(::openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const int base = folder.valid() ? folder.get() : dir.get();
  // Hidden, so that a listing of the site never shows one.
  constexpr fs::TemporaryNames kHidden{.prefix = ".", .infix = ".put-"};
  fs::RemoveTemporariesOfEndedProcesses(base, name, kHidden);
  if (!fs::WriteFileAtomicAt(base, name, body, {.mode = 0644, .temporaries = kHidden}).ok()) {
    log.Report(eventlog::EventType::Error, 22, {path, "the file cannot be written"});
    return Status(500);
  }
  return Status(existed ? 204 : 201);
}

}  // namespace

quor::Result<std::vector<std::string>> Segments(std::string_view relative) {
  std::vector<std::string> segments;
  switch (PathSegments(relative, segments)) {
    case PathCheck::Ok: return segments;
    case PathCheck::Empty: return quor::Status(kNotFound);
    case PathCheck::Refused: break;
  }
  return quor::Status(kRefused, "the path leaves the folder or holds a backslash");
}

// Walks `relative` down from the folder one segment at a time, following
// no symbolic link.
quor::Result<OpenedFile> OpenResource(int root, std::string_view relative, bool foldCase) {
  QUOR_ASSIGN_OR_RETURN(std::vector<std::string> segments, Segments(relative));
  UniqueFd dir(::fcntl(root, F_DUPFD_CLOEXEC, 0));
  if (!dir.valid()) return quor::Status(kNotFound);
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
        return quor::Status(kRefused, text::Format("\"%s\" is a symbolic link or not accessible", segments[i]));
      }
      return quor::Status(kNotFound);
    }
    dir = std::move(next);
  }
  OpenedFile opened;
  if (::fstat(dir.get(), &opened.st) != 0 || !S_ISREG(opened.st.st_mode)) return quor::Status(kNotFound);
  opened.file = std::move(dir);
  return opened;
}

// The file's first part now; the connection fetches the rest as it sends.
HttpAnswer ServeFile(int root, std::string_view relative, const HttpRequest& req, const eventlog::EventSource& log) {
  quor::Result<OpenedFile> opened = OpenResource(root, relative);
  if (!opened.ok()) {
    if (opened.status().code() != kRefused) return Status(404);
    log.Report(eventlog::EventType::Warning, 23, {req.path, opened.status().message()});
    return Status(403);
  }
  auto& [file, st] = *opened;
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
  const quor::Result<std::vector<std::string>> split = Segments(relative);
  if (!split.ok())
    return split.status().code() == kRefused ? refuse(403, split.status().message()) : refuse(409, "no file name");
  const std::vector<std::string>& segments = *split;
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
  return Plan::AfterBody([&log, r, parent, name, existed](Body& body) {
    return Plan::Now(WriteFile(*parent, name, existed, body.text, r->path, log));
  });
}

}  // namespace quor::soap::detail
