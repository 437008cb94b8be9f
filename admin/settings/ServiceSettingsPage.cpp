#include "admin/settings/ServiceSettingsPage.h"

#include <cstdint>
#include <limits>

#include "platform/text/text.h"

namespace quor::admin {

namespace {

constexpr std::string_view kServicesKey = "Services";
constexpr std::string_view kServiceUrlValue = "qsc";

// The edits stored under the service key, with their value names.
struct EditValue {
  int edit;
  std::string_view value;
};
constexpr std::array<EditValue, 8> kServiceTexts = {{
    {ServiceSettingsPage::kHomeDir, "HomeDir"},
    {ServiceSettingsPage::kResourceUrl, "ResourceURL"},
    {ServiceSettingsPage::kResourceDir, "ResourceDir"},
    {ServiceSettingsPage::kAdminUsers, "AdminUsers"},
    {ServiceSettingsPage::kConferenceManagerUrl, "ConferenceManagerURL"},
    {ServiceSettingsPage::kRootContext, "RootContext"},
    {ServiceSettingsPage::kAdminGroupName, "AdminGroupName"},
    {ServiceSettingsPage::kCompressThreshold, "CompressThreshold"},
}};

// The value name behind an edit; the service URL is the Services key's "qsc".
constexpr std::string_view ValueOf(int edit) {
  for (const auto& [id, value] : kServiceTexts)
    if (id == edit) return value;
  return kServiceUrlValue;
}

// The service reads the threshold as a signed 32-bit number: anything larger
// would turn negative there. An empty field means 0, compression off.
std::optional<std::string> ThresholdText(std::string_view text) {
  const std::string_view trimmed = text::TrimAscii(text);
  if (trimmed.empty()) return "0";
  if (!text::IsAsciiDigits(trimmed)) return std::nullopt;
  const std::optional<uint32_t> number = text::ParseUInt32(trimmed);
  if (!number || *number > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) return std::nullopt;
  return std::to_string(*number);
}

}  // namespace

ServiceSettingsPage::ServiceSettingsPage(RegistryAccess registry) : registry_(registry) {
  for (const auto& [id, value] : kServiceTexts) edits_[id];
  edits_[kServiceUrl];
}

void ServiceSettingsPage::Fill() {
  // The level as written, matched whole and without case; an unknown or
  // missing one shows as "None", which is also how the service takes it.
  const std::string level = registry_.ReadServiceText("LogLevel");
  logLevel_ = 0;
  for (size_t i = 0; i < kLogLevels.size(); ++i)
    if (text::EqualsNoCase(level, kLogLevels[i])) {
      logLevel_ = static_cast<int>(i);
      break;
    }
  for (const auto& [id, value] : kServiceTexts)
    edits_[id] = id == kCompressThreshold ? registry_.ReadServiceNumberText(value) : registry_.ReadServiceText(value);
  edits_[kServiceUrl] = registry_.ReadServicesText(kServiceUrlValue);
  activeDirectory_ = !edits_[kRootContext].empty();
  modified_ = false;
}

std::string_view ServiceSettingsPage::Text(int edit) const {
  const auto it = edits_.find(edit);
  return it == edits_.end() ? std::string_view() : std::string_view(it->second);
}

bool ServiceSettingsPage::IsReadOnly(int edit) const {
  return (edit == kRootContext || edit == kAdminGroupName) && !activeDirectory_;
}

bool ServiceSettingsPage::SetText(int edit, std::string_view text) {
  const auto it = edits_.find(edit);
  if (it == edits_.end() || IsReadOnly(edit)) return false;
  if (it->second != text) {
    it->second = text;
    modified_ = true;
  }
  return true;
}

bool ServiceSettingsPage::SelectLogLevel(int index) {
  if (index < 0 || static_cast<size_t>(index) >= kLogLevels.size()) return false;
  if (index != logLevel_) modified_ = true;
  logLevel_ = index;
  return true;
}

void ServiceSettingsPage::SetActiveDirectory(bool checked) {
  activeDirectory_ = checked;
  modified_ = true;
}

std::optional<int> ServiceSettingsPage::EditOfButton(int button) {
  if (button == kBrowseHomeDir) return kHomeDir;
  if (button == kBrowseResourceDir) return kResourceDir;
  return std::nullopt;
}

std::optional<console::DirectoryChooser> ServiceSettingsPage::Browse(int button) const {
  const std::optional<int> edit = EditOfButton(button);
  if (!edit) return std::nullopt;
  console::DirectoryChooser chooser;
  chooser.SetStartDirectory(Text(*edit));
  return chooser;
}

bool ServiceSettingsPage::TakeBrowseResult(int button, const console::DirectoryChooser& chooser) {
  const std::optional<int> edit = EditOfButton(button);
  return edit && SetText(*edit, chooser.GetResult());
}

ServiceSettingsPage::ApplyResult ServiceSettingsPage::Apply() {
  // Everything is checked before anything is written, so a refused value
  // leaves the registry as it was.
  for (const auto& [id, text] : edits_)
    if (text.find('\0') != std::string::npos) return {false, id, "The text may not hold a NUL character."};
  const std::optional<std::string> threshold = ThresholdText(edits_[kCompressThreshold]);
  if (!threshold)
    return {false, kCompressThreshold, "CompressThreshold must be a whole number from 0 to 2147483647."};

  // Apply's order: the folders, level and URLs, the service's entry, the
  // users and the conference manager, the directory settings (cleared while
  // the box is unchecked), the threshold. The first failed write stops it.
  constexpr std::array<int, 10> kOrder = {kHomeDir,   kLogLevel,             kResourceUrl, kResourceDir,    kServiceUrl,
                                          kAdminUsers, kConferenceManagerUrl, kRootContext, kAdminGroupName, kCompressThreshold};
  for (const int id : kOrder) {
    bool written = false;
    std::string_view name = ValueOf(id);
    if (id == kLogLevel) {
      name = "LogLevel";
      written = registry_.WriteServiceText(name, LogLevel());
    } else if (id == kServiceUrl) {
      written = registry_.WriteText(kServicesKey, name, edits_[id]);
    } else if (id == kCompressThreshold) {
      written = registry_.WriteNumber("QuorService", name, *threshold);
    } else {
      const bool cleared = (id == kRootContext || id == kAdminGroupName) && !activeDirectory_;
      written = registry_.WriteServiceText(name, cleared ? std::string_view() : std::string_view(edits_[id]));
    }
    if (!written) return {false, id, text::Format("Unable to write %s to the registry.", name)};
  }
  modified_ = false;
  return {};
}

}  // namespace quor::admin
