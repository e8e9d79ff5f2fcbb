#include <gtest/gtest.h>

#include "dispatcher_fixture.h"

namespace varnok::testing {
namespace {

class QueueTest : public DispatcherTest {
 protected:
  // Three encoders on ports nobody listens on; only the queues matter here.
  void createThree(const std::string& general = "") {
    create("[Inputs]\nSocket=0\n[General]\nEncoderCount=3\n" + general +
           "[Encoder1]\nName=Studio A\nPort=1\n"
           "[Encoder2]\nName=M\xC3\xBCnchen\nPort=1\n"
           "[Encoder3]\nName=Backup\nPort=1\nEnabled=0\n");
    peer().dispatchTimer().setEnabled(false);  // no delivery: only the queues matter here
  }
};

TEST_F(QueueTest, RepeatsGoToEveryEnabledEncoder) {
  createThree("Repeat=2\n");
  dispatcher->queueCommand("RT1=Hi\r");
  EXPECT_EQ(queueSize(0), 3u);
  EXPECT_EQ(queueSize(1), 3u);
  EXPECT_EQ(queueSize(2), 0u);  // disabled by configuration
  EXPECT_EQ(dispatcher->statusTable().cell(kColQueue, 1), "3");
  EXPECT_EQ(dispatcher->statusTable().cell(kColQueue, 3), "0");
  EXPECT_EQ(dispatcher->queues().queue(0).front().text, "RT1=Hi\r");
}

TEST_F(QueueTest, RepeatBoundsAndEmptyCommands) {
  createThree("Repeat=10\n");
  dispatcher->queueCommand("x");
  EXPECT_EQ(queueSize(0), 11u);
  createThree("Repeat=-1\n");
  dispatcher->queueCommand("x");
  EXPECT_EQ(queueSize(0), 0u);
  peer().statusTable().setCell(kColQueue, 1, "untouched");
  peer().startTrail();
  dispatcher->queueCommand("");
  EXPECT_EQ(dispatcher->statusTable().cell(kColQueue, 1), "untouched");
  EXPECT_EQ(dispatcher->debugTrail(), "0A");
}

TEST_F(QueueTest, DestinationMatchesIgnoringOnlyAsciiCase) {
  createThree();
  dispatcher->queueCommand("a", {"studio a"});
  EXPECT_EQ(queueSize(0), 1u);
  EXPECT_EQ(queueSize(1), 0u);
  dispatcher->queueCommand("b", {"M\xC3\xBCNCHEN"});
  EXPECT_EQ(queueSize(1), 1u);
  dispatcher->queueCommand("c", {"M\xC3\x9CNCHEN"});  // another letter, not a case variant
  EXPECT_EQ(queueSize(1), 1u);
  dispatcher->queueCommand("d", {"Backup"});  // disabled encoders never receive
  dispatcher->queueCommand("e", {"nobody"});
  EXPECT_EQ(queueSize(2), 0u);
  EXPECT_EQ(dispatcher->statusTable().cell(kColQueue, 3), "0");
}

TEST_F(QueueTest, SuspendedEncodersKeepCollecting) {
  createThree();
  peer().suspend(0);
  EXPECT_EQ(dispatcher->statusTable().cell(kColEnabled, 1), "Suspended");
  dispatcher->queueCommand("x");
  EXPECT_EQ(queueSize(0), 1u);
  EXPECT_EQ(peer().longestWaiting(false), 1);  // a suspended encoder is never chosen
}

TEST_F(QueueTest, TakingTheHead) {
  createThree();
  dispatcher->queueCommand("first");
  dispatcher->queueCommand("second");
  EXPECT_EQ(peer().takeNext(0), "first");
  EXPECT_EQ(dispatcher->statusTable().cell(kColQueue, 1), "1");
  EXPECT_EQ(peer().takeNext(0), "second");
  peer().startTrail();
  EXPECT_EQ(peer().takeNext(0), "");
  EXPECT_EQ(peer().takeNext(-1), "");
  EXPECT_EQ(peer().takeNext(3), "");
  EXPECT_EQ(dispatcher->debugTrail(), "0CCC");
}

TEST_F(QueueTest, SelectionQuestions) {
  createThree();
  // Same stamp for both heads: the lower index wins.
  dispatcher->queueCommand("x");
  EXPECT_EQ(peer().waitingUnserved(), 2);
  EXPECT_EQ(peer().longestWaiting(false), 0);

  // Encoder 1's head is older now.
  peer().takeNext(0);
  time.advance(1000);
  dispatcher->queueCommand("y");
  EXPECT_EQ(peer().longestWaiting(false), 1);

  // A bound but unconnected slot: unserved-only skips it, served-only wants a link.
  peer().bindSlot(1, 1);
  EXPECT_TRUE(peer().isServed(1, false));
  EXPECT_FALSE(peer().isServed(1, true));
  EXPECT_FALSE(peer().isServed(-1, false));
  EXPECT_EQ(peer().longestWaiting(false), 0);
  EXPECT_EQ(peer().idleSlot(), 0);
  peer().bindSlot(1, 1, true);
  peer().bindSlot(0, 0);
  // No unserved waiting encoder: the flag is taken as set whatever was asked.
  EXPECT_EQ(peer().waitingUnserved(), 0);
  EXPECT_EQ(peer().longestWaiting(false), 1);
  EXPECT_EQ(peer().idleSlot(), -1);
}

TEST_F(QueueTest, IdleSlotIsTheHighestNumbered) {
  create("[Inputs]\nSocket=0\n[General]\nThreads=4\n");
  peer().bindSlot(1, 0);
  peer().bindSlot(3, 0);
  EXPECT_EQ(peer().idleSlot(), 2);
  EXPECT_EQ(peer().longestWaiting(false), -1);
  dispatcher->queueCommand("nowhere");
}

TEST_F(QueueTest, ExpiryComparesWholeSeconds) {
  createThree("MaxMinutesInQueue=10\n");
  peer().expiryTimer().setEnabled(false);  // passes are called by hand here
  dispatcher->queueCommand("a");
  clock.advance(600'900);
  peer().expiryTick();
  EXPECT_EQ(queueSize(0), 1u);
  clock.advance(100);
  peer().expiryTick();
  EXPECT_EQ(queueSize(0), 0u);
  EXPECT_EQ(dispatcher->statusTable().cell(kColQueue, 1), "0");
}

// Ages, "waited longest" and rests go by the monotonic clock: setting the
// wall clock back an hour or forward two (daylight saving, an operator, NTP
// correcting a wrong boot clock) drops nothing and resumes nobody early. (On
// the wall clock a step back made every waiting entry an hour old.)
TEST_F(QueueTest, ExpiryAndRestIgnoreTheWallClock) {
  createThree("MaxMinutesInQueue=10\nSuspendForMinutes=5\n");
  peer().expiryTimer().setEnabled(false);
  peer().resumeTimer().setEnabled(false);
  const TDateTime start = clock.now();
  dispatcher->queueCommand("older");
  clock.advance(300'000);
  dispatcher->queueCommand("younger");
  peer().suspend(1);
  for (const TDateTime wall : {start - 1.0 / 24, start + 2.0 / 24}) {
    clock.setWallClock(wall);
    peer().expiryTick();
    peer().resumeTick();
    EXPECT_EQ(queueSize(0), 2u) << wall;
    EXPECT_FALSE(dispatcher->encoders()[1].active) << wall;
  }
  clock.advance(299'000);  // 4 min 59 s of rest
  peer().resumeTick();
  EXPECT_FALSE(dispatcher->encoders()[1].active);
  clock.advance(2000);  // 5 min 1 s of rest; "older" is 601 s old, "younger" 301 s
  peer().resumeTick();
  EXPECT_TRUE(dispatcher->encoders()[1].active);
  peer().expiryTick();
  ASSERT_EQ(queueSize(0), 1u);
  EXPECT_EQ(dispatcher->queues().queue(0).front().text, "younger");
}

TEST_F(QueueTest, ExpiryTimerRunsOnlyWithAPositiveAge) {
  createThree("MaxMinutesInQueue=10\n");
  dispatcher->queueCommand("a");
  time.advance(9700 * 61);  // 591.7 s
  EXPECT_EQ(queueSize(0), 1u);
  time.advance(9700);  // 601.4 s
  EXPECT_EQ(queueSize(0), 0u);

  createThree("MaxMinutesInQueue=0\n");
  dispatcher->queueCommand("a");
  time.advance(2LL * 3600 * 1000);
  EXPECT_EQ(queueSize(0), 1u);
}

// Where an encoder asks for it, the newest command of a key takes out the
// older ones still waiting for it; multi-line chunks and other keys, and
// the encoders that do not ask, keep everything in order.
TEST_F(QueueTest, ReplaceWaitingKeepsTheNewestOfAKeyWhereItIsAsked) {
  createThree("Repeat=1\n[Encoder1]\nReplaceWaiting= RT1 ,PS,\n");
  const std::vector<std::string> sent = {"RT1=one\r",  "PS=x\r\n",    "RT1=two\r", "RT1=a\rRT1=b\r",
                                         "RT2=keep\r", "RT1=three\n", "PS=y"};
  for (const std::string& c : sent) dispatcher->queueCommand(c);
  std::vector<std::string> a, m;
  for (const QueuedCommand& c : dispatcher->queues().queue(0)) a.push_back(c.text);
  for (const QueuedCommand& c : dispatcher->queues().queue(1)) m.push_back(c.text);
  EXPECT_EQ(
      a, (std::vector<std::string>{"RT1=a\rRT1=b\r", "RT1=a\rRT1=b\r", "RT2=keep\r", "RT2=keep\r",
                                   "RT1=three\n", "RT1=three\n", "PS=y", "PS=y"}));
  EXPECT_EQ(m.size(), 2 * sent.size());
  EXPECT_EQ(dispatcher->counters().replaced, 6u);
  EXPECT_TRUE(countersAddUp());

  const std::pair<const char*, std::optional<std::string_view>> keys[] = {
      {"RT1=x", "RT1"},          {"A=b=c\r\n", "A"},       {"RT1=", "RT1"},
      {"=x\r", std::nullopt},    {"NULL\r", std::nullopt}, {"A=b\r\n\r\n", std::nullopt},
      {"A=b\nB=c", std::nullopt}};
  for (const auto& [text, key] : keys) EXPECT_EQ(commandKey(text), key) << text;
}

}  // namespace
}  // namespace varnok::testing
