#include "net/tcp_client.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

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
  // Records the client's handlers in the order they run.
  void record(TcpClient& c) {
    c.onConnected = [this, &c] {
      socketAtConnect = c.descriptor();
      events.push_back("connected");
    };
    c.onDisconnected = [this] { events.push_back("disconnected"); };
    c.onRead = [this](std::string_view bytes) { events.push_back("read " + std::string(bytes)); };
    c.onWritten = [this] { events.push_back("written"); };
    c.onError = [this](int code, const std::string& text) {
      events.push_back("error " + std::to_string(code) + " " + text);
    };
  }

  void connect(TcpClient& c, std::uint16_t port, const std::string& host = "127.0.0.1") {
    c.setHost(host);
    c.setPort(port);
    c.setConnected(true);
  }

  // The recorded client connected to the listener on port; the peer's end
  // (invalid when the connection did not come up).
  Fd connectRecorded(const Fd& listener, std::uint16_t port) {
    record(client);
    connect(client, port);
    if (!runUntil([&] { return client.connected(); })) return Fd();
    return acceptOne(listener.get());
  }

  using Events = std::vector<std::string>;
  TcpClient client{loop};
  int socketAtConnect = -1;
};

TEST_F(ClientTest, ConnectSendAndCloseByTheApplication) {
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  record(client);
  connect(client, port);
  client.setConnected(true);  // an attempt is under way: nothing more
  EXPECT_TRUE(client.isOpen());
  EXPECT_FALSE(client.connected());
  EXPECT_TRUE(events.empty());
  ASSERT_TRUE(runUntil([&] { return client.connected(); }));
  EXPECT_EQ(events, Events{"connected"});
  EXPECT_EQ(client.descriptor(), socketAtConnect);

  Fd peer = acceptOne(listener.get());
  ASSERT_TRUE(peer.valid());
  EXPECT_LT(::accept(listener.get(), nullptr, nullptr), 0);  // one attempt, one connection

  EXPECT_EQ(client.send("RT=hello\r"), 9);
  EXPECT_EQ(client.send(""), 0);
  EXPECT_FALSE(client.canChangeTarget("10.0.0.1", port));
  EXPECT_THROW(client.setHost("10.0.0.1"), SocketError);
  EXPECT_FALSE(client.canChangeTarget("127.0.0.1", 1));
  EXPECT_THROW(client.setPort(1), SocketError);
  EXPECT_TRUE(client.canChangeTarget("127.0.0.1", port));
  client.setHost("127.0.0.1");  // the same value changes nothing
  EXPECT_EQ(client.host(), "127.0.0.1");

  client.setConnected(false);
  EXPECT_EQ(events, (Events{"connected", "disconnected"}));
  EXPECT_FALSE(client.isOpen());
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(client.descriptor(), kInvalidSocket);
  // What was sent arrives; the close is abortive.
  const auto [bytes, end] = readToEnd(peer.get());
  EXPECT_EQ(bytes, "RT=hello\r");
  EXPECT_EQ(end, ECONNRESET);

  client.setConnected(false);  // idle: nothing
  EXPECT_TRUE(client.canChangeTarget("10.0.0.1", 1));
  EXPECT_EQ(client.send("x"), 0);
  settle();
  EXPECT_EQ(events, (Events{"connected", "disconnected"}));
  EXPECT_TRUE(appErrors.empty());
}

// A failed attempt is reported once, after the close, and is not tried
// again: the next attempt is the owner's to make.
TEST_F(ClientTest, RefusedAttemptReportsAfterTheCloseAndIsNotRetried) {
  record(client);
  const std::uint16_t port = freePort();
  connect(client, port);
  ASSERT_TRUE(runUntil([&] { return !client.isOpen(); }));
  EXPECT_EQ(events, (Events{"disconnected", "error 10061 Connection refused"}));
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(client.descriptor(), kInvalidSocket);
  EXPECT_EQ(loop.msUntilNextTimer(), -1);  // nothing left waiting to dial again
  time.advance(25LL * 24 * 3600 * 1000);
  settle();
  EXPECT_EQ(events.size(), 2u);
  EXPECT_FALSE(client.isOpen());

  // The owner's next attempt goes the same way.
  client.setConnected(true);
  ASSERT_TRUE(runUntil([&] { return events.size() == 4; }));
  EXPECT_EQ(events[3], "error 10061 Connection refused");
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
  EXPECT_TRUE(client.isOpen());
  EXPECT_TRUE(events.empty());
  ASSERT_TRUE(runUntil([&] { return !client.isOpen(); }));
  EXPECT_EQ(events, (Events{"error 10038 Socket operation on non-socket", "disconnected",
                            "error 10014 Bad address"}));
  EXPECT_EQ(asked, std::vector<std::string>{"encoder.invalid"});

  // 255.255.255.255 reads as "no address" and is looked up too.
  events.clear();
  connect(client, 7, "255.255.255.255");
  ASSERT_TRUE(runUntil([&] { return !client.isOpen(); }));
  EXPECT_EQ(asked.back(), "255.255.255.255");
  EXPECT_EQ(events.back(), "error 10014 Bad address");

  // A name that resolves is reached at its first address; a dotted address
  // is used directly.
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  answer = inet_addr("127.0.0.1");
  events.clear();
  connect(client, port, "encoder.test");
  ASSERT_TRUE(runUntil([&] { return client.connected(); }));
  EXPECT_EQ(asked.back(), "encoder.test");
  client.setConnected(false);
  asked.clear();
  connect(client, port, "127.0.0.1");
  ASSERT_TRUE(runUntil([&] { return client.connected(); }));
  EXPECT_TRUE(asked.empty());
}

