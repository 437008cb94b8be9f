#include "core/ServiceConfig.h"

#include <functional>

#include "core/ConfigFile.h"
#include "core/KeywordTable.h"
#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"
#include "platform/com/memory_budget.h"
#include "platform/com/errorinfo.h"
#include "platform/fs/fs.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

// What one folder scan looks for, and the statuses it answers.
struct FolderScan {
  std::string_view folder;         // below the home folder
  std::string_view element;        // the top-level element each file must hold
  HRESULT missingStatus;           // no file at all
  HRESULT emptyStatus;             // a file with nothing in it
  HRESULT formatStatus;            // a file without the element
};

// Loads every "*.xml" of the folder, in the listing's order (sorted without
// case), and hands the element each file holds to `take`. The first bad file
// stops the scan with its status.
Status ScanFolder(const std::string& folder, const FolderScan& scan, bool& anyFile,
                  const std::function<Status(const xml::NodePtr&)>& take) {
  const Result<std::vector<std::string>> names = fs::ListFiles(folder, "*.xml");
  anyFile = names.ok() && !names->empty();
  if (!anyFile) return Status(scan.missingStatus);
  for (const auto& name : *names) {
    const std::string path = fs::JoinPath(folder, name);
    const Result<std::string> bytes = fs::ReadFile(path);
    if (!bytes.ok()) return Status(QS_E_XML_LOAD_FAILED);
    if (text::TrimAscii(*bytes).empty()) return Status(scan.emptyStatus);
    auto document = xml::Document::Create();
    if (!document->load(path)) return Status(QS_E_XML_LOAD_FAILED);
    if (!document->firstChild()) return Status(scan.emptyStatus);
    auto element = FindTopLevel(document, scan.element);
    if (!element) return Status(scan.formatStatus);
    QUOR_RETURN_IF_ERROR(take(element));
  }
  return Status();
}

// A flat transformer file (entries written straight under "QuorTransform", as
// the console writes them) becomes one entry element holding them.
bool IsFlatTransform(const xml::NodePtr& quorTransform) {
  for (auto child = quorTransform->firstChild(); child; child = child->nextSibling())
    if (child->nodeName() == "ProgID") return true;
  return false;
}

xml::NodePtr FlatToEntry(const xml::DocumentPtr& document, const xml::NodePtr& quorTransform) {
  auto entry = document->createElement(CKeywordTable::Instance().Narrow(KW_TRANSFORM));
  for (auto child = quorTransform->firstChild(); child; child = child->nextSibling()) {
    if (child->nodeType() != xml::NodeType::Element) continue;
    if (child->nodeName() == "transform" && !child->hasChildNodes()) continue;
    if (auto copy = CopyXmlTree(child); copy.ok()) entry->appendChild(*copy);
  }
  auto wrapper = document->createElement("QuorTransform");
  wrapper->appendChild(entry);
  return wrapper;
}

}  // namespace

bool ReadServiceString(std::string_view key, std::string_view name, std::string& value) {
  reg::Key handle;
  if (!handle.Open(reg::Hive::LocalMachine, key).ok()) return false;
  const auto read = handle.GetValue(name);
  if (!read.ok()) return false;
  const reg::Value& raw = *read;
  // The bytes as the registry holds them, whatever the type: a text written
  // without its terminator ends at its real length.
  std::string bytes(raw.data.begin(), raw.data.end());
  value = bytes.substr(0, bytes.find('\0'));
  return true;
}

CServiceConfig::CServiceConfig()
    : DefaultAccessorMethod(CKeywordTable::Instance()[KW_QUERY]),
      DefaultAccessorProgID(CKeywordTable::Instance()[KW_QUORACCESSOR_LEGACYDBACCESSOR]) {}

CServiceConfig::~CServiceConfig() {
  DropConfigDocument();
  TransformDocument.reset();
  UnifierDocument.reset();
}

// ---- Registry values ----------------------------------------------------------

const com::Bstr& CServiceConfig::ReadHomeDir() {
  std::string value;
  if (!ReadServiceString(kServiceKey, "HomeDir", value)) value.clear();
  HomeDirAnsi = value;
  HomeDir = com::Bstr::FromUtf8(value);
  return HomeDir;
}

