#include "admin/snapin/ACLEditor.h"

#include <algorithm>
#include <utility>

#include "admin/VeltService.h"
#include "admin/snapin/SnapInModule.h"
#include "platform/text/text.h"

namespace quor::admin::snapin {

namespace {

using console::FieldKind;
using console::PageField;

// The six boxes in the order their letters are written.
constexpr std::array<std::string_view, 6> kBoxIds = {
    CAccessRightDlg::kContentRead,   CAccessRightDlg::kContentWrite,   CAccessRightDlg::kContentDelete,
    CAccessRightDlg::kAttributeRead, CAccessRightDlg::kAttributeWrite, CAccessRightDlg::kAttributeDelete};
constexpr std::array<std::string_view, 6> kBoxLetters = {"r", "w", "d", "ar", "aw", "ad"};
constexpr std::array<std::string_view, 6> kBoxLabels = {"Content Read",   "Content Write",   "Content Delete",
                                                        "Attribute Read", "Attribute Write", "Attribute Delete"};

// An edit field gives at most this many characters.
constexpr std::size_t kMaxNameChars = 259;

// The first `count` characters of UTF-8 text, never splitting one.
std::string_view FirstChars(std::string_view text, std::size_t count) {
  std::size_t i = 0;
  for (std::size_t chars = 0; i < text.size() && chars < count; ++chars) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  }
  return text.substr(0, i);
}

bool OnlyBlanks(std::string_view text) {
  return text.find_first_not_of(" \t") == std::string_view::npos;
}

std::string LineOf(std::string_view user, std::string_view rights) {
  return std::string(user) + " [" + std::string(rights) + "]";
}

// A list box's order: without regard to case, ties by the exact text so that
// the order never depends on when a line came.
bool LineBefore(std::string_view a, std::string_view b) {
  const int byCase = text::CompareNoCase(a, b);
  return byCase != 0 ? byCase < 0 : a < b;
}

bool IsAdministrator(std::string_view user) { return text::EqualsNoCase(user, "Administrator"); }

int RunModal(console::IModalDialog& dialog) {
  console::IDialogHost* host = Module::Dialogs();
  return host ? host->RunModal(dialog) : console::IDCANCEL;
}

}  // namespace

// ---- CAccessRightDlg ------------------------------------------------------------------

CAccessRightDlg::CAccessRightDlg(std::string userName, std::string rights)
    : userName_(std::move(userName)), rights_(std::move(rights)) {}

int CAccessRightDlg::DoModal() { return RunModal(*this); }

std::string CAccessRightDlg::BuildRights(const std::array<bool, 6>& rights) {
  std::string built;
  for (std::size_t i = 0; i < rights.size(); ++i)
    if (rights[i]) built += kBoxLetters[i];
  return built;
}

// Left to right: "a" takes the next character with it ("ar", "aw", "ad"
// name attribute rights; any other pair is skipped whole), a lone "r", "w"
// or "d" names a content right, and everything else (blanks, the brackets
// of a list line) is skipped.
std::array<bool, 6> CAccessRightDlg::ReadRights(std::string_view text) {
  std::array<bool, 6> rights{};
  const auto content = [&rights](char letter, std::size_t offset) {
    switch (letter) {
      case 'r':
        rights[offset + 0] = true;
        break;
      case 'w':
        rights[offset + 1] = true;
        break;
      case 'd':
        rights[offset + 2] = true;
        break;
      default:
        break;
    }
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != 'a') {
      content(text[i], 0);
      continue;
    }
    if (i + 1 < text.size()) content(text[++i], 3);
  }
  return rights;
}

void CAccessRightDlg::Open() {
  result_ = 0;
  nameField_ = userName_;
  boxes_ = ReadRights(rights_);
  // A given name is the entry being edited: only its rights change.
  nameReadOnly_ = !userName_.empty();
}

std::vector<PageField> CAccessRightDlg::Fields() const {
  std::vector<PageField> fields;
  fields.push_back(console::MakeField(std::string(kUserName), "User Name", FieldKind::Text, nameField_, !nameReadOnly_));
  for (std::size_t i = 0; i < kBoxIds.size(); ++i)
    fields.push_back(console::MakeField(std::string(kBoxIds[i]), std::string(kBoxLabels[i]), FieldKind::Check,
                                        boxes_[i] ? "1" : "0"));
  fields.push_back(console::MakeField(std::string(kOk), "OK", FieldKind::Button));
  fields.push_back(console::MakeField(std::string(kCancel), "Cancel", FieldKind::Button));
  return fields;
}

bool CAccessRightDlg::SetValue(std::string_view id, std::string_view value) {
  if (Ended()) return false;
  if (id == kUserName) {
    if (nameReadOnly_) return false;
    nameField_ = FirstChars(value, kMaxNameChars);
    return true;
  }
  const auto box = std::find(kBoxIds.begin(), kBoxIds.end(), id);
  if (box == kBoxIds.end() || (value != "1" && value != "0")) return false;
  boxes_[static_cast<std::size_t>(box - kBoxIds.begin())] = value == "1";
  return true;
}

bool CAccessRightDlg::Press(std::string_view id) {
  if (Ended()) return false;
  if (id == kCancel) {
    Cancel();
    return true;
  }
  if (id != kOk) return false;
  const std::string rights = BuildRights(boxes_);
  // The checks go in this order; a refusal leaves the dialog open.
  if (nameField_.empty()) {
    CMessageBox::Error("User Name is not specified");
  } else if (rights.empty()) {
    CMessageBox::Error("Access Right is not selected");
  } else if (OnlyBlanks(nameField_)) {
    CMessageBox::Error("User Name is invalid");
  } else {
    userName_ = nameField_;
    rights_ = rights;
    result_ = console::IDOK;
  }
  return true;
}

