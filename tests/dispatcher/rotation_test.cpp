// Passing a slot from one encoder to another: a connection closes only for
// an encoder that waits, drains for one idle interval at most, and an
// encoder that takes nothing rests; the counters add up at every step; and
// a dispatcher with nothing to do stops ticking without losing its beat.
// Encoders run in threads of their own, the dispatcher in virtual time.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "dispatcher_fixture.h"
#include "support/loopback.h"
#include "support/threaded_peer.h"

namespace varnok::testing {
namespace {

class RotationTest : public DispatcherTest {
 protected:
  int lossLines(const std::string& name) const {
    int n = 0;
    const std::string tail = " bytes of commands not delivered (" + name + ")";
    for (const std::string& t : logTexts()) {
      n += t.size() > tail.size() && t.compare(t.size() - tail.size(), tail.size(), tail) == 0;
    }
    return n;
  }
};

TEST_F(RotationTest, NobodyWaitingLeavesAReadingEncoderItsConnection) {
  // One slot, three encoders, commands for the slow one only: its stay
  // timer passes many times while it reads, and nobody needs the slot.
  ThreadedEncoder slow({.receiveBuffer = 4096, .chunk = 2048, .pauseMs = 5});
  ThreadedEncoder idle1({}), idle2({});
  start({{"Slow", slow.port}, {"Idle1", idle1.port}, {"Idle2", idle2.port}}, "Threads=1\n");
  const auto cmds = commands(4, 100000);
  for (const std::string& c : cmds) dispatcher->queueCommand(c, {"Slow", -1});
  const std::string all = joined(cmds);
  ASSERT_TRUE(tickUntil([&] { return slow.receivedSize() >= all.size(); }, 10))
      << slow.receivedSize() << " of " << all.size();
  EXPECT_TRUE(slow.received() == all);
  EXPECT_EQ(slow.accepted(), 1);
  EXPECT_EQ(lossLines("Slow"), 0);
  ASSERT_TRUE(tickUntil([&] { return dispatcher->counters().delivered == cmds.size(); }, 10));
  EXPECT_EQ(dispatcher->counters().failedSends, 0u);
}

// With nobody waiting, an encoder that takes nothing while commands are
// outstanding gets no more and, after one idle interval more, its
// connection is closed and counted: what it was given is lost and logged,
// not kept "in flight" for ever. One that reads slowly keeps its connection
// (above).
TEST_F(RotationTest, NobodyWaitingStillEndsADeafConnection) {
  ThreadedEncoder deaf({.receiveBuffer = 4096, .silentMs = 60000});
  start({{"Deaf", deaf.port}}, "Threads=1\nErrorLimit=5\n");
  for (const std::string& c : commands(3, 500000)) dispatcher->queueCommand(c);
  ASSERT_TRUE(tickUntil([&] { return peer().encoders()[0].errors == 1; }, 2, 15000));
  EXPECT_EQ(lossLines("Deaf"), 1);
  EXPECT_GE(dispatcher->counters().failedSends, 1u);
  EXPECT_EQ(dispatcher->counters().delivered, 0u);
  EXPECT_EQ(deaf.accepted(), 1);
}

// One slot: the first encoder has a long command in flight when the second
// one's commands wait. The slot passes to the second within the stay
// interval plus one idle interval, whatever the first does; the first is
// counted as failed only when it acknowledged nothing while it drained.
struct HolderCase {
  const char* name;
  ThreadedEncoder::Options holder;
  bool counted;
};

class SlotHolderTest : public RotationTest, public ::testing::WithParamInterface<HolderCase> {};

TEST_P(SlotHolderTest, WaitingEncoderGetsTheSlotWithinTheBound) {
  const HolderCase& c = GetParam();
  ThreadedEncoder holder(c.holder);
  ThreadedEncoder quick({});
  start({{"Holder", holder.port}, {"Quick", quick.port}}, "Threads=1\nErrorLimit=2\n");
  const std::string big = commands(1, 2000000)[0];
  dispatcher->queueCommand(big, {"Holder", -1});
  ASSERT_TRUE(tickUntil([&] { return dispatcher->senderSlots()[0].commandsInFlight() > 0; }, 10));
  const std::int64_t waitFrom = clock.monotonicMs();
  dispatcher->queueCommand("RT=quick\r", {"Quick", -1});
  ASSERT_TRUE(tickUntil([&] { return quick.receivedSize() > 0; }, 10));
  // Stay 5000 ms, drain 1000 ms, a tick or two to dial and send.
  EXPECT_LE(clock.monotonicMs() - waitFrom, 5000 + 1000 + 3 * 90);
  EXPECT_EQ(lossLines("Holder"), 1);
  EXPECT_EQ(peer().encoders()[0].errors, c.counted ? 1 : 0);
  EXPECT_GE(dispatcher->counters().failedSends, 1u);
  if (!c.counted) return;
  // Counted twice, it rests (ErrorLimit=2) instead of taking one command a turn.
  // A close is wanted only while someone waits: Quick keeps something waiting.
  dispatcher->queueCommand(big, {"Holder", -1});
  ASSERT_TRUE(tickUntil(
      [&] {
        if (queueSize(1) == 0) dispatcher->queueCommand("RT=quick again\r", {"Quick", -1});
        return !peer().encoders()[0].active;
      },
      10));
  EXPECT_EQ(dispatcher->statusTable().cell(kColEnabled, 1), "Suspended");
  EXPECT_EQ(peer().encoders()[0].errors, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Holders, SlotHolderTest,
    ::testing::Values(
        HolderCase{"ReadsSlowly", {.receiveBuffer = 4096, .chunk = 1024, .pauseMs = 20}, false},
        HolderCase{"NeverReads", {.receiveBuffer = 4096, .silentMs = 60000}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RotationTest, IdleDispatcherRestsAndKeepsItsBeat) {
  EncoderStub e(loop);
  const std::int64_t startedAt = clock.monotonicMs();
  start({{"E", e.port}}, "Threads=2\n");  // a tick every 45 ms from start-up
  const int interval = peer().dispatchTimer().interval();
  time.advance(3600 * 1000);  // an hour with nothing to do
  EXPECT_FALSE(peer().dispatchTimer().running());
  EXPECT_FALSE(peer().expiryTimer().running());
  EXPECT_FALSE(peer().resumeTimer().running());
  EXPECT_EQ(dispatcher->debugTrail().find("LL"), std::string::npos);

  clock.advance(17);  // between two beats
  dispatcher->queueCommand("RT=late\r");
  const std::int64_t queuedAt = clock.monotonicMs();
  const std::int64_t beat = startedAt + (queuedAt - startedAt + interval - 1) / interval * interval;
  while (dispatcher->senderSlots()[1].idle() && clock.monotonicMs() < queuedAt + 2 * interval) {
    time.advance(1);
  }
  EXPECT_EQ(clock.monotonicMs(), beat);  // bound to the encoder at the tick it would have had
  for (int i = 0; i < 100 && e.received.empty(); ++i) time.advance(interval);
  EXPECT_EQ(e.received, "RT=late\r");
  EXPECT_TRUE(peer().dispatchTimer().running());
}

}  // namespace
}  // namespace varnok::testing
