// The directory: objects named by ADsPath-style paths, bound with a user's
// credential or as the service, read through typed properties, containers,
// groups and paged searches.
//
//   LDAP://host[:port]/DN      an entry of an LDAP server (OpenLDAP's libldap)
//   WinNT://name[/...][,class] the local account store (accounts.h): the
//                              domain or the computer, and the users and
//                              groups in it
//
// Signing in to LDAP: the sign-in name (principal@realm, realm\principal, a
// bare name or a DN) is resolved to one entry by a search made as the service,
// and the credential is proven by a simple bind of that entry's DN. Traffic is
// protected by TLS (ldaps or StartTLS) unless the server is on a loopback
// address. An empty name or password is refused before anything is sent.
//
// Failures are statuses (HRESULT) with the numbers callers written for the
// original platform test; the provider's own error code and message for the
// last failure on the calling thread are kept for LastError().
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/hresult.h"

namespace quor::dir {

// ---- Statuses ----------------------------------------------------------------

#define QUOR_DIR_HR(value) static_cast<HRESULT>(static_cast<uint32_t>(value))
inline constexpr HRESULT E_ADS_BAD_PATHNAME = QUOR_DIR_HR(0x80005000);
inline constexpr HRESULT E_ADS_INVALID_DOMAIN_OBJECT = QUOR_DIR_HR(0x80005001);
inline constexpr HRESULT E_ADS_INVALID_USER_OBJECT = QUOR_DIR_HR(0x80005002);
inline constexpr HRESULT E_ADS_INVALID_COMPUTER_OBJECT = QUOR_DIR_HR(0x80005003);
inline constexpr HRESULT E_ADS_UNKNOWN_OBJECT = QUOR_DIR_HR(0x80005004);
inline constexpr HRESULT E_ADS_PROPERTY_NOT_SET = QUOR_DIR_HR(0x80005005);
inline constexpr HRESULT E_ADS_PROPERTY_NOT_SUPPORTED = QUOR_DIR_HR(0x80005006);
inline constexpr HRESULT E_ADS_PROPERTY_INVALID = QUOR_DIR_HR(0x80005007);
inline constexpr HRESULT E_ADS_BAD_PARAMETER = QUOR_DIR_HR(0x80005008);
inline constexpr HRESULT E_ADS_OBJECT_UNBOUND = QUOR_DIR_HR(0x80005009);
inline constexpr HRESULT E_ADS_PROPERTY_NOT_MODIFIED = QUOR_DIR_HR(0x8000500A);
inline constexpr HRESULT E_ADS_PROPERTY_MODIFIED = QUOR_DIR_HR(0x8000500B);
inline constexpr HRESULT E_ADS_CANT_CONVERT_DATATYPE = QUOR_DIR_HR(0x8000500C);
inline constexpr HRESULT E_ADS_PROPERTY_NOT_FOUND = QUOR_DIR_HR(0x8000500D);
inline constexpr HRESULT E_ADS_OBJECT_EXISTS = QUOR_DIR_HR(0x8000500E);
inline constexpr HRESULT E_ADS_SCHEMA_VIOLATION = QUOR_DIR_HR(0x8000500F);
inline constexpr HRESULT E_ADS_COLUMN_NOT_SET = QUOR_DIR_HR(0x80005010);
inline constexpr HRESULT S_ADS_ERRORSOCCURRED = QUOR_DIR_HR(0x00005011);
inline constexpr HRESULT S_ADS_NOMORE_ROWS = QUOR_DIR_HR(0x00005012);
inline constexpr HRESULT S_ADS_NOMORE_COLUMNS = QUOR_DIR_HR(0x00005013);
inline constexpr HRESULT E_ADS_INVALID_FILTER = QUOR_DIR_HR(0x80005014);

// Statuses made from the platform's error numbers.
inline constexpr HRESULT kLogonFailure = HRESULT_FROM_WIN32(1326);          // 0x8007052E
inline constexpr HRESULT kTimeout = HRESULT_FROM_WIN32(1460);               // 0x800705B4
inline constexpr HRESULT kBadNetPath = HRESULT_FROM_WIN32(53);              // 0x80070035: no such domain or computer
inline constexpr HRESULT kGroupNotFound = HRESULT_FROM_WIN32(2220);         // 0x800708AC
inline constexpr HRESULT kUserNotFound = HRESULT_FROM_WIN32(2221);          // 0x800708AD
inline constexpr HRESULT kBadAccountStore = HRESULT_FROM_WIN32(1009);       // 0x800703F1: damaged store file
inline constexpr HRESULT kOperationsError = HRESULT_FROM_WIN32(8224);       // 0x80072020
inline constexpr HRESULT kStrongAuthRequired = HRESULT_FROM_WIN32(8232);    // 0x80072028: TLS needed
inline constexpr HRESULT kNoSuchObject = HRESULT_FROM_WIN32(8240);          // 0x80072030
inline constexpr HRESULT kInvalidDnSyntax = HRESULT_FROM_WIN32(8242);       // 0x80072032
inline constexpr HRESULT kUnwillingToPerform = HRESULT_FROM_WIN32(8245);    // 0x80072035
inline constexpr HRESULT kServerDown = HRESULT_FROM_WIN32(8250);            // 0x8007203A: not reachable
#undef QUOR_DIR_HR

// The symbolic name of one of the E_ADS_/S_ADS_ statuses above
// ("E_ADS_PROPERTY_NOT_FOUND"); empty for any other status.
std::string_view StatusName(HRESULT status);

// What the provider said about the calling thread's last failure (the role of
// ADsGetLastError): its own error number (an LDAP result code, or the
// platform error number for the account store), its message and its name
// ("LDAP Provider", "WinNT Provider"). `code` is 0 and the texts empty when
// the last call on this thread succeeded.
struct ExtendedError {
  uint32_t code = 0;
  std::string text;
  std::string provider;
};
const ExtendedError& LastError();

// ---- Paths ---------------------------------------------------------------------

enum class Provider { None, Ldap, WinNT };

struct AdsPath {
  Provider provider = Provider::None;
  // LDAP: the server as written ("h", "h:389", "[::1]:389"); WinNT: the
  // domain or computer name.
  std::string host;
  // LDAP: the entry's DN ("\/" in the path stands for '/'); may be empty.
  std::string dn;
  // WinNT: the names after the host, and the class after a ',' ("user").
  std::vector<std::string> names;
  std::string className;

