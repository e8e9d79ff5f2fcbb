#include "platform/event_loop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "counting_new.h"
#include "support/virtual_time.h"

namespace varnok {
namespace {

class LoopTest : public ::testing::Test {
 protected:
  ManualClock clock;
  Application app;
  EventLoop loop{clock, app};
  testing::VirtualTime time{loop, clock};
  std::vector<std::string> log;
};

TEST_F(LoopTest, TimersFireInOrderInVirtualTime) {
  Timer a(loop, [&] { log.push_back("a@" + std::to_string(clock.monotonicMs())); });
  Timer b(loop, [&] { log.push_back("b@" + std::to_string(clock.monotonicMs())); });
  a.setInterval(1000);
  b.setInterval(1500);
  a.setEnabled(true);
  b.setEnabled(true);
  time.advance(3000);
  EXPECT_EQ(log, (std::vector<std::string>{"a@1000", "b@1500", "a@2000", "b@3000", "a@3000"}));
  EXPECT_EQ(clock.monotonicMs(), 3000);
}

TEST_F(LoopTest, ALateRoundDoesNotSlowATimerDownButAStallSkipsTicks) {
  Timer t(loop, [&] { log.push_back(std::to_string(clock.monotonicMs())); });
  t.setInterval(22);
  t.setEnabled(true);
  // The loop gets round to the tick 5 ms late: the next one keeps its place.
  clock.advance(27);
  loop.runOnce(0);
  time.advance(17);
  // A stall of several periods: one tick now, none made up, then every 22 ms.
  clock.advance(100);
  loop.runOnce(0);
  time.advance(22);
  EXPECT_EQ(log, (std::vector<std::string>{"27", "44", "144", "166"}));
}

TEST_F(LoopTest, ABrokenPollIsReportedInsteadOfSpinning) {
  // The loop's descriptor replaced by one that is no epoll instance.
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  ASSERT_GE(::dup2(pipe[0], loop.fd()), 0);
  ::close(pipe[0]);
  ::close(pipe[1]);
  try {
    loop.runOnce(0);
    FAIL() << "runOnce returned";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EINVAL);
    EXPECT_NE(std::string(e.what()).find("epoll_wait"), std::string::npos);
  }
}

TEST_F(LoopTest, SwitchingOffAndOnRestartsThePeriod) {
  Timer t(loop, [&] { log.push_back(std::to_string(clock.monotonicMs())); });
  t.setInterval(1000);
  t.setEnabled(true);
  time.advance(900);
  t.setEnabled(false);
  t.setEnabled(true);
  time.advance(900);
  EXPECT_TRUE(log.empty());
  time.advance(100);
  EXPECT_EQ(log, std::vector<std::string>{"1900"});
  t.setInterval(500);  // a new interval while running restarts too
  time.advance(499);
  EXPECT_EQ(log.size(), 1u);
  time.advance(1);
  EXPECT_EQ(log.back(), "2400");
}

TEST_F(LoopTest, ZeroOrNegativeIntervalDoesNotRun) {
  Timer t(loop, [&] { log.push_back("tick"); });
  t.setInterval(0);
  t.setEnabled(true);
  EXPECT_FALSE(t.running());
  t.setInterval(-1);
  time.advance(100000);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(loop.msUntilNextTimer(), -1);
}

TEST_F(LoopTest, HandlerMayStopRestartOrDestroyTimers) {
  auto victim = std::make_unique<Timer>(loop, [&] { log.push_back("victim"); });
  Timer self(loop);
  self.setOnTimer([&] {
    log.push_back("self");
    self.setEnabled(false);
    victim.reset();  // due at the same instant, must not fire afterwards
  });
  self.setInterval(100);
  victim->setInterval(100);
  self.setEnabled(true);
  victim->setEnabled(true);
  time.advance(1000);
  EXPECT_EQ(log, std::vector<std::string>{"self"});
}

TEST_F(LoopTest, ExceptionsInCallbacksReachTheHandlerAndTheLoopGoesOn) {
  app.setOnException(
      [&](const std::exception& e) { log.push_back(std::string("error:") + e.what()); });
  Timer t(loop, [&] { throw std::runtime_error("boom"); });
  t.setInterval(10);
  t.setEnabled(true);
  loop.post([] { throw SilentAbort(); });
  loop.post([&] { log.push_back("posted"); });
  time.advance(20);
  EXPECT_EQ(log, (std::vector<std::string>{"posted", "error:boom", "error:boom"}));
}

// Readiness is delivered, and a watch dropped by a callback hears nothing
// more, not even readiness already collected in the same round. The handlers
// hold a string, which std::function keeps on the heap: a loop that freed a
// handler while it still ran would have it read freed memory (the sanitizer
// build reports it).
TEST_F(LoopTest, AHandlerMayDropOrReplaceItsOwnWatchWhileItRuns) {
  enum class Step { UnwatchAndWatchAgain, WatchAgain, UnwatchItselfAndTheOther };
  for (const Step step :
       {Step::UnwatchAndWatchAgain, Step::WatchAgain, Step::UnwatchItselfAndTheOther}) {
    int a[2], b[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
    log.clear();
    const auto replacement = [&, name = std::string(40, 'r')](std::uint32_t) {
      log.push_back(name.substr(0, 1));
      loop.unwatch(a[0]);
    };
    ASSERT_TRUE(loop.watch(a[0], EPOLLIN, [&, name = std::string(40, 'a')](std::uint32_t) {
      switch (step) {
        case Step::UnwatchAndWatchAgain:
          loop.unwatch(a[0]);
          loop.watch(a[0], EPOLLIN, replacement);
          break;
        case Step::WatchAgain:
          loop.watch(a[0], EPOLLIN, replacement);
          break;
        case Step::UnwatchItselfAndTheOther:
          loop.unwatch(a[0]);
          loop.unwatch(b[0]);
          break;
      }
      log.push_back(name.substr(0, 1));
    }));
    ASSERT_TRUE(loop.watch(b[0], EPOLLIN, [&, name = std::string(40, 'b')](std::uint32_t) {
      if (step == Step::UnwatchItselfAndTheOther) loop.unwatch(a[0]);
      loop.unwatch(b[0]);
      log.push_back(name.substr(0, 1));
    }));
    ASSERT_EQ(write(a[1], "x", 1), 1);
    ASSERT_EQ(write(b[1], "y", 1), 1);
    for (int i = 0; i < 3; ++i) loop.runOnce(20);
    // a's replacement hears the byte still waiting. Both were ready in the
    // same round: whichever drops both first is the only one heard.
    if (step == Step::UnwatchItselfAndTheOther) {
      EXPECT_EQ(log.size(), 1u);
    } else {
      std::sort(log.begin(), log.end());
      EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "r"})) << static_cast<int>(step);
    }
    EXPECT_FALSE(loop.watching(a[0]));
    EXPECT_FALSE(loop.watching(b[0]));
    for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
  }
}

