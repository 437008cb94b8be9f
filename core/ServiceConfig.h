// The service core's settings: the registry values under the service key, the
// default accessor binding, and the config, transform and unifier folders
// below the home folder with what is built from them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/DataSourceDefinition.h"
#include "core/UnifyTable.h"
#include "platform/com/bstr.h"
#include "platform/com/status.h"
#include "platform/xml/dom.h"

namespace quor::core {

// Log levels of the LogLevel value.
enum LogLevel : int32_t {
  LOGLEVEL_DEBUG = 0x01,
  LOGLEVEL_NONE = 0x20,
  LOGLEVEL_NORMAL = 0x40,
  LOGLEVEL_DETAIL = 0x80,
  LOGLEVEL_NOT_READ = 16,
};

inline constexpr std::string_view kServiceKey = "Software\\Velt\\QuorService";
inline constexpr std::string_view kUserGroupKey = "Software\\Velt\\QuorService\\UserGroup";

struct UserGroup {
  com::Bstr name;
  std::vector<com::Bstr> members;
};

// A file of the config folder that a load left out, and why.
struct SkippedConfigFile {
  std::string path;
  HRESULT status = S_OK;
};

class CServiceConfig {
 public:
  CServiceConfig();
  virtual ~CServiceConfig();
  CServiceConfig(const CServiceConfig&) = delete;
  CServiceConfig& operator=(const CServiceConfig&) = delete;

  // ---- Registry values (each read on first need and kept) ----
  const com::Bstr& ReadHomeDir();
  int ReadLogLevel();
  bool ReadAdminUsers();
  int ReadUserGroups();
  bool ReadCompressThreshold();
  // The memory answers held whole may take (AnswerMemoryMB, AllAnswersMemoryMB).
  static void ReadAnswerMemory();
  bool ReadAdminGroupName();
  // Names separated by ",": empty items dropped, leading blanks skipped.
  static std::vector<com::Bstr> SplitNameList(std::string_view text);

  // ---- The config folder ----
  // A bad file is left out (see SkippedConfigFiles) and the others are
  // loaded: 0 when at least one file loaded, else the first file's status.
  Status LoadConfigDirectory();
  Status BuildDataSourceDefinitions(const xml::DocumentPtr& document);
  Status ReloadConfig();

  // ---- The transform folder ----
  Status LoadTransformDirectory();
  Status ReloadTransform();

  // ---- The unifier folder ----
  Status LoadUnifierDirectory();
  Status BuildUnifyTable(const xml::DocumentPtr& document);
  Status ReloadUnifyTable();

  // The folder `name` below the home folder.
  std::string FolderPath(std::string_view name) const;

  // Takes `other`'s registry values and shares what its folders gave, so that
  // this configuration starts where `other` is without changing it.
  void ShareQueryParts(const CServiceConfig& other);
  // Whether this configuration holds a folder's contents that `other` lacks.
  bool HasMoreThan(const CServiceConfig& other) const;

  com::Bstr AdminGroupName;  // null: not read
  int32_t CompressThreshold = -1;
  int32_t LogLevel = LOGLEVEL_NOT_READ;
  com::Bstr DefaultAccessorMethod;
  com::Bstr DefaultAccessorProgID;
  // What the folders give is shared between configurations (see
  // ShareQueryParts) and never changed once loaded: a load or reload puts new
  // objects in place of the old ones.
  std::shared_ptr<const UnifyTableEntry> UnifyTable;
  std::vector<std::shared_ptr<DataSourceDefinition>> QueryDataSources;
  std::vector<std::shared_ptr<DataSourceDefinition>> RepositoryDefinitions;
  xml::DocumentPtr UnifierDocument;
  xml::DocumentPtr TransformDocument;
  xml::DocumentPtr ConfigDocument;
  // ConfigDocument's element as text, made with it: what a change or a
  // transaction hands the accessor. Null exactly when that element is; never
  // changed once made, so calls read it without a lock.
  std::shared_ptr<const com::Bstr> ConfigText;
  xml::DocumentPtr RepositoryDocument;
  // The files the load that made ConfigDocument left out, in folder order.
  std::vector<SkippedConfigFile> SkippedConfigFiles;
  com::Bstr HomeDir;  // null: not read
  std::string HomeDirAnsi;
  std::vector<com::Bstr> AdminUsers;
  std::vector<UserGroup> UserGroups;

 private:
  void ClearDefinitions();
  // Drops ConfigDocument and its text together.
  void DropConfigDocument();
};

// Reads a text value of the service key (or of `key`) as the registry holds
// it, ending at its first NUL or at its real end. False when the key or the
// value is missing.
bool ReadServiceString(std::string_view key, std::string_view name, std::string& value);

}  // namespace quor::core
