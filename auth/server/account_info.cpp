#include "auth/server/account_info.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "auth/server/directory_auth.h"
#include "auth/server/edge.h"
#include "auth/util/error.h"
#include "auth/util/lock.h"
#include "platform/directory/accounts.h"
#include "platform/directory/directory.h"
#include "platform/text/text.h"

namespace quor::auth {
namespace {

constexpr std::string_view kObjectClass = "objectClass";
constexpr std::string_view kAccountName = "sAMAccountName";
constexpr std::string_view kDistinguishedName = "distinguishedName";
// The provider's "end of the list" status during an enumeration.
constexpr HRESULT kNoMoreItems = static_cast<HRESULT>(0x800704BC);

template <typename Fn>
HRESULT Edge(Fn&& fn) {
  return OperationEdge(AccountInfo::kErrorSource, IAccountInfo::kIid, std::forward<Fn>(fn));
}

Status Failed(HRESULT code, std::string_view text = {}) { return util::Fail(code, kAccountInfoClsid, text); }
Status DirectoryFailed(HRESULT status) { return DirectoryFailure(status, kAccountInfoClsid); }

bool HasUsers(int32_t type) { return type == AccountTypeUser || type == AccountTypeAny; }
bool HasGroups(int32_t type) { return type == AccountTypeGroup || type == AccountTypeAny; }
Status CheckType(int32_t type) {
  if (type < AccountTypeUser || type > AccountTypeAny) return Failed(E_INVALIDARG);
  return {};
}

// ---- Query shapes and result rows ------------------------------------------------------

// One value per fetched attribute; absent values are null.
using Cell = std::optional<std::u16string>;
using Cells = std::vector<Cell>;

struct Query {
  std::vector<std::string> names;  // the requested attributes first, then the keys the walk needs
  size_t requested = 0;
  size_t classAt = 0;    // "objectClass"
  size_t accountAt = 0;  // "sAMAccountName"
  size_t dnAt = 0;       // "distinguishedName"
  bool ordered = false;
  bool descending = false;
  bool unique = false;
};

// A name list from a string, an array of strings or of variants, or a
// reference to one of them; E_INVALIDARG for anything else.
Result<std::vector<std::string>> AttributeNames(const com::Variant& attrs) {
  const com::VARTYPE type = attrs.Type();
  if (attrs.IsByRef()) {
    if (type != (com::VT_BYREF | com::VT_VARIANT) && type != (com::VT_BYREF | com::VT_ARRAY | com::VT_BSTR))
      return Failed(E_INVALIDARG);
    const com::Variant target = attrs.Dereferenced();
    if (target.IsByRef()) return Failed(E_INVALIDARG);
    return AttributeNames(target);
  }
  if (type == com::VT_BSTR) return std::vector<std::string>{attrs.GetBstr().ToUtf8()};
  if (type != (com::VT_ARRAY | com::VT_BSTR) && type != (com::VT_ARRAY | com::VT_VARIANT)) return Failed(E_INVALIDARG);
  const com::SafeArray& array = attrs.Array();
  if (array.Dimensions() != 1) return Failed(E_INVALIDARG);
  int32_t lower = 0, upper = -1;
  array.GetLBound(1, lower);
  array.GetUBound(1, upper);
  std::vector<std::string> names;
  for (int32_t i = lower; i <= upper; ++i) {
    com::Variant element;
    const int32_t index[1] = {i};
    if (FAILED(array.GetElement(index, element))) return Failed(E_INVALIDARG);
    // An element that is not a string names nothing.
    names.push_back(element.Type() == com::VT_BSTR ? element.GetBstr().ToUtf8() : std::string());
  }
  return names;
}

Result<Query> MakeQuery(AccountInfo::Kind kind, const com::Variant& attrs, int32_t ordering) {
  Query q;
  QUOR_ASSIGN_OR_RETURN(q.names, AttributeNames(attrs));
  if (kind == AccountInfo::Kind::WinNT)
    for (std::string& name : q.names)
      if (name == "displayName") name = "fullName";
  q.requested = q.names.size();
  auto position = [&](std::string_view name) {
    auto it = std::find(q.names.begin(), q.names.end(), name);
    if (it != q.names.end()) return static_cast<size_t>(it - q.names.begin());
    q.names.emplace_back(name);
    return q.names.size() - 1;
  };
  q.classAt = position(kObjectClass);
  q.accountAt = position(kAccountName);
  q.dnAt = position(kDistinguishedName);
  q.ordered = ordering != 0;
  q.descending = ordering < 0;
  q.unique = ordering == OrderingAscUniq || ordering == OrderingDescUniq;
  return q;
}

std::u16string_view Text(const Cell& cell) { return cell ? std::u16string_view(*cell) : std::u16string_view(); }

// The rows of one answer, kept in order while they come when ordering is on.
class Collector {
 public:
  explicit Collector(const Query& q) : q_(q) {}

