#include "admin/snapin/TargetFieldDialog.h"

#include <algorithm>
#include <utility>

#include "admin/snapin/SnapInModule.h"
#include "platform/text/text.h"

namespace quor::admin::snapin {

namespace {

using console::FieldKind;
using console::PageField;

std::string_view FirstChars(std::string_view text, std::size_t count) {
  std::size_t i = 0;
  for (std::size_t chars = 0; i < text.size() && chars < count; ++chars) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  }
  return text.substr(0, i);
}

std::vector<std::string> SortedTypeNames() {
  std::vector<std::string> names = {
      "DBTYPE_I2",   "DBTYPE_I4",      "DBTYPE_R4",      "DBTYPE_R8",         "DBTYPE_CY",     "DBTYPE_DATE",
      "DBTYPE_BSTR", "DBTYPE_BOOL",    "DBTYPE_DECIMAL", "DBTYPE_I1",         "DBTYPE_UI1",    "DBTYPE_UI2",
      "DBTYPE_UI4",  "DBTYPE_I8",      "DBTYPE_UI8",     "DBTYPE_BYTES",      "DBTYPE_STR",    "DBTYPE_WSTR",
      "DBTYPE_NUMERIC", "DBTYPE_UDT",  "DBTYPE_DBDATE",  "DBTYPE_DBTIME",     "DBTYPE_DBTIMESTAMP"};
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return text::CompareNoCase(a, b) < 0; });
  return names;
}

}  // namespace

const std::vector<std::string>& CTargetFieldDialog::TypeNames() {
  static const std::vector<std::string> names = SortedTypeNames();
  return names;
}

CTargetFieldDialog::CTargetFieldDialog(std::string_view targetName, std::string_view targetType)
    : targetName_(FirstChars(targetName, kMaxChars)), targetType_(FirstChars(targetType, kMaxChars)) {}

int CTargetFieldDialog::DoModal() {
  console::IDialogHost* host = Module::Dialogs();
  return host ? host->RunModal(*this) : console::IDCANCEL;
}

void CTargetFieldDialog::Open() {
  result_ = 0;
  nameField_ = targetName_;
  // The list's own search: from the second entry on, then the first, for an
  // entry that begins with the type. No type names no entry.
  const std::vector<std::string>& names = TypeNames();
  typeIndex_ = 0;
  if (!targetType_.empty()) {
    for (std::size_t step = 1; step <= names.size(); ++step) {
      const std::size_t i = step % names.size();
      if (text::StartsWithNoCase(names[i], targetType_)) {
        typeIndex_ = i;
        break;
      }
    }
  }
}

std::vector<PageField> CTargetFieldDialog::Fields() const {
  PageField type = console::MakeField(std::string(kType), "Target Type:", FieldKind::Choice, TypeNames()[typeIndex_]);
  type.options = TypeNames();
  return {
      console::MakeField(std::string(kName), "Target Name:", FieldKind::Text, nameField_),
      std::move(type),
      console::MakeField(std::string(kOk), "OK", FieldKind::Button),
      console::MakeField(std::string(kCancel), "Cancel", FieldKind::Button),
      console::MakeField(std::string(kClear), "Clear", FieldKind::Button),
  };
}

bool CTargetFieldDialog::SetValue(std::string_view id, std::string_view value) {
  if (Ended()) return false;
  if (id == kName) {
    nameField_ = FirstChars(value, kMaxChars);
    return true;
  }
  if (id != kType) return false;
  const std::vector<std::string>& names = TypeNames();
  const auto found = std::find(names.begin(), names.end(), value);
  if (found == names.end()) return false;
  typeIndex_ = static_cast<std::size_t>(found - names.begin());
  return true;
}

bool CTargetFieldDialog::Press(std::string_view id) {
  if (Ended()) return false;
  if (id == kOk) {
    Ok();
  } else if (id == kCancel) {
    Cancel();
  } else if (id == kClear) {
    targetName_.clear();
    targetType_.clear();
    result_ = console::IDOK;
  } else {
    return false;
  }
  return true;
}

void CTargetFieldDialog::Ok() {
  std::string name = nameField_;
  std::string type = TypeNames()[typeIndex_];
  // The list always has a selection, so an empty name always asks.
  if (name.empty() && !type.empty()) {
    if (CMessageBox::ErrorRetry("Target Name is required.") != console::IDRETRY) result_ = console::IDCANCEL;
    return;
  }
  // Taken as typed: blanks around a name are the administrator's.
  targetName_ = std::move(name);
  targetType_ = std::move(type);
  result_ = console::IDOK;
}

void CTargetFieldDialog::Cancel() {
  if (!Ended()) result_ = console::IDCANCEL;
}

}  // namespace quor::admin::snapin
