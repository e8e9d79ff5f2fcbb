#include "mqtt/broker_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/async_resolver.h"
#include "support/loopback.h"
#include "support/mosquitto_broker.h"
#include "support/virtual_time.h"

namespace varnok::mqtt {
namespace {

using varnok::testing::BrokerOptions;
using varnok::testing::MosquittoBroker;
using varnok::testing::TestCertificates;

// A client on a loop, with everything it reports recorded.
template <typename ClockT>
struct Harness {
  explicit Harness(BrokerSettings s) : client(loop, std::move(s)) {
    client.setLog([this](std::string l) { log.push_back(std::move(l)); });
    client.setOnMessage([this](const Message& m) { got.push_back(m.topic + " " + m.payload); });
  }
  bool logged(const std::string& text) const {
    return std::any_of(log.begin(), log.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }
  bool runUntil(const std::function<bool()>& done, int ms = 10000) {
    return varnok::testing::runLoopUntil(loop, done, ms);
  }
  std::string logText() const {
    std::string all;
    for (const std::string& l : log) all += l + "\n";
    return all;
  }
  ClockT clock;
  Application app;
  EventLoop loop{clock, app};
  std::vector<std::string> log;
  std::vector<std::string> got;
  BrokerClient client;
};
using RealHarness = Harness<SystemClock>;

BrokerSettings settingsFor(int port, const std::string& id = "site-a") {
  BrokerSettings s;
  s.host = "127.0.0.1";
  s.port = port;
  s.clientId = id;
  s.keepAliveSeconds = 5;
  s.subscriptions = {{"rds/site-a/#", 1}};
  return s;
}

std::vector<std::string> numbered(const std::string& prefix, int n) {
  std::vector<std::string> v;
  for (int i = 0; i < n; ++i) v.push_back(prefix + std::to_string(i));
  return v;
}

std::vector<std::string> received(const std::string& topic, const std::vector<std::string>& p) {
  std::vector<std::string> v;
  for (const std::string& s : p) v.push_back(topic + " " + s);
  return v;
}

std::size_t openDescriptors() {
  return static_cast<std::size_t>(std::distance(
      std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator{}));
}

TEST(BrokerClient, ReceivesInOrderAndPublishes) {
  MosquittoBroker broker;
  ASSERT_TRUE(broker.start());
  RealHarness h(settingsFor(broker.port()));
  EXPECT_FALSE(h.client.publish("rds/site-a/x", "early", 1, false));
  ASSERT_TRUE(h.client.start());
  ASSERT_TRUE(h.runUntil([&] { return h.client.connected(); })) << h.logText();
  EXPECT_TRUE(h.logged("MQTT connected to 127.0.0.1:" + std::to_string(broker.port())));
  // The subscription is in place once our own message comes back.
  ASSERT_TRUE(h.client.publish("rds/site-a/echo", "ping", 1, false));
  ASSERT_TRUE(h.runUntil([&] { return !h.got.empty(); }));
  const auto lines = numbered("PS=STATION", 200);
  ASSERT_TRUE(broker.publish("rds/site-a/enc1", lines));
  ASSERT_TRUE(h.runUntil([&] { return h.got.size() >= 201; }));
  auto expected = received("rds/site-a/enc1", lines);
  expected.insert(expected.begin(), "rds/site-a/echo ping");
  EXPECT_EQ(h.got, expected);
  EXPECT_EQ(h.client.counters().messagesReceived, 201u);
}

// Connections that must come up, and those that must be refused, each with
// the reason in the log.
TEST(BrokerClient, AuthenticationAndTls) {
  BrokerOptions options;
  options.users = {{"site", "secret"}};
  options.tls = true;
  MosquittoBroker broker(options);
  ASSERT_TRUE(broker.start()) << broker.log();
  const auto& certs = TestCertificates::get();
  net::setHostResolver([](const std::string& host) -> std::optional<in_addr_t> {
    if (host == "localhost" || host == "broker.test" || host == "other.test") {
      return htonl(INADDR_LOOPBACK);
    }
    return std::nullopt;
  });
  struct Row {
    const char* name;
    std::string host;
    bool tls;
    std::string caFile;
    std::string password;
    std::string expected;  // in the log
  };
  const Row rows[] = {
      {"plain, right password", "127.0.0.1", false, "", "secret", "MQTT connected to"},
      {"plain, wrong password", "127.0.0.1", false, "", "guess",
       "MQTT connection refused - not authorized (next try in 1 s)"},
      {"TLS, right CA, localhost", "localhost", true, certs.caFile(), "secret",
       "MQTT connected to localhost:"},
      {"TLS, right CA, broker.test", "broker.test", true, certs.caFile(), "secret",
       "MQTT connected to broker.test:"},
      {"TLS, wrong CA", "localhost", true, certs.wrongCaFile(), "secret",
       "TLS handshake with localhost:"},
      {"TLS, name not in the certificate", "other.test", true, certs.caFile(), "secret",
       "failed - certificate refused: hostname mismatch"},
      {"TLS, resolved address is not the name", "127.0.0.1", true, certs.caFile(), "secret",
       "failed - certificate refused: IP address mismatch"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    BrokerSettings s = settingsFor(row.tls ? broker.tlsPort() : broker.port());
    s.host = row.host;
    s.username = "site";
    s.password = row.password;
    s.tls.caFile = row.caFile;
    RealHarness h(s);
    ASSERT_TRUE(h.client.start()) << h.logText();
    ASSERT_TRUE(h.runUntil([&] { return !h.log.empty(); })) << h.logText();
    EXPECT_TRUE(h.logged(row.expected)) << h.logText();
    EXPECT_EQ(h.client.connected(), row.expected.starts_with("MQTT connected"));
    EXPECT_EQ(h.log.size(), 1u) << h.logText();
  }
  net::setHostResolver({});
}

// mosquitto 2.0's ACL file never refuses a subscription (it grants it and
// filters at delivery), so what the site sees is that nothing comes.
TEST(BrokerClient, AclDeniedTopicIsNotDelivered) {
  BrokerOptions options;
  options.users = {{"site", "pw"}, {"studio", "pw"}};
  options.acl = "user site\ntopic read rds/site-a/#\nuser studio\ntopic write rds/#\n";
  MosquittoBroker broker(options);
  ASSERT_TRUE(broker.start());
  BrokerSettings s = settingsFor(broker.port());
  s.username = "site";
  s.password = "pw";
  s.subscriptions = {{"rds/site-b/#", 1}, {"rds/site-a/#", 1}};
  RealHarness h(s);
  h.client.start();
  ASSERT_TRUE(h.runUntil([&] { return h.client.connected(); })) << h.logText();
  ASSERT_TRUE(broker.publish("rds/site-b/enc", {"denied"}, 1, false, "studio", "pw"));
  ASSERT_TRUE(broker.publish("rds/site-a/enc", {"allowed"}, 1, false, "studio", "pw"));
  ASSERT_TRUE(h.runUntil([&] { return !h.got.empty(); }));
  h.runUntil([] { return false; }, 200);
  EXPECT_EQ(h.got, std::vector<std::string>{"rds/site-a/enc allowed"});
}

// A stopped broker still accepts TCP (the kernel does it) but never answers:
// the client must notice through the keep-alive, keep retrying without ever
// blocking the loop, and get the messages it missed once the broker is back.
TEST(BrokerClient, FrozenBrokerIsNoticedWithoutBlocking) {
  MosquittoBroker broker;
  ASSERT_TRUE(broker.start());
  BrokerSettings s = settingsFor(broker.port());
  s.connectTimeoutMs = 2000;
  RealHarness h(s);
  std::int64_t last = h.clock.monotonicMs(), longestGap = 0;
  Timer tick(h.loop, [&] {
    longestGap = std::max(longestGap, h.clock.monotonicMs() - last);
    last = h.clock.monotonicMs();
  });
  tick.setInterval(20);
  tick.setEnabled(true);
  h.client.start();
  ASSERT_TRUE(h.runUntil([&] { return h.client.connected(); }));
  h.client.publish("rds/site-a/echo", "x", 1, false);
  ASSERT_TRUE(h.runUntil([&] { return !h.got.empty(); }));
  const auto descriptorsWhenConnected = openDescriptors();
  broker.pause();
  // Keep-alive 5 s: a ping after 5 s of silence, given up 5 s later.
  ASSERT_TRUE(h.runUntil([&] { return !h.client.connected(); }, 15000)) << h.logText();
  EXPECT_TRUE(h.logged("MQTT connection lost - no answer within the keep-alive (next try in 1 s)"))
      << h.logText();
  // Attempts against the frozen broker time out.
  ASSERT_TRUE(h.runUntil([&] { return h.logged("timed out after 2 s"); }, 8000)) << h.logText();
  tick.setEnabled(false);  // from here on the test itself blocks, running mosquitto_pub
  // A blocking connect or wait would stall it for seconds (the 2 s connect
  // timeout, the keep-alive); the bound leaves room for a loaded machine.
  EXPECT_LT(longestGap, 1000) << "the loop was blocked";
  broker.resume();
  ASSERT_TRUE(broker.publish("rds/site-a/enc", {"after", "the", "freeze"}));
  // The echo's acknowledgement may have been caught by the freeze: QoS 1
  // then sends it again after the reconnect, as at-least-once allows.
  const auto missed = [&] {
    std::vector<std::string> got = h.got;
    std::erase(got, "rds/site-a/echo x");
    return got;
  };
  ASSERT_TRUE(h.runUntil([&] { return missed().size() >= 3; }, 15000)) << h.logText();
  EXPECT_EQ(missed(), (std::vector<std::string>{"rds/site-a/enc after", "rds/site-a/enc the",
                                                "rds/site-a/enc freeze"}));
  EXPECT_EQ(openDescriptors(), descriptorsWhenConnected) << "abandoned attempts leaked sockets";
}

// The waits between attempts double from 1 s to 60 s, spread by the jitter,
// and start again from 1 s once a connection has lasted a minute; one that
// the broker ends sooner counts as a failure.
TEST(BrokerClient, BackoffGrowsAndResetsAfterAcceptedConnection) {
  for (const double jitter : {0.0, 0.2}) {
    SCOPED_TRACE("jitter " + std::to_string(jitter));
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start());
    BrokerSettings s = settingsFor(broker.port());
    s.retryJitter = jitter;
    Harness<ManualClock> h(s);
    varnok::testing::VirtualTime time(h.loop, h.clock);
    h.client.start();
    ASSERT_TRUE(time.runUntil([&] { return h.client.connected(); }));
    broker.kill();
    const int nominal[] = {1, 2, 4, 8, 16, 32, 60, 60};
    for (const int seconds : nominal) {
      const std::size_t before = h.log.size();
      if (seconds > 1) time.advance(h.client.lastRetryDelayMs());
      ASSERT_TRUE(time.runUntil([&] { return h.log.size() > before; })) << h.logText();
      const int delay = h.client.lastRetryDelayMs();
      EXPECT_GE(delay, seconds * 1000 * (1 - jitter) - 1) << h.log.back();
      EXPECT_LE(delay, seconds * 1000 * (1 + jitter) + 1) << h.log.back();
      if (jitter == 0) {
        EXPECT_TRUE(h.log.back().ends_with("(next try in " + std::to_string(seconds) + " s)"))
            << h.log.back();
      }
    }
    for (const int lastedMs : {0, 60000}) {
      ASSERT_TRUE(broker.start());
      time.advance(h.client.lastRetryDelayMs());
      ASSERT_TRUE(time.runUntil([&] { return h.client.connected(); })) << h.logText();
      time.advance(lastedMs);
      broker.kill();
      ASSERT_TRUE(time.runUntil([&] { return !h.client.connected(); }));
      if (lastedMs == 0) {
        EXPECT_GE(h.client.lastRetryDelayMs(), 60000 * (1 - jitter) - 1) << h.logText();
      } else {
        EXPECT_LE(h.client.lastRetryDelayMs(), 1000 * (1 + jitter) + 1) << h.logText();
      }
    }
  }
}

// Two sites given one client id take the session from each other: the
// waits grow instead of a takeover every second, and the likely cause is
// logged once.
TEST(BrokerClient, TwoClientsWithOneIdCalmDown) {
  MosquittoBroker broker;
  ASSERT_TRUE(broker.start());
  Harness<ManualClock> h(settingsFor(broker.port()));
  varnok::testing::VirtualTime time(h.loop, h.clock);
  BrokerClient twin(h.loop, settingsFor(broker.port()));
  std::vector<std::string> twinLog;
  twin.setLog([&](std::string l) { twinLog.push_back(std::move(l)); });
  h.client.start();
  twin.start();
  for (int step = 0; step < 1800; ++step) {  // three minutes
    time.advance(100);
    h.loop.runOnce(1);
  }
  const std::uint64_t connects = h.client.counters().connects + twin.counters().connects;
  EXPECT_GE(connects, 4u) << h.logText();
  EXPECT_LE(connects, 20u) << h.logText();
  const std::string hint = "is another client connected with the client id site-a?";
  const auto told = [&](const std::vector<std::string>& log) {
    return std::count_if(log.begin(), log.end(),
                         [&](const std::string& l) { return l.ends_with(hint); });
  };
  EXPECT_EQ(told(h.log) + told(twinLog), 2) << h.logText();
}

// Paused reading is backpressure, not a lost link: over two keep-alives of
// pause (real time: the broker's and the library's clocks) the connection
// stays up, the broker keeps our status rather than publishing the will, and
// what was held back comes once reading resumes. A broker that goes while
// we are paused is noticed at once, and the log says when the retry comes.
TEST(BrokerClient, PausedReadingHoldsMessagesBackAndKeepsTheLink) {
  MosquittoBroker broker;
  ASSERT_TRUE(broker.start());
  BrokerSettings s = settingsFor(broker.port());
  s.will = LastWill{"status/site-a", "offline", 1, true};
  RealHarness h(s);
  h.client.setKeepAliveMessage([] { return Message{"status/site-a", "alive", 0, true, 0}; });
  h.client.start();
  ASSERT_TRUE(h.runUntil([&] { return h.client.connected(); }));
  h.client.publish("rds/site-a/echo", "x", 1, false);
  ASSERT_TRUE(h.runUntil([&] { return h.got.size() == 1; }));
  h.client.setReadPaused(true);
  ASSERT_TRUE(broker.publish("rds/site-a/enc", numbered("DPS ", 5)));
  h.runUntil([] { return false; }, 2 * 5000 + 1500);
  EXPECT_EQ(h.got.size(), 1u);
  EXPECT_TRUE(h.client.connected()) << h.logText();
  EXPECT_EQ(h.client.counters().connectionsLost, 0u) << h.logText();
  EXPECT_EQ(broker.receive("status/site-a", 1, 5), std::vector<std::string>{"status/site-a alive"});
  h.client.setReadPaused(false);
  ASSERT_TRUE(h.runUntil([&] { return h.got.size() == 6; }));
  EXPECT_EQ(h.got.back(), "rds/site-a/enc DPS 4");

  h.client.setReadPaused(true);
  broker.kill();
  ASSERT_TRUE(h.runUntil([&] { return !h.client.connected(); }, 5000)) << h.logText();
  EXPECT_TRUE(h.log.back().ends_with("(next try in 1 s, once reading resumes)")) << h.logText();
  ASSERT_TRUE(broker.start());
  h.runUntil([] { return false; }, 1500);
  EXPECT_FALSE(h.client.connected());
  h.client.setReadPaused(false);
  ASSERT_TRUE(h.runUntil([&] { return h.client.connected(); })) << h.logText();
}

// The broker must hold "offline" for the site in both ways of leaving: a
// clean stop publishes it as the final message, a vanished client gets its
// last will published by the broker.
TEST(BrokerClient, OfflineStatusOnStopAndOnDisappearance) {
  for (const bool clean : {true, false}) {
    SCOPED_TRACE(clean ? "clean stop" : "client gone");
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start());
    BrokerSettings s = settingsFor(broker.port());
    s.will = LastWill{"status/site-a", clean ? "will" : "offline", 1, true};
    auto h = std::make_unique<RealHarness>(s);
    h->client.start();
    ASSERT_TRUE(h->runUntil([&] { return h->client.connected(); }));
    ASSERT_TRUE(h->client.publish("status/site-a", "online", 1, true));
    if (clean) {
      h->client.stop(Message{"status/site-a", "offline", 1, true});
      ASSERT_TRUE(h->runUntil([&] { return h->client.stopped(); }));
    } else {
      h->runUntil([] { return false; }, 100);
      h.reset();
    }
    EXPECT_EQ(broker.receive("status/site-a", 1, 5),
              std::vector<std::string>{"status/site-a offline"});
  }
}

// A "broker" in another thread that takes each connection and drops it at
// once, 100 times: one log line per attempt, spaced by the backoff (in
// virtual time), never connected, nothing left open.
TEST(BrokerClient, ABrokerThatDropsEveryConnectionIsRetriedCalmly) {
  constexpr int kDrops = 100;
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = varnok::testing::loopbackAddress("127.0.0.1", 0);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(::listen(listener, 8), 0);
  const std::uint16_t port = varnok::testing::localPort(listener);
  std::atomic<int> dropped{0};
  std::thread dropper([&] {
    const timeval tv{30, 0};
    ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);  // bounds accept()
    while (dropped < kDrops) {
      const int fd = ::accept(listener, nullptr, nullptr);
      if (fd < 0) break;
      // Counted before the close: the client may log the failure before
      // this thread runs again, and the test must then see the count.
      ++dropped;
      ::close(fd);
    }
  });
  // Whatever happens below, the dropper stops and is joined.
  struct Stop {
    std::thread& thread;
    int listener;
    ~Stop() {
      ::shutdown(listener, SHUT_RDWR);
      if (thread.joinable()) thread.join();
      ::close(listener);
    }
  } stop{dropper, listener};
  const std::size_t openBefore = openDescriptors();
  BrokerSettings s = settingsFor(port);
  s.retryJitter = 0;
  {
    Harness<ManualClock> h(s);
    varnok::testing::VirtualTime time(h.loop, h.clock);
    h.client.start();
    // An attempt may fail within the advance that starts it: lines counts
    // what has been seen before each wait.
    std::size_t lines = 0;
    while (dropped < kDrops) {
      ASSERT_TRUE(time.runUntil([&] { return h.log.size() > lines; }))
          << dropped << " dropped, next timer in " << h.loop.msUntilNextTimer() << " ms\n"
          << h.logText();
      lines = h.log.size();
      EXPECT_FALSE(h.client.connected());
      time.advance(h.client.lastRetryDelayMs());
    }
    EXPECT_LE(h.log.size(), static_cast<std::size_t>(kDrops) + 1) << h.logText();
    EXPECT_TRUE(h.log.back().ends_with("(next try in 60 s)")) << h.log.back();
  }
  EXPECT_EQ(openDescriptors(), openBefore);
}

}  // namespace
}  // namespace varnok::mqtt
