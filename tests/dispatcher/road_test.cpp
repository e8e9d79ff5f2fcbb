// Whole sequences of the command road in virtual time over real loopback
// sockets: intake, dispatch cycle, supervision.
#include <gtest/gtest.h>

#include <memory>

#include "dispatcher_fixture.h"
#include "support/descriptor_fill.h"
#include "support/loopback.h"

namespace varnok::testing {
namespace {

class RoadTest : public DispatcherTest {
 protected:
  // One tick of the dispatch timer, then the sockets settle.
  void tick() {
    time.advance(peer().dispatchTimer().interval());
    loop.runOnce(5);
  }
  bool settle(const std::function<bool()>& done) { return time.runUntil(done, 3000); }
  std::string cell(int col, int encoder) const {
    return dispatcher->statusTable().cell(col, encoder + 1);
  }
};

TEST_F(RoadTest, WorkedSequenceTwoSlotsThreeEncoders) {
  EncoderStub e0(loop), e1(loop), e2(loop);
  start({{"E0", e0.port}, {"E1", e1.port}, {"E2", e2.port}}, "Threads=2\n");
  dispatcher->queueCommand("CMD\r");

  tick();  // binds slot 1 to encoder 0
  EXPECT_EQ(dispatcher->senderSlots()[1].encoder(), 0);
  tick();  // binds slot 0 to encoder 1
  EXPECT_EQ(dispatcher->senderSlots()[0].encoder(), 1);
  ASSERT_TRUE(settle([&] {
    return dispatcher->senderSlots()[0].connected() && dispatcher->senderSlots()[1].connected();
  }));
  EXPECT_EQ(cell(kColThread, 0), "2");
  EXPECT_EQ(cell(kColThread, 1), "1");
  EXPECT_EQ(cell(kColThread, 2), "");

  tick();  // sends encoder 0's command through slot 1
  ASSERT_TRUE(settle([&] { return e0.received.size() == 4; }));
  tick();  // then encoder 1's through slot 0
  ASSERT_TRUE(settle([&] { return e1.received.size() == 4; }));
  EXPECT_EQ(e0.received, "CMD\r");
  EXPECT_EQ(e1.received, "CMD\r");
  EXPECT_EQ(queueSize(2), 1u);
  EXPECT_EQ(dispatcher->senderSlots()[0].encoder(), 1);

  // Slot 0 sent last but has the shorter idle time: it goes first, 1000 ms
  // after its send; the freed slot 0 goes to encoder 2.
  const std::int64_t sentAt = clock.monotonicMs();
  while (dispatcher->senderSlots()[0].encoder() == 1 && clock.monotonicMs() - sentAt < 5000) tick();
  EXPECT_GE(clock.monotonicMs() - sentAt, 1000 - 45);
  EXPECT_LE(clock.monotonicMs() - sentAt, 1000 + 45);
  // Freed, and possibly bound again by a tick in the same step.
  EXPECT_NE(dispatcher->senderSlots()[0].encoder(), 1);
  EXPECT_EQ(dispatcher->senderSlots()[1].encoder(), 0);  // slot 1's turn comes at 1500 ms
  for (int i = 0; i < 40 && e2.received.empty(); ++i) {
    tick();
    settle([&] {
      return dispatcher->senderSlots()[0].encoder() != 2 ||
             dispatcher->senderSlots()[0].connected();
    });
  }
  EXPECT_EQ(dispatcher->senderSlots()[0].encoder(), 2);
  EXPECT_EQ(cell(kColThread, 2), "1");
  ASSERT_TRUE(settle([&] { return e2.received == "CMD\r"; }));
  EXPECT_EQ(e0.accepted + e1.accepted + e2.accepted, 3);
  EXPECT_EQ(cell(kColErrors, 0), "");
}

TEST_F(RoadTest, OneEncoderFourSlotsGoesThroughClient4AndStaysOpen) {
  EncoderStub e(loop);
  start({{"Only", e.port}}, "Threads=4\nRepeat=2\n");
  dispatcher->queueCommand("abc\r");
  tick();
  EXPECT_EQ(dispatcher->senderSlots()[3].encoder(), 0);
  ASSERT_TRUE(settle([&] { return dispatcher->senderSlots()[3].connected(); }));
  EXPECT_EQ(cell(kColThread, 0), "4");
  // Three copies, one send per tick.
  for (std::size_t sent = 1; sent <= 3; ++sent) {
    tick();
    ASSERT_TRUE(settle([&] { return e.received.size() == 4 * sent; })) << sent;
  }
  EXPECT_EQ(e.received, "abc\rabc\rabc\r");
  // One active encoder, four slots: the connection stays open.
  time.advance(20000);
  EXPECT_TRUE(dispatcher->senderSlots()[3].connected());
  EXPECT_EQ(e.accepted, 1);
  for (int k = 0; k < 3; ++k)
    EXPECT_EQ(dispatcher->senderSlots()[static_cast<std::size_t>(k)].encoder(), -1);
}

TEST_F(RoadTest, RefusedEncoderIsCountedSuspendedAndResumed) {
  const std::uint16_t port = closedPort();
  start({{"Gone", port}}, "Threads=1\nErrorLimit=3\nSuspendForMinutes=5\n");
  dispatcher->queueCommand("x\r");
  for (int attempt = 1; attempt <= 3; ++attempt) {
    tick();
    ASSERT_TRUE(settle([&] { return dispatcher->senderSlots()[0].encoder() == -1; })) << attempt;
    EXPECT_EQ(peer().encoders()[0].errors, attempt);
    EXPECT_EQ(cell(kColErrors, 0), std::to_string(attempt));
    // Named, although the slot is already idle when the error comes: it is
    // the error of that encoder's connection.
    EXPECT_EQ(logTexts().back(), "Socket Error 10061 - Connection refused (Gone)");
  }
  EXPECT_FALSE(peer().encoders()[0].active);
  EXPECT_EQ(cell(kColEnabled, 0), "Suspended");
  const int lines = dispatcher->logView().lineCount();
  time.advance(4 * 60 * 1000);  // suspended: no further attempts
  EXPECT_EQ(peer().encoders()[0].errors, 3);
  EXPECT_EQ(dispatcher->logView().lineCount(), lines);
  EXPECT_FALSE(peer().encoders()[0].active);
  // Resumed by the 10-second check once five whole minutes have passed.
  peer().dispatchTimer().setEnabled(false);  // keep it from trying again at once
  time.advance(60 * 1000 + 10 * 1000);
  EXPECT_EQ(cell(kColEnabled, 0), "Yes");
  EXPECT_TRUE(peer().encoders()[0].active);
  EXPECT_EQ(peer().encoders()[0].errorsInRow, 0);
  EXPECT_EQ(queueSize(0), 1u);  // the command waited
}

// Dials that fail because this process has no descriptor left are not the
// encoder's failures: with ErrorLimit=1 one such failure would suspend it.
TEST_F(RoadTest, OwnDescriptorShortageCountsNothingAgainstTheEncoder) {
  EncoderStub e(loop);
  start({{"E", e.port}}, "Threads=1\nErrorLimit=1\n");
  // One delivery first, while descriptors are free: the sanitizer's check of
  // each polymorphic call needs one the first time it meets the call.
  dispatcher->queueCommand("w\r");
  ASSERT_TRUE(tickUntil([&] { return e.received == "w\r"; }));
  e.closeAll();
  ASSERT_TRUE(tickUntil([&] { return dispatcher->senderSlots()[0].idle(); }));
  tick();
  dispatcher->queueCommand("x\r");
  {
    DescriptorFill fill;
    ASSERT_TRUE(fill.full());
    for (int i = 0; i < 5; ++i) tick();
  }
  EXPECT_EQ(peer().encoders()[0].errors, 0);
  EXPECT_TRUE(peer().encoders()[0].active);
  EXPECT_EQ(cell(kColErrors, 0), "");
  int told = 0;
  for (const std::string& line : logTexts()) told += line.starts_with("Socket Error");
  EXPECT_EQ(told, 1);
  EXPECT_TRUE(logged("Socket Error 10024 - Too many open files (E)"));
  // Descriptors back: the next ticks dial and deliver.
  ASSERT_TRUE(tickUntil([&] { return e.received == "w\rx\r"; }));
  EXPECT_EQ(peer().encoders()[0].errors, 0);
}

TEST_F(RoadTest, EncoderClosingAnOpenConnectionCountsNothing) {
  EncoderStub e(loop);
  start({{"E", e.port}}, "Threads=1\n");
  dispatcher->queueCommand("x\r");
  dispatcher->queueCommand("y\r");
  tick();
  ASSERT_TRUE(
      settle([&] { return dispatcher->senderSlots()[0].connected() && e.openConnections() == 1; }));
  tick();  // a command went out on it: what follows is no failed attempt
  ASSERT_TRUE(settle([&] { return e.received == "x\r"; }));
  const int lines = dispatcher->logView().lineCount();
  e.closeAll();
  ASSERT_TRUE(settle([&] { return dispatcher->senderSlots()[0].encoder() == -1; }));
  EXPECT_EQ(peer().encoders()[0].errors, 0);
  EXPECT_EQ(cell(kColThread, 0), "");
  EXPECT_EQ(dispatcher->logView().lineCount(), lines);
  EXPECT_TRUE(peer().encoders()[0].active);
}

TEST_F(RoadTest, EncoderThatResetsAtOnceIsCountedAndSuspended) {
  EncoderStub e(loop);
  e.resetOnAccept = true;
  start({{"E", e.port}}, "Threads=1\nErrorLimit=3\n");
  dispatcher->queueCommand("x\r");
  // Each attempt connects, then the reset ends the open connection before a
  // tick could send: a failed attempt like a refused one, the command kept.
  for (int i = 0; i < 40 && e.accepted < 3; ++i) {
    tick();
    settle([&] { return dispatcher->senderSlots()[0].encoder() == -1; });
  }
  ASSERT_EQ(e.accepted, 3);
  ASSERT_TRUE(settle([&] { return dispatcher->senderSlots()[0].encoder() == -1; }));
  int resets = 0;
  int drops = 0;
  for (const std::string& line : logTexts()) {
    if (line == "Socket Error 10054 - Connection reset by peer (E)") ++resets;
    if (line == "Connection closed by the encoder before any command was sent (E)") ++drops;
  }
  EXPECT_EQ(resets, 3);
  EXPECT_EQ(drops, 3);
  EXPECT_EQ(peer().encoders()[0].errors, 3);
  EXPECT_FALSE(peer().encoders()[0].active);
  EXPECT_EQ(cell(kColEnabled, 0), "Suspended");
  EXPECT_EQ(cell(kColErrors, 0), "3");
  EXPECT_EQ(queueSize(0), 1u);
  // Suspended: no fourth attempt.
  for (int i = 0; i < 20; ++i) tick();
  EXPECT_EQ(e.accepted, 3);
}

TEST_F(RoadTest, QueueThatExpiredBeforeTheSendSendsNothing) {
  EncoderStub e(loop);
  start({{"E", e.port}}, "Threads=1\n");
  dispatcher->queueCommand("x\r");
  tick();
  ASSERT_TRUE(settle([&] { return dispatcher->senderSlots()[0].connected(); }));
  // As an expiry pass would between connect and send.
  peer().queues().expire(clock.now() + 1.0, 0);
  tick();
  tick();
  time.runUntil([] { return false; }, 50);
  EXPECT_EQ(e.received, "");
  EXPECT_TRUE(dispatcher->senderSlots()[0].connected());
}

TEST_F(RoadTest, ConnectionEventForAnIdleSlotTouchesNothing) {
  start({{"E", closedPort()}}, "Threads=2\n");
  peer().encoders()[0].errorsInRow = 2;
  const std::string table = dispatcher->statusTable().dump();
  peer().slotConnected(1);
  peer().slotDisconnected(1);
  EXPECT_EQ(dispatcher->statusTable().dump(), table);
  EXPECT_EQ(peer().encoders()[0].errorsInRow, 2);
  EXPECT_EQ(dispatcher->senderSlots()[1].encoder(), -1);
  EXPECT_FALSE(dispatcher->senderSlots()[1].connected());
  EXPECT_FALSE(peer().slot(1).idleTimerRunning());
  EXPECT_FALSE(peer().slot(1).stayTimerRunning());
}

TEST_F(RoadTest, ProducerCommandIsAcknowledgedAndQueued) {
  EncoderStub e(loop);
  start({{"E", e.port}}, "", "ListenOnPort=0\n");
  ASSERT_TRUE(dispatcher->listening());
  // Port 0: the system chose a port, and that is the one logged.
  const std::uint16_t port = localPort(intakePeer().listener().descriptor());
  const std::string where = "127.0.0.1:" + std::to_string(port);
  EXPECT_NE(port, 0);
  EXPECT_TRUE(logged("Listening on port " + std::to_string(port)));
  peer().dispatchTimer().setEnabled(false);

  Producer producer(port);
  ASSERT_TRUE(producer.connected);
  ASSERT_TRUE(settle([&] { return logged("Client " + where + " connected"); }))
      << "Port in the line is the listening port";
  producer.send("HELLO\r\n");
  ASSERT_TRUE(settle([&] { return producer.replies().size() == 7; }));
  EXPECT_EQ(producer.replies(), "\r\n+\r\n\r\n");
  ASSERT_EQ(queueSize(0), 1u);
  EXPECT_EQ(dispatcher->queues().queue(0).front().text, "HELLO\r\n");

  // A chunk of only CR LF is a command like any other; binary bytes pass whole.
  producer.send("\r\n");
  ASSERT_TRUE(settle([&] { return producer.replies().size() == 14; }));
  producer.send(std::string("\x00\xff\x80", 3));
  ASSERT_TRUE(settle([&] { return producer.replies().size() == 21; }));
  EXPECT_EQ(dispatcher->queues().queue(0).back().text, std::string("\x00\xff\x80", 3));

  producer.closeNormally();
  ASSERT_TRUE(settle([&] { return logged("Client " + where + " disconnected"); }));
}

TEST_F(RoadTest, BannedProducerGetsNoAnswer) {
  dir.write("varnok.ban", "127.0.0.*\r\n");
  dir.write("varnok.vip", "127.0.0.6\n");
  start({{"E", closedPort()}}, "", "ListenOnPort=0\n");
  peer().dispatchTimer().setEnabled(false);
  const std::uint16_t port = localPort(intakePeer().listener().descriptor());

  Producer banned(port, "127.0.0.5");
  Producer vip(port, "127.0.0.6");
  ASSERT_TRUE(
      settle([&] { return logged("Client 127.0.0.5:" + std::to_string(port) + " connected"); }));
  banned.send("RT=no\r");
  vip.send("RT=yes\r");
  ASSERT_TRUE(settle([&] { return vip.replies().size() == 7; }));
  time.runUntil([] { return false; }, 50);
  EXPECT_EQ(banned.replies(), "");
  ASSERT_EQ(queueSize(0), 1u);
  EXPECT_EQ(dispatcher->queues().queue(0).front().text, "RT=yes\r");
}

TEST_F(RoadTest, ProducerResetIsLoggedAsASocketErrorOfNoEncoder) {
  EncoderStub e(loop);
  start({{"E", e.port}}, "Threads=1\n", "ListenOnPort=0\n");
  dispatcher->queueCommand("x\r");
  tick();  // slot 0 is bound to E now
  ASSERT_TRUE(settle([&] { return dispatcher->senderSlots()[0].connected(); }));
  const std::uint16_t port = localPort(intakePeer().listener().descriptor());
  Producer producer(port);
  ASSERT_TRUE(settle([&] { return dispatcher->producerConnections() == 1; }));
  producer.reset();
  ASSERT_TRUE(settle([&] { return dispatcher->producerConnections() == 0; }));
  EXPECT_EQ(logTexts().back(), "Socket Error 10054 - Connection reset by peer");
}

TEST_F(RoadTest, PortInUseIsLoggedAndStartUpStops) {
  EncoderStub busy(loop);
  start({}, "", "ListenOnPort=" + std::to_string(busy.port) + "\n");
  EXPECT_FALSE(dispatcher->listening());
  EXPECT_EQ(logTexts().back(), "Socket Error 10048 - Address already in use");
  EXPECT_FALSE(logged("Listening on port " + std::to_string(busy.port)));
  // The error handler's marks end the trail; start-up added no exit mark.
  EXPECT_TRUE(dispatcher->debugTrail().ends_with("Tc,,")) << dispatcher->debugTrail();
  // The program runs on.
  dispatcher->queueCommand("x");
  time.advance(1000);
}

TEST_F(RoadTest, ClosingStopsListeningAndClosesEveryConnection) {
  EncoderStub e(loop);
  start({{"E", e.port}}, "Threads=1\n", "ListenOnPort=0\n");
  dispatcher->queueCommand("x\r");
  tick();
  ASSERT_TRUE(
      settle([&] { return dispatcher->senderSlots()[0].connected() && e.openConnections() == 1; }));
  dispatcher->close();
  EXPECT_FALSE(dispatcher->listening());
  EXPECT_EQ(dispatcher->senderSlots()[0].encoder(), -1);
  EXPECT_EQ(peer().encoders()[0].errors, 0);
  ASSERT_TRUE(settle([&] { return e.openConnections() == 0; }));
}

}  // namespace
}  // namespace varnok::testing
