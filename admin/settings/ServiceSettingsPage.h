// The root node's "Registry Settings" page (dialog 106): the service's
// settings under Software\Velt\QuorService and its entry under
// Software\Velt\Services, loaded into the page's controls, edited, checked
// and written back on Apply. Controls are named by their ids.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "admin/RegistryAccess.h"
#include "platform/console/DirectoryChooser.h"

namespace quor::admin {

class ServiceSettingsPage {
 public:
  static constexpr int kDialogId = 106;
  static constexpr std::string_view kCaption = "Registry Settings";
  static constexpr std::string_view kTabTitle = "Registry Setting";

  // Edits.
  static constexpr int kHomeDir = 202;
  static constexpr int kResourceDir = 208;
  static constexpr int kResourceUrl = 211;
  static constexpr int kServiceUrl = 215;
  static constexpr int kAdminUsers = 217;
  static constexpr int kRootContext = 219;
  static constexpr int kAdminGroupName = 221;
  static constexpr int kCompressThreshold = 306;
  static constexpr int kConferenceManagerUrl = 324;
  // Other controls.
  static constexpr int kLogLevel = 209;          // drop-down list
  static constexpr int kBrowseHomeDir = 212;     // "..." for 202
  static constexpr int kBrowseResourceDir = 213; // "..." for 208
  static constexpr int kActiveDirectory = 326;   // check box

  // The levels the service knows, in the list's order.
  static constexpr std::array<std::string_view, 4> kLogLevels = {"None", "Normal", "Detail", "Debug"};

  explicit ServiceSettingsPage(RegistryAccess registry = {});

  // Loads every control from the registry; the page is then unmodified.
  void Fill();

  // The text of an edit; empty for an id that is no edit.
  std::string_view Text(int edit) const;
  // Typing into an edit. False for an id that is no edit or is read-only.
  bool SetText(int edit, std::string_view text);
  bool IsReadOnly(int edit) const;

  int LogLevelIndex() const { return logLevel_; }
  std::string_view LogLevel() const { return kLogLevels[static_cast<size_t>(logLevel_)]; }
  // False (nothing changes) for an index outside the list.
  bool SelectLogLevel(int index);

  bool ActiveDirectory() const { return activeDirectory_; }
  // Root Context and Admin Group Name are editable only while it is checked.
  void SetActiveDirectory(bool checked);

  // True once a control changed since Fill or the last Apply: the sheet's
  // Apply button is active.
  bool Modified() const { return modified_; }

  // A browse button: the folder chooser opening on its edit's text. nullopt
  // for an id that is no browse button.
  std::optional<console::DirectoryChooser> Browse(int button) const;
  // The chooser ended with OK: its result goes into the button's edit.
  bool TakeBrowseResult(int button, const console::DirectoryChooser& chooser);

  // Checks every control, then writes them all. A refused value names its
  // control and why, and nothing is written.
  struct ApplyResult {
    bool ok = true;
    int control = 0;
    std::string message;
  };
  ApplyResult Apply();

 private:
  static std::optional<int> EditOfButton(int button);

  RegistryAccess registry_;
  std::map<int, std::string> edits_;
  int logLevel_ = 0;
  bool activeDirectory_ = false;
  bool modified_ = false;
};

}  // namespace quor::admin