TEST_F(LoopTest, AReadinessEventAllocatesNothing) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  int heard = 0;
  // Larger than std::function keeps in place: a copy of it would allocate.
  ASSERT_TRUE(loop.watch(
      pair[0], EPOLLIN,
      [&heard, padding = std::array<char, 64>{}](std::uint32_t) { heard += 1 + padding[0]; }));
  ASSERT_EQ(write(pair[1], "x", 1), 1);  // never read: ready in every round
  loop.runOnce(20);
  ASSERT_EQ(heard, 1);
  const std::size_t before = testing::allocationsSoFar();
  for (int i = 0; i < 100; ++i) loop.runOnce(0);
  const std::size_t allocated = testing::allocationsSoFar() - before;
  EXPECT_EQ(heard, 101);
  EXPECT_EQ(allocated, 0u);
  loop.unwatch(pair[0]);
  for (int fd : pair) close(fd);
}

TEST_F(LoopTest, ReadinessIsHandledAtEveryVirtualStep) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ASSERT_TRUE(loop.watch(pair[0], EPOLLIN, [&](std::uint32_t) {
    char c = 0;
    ASSERT_EQ(read(pair[0], &c, 1), 1);
    log.push_back(std::string(1, c) + "@" + std::to_string(clock.monotonicMs()));
  }));
  Timer writer(loop);
  writer.setOnTimer([&] {
    ASSERT_EQ(write(pair[1], "w", 1), 1);
    writer.setEnabled(false);
  });
  Timer later(loop, [&] { log.push_back("later@" + std::to_string(clock.monotonicMs())); });
  writer.setInterval(100);
  later.setInterval(150);
  writer.setEnabled(true);
  later.setEnabled(true);
  time.advance(200);
  // The byte written at 100 is read before the clock moves on to 150.
  EXPECT_EQ(log, (std::vector<std::string>{"w@100", "later@150"}));
  EXPECT_EQ(clock.monotonicMs(), 200);
  loop.unwatch(pair[0]);
  for (int fd : pair) close(fd);
}

TEST_F(LoopTest, RunningUntilSomethingHappensLeavesVirtualTimeAlone) {
  Timer t(loop, [&] { log.push_back("tick"); });
  t.setInterval(10);
  t.setEnabled(true);
  EXPECT_FALSE(time.runUntil([] { return false; }, 30));
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(clock.monotonicMs(), 0);
  loop.post([&] { log.push_back("posted"); });
  EXPECT_TRUE(time.runUntil([&] { return !log.empty(); }, 2000));
  EXPECT_EQ(log, std::vector<std::string>{"posted"});
}

TEST_F(LoopTest, VirtualTimeMustMoveTheClockTheLoopReads) {
  ManualClock other;
  EXPECT_THROW(testing::VirtualTime(loop, other), std::invalid_argument);
}

TEST_F(LoopTest, QuitEndsRun) {
  SystemClock real;
  EventLoop realLoop(real, app);
  Timer t(realLoop, [&] { realLoop.quit(); });
  t.setInterval(5);
  t.setEnabled(true);
  realLoop.run();
  EXPECT_TRUE(realLoop.quitRequested());
}

}  // namespace
}  // namespace varnok
