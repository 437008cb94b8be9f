// The front of the directory layer: paths, filter and DN helpers, options,
// statuses and the provider-independent parts of objects and searches.

#include "platform/directory/directory.h"

#include <arpa/inet.h>
#include <ldap.h>

#include <algorithm>
#include <array>
#include <utility>

#include "platform/directory/provider.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"
#include "platform/text/url.h"

namespace quor::dir {

// ---- Statuses and the thread's extended error ---------------------------------------

std::string_view StatusName(HRESULT status) {
  static constexpr std::array<std::string_view, 21> kNames = {
      "E_ADS_BAD_PATHNAME",          "E_ADS_INVALID_DOMAIN_OBJECT", "E_ADS_INVALID_USER_OBJECT",
      "E_ADS_INVALID_COMPUTER_OBJECT", "E_ADS_UNKNOWN_OBJECT",      "E_ADS_PROPERTY_NOT_SET",
      "E_ADS_PROPERTY_NOT_SUPPORTED", "E_ADS_PROPERTY_INVALID",     "E_ADS_BAD_PARAMETER",
      "E_ADS_OBJECT_UNBOUND",        "E_ADS_PROPERTY_NOT_MODIFIED", "E_ADS_PROPERTY_MODIFIED",
      "E_ADS_CANT_CONVERT_DATATYPE", "E_ADS_PROPERTY_NOT_FOUND",    "E_ADS_OBJECT_EXISTS",
      "E_ADS_SCHEMA_VIOLATION",      "E_ADS_COLUMN_NOT_SET",        "S_ADS_ERRORSOCCURRED",
      "S_ADS_NOMORE_ROWS",           "S_ADS_NOMORE_COLUMNS",        "E_ADS_INVALID_FILTER"};
  const auto value = static_cast<uint32_t>(status);
  const uint32_t code = value & 0xFFFF;
  if (code < 0x5000 || code > 0x5014 || (value & 0x7FFF0000u) != 0) return {};
  const bool failure = (value & 0x80000000u) != 0;
  // The three S_ names are successes, the others failures.
  if (failure == (code >= 0x5011 && code <= 0x5013)) return {};
  return kNames[code - 0x5000];
}

namespace {
thread_local ExtendedError tLastError;
}

const ExtendedError& LastError() { return tLastError; }

namespace detail {

void ClearLastError() { tLastError = ExtendedError{}; }

HRESULT Fail(HRESULT status, uint32_t code, std::string text, std::string_view provider) {
  tLastError.code = code;
  tLastError.text = std::move(text);
  tLastError.provider = std::string(provider);
  return status;
}

}  // namespace detail

// ---- Paths -----------------------------------------------------------------------------

HRESULT AdsPath::Parse(std::string_view text, AdsPath& out) {
  AdsPath path;
  const std::optional<text::UrlParts> parts = text::SplitUrl(text);
  if (!parts) return E_ADS_BAD_PATHNAME;
  const std::string_view scheme = parts->scheme;
  std::string_view rest = text.substr(scheme.size() + 3);
  if (text::EqualsNoCase(scheme, "LDAP")) {
    path.provider = Provider::Ldap;
    // A '?' is part of a distinguished name here, never a query.
    size_t slash;
    if (!rest.empty() && rest.front() == '[') {
      const size_t close = rest.find(']');
      slash = close == std::string_view::npos ? std::string_view::npos : rest.find('/', close);
    } else {
      slash = rest.find('/');
    }
    std::string_view host = rest.substr(0, slash);
    // "LDAP://DC=x,DC=y" names no server: this layer needs one.
    if (host.find('=') != std::string_view::npos) return E_ADS_BAD_PATHNAME;
    const std::optional<text::HostPort> split = text::SplitHostPort(host);
    if (!split || split->host.empty() || (split->hasPort && !text::ParsePort(split->port))) return E_ADS_BAD_PATHNAME;
    path.host = std::string(host);
    if (slash != std::string_view::npos) {
      std::string_view dn = rest.substr(slash + 1);
      for (size_t i = 0; i < dn.size(); ++i) {
        if (dn[i] == '\\' && i + 1 < dn.size() && dn[i + 1] == '/') continue;  // "\/" stands for '/'
        path.dn += dn[i];
      }
    }
  } else if (text::EqualsNoCase(scheme, "WinNT")) {
    path.provider = Provider::WinNT;
    const size_t comma = rest.rfind(',');
    if (comma != std::string_view::npos) {
      path.className = std::string(rest.substr(comma + 1));
      rest = rest.substr(0, comma);
      if (path.className.empty() || path.className.find('/') != std::string::npos) return E_ADS_BAD_PATHNAME;
    }
    while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    auto parts = text::Split(rest, '/');
    if (parts.empty() || parts[0].empty()) return E_ADS_BAD_PATHNAME;
    for (size_t i = 1; i < parts.size(); ++i)
      if (parts[i].empty()) return E_ADS_BAD_PATHNAME;
    path.host = parts[0];
    path.names.assign(parts.begin() + 1, parts.end());
  } else {
    return E_ADS_BAD_PATHNAME;
  }
  out = std::move(path);
  return S_OK;
}

std::string AdsPath::ToString() const {
  std::string out;
  if (provider == Provider::Ldap) {
    out = "LDAP://" + host;
    if (!dn.empty()) {
      out += '/';
      for (char c : dn) {
        if (c == '/') out += '\\';
        out += c;
      }
    }
  } else if (provider == Provider::WinNT) {
    out = "WinNT://" + host;
    for (const auto& n : names) out += "/" + n;
    if (!className.empty()) out += "," + className;
  }
  return out;
}

std::string AdsPath::HostName() const {
  const std::optional<text::HostPort> split = text::SplitHostPort(host);
  return split && !split->host.empty() ? std::string(split->host) : host;
}

uint16_t AdsPath::Port() const {
  const std::optional<text::HostPort> split = text::SplitHostPort(host);
  return split && split->hasPort ? text::ParsePort(split->port).value_or(0) : 0;
}

bool IsLoopbackHost(std::string_view hostName) {
  if (!hostName.empty() && hostName.front() == '[' && hostName.back() == ']')
    hostName = hostName.substr(1, hostName.size() - 2);
  if (text::EqualsNoCase(hostName, "localhost") || text::EqualsNoCase(hostName, "localhost.")) return true;
  const std::string name(hostName);
  in_addr v4{};
  if (::inet_pton(AF_INET, name.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, name.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
  }
  return false;
}

// ---- Filters and DNs ---------------------------------------------------------------------

namespace {

std::string EscapeFilter(std::string_view value, bool keepStar) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if ((c == '*' && !keepStar) || c == '(' || c == ')' || c == '\\' || c == '\0') {
      out += '\\';
      out += kHex[(static_cast<unsigned char>(c) >> 4) & 0xF];
      out += kHex[static_cast<unsigned char>(c) & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

using NormalRdn = std::vector<std::pair<std::string, std::string>>;

bool NormalizeDn(std::string_view dn, std::vector<NormalRdn>& out) {
  out.clear();
  if (dn.empty()) return true;
  LDAPDN parsed = nullptr;
  const std::string text(dn);
  if (ldap_str2dn(text.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) return false;
  for (int i = 0; parsed && parsed[i]; ++i) {
    NormalRdn rdn;
    for (int j = 0; parsed[i][j]; ++j) {
      const LDAPAVA* ava = parsed[i][j];
      rdn.emplace_back(text::ToLowerAscii(std::string_view(ava->la_attr.bv_val, ava->la_attr.bv_len)),
                       text::ToLowerAscii(std::string_view(ava->la_value.bv_val, ava->la_value.bv_len)));
    }
    std::sort(rdn.begin(), rdn.end());
    out.push_back(std::move(rdn));
  }
  ldap_dnfree(parsed);
  return true;
}

}  // namespace

std::string EscapeFilterValue(std::string_view value) { return EscapeFilter(value, false); }
std::string EscapeFilterPattern(std::string_view pattern) { return EscapeFilter(pattern, true); }

std::string EscapeDnValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    const bool edge = (i == 0 && (c == ' ' || c == '#')) || (i + 1 == value.size() && c == ' ');
    if (c == '\0' || c == '\r' || c == '\n') {
      out += '\\';
      out += kHex[(static_cast<unsigned char>(c) >> 4) & 0xF];
      out += kHex[static_cast<unsigned char>(c) & 0xF];
    } else if (edge || std::string_view(",+\"\\<>;=").find(c) != std::string_view::npos) {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return out;
}

bool DnEquals(std::string_view a, std::string_view b) {
  std::vector<NormalRdn> na, nb;
  return NormalizeDn(a, na) && NormalizeDn(b, nb) && na == nb;
}

// ---- Options ---------------------------------------------------------------------------

Options Options::FromRegistry() {
  Options options;
  reg::Key key;
  if (!key.Open(reg::Hive::LocalMachine, "SOFTWARE\\Velt\\Directory").ok()) return options;
  if (auto value = key.GetString("ServiceUser"); value.ok()) options.serviceUser = *value;
  if (auto value = key.GetString("ServicePassword"); value.ok()) options.servicePassword = *value;
  if (auto value = key.GetString("CACertFile"); value.ok()) options.caFile = *value;
  if (auto value = key.GetString("AccountStore"); value.ok()) options.accountStore = *value;
  if (auto value = key.GetString("TLS"); value.ok()) {
    if (text::EqualsNoCase(*value, "starttls"))
      options.tls = TlsMode::StartTls;
    else if (text::EqualsNoCase(*value, "ldaps"))
      options.tls = TlsMode::Ldaps;
    else if (text::EqualsNoCase(*value, "none"))
      options.tls = TlsMode::None;
  }
  if (auto seconds = key.GetDword("Timeout"); seconds.ok() && *seconds > 0 && *seconds <= 3600)
    options.timeout = std::chrono::seconds(*seconds);
  return options;
}

// ---- Binding -------------------------------------------------------------------------------

namespace {

HRESULT Bind(std::string_view pathText, const std::string* user, std::string_view password, uint32_t flags,
             const Options& options, Object& out) {
  detail::ClearLastError();
  out = Object();
  AdsPath path;
  if (AdsPath::Parse(pathText, path) != S_OK)
    return detail::Fail(E_ADS_BAD_PATHNAME, 0, text::Format("\"%s\" is not a directory path", pathText), "");
  const std::string_view provider = path.provider == Provider::Ldap ? detail::kLdapProvider : detail::kWinNTProvider;
  // An empty password would be an unauthenticated bind, which many servers
  // accept as anonymous: refuse it before anything is sent.
  if (user && (user->empty() || password.empty()))
    return detail::Fail(kLogonFailure, 1326, "an empty user name or password is refused", provider);
  if (path.provider == Provider::Ldap) return detail::LdapBind(path, user, password, flags, options, out);
  return detail::WinNTBind(path, user, password, options, out);
}

}  // namespace

HRESULT OpenObject(std::string_view path, std::string_view user, std::string_view password, uint32_t flags,
                   const Options& options, Object& out) {
  const std::string name(user);
  return Bind(path, &name, password, flags, options, out);
}

HRESULT OpenObject(std::string_view path, std::string_view user, std::string_view password, uint32_t flags,
                   Object& out) {
  return OpenObject(path, user, password, flags, Options::FromRegistry(), out);
}

HRESULT GetObject(std::string_view path, const Options& options, Object& out) {
  return Bind(path, nullptr, {}, 0, options, out);
}

HRESULT GetObject(std::string_view path, Object& out) { return GetObject(path, Options::FromRegistry(), out); }

// ---- Objects ----------------------------------------------------------------------------------

Provider Object::GetProvider() const { return impl_ ? impl_->GetProvider() : Provider::None; }
std::string Object::Path() const { return impl_ ? impl_->Path() : std::string(); }
std::string Object::Name() const { return impl_ ? impl_->Name() : std::string(); }
std::string Object::Class() const { return impl_ ? impl_->Class() : std::string(); }
std::string Object::Parent() const { return impl_ ? impl_->Parent() : std::string(); }
std::string Object::Dn() const { return impl_ ? impl_->Dn() : std::string(); }

HRESULT Object::Get(std::string_view name, Property& out) const {
  detail::ClearLastError();
  return impl_ ? impl_->Get(name, out) : E_ADS_OBJECT_UNBOUND;
}

std::vector<std::string> Object::PropertyNames() const {
  return impl_ ? impl_->PropertyNames() : std::vector<std::string>();
}

HRESULT Object::Children(std::span<const std::string> classFilter, std::vector<Object>& out) const {
  detail::ClearLastError();
  out.clear();
  return impl_ ? impl_->Children(classFilter, out) : E_ADS_OBJECT_UNBOUND;
}

HRESULT Object::Members(std::vector<Object>& out) const {
  detail::ClearLastError();
  out.clear();
  return impl_ ? impl_->Members(out) : E_ADS_OBJECT_UNBOUND;
}

HRESULT Object::IsMember(std::string_view memberPath, bool& out) const {
  detail::ClearLastError();
  out = false;
  return impl_ ? impl_->IsMember(memberPath, out) : E_ADS_OBJECT_UNBOUND;
}

HRESULT Object::Groups(std::vector<Object>& out) const {
  detail::ClearLastError();
  out.clear();
  return impl_ ? impl_->Groups(out) : E_ADS_OBJECT_UNBOUND;
}

HRESULT Object::ExecuteSearch(std::string_view filter, std::span<const std::string> attributes,
                              const SearchOptions& options, SearchCursor& out) const {
  detail::ClearLastError();
  out.Close();
  return impl_ ? impl_->ExecuteSearch(filter, attributes, options, out) : E_ADS_OBJECT_UNBOUND;
}

HRESULT Object::Search(std::string_view filter, std::span<const std::string> attributes,
                       const SearchOptions& options, std::vector<Row>& rows) const {
  rows.clear();
  SearchCursor cursor;
  HRESULT hr = ExecuteSearch(filter, attributes, options, cursor);
  if (FAILED(hr)) return hr;
  while (true) {
    Row row;
    hr = cursor.NextRow(row);
    if (hr == S_ADS_NOMORE_ROWS) return S_OK;
    if (FAILED(hr)) {
      rows.clear();
      return hr;
    }
    rows.push_back(std::move(row));
  }
}

// ---- Properties, rows and cursors ---------------------------------------------------------

bool Property::IsString() const {
  return type == AdsType::DnString || type == AdsType::CaseExactString || type == AdsType::CaseIgnoreString ||
         type == AdsType::PrintableString || type == AdsType::NumericString;
}

std::optional<bool> Property::AsBool(size_t index) const {
  if (type != AdsType::Boolean || index >= values.size()) return std::nullopt;
  if (text::EqualsNoCase(values[index], "TRUE")) return true;
  if (text::EqualsNoCase(values[index], "FALSE")) return false;
  return std::nullopt;
}

std::optional<int64_t> Property::AsInteger(size_t index) const {
  if ((type != AdsType::Integer && type != AdsType::LargeInteger) || index >= values.size()) return std::nullopt;
  return text::ParseInt64(values[index]);
}

HRESULT Row::GetColumn(std::string_view name, Property& out) const {
  for (const auto& column : columns) {
    if (text::EqualsNoCase(column.name, name)) {
      out = column;
      return S_OK;
    }
  }
  return E_ADS_COLUMN_NOT_SET;
}

SearchCursor::SearchCursor() = default;
SearchCursor::~SearchCursor() = default;
SearchCursor::SearchCursor(SearchCursor&&) noexcept = default;
SearchCursor& SearchCursor::operator=(SearchCursor&&) noexcept = default;

HRESULT SearchCursor::NextRow(Row& row) {
  detail::ClearLastError();
  if (!state_) return S_ADS_NOMORE_ROWS;
  HRESULT hr = state_->NextRow(row);
  if (hr != S_OK) state_.reset();
  return hr;
}

void SearchCursor::Close() { state_.reset(); }

void SearchCursor::Reset(std::unique_ptr<detail::SearchState> state) { state_ = std::move(state); }

}  // namespace quor::dir
