#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/simple_tcp.h"
#include "net_test_support.h"

namespace varnok::net {
namespace {

using testing::acceptOne;
using testing::Fd;
using testing::freePort;
using testing::listenOnLoopback;
using testing::readToEnd;
using testing::sendAll;

class ClientTest : public testing::NetTest {
 protected:
  // Records the client's events in order; an error also notes whether the
  // retry timer ran at that moment ("+timer").
  void record(TSimpleTCPClient& c) {
    c.OnConnected = [this, &c](TCustomSocket* s) {
      EXPECT_EQ(s, &c);
      socketAtConnect = c.SocketHandle();
      events.push_back("connected");
    };
    c.OnDisconnected = [this](TCustomSocket*) { events.push_back("disconnected"); };
    c.OnConnectionLost = [this](TCustomSocket*) { events.push_back("lost"); };
    c.OnRead = [this](TCustomSocket*, TMemoryStream& s) { events.push_back("read " + s.Bytes); };
    c.OnError = [this, &c](TCustomSocket* s, int socket, int code, const std::string& text) {
      EXPECT_EQ(s, &c);
      errorSockets.push_back(socket);
      events.push_back("error " + std::to_string(code) + " " + text +
                       (c.timerRunning() ? " +timer" : ""));
    };
  }

  void connect(TSimpleTCPClient& c, std::uint16_t port, const std::string& host = "127.0.0.1") {
    c.SetHost(host);
    c.SetPort(port);
    c.SetConnected(true);
  }

  using Events = std::vector<std::string>;
  TSimpleTCPClient client{loop};
  std::vector<int> errorSockets;
  int socketAtConnect = -1;
};

TEST_F(ClientTest, ConnectSendAndCloseByTheApplication) {
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  record(client);
  connect(client, port);
  client.SetConnected(true);  // an attempt is under way: nothing more
  EXPECT_TRUE(client.Listen());
  EXPECT_FALSE(client.Connected());
  EXPECT_TRUE(events.empty());
  ASSERT_TRUE(runUntil([&] { return client.Connected(); }));
  EXPECT_EQ(events, Events{"connected"});
  EXPECT_FALSE(client.timerRunning());

  Fd peer = acceptOne(listener.get());
  ASSERT_TRUE(peer.valid());
  EXPECT_LT(::accept(listener.get(), nullptr, nullptr), 0);  // one attempt, one connection

  EXPECT_EQ(client.SendBuffer("RT=hello\r", 9), 9);
  EXPECT_EQ(client.SendBuffer("x", 0), 0);
  EXPECT_FALSE(client.CanChangeTarget("10.0.0.1", port));
  EXPECT_THROW(client.SetHost("10.0.0.1"), ESocketError);
  EXPECT_FALSE(client.CanChangeTarget("127.0.0.1", 1));
  EXPECT_THROW(client.SetPort(1), ESocketError);
  EXPECT_TRUE(client.CanChangeTarget("127.0.0.1", port));
  client.SetHost("127.0.0.1");  // the same value changes nothing
  EXPECT_EQ(client.Host(), "127.0.0.1");

  client.SetConnected(false);
  EXPECT_EQ(events, (Events{"connected", "disconnected"}));
  EXPECT_FALSE(client.Listen());
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.SocketHandle(), kInvalidSocket);
  // What was sent arrives; the close is abortive.
  const auto [bytes, end] = readToEnd(peer.get());
  EXPECT_EQ(bytes, "RT=hello\r");
  EXPECT_EQ(end, ECONNRESET);

  client.SetConnected(false);  // idle: nothing
  EXPECT_TRUE(client.CanChangeTarget("10.0.0.1", 1));
  EXPECT_EQ(client.SendBuffer("x", 1), 0);
  settle();
  EXPECT_EQ(events, (Events{"connected", "disconnected"}));
  EXPECT_TRUE(appErrors.empty());
}

TEST_F(ClientTest, RefusedAttemptReportsAfterTheCloseAndRetriesOnTheTimer) {
  record(client);
  const std::uint16_t port = freePort();
  connect(client, port);
  ASSERT_TRUE(runUntil([&] { return !client.Listen(); }));
  EXPECT_EQ(events, (Events{"disconnected", "error 10061 Connection refused +timer"}));
  EXPECT_NE(errorSockets.at(0), kInvalidSocket);
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.timerPeriodMs(), 20000);

