// LDAP:// paths over OpenLDAP's libldap.
//
// A bind opens its own connection: TLS is set up first (ldaps, or StartTLS
// before anything else is sent), the service binds, a user's sign-in name is
// resolved to one entry below the naming context of the path, and that
// entry's DN is bound with the user's password on the same connection. The
// object and everything reached from it (children, members, searches) then
// use the connection with the identity that bound last.
//
// Values are typed from the server's schema (the syntax of each attribute
// type, following SUP). The schema of a server is read once per process and
// kept in a cache guarded by its own mutex.
//
// "distinguishedName" is the entry's DN. On servers whose schema makes it the
// supertype of member, owner and the like (OpenLDAP), a filter on it would
// match every entry that refers to the DN, so filters name entryDN instead.

#include <ldap.h>
#include <ldap_schema.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "platform/base/thread_annotations.h"
#include "platform/directory/provider.h"
#include "platform/text/text.h"

namespace quor::dir::detail {
namespace {

constexpr std::string_view kSyntaxPrefix = "1.3.6.1.4.1.1466.115.121.1.";

// ---- Statuses ------------------------------------------------------------------------------

HRESULT StatusFromLdap(int rc) {
  switch (rc) {
    case LDAP_SUCCESS: return S_OK;
    case LDAP_OPERATIONS_ERROR: return kOperationsError;
    case LDAP_PROTOCOL_ERROR: return HRESULT_FROM_WIN32(8225);
    case LDAP_TIMELIMIT_EXCEEDED: return HRESULT_FROM_WIN32(8226);
    case LDAP_SIZELIMIT_EXCEEDED: return HRESULT_FROM_WIN32(8227);
    case LDAP_AUTH_METHOD_NOT_SUPPORTED: return HRESULT_FROM_WIN32(8231);
    case LDAP_STRONG_AUTH_REQUIRED: return kStrongAuthRequired;
    case LDAP_ADMINLIMIT_EXCEEDED: return HRESULT_FROM_WIN32(8228);
    case LDAP_UNAVAILABLE_CRITICAL_EXTENSION: return HRESULT_FROM_WIN32(8236);
    case LDAP_CONFIDENTIALITY_REQUIRED: return HRESULT_FROM_WIN32(8237);
    case LDAP_INAPPROPRIATE_MATCHING: return HRESULT_FROM_WIN32(8238);
    case LDAP_CONSTRAINT_VIOLATION: return HRESULT_FROM_WIN32(8239);
    case LDAP_NO_SUCH_OBJECT: return kNoSuchObject;
    case LDAP_INVALID_DN_SYNTAX: return kInvalidDnSyntax;
    case LDAP_INAPPROPRIATE_AUTH:
    case LDAP_INVALID_CREDENTIALS: return kLogonFailure;
    case LDAP_INSUFFICIENT_ACCESS: return E_ACCESSDENIED;
    case LDAP_UNWILLING_TO_PERFORM: return kUnwillingToPerform;
    case LDAP_SERVER_DOWN:
    case LDAP_CONNECT_ERROR: return kServerDown;
    case LDAP_LOCAL_ERROR: return HRESULT_FROM_WIN32(8251);
    case LDAP_ENCODING_ERROR: return HRESULT_FROM_WIN32(8252);
    case LDAP_DECODING_ERROR: return HRESULT_FROM_WIN32(8253);
    case LDAP_TIMEOUT: return kTimeout;
    case LDAP_FILTER_ERROR: return E_ADS_INVALID_FILTER;
    case LDAP_PARAM_ERROR: return E_INVALIDARG;
    case LDAP_NO_MEMORY: return E_OUTOFMEMORY;
    default: return E_FAIL;
  }
}

std::string Diagnostic(LDAP* ld) {
  char* message = nullptr;
  std::string out;
  if (ld && ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &message) == LDAP_OPT_SUCCESS && message) {
    out = message;
    ldap_memfree(message);
  }
  return out;
}

HRESULT LdapFail(LDAP* ld, int rc, std::string_view what) {
  const HRESULT status = StatusFromLdap(rc);
  std::string textOut = text::Format("%s: %s", what, ldap_err2string(rc));
  if (std::string diag = Diagnostic(ld); !diag.empty()) textOut += " (" + diag + ")";
  return Fail(status, rc > 0 ? static_cast<uint32_t>(rc) : HRESULT_CODE(status), std::move(textOut), kLdapProvider);
}

// ---- Handles ------------------------------------------------------------------------------------

class Message {
 public:
  Message() = default;
  ~Message() { Reset(); }
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
  LDAPMessage** Out() {
    Reset();
    return &msg_;
  }
  LDAPMessage* get() const { return msg_; }
  void Reset() {
    if (msg_) ldap_msgfree(msg_);
    msg_ = nullptr;
  }

 private:
  LDAPMessage* msg_ = nullptr;
};

struct ControlList {
  LDAPControl** list = nullptr;
  ~ControlList() {
    if (list) ldap_controls_free(list);
  }
};

// ---- Schema -------------------------------------------------------------------------------------

struct Schema {
  std::map<std::string, AdsType, text::LessNoCase> types;      // by every name and the OID
  std::map<std::string, int, text::LessNoCase> classDepth;     // distance from top
  bool hasEntryDn = false;