  void Add(Cells row) {
    if (!q_.ordered) {
      rows_.push_back(std::move(row));
      return;
    }
    auto before = [&](const Cells& a, const Cells& b) { return Compare(a, b) < 0; };
    auto at = std::lower_bound(rows_.begin(), rows_.end(), row, before);
    if (q_.unique && at != rows_.end() && Compare(*at, row) == 0) return;
    rows_.insert(at, std::move(row));
  }

  // A two-dimensional array of strings, rows by requested attributes, or an
  // empty variant when nothing was found.
  Result<com::Variant> ToVariant() const {
    if (rows_.empty()) return com::Variant();
    com::SafeArray array(com::VT_BSTR, {0, static_cast<uint32_t>(rows_.size())},
                         {0, static_cast<uint32_t>(q_.requested)});
    for (size_t r = 0; r < rows_.size(); ++r) {
      for (size_t c = 0; c < q_.requested; ++c) {
        const int32_t index[2] = {static_cast<int32_t>(r), static_cast<int32_t>(c)};
        if (HRESULT hr = array.PutElement(index, com::Variant(com::Bstr(Text(rows_[r][c])))); FAILED(hr))
          return Failed(hr);
      }
    }
    return com::Variant(std::move(array));
  }

 private:
  int Compare(const Cells& a, const Cells& b) const {
    int c = Text(a[q_.classAt]).compare(Text(b[q_.classAt]));
    if (c == 0) c = Text(a[q_.accountAt]).compare(Text(b[q_.accountAt]));
    c = c < 0 ? -1 : c > 0 ? 1 : 0;
    return q_.descending ? -c : c;
  }

  const Query& q_;
  std::vector<Cells> rows_;
};

// Which groups a walk has entered, with the depth left when it did, and
// which accounts it has reported: cycles end and nobody is listed twice.
class Walked {
 public:
  // True when `key` is to be walked with `depth` levels left: not walked
  // yet, or walked with fewer levels left (a limited walk may reach a group
  // again on a shorter path).
  bool Enter(const std::string& key, int32_t depth) {
    auto [it, fresh] = entered_.emplace(key, depth);
    if (fresh) return true;
    if (it->second < 0 || depth <= it->second) return false;
    it->second = depth;
    return true;
  }
  bool FirstReport(const std::string& key) { return reported_.insert(key).second; }

 private:
  std::map<std::string, int32_t> entered_;
  std::set<std::string> reported_;
};

int32_t Lowered(int32_t depth) { return depth > 0 ? depth - 1 : depth; }

// ---- LDAP ------------------------------------------------------------------------------

Result<std::string> TypeFilter(int32_t type) {
  switch (type) {
    case AccountTypeUser: return std::string("(objectCategory=person)(objectClass=user)");
    case AccountTypeGroup: return std::string("(objectCategory=group)");
    case AccountTypeAny: return std::string("(|(&(objectCategory=person)(objectClass=user))(objectCategory=group))");
    default: return Failed(E_INVALIDARG);
  }
}

// A column's value as text: strings as they are, booleans "True"/"False",
// integers in unsigned decimal (as the directory's 32-bit values), anything
// else empty. A multi-valued column gives its last value.
std::u16string ValueText(const dir::Property& p) {
  if (p.values.empty()) return {};
  const size_t last = p.values.size() - 1;
  if (p.IsString()) return text::Widen(p.values[last]);
  if (p.type == dir::AdsType::Boolean) {
    std::optional<bool> b = p.AsBool(last);
    return b ? (*b ? u"True" : u"False") : u"";
  }
  if (p.type == dir::AdsType::Integer) {
    std::optional<int64_t> n = p.AsInteger(last);
    return n ? text::Widen(text::Format("%u", static_cast<uint32_t>(*n))) : u"";
  }
  return {};
}

class LdapRoot {
 public:
  static Result<LdapRoot> Open(const std::string& path, const std::u16string& nameAttr) {
    LdapRoot root(nameAttr);
    if (HRESULT hr = dir::GetObject(path, root.root_); FAILED(hr)) return DirectoryFailed(hr);
    return root;
  }

  const std::string& NameAttr() const { return nameAttr_; }

