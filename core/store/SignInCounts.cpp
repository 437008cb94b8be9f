#include "core/store/SignInCounts.h"

#include <algorithm>
#include <charconv>

#include "core/ServiceConfig.h"
#include "core/store/StoreRows.h"
#include "platform/com/errorinfo.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

com::Variant Text(const std::string& text) { return com::Variant(com::Bstr::FromUtf8(text)); }
com::Variant Ms(std::chrono::milliseconds ms) { return com::Variant(static_cast<int64_t>(ms.count())); }

int64_t NumberOf(std::u16string_view text) {
  const std::string narrow = text::Narrow(text);
  int64_t value = 0;
  std::from_chars(narrow.data(), narrow.data() + narrow.size(), value);
  return value;
}

// A count's statements leave the call's error information as it was: the
// sign-in reports the directory's answer, not these.
class KeptErrorInfo {
 public:
  KeptErrorInfo() : info_(com::GetErrorInfo()) {}
  ~KeptErrorInfo() {
    if (info_)
      com::SetErrorInfo(std::move(*info_));
    else
      com::ClearErrorInfo();
  }
  KeptErrorInfo(const KeptErrorInfo&) = delete;
  KeptErrorInfo& operator=(const KeptErrorInfo&) = delete;

 private:
  std::optional<com::ErrorInfo> info_;
};

}  // namespace

SignInLimits SignInLimits::Read() {
  SignInLimits limits;
  reg::Key key;
  if (key.Open(reg::Hive::LocalMachine, kServiceKey).ok()) {
    const auto read = [&key](std::string_view name, auto& value) {
      if (auto number = key.GetDword(name); number.ok() && *number != 0)
        value = std::remove_reference_t<decltype(value)>(*number);
    };
    read("SignInFailureLimit", limits.principal);
    read("SignInAddressFailureLimit", limits.address);
    read("SignInDelaySeconds", limits.firstDelay);
    read("SignInDelayMaxSeconds", limits.longestDelay);
  }
  limits.longestDelay = std::max(limits.longestDelay, limits.firstDelay);
  return limits;
}

std::string CSignInCounts::PrincipalKey(std::u16string_view principal, std::u16string_view realm) {
  return "p:" + text::ToLowerAscii(text::Narrow(principal) + "@" + text::Narrow(realm));
}

std::string CSignInCounts::AddressKey(std::string_view address) {
  constexpr std::string_view kMapped = "::ffff:";
  if (address.size() > kMapped.size() && text::EqualsNoCase(address.substr(0, kMapped.size()), kMapped) &&
      address.find('.') != std::string_view::npos)
    address.remove_prefix(kMapped.size());
  // An unknown address is not counted.
  return address.empty() ? std::string() : "a:" + std::string(address);
}

bool CSignInCounts::Counting() {
  return lease_.KindOf() == CServerLease::Kind::Shared && lease_.Ready().ok();
}

CSignInCounts::Standing CSignInCounts::Look(const std::string& principal, const std::string& address) {
  Standing standing;
  const KeptErrorInfo kept;
  if (!Counting()) return standing;
  CDBConnect& db = *lease_.Connection();
  const std::string now(CServerLease::kNowMs);
  const com::Variant params[] = {Text(principal), Text(address), Ms(limits_.longestDelay * 10)};
  CommandHolder command;
  RecordsetHolder rows;
  if (!db.ExecuteQuery(command, rows,
                       "SELECT SIGNINKEY, HELDUNTIL - " + now +
                           " AS WAITMS FROM QUORSIGNIN WHERE SIGNINKEY IN (?, ?) AND LASTFAILURE > " + now + " - ?",
                       params)
           .ok())
    return standing;
  for (Status moved; !rows->Eof() && moved.ok(); moved = db.MoveNext(rows)) {
    if (store::Column(db, rows, "SIGNINKEY").Utf8() == principal) standing.principalSeen = true;
    if (NumberOf(store::Column(db, rows, "WAITMS").View()) > 0) standing.held = true;
  }
  db.ReleaseQuery(command, rows);
  return standing;
}

bool CSignInCounts::Count(const std::string& key, uint32_t limit) {
  if (key.empty()) return false;
  CDBConnect& db = *lease_.Connection();
  const std::string now(CServerLease::kNowMs);
  const com::Variant params[] = {Text(key), Ms(limits_.longestDelay * 10)};
  CommandHolder command;
  RecordsetHolder rows;
  // A count whose last failure was long ago starts again, unless it still
  // holds back.
  if (!db.ExecuteQuery(command, rows,
                       "INSERT INTO QUORSIGNIN (SIGNINKEY, FAILURES, LASTFAILURE, HELDUNTIL) VALUES (?, 1, " + now +
                           ", 0) ON CONFLICT (SIGNINKEY) DO UPDATE SET FAILURES = CASE WHEN QUORSIGNIN.LASTFAILURE > " +
                           now + " - ? OR QUORSIGNIN.HELDUNTIL > " + now +
                           " THEN QUORSIGNIN.FAILURES + 1 ELSE 1 END, LASTFAILURE = " + now + " RETURNING FAILURES",
                       params)
           .ok())
    return false;
  const int64_t failures = rows->Eof() ? 0 : NumberOf(store::Column(db, rows, "FAILURES").View());
  db.ReleaseQuery(command, rows);
  if (failures < limit) return false;
  // The first delay, doubled for each failure past the limit, up to the longest.
  std::chrono::seconds delay = limits_.firstDelay;
  for (int64_t n = limit; n < failures && delay < limits_.longestDelay; ++n) delay *= 2;
  const com::Variant hold[] = {Ms(std::min(delay, limits_.longestDelay)), Text(key)};
  db.ExecuteNonQuery("UPDATE QUORSIGNIN SET HELDUNTIL = " + now + " + ? WHERE SIGNINKEY = ?", hold).Ignore();
  return failures == limit;
}

CSignInCounts::Started CSignInCounts::Failed(const std::string& principal, const std::string& address) {
  Started started;
  const KeptErrorInfo kept;
  if (!Counting()) return started;
  started.principal = Count(principal, limits_.principal);
  started.address = Count(address, limits_.address);
  return started;
}

void CSignInCounts::Succeeded(const std::string& principal) {
  const KeptErrorInfo kept;
  if (!Counting()) return;
  const com::Variant params[] = {Text(principal)};
  lease_.Connection()->ExecuteNonQuery("DELETE FROM QUORSIGNIN WHERE SIGNINKEY = ?", params).Ignore();
}

}  // namespace quor::core