  // The provider prefix compares without case. E_ADS_BAD_PATHNAME for text
  // that is not a path of either provider.
  static HRESULT Parse(std::string_view text, AdsPath& out);
  std::string ToString() const;

  // LDAP: the host without its port, and the port (0 when none is written).
  std::string HostName() const;
  uint16_t Port() const;
};

// True for "localhost" and literal loopback addresses (127.0.0.0/8, ::1).
// Names are not resolved.
bool IsLoopbackHost(std::string_view hostName);

// ---- Filters and DNs --------------------------------------------------------------

// A value for an LDAP filter (RFC 4515): '*', '(', ')', '\' and NUL become
// \2a, \28, \29, \5c and \00, so the value matches only itself.
std::string EscapeFilterValue(std::string_view value);
// The same, except that '*' stays a wildcard: for look-ups that are asked for
// a name pattern.
std::string EscapeFilterPattern(std::string_view pattern);
// A value for one attribute of a DN (RFC 4514).
std::string EscapeDnValue(std::string_view value);
// Two DNs name the same entry: the same RDNs, attribute names and ASCII
// letters of values compared without case. False when either does not parse.
bool DnEquals(std::string_view a, std::string_view b);

// ---- Options ---------------------------------------------------------------------

enum class TlsMode {
  Auto,      // ldaps for port 636, else StartTLS; plain only to loopback
  StartTls,  // StartTLS always, loopback too
  Ldaps,     // ldaps always
  None,      // no TLS: refused for anything but loopback
};

// ADsOpenObject's flags that change what happens here. Others are accepted
// and ignored (a bind here is always a simple bind protected by TLS).
inline constexpr uint32_t ADS_SECURE_AUTHENTICATION = 0x1;
inline constexpr uint32_t ADS_USE_SSL = 0x2;  // ldaps
inline constexpr uint32_t ADS_READONLY_SERVER = 0x4;

struct Options {
  // The identity the service binds and searches as: a DN (or any name the
  // server takes for a simple bind). Empty: anonymous.
  std::string serviceUser;
  std::string servicePassword;
  TlsMode tls = TlsMode::Auto;
  // PEM file of the certificate authorities to trust; empty: the system's.
  std::string caFile;
  // Connecting and every request each fail after this long.
  std::chrono::milliseconds timeout{10000};
  // The local account store; empty: DefaultAccountStorePath() (accounts.h).
  std::string accountStore;

  // From HKEY_LOCAL_MACHINE\SOFTWARE\Velt\Directory of the registry named by
  // $QUOR_REGISTRY: ServiceUser, ServicePassword (strings), TLS ("auto",
  // "starttls", "ldaps", "none"), CACertFile, AccountStore (strings) and
  // Timeout (DWORD, seconds). Missing values keep the defaults above.
  static Options FromRegistry();
};

// ---- Objects ---------------------------------------------------------------------

// ADSI's value types, with its numbers.
enum class AdsType : int32_t {
  Invalid = 0,
  DnString = 1,
  CaseExactString = 2,
  CaseIgnoreString = 3,
  PrintableString = 4,
  NumericString = 5,
  Boolean = 6,
  Integer = 7,
  OctetString = 8,
  UtcTime = 9,
  LargeInteger = 10,
};

// One property of an object or one column of a search row. Values keep the
// directory's text: booleans "TRUE"/"FALSE", integers in decimal, times as
// generalized time, octet strings as their bytes. Multi-valued properties
// keep the directory's order; objectClass goes from the most general class
// to the object's own (its structural class last).
struct Property {
  std::string name;
  AdsType type = AdsType::Invalid;
  std::vector<std::string> values;