  // The accounts of `type` whose `attribute` equals `value` (already
  // escaped for the filter), with the attributes `names`.
  Result<std::vector<Cells>> Search(int32_t type, std::string_view attribute, std::string_view value,
                                    const std::vector<std::string>& names) const {
    QUOR_ASSIGN_OR_RETURN(const std::string typeFilter, TypeFilter(type));
    const std::string filter = "(&" + typeFilter + "(" + std::string(attribute) + "=" + std::string(value) + "))";
    std::vector<std::string> wanted;
    for (const std::string& name : names)
      if (!name.empty() && std::none_of(wanted.begin(), wanted.end(),
                                        [&](const std::string& w) { return text::EqualsNoCase(w, name); }))
        wanted.push_back(name);
    dir::SearchOptions options;
    options.scope = dir::Scope::Subtree;
    options.pageSize = 100;
    std::vector<dir::Row> rows;
    if (HRESULT hr = root_.Search(filter, wanted, options, rows); FAILED(hr)) return DirectoryFailed(hr);
    std::vector<Cells> out;
    out.reserve(rows.size());
    for (const dir::Row& row : rows) {
      Cells cells(names.size());
      for (size_t i = 0; i < names.size(); ++i) {
        dir::Property p;
        if (!names[i].empty() && row.GetColumn(names[i], p) == S_OK) cells[i] = ValueText(p);
      }
      out.push_back(std::move(cells));
    }
    return out;
  }

  Result<std::vector<Cells>> ByName(int32_t type, std::u16string_view name,
                                    const std::vector<std::string>& names) const {
    return Search(type, nameAttr_, dir::EscapeFilterValue(text::Narrow(name)), names);
  }

  // The DN of the one account of `type` with that name.
  Result<std::string> DistinguishedName(std::u16string_view name, int32_t type) const {
    const std::vector<std::string> names = {std::string(kDistinguishedName)};
    QUOR_ASSIGN_OR_RETURN(const std::vector<Cells> rows, ByName(type, name, names));
    if (rows.size() != 1 || !rows[0][0]) return Failed(dir::E_ADS_UNKNOWN_OBJECT, "Distinguished Name Unknown");
    return text::Narrow(*rows[0][0]);
  }

  // Down ("memberOf": the members of `dn`) or up ("member": the groups that
  // list `dn`), `depth` levels (negative: all). Accounts are reported once,
  // groups entered once.
  Status Walk(const std::string& dn, std::string_view attribute, int32_t type, int32_t depth, const Query& q,
              Collector& out, Walked& walked) const {
    walked.Enter(Key(dn), depth);
    depth = Lowered(depth);
    // Groups are needed to go further down even when not asked for.
    const int32_t searched = depth != 0 && attribute == "memberOf" && type == AccountTypeUser ? AccountTypeAny : type;
    QUOR_ASSIGN_OR_RETURN(std::vector<Cells> rows, Search(searched, attribute, dir::EscapeFilterValue(dn), q.names));
    for (Cells& row : rows) {
      const std::string rowDn = text::Narrow(Text(row[q.dnAt]));
      const bool group = Text(row[q.classAt]) == u"group";
      const bool report = !group || HasGroups(type);
      if (report && walked.FirstReport(Key(rowDn))) out.Add(row);
      if (group && depth != 0 && !rowDn.empty() && walked.Enter(Key(rowDn), depth))
        QUOR_RETURN_IF_ERROR(Walk(rowDn, attribute, type, depth, q, out, walked));
    }
    return {};
  }

  // Whether `accountDn` reaches `groupDn` going up through its groups.
  Result<bool> Reaches(const std::string& accountDn, const std::string& groupDn, int32_t depth, Walked& walked) const {
    walked.Enter(Key(accountDn), depth);
    depth = Lowered(depth);
    const std::vector<std::string> names = {std::string(kDistinguishedName)};
    QUOR_ASSIGN_OR_RETURN(const std::vector<Cells> rows,
                          Search(AccountTypeGroup, "member", dir::EscapeFilterValue(accountDn), names));
    for (const Cells& row : rows) {
      const std::string dn = text::Narrow(Text(row[0]));
      if (dir::DnEquals(dn, groupDn)) return true;
      if (depth != 0 && !dn.empty() && walked.Enter(Key(dn), depth)) {
        QUOR_ASSIGN_OR_RETURN(const bool reached, Reaches(dn, groupDn, depth, walked));
        if (reached) return true;
      }
    }
    return false;
  }

 private:
  explicit LdapRoot(const std::u16string& nameAttr) : nameAttr_(text::Narrow(nameAttr)) {}

