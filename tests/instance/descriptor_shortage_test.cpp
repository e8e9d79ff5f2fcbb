// The running copy's channel when this process has no descriptor left: a
// second copy (a real process) knocks, and must learn at once that it was
// turned away; the event loop must neither spin on it nor stop serving once
// descriptors are free again. How the accept path pauses and resumes without
// a reserve is the acceptor's (tests/platform/acceptor_test.cpp).

#include <gtest/gtest.h>
#include <poll.h>

#include <memory>
#include <string>
#include <vector>

#include "instance/single_instance.h"
#include "support/child_process.h"
#include "support/descriptor_fill.h"
#include "support/temp_dir.h"
#include "support/virtual_time.h"

namespace varnok {
namespace {

using testing::ChildProcess;
using testing::DescriptorFill;
using testing::TempDir;

constexpr const char* kTitle = "Varnok (Tools)";
constexpr int kWaitMs = 20000;

class DescriptorShortageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp.path().empty());
    opts.title = kTitle;
    opts.runtimeDir = tmp.path();
    std::string error;
    ASSERT_EQ(instance.start(opts, "", &error), SingleInstance::Role::First) << error;
    warmUpChecks();
  }
  // The sanitizer's check of a call on a polymorphic object reads the vtable
  // through a pipe the first time it meets a pair of types, and reports a
  // false error when no descriptor is left for that pipe. Meeting the pairs
  // used later (this fixture, the clock) while descriptors are free puts them
  // in the check's cache.
  void warmUpChecks() {
    Timer tick(loop, [] {});
    tick.setInterval(1);
    tick.setEnabled(true);
    time.advance(1);
    loop.runOnce(0);
  }
  void TearDown() override { instance.closeChannel(); }

  void attach() {
    instance.attach(loop, [this](const std::string& text) {
      texts.push_back(text);
      return SingleInstance::Outcome::Handled;
    });
  }

  // A second copy that hands `word` over; with waitGo it first waits to be
  // let go (a byte on its standard input), so that it can be started while
  // descriptors are still free.
  std::unique_ptr<ChildProcess> secondCopy(const std::string& word, bool waitGo) {
    std::vector<std::string> argv = {
        VARNOK_INSTANCE_PROBE, "--title", kTitle, "--runtime-dir", tmp.path(),
        "--timeout-ms",        "10000"};
    if (waitGo) argv.push_back("--wait-go");
    argv.insert(argv.end(), {"--", word});
    auto child = std::make_unique<ChildProcess>(argv);
    if (waitGo) {
      EXPECT_EQ(child->readLine(kWaitMs), "WAITING");
    }
    return child;
  }

  // Waits (without taking a descriptor) until something is ready for the loop.
  bool loopWoken() const {
    pollfd p{loop.fd(), POLLIN, 0};
    return ::poll(&p, 1, kWaitMs) == 1;
  }

  // Runs rounds of the loop, counting those that had readiness to handle the
  // moment they began. A listener left ready makes every round busy: the
  // spin that eats a whole processor.
  int busyRounds(int rounds) {
    int busy = 0;
    for (int i = 0; i < rounds; ++i) {
      pollfd p{loop.fd(), POLLIN, 0};
      if (::poll(&p, 1, 0) == 1) ++busy;
      loop.runOnce(0);
    }
    return busy;
  }

  TempDir tmp;
  ManualClock clock;
  Application app;
  EventLoop loop{clock, app};
  testing::VirtualTime time{loop, clock};
  InstanceOptions opts;
  SingleInstance instance;
  std::vector<std::string> texts;
};

// While no descriptor is left, a failing check would want one for its
// message, so the tests only take notes then and check them afterwards.

TEST_F(DescriptorShortageTest, TurnsTheSenderAwayInsteadOfSpinning) {
  attach();
  auto turnedAway = secondCopy("first", true);
  bool full = false, woken = false;
  int busy = -1;
  {
    DescriptorFill fill;
    full = fill.full();
    woken = full && turnedAway->writeStdin("g") && loopWoken();
    if (woken) busy = busyRounds(50);
  }
  ASSERT_TRUE(full);
  ASSERT_TRUE(woken);
  EXPECT_LE(busy, 1);
  // Closed without an answer: the second copy fails at once instead of
  // waiting out its timeout.
  EXPECT_EQ(turnedAway->waitExit(kWaitMs), 1);
  const std::string why = turnedAway->readError(kWaitMs);
  EXPECT_TRUE(why.find("went away") != std::string::npos ||
              why.find("closed the channel") != std::string::npos)
      << why;
  EXPECT_TRUE(texts.empty());

  auto next = secondCopy("second", false);
  EXPECT_TRUE(time.runUntil([&] { return !texts.empty(); }, kWaitMs));
  EXPECT_EQ(next->waitExit(kWaitMs), 0);
  EXPECT_EQ(texts, std::vector<std::string>{"second "});
}

}  // namespace
}  // namespace varnok
