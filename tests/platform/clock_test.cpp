#include "platform/clock.h"

#include <gtest/gtest.h>

namespace varnok {
namespace {

TEST(Clock, EncodesAndFormatsCivilDates) {
  EXPECT_DOUBLE_EQ(encodeDateTime(1899, 12, 30), 0.0);
  EXPECT_DOUBLE_EQ(encodeDateTime(1900, 1, 1, 12), 2.5);
  EXPECT_EQ(formatDateTime(encodeDateTime(2026, 12, 6, 13, 5, 22)), "2026-12-06 13:05:22");
  // 999 ms past a second still shows that second; rounding noise does not
  // carry a value just below a second boundary back a second.
  EXPECT_EQ(formatDateTime(encodeDateTime(2024, 2, 29, 23, 59, 59, 999)), "2024-02-29 23:59:59");
  EXPECT_EQ(formatDateTime(encodeDateTime(2026, 12, 6, 13, 5, 22) - 1e-12), "2026-12-06 13:05:22");
  EXPECT_EQ(formatDateTime(ManualClock().now()), "2026-12-06 12:00:00");
}

TEST(Clock, WholeSecondsAndMinutesAreTruncatedAbsoluteDifferences) {
  const TDateTime t = encodeDateTime(2026, 12, 6, 10, 0, 0);
  const TDateTime later601 = t + 601.0 / 86400.0;
  EXPECT_EQ(secondsBetween(t, later601), 601);
  EXPECT_EQ(secondsBetween(later601, t), 601);  // the future ages like the past
  EXPECT_EQ(secondsBetween(t, t + 600.9 / 86400.0), 600);
  EXPECT_EQ(minutesBetween(t, t + 299.9 / 86400.0), 4);
  EXPECT_EQ(minutesBetween(t, t + 300.0 / 86400.0), 5);
}

TEST(Clock, ManualClockMovesOnlyWhenTold) {
  ManualClock clock(encodeDateTime(2026, 1, 1));
  EXPECT_EQ(clock.monotonicMs(), 0);
  clock.advance(90'500);
  EXPECT_EQ(clock.monotonicMs(), 90'500);
  EXPECT_EQ(formatDateTime(clock.now()), "2026-01-01 00:01:30");
  clock.setWallClock(encodeDateTime(2025, 1, 1));  // clock set back
  clock.advance(1000);
  EXPECT_EQ(formatDateTime(clock.now()), "2025-01-01 00:00:01");
  EXPECT_EQ(clock.monotonicMs(), 91'500);
}

TEST(Clock, SystemClockAgreesWithItself) {
  SystemClock clock;
  const auto a = clock.monotonicMs();
  const TDateTime now = clock.now();
  EXPECT_GE(clock.monotonicMs(), a);
  EXPECT_GT(now, encodeDateTime(2020, 1, 1));
}

}  // namespace
}  // namespace varnok
