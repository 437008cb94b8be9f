// The service core's settings: the registry values under the service key, the
// default accessor binding, and the config, transform and unifier folders
// below the home folder with what is built from them.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/AuthAccessor.h"
#include "core/Caller.h"
#include "core/DataSourceDefinition.h"
#include "core/UnifyTable.h"
#include "platform/base/thread_annotations.h"
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

class CCollabDBConnectImpl;

// A write a store refused to make over existing data, kept until its client
// settles it: the forced operation and its argument values. The layout of the
// values depends on the operation (see ServiceConfig_Resume.cpp).
struct ResumeEntry {
  int64_t number = 0;
  com::Bstr key;  // "RESUME:<number>"
  com::Bstr operation;
  std::vector<com::Bstr> arguments;

  // The values naming the user who made the entry and the object's name; null
  // for a layout of no known operation.
  const com::Bstr* User() const;
  const com::Bstr* Name() const;
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

  // ---- The resume queue (process-wide; every call takes its lock) ----
  // Queues an entry and answers its key. Numbers come from one counter for
  // the life of the object: a key is never handed out twice.
  com::Bstr MakeResumeKey(std::u16string_view operation, std::vector<com::Bstr> arguments);
  std::optional<ResumeEntry> FindResumeEntry(const com::Bstr& key) const;
  // Settles an entry: flag "TRUE" (any case) replays its forced operation on
  // `collab`, any other flag drops it. Only the entry's own user or an
  // administrator may settle it; for anyone else the key does not exist. The
  // entry leaves the queue before the replay, so it is settled once; the
  // replay runs as the entry's user.
  Status ReplayResumeEntry(const Caller& caller, const com::Bstr& resumeID, const com::Bstr& flag, com::Bstr& result,
                           CCollabDBConnectImpl& collab);
  // "<root>" with a "resumelist" element (resumeID, method, name) per entry of
  // `user` (and of `name`, when one is given).
  Status GetResumeIDList(const com::Bstr& user, const com::Bstr& name, com::Bstr& result) const;

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
  // Set by the first component that needs it.
  std::unique_ptr<AuthAccessor> Auth;
  std::vector<com::Bstr> AdminUsers;
  std::vector<UserGroup> UserGroups;

 private:
  void ClearDefinitions();
  // Drops ConfigDocument and its text together.
  void DropConfigDocument();

  mutable Mutex resumeMutex_;
  std::list<ResumeEntry> resumeQueue_ QUOR_GUARDED_BY(resumeMutex_);
  int64_t nextResumeNumber_ QUOR_GUARDED_BY(resumeMutex_) = 0;
};

// Reads a text value of the service key (or of `key`) as the registry holds
// it, ending at its first NUL or at its real end. False when the key or the
// value is missing.
bool ReadServiceString(std::string_view key, std::string_view name, std::string& value);

}  // namespace quor::core
