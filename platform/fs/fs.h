// File-system calls the system makes. Paths may be written with '\' as on the
// original platform; they are normalised to '/'. A failure is a Status whose
// code is HRESULT_FROM_WIN32 of the platform's error number
// (platform/base/win32_error.h) and whose message names the path and the
// system's reason.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/com/status.h"

namespace quor::fs {

// '\' becomes '/', repeated separators collapse (a leading "//" too).
std::string NormalizePath(std::string_view path);
std::string JoinPath(std::string_view folder, std::string_view name);

// Names (not paths) of the regular files in `folder` that match `pattern`
// ('*' and '?' wildcards, compared without case), sorted without case: the
// order decides which definition comes first.
Result<std::vector<std::string>> ListFiles(std::string_view folder, std::string_view pattern);

bool Exists(std::string_view path);
bool IsFolder(std::string_view path);

// ERROR_ALREADY_EXISTS when the folder is there, ERROR_PATH_NOT_FOUND when a
// parent is missing.
Status CreateFolder(std::string_view path);
// Creates the missing parents too; an existing folder is success.
Status CreateFolders(std::string_view path);
// The folder must be empty (ERROR_DIR_NOT_EMPTY otherwise).
Status RemoveFolder(std::string_view path);
// ERROR_ACCESS_DENIED for a folder.
Status DeleteFile(std::string_view path);

Result<std::string> ReadFile(std::string_view path);

// The platform's number a status of these calls carries (ERROR_SUCCESS for
// success), for callers that print or compare it.
long Win32Error(const Status& status);

// How WriteFileAtomic names a temporary: "<prefix><name><infix><pid>-<random>".
struct TemporaryNames {
  std::string_view prefix;
  std::string_view infix = ".tmp.";
};

// The permission bits WriteFileAtomic gives the file, and its temporaries' names.
struct WriteOptions {
  // Set exactly, whatever the umask: 0600 for files holding secrets.
  mode_t mode = 0644;
  // An existing file keeps its own bits; `mode` is then for a new file only.
  bool keepMode = false;
  TemporaryNames temporaries{};
};
// Where a failed WriteFileAtomic stopped, for callers whose own codes tell a
// temporary that could not be made apart from a later failure.
enum class WriteStep { Create, Write, Replace };

// The one atomic file write: the contents written into an unnamed file in
// the file's folder (or, where those are not supported, a temporary
// "<name>.tmp.<pid>-<random>", or as `temporaries` names it, beside it)
// and fsynced, given that temporary
// name, renamed over the file, then the folder fsynced so that the rename
// survives a crash too. A reader sees the old or the new contents, never a
// part; writers at once each leave one whole file. On failure the temporary
// is removed and the file is as it was; the status's code is
// HRESULT_FROM_WIN32 of the platform's number and its message names the file.
Status WriteFileAtomic(std::string_view path, std::string_view contents, const WriteOptions& options = {},
                       WriteStep* failedStep = nullptr);
// The same for `name` in the open folder `folder`, for callers that reach
// their files through descriptors; `shown` names the file in the message.
Status WriteFileAtomicAt(int folder, std::string_view name, std::string_view contents,
                         const WriteOptions& options = {}, WriteStep* failedStep = nullptr,
                         std::string_view shown = {});
// Removes the temporaries of `name` in `folder` that writers killed before
// their rename left behind: only those of processes that have ended, so a
// writer at work in any live process keeps its own.
void RemoveTemporariesOfEndedProcesses(int folder, std::string_view name, const TemporaryNames& names = {});

bool MatchWildcard(std::string_view pattern, std::string_view name);

// Removes the "<name>.tmp.*" files beside `path` that a writer killed between
// writing its temporary file and renaming it left behind. Only for a caller
// holding the file's write lock: then no other writer's file is in flight.
void RemoveStaleTemporaries(std::string_view path);

}  // namespace quor::fs
