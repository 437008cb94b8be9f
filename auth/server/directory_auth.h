// Directory authentication: authority texts, LDAP names built from domain
// names, the descriptions of directory failures, and the credential check
// behind CreateTicket. Shared with the account look-ups.
//
// Authority: scheme "://" host ["/" path]; the scheme "LDAP" or "WinNT"
// (without case). LDAP: host a server or DNS domain name, path a container
// as a DN (holding "=") or as organisational units separated by "/".
// WinNT: host the account store's domain or computer name.
#pragma once

#include <string>
#include <string_view>

#include "platform/com/bstr.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/status.h"

namespace quor::auth {

struct Authority {
  std::u16string scheme;
  std::u16string host;
  std::u16string path;  // without trailing "/"

  // All parts empty for a text without "://".
  static Authority Parse(std::u16string_view text);
  bool IsLdap() const;
  bool IsWinNT() const;
  // The same directory: parts compared without case.
  bool SameAs(const Authority& other) const;
  // LDAP: the path of the container the authority names: "LDAP://" host "/"
  // path when the container text (host, and "/" path) holds "=", else
  // "LDAP://" host "/" and the DN built from the container text.
  Result<std::u16string> LdapContainerPath(const com::CLSID& source) const;
};

// "a.b.c/U1/U2" -> "OU=U2,OU=U1,DC=a,DC=b,DC=c". E_INVALIDARG (with
// `source` as the failing class) for an empty name.
Result<std::u16string> BuildDistinguishedName(std::u16string_view name, const com::CLSID& source);

// The description of a directory failure: the ADSI status name for the
// E_ADS_ statuses, then what the provider said about the calling thread's
// last failure ("0x31 : LDAP Provider : ..."). Empty for statuses outside
// facilities 0 and 7, and when nothing is known.
std::u16string DirectoryErrorText(HRESULT status);
// `status` as a failure with DirectoryErrorText (or the status's own text).
Status DirectoryFailure(HRESULT status, const com::CLSID& source);

// Proves principal and credential by binding to the directory the authority
// names with them; gives the full principal (principal "@" realm for LDAP,
// realm "\" principal for WinNT). Failures: E_POINTER for an empty principal
// or a null credential; logon failure (0x8007052E) for an empty credential,
// before anything is sent; E_INVALIDARG for an authority without scheme or
// host; E_NOTIMPL "Unsupported Authority Scheme" / "Unsupported Authority
// Class"; the bind's status with DirectoryErrorText.
Result<std::u16string> Authenticate(std::u16string_view authority, std::u16string_view realm, const com::Bstr& principal,
                            const com::Bstr& credential);

}  // namespace quor::auth