int CServiceConfig::ReadLogLevel() {
  std::string value;
  LogLevel = LOGLEVEL_NONE;
  if (!ReadServiceString(kServiceKey, "LogLevel", value)) return 0;
  if (value == "None") LogLevel = LOGLEVEL_NONE;
  else if (value == "Normal") LogLevel = LOGLEVEL_NORMAL;
  else if (value == "Detail") LogLevel = LOGLEVEL_DETAIL;
  else if (value == "Debug") LogLevel = LOGLEVEL_DEBUG;
  return 0;
}

std::vector<com::Bstr> CServiceConfig::SplitNameList(std::string_view text) {
  std::vector<com::Bstr> names;
  for (const auto& item : text::Split(text, ',')) {
    std::string_view name(item);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    if (!name.empty()) names.push_back(com::Bstr::FromUtf8(name));
  }
  return names;
}

bool CServiceConfig::ReadAdminUsers() {
  AdminUsers.clear();
  std::string value;
  if (ReadServiceString(kServiceKey, "AdminUsers", value)) AdminUsers = SplitNameList(value);
  return true;
}

int CServiceConfig::ReadUserGroups() {
  UserGroups.clear();
  reg::Key key;
  if (!key.Open(reg::Hive::LocalMachine, kUserGroupKey).ok()) return 0;
  const auto values = key.EnumValues();
  if (!values.ok()) return 0;
  for (const auto& value : *values) {
    std::string members(value.value.data.begin(), value.value.data.end());
    members = members.substr(0, members.find('\0'));
    UserGroups.push_back(UserGroup{com::Bstr::FromUtf8(value.name), SplitNameList(members)});
  }
  return 0;
}

bool CServiceConfig::ReadCompressThreshold() {
  // Only a 32-bit number counts; anything else leaves compression off.
  CompressThreshold = 0;
  reg::Key key;
  if (key.Open(reg::Hive::LocalMachine, kServiceKey).ok()) {
    if (const auto number = key.GetDword("CompressThreshold"); number.ok())
      CompressThreshold = static_cast<int32_t>(*number);
  }
  return true;
}

void CServiceConfig::ReadAnswerMemory() {
  // In megabytes; missing, of another type or 0: the machine's defaults.
  uint64_t perAnswer = 0, allAnswers = 0;
  reg::Key key;
  if (key.Open(reg::Hive::LocalMachine, kServiceKey).ok()) {
    if (const auto mb = key.GetDword("AnswerMemoryMB"); mb.ok()) perAnswer = uint64_t{*mb} << 20;
    if (const auto mb = key.GetDword("AllAnswersMemoryMB"); mb.ok()) allAnswers = uint64_t{*mb} << 20;
  }
  com::MemoryBudget::Process().Configure(perAnswer, allAnswers);
}

bool CServiceConfig::ReadAdminGroupName() {
  AdminGroupName = com::Bstr();
  std::string value;
  if (!ReadServiceString(kServiceKey, "AdminGroupName", value)) return false;
  if (!value.empty()) AdminGroupName = com::Bstr::FromUtf8(value);
  return true;
}

std::string CServiceConfig::FolderPath(std::string_view name) const { return fs::JoinPath(HomeDirAnsi, name); }

void CServiceConfig::ShareQueryParts(const CServiceConfig& other) {
  AdminGroupName = other.AdminGroupName;
  CompressThreshold = other.CompressThreshold;
  LogLevel = other.LogLevel;
  DefaultAccessorMethod = other.DefaultAccessorMethod;
  DefaultAccessorProgID = other.DefaultAccessorProgID;
  UnifyTable = other.UnifyTable;
  QueryDataSources = other.QueryDataSources;
  RepositoryDefinitions = other.RepositoryDefinitions;
  UnifierDocument = other.UnifierDocument;
  TransformDocument = other.TransformDocument;
  ConfigDocument = other.ConfigDocument;
  ConfigText = other.ConfigText;
  RepositoryDocument = other.RepositoryDocument;
  SkippedConfigFiles = other.SkippedConfigFiles;
  HomeDir = other.HomeDir;
  HomeDirAnsi = other.HomeDirAnsi;
  AdminUsers = other.AdminUsers;
  UserGroups = other.UserGroups;
}

