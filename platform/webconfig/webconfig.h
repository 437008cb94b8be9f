// The web server's site configuration: what quor-server serves when it is
// told a site, written by SiteSetup.
//
// One XML file holds every site, known by host and number (the directory
// provider's "IIS://host/W3SVC/n/ROOT"). A site has script maps (text entries
// "extension,executable,flags,verbs"), virtual directories (a name and a
// folder) and, under a virtual directory, settings for single files (the
// anonymous account) and for folders (whether they may be written), and an
// unload counter that a removal bumps so a running server drops what it held.
//
// Passwords are never written to the file: a file setting only records
// whether one was given.
//
// The file is $QUOR_SITE_CONFIG, else "sites.xml" in the registry file's
// folder. Changes go through Update: under an exclusive lock on
// "<file>.lock" the file is read again, edited, and replaced atomically
// (temporary file in the same folder, flushed, renamed). A file that cannot
// be parsed is refused and never overwritten.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/thread_annotations.h"
#include "platform/base/win32_error.h"
#include "platform/com/status.h"

namespace quor::webconfig {

// The codes of a failing status; its message says why.
// The file exists but cannot be read, or the lock cannot be had.
inline constexpr HRESULT kUnreadable = HRESULT_FROM_WIN32(ERROR_READ_FAULT);
// The file is not a site configuration; it is left as it is.
inline constexpr HRESULT kMalformed = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
// An edit produced something the file cannot hold.
inline constexpr HRESULT kInvalid = E_INVALIDARG;
// The new file could not be written; the old one stands.
inline constexpr HRESULT kWriteFailed = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);

// One script-map entry read apart: ".sod,/path/listener,5,POST".
struct ScriptMap {
  std::string extension;  // ".sod"
  std::string executable;
  uint32_t flags = 0;
  std::vector<std::string> verbs;  // empty: every verb

  // The flag bit, as the web server defines it, that makes the map apply
  // only to files that exist (a request for a missing one is 404). The
  // other bits are kept as written.
  static constexpr uint32_t kCheckFileExists = 4;

  // Nothing when the entry has fewer than three fields or the flags are not a number.
  static std::optional<ScriptMap> Parse(std::string_view entry);
  bool RequiresFile() const { return (flags & kCheckFileExists) != 0; }
  // Whether `verb` may be used (exact case, as HTTP methods are).
  bool Allows(std::string_view verb) const;
  // The verbs for an Allow header ("GET, HEAD").
  std::string AllowHeader() const;
};

struct FileSettings {
  std::string name;
  std::string anonymousUserName;
  bool anonymousPasswordGiven = false;
  bool anonymousPasswordSync = false;
};

struct DirectorySettings {
  std::string name;  // relative to the virtual directory, '/' separated
  bool accessWrite = false;
};

struct VirtualDirectory {
  std::string name;  // one path segment; compares without case
  std::string path;  // the folder served
  std::vector<FileSettings> files;
  std::vector<DirectorySettings> directories;

  FileSettings* FindFile(std::string_view name);
  const DirectorySettings* FindDirectory(std::string_view name) const;
  DirectorySettings& EnsureDirectory(std::string_view name);
  // Whether a file may be written into the folder `relativeFolder` ("" for
  // the virtual directory itself): the nearest folder setting decides, none
  // means read-only.
  bool Writable(std::string_view relativeFolder) const;
};

struct Site {
  std::string host;  // compares without case
  uint32_t number = 0;
  uint64_t unloadCount = 0;
  std::vector<std::string> scriptMaps;  // entries as written
  std::vector<VirtualDirectory> virtualDirectories;

  // The entry whose extension field equals `extension` without case.
  std::optional<ScriptMap> FindScriptMap(std::string_view extension) const;
  VirtualDirectory* FindVirtualDirectory(std::string_view name);
  const VirtualDirectory* FindVirtualDirectory(std::string_view name) const;
  bool RemoveVirtualDirectory(std::string_view name);
};

// "IIS://host/W3SVC/n/ROOT" (scheme and "W3SVC"/"ROOT" without case) read
// apart; false when it is not such a path.
bool ParseSitePath(std::string_view path, std::string& host, uint32_t& number);

class SiteConfig {
 public:
  std::vector<Site> sites;

  Site* Find(std::string_view host, uint32_t number);
  const Site* Find(std::string_view host, uint32_t number) const;
  // The site, added empty when missing.
  Site& Ensure(std::string_view host, uint32_t number);

  // Reads the file's text. kMalformed with the reason on anything that is
  // not a valid configuration (unknown elements, missing or bad attributes,
  // two sites or directories of one name, ...).
  static Result<SiteConfig> Parse(std::string_view xmlText);
  // Checks what Serialize would write; kInvalid with the reason otherwise.
  Status Validate() const;
  // The file's text (the same configuration always gives the same bytes).
  std::string Serialize() const;
};

// $QUOR_SITE_CONFIG, else "sites.xml" beside the registry file.
std::filesystem::path DefaultPath();

// Reads the file; a missing file is an empty configuration.
Result<SiteConfig> Load(const std::filesystem::path& file);

// Reads, lets `edit` change the configuration and writes it back, all under
// the file's lock. `edit` answers false to abandon the change (nothing is
// written). The file is rewritten only when its text changes.
Status Update(const std::filesystem::path& file, const std::function<bool(SiteConfig&)>& edit);

// Follows the file for a reader that serves by it: Current() looks at the
// file's identity (a stat) and reads it again when it changed. A file that
// fails to load keeps the last good configuration; the failure is reported
// once per change through `failure`. Thread-safe.
class Watcher {
 public:
  explicit Watcher(std::filesystem::path file);
  // `failure` (may be null) gets why a changed file could not be loaded this
  // time; success otherwise.
  std::shared_ptr<const SiteConfig> Current(Status* failure = nullptr) QUOR_EXCLUDES(mutex_);
  const std::filesystem::path& Path() const { return file_; }

 private:
  struct Identity {
    bool exists = false;
    uint64_t device = 0, inode = 0, size = 0;
    int64_t mtimeNs = 0, ctimeNs = 0;
    bool operator==(const Identity&) const = default;
  };
  static Identity Look(const std::filesystem::path& file);

  std::filesystem::path file_;
  Mutex mutex_;
  std::optional<Identity> seen_ QUOR_GUARDED_BY(mutex_);
  std::shared_ptr<const SiteConfig> current_ QUOR_GUARDED_BY(mutex_);
};

}  // namespace quor::webconfig
