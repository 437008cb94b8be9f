#include "platform/console/DirectoryChooser.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/fs/fs.h"
#include "platform/text/text.h"

namespace quor::console {

namespace stdfs = std::filesystem;

namespace {

bool IsRoot(std::string_view folder) { return folder == "/"; }

// One level up: the folder cut after its last '/' but one; a root stays.
std::string ParentOf(std::string_view folder) {
  if (folder.size() < 2) return std::string(folder);
  const size_t cut = folder.rfind('/', folder.size() - 2);
  return cut == std::string_view::npos ? std::string(folder) : std::string(folder.substr(0, cut + 1));
}

bool ByNameNoCase(const ChooserEntry& a, const ChooserEntry& b) {
  const int c = text::CompareNoCase(a.name, b.name);
  return c != 0 ? c < 0 : a.name < b.name;
}

}  // namespace

std::string FolderPath(std::string_view path) {
  std::error_code ec;
  stdfs::path p = path.empty() ? stdfs::current_path(ec) : stdfs::path(path);
  if (p.is_relative()) p = stdfs::absolute(p, ec);
  std::string out = p.lexically_normal().string();
  // A leading "//" means the root here, as any repeated separator does.
  while (out.size() > 1 && out[0] == '/' && out[1] == '/') out.erase(0, 1);
  if (out.empty() || out.back() != '/') out += '/';
  return out;
}

std::string ChooserEntry::Display() const { return kind == Kind::File ? name : "[" + name + "]"; }

std::string ChooserEntry::Reported() const { return kind == Kind::File ? name : name + "/"; }

DirectoryChooser::DirectoryChooser() : drives_{"/"} {}

void DirectoryChooser::SetStartDirectory(std::string_view path) { directory_ = FolderPath(path); }

void DirectoryChooser::SetDrives(std::vector<std::string> roots) {
  drives_.clear();
  for (auto& root : roots)
    if (!root.empty()) drives_.push_back(FolderPath(root));
}

std::string DirectoryChooser::CurrentDrive() const {
  std::string best;
  for (const auto& root : drives_)
    if (directory_.starts_with(root) && root.size() > best.size()) best = root;
  return best;
}

std::optional<std::vector<ChooserEntry>> DirectoryChooser::ListFolder(const std::string& folder) const {
  std::error_code ec;
  stdfs::directory_iterator it(folder, ec);
  if (ec) return std::nullopt;
  std::vector<ChooserEntry> folders, files;
  for (const stdfs::directory_entry& entry : it) {
    std::string name = entry.path().filename().string();
    // Hidden entries stay hidden, as the system's own lists keep them.
    if (name.empty() || name.front() == '.') continue;
    std::error_code typeError;
    if (entry.is_directory(typeError)) {
      folders.push_back({ChooserEntry::Kind::Folder, std::move(name)});
    } else if (kind_ == ListKind::FilesAndFolders && entry.is_regular_file(typeError) &&
               (pattern_.empty() || fs::MatchWildcard(pattern_, name))) {
      files.push_back({ChooserEntry::Kind::File, std::move(name)});
    }
  }
  std::sort(folders.begin(), folders.end(), ByNameNoCase);
  std::sort(files.begin(), files.end(), ByNameNoCase);
  std::vector<ChooserEntry> entries;
  if (!IsRoot(folder)) entries.push_back({ChooserEntry::Kind::Parent, ".."});
  entries.insert(entries.end(), folders.begin(), folders.end());
  entries.insert(entries.end(), files.begin(), files.end());
  return entries;
}

bool DirectoryChooser::ChangeDirectory(std::string_view path) {
  const std::string folder = FolderPath(path);
  auto entries = ListFolder(folder);
  if (!entries) return false;
  directory_ = folder;
  entries_ = std::move(*entries);
  selection_.clear();
  return true;
}

std::optional<Notice> DirectoryChooser::Open() {
  if (directory_.empty()) directory_ = FolderPath("");
  if (ChangeDirectory(directory_)) return std::nullopt;
  Notice notice{Notice::Kind::Information, Notice::Buttons::Ok, "Information",
                text::Format("%s is invalid Directory.", directory_)};
  if (!ChangeDirectory("")) entries_.clear();
  return notice;
}

void DirectoryChooser::Select(int index) {
  if (index < 0 || static_cast<size_t>(index) >= entries_.size())
    selection_.clear();
  else
    selection_ = entries_[static_cast<size_t>(index)].Reported();
}

bool DirectoryChooser::Activate(int index) {
  if (index < 0 || static_cast<size_t>(index) >= entries_.size()) return false;
  const ChooserEntry& entry = entries_[static_cast<size_t>(index)];
  switch (entry.kind) {
    case ChooserEntry::Kind::File:
      return false;
    case ChooserEntry::Kind::Parent:
      return ChangeDirectory(ParentOf(directory_));
    case ChooserEntry::Kind::Folder:
      return ChangeDirectory(directory_ + entry.name);
  }
  return false;
}

std::optional<Notice> DirectoryChooser::ChooseDrive(std::string_view root) {
  const std::string folder = FolderPath(root);
  if (folder == CurrentDrive()) return std::nullopt;
  if (ChangeDirectory(folder)) return std::nullopt;
  return Notice{Notice::Kind::Information, Notice::Buttons::Ok, "Information",
                text::Format("Drive %s is not ready or is unavailable.", folder)};
}

std::string DirectoryChooser::GetResult() const {
  std::string result = directory_;
  if (selection_ != "../") result += selection_;
  // A root keeps its separator: without it the path would name nothing.
  if (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

}  // namespace quor::console