  AdsType TypeOf(std::string_view description) const {
    std::string_view name = description.substr(0, description.find(';'));
    if (text::EqualsNoCase(name, "distinguishedName")) return AdsType::DnString;
    auto it = types.find(name);
    return it == types.end() ? AdsType::CaseIgnoreString : it->second;
  }
  int DepthOf(std::string_view oc) const {
    auto it = classDepth.find(oc);
    return it == classDepth.end() ? 1000 : it->second;
  }
};

AdsType TypeOfSyntax(std::string_view syntax, std::string_view equality) {
  if (syntax == "1.2.840.113556.1.4.906") return AdsType::LargeInteger;
  if (syntax == "1.2.840.113556.1.4.907") return AdsType::OctetString;
  if (syntax.substr(0, kSyntaxPrefix.size()) != kSyntaxPrefix) return AdsType::CaseIgnoreString;
  auto number = text::ParseUInt32(syntax.substr(kSyntaxPrefix.size()));
  if (!number) return AdsType::CaseIgnoreString;
  const bool exact = text::EqualsNoCase(equality, "caseExactMatch") || text::EqualsNoCase(equality, "caseExactIA5Match") ||
                     text::EqualsNoCase(equality, "octetStringMatch");
  switch (*number) {
    case 12:  // DN
    case 34:  // name and optional UID
      return AdsType::DnString;
    case 15:  // directory string
    case 26:  // IA5 string
      return exact ? AdsType::CaseExactString : AdsType::CaseIgnoreString;
    case 44: return AdsType::PrintableString;
    case 36: return AdsType::NumericString;
    case 7: return AdsType::Boolean;
    case 27: return AdsType::Integer;
    case 24:  // generalized time
    case 53:  // UTC time
      return AdsType::UtcTime;
    case 5:   // binary
    case 8:   // certificate
    case 9:   // certificate list
    case 10:  // certificate pair
    case 28:  // JPEG
    case 40:  // octet string
      return AdsType::OctetString;
    default: return AdsType::CaseIgnoreString;
  }
}

Mutex gSchemaMutex;
std::map<std::string, std::shared_ptr<const Schema>> gSchemas QUOR_GUARDED_BY(gSchemaMutex);  // by server URL

// ---- Connections ---------------------------------------------------------------------------------

class Connection {
 public:
  ~Connection() {
    if (ld) ldap_unbind_ext_s(ld, nullptr, nullptr);
  }

  // One request at a time on the handle: what uses `ld` once the connection
  // is shared requires it.
  Mutex mutex;
  LDAP* ld = nullptr;
  std::string host;  // as the path wrote it
  std::string url;
  timeval timeout{};
  std::shared_ptr<const Schema> schema QUOR_GUARDED_BY(mutex);

  std::string PathOf(std::string_view dn) const {
    AdsPath path;
    path.provider = Provider::Ldap;
    path.host = host;
    path.dn = std::string(dn);
    return path.ToString();
  }
};

using ConnectionPtr = std::shared_ptr<Connection>;

// Runs one search page (or the whole search when pageSize is 0). `cookie` is
// the paging position, empty at the start and again after the last page.
int SearchPage(Connection& c, const std::string& base, int scope, const std::string& filter,
               const std::vector<std::string>& attributes, int pageSize, int sizeLimit, std::string& cookie,
               Message& result) QUOR_REQUIRES(c.mutex) {
  std::vector<char*> attrs;
  for (const auto& a : attributes) attrs.push_back(const_cast<char*>(a.c_str()));
  attrs.push_back(nullptr);
  LDAPControl* page = nullptr;
  if (pageSize > 0) {
    berval value{static_cast<ber_len_t>(cookie.size()), cookie.data()};
    int rc = ldap_create_page_control(c.ld, pageSize, cookie.empty() ? nullptr : &value, 0, &page);
    if (rc != LDAP_SUCCESS) return rc;
  }
  LDAPControl* controls[2] = {page, nullptr};
  timeval timeout = c.timeout;
  int rc = ldap_search_ext_s(c.ld, base.c_str(), scope, filter.c_str(), attributes.empty() ? nullptr : attrs.data(), 0,
                             page ? controls : nullptr, nullptr, &timeout, sizeLimit, result.Out());
  if (page) ldap_control_free(page);
  cookie.clear();
  if ((rc == LDAP_SUCCESS || rc == LDAP_SIZELIMIT_EXCEEDED) && pageSize > 0 && result.get()) {
    int code = 0;
    ControlList serverControls;
    if (ldap_parse_result(c.ld, result.get(), &code, nullptr, nullptr, nullptr, &serverControls.list, 0) ==
            LDAP_SUCCESS &&
        serverControls.list) {
      if (LDAPControl* response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, serverControls.list, nullptr)) {
        ber_int_t count = 0;
        berval next{0, nullptr};
        if (ldap_parse_pageresponse_control(c.ld, response, &count, &next) == LDAP_SUCCESS && next.bv_val) {
          cookie.assign(next.bv_val, next.bv_len);
          ldap_memfree(next.bv_val);
        }
      }
    }
  }
  return rc;
}

// Reads the values of one attribute of the first entry of a base search.
std::vector<std::string> Values(LDAP* ld, LDAPMessage* entry, const char* name) {
  std::vector<std::string> out;
  berval** values = ldap_get_values_len(ld, entry, name);
  for (int i = 0; values && values[i]; ++i) out.emplace_back(values[i]->bv_val, values[i]->bv_len);
  if (values) ldap_value_free_len(values);
  return out;
}

