// The dispatcher's running totals, and the snapshot the status window takes
// of it: a real dispatcher in virtual time, peers on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "dispatcher/dispatcher_fixture.h"
#include "status/status_render.h"
#include "support/loopback.h"
#include "support/threaded_peer.h"

namespace varnok::testing {
namespace {

class CountersTest : public DispatcherTest {
 protected:
  // Dispatch ticks in virtual time, each followed by a little real time for
  // the sockets, until done() or a real-time limit.
  bool tickUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!done() && std::chrono::steady_clock::now() < end) {
      time.advance(peer().dispatchTimer().interval());
      loop.runOnce(2);
    }
    return done();
  }
  // Every entry ever queued is delivered, expired, failed or still waiting.
  void expectAccounted() const {
    std::uint64_t waiting = 0;
    const CommandQueues& queues = dispatcher->queues();
    for (std::size_t i = 0; i < queues.encoderCount(); ++i) {
      waiting += queues.size(static_cast<int>(i));
    }
    const TrafficCounters& c = dispatcher->counters();
    EXPECT_EQ(c.queued, c.delivered + c.expired + c.failedSends + waiting);
  }
};

TEST_F(CountersTest, IntakeByInputAndEachProducerOnceByTheAccessLists) {
  dir.write("varnok.ban", "127.0.0.*\n");
  dir.write("varnok.vip", "127.0.0.6\n");
  dir.write("cmd.ini",
            "[CommandList]\nCommandCount=3\nDestinationName=e2\nCommand1=A\nCommand3=C\n");
  start({{"E1", closedPort()}, {"E2", closedPort()}}, "Repeat=1\n", "ListenOnPort=0\n");
  peer().dispatchTimer().setEnabled(false);
  const std::uint16_t port = localPort(intakePeer().listener().descriptor());
  Producer vip(port, "127.0.0.6"), banned(port, "127.0.0.5"), silent(port, "127.0.0.7");
  for (const std::size_t acks : {7u, 14u}) {
    vip.send("RT=x\r");
    banned.send("RT=x\r");
    ASSERT_TRUE(time.runUntil([&] { return vip.replies().size() == acks; }));
  }
  ASSERT_TRUE(time.runUntil([&] { return dispatcher->counters().producersRefused == 1; }));
  ASSERT_EQ(dispatcher->handOff("RT=hand"), Dispatcher::HandOff::Handled);
  ASSERT_EQ(dispatcher->handOff("FILE:cmd.ini"), Dispatcher::HandOff::Handled);

  const status::Snapshot s = status::takeSnapshot(*dispatcher);
  const TrafficCounters& c = s.totals;
  EXPECT_EQ(c.receivedTcp, 2u);
  EXPECT_EQ(c.receivedHandOff, 1u);
  EXPECT_EQ(c.receivedFile, 2u);
  EXPECT_EQ(c.producersAccepted, 1u);  // two chunks, one connection
  EXPECT_EQ(c.producersRefused, 1u);
  EXPECT_EQ(c.queued, 2u * 2 * 2 + 1 * 2 * 2 + 2 * 2);  // the file's go to E2 only
  EXPECT_EQ(s.encoders.at(1).queue, 10);
  EXPECT_EQ(s.listeningPort, port);
  EXPECT_EQ(s.producerConnections, 3);
  expectAccounted();
}

TEST_F(CountersTest, DeliveredExpiredAndFailedAddUpToWhatWasQueued) {
  EncoderStub good(loop);
  // Takes a connection, reads nothing and resets it: what it was given fails.
  ThreadedEncoder broken({.receiveBuffer = 4096, .silentMs = 60000, .resetAfterMs = 300});
  start({{"Good", good.port}, {"Broken", broken.port}, {"Gone", closedPort()}},
        "MaxMinutesInQueue=1\nThreads=3\n");
  for (const char* text : {"A\r", "B\r"}) dispatcher->queueCommand(text);
  dispatcher->queueCommand(std::string(4 << 20, 'x') + "\r", {"Broken", -1});
  ASSERT_TRUE(tickUntil([&] { return good.received == "A\rB\r" && broken.accepted() >= 1; }));
  ASSERT_TRUE(tickUntil([&] { return dispatcher->counters().failedSends == 1; }));
  EXPECT_EQ(dispatcher->counters().delivered, 4u);  // the short ones went whole to Good and Broken
  time.advance(70 * 1000);                          // past the minute and the next expiry tick
  EXPECT_EQ(dispatcher->counters().expired, 2u);    // Gone's
  EXPECT_EQ(dispatcher->counters().delivered, 4u);
  expectAccounted();
}

TEST_F(CountersTest, SnapshotMirrorsTheTableRowByRow) {
  EncoderStub good(loop);
  create(
      "[General]\nEncoderCount=3\nErrorLimit=1\n[Inputs]\nSocket=0\n[Encoder1]\nName=Refusing\n"
      "Port=" +
      std::to_string(closedPort()) +
      "\n[Encoder2]\nName=Off\nEnabled=0\n"
      "[Encoder3]\nName=Good\nPort=" +
      std::to_string(good.port) + "\n");
  dispatcher->queueCommand("RT=x\r");
  ASSERT_TRUE(
      tickUntil([&] { return !dispatcher->encoders()[0].active && !good.received.empty(); }));
  const status::Snapshot s = status::takeSnapshot(*dispatcher);  // Good stays connected
  ASSERT_EQ(s.encoders.size(), 3u);
  for (const status::EncoderState& e : s.encoders) {
    for (int c = 0; c < StatusTable::kColumns; ++c) {
      EXPECT_EQ(e.cells[static_cast<std::size_t>(c)], dispatcher->statusTable().cell(c, e.number))
          << e.name;
    }
    EXPECT_EQ(e.cells[kColPort], std::to_string(e.port));
    EXPECT_EQ(e.cells[kColQueue], std::to_string(e.queue));
    EXPECT_EQ(e.cells[kColThread], e.thread > 0 ? std::to_string(e.thread) : "") << e.name;
  }
  EXPECT_TRUE(s.encoders[0].enabled && s.encoders[0].suspended);
  EXPECT_EQ(s.encoders[0].cells[kColEnabled], "Suspended");
  EXPECT_FALSE(s.encoders[1].enabled || s.encoders[1].suspended);
  EXPECT_TRUE(s.encoders[2].connected);
  EXPECT_EQ(s.log, std::vector<std::string>(dispatcher->logView().lines().begin(),
                                            dispatcher->logView().lines().end()));
}

}  // namespace
}  // namespace varnok::testing
