#include "auth/config.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <type_traits>

#include "auth/fail.h"
#include "auth/util/crypto.h"
#include "auth/util/error.h"
#include "auth/util/regkey.h"
#include "platform/base/win32_error.h"
#include "platform/text/text.h"

namespace quor::auth {

ServiceConfig& ServiceConfig::Instance() {
  static ServiceConfig config;
  return config;
}

std::u16string ServiceConfig::ReadDefault(std::string_view name, CachedDefault& cached) {
  util::CriticalSectionLock guard(cached.lock);
  if (cached.text.empty()) {
    // Failures are not errors here: the default stays empty.
    reg::Key key;
    if (key.Open(reg::Hive::LocalMachine, "SOFTWARE\\Velt").ok()) {
      if (auto value = key.GetString(name); value.ok()) cached.text = text::Widen(*value);
    }
  }
  return cached.text;
}

std::u16string ServiceConfig::DefaultAuthority() { return ReadDefault("DefaultAuthority", authority_); }
std::u16string ServiceConfig::DefaultRealm() { return ReadDefault("DefaultRealm", realm_); }

Result<std::u16string> ServiceConfig::ServiceLocator(std::u16string_view service) {
  if (service.empty()) return std::u16string();
  std::u16string locator;
  {
    util::CriticalSectionLock guard(tableLock_);
    util::RegistryKey key;
    QUOR_RETURN_IF_ERROR(key.OpenKey(reg::Hive::LocalMachine, "SOFTWARE\\Velt\\Services"));
    QUOR_ASSIGN_OR_RETURN(const uint64_t stamp, key.GetLastWriteTime());
    if (stamp != servicesStamp_) {
      QUOR_ASSIGN_OR_RETURN(const std::vector<reg::NamedValue> values, key.EnumValues());
      std::map<std::u16string, std::u16string> fresh;
      for (const reg::NamedValue& v : values)
        if (v.value.type == reg::ValueType::String) fresh[text::Widen(v.name)] = text::Widen(*v.value.AsString());
      services_ = std::move(fresh);
      servicesStamp_ = stamp;
    }
    if (auto it = services_.find(std::u16string(service)); it != services_.end()) locator = it->second;
  }
  size_t at = locator.find(u"%s");
  if (at == std::u16string::npos) at = locator.find(u"%S");
  if (at != std::u16string::npos) {
    QUOR_ASSIGN_OR_RETURN(const std::u16string name, ComputerName());
    locator.replace(at, 2, name);
  }
  return locator;
}

Result<std::u16string> ServiceConfig::ComputerName() {
  util::CriticalSectionLock guard(nameLock_);
  if (computerName_.empty()) {
    QUOR_ASSIGN_OR_RETURN(computerName_, LookupComputerName());
  }
  return computerName_;
}

Result<Bytes> ServiceConfig::ServerSecretKey() {
  util::CriticalSectionLock guard(secretLock_);
  if (!secretMade_) {
    util::CryptProvider provider;
    QUOR_RETURN_IF_ERROR(
        provider.AcquireContext(kServiceContainer, std::nullopt, crypt::PROV_RSA_FULL, crypt::CRYPT_MACHINE_KEYSET));
    QUOR_ASSIGN_OR_RETURN(const util::CryptKey key, provider.GenKey(crypt::CALG_RC2, crypt::CRYPT_EXPORTABLE));
    QUOR_ASSIGN_OR_RETURN(secret_, key.ExportKey(crypt::OPAQUEKEYBLOB, nullptr));
    secretMade_ = true;
  }
  return secret_;
}

AuthLimits ServiceConfig::Limits() {
  util::CriticalSectionLock guard(limitsLock_);
  if (!limits_) {
    AuthLimits limits;
    reg::Key key;
    if (key.Open(reg::Hive::LocalMachine, kServiceSettingsKey).ok()) {
      const auto read = [&key](std::string_view name, auto& value) {
        if (auto number = key.GetDword(name); number.ok() && *number != 0)
          value = std::remove_reference_t<decltype(value)>(*number);
      };
      read("SignInFailureLimit", limits.failuresBeforeDelay);
      read("SignInAddressFailureLimit", limits.addressFailuresBeforeDelay);
      read("SignInDelaySeconds", limits.firstDelay);
      read("SignInDelayMaxSeconds", limits.longestDelay);
      read("TicketLifetimeSeconds", limits.ticketLifetime);
      read("SessionIdleSeconds", limits.sessionIdle);
      read("SessionLimit", limits.sessionLimit);
      read("TokenSkewSeconds", limits.tokenSkew);
    }
    limits.longestDelay = std::max(limits.longestDelay, limits.firstDelay);
    limits_ = limits;
  }
  return *limits_;
}

Result<std::u16string> LookupComputerName() {
  if (const char* name = std::getenv("QUOR_COMPUTER_NAME"); name && *name) return text::Widen(name);
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0)
    return Fail(util::StatusFromSystemError(Win32ErrorFromErrno(errno)), "GetComputerNameEx");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  std::string name = host;
  if (::getaddrinfo(host, nullptr, &hints, &found) == 0 && found) {
    if (found->ai_canonname && *found->ai_canonname) name = found->ai_canonname;
    ::freeaddrinfo(found);
  }
  return text::Widen(name);
}

std::pair<std::u16string_view, std::u16string_view> SplitText(std::u16string_view text, char16_t delimiter) {
  return text::SplitOnce(text, delimiter);
}

}  // namespace quor::auth