// One attribute of the root DSE.
std::vector<std::string> RootDse(Connection& c, const char* attribute) QUOR_REQUIRES(c.mutex) {
  Message result;
  std::string cookie;
  if (SearchPage(c, "", LDAP_SCOPE_BASE, "(objectClass=*)", {attribute}, 0, 0, cookie, result) != LDAP_SUCCESS)
    return {};
  LDAPMessage* entry = ldap_first_entry(c.ld, result.get());
  return entry ? Values(c.ld, entry, attribute) : std::vector<std::string>();
}

template <typename T, void (*Free)(T*)>
struct SchemaItem {
  T* item = nullptr;
  ~SchemaItem() {
    if (item) Free(item);
  }
};

std::shared_ptr<const Schema> ReadSchema(Connection& c) QUOR_REQUIRES(c.mutex) {
  auto subentry = RootDse(c, "subschemaSubentry");
  const std::string base = subentry.empty() ? "cn=Subschema" : subentry.front();
  Message result;
  std::string cookie;
  if (SearchPage(c, base, LDAP_SCOPE_BASE, "(objectClass=subschema)", {"attributeTypes", "objectClasses"}, 0, 0,
                 cookie, result) != LDAP_SUCCESS)
    return nullptr;
  LDAPMessage* entry = ldap_first_entry(c.ld, result.get());
  if (!entry) return nullptr;

  struct Attr {
    std::vector<std::string> names;
    std::string sup, syntax, equality;
  };
  std::map<std::string, Attr, text::LessNoCase> attrs;  // by OID
  std::map<std::string, std::string, text::LessNoCase> oidOf;
  for (const auto& value : Values(c.ld, entry, "attributeTypes")) {
    int code = 0;
    const char* error = nullptr;
    SchemaItem<LDAPAttributeType, ldap_attributetype_free> at{
        ldap_str2attributetype(value.c_str(), &code, &error, LDAP_SCHEMA_ALLOW_ALL)};
    if (!at.item || !at.item->at_oid) continue;
    Attr a;
    for (int i = 0; at.item->at_names && at.item->at_names[i]; ++i) a.names.emplace_back(at.item->at_names[i]);
    if (at.item->at_sup_oid) a.sup = at.item->at_sup_oid;
    if (at.item->at_syntax_oid) a.syntax = at.item->at_syntax_oid;
    if (at.item->at_equality_oid) a.equality = at.item->at_equality_oid;
    for (const auto& n : a.names) oidOf[n] = at.item->at_oid;
    oidOf[at.item->at_oid] = at.item->at_oid;
    attrs[at.item->at_oid] = std::move(a);
  }
  auto schema = std::make_shared<Schema>();
  for (const auto& [oid, a] : attrs) {
    // Syntax and equality come from the nearest supertype that names them.
    std::string syntax = a.syntax, equality = a.equality, sup = a.sup;
    for (int hops = 0; (syntax.empty() || equality.empty()) && !sup.empty() && hops < 16; ++hops) {
      auto o = oidOf.find(sup);
      if (o == oidOf.end()) break;
      const Attr& parent = attrs.at(o->second);
      if (syntax.empty()) syntax = parent.syntax;
      if (equality.empty()) equality = parent.equality;
      sup = parent.sup;
    }
    const AdsType type = TypeOfSyntax(syntax, equality);
    schema->types[oid] = type;
    for (const auto& n : a.names) schema->types[n] = type;
  }
  schema->hasEntryDn = schema->types.count("entryDN") != 0;

  struct Class {
    std::vector<std::string> names, sups;
  };
  std::map<std::string, Class, text::LessNoCase> classes;  // by every name and the OID
  for (const auto& value : Values(c.ld, entry, "objectClasses")) {
    int code = 0;
    const char* error = nullptr;
    SchemaItem<LDAPObjectClass, ldap_objectclass_free> oc{
        ldap_str2objectclass(value.c_str(), &code, &error, LDAP_SCHEMA_ALLOW_ALL)};
    if (!oc.item || !oc.item->oc_oid) continue;
    Class k;
    for (int i = 0; oc.item->oc_names && oc.item->oc_names[i]; ++i) k.names.emplace_back(oc.item->oc_names[i]);
    for (int i = 0; oc.item->oc_sup_oids && oc.item->oc_sup_oids[i]; ++i) k.sups.emplace_back(oc.item->oc_sup_oids[i]);
    for (const auto& n : k.names) classes[n] = k;
    classes[oc.item->oc_oid] = k;
  }
  std::function<int(const std::string&, int)> depth = [&](const std::string& name, int guard) -> int {
    auto it = classes.find(name);
    if (it == classes.end() || guard > 32) return 0;
    int d = 0;
    for (const auto& s : it->second.sups) d = std::max(d, 1 + depth(s, guard + 1));
    return d;
  };
  for (const auto& [name, k] : classes) schema->classDepth[name] = depth(name, 0);
  return schema;
}

// The server's schema, from the process-wide cache.
std::shared_ptr<const Schema> SchemaOf(Connection& c) QUOR_REQUIRES(c.mutex) QUOR_EXCLUDES(gSchemaMutex) {
  if (c.schema) return c.schema;
  {
    MutexLock lock(gSchemaMutex);
    auto it = gSchemas.find(c.url);
    if (it != gSchemas.end()) return c.schema = it->second;
  }
  auto schema = ReadSchema(c);
  if (!schema) return c.schema = std::make_shared<Schema>();  // untyped: every value a string
  MutexLock lock(gSchemaMutex);
  return c.schema = gSchemas.emplace(c.url, schema).first->second;
}

