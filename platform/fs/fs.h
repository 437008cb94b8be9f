// File-system calls the system makes. Paths may be written with '\' as on the
// original platform; they are normalised to '/'. Failures are the platform's
// error numbers (platform/base/win32_error.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quor::fs {

// '\' becomes '/', repeated separators collapse (a leading "//" too).
std::string NormalizePath(std::string_view path);
std::string JoinPath(std::string_view folder, std::string_view name);

// Names (not paths) of the regular files in `folder` that match `pattern`
// ('*' and '?' wildcards, compared without case), sorted without case: the
// order decides which definition comes first.
long ListFiles(std::string_view folder, std::string_view pattern, std::vector<std::string>& names);

bool Exists(std::string_view path);
bool IsFolder(std::string_view path);

// ERROR_ALREADY_EXISTS when the folder is there, ERROR_PATH_NOT_FOUND when a
// parent is missing.
long CreateFolder(std::string_view path);
// Creates the missing parents too; an existing folder is success.
long CreateFolders(std::string_view path);
// The folder must be empty (ERROR_DIR_NOT_EMPTY otherwise).
long RemoveFolder(std::string_view path);
long DeleteFile(std::string_view path);

long ReadFile(std::string_view path, std::string& contents);
// Writes through a temporary file in the same folder and renames it over the
// target, so a reader sees the old or the new contents, never a part.
long WriteFileAtomic(std::string_view path, std::string_view contents);

bool MatchWildcard(std::string_view pattern, std::string_view name);

// Removes the "<name>.tmp.*" files beside `path` that a writer killed between
// writing its temporary file and renaming it left behind. Only for a caller
// holding the file's write lock: then no other writer's file is in flight.
void RemoveStaleTemporaries(std::string_view path);

}  // namespace quor::fs
