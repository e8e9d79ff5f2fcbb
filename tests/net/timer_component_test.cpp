#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "net/simple_tcp.h"

namespace varnok::net {
namespace {

TEST(TimerComponent, PeriodIsTheIntervalReadUnsignedAndBounded) {
  ManualClock clock;
  Application app;
  EventLoop loop(clock, app);
  TTimerComponent timer(loop);
  EXPECT_FALSE(timer.timerRunning());
  const std::pair<int, std::int64_t> periods[] = {
      {-1, 2147483647}, {0, 10}, {5, 10}, {10, 10}, {20000, 20000}, {-2147483647 - 1, 2147483647}};
  for (const auto& [interval, period] : periods) {
    timer.SetInterval(interval);
    EXPECT_EQ(timer.timerPeriodMs(), period) << interval;
  }
  timer.SetInterval(-1);
  timer.SetTimerEnabled(true);
  EXPECT_TRUE(timer.timerRunning());
  EXPECT_EQ(loop.msUntilNextTimer(), 2147483647);
  timer.SetTimerEnabled(false);
  EXPECT_FALSE(timer.timerRunning());
}

}  // namespace
}  // namespace varnok::net
