#include "admin/snapin/SettingsPropertyPage.h"

#include <array>
#include <charconv>
#include <optional>

#include "admin/snapin/SnapInModule.h"
#include "platform/text/text.h"

namespace quor::admin::snapin {

namespace {

using Page = ServiceSettingsPage;
using console::FieldKind;

// The dialog's controls in its order, with their labels.
struct Control {
  int id;
  std::string_view label;
  FieldKind kind;
};
constexpr std::array<Control, 13> kControls = {{
    {Page::kHomeDir, "Home Directory:", FieldKind::Text},
    {Page::kBrowseHomeDir, "...", FieldKind::Button},
    {Page::kLogLevel, "Log Level:", FieldKind::Choice},
    {Page::kResourceUrl, "Resource URL:", FieldKind::Text},
    {Page::kResourceDir, "Resource DIR:", FieldKind::Text},
    {Page::kBrowseResourceDir, "...", FieldKind::Button},
    {Page::kServiceUrl, "Service URL:", FieldKind::Text},
    {Page::kCompressThreshold, "CompressThreshold:", FieldKind::Number},
    {Page::kAdminUsers, "Admin Users:", FieldKind::Text},
    {Page::kActiveDirectory, "Active Directory", FieldKind::Check},
    {Page::kRootContext, "Root Context:", FieldKind::Text},
    {Page::kAdminGroupName, "Admin Group Name:", FieldKind::Text},
    {Page::kConferenceManagerUrl, "Conference Manager URL:", FieldKind::Text},
}};

// The control of a field id: only the page's own ids, written plainly.
std::optional<Control> ControlOf(std::string_view id) {
  int number = 0;
  const auto [end, ec] = std::from_chars(id.data(), id.data() + id.size(), number);
  if (ec != std::errc() || end != id.data() + id.size()) return std::nullopt;
  for (const Control& control : kControls)
    if (control.id == number) return control;
  return std::nullopt;
}

}  // namespace

CServiceSettingsPropertyPage::CServiceSettingsPropertyPage(RegistryAccess registry) : page_(registry) { page_.Fill(); }

std::string CServiceSettingsPropertyPage::Title() const { return std::string(Page::kTabTitle); }

std::vector<console::PageField> CServiceSettingsPropertyPage::Fields() const {
  std::vector<console::PageField> fields;
  fields.reserve(kControls.size());
  for (const Control& control : kControls) {
    console::PageField field;
    field.id = std::to_string(control.id);
    field.label = control.label;
    field.kind = control.kind;
    if (control.id == Page::kLogLevel) {
      for (std::string_view level : Page::kLogLevels) field.options.emplace_back(level);
      field.value = page_.LogLevel();
    } else if (control.id == Page::kActiveDirectory) {
      field.value.assign(1, page_.ActiveDirectory() ? '1' : '0');  // not = "1": GCC 12 -O3 warns falsely
    } else if (control.kind != FieldKind::Button) {
      field.value = page_.Text(control.id);
      field.enabled = !page_.IsReadOnly(control.id);
    }
    fields.push_back(std::move(field));
  }
  return fields;
}

bool CServiceSettingsPropertyPage::SetValue(std::string_view id, std::string_view value) {
  const std::optional<Control> control = ControlOf(id);
  if (!control || control->kind == FieldKind::Button) return false;
  if (control->id == Page::kLogLevel) {
    for (size_t i = 0; i < Page::kLogLevels.size(); ++i)
      if (text::EqualsNoCase(value, Page::kLogLevels[i])) return page_.SelectLogLevel(static_cast<int>(i));
    return false;
  }
  if (control->id == Page::kActiveDirectory) {
    if (value != "0" && value != "1") return false;
    const bool checked = value == "1";
    // Only a real click marks the page modified.
    if (checked != page_.ActiveDirectory()) page_.SetActiveDirectory(checked);
    return true;
  }
  return page_.SetText(control->id, value);
}

bool CServiceSettingsPropertyPage::Press(std::string_view id) {
  const std::optional<Control> control = ControlOf(id);
  if (!control || control->kind != FieldKind::Button) return false;
  const int edit = control->id == Page::kBrowseHomeDir ? Page::kHomeDir : Page::kResourceDir;
  console::IDialogHost* dialogs = Module::Dialogs();
  if (!dialogs) return false;
  console::ChooserRequest request;
  request.startPath = page_.Text(edit);
  const console::DialogReply reply = dialogs->ChoosePath(request);
  // Cancelled: the edit keeps its text.
  if (reply.ok) page_.SetText(edit, reply.text);
  return true;
}

console::PageApplyResult CServiceSettingsPropertyPage::Apply() {
  const ServiceSettingsPage::ApplyResult result = page_.Apply();
  if (result.ok) return {};
  return {false, std::to_string(result.control), result.message};
}

}  // namespace quor::admin::snapin
