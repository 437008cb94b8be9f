// The console's chooser for a folder or a file (dialog 218): the folder being
// shown, its entries, the entry last selected and the path chosen. The window
// layer draws the entries and forwards clicks; everything else lives here.
//
// Paths use '/' and a folder path always ends in '/'. The "drives" of the
// drive list are file-system roots ("/" unless the caller names others).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console/DialogTypes.h"

namespace quor::console {

struct ChooserEntry {
  enum class Kind { Parent, Folder, File };
  Kind kind = Kind::File;
  std::string name;  // folder or file name; ".." for the parent

  // As the list shows it: "[..]", "[name]" or the file name.
  std::string Display() const;
  // As a selection reports it: "../", "name/" or the file name.
  std::string Reported() const;
  bool operator==(const ChooserEntry&) const = default;
};

class DirectoryChooser {
 public:
  static constexpr int kDialogId = 218;
  static constexpr int kPathStatic = 1002;
  static constexpr int kEntryList = 1003;
  static constexpr int kDriveList = 1004;
  static constexpr std::string_view kFolderCaption = "Select Directory";
  static constexpr std::string_view kFileCaption = "Select File";

  enum class ListKind { FoldersOnly, FilesAndFolders };

  DirectoryChooser();

  // The folder to open on; the process's current folder when empty.
  void SetStartDirectory(std::string_view path);
  // Files listed must match it ('*' and '?', without case); empty: all.
  void SetPattern(std::string_view pattern) { pattern_ = pattern; }
  void AllowFiles() { kind_ = ListKind::FilesAndFolders; }
  // The roots offered by the drive list, each ending in '/'.
  void SetDrives(std::vector<std::string> roots);

  std::string_view Caption() const { return kind_ == ListKind::FilesAndFolders ? kFileCaption : kFolderCaption; }
  ListKind Kind() const { return kind_; }

  // Lists the start folder. When it cannot be listed, the chooser opens on
  // the process's current folder and answers the message to show.
  std::optional<Notice> Open();

  const std::string& Directory() const { return directory_; }
  const std::string& Selection() const { return selection_; }
  const std::vector<ChooserEntry>& Entries() const { return entries_; }
  const std::vector<std::string>& Drives() const { return drives_; }
  // The drive list's entry for the current folder: the longest root it lies in.
  std::string CurrentDrive() const;

  // A single click: the entry becomes the selection (an index out of range
  // clears it).
  void Select(int index);
  // A double click: a folder or the parent entry is opened (the parent of a
  // root is the root); a file does nothing. False when nothing changed.
  bool Activate(int index);
  // A choice in the drive list. The drive already current does nothing; one
  // that cannot be listed leaves everything as it was and answers the message.
  std::optional<Notice> ChooseDrive(std::string_view root);
  // Lists `path` and makes it the current folder; false (nothing changed)
  // when it cannot be listed.
  bool ChangeDirectory(std::string_view path);

  // The folder followed by the selection (the folder alone for the parent
  // entry), without a final '/' unless the result is a root.
  std::string GetResult() const;

 private:
  std::optional<std::vector<ChooserEntry>> ListFolder(const std::string& folder) const;

  std::string directory_;
  std::string selection_;
  std::string pattern_;
  ListKind kind_ = ListKind::FoldersOnly;
  std::vector<std::string> drives_;
  std::vector<ChooserEntry> entries_;
};

// `path` made absolute and normal, ending in '/'; the current folder when
// empty.
std::string FolderPath(std::string_view path);

}  // namespace quor::console