void CAccessRightDlg::Cancel() {
  if (!Ended()) result_ = console::IDCANCEL;
}

// ---- CACLEditorDlg ---------------------------------------------------------------------

CACLEditorDlg::CACLEditorDlg(std::string uri) : uri_(std::move(uri)) {}

int CACLEditorDlg::DoModal() { return RunModal(*this); }

void CACLEditorDlg::Open() {
  result_ = 0;
  lines_.clear();
  entries_.clear();
  Unselect();
  Fill();
  entryCount_ = static_cast<int>(lines_.size());
}

// The answer is "VOACL" under the document element, one "control" per
// entry holding the user and the rights, read by position. A failed call
// leaves a fault (or nothing) loaded, which holds no entries: the list stays
// empty then.
void CACLEditorDlg::Fill() {
  if (!CallService("GetACL", {{"uri", uri_}})) return;
  CVeltService* service = Module::Service();
  service->MoveToRoot();
  if (service->MoveToChild(0) != S_OK) return;
  const int count = service->ChildCount();
  for (int i = 0; i < count; ++i) {
    service->MoveToRoot();
    if (service->MoveToChild(0) != S_OK || service->MoveToChild(i) != S_OK) break;
    std::string user = service->GetChildText(0);
    std::string rights = service->GetChildText(1);
    Insert(std::move(user), std::move(rights));
  }
  service->MoveToRoot();
}

void CACLEditorDlg::Insert(std::string user, std::string rights) {
  std::string line = LineOf(user, rights);
  const auto at = std::upper_bound(lines_.begin(), lines_.end(), line,
                                   [](const std::string& a, const std::string& b) { return LineBefore(a, b); });
  const auto index = at - lines_.begin();
  lines_.insert(at, std::move(line));
  entries_.insert(entries_.begin() + index, Entry{std::move(user), std::move(rights)});
}

void CACLEditorDlg::Erase(std::size_t index) {
  const auto offset = static_cast<std::ptrdiff_t>(index);
  lines_.erase(lines_.begin() + offset);
  entries_.erase(entries_.begin() + offset);
}

std::size_t CACLEditorDlg::Selected() const {
  if (selected_.empty()) return std::string::npos;
  const auto found = std::find(lines_.begin(), lines_.end(), selected_);
  return found == lines_.end() ? std::string::npos : static_cast<std::size_t>(found - lines_.begin());
}

void CACLEditorDlg::Unselect() {
  selected_.clear();
  editEnabled_ = false;
}

std::vector<PageField> CACLEditorDlg::Fields() const {
  PageField list = console::MakeField(std::string(kList), {}, FieldKind::List, selected_);
  list.options = lines_;
  return {
      console::MakeField(std::string(kCaptionText), {}, FieldKind::ReadOnlyText, "Access Control List"),
      std::move(list),
      console::MakeField(std::string(kAdd), "Add", FieldKind::Button),
      console::MakeField(std::string(kEdit), "Edit", FieldKind::Button, {}, editEnabled_),
      console::MakeField(std::string(kRemove), "Remove", FieldKind::Button, {}, editEnabled_),
      console::MakeField(std::string(kClose), "Close", FieldKind::Button),
  };
}

bool CACLEditorDlg::SetValue(std::string_view id, std::string_view value) {
  if (Ended() || id != kList) return false;
  if (value.empty()) {
    Unselect();
    return true;
  }
  if (std::find(lines_.begin(), lines_.end(), value) == lines_.end()) return false;
  selected_ = value;
  editEnabled_ = true;
  return true;
}

bool CACLEditorDlg::Press(std::string_view id) {
  if (Ended()) return false;
  if (id == kClose) {
    result_ = console::IDOK;
  } else if (id == kAdd) {
    Add();
  } else if (id == kEdit && editEnabled_) {
    Edit();
  } else if (id == kRemove && editEnabled_) {
    Remove();
  } else {
    return false;
  }
  return true;
}

void CACLEditorDlg::Cancel() {
  if (!Ended()) result_ = console::IDCANCEL;
}

void CACLEditorDlg::Add() {
  CAccessRightDlg entry({}, {});
  if (entry.DoModal() != console::IDOK) return;
  if (CallService("PutACLEntry", {{"uri", uri_}, {"acluser", entry.UserName()}, {"accright", entry.Rights()}}))
    Insert(entry.UserName(), entry.Rights());
  entryCount_ = static_cast<int>(lines_.size());
}

void CACLEditorDlg::Edit() {
  const std::size_t index = Selected();
  if (index == std::string::npos) return;
  const Entry current = entries_[index];
  if (IsAdministrator(current.user)) {
    CMessageBox::Information("Can not edit Administrator user.");
    return;
  }
  CAccessRightDlg entry(current.user, current.rights);
  if (entry.DoModal() != console::IDOK) return;
  // The line changes only once the service holds the change.
  if (CallService("UpdateACLEntry", {{"uri", uri_}, {"acluser", entry.UserName()}, {"accright", entry.Rights()}})) {
    Erase(index);
    Insert(entry.UserName(), entry.Rights());
    Unselect();
  }
  entryCount_ = static_cast<int>(lines_.size());
}

void CACLEditorDlg::Remove() {
  const std::size_t index = Selected();
  if (index == std::string::npos) return;
  const std::string user = entries_[index].user;
  if (IsAdministrator(user)) {
    CMessageBox::Information("Can not delete Administrator user.");
    return;
  }
  // The line goes only once the service dropped the entry, so the list
  // never hides an entry that still grants its rights.
  if (CallService("DeleteACLEntry", {{"uri", uri_}, {"acluser", user}})) {
    Erase(index);
    Unselect();
  }
  entryCount_ = static_cast<int>(lines_.size());
}

}  // namespace quor::admin::snapin
