#include "auth/server/account_info.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <mutex>
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

[[noreturn]] void Raise(HRESULT code, std::string_view text = {}) { util::Raise(code, kAccountInfoClsid, text); }
[[noreturn]] void RaiseDirectory(HRESULT status) { RaiseDirectoryError(status, kAccountInfoClsid); }

bool HasUsers(int32_t type) { return type == AccountTypeUser || type == AccountTypeAny; }
bool HasGroups(int32_t type) { return type == AccountTypeGroup || type == AccountTypeAny; }
void CheckType(int32_t type) {
  if (type < AccountTypeUser || type > AccountTypeAny) Raise(E_INVALIDARG);
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
std::vector<std::string> AttributeNames(const com::Variant& attrs) {
  const com::VARTYPE type = attrs.Type();
  if (attrs.IsByRef()) {
    if (type != (com::VT_BYREF | com::VT_VARIANT) && type != (com::VT_BYREF | com::VT_ARRAY | com::VT_BSTR))
      Raise(E_INVALIDARG);
    const com::Variant target = attrs.Dereferenced();
    if (target.IsByRef()) Raise(E_INVALIDARG);
    return AttributeNames(target);
  }
  if (type == com::VT_BSTR) return {attrs.GetBstr().ToUtf8()};
  if (type != (com::VT_ARRAY | com::VT_BSTR) && type != (com::VT_ARRAY | com::VT_VARIANT)) Raise(E_INVALIDARG);
  const com::SafeArray& array = attrs.Array();
  if (array.Dimensions() != 1) Raise(E_INVALIDARG);
  int32_t lower = 0, upper = -1;
  array.GetLBound(1, lower);
  array.GetUBound(1, upper);
  std::vector<std::string> names;
  for (int32_t i = lower; i <= upper; ++i) {
    com::Variant element;
    const int32_t index[1] = {i};
    if (FAILED(array.GetElement(index, element))) Raise(E_INVALIDARG);
    // An element that is not a string names nothing.
    names.push_back(element.Type() == com::VT_BSTR ? element.GetBstr().ToUtf8() : std::string());
  }
  return names;
}

Query MakeQuery(AccountInfo::Kind kind, const com::Variant& attrs, int32_t ordering) {
  Query q;
  q.names = AttributeNames(attrs);
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
  com::Variant ToVariant() const {
    if (rows_.empty()) return {};
    com::SafeArray array(com::VT_BSTR, {0, static_cast<uint32_t>(rows_.size())},
                         {0, static_cast<uint32_t>(q_.requested)});
    for (size_t r = 0; r < rows_.size(); ++r) {
      for (size_t c = 0; c < q_.requested; ++c) {
        const int32_t index[2] = {static_cast<int32_t>(r), static_cast<int32_t>(c)};
        if (HRESULT hr = array.PutElement(index, com::Variant(com::Bstr(Text(rows_[r][c])))); FAILED(hr)) Raise(hr);
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

std::string TypeFilter(int32_t type) {
  switch (type) {
    case AccountTypeUser: return "(objectCategory=person)(objectClass=user)";
    case AccountTypeGroup: return "(objectCategory=group)";
    case AccountTypeAny: return "(|(&(objectCategory=person)(objectClass=user))(objectCategory=group))";
    default: Raise(E_INVALIDARG);
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
  LdapRoot(const std::string& path, const std::u16string& nameAttr)
      : nameAttr_(text::Narrow(nameAttr)) {
    if (HRESULT hr = dir::GetObject(path, root_); FAILED(hr)) RaiseDirectory(hr);
  }

  const std::string& NameAttr() const { return nameAttr_; }

  // The accounts of `type` whose `attribute` equals `value` (already
  // escaped for the filter), with the attributes `names`.
  std::vector<Cells> Search(int32_t type, std::string_view attribute, std::string_view value,
                            const std::vector<std::string>& names) const {
    const std::string filter = "(&" + TypeFilter(type) + "(" + std::string(attribute) + "=" + std::string(value) + "))";
    std::vector<std::string> wanted;
    for (const std::string& name : names)
      if (!name.empty() && std::none_of(wanted.begin(), wanted.end(),
                                        [&](const std::string& w) { return text::EqualsNoCase(w, name); }))
        wanted.push_back(name);
    dir::SearchOptions options;
    options.scope = dir::Scope::Subtree;
    options.pageSize = 100;
    std::vector<dir::Row> rows;
    if (HRESULT hr = root_.Search(filter, wanted, options, rows); FAILED(hr)) RaiseDirectory(hr);
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

  std::vector<Cells> ByName(int32_t type, std::u16string_view name, const std::vector<std::string>& names) const {
    return Search(type, nameAttr_, dir::EscapeFilterValue(text::Narrow(name)), names);
  }

  // The DN of the one account of `type` with that name.
  std::string DistinguishedName(std::u16string_view name, int32_t type) const {
    const std::vector<std::string> names = {std::string(kDistinguishedName)};
    std::vector<Cells> rows = ByName(type, name, names);
    if (rows.size() != 1 || !rows[0][0]) Raise(dir::E_ADS_UNKNOWN_OBJECT, "Distinguished Name Unknown");
    return text::Narrow(*rows[0][0]);
  }

  // Down ("memberOf": the members of `dn`) or up ("member": the groups that
  // list `dn`), `depth` levels (negative: all). Accounts are reported once,
  // groups entered once.
  void Walk(const std::string& dn, std::string_view attribute, int32_t type, int32_t depth, const Query& q,
            Collector& out, Walked& walked) const {
    walked.Enter(Key(dn), depth);
    depth = Lowered(depth);
    // Groups are needed to go further down even when not asked for.
    const int32_t searched = depth != 0 && attribute == "memberOf" && type == AccountTypeUser ? AccountTypeAny : type;
    for (Cells& row : Search(searched, attribute, dir::EscapeFilterValue(dn), q.names)) {
      const std::string rowDn = text::Narrow(Text(row[q.dnAt]));
      const bool group = Text(row[q.classAt]) == u"group";
      const bool report = !group || HasGroups(type);
      if (report && walked.FirstReport(Key(rowDn))) out.Add(row);
      if (group && depth != 0 && !rowDn.empty() && walked.Enter(Key(rowDn), depth))
        Walk(rowDn, attribute, type, depth, q, out, walked);
    }
  }

  // Whether `accountDn` reaches `groupDn` going up through its groups.
  bool Reaches(const std::string& accountDn, const std::string& groupDn, int32_t depth, Walked& walked) const {
    walked.Enter(Key(accountDn), depth);
    depth = Lowered(depth);
    const std::vector<std::string> names = {std::string(kDistinguishedName)};
    for (const Cells& row : Search(AccountTypeGroup, "member", dir::EscapeFilterValue(accountDn), names)) {
      const std::string dn = text::Narrow(Text(row[0]));
      if (dir::DnEquals(dn, groupDn)) return true;
      if (depth != 0 && !dn.empty() && walked.Enter(Key(dn), depth) && Reaches(dn, groupDn, depth, walked))
        return true;
    }
    return false;
  }

 private:
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

  std::vector<dir::Object> Groups(const std::string& rootPath) {
    const std::string file = StoreFile();
    struct stat st {};
    const bool exists = ::stat(file.c_str(), &st) == 0;
    const Stamp stamp{rootPath, file, exists ? st.st_mtim.tv_sec : 0, exists ? st.st_mtim.tv_nsec : 0,
                      exists ? st.st_size : -1};
    std::lock_guard guard(lock_);
    if (!filled_ || !(stamp == stamp_)) {
      dir::Object root;
      if (HRESULT hr = dir::GetObject(rootPath, root); FAILED(hr)) RaiseDirectory(hr);
      const std::string group = "group";
      std::vector<dir::Object> groups;
      if (HRESULT hr = root.Children(std::span(&group, 1), groups); FAILED(hr)) RaiseDirectory(hr);
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
  bool filled_ = false;
  Stamp stamp_;
  std::vector<dir::Object> groups_;
};

class WinNTRoot {
 public:
  WinNTRoot(const std::string& path, const std::u16string& nameAttr) : path_(path), nameAttr_(text::Narrow(nameAttr)) {}

  // The account `name` of `type` (3: either), bound as the service.
  dir::Object Bind(std::u16string_view name, int32_t type) const {
    CheckType(type);
    const std::string narrow = text::Narrow(name);
    // A name cannot hold the path's own separators.
    if (narrow.empty() || narrow.find_first_of("/,") != std::string::npos)
      Raise(dir::E_ADS_BAD_PATHNAME, "Invalid Account Name");
    std::string path = path_ + "/" + narrow;
    if (type == AccountTypeUser) path += ",user";
    if (type == AccountTypeGroup) path += ",group";
    dir::Object object;
    if (HRESULT hr = dir::GetObject(path, object); FAILED(hr)) RaiseDirectory(hr);
    return object;
  }

  dir::Object Root() const {
    dir::Object root;
    if (HRESULT hr = dir::GetObject(path_, root); FAILED(hr)) RaiseDirectory(hr);
    return root;
  }

  Cells Row(const dir::Object& object, const Query& q) const {
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
        if (FAILED(hr)) RaiseDirectory(hr);
        cells[i] = ValueText(p);
      }
    }
    return cells;
  }

  static std::vector<dir::Object> Members(const dir::Object& group) {
    std::vector<dir::Object> members;
    const HRESULT hr = group.Members(members);
    if (hr == kNoMoreItems) return {};
    if (FAILED(hr)) RaiseDirectory(hr);
    return members;
  }

  // The members of `group`, `depth` levels down.
  void WalkMembers(const dir::Object& group, int32_t type, int32_t depth, const Query& q, Collector& out,
                   Walked& walked) const {
    walked.Enter(Key(group), depth);
    depth = Lowered(depth);
    for (const dir::Object& member : Members(group)) {
      const bool user = text::EqualsNoCase(member.Class(), "user");
      if ((user ? HasUsers(type) : HasGroups(type)) && walked.FirstReport(Key(member))) out.Add(Row(member, q));
      if (!user && depth != 0 && walked.Enter(Key(member), depth)) WalkMembers(member, type, depth, q, out, walked);
    }
  }

  // The groups `account` belongs to, `depth` levels up.
  void WalkGroups(const dir::Object& account, int32_t depth, const Query& q, Collector& out, Walked& walked) const {
    walked.Enter(Key(account), depth);
    depth = Lowered(depth);
    std::vector<dir::Object> groups;
    if (!text::EqualsNoCase(account.Class(), "group")) {
      if (HRESULT hr = account.Groups(groups); FAILED(hr) && hr != kNoMoreItems) RaiseDirectory(hr);
    } else {
      const std::string path = account.Path();
      for (const dir::Object& candidate : GroupCache::Instance().Groups(path_)) {
        bool member = false;
        if (HRESULT hr = candidate.IsMember(path, member); FAILED(hr)) RaiseDirectory(hr);
        if (member) groups.push_back(candidate);
      }
    }
    for (const dir::Object& group : groups) {
      if (walked.FirstReport(Key(group))) out.Add(Row(group, q));
      if (depth != 0 && walked.Enter(Key(group), depth)) WalkGroups(group, depth, q, out, walked);
    }
  }

  // Whether `accountPath` is a member of `group` within `depth` levels.
  bool Contains(const dir::Object& group, const std::string& accountPath, int32_t depth, Walked& walked) const {
    walked.Enter(Key(group), depth);
    depth = Lowered(depth);
    bool member = false;
    if (HRESULT hr = group.IsMember(accountPath, member); FAILED(hr)) RaiseDirectory(hr);
    if (member) return true;
    if (depth == 0) return false;
    for (const dir::Object& inner : Members(group))
      if (text::EqualsNoCase(inner.Class(), "group") && walked.Enter(Key(inner), depth) &&
          Contains(inner, accountPath, depth, walked))
        return true;
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
  try {
    const std::u16string context = config.DefaultAuthority();
    if (!context.empty()) SetRoot(context);
  } catch (...) {
    // No usable default: the object has no root context until one is set.
  }
  com::ClearErrorInfo();
}

void AccountInfo::SetRoot(std::u16string_view context) {
  const Authority authority = Authority::Parse(context);
  if (authority.scheme.empty() || authority.host.empty()) Raise(E_INVALIDARG);
  if (authority.IsLdap()) {
    const std::string path = text::Narrow(authority.LdapContainerPath(kAccountInfoClsid));
    dir::Object root;
    if (HRESULT hr = dir::GetObject(path, root); FAILED(hr)) RaiseDirectory(hr);
    kind_ = Kind::Ldap;
    rootPath_ = path;
    rootClass_ = root.Class();
  } else if (authority.IsWinNT()) {
    // The account store knows whether the name is its domain or its
    // computer; the object bound says which.
    const std::u16string target = authority.host.substr(0, authority.host.find(u','));
    const std::string path = "WinNT://" + text::Narrow(target);
    dir::Object root;
    if (HRESULT hr = dir::GetObject(path, root); FAILED(hr)) RaiseDirectory(hr);
    if (root.Class() != "Domain" && root.Class() != "Computer") Raise(E_INVALIDARG);
    kind_ = Kind::WinNT;
    rootPath_ = path;
    rootClass_ = root.Class();
  } else {
    Raise(E_INVALIDARG);
  }
  rootContext_ = std::u16string(context);
}

HRESULT AccountInfo::GetRootContext(com::Bstr* pVal) {
  return Edge([&] {
    if (!pVal) return E_POINTER;
    *pVal = com::Bstr(rootContext_);
    return S_OK;
  });
}

HRESULT AccountInfo::PutRootContext(const com::Bstr& newVal) {
  return Edge([&] {
    SetRoot(newVal.View());
    return S_OK;
  });
}

HRESULT AccountInfo::GetNameAttr(com::Bstr* pVal) {
  return Edge([&] {
    if (!pVal) return E_POINTER;
    *pVal = com::Bstr(nameAttr_);
    return S_OK;
  });
}

HRESULT AccountInfo::PutNameAttr(const com::Bstr& newVal) {
  return Edge([&] {
    // The name goes into search filters: only an attribute name is taken.
    if (!IsAttributeName(newVal.View())) return E_INVALIDARG;
    nameAttr_ = newVal.Str();
    nameIsDn_ = nameAttr_ == u"distinguishedName";
    return S_OK;
  });
}

namespace {

[[noreturn]] void NoRoot() { Raise(E_UNEXPECTED, "Root Context Not Set"); }

}  // namespace

HRESULT AccountInfo::GetAccountType(const com::Bstr& accountName, com::Bstr* accountType) {
  return Edge([&] {
    if (!accountType) return E_POINTER;
    if (kind_ == Kind::Ldap) {
      const std::vector<std::string> names = {std::string(kObjectClass)};
      std::vector<Cells> rows = LdapRoot(rootPath_, nameAttr_).ByName(AccountTypeAny, accountName.View(), names);
      if (rows.size() != 1) Raise(dir::E_ADS_UNKNOWN_OBJECT, "Account Type Unknown");
      *accountType = com::Bstr(Text(rows[0][0]));
    } else if (kind_ == Kind::WinNT) {
      *accountType = com::Bstr::FromUtf8(WinNTRoot(rootPath_, nameAttr_).Bind(accountName.View(), AccountTypeAny).Class());
    } else {
      NoRoot();
    }
    return S_OK;
  });
}

HRESULT AccountInfo::GetAttributes(const com::Bstr& accountName, const com::Variant& queryAttrs,
                                   com::Variant* attributes) {
  return Edge([&] {
    if (!attributes) return E_POINTER;
    if (kind_ == Kind::None) NoRoot();
    const Query q = MakeQuery(kind_, queryAttrs, OrderingNone);
    Cells row;
    if (kind_ == Kind::Ldap) {
      std::vector<Cells> rows = LdapRoot(rootPath_, nameAttr_).ByName(AccountTypeAny, accountName.View(), q.names);
      if (rows.size() != 1) Raise(E_FAIL, "Not Found Attributes");
      row = std::move(rows[0]);
    } else {
      const WinNTRoot root(rootPath_, nameAttr_);
      row = root.Row(root.Bind(accountName.View(), AccountTypeAny), q);
    }
    com::SafeArray array(com::VT_VARIANT, {0, static_cast<uint32_t>(q.requested)});
    for (size_t i = 0; i < q.requested; ++i) {
      const int32_t index[1] = {static_cast<int32_t>(i)};
      if (HRESULT hr = array.PutElement(index, row[i] ? com::Variant(com::Bstr(*row[i])) : com::Variant()); FAILED(hr))
        Raise(hr);
    }
    *attributes = com::Variant(std::move(array));
    return S_OK;
  });
}

HRESULT AccountInfo::ListMember(const com::Bstr& groupName, int32_t accountType, const com::Variant& queryAttrs,
                                int32_t depth, int32_t ordering, com::Variant* memberList) {
  return Edge([&] {
    if (!memberList) return E_POINTER;
    *memberList = com::Variant();
    if (kind_ == Kind::None) NoRoot();
    CheckType(accountType);
    const Query q = MakeQuery(kind_, queryAttrs, ordering);
    Collector out(q);
    Walked walked;
    if (kind_ == Kind::Ldap) {
      const LdapRoot root(rootPath_, nameAttr_);
      const std::string dn = nameIsDn_ && depth != 0 ? groupName.ToUtf8()
                                                      : root.DistinguishedName(groupName.View(), AccountTypeGroup);
      if (depth != 0) root.Walk(dn, "memberOf", accountType, depth, q, out, walked);
    } else {
      const WinNTRoot root(rootPath_, nameAttr_);
      const dir::Object group = root.Bind(groupName.View(), AccountTypeGroup);
      if (depth != 0) root.WalkMembers(group, accountType, depth, q, out, walked);
    }
    *memberList = out.ToVariant();
    return S_OK;
  });
}

HRESULT AccountInfo::ListGroup(const com::Bstr& accountName, const com::Variant& queryAttrs, int32_t depth,
                               int32_t ordering, com::Variant* groupList) {
  return Edge([&] {
    if (!groupList) return E_POINTER;
    *groupList = com::Variant();
    if (kind_ == Kind::None) NoRoot();
    const Query q = MakeQuery(kind_, queryAttrs, ordering);
    Collector out(q);
    Walked walked;
    if (kind_ == Kind::Ldap) {
      const LdapRoot root(rootPath_, nameAttr_);
      const std::string dn = nameIsDn_ && depth != 0 ? accountName.ToUtf8()
                                                      : root.DistinguishedName(accountName.View(), AccountTypeAny);
      if (depth != 0) root.Walk(dn, "member", AccountTypeGroup, depth, q, out, walked);
    } else {
      const WinNTRoot root(rootPath_, nameAttr_);
      const dir::Object account = root.Bind(accountName.View(), AccountTypeAny);
      if (depth != 0) root.WalkGroups(account, depth, q, out, walked);
    }
    *groupList = out.ToVariant();
    return S_OK;
  });
}

HRESULT AccountInfo::Lookup(const com::Bstr& accountName, int32_t accountType, const com::Variant& queryAttrs,
                            int32_t ordering, com::Variant* accountList) {
  return Edge([&] {
    if (!accountList) return E_POINTER;
    *accountList = com::Variant();
    if (kind_ == Kind::None) NoRoot();
    CheckType(accountType);
    const Query q = MakeQuery(kind_, queryAttrs, ordering);
    Collector out(q);
    if (kind_ == Kind::Ldap) {
      const LdapRoot root(rootPath_, nameAttr_);
      // The one place where "*" keeps its meaning: everything else in the
      // name is literal.
      for (Cells& row : root.Search(accountType, root.NameAttr(),
                                    dir::EscapeFilterPattern(accountName.ToUtf8()), q.names))
        out.Add(std::move(row));
    } else {
      const WinNTRoot root(rootPath_, nameAttr_);
      std::vector<std::string> classes;
      if (HasUsers(accountType)) classes.emplace_back("user");
      if (HasGroups(accountType)) classes.emplace_back("group");
      std::vector<dir::Object> children;
      if (HRESULT hr = root.Root().Children(classes, children); FAILED(hr)) RaiseDirectory(hr);
      for (const dir::Object& child : children)
        if (MatchesPattern(text::Widen(child.Name()), accountName.View())) out.Add(root.Row(child, q));
    }
    *accountList = out.ToVariant();
    return S_OK;
  });
}

HRESULT AccountInfo::IsMember(const com::Bstr& groupName, const com::Bstr& accountName, int32_t depth,
                              int32_t* isMember) {
  return Edge([&] {
    if (!isMember) return E_POINTER;
    *isMember = 0;
    if (kind_ == Kind::None) NoRoot();
    Walked walked;
    bool found = false;
    if (kind_ == Kind::Ldap) {
      const LdapRoot root(rootPath_, nameAttr_);
      const bool given = nameIsDn_ && depth != 0;
      const std::string group = given ? groupName.ToUtf8() : root.DistinguishedName(groupName.View(), AccountTypeGroup);
      const std::string account =
          given ? accountName.ToUtf8() : root.DistinguishedName(accountName.View(), AccountTypeAny);
      found = depth != 0 && root.Reaches(account, group, depth, walked);
    } else {
      const WinNTRoot root(rootPath_, nameAttr_);
      const dir::Object group = root.Bind(groupName.View(), AccountTypeGroup);
      const dir::Object account = root.Bind(accountName.View(), AccountTypeAny);
      found = depth != 0 && root.Contains(group, account.Path(), depth, walked);
    }
    *isMember = found ? -1 : 0;
    return S_OK;
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