  static std::string Key(const std::string& dn) { return text::ToLowerAscii(dn); }

  dir::Object root_;
  std::string nameAttr_;
};

// ---- WinNT -----------------------------------------------------------------------------

std::string StoreFile() {
  dir::Options options = dir::Options::FromRegistry();
  return options.accountStore.empty() ? dir::DefaultAccountStorePath() : options.accountStore;
}

// The groups of a WinNT root, for the process. Kept per root path and per
// state of the account store file, so a changed store is read again.
class GroupCache {
 public:
  static GroupCache& Instance() {
    static GroupCache cache;
    return cache;
  }

  Result<std::vector<dir::Object>> Groups(const std::string& rootPath) QUOR_EXCLUDES(lock_) {
    const std::string file = StoreFile();
    struct stat st {};
    const bool exists = ::stat(file.c_str(), &st) == 0;
    const Stamp stamp{rootPath, file, exists ? st.st_mtim.tv_sec : 0, exists ? st.st_mtim.tv_nsec : 0,
                      exists ? st.st_size : -1};
    util::CriticalSectionLock guard(lock_);
    if (!filled_ || !(stamp == stamp_)) {
      dir::Object root;
      if (HRESULT hr = dir::GetObject(rootPath, root); FAILED(hr)) return DirectoryFailed(hr);
      const std::string group = "group";
      std::vector<dir::Object> groups;
      if (HRESULT hr = root.Children(std::span(&group, 1), groups); FAILED(hr)) return DirectoryFailed(hr);
      groups_ = std::move(groups);
      stamp_ = stamp;
      filled_ = true;
    }
    return groups_;
  }

 private:
  struct Stamp {
    std::string rootPath;
    std::string file;
    int64_t seconds = 0;
    int64_t nanoseconds = 0;
    int64_t size = 0;
    bool operator==(const Stamp&) const = default;
  };

  util::CriticalSection lock_;
  bool filled_ QUOR_GUARDED_BY(lock_) = false;
  Stamp stamp_ QUOR_GUARDED_BY(lock_);
  std::vector<dir::Object> groups_ QUOR_GUARDED_BY(lock_);
};

class WinNTRoot {
 public:
  WinNTRoot(const std::string& path, const std::u16string& nameAttr) : path_(path), nameAttr_(text::Narrow(nameAttr)) {}

  // The account `name` of `type` (3: either), bound as the service.
  Result<dir::Object> Bind(std::u16string_view name, int32_t type) const {
    QUOR_RETURN_IF_ERROR(CheckType(type));
    const std::string narrow = text::Narrow(name);
    // A name cannot hold the path's own separators.
    if (narrow.empty() || narrow.find_first_of("/,") != std::string::npos)
      return Failed(dir::E_ADS_BAD_PATHNAME, "Invalid Account Name");
    std::string path = path_ + "/" + narrow;
    if (type == AccountTypeUser) path += ",user";
    if (type == AccountTypeGroup) path += ",group";
    dir::Object object;
    if (HRESULT hr = dir::GetObject(path, object); FAILED(hr)) return DirectoryFailed(hr);
    return object;
  }

  Result<dir::Object> Root() const {
    dir::Object root;
    if (HRESULT hr = dir::GetObject(path_, root); FAILED(hr)) return DirectoryFailed(hr);
    return root;
  }

  Result<Cells> Row(const dir::Object& object, const Query& q) const {
    Cells cells(q.names.size());
    for (size_t i = 0; i < q.names.size(); ++i) {
      const std::string& name = q.names[i];
      if (name.empty()) continue;
      if (name == nameAttr_) {
        cells[i] = text::Widen(object.Name());
      } else if (name == kObjectClass) {
        cells[i] = text::Widen(object.Class());
      } else {
        dir::Property p;
        const HRESULT hr = object.Get(name, p);
        if (hr == dir::E_ADS_PROPERTY_NOT_FOUND || hr == kNoMoreItems) continue;
        if (FAILED(hr)) return DirectoryFailed(hr);
        cells[i] = ValueText(p);
      }
    }
    return cells;
  }

  static Result<std::vector<dir::Object>> Members(const dir::Object& group) {
    std::vector<dir::Object> members;
    const HRESULT hr = group.Members(members);
    if (hr == kNoMoreItems) return std::vector<dir::Object>();
    if (FAILED(hr)) return DirectoryFailed(hr);
    return members;
  }