// ---- Entries -------------------------------------------------------------------------------------

struct Entry {
  std::string dn;
  std::vector<Property> properties;
};

void OrderObjectClasses(const Schema& schema, std::vector<std::string>& values) {
  std::stable_sort(values.begin(), values.end(),
                   [&](const std::string& a, const std::string& b) { return schema.DepthOf(a) < schema.DepthOf(b); });
}

// `wanted` null: every attribute the server sent. Otherwise only attributes
// named exactly (without case) in it, which leaves out the subtypes a server
// sends for a supertype ("name" bringing cn, sn, ...).
Entry ReadEntry(Connection& c, const Schema& schema, LDAPMessage* message, const std::vector<std::string>* wanted)
    QUOR_REQUIRES(c.mutex) {
  Entry entry;
  if (char* dn = ldap_get_dn(c.ld, message)) {
    entry.dn = dn;
    ldap_memfree(dn);
  }
  BerElement* ber = nullptr;
  for (char* attr = ldap_first_attribute(c.ld, message, &ber); attr; attr = ldap_next_attribute(c.ld, message, ber)) {
    std::string name = attr;
    ldap_memfree(attr);
    const std::string* requested = nullptr;
    if (wanted) {
      auto it = std::find_if(wanted->begin(), wanted->end(),
                             [&](const std::string& w) { return text::EqualsNoCase(w, name); });
      if (it == wanted->end()) continue;
      requested = &*it;
    }
    Property p;
    p.name = requested ? *requested : name;
    p.type = schema.TypeOf(name);
    p.values = Values(c.ld, message, name.c_str());
    if (text::EqualsNoCase(name, "objectClass")) OrderObjectClasses(schema, p.values);
    entry.properties.push_back(std::move(p));
  }
  if (ber) ber_free(ber, 0);
  return entry;
}

// The first RDN and the rest of a DN, cut at the first unescaped ','.
std::pair<std::string, std::string> SplitRdn(std::string_view dn) {
  for (size_t i = 0; i < dn.size(); ++i) {
    if (dn[i] == '\\') {
      ++i;
    } else if (dn[i] == ',' || dn[i] == ';') {
      return {std::string(dn.substr(0, i)), std::string(text::TrimAscii(dn.substr(i + 1)))};
    }
  }
  return {std::string(dn), {}};
}

const Property* FindProperty(const std::vector<Property>& properties, std::string_view name) {
  for (const auto& p : properties)
    if (text::EqualsNoCase(p.name, name)) return &p;
  return nullptr;
}

// ---- Objects -------------------------------------------------------------------------------------

class LdapObject;
HRESULT ReadObject(const ConnectionPtr& c, const std::string& dn, Object& out) QUOR_EXCLUDES(c->mutex);
HRESULT MakeCursor(const ConnectionPtr& c, const std::string& base, std::string_view filter,
                   std::span<const std::string> attributes, const SearchOptions& options, SearchCursor& out);

class LdapObject final : public ObjectImpl {
 public:
  LdapObject(ConnectionPtr connection, Entry entry) : c_(std::move(connection)), entry_(std::move(entry)) {
    if (const Property* p = FindProperty(entry_.properties, "structuralObjectClass"); p && !p->values.empty())
      class_ = p->values.front();
    else if (const Property* oc = FindProperty(entry_.properties, "objectClass"); oc && !oc->values.empty())
      class_ = oc->values.back();
  }

  Provider GetProvider() const override { return Provider::Ldap; }
  std::string Path() const override { return c_->PathOf(entry_.dn); }
  std::string Name() const override { return SplitRdn(entry_.dn).first; }
  std::string Class() const override { return class_; }
  std::string Parent() const override { return c_->PathOf(SplitRdn(entry_.dn).second); }
  std::string Dn() const override { return entry_.dn; }

  HRESULT Get(std::string_view name, Property& out) const override {
    if (text::EqualsNoCase(name, "distinguishedName")) {
      out = Property{"distinguishedName", AdsType::DnString, {entry_.dn}};
      return S_OK;
    }
    const Property* p = FindProperty(entry_.properties, name);
    if (!p || p->values.empty())
      return Fail(E_ADS_PROPERTY_NOT_FOUND, 0, text::Format("%s has no %s", entry_.dn, name), kLdapProvider);
    out = *p;
    return S_OK;
  }

  std::vector<std::string> PropertyNames() const override {
    std::vector<std::string> names{"distinguishedName"};
    for (const auto& p : entry_.properties) names.push_back(p.name);
    return names;
  }

  HRESULT Children(std::span<const std::string> classFilter, std::vector<Object>& out) const override {
    std::string filter = "(objectClass=*)";
    if (classFilter.size() == 1) {
      filter = "(objectClass=" + EscapeFilterValue(classFilter.front()) + ")";
    } else if (classFilter.size() > 1) {
      filter = "(|";
      for (const auto& k : classFilter) filter += "(objectClass=" + EscapeFilterValue(k) + ")";
      filter += ")";
    }
    SearchOptions options;
    options.scope = Scope::OneLevel;
    return ReadAll(entry_.dn, filter, options, out);
  }

  HRESULT Members(std::vector<Object>& out) const override {
    if (!IsGroup()) return NotGroup();
    return ReadEach(Values("member"), out);
  }

  HRESULT IsMember(std::string_view memberPath, bool& out) const override {
    if (!IsGroup()) return NotGroup();
    AdsPath path;
    if (AdsPath::Parse(memberPath, path) != S_OK || path.provider != Provider::Ldap) return S_OK;
    for (const auto& member : Values("member")) {
      if (DnEquals(member, path.dn)) {
        out = true;
        break;
      }
    }
    return S_OK;
  }

