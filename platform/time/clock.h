// One clock for the whole process: local time and UTC with milliseconds.
// Tests fix it, in-process with SetFixedTime or for a server they start with
// the environment variable QUOR_CLOCK ("2026-01-02T03:04:05.678Z").
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quor::time {

using TimePoint = std::chrono::system_clock::time_point;

// Broken-down time as the platform's local-time call gives it.
struct SystemTime {
  int year = 0;
  int month = 0;       // 1..12
  int dayOfWeek = 0;   // 0 = Sunday
  int day = 0;         // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milliseconds = 0;
};

TimePoint Now();
SystemTime LocalTime();
SystemTime UtcTime();
SystemTime ToLocal(TimePoint t);
SystemTime ToUtc(TimePoint t);

// Fixes the clock at `t` (nullopt: back to the real clock).
void SetFixedTime(std::optional<TimePoint> t);

// "2026-01-02T03:04:05.678Z" (milliseconds optional) to a time point.
std::optional<TimePoint> ParseUtc(std::string_view text);

}  // namespace quor::time
