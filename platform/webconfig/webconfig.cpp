#include "platform/webconfig/webconfig.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include "platform/base/unique_fd.h"
#include "platform/base/win32_error.h"
#include "platform/fs/fs.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"

namespace quor::webconfig {

namespace {

constexpr std::string_view kRegistryDefault = "/etc/quor/registry.reg";

bool HasControl(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// Text the file can hold as it is: UTF-8 without control characters.
bool Storable(std::string_view s) { return text::IsValidUtf8(s) && !HasControl(s); }

bool ValidSegment(std::string_view s) {
  return !s.empty() && s != "." && s != ".." && s.find_first_of("/\\") == std::string_view::npos && Storable(s);
}

bool ValidRelativeFolder(std::string_view s) {
  if (s.empty() || s.front() == '/') return false;
  for (const std::string& segment : text::Split(s, '/'))
    if (!ValidSegment(segment)) return false;
  return true;
}

bool ParseBool(std::string_view value, bool& out) {
  if (value == "true") out = true;
  else if (value == "false") out = false;
  else return false;
  return true;
}

const char* Bool(bool b) { return b ? "true" : "false"; }

Status Malformed(std::string why) { return Status(kMalformed, std::move(why)); }

// The attributes an element may have; anything else makes the file malformed.
Status OnlyAttributes(const xml::Node& e, std::initializer_list<std::string_view> allowed) {
  for (const xml::Attribute& a : e.attributes()) {
    if (std::find(allowed.begin(), allowed.end(), a.name) == allowed.end())
      return Malformed(text::Format("<%s> has an unknown attribute \"%s\".", e.nodeName(), a.name));
  }
  return {};
}

Status Required(const xml::Node& e, std::string_view name, std::string& out) {
  auto v = e.getAttribute(name);
  if (!v) return Malformed(text::Format("<%s> lacks the attribute \"%s\".", e.nodeName(), name));
  out = std::move(*v);
  return {};
}

Status OptionalBool(const xml::Node& e, std::string_view name, bool& out) {
  auto v = e.getAttribute(name);
  if (!v) return {};
  if (!ParseBool(*v, out))
    return Malformed(text::Format("<%s %s=\"%s\"> is neither true nor false.", e.nodeName(), name, *v));
  return {};
}

// Element children only; text between them must be white space.
Result<std::vector<xml::NodePtr>> Elements(const xml::Node& parent) {
  std::vector<xml::NodePtr> out;
  for (const xml::NodePtr& child : parent.childNodes()) {
    switch (child->nodeType()) {
      case xml::NodeType::Element: out.push_back(child); break;
      case xml::NodeType::Comment: break;
      case xml::NodeType::Text:
        if (!text::TrimAscii(child->text()).empty()) return Malformed(text::Format("<%s> holds text.", parent.nodeName()));
        break;
      default:
        return Malformed(text::Format("<%s> holds an unexpected node.", parent.nodeName()));
    }
  }
  return out;
}

Result<VirtualDirectory> ParseVirtualDirectory(const xml::Node& e) {
  VirtualDirectory vd;
  QUOR_RETURN_IF_ERROR(OnlyAttributes(e, {"name", "path"}));
  QUOR_RETURN_IF_ERROR(Required(e, "name", vd.name));
  QUOR_RETURN_IF_ERROR(Required(e, "path", vd.path));
  QUOR_ASSIGN_OR_RETURN(const std::vector<xml::NodePtr> children, Elements(e));
  for (const xml::NodePtr& c : children) {
    const std::string tag = c->nodeName();
    if (tag == "file") {
      FileSettings f;
      QUOR_RETURN_IF_ERROR(
          OnlyAttributes(*c, {"name", "anonymousUserName", "anonymousPasswordGiven", "anonymousPasswordSync"}));
      QUOR_RETURN_IF_ERROR(Required(*c, "name", f.name));
      QUOR_RETURN_IF_ERROR(OptionalBool(*c, "anonymousPasswordGiven", f.anonymousPasswordGiven));
      QUOR_RETURN_IF_ERROR(OptionalBool(*c, "anonymousPasswordSync", f.anonymousPasswordSync));
      f.anonymousUserName = c->getAttribute("anonymousUserName").value_or("");
      if (c->hasChildNodes()) return Malformed("<file> holds content.");
      vd.files.push_back(std::move(f));
    } else if (tag == "directory") {
      DirectorySettings d;
      QUOR_RETURN_IF_ERROR(OnlyAttributes(*c, {"name", "accessWrite"}));
      QUOR_RETURN_IF_ERROR(Required(*c, "name", d.name));
      QUOR_RETURN_IF_ERROR(OptionalBool(*c, "accessWrite", d.accessWrite));
      if (c->hasChildNodes()) return Malformed("<directory> holds content.");
      vd.directories.push_back(std::move(d));
    } else {
      return Malformed(text::Format("<virtualDirectory> holds an unknown element <%s>.", tag));
    }
  }
  return vd;
}

Result<Site> ParseSite(const xml::Node& e) {
  Site site;
  std::string number;
  QUOR_RETURN_IF_ERROR(OnlyAttributes(e, {"host", "number", "unload"}));
  QUOR_RETURN_IF_ERROR(Required(e, "host", site.host));
  QUOR_RETURN_IF_ERROR(Required(e, "number", number));
  const auto n = text::ParseUInt32(number);
  if (!n || !text::IsAsciiDigits(number))
    return Malformed(text::Format("The site number \"%s\" is not a number.", number));
  site.number = *n;
  if (auto u = e.getAttribute("unload")) {
    const auto count = text::ParseUInt64(*u);
    if (!count || !text::IsAsciiDigits(*u))
      return Malformed(text::Format("The unload count \"%s\" is not a number.", *u));
    site.unloadCount = *count;
  }
  QUOR_ASSIGN_OR_RETURN(const std::vector<xml::NodePtr> children, Elements(e));
  for (const xml::NodePtr& c : children) {
    const std::string tag = c->nodeName();
    if (tag == "scriptMap") {
      if (!c->attributes().empty()) return Malformed("<scriptMap> takes no attributes.");
      site.scriptMaps.push_back(c->text());
    } else if (tag == "virtualDirectory") {
      QUOR_ASSIGN_OR_RETURN(VirtualDirectory vd, ParseVirtualDirectory(*c));
      site.virtualDirectories.push_back(std::move(vd));
    } else {
      return Malformed(text::Format("<site> holds an unknown element <%s>.", tag));
    }
  }
  return site;
}

xml::NodePtr Element(xml::Document& doc, xml::Node& parent, std::string_view tag) {
  xml::NodePtr e = doc.createElement(tag);
  parent.appendChild(e);
  return e;
}

}  // namespace

// ---- Script maps -----------------------------------------------------------------

std::optional<ScriptMap> ScriptMap::Parse(std::string_view entry) {
  std::vector<std::string> fields = text::Split(entry, ',');
  if (fields.size() < 3) return std::nullopt;
  ScriptMap map;
  map.extension = std::string(text::TrimAscii(fields[0]));
  map.executable = std::string(text::TrimAscii(fields[1]));
  const std::string_view flags = text::TrimAscii(fields[2]);
  const auto n = text::ParseUInt32(flags);
  if (map.extension.empty() || !n || !text::IsAsciiDigits(flags))
    return std::nullopt;
  map.flags = *n;
  for (size_t i = 3; i < fields.size(); ++i)
    if (std::string_view verb = text::TrimAscii(fields[i]); !verb.empty()) map.verbs.emplace_back(verb);
  return map;
}

bool ScriptMap::Allows(std::string_view verb) const {
  return verbs.empty() || std::find(verbs.begin(), verbs.end(), verb) != verbs.end();
}

std::string ScriptMap::AllowHeader() const {
  std::string out;
  for (const std::string& v : verbs) out += (out.empty() ? "" : ", ") + v;
  return out;
}

// ---- Directories and sites ------------------------------------------------------

FileSettings* VirtualDirectory::FindFile(std::string_view fileName) {
  for (FileSettings& f : files)
    if (text::EqualsNoCase(f.name, fileName)) return &f;
  return nullptr;
}

const DirectorySettings* VirtualDirectory::FindDirectory(std::string_view folder) const {
  for (const DirectorySettings& d : directories)
    if (text::EqualsNoCase(d.name, folder)) return &d;
  return nullptr;
}

DirectorySettings& VirtualDirectory::EnsureDirectory(std::string_view folder) {
  for (DirectorySettings& d : directories)
    if (text::EqualsNoCase(d.name, folder)) return d;
  directories.push_back({std::string(folder), false});
  return directories.back();
}

bool VirtualDirectory::Writable(std::string_view relativeFolder) const {
  std::string_view f = relativeFolder;
  while (!f.empty() && f.front() == '/') f.remove_prefix(1);
  while (!f.empty() && f.back() == '/') f.remove_suffix(1);
  for (;;) {
    if (f.empty()) return false;  // the virtual directory itself is read-only
    if (const DirectorySettings* d = FindDirectory(f)) return d->accessWrite;
    const size_t slash = f.rfind('/');
    f = slash == std::string_view::npos ? std::string_view() : f.substr(0, slash);
  }
}

std::optional<ScriptMap> Site::FindScriptMap(std::string_view extension) const {
  for (const std::string& entry : scriptMaps) {
    std::optional<ScriptMap> map = ScriptMap::Parse(entry);
    if (map && text::EqualsNoCase(map->extension, extension)) return map;
  }
  return std::nullopt;
}

VirtualDirectory* Site::FindVirtualDirectory(std::string_view name) {
  for (VirtualDirectory& v : virtualDirectories)
    if (text::EqualsNoCase(v.name, name)) return &v;
  return nullptr;
}

const VirtualDirectory* Site::FindVirtualDirectory(std::string_view name) const {
  for (const VirtualDirectory& v : virtualDirectories)
    if (text::EqualsNoCase(v.name, name)) return &v;
  return nullptr;
}

bool Site::RemoveVirtualDirectory(std::string_view name) {
  const auto it = std::find_if(virtualDirectories.begin(), virtualDirectories.end(),
                               [&](const VirtualDirectory& v) { return text::EqualsNoCase(v.name, name); });
  if (it == virtualDirectories.end()) return false;
  virtualDirectories.erase(it);
  return true;
}

bool ParseSitePath(std::string_view path, std::string& host, uint32_t& number) {
  constexpr std::string_view kScheme = "IIS://";
  if (!text::StartsWithNoCase(path, kScheme)) return false;
  std::vector<std::string> parts = text::Split(path.substr(kScheme.size()), '/');
  if (parts.size() != 4 || parts[0].empty() || !text::EqualsNoCase(parts[1], "W3SVC") ||
      !text::EqualsNoCase(parts[3], "ROOT") || !text::IsAsciiDigits(parts[2]))
    return false;
  const auto n = text::ParseUInt32(parts[2]);
  if (!n || *n == 0) return false;
  host = parts[0];
  number = *n;
  return true;
}

// ---- The configuration ----------------------------------------------------------

Site* SiteConfig::Find(std::string_view host, uint32_t number) {
  for (Site& s : sites)
    if (s.number == number && text::EqualsNoCase(s.host, host)) return &s;
  return nullptr;
}

const Site* SiteConfig::Find(std::string_view host, uint32_t number) const {
  for (const Site& s : sites)
    if (s.number == number && text::EqualsNoCase(s.host, host)) return &s;
  return nullptr;
}

Site& SiteConfig::Ensure(std::string_view host, uint32_t number) {
  if (Site* s = Find(host, number)) return *s;
  Site site;
  site.host = std::string(host);
  site.number = number;
  sites.push_back(std::move(site));
  return sites.back();
}

Result<SiteConfig> SiteConfig::Parse(std::string_view xmlText) {
  xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(xmlText)) {
    const xml::ParseError& e = doc->parseError();
    return Malformed(text::Format("line %d: %s", static_cast<int64_t>(e.line), e.reason));
  }
  xml::NodePtr root = doc->documentElement();
  if (!root || root->nodeName() != "sites" || !root->attributes().empty())
    return Malformed("The document element is not <sites>.");
  QUOR_ASSIGN_OR_RETURN(const std::vector<xml::NodePtr> children, Elements(*root));
  SiteConfig out;
  for (const xml::NodePtr& c : children) {
    if (c->nodeName() != "site") return Malformed(text::Format("<sites> holds an unknown element <%s>.", c->nodeName()));
    QUOR_ASSIGN_OR_RETURN(Site site, ParseSite(*c));
    out.sites.push_back(std::move(site));
  }
  // What the file holds and an edit could not store is damage, not an edit.
  if (Status valid = out.Validate(); !valid.ok()) return Malformed(valid.message());
  return out;
}

Status SiteConfig::Validate() const {
  for (size_t i = 0; i < sites.size(); ++i) {
    const Site& s = sites[i];
    if (!ValidSegment(s.host) || s.host.find_first_of(" \t") != std::string::npos || s.number == 0) {
      return Status(kInvalid, text::Format("The site \"%s\" %u is not a host name and a number from 1.", s.host, uint64_t{s.number}));
    }
    for (size_t j = 0; j < i; ++j) {
      if (sites[j].number == s.number && text::EqualsNoCase(sites[j].host, s.host)) {
        return Status(kInvalid, text::Format("The site %s %u is there twice.", s.host, uint64_t{s.number}));
      }
    }
    for (const std::string& entry : s.scriptMaps) {
      if (!Storable(entry)) {
        return Status(kInvalid, "A script map holds control characters or is not UTF-8.");
      }
    }
    std::set<std::string> names;
    for (const VirtualDirectory& v : s.virtualDirectories) {
      if (!ValidSegment(v.name) || v.path.empty() || !Storable(v.path)) {
        return Status(kInvalid, text::Format("The virtual directory \"%s\" needs a one-segment name and a folder.", v.name));
      }
      if (!names.insert(text::ToLowerAscii(v.name)).second) {
        return Status(kInvalid, text::Format("The virtual directory \"%s\" is there twice.", v.name));
      }
      std::set<std::string> entries;
      for (const FileSettings& f : v.files) {
        if (!ValidSegment(f.name) || !Storable(f.anonymousUserName) || !entries.insert(text::ToLowerAscii(f.name)).second) {
          return Status(kInvalid, text::Format("The file setting \"%s\" is not a file name or is there twice.", f.name));
        }
      }
      entries.clear();
      for (const DirectorySettings& d : v.directories) {
        if (!ValidRelativeFolder(d.name) || !entries.insert(text::ToLowerAscii(d.name)).second) {
          return Status(kInvalid, text::Format("The folder setting \"%s\" is not a relative folder or is there twice.", d.name));
        }
      }
    }
  }
  return {};
}

std::string SiteConfig::Serialize() const {
  xml::DocumentPtr doc = xml::Document::Create();
  doc->appendChild(doc->createProcessingInstruction("xml", "version=\"1.0\" encoding=\"UTF-8\""));
  xml::NodePtr root = doc->createElement("sites");
  doc->appendChild(root);
  for (const Site& s : sites) {
    xml::NodePtr site = Element(*doc, *root, "site");
    site->setAttribute("host", s.host);
    site->setAttribute("number", std::to_string(s.number));
    site->setAttribute("unload", std::to_string(s.unloadCount));
    for (const std::string& entry : s.scriptMaps) Element(*doc, *site, "scriptMap")->setText(entry);
    for (const VirtualDirectory& v : s.virtualDirectories) {
      xml::NodePtr vd = Element(*doc, *site, "virtualDirectory");
      vd->setAttribute("name", v.name);
      vd->setAttribute("path", v.path);
      for (const FileSettings& f : v.files) {
        xml::NodePtr e = Element(*doc, *vd, "file");
        e->setAttribute("name", f.name);
        e->setAttribute("anonymousUserName", f.anonymousUserName);
        e->setAttribute("anonymousPasswordGiven", Bool(f.anonymousPasswordGiven));
        e->setAttribute("anonymousPasswordSync", Bool(f.anonymousPasswordSync));
      }
      for (const DirectorySettings& d : v.directories) {
        xml::NodePtr e = Element(*doc, *vd, "directory");
        e->setAttribute("name", d.name);
        e->setAttribute("accessWrite", Bool(d.accessWrite));
      }
    }
  }
  return doc->xml() + "\n";
}

// ---- The file ---------------------------------------------------------------------

std::filesystem::path DefaultPath() {
  if (const char* env = std::getenv("QUOR_SITE_CONFIG"); env && *env) return env;
  const char* reg = std::getenv("QUOR_REGISTRY");
  const std::filesystem::path registry(reg && *reg ? std::string_view(reg) : kRegistryDefault);
  return registry.parent_path() / "sites.xml";
}

namespace {

// The file's text; nothing when it is missing, which is not an error.
Result<std::optional<std::string>> ReadText(const std::filesystem::path& file) {
  Result<std::string> contents = fs::ReadFile(file.string());
  if (contents.ok()) return std::optional<std::string>(std::move(contents).value());
  const long rc = fs::Win32Error(contents.status());
  if (rc == ERROR_FILE_NOT_FOUND) return std::optional<std::string>();
  return Status(kUnreadable,
                text::Format("\"%s\" cannot be read (error %d).", file.string(), static_cast<int64_t>(rc)));
}

// The file's text read apart; its name leads the reason it is not.
Result<SiteConfig> ParseFile(const std::filesystem::path& file, std::string_view contents) {
  Result<SiteConfig> parsed = SiteConfig::Parse(contents);
  if (!parsed.ok())
    return Status(parsed.status().code(), text::Format("\"%s\": %s", file.string(), parsed.status().message()));
  return parsed;
}

}  // namespace

Result<SiteConfig> Load(const std::filesystem::path& file) {
  QUOR_ASSIGN_OR_RETURN(const std::optional<std::string> contents, ReadText(file));
  if (!contents) return SiteConfig();
  return ParseFile(file, *contents);
}

Status Update(const std::filesystem::path& file, const std::function<bool(SiteConfig&)>& edit) {
  const std::string lockPath = file.string() + ".lock";
  UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!lock.valid())
    return Status(kUnreadable, text::Format("\"%s\" cannot be opened: %s", lockPath, std::strerror(errno)));
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR)
      return Status(kUnreadable, text::Format("\"%s\" cannot be locked: %s", lockPath, std::strerror(errno)));
  }
  QUOR_ASSIGN_OR_RETURN(const std::optional<std::string> before, ReadText(file));
  SiteConfig config;
  if (before) {
    QUOR_ASSIGN_OR_RETURN(config, ParseFile(file, *before));
  }
  if (!edit(config)) return {};
  QUOR_RETURN_IF_ERROR(config.Validate());
  const std::string after = config.Serialize();
  if (before && after == *before) return {};
  if (const Status written = fs::WriteFileAtomic(file.string(), after); !written.ok())
    return Status(kWriteFailed, text::Format("\"%s\" cannot be written (error %d).", file.string(),
                                             static_cast<int64_t>(HRESULT_CODE(written.code()))));
  return {};
}

// ---- Watcher ------------------------------------------------------------------------

Watcher::Watcher(std::filesystem::path file) : file_(std::move(file)), current_(std::make_shared<SiteConfig>()) {}

Watcher::Identity Watcher::Look(const std::filesystem::path& file) {
  Identity id;
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return id;
  id.exists = true;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.size = static_cast<uint64_t>(st.st_size);
  id.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  id.ctimeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return id;
}

std::shared_ptr<const SiteConfig> Watcher::Current(Status* failure) {
  if (failure) *failure = Status();
  const Identity now = Look(file_);
  MutexLock lock(mutex_);
  if (seen_ && *seen_ == now) return current_;
  seen_ = now;
  Result<SiteConfig> loaded = Load(file_);
  if (!loaded.ok()) {
    if (failure) *failure = loaded.status();
    return current_;
  }
  current_ = std::make_shared<const SiteConfig>(std::move(loaded).value());
  return current_;
}

}  // namespace quor::webconfig