  // The members of `group`, `depth` levels down.
  Status WalkMembers(const dir::Object& group, int32_t type, int32_t depth, const Query& q, Collector& out,
                     Walked& walked) const {
    walked.Enter(Key(group), depth);
    depth = Lowered(depth);
    QUOR_ASSIGN_OR_RETURN(const std::vector<dir::Object> members, Members(group));
    for (const dir::Object& member : members) {
      const bool user = text::EqualsNoCase(member.Class(), "user");
      if ((user ? HasUsers(type) : HasGroups(type)) && walked.FirstReport(Key(member))) {
        QUOR_ASSIGN_OR_RETURN(Cells row, Row(member, q));
        out.Add(std::move(row));
      }
      if (!user && depth != 0 && walked.Enter(Key(member), depth))
        QUOR_RETURN_IF_ERROR(WalkMembers(member, type, depth, q, out, walked));
    }
    return {};
  }

  // The groups `account` belongs to, `depth` levels up.
  Status WalkGroups(const dir::Object& account, int32_t depth, const Query& q, Collector& out, Walked& walked) const {
    walked.Enter(Key(account), depth);
    depth = Lowered(depth);
    std::vector<dir::Object> groups;
    if (!text::EqualsNoCase(account.Class(), "group")) {
      if (HRESULT hr = account.Groups(groups); FAILED(hr) && hr != kNoMoreItems) return DirectoryFailed(hr);
    } else {
      const std::string path = account.Path();
      QUOR_ASSIGN_OR_RETURN(const std::vector<dir::Object> candidates, GroupCache::Instance().Groups(path_));
      for (const dir::Object& candidate : candidates) {
        bool member = false;
        if (HRESULT hr = candidate.IsMember(path, member); FAILED(hr)) return DirectoryFailed(hr);
        if (member) groups.push_back(candidate);
      }
    }
    for (const dir::Object& group : groups) {
      if (walked.FirstReport(Key(group))) {
        QUOR_ASSIGN_OR_RETURN(Cells row, Row(group, q));
        out.Add(std::move(row));
      }
      if (depth != 0 && walked.Enter(Key(group), depth)) QUOR_RETURN_IF_ERROR(WalkGroups(group, depth, q, out, walked));
    }
    return {};
  }

  // Whether `accountPath` is a member of `group` within `depth` levels.
  Result<bool> Contains(const dir::Object& group, const std::string& accountPath, int32_t depth,
                        Walked& walked) const {
    walked.Enter(Key(group), depth);
    depth = Lowered(depth);
    bool member = false;
    if (HRESULT hr = group.IsMember(accountPath, member); FAILED(hr)) return DirectoryFailed(hr);
    if (member) return true;
    if (depth == 0) return false;
    QUOR_ASSIGN_OR_RETURN(const std::vector<dir::Object> members, Members(group));
    for (const dir::Object& inner : members) {
      if (text::EqualsNoCase(inner.Class(), "group") && walked.Enter(Key(inner), depth)) {
        QUOR_ASSIGN_OR_RETURN(const bool contained, Contains(inner, accountPath, depth, walked));
        if (contained) return true;
      }
    }
    return false;
  }

 private:
  // Account names compare without case; a user and a group never share one.
  static std::string Key(const dir::Object& object) { return text::ToLowerAscii(object.Name()); }

  std::string path_;
  std::string nameAttr_;
};

// `pattern` with "*" for any run of characters, matched case-sensitively.
bool MatchesPattern(std::u16string_view name, std::u16string_view pattern) {
  if (pattern == u"*") return true;
  std::vector<std::u16string_view> parts;
  for (size_t from = 0;;) {
    const size_t star = pattern.find(u'*', from);
    parts.push_back(pattern.substr(from, star == std::u16string_view::npos ? std::u16string_view::npos : star - from));
    if (star == std::u16string_view::npos) break;
    from = star + 1;
  }
  if (parts.size() == 1) return name == pattern;
  if (!name.starts_with(parts.front())) return false;
  size_t at = parts.front().size();
  for (size_t i = 1; i + 1 < parts.size(); ++i) {
    const size_t found = name.find(parts[i], at);
    if (found == std::u16string_view::npos) return false;
    at = found + parts[i].size();
  }
  return name.size() - at >= parts.back().size() && name.ends_with(parts.back());
}

bool IsAttributeName(std::u16string_view name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' ||
           c == u';' || c == u'.';
  });
}

}  // namespace

AccountInfo::AccountInfo(ServiceConfig& config) {
  const std::u16string context = config.DefaultAuthority();
  // No usable default: the object has no root context until one is set.
  if (!context.empty()) SetRoot(context).Ignore();
  com::ClearErrorInfo();
}

