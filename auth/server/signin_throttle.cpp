#include "auth/server/signin_throttle.h"

#include <algorithm>

#include "platform/text/text.h"

namespace quor::auth {
namespace {

// How long a count lasts without a further failure.
std::chrono::seconds ForgetAfter(const AuthLimits& limits) { return limits.longestDelay * 10; }

}  // namespace

SignInThrottle& SignInThrottle::Instance() {
  static SignInThrottle throttle;
  return throttle;
}

std::string SignInThrottle::PrincipalKey(std::u16string_view principal, std::u16string_view realm) {
  return text::ToLowerAscii(text::Narrow(principal) + "@" + text::Narrow(realm));
}

std::string SignInThrottle::AddressKey(std::string_view address) {
  constexpr std::string_view kMapped = "::ffff:";
  if (address.size() > kMapped.size() && text::EqualsNoCase(address.substr(0, kMapped.size()), kMapped) &&
      address.find('.') != std::string_view::npos)
    address.remove_prefix(kMapped.size());
  return std::string(address);
}

std::optional<com::ErrorInfo> SignInThrottle::Held(const std::string& principal, const std::string& address,
                                                   time::TimePoint now) {
  util::CriticalSectionLock guard(lock_);
  if (auto it = principals_.find(principal); it != principals_.end() && now < it->second.heldUntil)
    return it->second.refusal;
  if (address.empty()) return std::nullopt;
  if (auto it = addresses_.find(address); it != addresses_.end() && now < it->second.heldUntil)
    return it->second.refusal;
  return std::nullopt;
}

void SignInThrottle::MakeRoom(Table& table, std::chrono::seconds forget, time::TimePoint now) {
  if (table.size() < capacity_) return;
  std::erase_if(table, [&](const auto& item) {
    return item.second.heldUntil <= now && now - item.second.lastFailure > forget;
  });
  while (!table.empty() && table.size() >= capacity_) {
    table.erase(std::min_element(table.begin(), table.end(), [&](const auto& a, const auto& b) {
      const bool aHeld = now < a.second.heldUntil, bHeld = now < b.second.heldUntil;
      if (aHeld != bHeld) return bHeld;
      return a.second.lastFailure < b.second.lastFailure;
    }));
  }
}

bool SignInThrottle::Count(Table& table, const std::string& key, const com::ErrorInfo& refusal, uint32_t limit,
                           const AuthLimits& limits, time::TimePoint now) {
  const std::chrono::seconds forget = ForgetAfter(limits);
  auto it = table.find(key);
  if (it == table.end()) {
    MakeRoom(table, forget, now);
    it = table.emplace(key, Entry{}).first;
  }
  Entry& entry = it->second;
  if (entry.failures > 0 && now - entry.lastFailure > forget && now >= entry.heldUntil) entry.failures = 0;
  if (entry.failures < UINT32_MAX) ++entry.failures;
  entry.lastFailure = now;
  entry.refusal = refusal;
  if (entry.failures < limit) return false;
  // The first delay, doubled for each failure past the limit, up to the longest.
  std::chrono::seconds delay = limits.firstDelay;
  for (uint32_t n = limit; n < entry.failures && delay < limits.longestDelay; ++n) delay *= 2;
  entry.heldUntil = now + std::min(delay, limits.longestDelay);
  return entry.failures == limit;
}

SignInThrottle::Started SignInThrottle::Failed(const std::string& principal, const std::string& address,
                                               const com::ErrorInfo& refusal, const AuthLimits& limits,
                                               time::TimePoint now) {
  util::CriticalSectionLock guard(lock_);
  Started started;
  started.principal = Count(principals_, principal, refusal, limits.failuresBeforeDelay, limits, now);
  if (!address.empty())
    started.address = Count(addresses_, address, refusal, limits.addressFailuresBeforeDelay, limits, now);
  return started;
}

void SignInThrottle::Succeeded(const std::string& principal) {
  util::CriticalSectionLock guard(lock_);
  principals_.erase(principal);
}

size_t SignInThrottle::Size() {
  util::CriticalSectionLock guard(lock_);
  return principals_.size() + addresses_.size();
}

}  // namespace quor::auth