  client.SetAutoReconnectInterval(5000);  // restarts the running timer
  time.advance(4999);
  EXPECT_EQ(events.size(), 2u);
  time.advance(1);
  ASSERT_TRUE(runUntil([&] { return events.size() == 4; }));
  EXPECT_EQ(events[3], "error 10061 Connection refused +timer");

  // The main window's -1: in practice never.
  client.SetAutoReconnectInterval(-1);
  EXPECT_EQ(client.timerPeriodMs(), 2147483647);
  time.advance(24LL * 24 * 3600 * 1000);
  settle();
  EXPECT_EQ(events.size(), 4u);
  EXPECT_FALSE(client.Listen());
}

TEST_F(ClientTest, HostNamesGoThroughTheResolver) {
  std::vector<std::string> asked;
  std::optional<in_addr_t> answer;
  setHostResolver([&](const std::string& host) {
    asked.push_back(host);
    return answer;
  });
  record(client);

  // Does not resolve: the close finds no socket and says so first. The name
  // is looked up without holding up the loop: the attempt is under way
  // until the answer comes.
  connect(client, 7, "encoder.invalid");
  EXPECT_TRUE(client.Listen());
  EXPECT_TRUE(events.empty());
  ASSERT_TRUE(runUntil([&] { return !client.Listen(); }));
  EXPECT_EQ(events, (Events{"error 10038 Socket operation on non-socket +timer", "disconnected",
                            "error 10014 Bad address +timer"}));
  EXPECT_EQ(errorSockets, (std::vector<int>{-1, -1}));
  EXPECT_FALSE(client.Listen());
  EXPECT_EQ(asked, std::vector<std::string>{"encoder.invalid"});

  // 255.255.255.255 reads as "no address" and is looked up too.
  events.clear();
  connect(client, 7, "255.255.255.255");
  ASSERT_TRUE(runUntil([&] { return !client.Listen(); }));
  EXPECT_EQ(asked.back(), "255.255.255.255");
  EXPECT_EQ(events.back(), "error 10014 Bad address +timer");

  // A name that resolves is reached at its first address; a dotted address
  // is used directly.
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  answer = inet_addr("127.0.0.1");
  events.clear();
  connect(client, port, "encoder.test");
  ASSERT_TRUE(runUntil([&] { return client.Connected(); }));
  EXPECT_EQ(asked.back(), "encoder.test");
  client.SetConnected(false);
  asked.clear();
  connect(client, port, "127.0.0.1");
  ASSERT_TRUE(runUntil([&] { return client.Connected(); }));
  EXPECT_TRUE(asked.empty());
}

TEST_F(ClientTest, PeerClosingNormallyIsReportedAfterItsLastBytes) {
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  record(client);
  client.AutoReconnect = true;
  connect(client, port);
  ASSERT_TRUE(runUntil([&] { return client.Connected(); }));
  Fd peer = acceptOne(listener.get());
  sendAll(peer.get(), "last words");
  peer.reset();
  ASSERT_TRUE(runUntil([&] { return events.size() >= 5; }));
  EXPECT_EQ(events,
            (Events{"connected", "read last words", "disconnected", "disconnected", "lost"}));
  EXPECT_FALSE(client.timerRunning());
  // AutoReconnect: a new attempt at once.
  EXPECT_TRUE(client.Listen());
  ASSERT_TRUE(runUntil([&] { return client.Connected(); }));
  EXPECT_TRUE(acceptOne(listener.get()).valid());
}

TEST_F(ClientTest, PeerResetIsALostConnectionThenAnError) {
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  record(client);
  connect(client, port);
  ASSERT_TRUE(runUntil([&] { return client.Connected(); }));
  Fd peer = acceptOne(listener.get());
  peer.resetAbortively();
  ASSERT_TRUE(runUntil([&] { return events.size() >= 4; }));
  EXPECT_EQ(events,
            (Events{"connected", "disconnected", "lost", "error 10054 Connection reset by peer"}));
  EXPECT_EQ(errorSockets, std::vector<int>{socketAtConnect});
  EXPECT_FALSE(client.Listen());
  EXPECT_FALSE(client.timerRunning());  // only a failed attempt retries
}

