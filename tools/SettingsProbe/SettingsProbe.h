// SettingsProbe: checks the database connection files of an installation
// (every *.xml file in <home>/config) against the tags and values the data
// accessor understands and prints errors, warnings and advice. It reads the
// files and the registry only; nothing is ever written.
#pragma once

#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

namespace quor::xml {
class Node;
}

namespace quor::tools {

// Exit statuses of the program.
inline constexpr int kExitClean = 0;      // checked, no error found (warnings allowed)
inline constexpr int kExitErrors = 1;     // checked, errors found
inline constexpr int kExitNotRun = 2;     // usage text, argument error or no home directory

class CSettingsProbe {
 public:
  // Messages go to `out`; the XML parser's complaints to `err`.
  CSettingsProbe(std::ostream& out, std::ostream& err);

  void SetHomeDir(std::string homeDir) { homeDir_ = std::move(homeDir); }
  const std::string& HomeDir() const { return homeDir_; }

  // Checks every configuration file of the home directory, in name order.
  // A file that cannot be loaded is reported and the walk goes on.
  void CheckConfigFolder();

  // Error and warning lines printed so far (advice counts as errors).
  int Errors() const { return errors_; }
  int Warnings() const { return warnings_; }

 private:
  enum class ProviderKind { None, Catalog, Schema };

  // One file: loads it, checks its setting element and gives the advice,
  // then says whether the service leaves the file out, and why.
  void CheckFile(const std::string& path);
  void CheckContents(const std::string& path);
  void ReportServiceSkip(const std::string& path);
  void CheckSetting(const xml::Node& setting);
  void CheckNode(const xml::Node& node);
  void Advise();

  void Error(std::string_view text);
  void Warning(std::string_view text);

  std::ostream& out_;
  std::ostream& err_;
  std::string homeDir_;
  int errors_ = 0;
  int warnings_ = 0;

  // What the file being checked has told so far; reset for every file.
  ProviderKind provider_ = ProviderKind::None;
  bool hasCatalog_ = false;
  bool hasSchema_ = false;
};

// The whole program: banner, arguments (without the program name), home
// directory from the registry unless "-d" names one, the check. Answers the
// exit status.
int RunSettingsProbe(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);

}  // namespace quor::tools
