// WinNT:// paths over the local account store.
//
//   WinNT://DOMAIN                the domain ("Domain"): its computer, users, groups
//   WinNT://COMPUTER              the computer ("Computer"): the same users and groups
//   WinNT://DOMAIN/COMPUTER       the computer again
//   WinNT://DOMAIN/alice          an account reached through the domain
//   WinNT://DOMAIN/COMPUTER/alice or through the computer
//   ...,user  ...,group  ...,Domain  ...,Computer   a class the object must have
//
// One store holds one domain and one computer, and every account belongs to
// both. Names compare without case. An object keeps the store as it was read
// when it was bound.

#include <algorithm>
#include <map>
#include <memory>

#include "platform/base/thread_annotations.h"
#include "platform/base/win32_error.h"
#include "platform/directory/accounts.h"
#include "platform/fs/fs.h"
#include "platform/directory/provider.h"
#include "platform/text/text.h"

namespace quor::dir::detail {
namespace {

enum class Kind { Domain, Computer, User, Group };

using StorePtr = std::shared_ptr<const AccountStore>;

std::string_view ClassName(Kind kind) {
  switch (kind) {
    case Kind::Domain: return "Domain";
    case Kind::Computer: return "Computer";
    case Kind::User: return "User";
    default: return "Group";
  }
}

HRESULT NotFound(HRESULT status, std::string text) {
  return Fail(status, static_cast<uint32_t>(HRESULT_CODE(status)), std::move(text), kWinNTProvider);
}

class WinNTObject final : public ObjectImpl {
 public:
  // `root`: the domain or computer name the object was reached through.
  WinNTObject(StorePtr store, Kind kind, std::string root, std::string name)
      : store_(std::move(store)), kind_(kind), root_(std::move(root)), name_(std::move(name)) {}

  Provider GetProvider() const override { return Provider::WinNT; }
  std::string Path() const override {
    if (kind_ == Kind::Domain) return "WinNT://" + store_->domain;
    if (kind_ == Kind::Computer) return "WinNT://" + store_->domain + "/" + store_->computer;
    return "WinNT://" + root_ + "/" + name_;
  }
  std::string Name() const override { return name_; }
  std::string Class() const override { return std::string(ClassName(kind_)); }
  std::string Parent() const override {
    if (kind_ == Kind::Domain) return "WinNT:";
    if (kind_ == Kind::Computer) return "WinNT://" + store_->domain;
    return "WinNT://" + root_;
  }

  HRESULT Get(std::string_view name, Property& out) const override {
    auto value = [&](std::string_view propertyName, const std::string& v) {
      out = Property{std::string(propertyName), AdsType::CaseIgnoreString, {v}};
      return S_OK;
    };
    if (text::EqualsNoCase(name, "Name")) return value("Name", name_);
    if (kind_ == Kind::User) {
      const AccountUser* user = store_->FindUser(name_);
      if (text::EqualsNoCase(name, "FullName")) return value("FullName", user->fullName);
      if (text::EqualsNoCase(name, "Description")) return value("Description", user->description);
    } else if (kind_ == Kind::Group) {
      if (text::EqualsNoCase(name, "Description")) return value("Description", store_->FindGroup(name_)->description);
    }
    return Fail(E_ADS_PROPERTY_NOT_FOUND, 0, text::Format("%s has no property %s", Path(), name), kWinNTProvider);
  }

  std::vector<std::string> PropertyNames() const override {
    if (kind_ == Kind::User) return {"Name", "FullName", "Description"};
    if (kind_ == Kind::Group) return {"Name", "Description"};
    return {"Name"};
  }

  HRESULT Children(std::span<const std::string> classFilter, std::vector<Object>& out) const override {
    if (kind_ != Kind::Domain && kind_ != Kind::Computer)
      return Fail(E_NOINTERFACE, 0, text::Format("%s is not a container", Path()), kWinNTProvider);
    auto wanted = [&](Kind kind) {
      return classFilter.empty() || std::any_of(classFilter.begin(), classFilter.end(), [&](const std::string& k) {
               return text::EqualsNoCase(k, ClassName(kind));
             });
    };
    if (kind_ == Kind::Domain && wanted(Kind::Computer))
      out.emplace_back(std::make_shared<WinNTObject>(store_, Kind::Computer, store_->domain, store_->computer));
    if (wanted(Kind::User))
      for (const auto& u : store_->users) out.push_back(Account(Kind::User, u.name));
    if (wanted(Kind::Group))
      for (const auto& g : store_->groups) out.push_back(Account(Kind::Group, g.name));
    return S_OK;
  }