  bool IsString() const;  // one of the five string types
  std::optional<bool> AsBool(size_t index = 0) const;
  std::optional<int64_t> AsInteger(size_t index = 0) const;
};

struct Row;
class SearchCursor;
enum class Scope { Base, OneLevel, Subtree };

struct SearchOptions {
  Scope scope = Scope::Subtree;
  // Rows are fetched this many at a time (paged results); 0: one request.
  int pageSize = 100;
  // At most this many rows in all; 0: no limit of ours.
  int sizeLimit = 0;
};

namespace detail {
class ObjectImpl;
}

// A bound directory object (the roles of IADs, IADsContainer and IADsGroup).
// Copies share the object; everything it holds was read when it was bound.
class Object {
 public:
  Object() = default;
  explicit Object(std::shared_ptr<const detail::ObjectImpl> impl) : impl_(std::move(impl)) {}

  bool IsBound() const { return impl_ != nullptr; }
  Provider GetProvider() const;
  // The object's path, its name ("CN=Alice Archer" for LDAP, "alice" for
  // WinNT), its class ("user", "group", "organizationalUnit"; "User",
  // "Group", "Domain", "Computer" for WinNT) and its parent's path.
  std::string Path() const;
  std::string Name() const;
  std::string Class() const;
  std::string Parent() const;
  // LDAP: the entry's DN; empty for WinNT.
  std::string Dn() const;

  // A property by name (without case). "distinguishedName" is the entry's DN.
  // E_ADS_PROPERTY_NOT_FOUND when the object has none.
  HRESULT Get(std::string_view name, Property& out) const;
  std::vector<std::string> PropertyNames() const;

  // The objects directly inside this one whose class is one of `classFilter`
  // (without case); every child for an empty filter.
  HRESULT Children(std::span<const std::string> classFilter, std::vector<Object>& out) const;

  // Groups: the direct members (members that no longer exist are left out),
  // and whether the object at `memberPath` is a direct member.
  // E_NOINTERFACE for an object that is not a group.
  HRESULT Members(std::vector<Object>& out) const;
  HRESULT IsMember(std::string_view memberPath, bool& out) const;
  // Users and groups: the groups that list this object as a direct member.
  HRESULT Groups(std::vector<Object>& out) const;

  // LDAP: a search below this object (the role of IDirectorySearch) with
  // this object's credential. `filter` is an LDAP filter whose values the
  // caller escaped; "distinguishedName" in it means the entry's DN.
  // `attributes` empty: every attribute. A requested attribute that an entry
  // lacks is not set in its row. E_NOINTERFACE for WinNT objects.
  HRESULT ExecuteSearch(std::string_view filter, std::span<const std::string> attributes,
                        const SearchOptions& options, SearchCursor& out) const;
  // The same, reading every row.
  HRESULT Search(std::string_view filter, std::span<const std::string> attributes, const SearchOptions& options,
                 std::vector<Row>& rows) const;

  const detail::ObjectImpl* Impl() const { return impl_.get(); }

 private:
  std::shared_ptr<const detail::ObjectImpl> impl_;
};

// Binds to `path` with a user's credential (the role of ADsOpenObject). LDAP:
// `user` is principal@realm, realm\principal, a bare name or a DN; WinNT:
// realm\principal, principal@realm or a bare name, realm being the store's
// domain or computer. An empty user or password gives kLogonFailure at once,
// as do an unknown user and a wrong password.
HRESULT OpenObject(std::string_view path, std::string_view user, std::string_view password, uint32_t flags,
                   const Options& options, Object& out);
HRESULT OpenObject(std::string_view path, std::string_view user, std::string_view password, uint32_t flags,
                   Object& out);
// Binds to `path` as the service (the role of ADsGetObject): the service
// identity of the options for LDAP, no credential for the account store.
HRESULT GetObject(std::string_view path, const Options& options, Object& out);
HRESULT GetObject(std::string_view path, Object& out);

// ---- Search results -----------------------------------------------------------

struct Row {
  std::string dn;
  std::string path;
  std::vector<Property> columns;
  // E_ADS_COLUMN_NOT_SET when the entry has no value for `name`.
  HRESULT GetColumn(std::string_view name, Property& out) const;
};

namespace detail {
class SearchState;
}

// The rows of one search, fetched a page at a time.
class SearchCursor {
 public:
  SearchCursor();
  ~SearchCursor();
  SearchCursor(SearchCursor&&) noexcept;
  SearchCursor& operator=(SearchCursor&&) noexcept;

  // S_OK with the next row, S_ADS_NOMORE_ROWS after the last one, or the
  // failure of fetching the next page.
  HRESULT NextRow(Row& row);
  // Ends the search early (the destructor does too).
  void Close();

  void Reset(std::unique_ptr<detail::SearchState> state);

 private:
  std::unique_ptr<detail::SearchState> state_;
};

}  // namespace quor::dir
