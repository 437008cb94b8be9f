// The platform's error numbers. Callers written for the original platform test
// these values (2 for a missing file, key or value; 183 for an existing
// folder), so every layer under platform/ reports them.
#pragma once

#include <cstdint>

namespace quor {

inline constexpr long ERROR_SUCCESS = 0;
inline constexpr long ERROR_INVALID_FUNCTION = 1;
inline constexpr long ERROR_FILE_NOT_FOUND = 2;
inline constexpr long ERROR_PATH_NOT_FOUND = 3;
inline constexpr long ERROR_ACCESS_DENIED = 5;
inline constexpr long ERROR_INVALID_HANDLE = 6;
inline constexpr long ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr long ERROR_INVALID_DATA = 13;
inline constexpr long ERROR_OUTOFMEMORY = 14;
inline constexpr long ERROR_WRITE_FAULT = 29;
inline constexpr long ERROR_READ_FAULT = 30;
inline constexpr long ERROR_SHARING_VIOLATION = 32;
inline constexpr long ERROR_LOCK_VIOLATION = 33;
inline constexpr long ERROR_HANDLE_DISK_FULL = 39;
inline constexpr long ERROR_NOT_SUPPORTED = 50;
inline constexpr long ERROR_FILE_EXISTS = 80;
inline constexpr long ERROR_INVALID_PARAMETER = 87;
inline constexpr long ERROR_DISK_FULL = 112;
inline constexpr long ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr long ERROR_INVALID_NAME = 123;
inline constexpr long ERROR_DIR_NOT_EMPTY = 145;
inline constexpr long ERROR_BAD_PATHNAME = 161;
inline constexpr long ERROR_ALREADY_EXISTS = 183;
inline constexpr long ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr long ERROR_MORE_DATA = 234;
inline constexpr long ERROR_NO_MORE_ITEMS = 259;
inline constexpr long ERROR_DIRECTORY = 267;
inline constexpr long ERROR_NO_UNICODE_TRANSLATION = 1113;
inline constexpr long ERROR_BADDB = 1009;
inline constexpr long ERROR_BADKEY = 1010;
inline constexpr long ERROR_CANTOPEN = 1011;
inline constexpr long ERROR_CANTREAD = 1012;
inline constexpr long ERROR_CANTWRITE = 1013;
inline constexpr long ERROR_KEY_DELETED = 1018;

// Maps a C library errno to the platform's number (ERROR_PATH_NOT_FOUND is
// chosen for ENOENT where a folder on the way is missing: pass `missing_parent`).
long Win32ErrorFromErrno(int err, bool missing_parent = false);

}  // namespace quor