bool CServiceConfig::HasMoreThan(const CServiceConfig& other) const {
  return (ConfigDocument && ConfigDocument != other.ConfigDocument) ||
         (UnifierDocument && UnifierDocument != other.UnifierDocument) ||
         (UnifyTable && UnifyTable != other.UnifyTable) ||
         (TransformDocument && TransformDocument != other.TransformDocument) ||
         (HomeDir.IsNull() != other.HomeDir.IsNull()) || LogLevel != other.LogLevel ||
         CompressThreshold != other.CompressThreshold;
}

// ---- The config folder ---------------------------------------------------------

void CServiceConfig::DropConfigDocument() {
  ConfigDocument.reset();
  ConfigText.reset();
}

void CServiceConfig::ClearDefinitions() {
  QueryDataSources.clear();
  RepositoryDefinitions.clear();
  RepositoryDocument.reset();
}

Status CServiceConfig::LoadConfigDirectory() {
  const auto& kw = CKeywordTable::Instance();
  SkippedConfigFiles.clear();
  const std::string folder = FolderPath("config");
  const Result<std::vector<std::string>> names = fs::ListFiles(folder, "*.xml");
  if (!names.ok() || names->empty()) {
    DropConfigDocument();
    return Status(QS_E_CONFIG_NOT_EXIST);
  }
  ConfigText.reset();
  ConfigDocument = xml::Document::Create();
  auto config = ConfigDocument->createElement(kw.Narrow(KW_CONFIG));
  bool anyLoaded = false;
  // One bad file costs only itself: the others still give their sources.
  for (const auto& name : *names) {
    const std::string path = fs::JoinPath(folder, name);
    xml::DocumentPtr document;
    xml::NodePtr setting;
    if (const Status read = ReadConfigFile(path, document, setting); !read.ok()) {
      SkippedConfigFiles.push_back({path, read.code()});
      continue;
    }
    // A setting the config element refuses leaves none of the folder in force.
    if (!config->appendChild(setting)) {
      DropConfigDocument();
      return Status(QS_E_CONFIG_LOAD_EXCEPTION);
    }
    anyLoaded = true;
  }
  ConfigDocument->appendChild(config);
  // Made once here, not for every call that hands it on.
  ConfigText = std::make_shared<const com::Bstr>(com::Bstr::FromUtf8(config->xml()));
  if (!anyLoaded) return Status(SkippedConfigFiles.front().status);
  return BuildDataSourceDefinitions(ConfigDocument);
}

Status CServiceConfig::BuildDataSourceDefinitions(const xml::DocumentPtr& document) {
  if (!document || !QueryDataSources.empty() || !RepositoryDefinitions.empty()) return Status();
  const auto& kw = CKeywordTable::Instance();
  Status status;
  auto repositoryConfig = document->createElement(kw.Narrow(KW_CONFIG));
  auto root = document->documentElement();
  for (auto child = root ? root->firstChild() : nullptr; child; child = child->nextSibling()) {
    auto definition = std::make_unique<DataSourceDefinition>();
    status = definition->LoadFromXml(child);
    if (!status.ok()) break;
    const com::Bstr& kind = definition->GetServiceKind();
    if (kind.Empty()) {
      QueryDataSources.push_back(std::move(definition));
    } else if (kind == u"VODB") {
      auto copy = CopyXmlTree(child);
      if (!copy.ok() || !repositoryConfig->appendChild(*copy)) {
        status = Status(QS_E_CONFIG_PARSE_EXCEPTION2);
        break;
      }
      RepositoryDefinitions.push_back(std::move(definition));
    }
  }
  if (!status.ok()) {
    DropConfigDocument();
    ClearDefinitions();
    return status;
  }
  if (!RepositoryDefinitions.empty()) {
    RepositoryDocument = xml::Document::Create();
    RepositoryDocument->appendChild(repositoryConfig);
  }
  return Status();
}

Status CServiceConfig::ReloadConfig() {
  DropConfigDocument();
  SkippedConfigFiles.clear();
  ClearDefinitions();
  return LoadConfigDirectory();
}