Status AccountInfo::SetRoot(std::u16string_view context) {
  const Authority authority = Authority::Parse(context);
  if (authority.scheme.empty() || authority.host.empty()) return Failed(E_INVALIDARG);
  if (authority.IsLdap()) {
    QUOR_ASSIGN_OR_RETURN(const std::u16string container, authority.LdapContainerPath(kAccountInfoClsid));
    const std::string path = text::Narrow(container);
    dir::Object root;
    if (HRESULT hr = dir::GetObject(path, root); FAILED(hr)) return DirectoryFailed(hr);
    kind_ = Kind::Ldap;
    rootPath_ = path;
    rootClass_ = root.Class();
  } else if (authority.IsWinNT()) {
    // The account store knows whether the name is its domain or its
    // computer; the object bound says which.
    const std::u16string target = authority.host.substr(0, authority.host.find(u','));
    const std::string path = "WinNT://" + text::Narrow(target);
    dir::Object root;
    if (HRESULT hr = dir::GetObject(path, root); FAILED(hr)) return DirectoryFailed(hr);
    if (root.Class() != "Domain" && root.Class() != "Computer") return Failed(E_INVALIDARG);
    kind_ = Kind::WinNT;
    rootPath_ = path;
    rootClass_ = root.Class();
  } else {
    return Failed(E_INVALIDARG);
  }
  rootContext_ = std::u16string(context);
  return {};
}

HRESULT AccountInfo::GetRootContext(com::Bstr* pVal) {
  return Edge([&]() -> Status {
    if (!pVal) return Status(E_POINTER);
    *pVal = com::Bstr(rootContext_);
    return {};
  });
}

HRESULT AccountInfo::PutRootContext(const com::Bstr& newVal) {
  return Edge([&] { return SetRoot(newVal.View()); });
}

HRESULT AccountInfo::GetNameAttr(com::Bstr* pVal) {
  return Edge([&]() -> Status {
    if (!pVal) return Status(E_POINTER);
    *pVal = com::Bstr(nameAttr_);
    return {};
  });
}

HRESULT AccountInfo::PutNameAttr(const com::Bstr& newVal) {
  return Edge([&]() -> Status {
    // The name goes into search filters: only an attribute name is taken.
    if (!IsAttributeName(newVal.View())) return Status(E_INVALIDARG);
    nameAttr_ = newVal.Str();
    nameIsDn_ = nameAttr_ == u"distinguishedName";
    return {};
  });
}

namespace {

Status NoRoot() { return Failed(E_UNEXPECTED, "Root Context Not Set"); }

}  // namespace

HRESULT AccountInfo::GetAccountType(const com::Bstr& accountName, com::Bstr* accountType) {
  return Edge([&]() -> Status {
    if (!accountType) return Status(E_POINTER);
    if (kind_ == Kind::Ldap) {
      const std::vector<std::string> names = {std::string(kObjectClass)};
      QUOR_ASSIGN_OR_RETURN(const LdapRoot root, LdapRoot::Open(rootPath_, nameAttr_));
      QUOR_ASSIGN_OR_RETURN(const std::vector<Cells> rows, root.ByName(AccountTypeAny, accountName.View(), names));
      if (rows.size() != 1) return Failed(dir::E_ADS_UNKNOWN_OBJECT, "Account Type Unknown");
      *accountType = com::Bstr(Text(rows[0][0]));
    } else if (kind_ == Kind::WinNT) {
      QUOR_ASSIGN_OR_RETURN(const dir::Object account,
                            WinNTRoot(rootPath_, nameAttr_).Bind(accountName.View(), AccountTypeAny));
      *accountType = com::Bstr::FromUtf8(account.Class());
    } else {
      return NoRoot();
    }
    return {};
  });
}

