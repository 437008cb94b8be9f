// The ACL editor: the list of one Vesk object's access-control entries
// (CACLEditorDlg) and the dialog that edits one entry (CAccessRightDlg). Both
// are modal dialogs the host draws from their fields; every change is sent
// to the service at once, so the list holds nothing the service has not
// confirmed.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console/snapin.h"

namespace quor::admin::snapin {

// One user name and its six rights.
class CAccessRightDlg final : public console::IModalDialog {
 public:
  // Control ids.
  static constexpr std::string_view kUserName = "317";
  static constexpr std::string_view kContentRead = "319";
  static constexpr std::string_view kContentWrite = "321";
  static constexpr std::string_view kContentDelete = "323";
  static constexpr std::string_view kAttributeRead = "324";
  static constexpr std::string_view kAttributeWrite = "325";
  static constexpr std::string_view kAttributeDelete = "326";
  static constexpr std::string_view kOk = "1";
  static constexpr std::string_view kCancel = "2";

  CAccessRightDlg(std::string userName, std::string rights);

  // Runs modally through the module's dialog host; IDOK or IDCANCEL.
  int DoModal();
  // After OK: the name entered and the rights string built from the boxes.
  const std::string& UserName() const { return userName_; }
  const std::string& Rights() const { return rights_; }

  // "r", "w", "d", "ar", "aw", "ad" in this order for each right set.
  static std::string BuildRights(const std::array<bool, 6>& rights);
  // The six rights a rights text names (see the .cpp for the reading rule).
  static std::array<bool, 6> ReadRights(std::string_view text);

  std::string Caption() const override { return "Access Right Editor"; }
  void Open() override;
  std::vector<console::PageField> Fields() const override;
  bool SetValue(std::string_view id, std::string_view value) override;
  bool Press(std::string_view id) override;
  void Cancel() override;
  bool Ended() const override { return result_ != 0; }
  int Result() const override { return result_; }

 private:
  std::string userName_, rights_;
  std::string nameField_;
  std::array<bool, 6> boxes_{};
  bool nameReadOnly_ = false;
  int result_ = 0;
};

// The list of one object's entries, with Add, Edit and Remove.
class CACLEditorDlg final : public console::IModalDialog {
 public:
  static constexpr std::string_view kCaptionText = "277";
  static constexpr std::string_view kList = "271";
  static constexpr std::string_view kAdd = "273";
  static constexpr std::string_view kEdit = "276";
  static constexpr std::string_view kRemove = "275";
  static constexpr std::string_view kClose = "1";

  explicit CACLEditorDlg(std::string uri);

  // Runs modally through the module's dialog host; the dialog's result.
  int DoModal();
  // The number of lines the list holds (read after the dialog closed).
  int EntryCount() const { return entryCount_; }
  // The list's lines, sorted: "<user> [<rights>]".
  const std::vector<std::string>& Lines() const { return lines_; }

  std::string Caption() const override { return "Access Control List Editor"; }
  void Open() override;
  std::vector<console::PageField> Fields() const override;
  bool SetValue(std::string_view id, std::string_view value) override;
  bool Press(std::string_view id) override;
  void Cancel() override;
  bool Ended() const override { return result_ != 0; }
  int Result() const override { return result_; }

 private:
  // One line's entry as the service gave it, so that a user name holding a
  // blank still reaches the service whole.
  struct Entry {
    std::string user, rights;
  };

  void Fill();
  void Insert(std::string user, std::string rights);
  void Erase(std::size_t index);
  // The index of the selected line; npos when none is.
  std::size_t Selected() const;
  void Unselect();
  void Add();
  void Edit();
  void Remove();

  std::string uri_;
  std::vector<std::string> lines_;
  std::vector<Entry> entries_;  // entries_[i] is the entry of lines_[i]
  std::string selected_;
  bool editEnabled_ = false;
  int entryCount_ = 0;
  int result_ = 0;
};

}  // namespace quor::admin::snapin