// ---- The transform folder --------------------------------------------------------

Status CServiceConfig::LoadTransformDirectory() {
  const auto& kw = CKeywordTable::Instance();
  const FolderScan scan{"transform", kw.Narrow(KW_QUORTRANSFORM), S_OK, QS_E_TRANSFORM_EMPTY,
                        QS_E_TRANSFORM_FORMAT_INVALID};
  TransformDocument = xml::Document::Create();
  xml::NodePtr root;
  int counter = 0;
  bool anyFile = false;
  bool copyFailed = false;
  const Status status = ScanFolder(FolderPath(scan.folder), scan, anyFile, [&](const xml::NodePtr& found) -> Status {
    xml::NodePtr quorTransform = IsFlatTransform(found) ? FlatToEntry(TransformDocument, found) : found;
    // The file's first entry gets the identifier of its place in the folder.
    if (auto first = quorTransform->firstChild()) {
      auto id = TransformDocument->createElement(kw.Narrow(KW_TRANSID));
      id->setText(text::Format("trans:%d", counter++));
      first->appendChild(id);
    }
    if (!root) {
      auto copy = CopyXmlTree(quorTransform);
      if (!copy.ok()) {
        copyFailed = true;
        return Status(QS_E_TRANSFORM_LOAD_EXCEPTION);
      }
      root = *copy;
      return Status();
    }
    const Result<int> merged = CopyXmlTreeWithText(root, quorTransform);
    if (!merged.ok()) {
      copyFailed = true;
      return Status(QS_E_TRANSFORM_LOAD_EXCEPTION);
    }
    return *merged < 0 ? Status(static_cast<HRESULT>(*merged)) : Status();
  });
  // A copy the document refused leaves no half-built transform list behind.
  if (!anyFile || copyFailed) TransformDocument.reset();
  else if (status.ok() && root) TransformDocument->appendChild(root);
  return status;
}

Status CServiceConfig::ReloadTransform() {
  TransformDocument.reset();
  return LoadTransformDirectory();
}

// ---- The unifier folder ------------------------------------------------------------

Status CServiceConfig::LoadUnifierDirectory() {
  const auto& kw = CKeywordTable::Instance();
  const FolderScan scan{"unifier", kw.Narrow(KW_UNIFYRULE), S_OK, QS_E_UNIFYTABLE_EMPTY, QS_E_UNIFYTABLE_FORMAT};
  UnifierDocument = xml::Document::Create();
  auto unifier = UnifierDocument->createElement(kw.Narrow(KW_UNIFIER));
  bool anyFile = false;
  const Status status = ScanFolder(FolderPath(scan.folder), scan, anyFile, [&](const xml::NodePtr& rule) {
    return unifier->appendChild(rule) ? Status() : Status(QS_E_UNIFYTABLE_LOAD_EXCEPTION);
  });
  if (!anyFile) UnifierDocument.reset();
  else if (status.ok()) UnifierDocument->appendChild(unifier);
  return status;
}

Status CServiceConfig::BuildUnifyTable(const xml::DocumentPtr& document) {
  if (!document || UnifyTable) return Status();
  auto root = document->documentElement();
  auto rule = root ? root->firstChild() : nullptr;
  if (!rule) return Status(QS_E_UNIFYTABLE_PARSE_EXCEPTION);
  Status status;
  std::unique_ptr<UnifyTableEntry> first;
  std::unique_ptr<UnifyTableEntry>* slot = &first;
  for (; rule; rule = rule->nextSibling()) {
    *slot = std::make_unique<UnifyTableEntry>();
    status = (*slot)->LoadFromXml(rule);
    if (!status.ok()) break;
    slot = &(*slot)->NextRuleSlot();
  }
  if (status.ok()) UnifyTable = std::move(first);
  else UnifyTable.reset();
  return status;
}

Status CServiceConfig::ReloadUnifyTable() {
  UnifierDocument.reset();
  UnifyTable.reset();
  QUOR_RETURN_IF_ERROR(LoadUnifierDirectory());
  return BuildUnifyTable(UnifierDocument);
}

}  // namespace quor::core