  HRESULT Groups(std::vector<Object>& out) const override { return ReadEach(Values("memberOf"), out); }

  HRESULT ExecuteSearch(std::string_view filter, std::span<const std::string> attributes,
                        const SearchOptions& options, SearchCursor& out) const override {
    return MakeCursor(c_, entry_.dn, filter, attributes, options, out);
  }

 private:
  std::vector<std::string> Values(std::string_view name) const {
    const Property* p = FindProperty(entry_.properties, name);
    return p ? p->values : std::vector<std::string>();
  }
  bool IsGroup() const {
    auto classes = Values("objectClass");
    return std::any_of(classes.begin(), classes.end(), [](const auto& k) { return text::EqualsNoCase(k, "group"); });
  }
  HRESULT NotGroup() const {
    return Fail(E_NOINTERFACE, 0, text::Format("%s is not a group", entry_.dn), kLdapProvider);
  }

  // Binds each DN; entries that no longer exist are left out.
  HRESULT ReadEach(const std::vector<std::string>& dns, std::vector<Object>& out) const {
    for (const auto& dn : dns) {
      Object object;
      HRESULT hr = ReadObject(c_, dn, object);
      if (hr == kNoSuchObject) continue;
      if (FAILED(hr)) return hr;
      out.push_back(std::move(object));
    }
    return S_OK;
  }

  HRESULT ReadAll(const std::string& base, const std::string& filter, const SearchOptions& options,
                  std::vector<Object>& out) const;

  ConnectionPtr c_;
  Entry entry_;
  std::string class_;
};

const std::vector<std::string> kAllAttributes = {"*", "+"};

HRESULT ReadObject(const ConnectionPtr& c, const std::string& dn, Object& out) {
  MutexLock lock(c->mutex);
  auto schema = SchemaOf(*c);
  Message result;
  std::string cookie;
  int rc = SearchPage(*c, dn, LDAP_SCOPE_BASE, "(objectClass=*)", kAllAttributes, 0, 0, cookie, result);
  if (rc != LDAP_SUCCESS) return LdapFail(c->ld, rc, text::Format("reading %s", dn));
  LDAPMessage* entry = ldap_first_entry(c->ld, result.get());
  if (!entry) return LdapFail(c->ld, LDAP_NO_SUCH_OBJECT, text::Format("reading %s", dn));
  out = Object(std::make_shared<LdapObject>(c, ReadEntry(*c, *schema, entry, nullptr)));
  return S_OK;
}

// ---- Searches ------------------------------------------------------------------------------------

// "(distinguishedName" followed by an operator becomes "(entryDN": escaped
// values never hold '(', so only the filter's own items can match.
std::string RewriteDnFilter(std::string_view filter) {
  static constexpr std::string_view kFrom = "(distinguishedname";
  std::string out;
  size_t i = 0;
  while (i < filter.size()) {
    if (filter[i] == '(' && i + kFrom.size() < filter.size() &&
        text::EqualsNoCase(filter.substr(i, kFrom.size()), kFrom) &&
        std::string_view("=~<>:").find(filter[i + kFrom.size()]) != std::string_view::npos) {
      out += "(entryDN";
      i += kFrom.size();
    } else {
      out += filter[i++];
    }
  }
  return out;
}

class LdapSearch final : public SearchState {
 public:
  LdapSearch(ConnectionPtr c, std::string base, int scope, std::string filter, std::vector<std::string> requested,
             const SearchOptions& options)
      : c_(std::move(c)),
        base_(std::move(base)),
        scope_(scope),
        filter_(std::move(filter)),
        requested_(std::move(requested)),
        pageSize_(std::max(options.pageSize, 0)),
        sizeLimit_(std::max(options.sizeLimit, 0)) {
    for (const auto& r : requested_) {
      if (text::EqualsNoCase(r, "distinguishedName") || text::EqualsNoCase(r, "ADsPath")) continue;
      serverAttributes_.push_back(r);
    }
    if (requested_.empty())
      serverAttributes_ = kAllAttributes;
    else if (serverAttributes_.empty())
      serverAttributes_ = {LDAP_NO_ATTRS};
  }

  // Fetches the first page.
  HRESULT Start() QUOR_EXCLUDES(c_->mutex) {
    MutexLock lock(c_->mutex);
    schema_ = SchemaOf(*c_);
    if (schema_->hasEntryDn) filter_ = RewriteDnFilter(filter_);
    return FetchPage();
  }

  HRESULT NextRow(Row& row) override QUOR_EXCLUDES(c_->mutex) {
    MutexLock lock(c_->mutex);
    while (!entry_) {
      if (cookie_.empty() || Full()) return S_ADS_NOMORE_ROWS;
      if (HRESULT hr = FetchPage(); FAILED(hr)) return hr;
    }
    Entry entry = ReadEntry(*c_, *schema_, entry_, requested_.empty() ? nullptr : &requested_);
    entry_ = ldap_next_entry(c_->ld, entry_);
    ++rows_;
    if (Full()) entry_ = nullptr;
    row = Row{};
    row.dn = entry.dn;
    row.path = c_->PathOf(entry.dn);
    if (requested_.empty()) {
      row.columns = std::move(entry.properties);
      row.columns.push_back(Property{"distinguishedName", AdsType::DnString, {entry.dn}});
      return S_OK;
    }
    // Columns in the order asked for.
    for (const auto& r : requested_) {
      if (text::EqualsNoCase(r, "distinguishedName")) {
        row.columns.push_back(Property{r, AdsType::DnString, {entry.dn}});
      } else if (text::EqualsNoCase(r, "ADsPath")) {
        row.columns.push_back(Property{r, AdsType::CaseIgnoreString, {row.path}});
      } else if (const Property* p = FindProperty(entry.properties, r); p && !p->values.empty()) {
        row.columns.push_back(*p);
      }
    }
    return S_OK;
  }

