#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>

#include "net/simple_tcp.h"

namespace varnok::net {
namespace {

TEST(SocketErrors, TextsAreTheFixedOnes) {
  const std::pair<int, const char*> spots[] = {
      {10004, "Interrupted system call"},
      {10038, "Socket operation on non-socket"},
      {10047, "Address family not supported by protocol family"},
      {10049, "Can't assign requested address"},
      {10059, "Too many references: can't splice"},
      {10061, "Connection refused"},
      {10092, "WinSock DLL cannot support this application"},
      {11004, "No Data"},
  };
  for (const auto& [code, text] : spots) EXPECT_STREQ(socketErrorText(code), text) << code;
  for (int other : {12345, 0, -1, 10010, 10072, 11005, 20071}) {
    EXPECT_STREQ(socketErrorText(other), "Not a WinSock error ?") << other;
  }
}

TEST(SocketErrors, ErrnoValuesTranslateToSocketNumbers) {
  const std::pair<int, int> spots[] = {
      {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},    {ECONNRESET, 10054},  {EPIPE, 10054},
      {ECONNABORTED, 10053}, {EADDRINUSE, 10048},   {EWOULDBLOCK, 10035}, {EBADF, 10038},
      {ENOTSOCK, 10038},     {EHOSTUNREACH, 10065}, {EREMOTE, 10071},
  };
  for (const auto& [err, code] : spots) EXPECT_EQ(socketErrorFromErrno(err), code) << err;
  // Without a counterpart the value passes through.
  EXPECT_EQ(socketErrorFromErrno(EPROTO), EPROTO);
}

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