HRESULT AccountInfo::GetAttributes(const com::Bstr& accountName, const com::Variant& queryAttrs,
                                   com::Variant* attributes) {
  return Edge([&]() -> Status {
    if (!attributes) return Status(E_POINTER);
    if (kind_ == Kind::None) return NoRoot();
    QUOR_ASSIGN_OR_RETURN(const Query q, MakeQuery(kind_, queryAttrs, OrderingNone));
    Cells row;
    if (kind_ == Kind::Ldap) {
      QUOR_ASSIGN_OR_RETURN(const LdapRoot root, LdapRoot::Open(rootPath_, nameAttr_));
      QUOR_ASSIGN_OR_RETURN(std::vector<Cells> rows, root.ByName(AccountTypeAny, accountName.View(), q.names));
      if (rows.size() != 1) return Failed(E_FAIL, "Not Found Attributes");
      row = std::move(rows[0]);
    } else {
      const WinNTRoot root(rootPath_, nameAttr_);
      QUOR_ASSIGN_OR_RETURN(const dir::Object account, root.Bind(accountName.View(), AccountTypeAny));
      QUOR_ASSIGN_OR_RETURN(row, root.Row(account, q));
    }
    com::SafeArray array(com::VT_VARIANT, {0, static_cast<uint32_t>(q.requested)});
    for (size_t i = 0; i < q.requested; ++i) {
      const int32_t index[1] = {static_cast<int32_t>(i)};
      if (HRESULT hr = array.PutElement(index, row[i] ? com::Variant(com::Bstr(*row[i])) : com::Variant()); FAILED(hr))
        return Failed(hr);
    }
    *attributes = com::Variant(std::move(array));
    return {};
  });
}

HRESULT AccountInfo::ListMember(const com::Bstr& groupName, int32_t accountType, const com::Variant& queryAttrs,
                                int32_t depth, int32_t ordering, com::Variant* memberList) {
  return Edge([&]() -> Status {
    return ListAccounts(Direction::Members, groupName, accountType, queryAttrs, depth, ordering, memberList);
  });
}

HRESULT AccountInfo::ListGroup(const com::Bstr& accountName, const com::Variant& queryAttrs, int32_t depth,
                               int32_t ordering, com::Variant* groupList) {
  return Edge([&]() -> Status {
    return ListAccounts(Direction::Groups, accountName, AccountTypeGroup, queryAttrs, depth, ordering, groupList);
  });
}

Status AccountInfo::ListAccounts(Direction direction, const com::Bstr& name, int32_t accountType,
                                 const com::Variant& queryAttrs, int32_t depth, int32_t ordering, com::Variant* list) {
  if (!list) return Status(E_POINTER);
  *list = com::Variant();
  if (kind_ == Kind::None) return NoRoot();
  const bool members = direction == Direction::Members;
  // Only the members asked for have a type; an account's groups are groups.
  if (members) QUOR_RETURN_IF_ERROR(CheckType(accountType));
  QUOR_ASSIGN_OR_RETURN(const Query q, MakeQuery(kind_, queryAttrs, ordering));
  Collector out(q);
  Walked walked;
  const int32_t nameType = members ? AccountTypeGroup : AccountTypeAny;
  if (kind_ == Kind::Ldap) {
    QUOR_ASSIGN_OR_RETURN(const LdapRoot root, LdapRoot::Open(rootPath_, nameAttr_));
    std::string dn;
    if (nameIsDn_ && depth != 0) {
      dn = name.ToUtf8();
    } else {
      QUOR_ASSIGN_OR_RETURN(dn, root.DistinguishedName(name.View(), nameType));
    }
    // A group's members name it in memberOf; an account's groups name it in member.
    if (depth != 0)
      QUOR_RETURN_IF_ERROR(members ? root.Walk(dn, "memberOf", accountType, depth, q, out, walked)
                                   : root.Walk(dn, "member", AccountTypeGroup, depth, q, out, walked));
  } else {
    const WinNTRoot root(rootPath_, nameAttr_);
    QUOR_ASSIGN_OR_RETURN(const dir::Object start, root.Bind(name.View(), nameType));
    if (depth != 0)
      QUOR_RETURN_IF_ERROR(members ? root.WalkMembers(start, accountType, depth, q, out, walked)
                                   : root.WalkGroups(start, depth, q, out, walked));
  }
  QUOR_ASSIGN_OR_RETURN(*list, out.ToVariant());
  return {};
}