  HRESULT Members(std::vector<Object>& out) const override {
    if (kind_ != Kind::Group) return NotGroup();
    for (const auto& member : store_->FindGroup(name_)->members) {
      if (const AccountUser* u = store_->FindUser(member))
        out.push_back(Account(Kind::User, u->name));
      else if (const AccountGroup* g = store_->FindGroup(member))
        out.push_back(Account(Kind::Group, g->name));
    }
    return S_OK;
  }

  HRESULT IsMember(std::string_view memberPath, bool& out) const override {
    if (kind_ != Kind::Group) return NotGroup();
    AdsPath path;
    if (AdsPath::Parse(memberPath, path) != S_OK || path.provider != Provider::WinNT || path.names.empty() ||
        !IsOurs(path.host))
      return S_OK;
    const std::string& name = path.names.back();
    const auto& members = store_->FindGroup(name_)->members;
    out = std::any_of(members.begin(), members.end(), [&](const std::string& m) { return text::EqualsNoCase(m, name); });
    return S_OK;
  }

  HRESULT Groups(std::vector<Object>& out) const override {
    if (kind_ != Kind::User && kind_ != Kind::Group)
      return Fail(E_NOINTERFACE, 0, text::Format("%s is not an account", Path()), kWinNTProvider);
    for (const auto& g : store_->groups) {
      if (std::any_of(g.members.begin(), g.members.end(),
                      [&](const std::string& m) { return text::EqualsNoCase(m, name_); }))
        out.push_back(Account(Kind::Group, g.name));
    }
    return S_OK;
  }

 private:
  Object Account(Kind kind, const std::string& name) const {
    const std::string& root = kind_ == Kind::Domain || kind_ == Kind::Computer ? name_ : root_;
    return Object(std::make_shared<WinNTObject>(store_, kind, root, name));
  }
  bool IsOurs(std::string_view host) const {
    return text::EqualsNoCase(host, store_->domain) || text::EqualsNoCase(host, store_->computer);
  }
  HRESULT NotGroup() const { return Fail(E_NOINTERFACE, 0, text::Format("%s is not a group", Path()), kWinNTProvider); }

  StorePtr store_;
  Kind kind_;
  std::string root_;
  std::string name_;
};

// Checks a credential against the store: realm\name, name@realm or name.
HRESULT CheckCredential(const AccountStore& store, const std::string& user, std::string_view password) {
  std::string name = user, realm;
  if (size_t slash = user.find('\\'); slash != std::string::npos) {
    realm = user.substr(0, slash);
    name = user.substr(slash + 1);
  } else if (size_t at = user.rfind('@'); at != std::string::npos) {
    name = user.substr(0, at);
    realm = user.substr(at + 1);
  }
  const bool realmOk =
      realm.empty() || text::EqualsNoCase(realm, store.domain) || text::EqualsNoCase(realm, store.computer);
  // The hash is computed whatever the realm, so that timing tells nothing.
  const bool ok = store.VerifyPassword(name, password) && realmOk;
  if (ok) return S_OK;
  return Fail(kLogonFailure, 1326, text::Format("%s: unknown user name or bad password", user), kWinNTProvider);
}

// The parsed account store, kept while its file holds the same text: every
// bind reads the file, but parses it only when it changed.
class StoreCache {
 public:
  Result<StorePtr> Load(const std::string& file) QUOR_EXCLUDES(mutex_) {
    Result<std::string> text = fs::ReadFile(file);
    if (text.ok()) {
      MutexLock lock(mutex_);
      if (auto it = kept_.find(file); it != kept_.end() && it->second.text == *text) return it->second.store;
    }
    // A file that cannot be read is loaded again for the load's own reasons.
    if (!text.ok()) {
      QUOR_ASSIGN_OR_RETURN(AccountStore loaded, LoadAccountStore(file));
      return StorePtr(std::make_shared<AccountStore>(std::move(loaded)));
    }
    Result<AccountStore> parsed = AccountStore::Parse(*text);
    if (!parsed.ok()) return Status(parsed.status().code(), file + ": " + parsed.status().message());
    auto store = std::make_shared<const AccountStore>(std::move(parsed).value());
    MutexLock lock(mutex_);
    kept_[file] = {std::move(*text), store};
    return StorePtr(std::move(store));
  }

