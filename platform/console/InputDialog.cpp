#include "platform/console/InputDialog.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/text/text.h"

namespace quor::console {

namespace {

constexpr size_t kMaxFileNameBytes = 255;
constexpr std::string_view kXml = ".xml";

}  // namespace

InputDialog::InputDialog(std::string caption, std::string prompt, std::string initial)
    : caption_(std::move(caption)), prompt_(std::move(prompt)), initial_(std::move(initial)), edit_(initial_) {}

void InputDialog::Open() { edit_ = initial_; }

void InputDialog::SetEditText(std::string_view text) { edit_ = text; }

InputDialog::Outcome InputDialog::Ok() {
  value_ = edit_;
  return {kIdOk, std::nullopt};
}

InputDialog::Layout InputDialog::ControlLayout() {
  constexpr int kMargin = 10, kButtonWidth = 60, kButtonHeight = 22, kGap = 5;
  Layout layout;
  layout.prompt = {kMargin, 30, kWidth - 2 * kMargin, 18};
  layout.edit = {kMargin, layout.prompt.y + layout.prompt.height, layout.prompt.width, 20};
  const int buttonTop = layout.edit.y + layout.edit.height + kMargin;
  layout.cancel = {kWidth - kMargin - kButtonWidth, buttonTop, kButtonWidth, kButtonHeight};
  layout.ok = {layout.cancel.x - kGap - kButtonWidth, buttonTop, kButtonWidth, kButtonHeight};
  return layout;
}

std::optional<std::string> CompleteConfigFileName(std::string_view name) {
  if (text::TrimAscii(name).empty() || name == "." || name == "..") return std::nullopt;
  if (name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) return std::nullopt;
  std::string completed(name);
  if (!completed.ends_with(kXml)) completed += kXml;
  if (completed.size() > kMaxFileNameBytes) return std::nullopt;
  return completed;
}

SaveConfigDialog::SaveConfigDialog(std::string_view folder, std::string initialName)
    : InputDialog(std::string(kCaption), std::string(kPrompt), std::move(initialName)), folder_(folder) {
  if (!folder_.empty() && folder_.back() != '/') folder_ += '/';
  if (!EditText().empty()) EnableOkAlways();
}

InputDialog::Outcome SaveConfigDialog::Ok() {
  pending_.clear();
  const std::optional<std::string> name = CompleteConfigFileName(EditText());
  if (!name)
    return {std::nullopt, Notice{Notice::Kind::Error, Notice::Buttons::RetryCancel, "Error", "Invalid file name."}};
  const std::string path = folder_ + *name;
  std::error_code ec;
  if (std::filesystem::is_directory(std::filesystem::status(path, ec)))
    return {std::nullopt, Notice{Notice::Kind::Error, Notice::Buttons::RetryCancel, "Error",
                                 text::Format("%s is a folder.", path)}};
  if (std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
    pending_ = *name;
    return {std::nullopt,
            Notice{Notice::Kind::Warning, Notice::Buttons::YesNo, "Warning",
                   text::Format("%s%s already exists.  Do you want to replace it?", folder_, *name)}};
  }
  SetValue(*name);
  return {kIdOk, std::nullopt};
}

InputDialog::Outcome SaveConfigDialog::ConfirmReplace(bool yes) {
  if (!yes || pending_.empty()) {
    pending_.clear();
    return {};
  }
  SetValue(std::exchange(pending_, {}));
  return {kIdOk, std::nullopt};
}

}  // namespace quor::console