// mayConnect sees the address about to be dialled, however it was written
// or looked up; a refusal ends the attempt as a bare disconnection, with no
// socket and no error, and the client dials again as usual.
TEST_F(ClientTest, MayConnectSeesTheDialledAddressAndMayRefuse) {
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  setHostResolver([](const std::string&) { return std::optional(inet_addr("127.0.0.1")); });
  record(client);
  std::vector<in_addr_t> seen;
  const std::pair<const char*, bool> rows[] = {
      {"0x7f.1", false}, {"encoder.test", false}, {"encoder.test", true}};
  for (const auto& [host, allow] : rows) {
    client.mayConnect = [&, allow = allow](const sockaddr_in& to) {
      seen.push_back(to.sin_addr.s_addr);
      return allow && ntohs(to.sin_port) == port;
    };
    events.clear();
    connect(client, port, host);
    ASSERT_TRUE(runUntil([&] { return !events.empty(); }));
    settle();
    EXPECT_EQ(events, Events{allow ? "connected" : "disconnected"}) << host;
    EXPECT_EQ(client.descriptor() != kInvalidSocket, allow) << host;
  }
  EXPECT_EQ(seen, std::vector<in_addr_t>(3, inet_addr("127.0.0.1")));
  EXPECT_TRUE(acceptOne(listener.get()).valid());
  EXPECT_LT(::accept(listener.get(), nullptr, nullptr), 0);  // only the one allowed
}

// Closing while the host is still being looked up: there is no socket yet,
// which is reported before the close, and the answer is no longer wanted.
TEST_F(ClientTest, CloseWhileTheHostIsLookedUp) {
  std::vector<std::string> asked;
  setHostResolver([&](const std::string& host) -> std::optional<in_addr_t> {
    asked.push_back(host);
    return inet_addr("127.0.0.1");
  });
  record(client);
  connect(client, freePort(), "encoder.test");
  client.setConnected(false);
  EXPECT_EQ(events, (Events{"error 10038 Socket operation on non-socket", "disconnected"}));
  EXPECT_FALSE(client.isOpen());
  settle();
  EXPECT_TRUE(asked.empty());
  EXPECT_EQ(events.size(), 2u);
  EXPECT_TRUE(client.canChangeTarget("127.0.0.1", 1));

  // Without an onError handler the report is raised out of setConnected,
  // before onDisconnected.
  client.onError = nullptr;
  connect(client, freePort(), "encoder.test");
  try {
    client.setConnected(false);
    ADD_FAILURE() << "no exception";
  } catch (const SocketError& e) {
    EXPECT_STREQ(e.what(), "Socket operation on non-socket");
  }
  EXPECT_EQ(events.size(), 2u);
  EXPECT_FALSE(client.isOpen());
}

// The peer's close runs onDisconnected twice: once for the close and once
// more for the loss of the connection.
TEST_F(ClientTest, PeerClosingNormallyIsReportedAfterItsLastBytes) {
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  Fd peer = connectRecorded(listener, port);
  ASSERT_TRUE(peer.valid());
  sendAll(peer.get(), "last words");
  peer.reset();
  ASSERT_TRUE(runUntil([&] { return events.size() >= 4; }));
  settle();
  EXPECT_EQ(events, (Events{"connected", "read last words", "disconnected", "disconnected"}));
  EXPECT_FALSE(client.isOpen());
  EXPECT_FALSE(client.connected());
  EXPECT_FALSE(testing::waitFor(listener.get(), POLLIN, 0));  // no new attempt
}

TEST_F(ClientTest, PeerResetIsADisconnectThenAnError) {
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  Fd peer = connectRecorded(listener, port);
  ASSERT_TRUE(peer.valid());
  peer.resetAbortively();
  ASSERT_TRUE(runUntil([&] { return events.size() >= 3; }));
  settle();
  EXPECT_EQ(events, (Events{"connected", "disconnected", "error 10054 Connection reset by peer"}));
  EXPECT_FALSE(client.isOpen());
  EXPECT_EQ(loop.msUntilNextTimer(), -1);
}