 private:
  struct Kept {
    std::string text;
    StorePtr store;
  };
  Mutex mutex_;
  std::map<std::string, Kept> kept_ QUOR_GUARDED_BY(mutex_);
};

Result<StorePtr> LoadShared(const std::string& file) {
  static StoreCache cache;
  return cache.Load(file);
}

}  // namespace

HRESULT WinNTBind(const AdsPath& path, const std::string* user, std::string_view password, const Options& options,
                  Object& out) {
  const std::string file = options.accountStore.empty() ? DefaultAccountStorePath() : options.accountStore;
  Result<StorePtr> loaded = LoadShared(file);
  if (!loaded.ok()) {
    const long rc = AccountError(loaded.status());
    const HRESULT status = rc == ERROR_BADDB ? kBadAccountStore : rc == ERROR_FILE_NOT_FOUND ? kBadNetPath
                                                                                              : HRESULT_FROM_WIN32(rc);
    return Fail(status, static_cast<uint32_t>(rc), loaded.status().message(), kWinNTProvider);
  }
  const StorePtr store = std::move(loaded).value();
  if (user) {
    if (HRESULT hr = CheckCredential(*store, *user, password); FAILED(hr)) return hr;
  }

  const bool isDomain = text::EqualsNoCase(path.host, store->domain);
  const bool isComputer = text::EqualsNoCase(path.host, store->computer);
  if (!isDomain && !isComputer)
    return NotFound(kBadNetPath, text::Format("%s is neither the domain %s nor the computer %s", path.host,
                                              store->domain, store->computer));
  std::vector<std::string> names = path.names;
  std::string root = isDomain ? store->domain : store->computer;
  // WinNT://DOMAIN/COMPUTER/... goes through the computer.
  if (isDomain && !names.empty() && text::EqualsNoCase(names.front(), store->computer) &&
      (names.size() > 1 || (!store->FindUser(names.front()) && !store->FindGroup(names.front())))) {
    root = store->computer;
    names.erase(names.begin());
    if (names.empty()) {
      if (!path.className.empty() && !text::EqualsNoCase(path.className, "Computer"))
        return NotFound(E_ADS_UNKNOWN_OBJECT, text::Format("%s is a computer", path.ToString()));
      out = Object(std::make_shared<WinNTObject>(store, Kind::Computer, store->domain, store->computer));
      return S_OK;
    }
  }
  const std::string& cls = path.className;
  if (names.empty()) {
    Kind kind = isDomain && !(isComputer && text::EqualsNoCase(cls, "Computer")) ? Kind::Domain : Kind::Computer;
    if (!cls.empty() && !text::EqualsNoCase(cls, ClassName(kind)))
      return NotFound(kBadNetPath, text::Format("%s is not a %s", path.host, cls));
    out = Object(std::make_shared<WinNTObject>(store, kind, store->domain,
                                               kind == Kind::Domain ? store->domain : store->computer));
    return S_OK;
  }
  if (names.size() > 1) return NotFound(E_ADS_BAD_PATHNAME, text::Format("%s names nothing", path.ToString()));
  const std::string& name = names.front();
  const bool wantUser = cls.empty() || text::EqualsNoCase(cls, "user");
  const bool wantGroup = cls.empty() || text::EqualsNoCase(cls, "group");
  if (!wantUser && !wantGroup) return NotFound(E_ADS_BAD_PATHNAME, text::Format("unknown class %s", cls));
  if (const AccountUser* u = wantUser ? store->FindUser(name) : nullptr) {
    out = Object(std::make_shared<WinNTObject>(store, Kind::User, root, u->name));
    return S_OK;
  }
  if (const AccountGroup* g = wantGroup ? store->FindGroup(name) : nullptr) {
    out = Object(std::make_shared<WinNTObject>(store, Kind::Group, root, g->name));
    return S_OK;
  }
  return NotFound(wantUser ? kUserNotFound : kGroupNotFound,
                  text::Format("%s: no such %s", path.ToString(), wantUser ? "user" : "group"));
}

}  // namespace quor::dir::detail
