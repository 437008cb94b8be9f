#include "platform/time/clock.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/base/thread_annotations.h"
#include "platform/text/text.h"

namespace quor::time {
namespace {

// The process-wide clock setting; read once from the environment.
struct ClockState {
  Mutex mutex;
  std::optional<TimePoint> fixed QUOR_GUARDED_BY(mutex);
  ClockState() {
    if (const char* env = std::getenv("QUOR_CLOCK"); env && *env) fixed = ParseUtc(env);
  }
};

ClockState& State() {
  static ClockState state;
  return state;
}

SystemTime FromTm(const std::tm& tm, int ms) {
  return SystemTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_wday, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms};
}

std::pair<std::time_t, int> Split(TimePoint t) {
  const auto ms = std::chrono::floor<std::chrono::milliseconds>(t.time_since_epoch()).count();
  const auto secs = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  return {secs, static_cast<int>(ms - static_cast<long long>(secs) * 1000)};
}

}  // namespace

TimePoint Now() {
  auto& state = State();
  MutexLock lock(state.mutex);
  return state.fixed ? *state.fixed : std::chrono::system_clock::now();
}

void SetFixedTime(std::optional<TimePoint> t) {
  auto& state = State();
  MutexLock lock(state.mutex);
  state.fixed = t;
}

SystemTime ToLocal(TimePoint t) {
  const auto [secs, ms] = Split(t);
  std::tm tm{};
  localtime_r(&secs, &tm);
  return FromTm(tm, ms);
}

SystemTime ToUtc(TimePoint t) {
  const auto [secs, ms] = Split(t);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  return FromTm(tm, ms);
}

SystemTime LocalTime() { return ToLocal(Now()); }
SystemTime UtcTime() { return ToUtc(Now()); }

std::optional<TimePoint> ParseUtc(std::string_view text) {
  text = text::TrimAscii(text);
  // YYYY-MM-DDTHH:MM:SS[.mmm][Z]
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != ' ') ||
      text[13] != ':' || text[16] != ':')
    return std::nullopt;
  const auto year = text::ParseInt32(text.substr(0, 4));
  const auto month = text::ParseInt32(text.substr(5, 2));
  const auto day = text::ParseInt32(text.substr(8, 2));
  const auto hour = text::ParseInt32(text.substr(11, 2));
  const auto minute = text::ParseInt32(text.substr(14, 2));
  const auto second = text::ParseInt32(text.substr(17, 2));
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  std::string_view rest = text.substr(19);
  int ms = 0;
  if (!rest.empty() && rest.front() == '.') {
    size_t digits = 1;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
    std::string frac(rest.substr(1, digits - 1));
    if (frac.empty()) return std::nullopt;
    frac.resize(3, '0');
    ms = *text::ParseInt32(frac);
    rest.remove_prefix(digits);
  }
  if (rest == "Z") rest = {};
  if (!rest.empty()) return std::nullopt;
  const std::chrono::year_month_day ymd{std::chrono::year(*year), std::chrono::month(*month), std::chrono::day(*day)};
  if (!ymd.ok() || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
  return std::chrono::sys_days(ymd) + std::chrono::hours(*hour) + std::chrono::minutes(*minute) +
         std::chrono::seconds(*second) + std::chrono::milliseconds(ms);
}

}  // namespace quor::time
