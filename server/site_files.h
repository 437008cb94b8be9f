// The files the listener serves and writes, below the resource folder or a
// site's folders: the walk down a relative path that follows no symbolic
// link, a file's answer (one byte range at most), and the site mode's PUT,
// which readers see whole or not at all. File work blocks: on a worker.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/base/win32_error.h"
#include "platform/com/status.h"
#include "platform/eventlog/eventlog.h"
#include "server/routes.h"

namespace quor::soap::detail {

// How a walk below a folder fails: refused, the message saying why (403
// with event 23), or not found.
inline constexpr HRESULT kRefused = E_ACCESSDENIED;
inline constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

// The segments of `relative` (PathSegments): kRefused when one is ".." or
// holds a backslash; kNotFound when none is left.
quor::Result<std::vector<std::string>> Segments(std::string_view relative);

struct OpenedFile {
  UniqueFd file;
  struct stat st {};
};

// Opens the regular file at `relative` below the folder `root`: kRefused
// for a symbolic link or a segment not accessible on the way; kNotFound for
// one missing or not a regular file. `foldCase`: a segment missing in exact
// case may match a name that differs only in case, as the web server's file
// names do.
quor::Result<OpenedFile> OpenResource(int root, std::string_view relative, bool foldCase = false);

// The answer for GET or HEAD of that file: 403 (event 23) when refused, 404
// when not found; else 200, or 206/416 by the request's byte range, with the
// file's first kFileChunk bytes and the file for the rest.
HttpAnswer ServeFile(int root, std::string_view relative, const HttpRequest& req, const eventlog::EventSource& log);

// PUT of `relative` below the folder `root`: the folders must exist and are
// walked without following links, checked before the body is read (403 with
// event 23, or 409; both close); then the body is written aside and renamed
// into place (201, 204 over a file, 500 with event 22 when it cannot be).
// `log` must outlive the plan.
Plan PutFile(const std::string& root, std::string_view relative, const std::shared_ptr<const HttpRequest>& r,
             const eventlog::EventSource& log);

}  // namespace quor::soap::detail
