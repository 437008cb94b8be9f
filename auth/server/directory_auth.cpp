#include "auth/server/directory_auth.h"

#include <vector>

#include "auth/ids.h"
#include "auth/util/error.h"
#include "platform/directory/directory.h"
#include "platform/text/text.h"

namespace quor::auth {
namespace {

constexpr uint32_t kBindFlags = dir::ADS_SECURE_AUTHENTICATION | dir::ADS_READONLY_SERVER;

std::vector<std::u16string_view> SplitAll(std::u16string_view text, char16_t delimiter) {
  std::vector<std::u16string_view> parts;
  for (;;) {
    const size_t at = text.find(delimiter);
    parts.push_back(text.substr(0, at));
    if (at == std::u16string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

// Binds with the caller's credential; a refusal fails with the provider's
// words.
Result<dir::Object> BindAs(const std::u16string& path, const std::u16string& user, const com::Bstr& credential) {
  dir::Object object;
  const HRESULT hr = dir::OpenObject(text::Narrow(path), text::Narrow(user), credential.ToUtf8(), kBindFlags, object);
  if (FAILED(hr)) return DirectoryFailure(hr, kAuthClsid);
  return object;
}

}  // namespace

Authority Authority::Parse(std::u16string_view text) {
  Authority out;
  const size_t separator = text.find(u"://");
  if (separator == std::u16string_view::npos) return out;
  out.scheme = text.substr(0, separator);
  std::u16string_view rest = text.substr(separator + 3);
  const size_t slash = rest.find(u'/');
  out.host = rest.substr(0, slash);
  if (slash != std::u16string_view::npos) {
    std::u16string_view path = rest.substr(slash + 1);
    while (!path.empty() && path.back() == u'/') path.remove_suffix(1);
    out.path = path;
  }
  return out;
}

bool Authority::IsLdap() const { return text::EqualsNoCase(scheme, u"LDAP"); }
bool Authority::IsWinNT() const { return text::EqualsNoCase(scheme, u"WinNT"); }

bool Authority::SameAs(const Authority& other) const {
  return !scheme.empty() && text::EqualsNoCase(scheme, other.scheme) && text::EqualsNoCase(host, other.host) &&
         text::EqualsNoCase(path, other.path);
}

Result<std::u16string> Authority::LdapContainerPath(const com::CLSID& source) const {
  std::u16string container = host;
  if (!path.empty()) container += u"/" + path;
  if (container.find(u'=') != std::u16string::npos) return u"LDAP://" + container;
  QUOR_ASSIGN_OR_RETURN(const std::u16string dn, BuildDistinguishedName(container, source));
  return u"LDAP://" + host + u"/" + dn;
}

Result<std::u16string> BuildDistinguishedName(std::u16string_view name, const com::CLSID& source) {
  if (name.empty()) return util::Fail(E_INVALIDARG, source, {});
  const std::vector<std::u16string_view> parts = SplitAll(name, u'/');
  std::u16string dn;
  for (size_t i = parts.size(); i-- > 1;) {
    dn += dn.empty() ? u"OU=" : u",OU=";
    dn += parts[i];
  }
  if (!dn.empty()) dn += u",";
  bool first = true;
  for (std::u16string_view label : SplitAll(parts.front(), u'.')) {
    dn += first ? u"DC=" : u",DC=";
    dn += label;
    first = false;
  }
  return dn;
}

std::u16string DirectoryErrorText(HRESULT status) {
  const uint32_t facility = HRESULT_FACILITY(status);
  if (facility != 0 && facility != FACILITY_WIN32) return {};
  std::string out;
  const uint32_t low = static_cast<uint32_t>(status) & 0xFFFF;
  if (low >= 0x5000 && low <= 0x5014) out = dir::StatusName(status);
  const dir::ExtendedError& extended = dir::LastError();
  // 13 (ERROR_INVALID_DATA) carries nothing worth reporting.
  if (extended.code != 0 && extended.code != 13 && !extended.text.empty() &&
      extended.code != static_cast<uint32_t>(status)) {
    if (!out.empty()) out += " : ";
    out += text::Format("0x%x : %s : %s", extended.code, extended.provider, extended.text);
  }
  return text::Widen(out);
}

Status DirectoryFailure(HRESULT status, const com::CLSID& source) {
  return util::Fail(status, source, text::Narrow(DirectoryErrorText(status)));
}

Result<std::u16string> Authenticate(std::u16string_view authorityText, std::u16string_view realm,
                                    const com::Bstr& principal, const com::Bstr& credential) {
  if (principal.Empty() || credential.IsNull()) return util::Fail(E_POINTER, kAuthClsid, {});
  const Authority authority = Authority::Parse(authorityText);
  if (authority.scheme.empty() || authority.host.empty()) return util::Fail(E_INVALIDARG, kAuthClsid, {});
  // An empty password is an unauthenticated bind, which many servers take
  // for an anonymous one: it never reaches the directory.
  if (credential.Empty()) return util::Fail(dir::kLogonFailure, kAuthClsid, "Logon failure: empty credential");

  if (authority.IsLdap()) {
    QUOR_ASSIGN_OR_RETURN(const std::u16string path, authority.LdapContainerPath(kAuthClsid));
    std::u16string full = principal.Str() + u"@" + std::u16string(realm);
    QUOR_RETURN_IF_ERROR(BindAs(path, full, credential).status());
    return full;
  }
  if (authority.IsWinNT()) {
    std::u16string path = u"WinNT://" + authority.host;
    if (!authority.path.empty()) path += u"/" + authority.path;
    std::u16string full = std::u16string(realm) + u"\\" + principal.Str();
    QUOR_ASSIGN_OR_RETURN(const dir::Object target, BindAs(path, full, credential));
    const std::string cls = target.Class();
    if (cls.empty()) return util::Fail(E_UNEXPECTED, kAuthClsid, "Unknown class");
    if (cls == "Domain") return full;
    if (cls == "Computer") {
      // The user object on that computer must take the credential too.
      QUOR_RETURN_IF_ERROR(BindAs(path + u"/" + principal.Str(), full, credential).status());
      return full;
    }
    return util::Fail(E_NOTIMPL, kAuthClsid, "Unsupported Authority Class");
  }
  return util::Fail(E_NOTIMPL, kAuthClsid, "Unsupported Authority Scheme");
}

}  // namespace quor::auth