HRESULT AccountInfo::Lookup(const com::Bstr& accountName, int32_t accountType, const com::Variant& queryAttrs,
                            int32_t ordering, com::Variant* accountList) {
  return Edge([&]() -> Status {
    if (!accountList) return Status(E_POINTER);
    *accountList = com::Variant();
    if (kind_ == Kind::None) return NoRoot();
    QUOR_RETURN_IF_ERROR(CheckType(accountType));
    QUOR_ASSIGN_OR_RETURN(const Query q, MakeQuery(kind_, queryAttrs, ordering));
    Collector out(q);
    if (kind_ == Kind::Ldap) {
      QUOR_ASSIGN_OR_RETURN(const LdapRoot root, LdapRoot::Open(rootPath_, nameAttr_));
      // The one place where "*" keeps its meaning: everything else in the
      // name is literal.
      QUOR_ASSIGN_OR_RETURN(std::vector<Cells> rows,
                            root.Search(accountType, root.NameAttr(), dir::EscapeFilterPattern(accountName.ToUtf8()),
                                        q.names));
      for (Cells& row : rows) out.Add(std::move(row));
    } else {
      const WinNTRoot root(rootPath_, nameAttr_);
      std::vector<std::string> classes;
      if (HasUsers(accountType)) classes.emplace_back("user");
      if (HasGroups(accountType)) classes.emplace_back("group");
      std::vector<dir::Object> children;
      QUOR_ASSIGN_OR_RETURN(const dir::Object top, root.Root());
      if (HRESULT hr = top.Children(classes, children); FAILED(hr)) return DirectoryFailed(hr);
      for (const dir::Object& child : children) {
        if (MatchesPattern(text::Widen(child.Name()), accountName.View())) {
          QUOR_ASSIGN_OR_RETURN(Cells row, root.Row(child, q));
          out.Add(std::move(row));
        }
      }
    }
    QUOR_ASSIGN_OR_RETURN(*accountList, out.ToVariant());
    return {};
  });
}

HRESULT AccountInfo::IsMember(const com::Bstr& groupName, const com::Bstr& accountName, int32_t depth,
                              int32_t* isMember) {
  return Edge([&]() -> Status {
    if (!isMember) return Status(E_POINTER);
    *isMember = 0;
    if (kind_ == Kind::None) return NoRoot();
    Walked walked;
    bool found = false;
    if (kind_ == Kind::Ldap) {
      QUOR_ASSIGN_OR_RETURN(const LdapRoot root, LdapRoot::Open(rootPath_, nameAttr_));
      const bool given = nameIsDn_ && depth != 0;
      std::string group, account;
      if (given) {
        group = groupName.ToUtf8();
        account = accountName.ToUtf8();
      } else {
        QUOR_ASSIGN_OR_RETURN(group, root.DistinguishedName(groupName.View(), AccountTypeGroup));
        QUOR_ASSIGN_OR_RETURN(account, root.DistinguishedName(accountName.View(), AccountTypeAny));
      }
      if (depth != 0) {
        QUOR_ASSIGN_OR_RETURN(found, root.Reaches(account, group, depth, walked));
      }
    } else {
      const WinNTRoot root(rootPath_, nameAttr_);
      QUOR_ASSIGN_OR_RETURN(const dir::Object group, root.Bind(groupName.View(), AccountTypeGroup));
      QUOR_ASSIGN_OR_RETURN(const dir::Object account, root.Bind(accountName.View(), AccountTypeAny));
      if (depth != 0) {
        QUOR_ASSIGN_OR_RETURN(found, root.Contains(group, account.Path(), depth, walked));
      }
    }
    *isMember = found ? -1 : 0;
    return {};
  });
}

HRESULT AccountInfo::InterfaceSupportsErrorInfo(const com::IID& iid) {
  return iid == IAccountInfo::kIid ? S_OK : S_FALSE;
}

std::span<const com::DispatchEntry<AccountInfo>> AccountInfo::DispatchTable() {
  static const com::DispatchEntry<AccountInfo> table[] = {
      com::PropertyGet<&AccountInfo::GetRootContext>(u"RootContext", 1),
      com::PropertyPut<&AccountInfo::PutRootContext>(u"RootContext", 1),
      com::PropertyGet<&AccountInfo::GetNameAttr>(u"NameAttr", 2),
      com::PropertyPut<&AccountInfo::PutNameAttr>(u"NameAttr", 2),
      com::Method<&AccountInfo::GetAccountType>(u"GetAccountType", 3, {u"accountName", u"AccountType"}),
      com::Method<&AccountInfo::GetAttributes>(u"GetAttributes", 4, {u"accountName", u"queryAttrs", u"attributes"}),
      com::Method<&AccountInfo::ListMember>(
          u"ListMember", 5, {u"groupName", u"AccountType", u"queryAttrs", u"depth", u"Ordering", u"memberList"}),
      com::Method<&AccountInfo::ListGroup>(u"ListGroup", 6,
                                           {u"accountName", u"queryAttrs", u"depth", u"Ordering", u"groupList"}),
      com::Method<&AccountInfo::Lookup>(u"Lookup", 7,
                                        {u"accountName", u"AccountType", u"queryAttrs", u"Ordering", u"accountList"}),
      com::Method<&AccountInfo::IsMember>(u"IsMember", 8, {u"groupName", u"accountName", u"depth", u"IsMember"}),
  };
  return table;
}

}  // namespace quor::auth
