#include "tools/SettingsProbe/SettingsProbe.h"

#include <algorithm>
#include <array>
#include <exception>
#include <ostream>
#include <vector>

#include "core/ConfigFile.h"
#include "core/StatusCodes.h"
#include "platform/com/classstore.h"
#include "platform/fs/fs.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"

namespace quor::tools {
namespace {

constexpr std::string_view kErrorPrefix = " ** Error ** ";
constexpr std::string_view kWarningPrefix = " * Warning * ";
constexpr std::string_view kBanner = " *** Configuration file checker for QuorService V2.0. ***";
constexpr std::string_view kServiceKey = "Software\\Velt\\QuorService";

// How a tag's value is judged when it has one.
enum class ValueRule {
  Any,             // accepted as it is
  NoLeadingQuote,  // an error when it starts with a double quote
  TrueFalse,       // an error unless exactly "True" or "False"
};

// What an element without any child node earns.
enum class Missing { Nothing, Warning, Error };

struct TagRule {
  std::string_view name;
  ValueRule rule;
  std::string_view invalidText;
  Missing missing;
  std::string_view missingText;
};

// Tags with their checks. Provider, InitialCatalog, Schema and Encoding feed
// the advice or need more than one rule and are handled in CheckNode.
constexpr std::array kRules = {
    TagRule{"DataSource", ValueRule::NoLeadingQuote, " DataSource tag has invalid value.", Missing::Error, " DSN value is NULL"},
    TagRule{"UserName", ValueRule::NoLeadingQuote, " UserName tag has invalid value.", Missing::Error, " UserName value is NULL"},
    TagRule{"Password", ValueRule::NoLeadingQuote, " Password tag has invalid value.", Missing::Warning, " Password value is NULL"},
    TagRule{"IntegratedSecurity", ValueRule::NoLeadingQuote, " IntegratedSecurity tag has invalid value.", Missing::Warning,
            " IntegratedSecurity tag should be deleted."},
    TagRule{"CacheAuthentication", ValueRule::TrueFalse, " CacheAuthentication tag has invalid value.", Missing::Warning,
            " CacheAuthentication tag should be deleted."},
    TagRule{"EncryptPassword", ValueRule::TrueFalse, " EncryptPassword tag has invalid value.", Missing::Warning,
            " EncryptPassword tag should be deleted."},
    TagRule{"MaskPassword", ValueRule::TrueFalse, " MaskPassword tag has invalid value.", Missing::Warning,
            " MaskPassword tag should be deleted."},
    TagRule{"PersistEncrypted", ValueRule::TrueFalse, " PersistEncrypted tag has invalid value.", Missing::Warning,
            " PersistEncrypted tag should be deleted."},
    TagRule{"PersistSecurityInfo", ValueRule::TrueFalse, " PersistSecurityInfo tag has invalid value.", Missing::Warning,
            " PersistSecurityInfo tag should be deleted."},
    TagRule{"AsynchronousProcessing", ValueRule::Any, {}, Missing::Warning, " AsynchronousProcessing tag should be deleted."},
    TagRule{"WindowHandle", ValueRule::Any, {}, Missing::Warning, " WindowHandle tag should be deleted."},
    TagRule{"ImpersonationLevel", ValueRule::Any, {}, Missing::Warning, " ImpersonationLevel tag should be deleted."},
    TagRule{"LocaleIdentifier", ValueRule::Any, {}, Missing::Warning, " LocaleIdentifier tag should be deleted."},
    TagRule{"Location", ValueRule::NoLeadingQuote, " Location tag has invalid value.", Missing::Warning,
            " Location tag should be deleted."},
    TagRule{"Mode", ValueRule::Any, {}, Missing::Warning, " Mode tag should be deleted"},
    TagRule{"OLEDBServices", ValueRule::Any, {}, Missing::Warning, " OLEDBServices tag should be deleted."},
    TagRule{"Prompt", ValueRule::Any, {}, Missing::Warning, " Prompt tag should be deleted."},
    TagRule{"ProtectionLevel", ValueRule::Any, {}, Missing::Warning, " ProtectionLevel should be deleted."},
    TagRule{"ExtendedProperties", ValueRule::NoLeadingQuote, " Extended Properties has invalid value.", Missing::Warning,
            " Extended Properties tag should be deleted."},
    TagRule{"ConnectTimeout", ValueRule::Any, {}, Missing::Warning, " Timeout tag should be deleted."},
    TagRule{"BindFlags", ValueRule::Any, {}, Missing::Nothing, {}},
    TagRule{"LockOwner", ValueRule::Any, {}, Missing::Nothing, {}},
    TagRule{"GeneralTimeout", ValueRule::Any, {}, Missing::Nothing, {}},
    TagRule{"quorservice", ValueRule::Any, {}, Missing::Error, " quorservice tag value is NULL."},
    TagRule{"progID", ValueRule::Any, {}, Missing::Error, " progID tag is NULL."},
    TagRule{"method", ValueRule::Any, {}, Missing::Error, " methos tag value is NULL."},
    TagRule{"table", ValueRule::Any, {}, Missing::Error, " table tag value is NULL."},
    TagRule{"XMLColumn", ValueRule::TrueFalse, " XMLColumn tag has invalid value.", Missing::Warning,
            " XMLColumn tag should be deleted."},
};

// Provider-specific tags, passed on to the provider without a check.
// (WorkStationID is matched without case, see IsProviderTag.)
constexpr std::array<std::string_view, 29> kProviderTags = {
    "UseProcedureforPrepare", "AutoTranslate", "PacketSize", "UseEncryptionforData",
    "Tagwithcolumncollationwhenpossible", "ServerName", "NetworkProtocol", "ServerPortAddress",
    "HAServerName", "HAServerPortAddress", "CharacterSet", "Language", "ApplicationName",
    "OptimizePrepare", "SelectMethod", "RaiseErrorBehavior", "PrintStatementBehavior",
    "ExtendedErrorInfo", "StoredProcRowCount", "RowCacheSize", "EnableQuotedIdentifiers",
    "DefaultLengthForLongData", "CurrentLanguage", "InitialFileName", "NetworkAddress",
    "NetworkLibrary", "Replicationservernameconnectoption", "ADSIFlag", "ProviderString",
};

constexpr std::array<std::string_view, 3> kSchemaProviders = {"OraOLEDB.Oracle.1", "IBMDADB2.1", "MSDAORA.1"};
constexpr std::array<std::string_view, 3> kEncodings = {"EUC_JP", "SJIS", "UTF-8"};

bool IsProviderTag(std::string_view name) {
  if (text::EqualsNoCase(name, "WorkStationID")) return true;
  return std::ranges::find(kProviderTags, name) != kProviderTags.end();
}

bool IsTrueFalse(std::string_view value) { return value == "True" || value == "False"; }
bool HasLeadingQuote(std::string_view value) { return value.starts_with('"'); }

bool ValueFails(ValueRule rule, std::string_view value) {
  switch (rule) {
    case ValueRule::Any:
      return false;
    case ValueRule::NoLeadingQuote:
      return HasLeadingQuote(value);
    case ValueRule::TrueFalse:
      return !IsTrueFalse(value);
  }
  return false;
}

void PrintUsage(std::ostream& out) {
  out << "SettingsProbe [-d <pathname>] [-h[elp]]\n"
         "   This command will check QuorService Config File content.\n"
         "   If -d option is not specifed, this command will try to search\n"
         "   QuorService Config Files. If -d option is specified, this command\n"
         "   will search <pathname>/config directory.\n";
}

void PrintArgumentError(std::ostream& out, std::string_view arg) {
  out << arg << "\n"
      << "Argument Error: argument should be \"-d <path>\"\n";
}

bool IsHelp(std::string_view arg) {
  return text::EqualsNoCase(arg, "-help") || text::EqualsNoCase(arg, "-h") || arg == "-?";
}

// The service's home directory from the registry; empty (with the reason in
// `problem`) when it cannot be had.
std::string ReadHomeDir(std::string& problem) {
  reg::Registry& registry = reg::Registry::Default();
  if (const quor::Status checked = registry.Check(); !checked.ok()) {
    problem = "The registry " + registry.Path().string() + " cannot be read: " + checked.message();
    return {};
  }
  std::string home;
  reg::Key key;
  if (key.Open(reg::Hive::LocalMachine, kServiceKey).ok()) {
    if (auto value = key.GetString("HomeDir"); value.ok()) home = std::move(*value);
  }
  if (home.empty()) {
    problem = "HomeDir is not set in the registry.";
    return {};
  }
  return home;
}

}  // namespace

CSettingsProbe::CSettingsProbe(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

void CSettingsProbe::Error(std::string_view text) {
  out_ << kErrorPrefix << text << '\n';
  ++errors_;
}

void CSettingsProbe::Warning(std::string_view text) {
  out_ << kWarningPrefix << text << '\n';
  ++warnings_;
}

void CSettingsProbe::CheckConfigFolder() {
  try {
    const std::string folder = fs::JoinPath(homeDir_, "config");
    // Sorted by name so that the report reads the same on every run.
    const Result<std::vector<std::string>> names = fs::ListFiles(folder, "*.xml");
    if (!names.ok() || names->empty()) {
      out_ << "The Config File didn't exist.\n";
      return;
    }
    for (const std::string& name : *names) CheckFile(fs::JoinPath(folder, name));
  } catch (const std::exception&) {
    out_ << " Exception happened.\n";
    ++errors_;
  }
}

void CSettingsProbe::CheckFile(const std::string& path) {
  CheckContents(path);
  ReportServiceSkip(path);
}

void CSettingsProbe::ReportServiceSkip(const std::string& path) {
  // The service's own reading of the file: what it skips at a load.
  xml::DocumentPtr document;
  xml::NodePtr setting;
  const HRESULT status = core::ReadConfigFile(path, document, setting).code();
  if (FAILED(status)) Error(" QuorService skips this file: " + std::string(core::StatusText(status)));
}

void CSettingsProbe::CheckContents(const std::string& path) {
  provider_ = ProviderKind::None;
  hasCatalog_ = false;
  hasSchema_ = false;

  out_ << path << " loading ...";
  const xml::DocumentPtr document = xml::Document::Create();
  if (!document->load(path)) {
    const xml::ParseError& problem = document->parseError();
    // The line on the console ends here; the parser's reason follows on the
    // error output, and the other files are still checked.
    out_ << " failed -- couldn't parse the file.\n" << std::flush;
    err_ << problem.reason << '\n';
    if (problem.line > 0)
      err_ << "Error on line " << problem.line << ", position " << problem.linepos << " in \"" << path << "\".\n";
    err_ << std::flush;
    ++errors_;
    return;
  }
  if (!document->hasChildNodes()) {
    out_ << " failed -- content was empty.\n";
    ++errors_;
    return;
  }
  xml::NodePtr setting;
  for (xml::NodePtr node = document->firstChild(); node; node = node->nextSibling()) {
    if (xml::IsElement(node, "OLEDBSetting")) {
      setting = node;
      break;
    }
  }
  if (!setting) {
    out_ << " failed -- couldn't create XML DOM.\n";
    ++errors_;
    return;
  }
  out_ << " completed.\n";
  try {
    CheckSetting(*setting);
  } catch (const std::exception&) {
    out_ << "Exception happended in parsing Config File.\n";
    ++errors_;
  }
}

void CSettingsProbe::CheckSetting(const xml::Node& setting) {
  for (xml::NodePtr child = setting.firstChild(); child; child = child->nextSibling()) CheckNode(*child);
  Advise();
}

void CSettingsProbe::CheckNode(const xml::Node& node) {
  const std::string name = node.nodeName();
  const xml::NodePtr first = node.firstChild();
  // Only an element can have children; for comments and text this stays
  // empty and they fall through to the unknown-tag row.
  const bool hasValue = first != nullptr;
  const std::string value = hasValue ? first->text() : std::string();

  if (node.nodeType() == xml::NodeType::Element) {
    if (name == "Provider") {
      if (!hasValue) return Error(" Provider value is NULL");
      if (HasLeadingQuote(value)) Error(" Provider tag has invalid value.");
      provider_ = std::ranges::find(kSchemaProviders, value) != kSchemaProviders.end() ? ProviderKind::Schema
                                                                                        : ProviderKind::Catalog;
      return;
    }
    if (name == "InitialCatalog") {
      if (!hasValue) return;
      if (HasLeadingQuote(value)) Error(" Catalog tag has invalid value.");
      hasCatalog_ = true;
      return;
    }
    if (name == "Schema") {
      if (!hasValue) return Error(" Schema tag value is NULL.");
      hasSchema_ = true;
      return;
    }
    if (name == "Encoding") {
      if (!hasValue) return Error(" Encoding tag value is NULL.");
      if (std::ranges::find(kEncodings, value) == kEncodings.end()) Error(" Unsupported Encoding was specified.");
      return;
    }
    for (const TagRule& rule : kRules) {
      if (rule.name != name) continue;
      if (hasValue) {
        if (ValueFails(rule.rule, value)) Error(rule.invalidText);
      } else if (rule.missing == Missing::Error) {
        Error(rule.missingText);
      } else if (rule.missing == Missing::Warning) {
        Warning(rule.missingText);
      }
      return;
    }
    if (IsProviderTag(name) || name.starts_with("JetOLEDB:")) return;
  }
  Error(" " + name + " is not defiend tag.");
}

void CSettingsProbe::Advise() {
  if (provider_ == ProviderKind::Catalog && !hasCatalog_) {
    Error(" This provider must have catalog name. -");
    Error("  But if you uses OLEDB for ODBC, -");
    Error("  you can ignore the Error Message -");
    Error("  because that is depending on ODBC driver spec. -");
    Error("  You should check it.");
  } else if (provider_ == ProviderKind::Schema && !hasSchema_) {
    Error(" This provider must have schema name. -");
    Error("  But if you access with SYNONYM to Oracle, -");
    Error("  you can ignore this Error Message.");
  }
}

int RunSettingsProbe(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
  out << kBanner << '\n';

  std::string homeDir;
  bool homeGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "-d") {
      // A "-d" with nothing (or nothing usable) after it is a mistake, not a
      // request to check "/config".
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        PrintArgumentError(out, arg);
        return kExitNotRun;
      }
      homeDir = args[++i];
      homeGiven = true;
    } else if (IsHelp(arg)) {
      PrintUsage(out);
      return kExitNotRun;
    } else {
      PrintArgumentError(out, arg);
      return kExitNotRun;
    }
  }

  if (!homeGiven) {
    std::string problem;
    homeDir = ReadHomeDir(problem);
    if (homeDir.empty()) {
      out << problem << '\n';
      return kExitNotRun;
    }
  }

  com::CoInitialize();
  CSettingsProbe probe(out, err);
  probe.SetHomeDir(std::move(homeDir));
  probe.CheckConfigFolder();
  com::CoUninitialize();
  out << std::flush;
  return probe.Errors() > 0 ? kExitErrors : kExitClean;
}

}  // namespace quor::tools