TEST_F(ClientTest, FailedSendIsReportedBeforeSendReturns) {
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  Fd peer = connectRecorded(listener, port);
  ASSERT_TRUE(peer.valid());
  peer.resetAbortively();
  ASSERT_TRUE(testing::waitFor(client.descriptor(), POLLIN));  // the reset is here; not yet handled
  EXPECT_EQ(client.send("RT=x\r"), -1);
  EXPECT_EQ(events, (Events{"connected", "disconnected", "error 10054 Connection reset by peer"}));
  settle();
  EXPECT_EQ(events.size(), 3u);  // the pending readiness was cancelled with the socket

  // Without an onError handler the text is raised out of send.
  TcpClient bare(loop);
  bare.setHost("127.0.0.1");
  bare.setPort(port);
  bare.setConnected(true);
  ASSERT_TRUE(runUntil([&] { return bare.connected(); }));
  Fd peer2 = acceptOne(listener.get());
  peer2.resetAbortively();
  ASSERT_TRUE(testing::waitFor(bare.descriptor(), POLLIN));
  try {
    bare.send("x");
    ADD_FAILURE() << "no exception";
  } catch (const SocketError& e) {
    EXPECT_STREQ(e.what(), "Connection reset by peer");
  }
  EXPECT_FALSE(bare.isOpen());
}

// What the socket cannot take at once waits in order, behind it go later
// sends, and onWritten tells when the last of it has gone; closing before
// then counts what was thrown away.
TEST_F(ClientTest, OutputKeptBySendIsWrittenInOrderThenOnWritten) {
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  Fd peer = connectRecorded(listener, port);
  ASSERT_TRUE(peer.valid());

  // The peer does not read: the socket's buffers fill up.
  std::string sent;
  const std::string block(256 * 1024, 'a');
  for (char mark = 'a'; client.pendingOutput() == 0 && mark <= 'z'; ++mark) {
    const std::string chunk = std::string(1, mark) + block;
    ASSERT_EQ(client.send(chunk), static_cast<int>(chunk.size()));
    sent += chunk;
  }
  ASSERT_GT(client.pendingOutput(), 0u);
  EXPECT_EQ(client.send("tail"), 4);  // kept behind what waits
  sent += "tail";
  EXPECT_GE(client.outputInFlight(), client.pendingOutput());
  settle();
  EXPECT_EQ(events, Events{"connected"});

  // The peer reads everything while the loop writes the rest.
  std::string got;
  char buf[65536];
  for (int round = 0; round < 100000 && got.size() < sent.size(); ++round) {
    loop.runOnce(0);
    const ssize_t n = ::recv(peer.get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
  }
  ASSERT_EQ(got.size(), sent.size());
  EXPECT_TRUE(got == sent);
  ASSERT_TRUE(runUntil([&] { return events.size() == 2; }));
  EXPECT_EQ(events, (Events{"connected", "written"}));
  EXPECT_EQ(client.pendingOutput(), 0u);

  // A send that the socket takes whole is not followed by onWritten.
  EXPECT_EQ(client.send("short"), 5);
  settle();
  EXPECT_EQ(events.size(), 2u);

  // Stuck output again, then the abortive close throws it away and says how
  // much.
  while (client.pendingOutput() == 0) client.send(block);
  const std::size_t inFlight = client.outputInFlight();
  client.setConnected(false);
  EXPECT_EQ(client.bytesLostOnClose(), inFlight);
  EXPECT_EQ(client.pendingOutput(), 0u);
  EXPECT_EQ(client.outputInFlight(), 0u);
}

TEST_F(ClientTest, DestructionWhileActiveClosesWithoutEvents) {
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  auto doomed = std::make_unique<TcpClient>(loop);
  record(*doomed);
  connect(*doomed, port);
  ASSERT_TRUE(runUntil([&] { return doomed->connected(); }));
  Fd peer = acceptOne(listener.get());
  doomed->userData = std::make_shared<int>(0);
  const std::weak_ptr<void> handle = doomed->userData;  // expires when the client is freed
  doomed.reset();
  EXPECT_TRUE(handle.expired());
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
  connect(client, port);
  settle();
  time.advance(20999);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(client.isOpen());
  time.advance(1);
  EXPECT_EQ(events, (Events{"disconnected", "error 10060 Connection timed out"}));
  EXPECT_FALSE(client.isOpen());
  EXPECT_EQ(client.descriptor(), kInvalidSocket);
}

TEST_F(ClientTest, HandlerExceptionsReachTheApplication) {
  std::uint16_t port = 0;
  Fd listener = listenOnLoopback(port);
  client.onConnected = [] { throw std::runtime_error("handler failed"); };
  connect(client, port);
  ASSERT_TRUE(runUntil([&] { return !appErrors.empty(); }));
  EXPECT_EQ(appErrors, std::vector<std::string>{"handler failed"});
  client.setConnected(false);

  // The silent abort goes nowhere.
  client.onConnected = [] { throw SilentAbort(); };
  client.setConnected(true);
  ASSERT_TRUE(runUntil([&] { return client.connected(); }));
  settle();
  EXPECT_EQ(appErrors.size(), 1u);

  // Without onError, a failure in a notification raises its text there.
  TcpClient bare(loop);
  bare.setHost("127.0.0.1");
  bare.setPort(freePort());
  bare.setConnected(true);
  ASSERT_TRUE(runUntil([&] { return appErrors.size() == 2; }));
  EXPECT_EQ(appErrors[1], "Connection refused");
}

}  // namespace
}  // namespace varnok::net
