// Where a resource's file lives: its URL under ResourceURL and its path under
// ResourceDir, and the few file-system steps the content store takes there
// (make the folder, delete a replaced file, drop an emptied folder). Every
// step refuses a path whose real location is not below ResourceDir, so that
// no name or leaf a client sends reaches anything else on the server.
#pragma once

#include <string>
#include <string_view>

#include "platform/com/hresult.h"
#include "platform/com/status.h"

namespace quor::core::resource {

// A resource's location: the URL clients fetch it from, the server path of
// its file, and the folder to make for it (empty when none is made).
struct Location {
  std::string url;
  std::string path;
  std::string folder;
};

// A resource name becomes one path component: refused when empty, ".", or
// holding "..", a NUL or a path separator ("/" or "\").
bool IsSafeName(std::u16string_view name);
// A leaf is a location relative to the resource base: refused when empty,
// absolute ("/x", "\x", "C:..."), or holding "..", a NUL or a "\".
bool IsSafeLeaf(std::u16string_view leaf);

// Whether `path`, made absolute and normalised, with every existing part
// resolved through its links, lies strictly below `dir` resolved the same way.
bool IsBelow(std::string_view dir, std::string_view path);

// The default location of resource `name`: URL base/urn_voresource_N/N, path
// dir/urn_voresource_N/N, folder dir/urn_voresource_N.
// QS_E_RESOURCE_URL_NOT_SET / QS_E_RESOURCE_DIR_NOT_SET for an empty base or
// dir, QS_E_NAME_INVALID for an unsafe name.
Status DefaultLocation(std::string_view base, std::string_view dir, std::u16string_view name, Location& location);
// A client's leaf L: URL base/L, path dir/L, no folder. QS_E_ARGUMENT_INVALID
// for an unsafe leaf or one whose path leaves dir.
Status LeafLocation(std::string_view base, std::string_view dir, std::u16string_view leaf, Location& location);

// Makes `folder` with its parents; an existing folder is fine.
// QS_E_DIRECTORY_NOT_CREATED when it cannot be made or is not below `dir`.
Status MakeFolder(std::string_view dir, std::string_view folder);
// Whether a file or folder exists at exactly `path`.
bool Exists(std::string_view path);
// Deletes the file at `path` when its real location is below `dir`: S_OK,
// S_FALSE when there is nothing to delete, QS_E_ARGUMENT_INVALID when the path
// is not below `dir` or is a folder, or the system's error number as
// HRESULT_FROM_WIN32 with its text.
Status DeleteFile(std::string_view dir, std::string_view path);
// Removes `folder` when it is empty and below `dir` (never `dir` itself).
// True when it is gone.
bool RemoveEmptyFolder(std::string_view dir, std::string_view folder);
// The folder that holds `path`.
std::string FolderOf(std::string_view path);

}  // namespace quor::core::resource