 private:
  bool Full() const { return sizeLimit_ > 0 && rows_ >= sizeLimit_; }

  HRESULT FetchPage() QUOR_REQUIRES(c_->mutex) {
    entry_ = nullptr;
    const int limit = sizeLimit_ > 0 ? sizeLimit_ - rows_ : 0;
    int rc = SearchPage(*c_, base_, scope_, filter_, serverAttributes_, pageSize_, limit, cookie_, result_);
    if (rc == LDAP_SIZELIMIT_EXCEEDED && sizeLimit_ > 0) {
      cookie_.clear();
    } else if (rc != LDAP_SUCCESS) {
      return LdapFail(c_->ld, rc, text::Format("searching %s for %s", base_, filter_));
    }
    entry_ = ldap_first_entry(c_->ld, result_.get());
    return S_OK;
  }

  ConnectionPtr c_;
  std::string base_;
  int scope_;
  std::string filter_;
  std::vector<std::string> requested_;
  std::vector<std::string> serverAttributes_;
  int pageSize_;
  int sizeLimit_;
  int rows_ = 0;
  std::string cookie_;
  Message result_;
  LDAPMessage* entry_ = nullptr;
  std::shared_ptr<const Schema> schema_;
};

int ScopeOf(Scope scope) {
  switch (scope) {
    case Scope::Base: return LDAP_SCOPE_BASE;
    case Scope::OneLevel: return LDAP_SCOPE_ONELEVEL;
    default: return LDAP_SCOPE_SUBTREE;
  }
}

HRESULT MakeCursor(const ConnectionPtr& c, const std::string& base, std::string_view filter,
                   std::span<const std::string> attributes, const SearchOptions& options, SearchCursor& out) {
  auto search = std::make_unique<LdapSearch>(c, base, ScopeOf(options.scope),
                                             filter.empty() ? std::string("(objectClass=*)") : std::string(filter),
                                             std::vector<std::string>(attributes.begin(), attributes.end()), options);
  if (HRESULT hr = search->Start(); FAILED(hr)) return hr;
  out.Reset(std::move(search));
  return S_OK;
}

HRESULT LdapObject::ReadAll(const std::string& base, const std::string& filter, const SearchOptions& options,
                            std::vector<Object>& out) const {
  LdapSearch search(c_, base, ScopeOf(options.scope), filter, {}, options);
  if (HRESULT hr = search.Start(); FAILED(hr)) return hr;
  while (true) {
    Row row;
    HRESULT hr = search.NextRow(row);
    if (hr == S_ADS_NOMORE_ROWS) return S_OK;
    if (FAILED(hr)) return hr;
    std::erase_if(row.columns, [](const Property& p) { return p.name == "distinguishedName"; });
    out.emplace_back(std::make_shared<LdapObject>(c_, Entry{row.dn, std::move(row.columns)}));
  }
}

// ---- Connecting and binding ---------------------------------------------------------------------

// Directory servers that did not answer. Each bind opens its own connection,
// so a server back up is used by the next bind; while one is down, the binds
// within a pause fail at once instead of each waiting on the network, and
// one bind at a time tries again when the pause is over. The pause doubles
// from 1 s up to 4 s.
class ReachGate {
 public:
  static ReachGate& Instance() {
    static ReachGate gate;
    return gate;
  }
  // Whether a bind may try the server; otherwise `why` tells of the last failure.
  bool MayTry(const std::string& server, std::string& why) QUOR_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    const auto it = down_.find(server);
    if (it == down_.end()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < it->second.next) {
      why = text::Format("%s (retried in %lld ms)", it->second.text,
                         static_cast<long long>(
                             std::chrono::duration_cast<std::chrono::milliseconds>(it->second.next - now).count()));
      return false;
    }
    it->second.next = now + it->second.pause;  // this bind is the one that tries
    return true;
  }
  void Failed(const std::string& server, const std::string& text) QUOR_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    Down& down = down_[server];
    down.pause = down.pause.count() == 0 ? std::chrono::milliseconds(1000)
                                         : std::min(down.pause * 2, std::chrono::milliseconds(4000));
    down.next = std::chrono::steady_clock::now() + down.pause;
    down.text = text;
  }
  void Answered(const std::string& server) QUOR_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    down_.erase(server);
  }

 private:
  struct Down {
    std::chrono::steady_clock::time_point next;
    std::chrono::milliseconds pause{0};
    std::string text;
  };
  Mutex mutex_;
  std::map<std::string, Down> down_ QUOR_GUARDED_BY(mutex_);
};

bool NotReached(HRESULT hr) { return hr == kServerDown || hr == kTimeout; }

