// The bound over all producers together: many connections, each far within
// its own bound, while the encoder cannot be reached.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "dispatcher_fixture.h"
#include "support/acked_producer.h"
#include "support/loopback.h"
#include "support/threaded_peer.h"

namespace varnok::testing {
namespace {

constexpr int kProducers = 200;
constexpr std::int64_t kTotalBound = 2 << 20;  // BacklogTotalMB=2

// "P<producer>.<n>:" and letters, about 4 KB: one whole command per read.
std::string command(int producer, int n) {
  return "P" + std::to_string(producer) + "." + std::to_string(n) + ":" +
         std::string(4000, static_cast<char>('a' + n % 26)) + "\r";
}

using BacklogTest = DispatcherTest;

TEST_F(BacklogTest, ManyProducersAreHeldTogetherAndNothingAcknowledgedIsLost) {
  const std::uint16_t port = closedPort();
  start({{"Studio", closedPort()}}, "Threads=4\nErrorLimit=1\nSuspendForMinutes=1\n",
        "ListenOnPort=" + std::to_string(port) + "\nProducerBacklogKB=1048576\nBacklogTotalMB=2\n");
  std::atomic<int> failed{0};
  std::array<std::atomic<int>, kProducers> acked{};
  std::vector<std::jthread> producers;  // each command after the acknowledgement of the one before
  for (int k = 0; k < kProducers; ++k) {
    producers.emplace_back([&, k](std::stop_token stop) {
      AckedProducer p(port, 20000);
      for (int n = 0; !stop.stop_requested(); ++n) {
        if (!p.command(command(k, n))) {
          ++failed;
          return;
        }
        ++acked[static_cast<std::size_t>(k)];
      }
    });
  }
  const CommandQueues& queues = dispatcher->queues();
  net::TcpListener& listener = intakePeer().listener();
  const auto paused = [&] {
    std::size_t n = 0;
    for (std::size_t i = 0; i < listener.connectionCount(); ++i)
      n += listener.connection(i).readPaused() ? 1 : 0;
    return n;
  };
  // Dispatch ticks in virtual time with a little real time for the
  // producers; after each, the bound and the pauses are checked.
  std::int64_t most = 0;
  int readWhileHeld = 0;
  const auto tickUntil = [&](const std::function<bool()>& done, int limitMs = 30000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done() && std::chrono::steady_clock::now() < end) {
      time.advance(peer().dispatchTimer().interval());
      loop.runOnce(2);
      most = std::max(most, queues.producerBytes());
      if (queues.producersHeld() && paused() != listener.connectionCount()) ++readWhileHeld;
    }
    return done();
  };

  // Held at the bound: nobody is read any more, however long they try.
  ASSERT_TRUE(tickUntil([&] { return queues.producersHeld() && paused() == kProducers; }))
      << queues.producerBytes() << " bytes, " << paused() << " paused";
  const std::int64_t heldBytes = queues.producerBytes();
  const std::uint64_t heldReads = dispatcher->counters().receivedTcp;
  tickUntil([] { return false; }, 300);
  EXPECT_EQ(queues.producerBytes(), heldBytes);
  EXPECT_EQ(dispatcher->counters().receivedTcp, heldReads);
  EXPECT_GT(heldBytes, kTotalBound);