TEST_F(ClientTest, FailedSendIsReportedBeforeSendBufferReturns) {
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  record(client);
  connect(client, port);
  ASSERT_TRUE(runUntil([&] { return client.Connected(); }));
  Fd peer = acceptOne(listener.get());
  peer.resetAbortively();
  ASSERT_TRUE(
      testing::waitFor(client.SocketHandle(), POLLIN));  // the reset is here; not yet handled
  EXPECT_EQ(client.SendBuffer("RT=x\r", 5), -1);
  EXPECT_EQ(events,
            (Events{"connected", "disconnected", "lost", "error 10054 Connection reset by peer"}));
  settle();
  EXPECT_EQ(events.size(), 4u);  // the pending readiness was cancelled with the socket

  // Without an OnError handler the text is raised out of SendBuffer.
  TSimpleTCPClient bare(loop);
  bare.SetHost("127.0.0.1");
  bare.SetPort(port);
  bare.SetConnected(true);
  ASSERT_TRUE(runUntil([&] { return bare.Connected(); }));
  Fd peer2 = acceptOne(listener.get());
  peer2.resetAbortively();
  ASSERT_TRUE(testing::waitFor(bare.SocketHandle(), POLLIN));
  try {
    bare.SendBuffer("x", 1);
    ADD_FAILURE() << "no exception";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "Connection reset by peer");
  }
  EXPECT_FALSE(bare.Listen());
}

TEST_F(ClientTest, DestructionWhileActiveClosesWithoutEvents) {
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  auto doomed = std::make_unique<TSimpleTCPClient>(loop);
  record(*doomed);
  connect(*doomed, port);
  ASSERT_TRUE(runUntil([&] { return doomed->Connected(); }));
  Fd peer = acceptOne(listener.get());
  doomed.reset();
  EXPECT_EQ(events, Events{"connected"});
  EXPECT_EQ(readToEnd(peer.get()).second, ECONNRESET);
  settle();
  EXPECT_EQ(events, Events{"connected"});
}

TEST_F(ClientTest, AttemptThatIsNeverAnsweredTimesOutAfter21Seconds) {
  // Backlog 0 with one connection already waiting: further SYNs are dropped.
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port, 0);
  Fd filler = testing::connectTo(port);
  record(client);
  client.SetAutoReconnectInterval(-1);
  connect(client, port);
  settle();
  time.advance(20999);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(client.Listen());
  time.advance(1);
  EXPECT_EQ(events, (Events{"disconnected", "error 10060 Connection timed out +timer"}));
  EXPECT_FALSE(client.Listen());
  EXPECT_EQ(client.SocketHandle(), kInvalidSocket);
}

TEST_F(ClientTest, HandlerExceptionsReachTheApplication) {
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  client.OnConnected = [](TCustomSocket*) { throw std::runtime_error("handler failed"); };
  connect(client, port);
  ASSERT_TRUE(runUntil([&] { return !appErrors.empty(); }));
  EXPECT_EQ(appErrors, std::vector<std::string>{"handler failed"});
  client.SetConnected(false);

  // The silent abort goes nowhere.
  client.OnConnected = [](TCustomSocket*) { throw SilentAbort(); };
  client.SetConnected(true);
  ASSERT_TRUE(runUntil([&] { return client.Connected(); }));
  settle();
  EXPECT_EQ(appErrors.size(), 1u);

  // Without OnError, a failure in a notification raises its text there.
  TSimpleTCPClient bare(loop);
  bare.SetHost("127.0.0.1");
  bare.SetPort(freePort());
  bare.SetConnected(true);
  ASSERT_TRUE(runUntil([&] { return appErrors.size() == 2; }));
  EXPECT_EQ(appErrors[1], "Connection refused");
}

}  // namespace
}  // namespace varnok::net
