// The console's one-line input dialog (dialog 212) and the save dialog built
// on it, which asks for the name of a configuration file to write into a
// folder. The window layer forwards typing and buttons and shows the message
// boxes these models answer.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/console/DialogTypes.h"

namespace quor::console {

class InputDialog {
 public:
  static constexpr int kDialogId = 212;
  static constexpr int kValueEdit = 223;
  static constexpr int kPromptStatic = 224;
  static constexpr int kWidth = 400;
  static constexpr int kHeight = 110;

  InputDialog(std::string caption, std::string prompt, std::string initial);
  virtual ~InputDialog() = default;
  InputDialog(const InputDialog&) = delete;
  InputDialog& operator=(const InputDialog&) = delete;

  // OK stays enabled even while the text equals the initial value.
  void EnableOkAlways() { okAlways_ = true; }

  // Opening: the edit holds the initial value again and OK is enabled only
  // when it is always enabled.
  void Open();
  // Typing: the edit's text is now `text`.
  void SetEditText(std::string_view text);

  const std::string& Caption() const { return caption_; }
  const std::string& Prompt() const { return prompt_; }
  const std::string& EditText() const { return edit_; }
  bool OkEnabled() const { return okAlways_ || edit_ != initial_; }

  // What pressing OK leads to: the dialog ends with its code, or it stays
  // open and asks the window layer to show a message.
  struct Outcome {
    std::optional<int> end;  // kIdOk or kIdCancel when the dialog ends
    std::optional<Notice> notice;
  };
  virtual Outcome Ok();
  Outcome Cancel() { return {kIdCancel, std::nullopt}; }

  // The entered text once the dialog ended with OK.
  const std::string& Value() const { return value_; }

  // Where the controls go in the fixed 400 by 110 window.
  struct Layout {
    Rect prompt, edit, ok, cancel;
  };
  static Layout ControlLayout();

 protected:
  void SetValue(std::string value) { value_ = std::move(value); }

 private:
  std::string caption_;
  std::string prompt_;
  std::string initial_;
  std::string edit_;
  std::string value_;
  bool okAlways_ = false;
};

// Asks for the file name of a configuration file in `folder`. A name without
// the ".xml" ending gets it; a name holding a separator is refused; an
// existing file is replaced only when the administrator agrees.
class SaveConfigDialog : public InputDialog {
 public:
  static constexpr std::string_view kCaption = "Save Configuration File";
  static constexpr std::string_view kPrompt = "Enter XML file name to save as:";

  // A non-empty initial name can be taken as it is, so OK starts enabled.
  explicit SaveConfigDialog(std::string_view folder, std::string initialName = {});

  const std::string& Folder() const { return folder_; }

  // OK: an invalid name answers an error box (Retry, Cancel); the name of an
  // existing file answers the replace question (Yes, No); else the dialog ends.
  Outcome Ok() override;
  // The answers to those boxes.
  Outcome Retry() { return {}; }
  Outcome ConfirmReplace(bool yes);

  // The completed name and the folder joined to it, after OK.
  std::string Path() const { return folder_ + Value(); }

 private:
  std::string folder_;
  std::string pending_;  // the completed name waiting for the replace answer
};

// The name as it will be saved: ".xml" appended unless it already ends so
// (case counts). nullopt for a name no file can have here: empty or blank,
// holding a separator or a NUL, "." or "..", or longer than a file name may be.
std::optional<std::string> CompleteConfigFileName(std::string_view name);

}  // namespace quor::console
