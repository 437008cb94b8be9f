#include "core/store/ResourceFiles.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "core/ServiceHelpers.h"
#include "core/StatusCodes.h"
#include "platform/text/text.h"

namespace quor::core::resource {
namespace fs = std::filesystem;

namespace {

bool HasDotDot(std::u16string_view text) { return text.find(u"..") != std::u16string_view::npos; }
bool HasNul(std::u16string_view text) { return text.find(u'\0') != std::u16string_view::npos; }

// The real form of a path that may not exist yet: its existing part resolved
// through links, the rest normalised.
fs::path RealPath(std::string_view path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(fs::path(path), ec);
  if (ec) return {};
  fs::path real = fs::weakly_canonical(absolute.lexically_normal(), ec);
  if (ec) return {};
  return real;
}

bool Below(const fs::path& dir, const fs::path& path) {
  if (dir.empty() || path.empty()) return false;
  auto d = dir.begin(), p = path.begin();
  for (; d != dir.end(); ++d, ++p) {
    // A trailing separator of the folder shows as an empty last component.
    if (d->empty() && std::next(d) == dir.end()) break;
    if (p == path.end() || *d != *p) return false;
  }
  // Strictly below: something must follow.
  for (; p != path.end(); ++p)
    if (!p->empty()) return true;
  return false;
}

std::string Join(std::string_view first, std::string_view second, char separator) {
  std::string joined(first);
  if (joined.empty() || joined.back() != separator) joined += separator;
  joined.append(second);
  return joined;
}

}  // namespace

bool IsSafeName(std::u16string_view name) {
  if (name.empty() || name == u"." || HasDotDot(name) || HasNul(name)) return false;
  return name.find_first_of(u"/\\") == std::u16string_view::npos;
}

bool IsSafeLeaf(std::u16string_view leaf) {
  if (leaf.empty() || HasDotDot(leaf) || HasNul(leaf)) return false;
  if (leaf.front() == u'/' || leaf.find(u'\\') != std::u16string_view::npos) return false;
  // A drive ("C:") makes a path absolute elsewhere; a scheme ("http:") would
  // make the URL point off the resource base.
  if (leaf.find(u':') != std::u16string_view::npos) return false;
  return true;
}

bool IsBelow(std::string_view dir, std::string_view path) {
  if (dir.empty() || path.empty()) return false;
  return Below(RealPath(dir), RealPath(path));
}

Status DefaultLocation(std::string_view base, std::string_view dir, std::u16string_view name, Location& location) {
  if (base.empty()) return Status(QS_E_RESOURCE_URL_NOT_SET);
  if (dir.empty()) return Status(QS_E_RESOURCE_DIR_NOT_SET);
  if (!IsSafeName(name)) return Status(QS_E_NAME_INVALID);
  const std::string narrow = text::Narrow(name);
  const std::string folderName = CServiceHelpers::MakeVOResourceDirName(narrow);
  Location made;
  made.url = Join(Join(base, folderName, '/'), narrow, '/');
  made.folder = Join(dir, folderName, '/');
  made.path = Join(made.folder, narrow, '/');
  if (!IsBelow(dir, made.path)) return Status(QS_E_NAME_INVALID);
  location = std::move(made);
  return Status();
}

Status LeafLocation(std::string_view base, std::string_view dir, std::u16string_view leaf, Location& location) {
  if (base.empty()) return Status(QS_E_RESOURCE_URL_NOT_SET);
  if (dir.empty()) return Status(QS_E_RESOURCE_DIR_NOT_SET);
  if (!IsSafeLeaf(leaf)) return Status(QS_E_ARGUMENT_INVALID);
  const std::string narrow = text::Narrow(leaf);
  Location made;
  made.url = Join(base, narrow, '/');
  made.path = Join(dir, narrow, '/');
  // Through a link inside the folder a harmless-looking leaf can still lead out.
  if (!IsBelow(dir, made.path)) return Status(QS_E_ARGUMENT_INVALID);
  location = std::move(made);
  return Status();
}

Status MakeFolder(std::string_view dir, std::string_view folder) {
  if (!IsBelow(dir, folder)) return Status(QS_E_DIRECTORY_NOT_CREATED);
  std::error_code ec;
  fs::create_directories(fs::path(folder), ec);
  if (ec || !fs::is_directory(fs::path(folder), ec)) return Status(QS_E_DIRECTORY_NOT_CREATED);
  // Made through a link that appeared meanwhile: not ours to use.
  if (!IsBelow(dir, folder)) return Status(QS_E_DIRECTORY_NOT_CREATED);
  return Status();
}

bool Exists(std::string_view path) {
  std::error_code ec;
  return !path.empty() && fs::exists(fs::symlink_status(fs::path(path), ec));
}

Status DeleteFile(std::string_view dir, std::string_view path) {
  if (path.empty()) return Status(S_FALSE);
  const fs::path entry(path);
  std::error_code ec;
  const auto status = fs::symlink_status(entry, ec);
  if (!fs::exists(status)) return Status(S_FALSE);
  if (fs::is_directory(status)) return Status(QS_E_ARGUMENT_INVALID);
  // The entry's own folder must be below dir; a link there is removed itself,
  // never followed.
  const fs::path parent = RealPath(entry.parent_path().string());
  if (!Below(RealPath(dir), parent / entry.filename())) return Status(QS_E_ARGUMENT_INVALID);
  if (!fs::remove(parent / entry.filename(), ec))
    return ec ? Status(HRESULT_FROM_WIN32(ec.value()), ec.message()) : Status(S_FALSE);
  return Status();
}

bool RemoveEmptyFolder(std::string_view dir, std::string_view folder) {
  if (!IsBelow(dir, folder)) return false;
  std::error_code ec;
  const fs::path real = RealPath(folder);
  if (!fs::is_directory(fs::symlink_status(real, ec)) || !fs::is_empty(real, ec) || ec) return false;
  return fs::remove(real, ec) && !ec;
}

std::string FolderOf(std::string_view path) { return fs::path(path).parent_path().string(); }

}  // namespace quor::core::resource