  // The encoder comes: below half of the bound everyone is read again, and
  // every command acknowledged reaches it once, in order.
  ThreadedEncoder encoder({.lifetimeMs = 60000});
  peer().encoders()[0].port = encoder.port;
  time.advance(61 * 1000);  // its suspension ends
  ASSERT_TRUE(
      tickUntil([&] { return dispatcher->counters().receivedTcp > heldReads + kProducers; }));
  for (std::jthread& p : producers) p.request_stop();
  std::vector<std::vector<int>> numbers(kProducers);
  const auto delivered = [&] {
    if (queueSize(0) != 0 || listener.connectionCount() != 0) return false;
    for (std::vector<int>& n : numbers) n.clear();
    const std::string got = encoder.received();
    for (std::size_t at = 0, end; (end = got.find('\r', at)) != std::string::npos; at = end + 1) {
      int k = -1, n = -1;
      if (std::sscanf(got.c_str() + at, "P%d.%d:", &k, &n) != 2 || k < 0 || k >= kProducers ||
          got.compare(at, end + 1 - at, command(k, n)) != 0) {
        return false;  // cut or mixed: never whole
      }
      numbers[static_cast<std::size_t>(k)].push_back(n);
    }
    for (int k = 0; k < kProducers; ++k) {
      if (numbers[static_cast<std::size_t>(k)].size() < std::size_t(acked[k].load())) return false;
    }
    return true;
  };
  ASSERT_TRUE(tickUntil(delivered)) << queues.producerBytes() << " bytes left";
  for (int k = 0; k < kProducers; ++k) {
    std::vector<int> all(static_cast<std::size_t>(acked[static_cast<std::size_t>(k)].load()));
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(numbers[static_cast<std::size_t>(k)], all) << "producer " << k;
  }
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(queues.producerBytes(), 0);
  EXPECT_FALSE(queues.producersHeld());
  // Reads already under way when the hold came were taken: one per connection.
  EXPECT_LE(most, kTotalBound + kProducers * std::int64_t{net::SocketBase::kReadChunk +
                                                          sizeof(QueuedCommand)});
  EXPECT_EQ(readWhileHeld, 0);
}

// Each connection's own bound and the total hold side by side: neither lets
// go of a connection that the other still holds.
TEST_F(BacklogTest, OwnBoundsAndTheTotalHoldSideBySide) {
  start({{"Studio", closedPort()}}, "",
        "ListenOnPort=0\nProducerBacklogKB=256\nBacklogTotalMB=1\n");
  std::vector<std::unique_ptr<Producer>> producers;
  net::TcpListener& listener = intakePeer().listener();
  const auto connect = [&] {
    producers.push_back(std::make_unique<Producer>(dispatcher->listeningPort()));
    return time.runUntil([&] { return listener.connectionCount() == producers.size(); });
  };
  const auto chunk = [&](std::size_t i, int kb) {
    return
        [&, i, kb] { intakePeer().received(listener.connection(i), std::string(kb << 10, 'x')); };
  };
  const auto take = [&] { peer().takeNext(0); };  // the oldest entry leaves
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(connect());

  struct Step {
    const char* what;
    std::function<void()> act;
    const char* paused;  // a letter per connection: P not read, - read
  } steps[] = {
      {"two pass their own bound",
       [&] {
         chunk(0, 300)();
         chunk(1, 300)();
       },
       "PP--"},
      {"a third passes the total", chunk(2, 500), "PPPP"},
      {"a newcomer while held", [&] { ASSERT_TRUE(connect()); }, "PPPPP"},
      {"the first's own bound lets go, the total holds", take, "PPPPP"},
      {"below half of the total, the third's own bound holds", take, "--P--"},
  };
  for (const Step& step : steps) {
    step.act();
    std::string paused;
    for (std::size_t i = 0; i < listener.connectionCount(); ++i)
      paused += listener.connection(i).readPaused() ? 'P' : '-';
    EXPECT_EQ(paused, step.paused) << step.what;
  }
}

// Whichever operation lets the producers be read again, a subscriber may
// queue as soon as it hears of it: the queue it lands in is whole by then.
TEST_F(BacklogTest, SubscriberThatQueuesOnReleaseFindsTheQueuesWhole) {
  struct Operation {
    const char* what;
    std::function<void()> act;
    bool counted;  // a take by hand is neither delivered nor in flight
  } operations[] = {
      {"take",
       [&] {
         while (dispatcher->producersHeld()) peer().takeNext(0);
       },
       false},
      {"expire", [&] { time.advance(70 * 1000); }, true},
      {"drop", [&] { dispatcher->dropWaiting(0, CommandSource::NowPlaying); }, true},
  };
  for (const Operation& operation : operations) {
    start({{"Studio", closedPort()}}, "MaxMinutesInQueue=1\n", "Socket=0\nBacklogTotalMB=1\n");
    peer().dispatchTimer().setEnabled(false);
    std::vector<bool> told;
    dispatcher->setOnProducersHeld([&](bool held) {
      told.push_back(held);
      if (!held) dispatcher->queueCommand("after\r");
    });
    for (int n = 0; n < 300; ++n) {
      dispatcher->queueProducedCommand(command(0, n), {}, {CommandSource::NowPlaying, 0});
    }
    ASSERT_TRUE(dispatcher->producersHeld()) << operation.what;
    operation.act();
    EXPECT_EQ(told, (std::vector<bool>{true, false})) << operation.what;
    const std::deque<QueuedCommand>& queue = dispatcher->queues().queue(0);
    const auto after = std::count_if(queue.begin(), queue.end(),
                                     [](const QueuedCommand& c) { return c.text == "after\r"; });
    EXPECT_EQ(after, 1) << operation.what;
    EXPECT_EQ(queue.back().text, "after\r") << operation.what;
    if (operation.counted) {
      EXPECT_TRUE(countersAddUp()) << operation.what;
    }
  }
}

TEST(BacklogConfigTest, TotalBoundIsReadInMegabytesAndZeroOrLessMeansNone) {
  const std::pair<const char*, std::int64_t> cases[] = {
      {"", std::int64_t{256} << 20},
      {"BacklogTotalMB=4096", std::int64_t{1} << 32},
      {"BacklogTotalMB=0", 0},
      {"BacklogTotalMB=-3", 0}};
  TempDir dir;
  for (const auto& [line, bytes] : cases) {
    const IniFile ini(dir.write("varnok.ini", std::string("[Inputs]\n") + line + "\n"));
    EXPECT_EQ(readDispatcherConfig(ini, dir.folder()).backlogTotalBytes, bytes) << line;
  }
}

}  // namespace
}  // namespace varnok::testing