HRESULT Connect(const AdsPath& path, const Options& options, uint32_t flags, ConnectionPtr& out) {
  const std::string hostName = path.HostName();
  const bool loopback = IsLoopbackHost(hostName);
  TlsMode mode = (flags & ADS_USE_SSL) ? TlsMode::Ldaps : options.tls;
  bool ldaps = false, startTls = false;
  switch (mode) {
    case TlsMode::Auto:
      ldaps = path.Port() == 636;
      startTls = !ldaps && !loopback;
      break;
    case TlsMode::StartTls: startTls = true; break;
    case TlsMode::Ldaps: ldaps = true; break;
    case TlsMode::None:
      if (!loopback)
        return Fail(kStrongAuthRequired, LDAP_STRONG_AUTH_REQUIRED,
                    text::Format("%s is not a loopback address: the directory is reached only over TLS", hostName),
                    kLdapProvider);
      break;
  }
  auto c = std::make_shared<Connection>();
  c->host = path.host;
  const uint16_t port = path.Port() ? path.Port() : (ldaps ? 636 : 389);
  const bool v6 = hostName.find(':') != std::string::npos;
  c->url = text::Format("%s://%s%s%s:%u", ldaps ? "ldaps" : "ldap", v6 ? "[" : "", hostName, v6 ? "]" : "", port);
  const auto ms = options.timeout.count() > 0 ? options.timeout.count() : 10000;
  c->timeout = timeval{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};

  int rc = ldap_initialize(&c->ld, c->url.c_str());
  if (rc != LDAP_SUCCESS) return LdapFail(nullptr, rc, text::Format("connecting to %s", c->url));
  const int version = LDAP_VERSION3;
  ldap_set_option(c->ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  // A referral would be followed with an anonymous bind somewhere else.
  ldap_set_option(c->ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  ldap_set_option(c->ld, LDAP_OPT_NETWORK_TIMEOUT, &c->timeout);
  ldap_set_option(c->ld, LDAP_OPT_TIMEOUT, &c->timeout);
  if (ldaps || startTls) {
    const int demand = LDAP_OPT_X_TLS_DEMAND;
    const int minimum = LDAP_OPT_X_TLS_PROTOCOL_TLS1_2;
    ldap_set_option(c->ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
    ldap_set_option(c->ld, LDAP_OPT_X_TLS_PROTOCOL_MIN, &minimum);
    if (!options.caFile.empty()) ldap_set_option(c->ld, LDAP_OPT_X_TLS_CACERTFILE, options.caFile.c_str());
    const int client = 0;
    rc = ldap_set_option(c->ld, LDAP_OPT_X_TLS_NEWCTX, &client);
    if (rc != LDAP_OPT_SUCCESS) return LdapFail(c->ld, rc, "setting up TLS");
  }
  if (startTls) {
    rc = ldap_start_tls_s(c->ld, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
      HRESULT hr = LdapFail(c->ld, rc, text::Format("StartTLS with %s", c->url));
      // A server that answers but cannot protect the session is refused
      // like one that asks for stronger authentication.
      if (hr != kServerDown && hr != kTimeout) hr = kStrongAuthRequired;
      return hr;
    }
  }
  out = std::move(c);
  return S_OK;
}

HRESULT SimpleBind(Connection& c, const std::string& dn, std::string_view password, std::string_view who)
    QUOR_REQUIRES(c.mutex) {
  berval credential{static_cast<ber_len_t>(password.size()), const_cast<char*>(password.data())};
  const int rc = ldap_sasl_bind_s(c.ld, dn.c_str(), LDAP_SASL_SIMPLE, &credential, nullptr, nullptr, nullptr);
  return rc == LDAP_SUCCESS ? S_OK : LdapFail(c.ld, rc, who);
}

// The naming context that holds `dn`: the longest one that ends it.
std::string NamingContextOf(Connection& c, const std::string& dn) QUOR_REQUIRES(c.mutex) {
  std::string best;
  size_t bestRdns = 0;
  auto rdns = [](std::string_view text) {
    size_t n = 0;
    for (std::string rest(text); !rest.empty(); rest = SplitRdn(rest).second) ++n;
    return n;
  };
  const size_t dnRdns = rdns(dn);
  for (const auto& context : RootDse(c, "namingContexts")) {
    const size_t n = rdns(context);
    if (n > dnRdns || (n <= bestRdns && !best.empty())) continue;
    std::string tail = dn;
    for (size_t i = 0; i < dnRdns - n; ++i) tail = SplitRdn(tail).second;
    if (DnEquals(tail, context)) {
      best = context;
      bestRdns = n;
    }
  }
  return best.empty() ? dn : best;
}

// "dc=quor,dc=test" -> "quor.test"; empty when the DN has other parts.
std::string DnsNameOf(const std::string& dn) {
  std::string out;
  for (std::string rest = dn; !rest.empty();) {
    auto [rdn, tail] = SplitRdn(rest);
    const size_t eq = rdn.find('=');
    if (eq == std::string::npos || !text::EqualsNoCase(text::TrimAscii(rdn.substr(0, eq)), "dc")) return {};
    if (!out.empty()) out += '.';
    out += text::TrimAscii(rdn.substr(eq + 1));
    rest = tail;
  }
  return out;
}

// A sign-in name that is a DN ("cn=...,dc=..."), not a name that merely
// holds '='.
bool IsDn(const std::string& user) {
  if (user.find('=') == std::string::npos) return false;
  LDAPDN parsed = nullptr;
  if (ldap_str2dn(user.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) return false;
  const bool any = parsed != nullptr;
  ldap_dnfree(parsed);
  return any;
}

// Finds the one user entry a sign-in name stands for.
HRESULT ResolveUser(Connection& c, const std::string& pathDn, const std::string& user, std::string& dn)
    QUOR_REQUIRES(c.mutex) {
  if (IsDn(user)) {
    dn = user;
    return S_OK;
  }
  // A principal name is tried as it is first, whatever it holds.
  const size_t at = user.rfind('@');
  const bool principalForm = at != std::string::npos && at + 1 < user.size();
  std::string name = user, realm;
  if (size_t slash = user.find('\\'); slash != std::string::npos) {
    realm = user.substr(0, slash);
    name = user.substr(slash + 1);
  } else if (at != std::string::npos) {
    name = user.substr(0, at);
    realm = user.substr(at + 1);
  }
  const std::string base = NamingContextOf(c, pathDn);
  const std::string dnsName = DnsNameOf(base);
  const std::string shortName = dnsName.substr(0, dnsName.find('.'));

  auto lookup = [&](const std::string& filter, int& count) QUOR_REQUIRES(c.mutex) -> HRESULT {
    Message result;
    std::string cookie;
    count = 0;
    // Two rows are enough to know the name is not unique.
    int rc = SearchPage(c, base, LDAP_SCOPE_SUBTREE, filter, {LDAP_NO_ATTRS}, 0, 2, cookie, result);
    if (rc != LDAP_SUCCESS && rc != LDAP_SIZELIMIT_EXCEEDED)
      return LdapFail(c.ld, rc, text::Format("looking up %s", user));
    for (LDAPMessage* e = ldap_first_entry(c.ld, result.get()); e; e = ldap_next_entry(c.ld, e)) {
      if (++count == 1) {
        char* found = ldap_get_dn(c.ld, e);
        dn = found ? found : "";
        ldap_memfree(found);
      }
    }
    return S_OK;
  };
  int count = 0;
  if (principalForm) {
    if (HRESULT hr = lookup("(&(objectClass=user)(userPrincipalName=" + EscapeFilterValue(user) + "))", count);
        FAILED(hr))
      return hr;
    if (count == 1) return S_OK;
  }
  // The account name, when the realm is none or this directory's own.
  const bool ownRealm = realm.empty() || (!dnsName.empty() && (text::EqualsNoCase(realm, dnsName) ||
                                                                 text::EqualsNoCase(realm, shortName)));
  if (count == 0 && ownRealm && !name.empty()) {
    if (HRESULT hr = lookup("(&(objectClass=user)(sAMAccountName=" + EscapeFilterValue(name) + "))", count);
        FAILED(hr))
      return hr;
    if (count == 1) return S_OK;
  }
  // Unknown and ambiguous names read like a wrong password.
  dn.clear();
  return Fail(kLogonFailure, LDAP_INVALID_CREDENTIALS, text::Format("binding as %s: %s", user,
                                                                    ldap_err2string(LDAP_INVALID_CREDENTIALS)),
              kLdapProvider);
}

}  // namespace

HRESULT LdapBind(const AdsPath& path, const std::string* user, std::string_view password, uint32_t flags,
                 const Options& options, Object& out) {
  ReachGate& gate = ReachGate::Instance();
  // Per server and way of reaching it: a TLS set-up that fails says nothing
  // of the plain port.
  const std::string server =
      text::Format("%s:%u|%d|%d|%s", path.HostName(), static_cast<unsigned>(path.Port()), static_cast<int>(options.tls),
                   (flags & ADS_USE_SSL) ? 1 : 0, options.caFile);
  if (std::string why; !gate.MayTry(server, why))
    return Fail(kServerDown, LDAP_SERVER_DOWN, why, kLdapProvider);
  // The first exchange with the server tells whether it answers.
  auto reached = [&](HRESULT hr) {
    if (NotReached(hr)) gate.Failed(server, LastError().text);
    else gate.Answered(server);
    return hr;
  };
  ConnectionPtr c;
  if (HRESULT hr = Connect(path, options, flags, c); FAILED(hr)) return reached(hr);
  std::string dn = path.dn;
  {
    MutexLock lock(c->mutex);
    if (!options.serviceUser.empty() && options.servicePassword.empty())
      return Fail(kLogonFailure, LDAP_INVALID_CREDENTIALS, "the service's password is empty", kLdapProvider);
    if (HRESULT hr = reached(SimpleBind(*c, options.serviceUser, options.servicePassword,
                                        options.serviceUser.empty() ? "binding anonymously"
                                                                    : "binding as the service " + options.serviceUser));
        FAILED(hr))
      return hr;
    if (dn.empty()) {
      auto contexts = RootDse(*c, "namingContexts");
      if (contexts.empty())
        return Fail(kNoSuchObject, LDAP_NO_SUCH_OBJECT, text::Format("%s names no naming context", c->url),
                    kLdapProvider);
      dn = contexts.front();
    }
    if (user) {
      std::string userDn;
      if (HRESULT hr = ResolveUser(*c, dn, *user, userDn); FAILED(hr)) return hr;
      if (HRESULT hr = SimpleBind(*c, userDn, password, "binding as " + *user); FAILED(hr)) {
        // The same words for every refused credential.
        if (hr == kLogonFailure || hr == kInvalidDnSyntax)
          return Fail(kLogonFailure, LDAP_INVALID_CREDENTIALS,
                      text::Format("binding as %s: %s", *user, ldap_err2string(LDAP_INVALID_CREDENTIALS)),
                      kLdapProvider);
        return hr;
      }
    }
  }
  return ReadObject(c, dn, out);
}

}  // namespace quor::dir::detail
