#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/time/clock.h"

using namespace quor::time;

TEST(Clock, FixedTimeDrivesLocalAndUtc) {
  ::setenv("TZ", "Asia/Tokyo", 1);
  ::tzset();
  const auto t = ParseUtc("2026-01-31T23:59:58.123Z");
  ASSERT_TRUE(t);
  SetFixedTime(*t);
  const SystemTime utc = UtcTime();
  EXPECT_EQ(utc.year, 2026);
  EXPECT_EQ(utc.month, 1);
  EXPECT_EQ(utc.day, 31);
  EXPECT_EQ(utc.hour, 23);
  EXPECT_EQ(utc.second, 58);
  EXPECT_EQ(utc.milliseconds, 123);
  EXPECT_EQ(utc.dayOfWeek, 6);  // a Saturday
  const SystemTime local = LocalTime();
  EXPECT_EQ(local.month, 2);
  EXPECT_EQ(local.day, 1);
  EXPECT_EQ(local.hour, 8);
  EXPECT_EQ(local.milliseconds, 123);
  SetFixedTime(std::nullopt);
  EXPECT_NE(Now(), *t);
  ::unsetenv("TZ");
  ::tzset();
}

TEST(Clock, ParsesOnlyWellFormedTimes) {
  EXPECT_TRUE(ParseUtc("2026-12-08T21:08:25"));
  EXPECT_TRUE(ParseUtc("2026-12-08 21:08:25.5Z"));
  EXPECT_FALSE(ParseUtc("2026-02-30T00:00:00Z"));
  EXPECT_FALSE(ParseUtc("2026-12-08T25:00:00Z"));
  EXPECT_FALSE(ParseUtc("2026-12-08T21:08:25+09"));
  EXPECT_FALSE(ParseUtc("yesterday"));
  const auto a = ParseUtc("1969-12-31T23:59:59.500Z");
  ASSERT_TRUE(a);
  EXPECT_EQ(ToUtc(*a).milliseconds, 500);
  EXPECT_EQ(ToUtc(*a).year, 1969);
}
