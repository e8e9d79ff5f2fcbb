#include "net/tcp_listener.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net_test_support.h"

namespace varnok::net {
namespace {

using testing::connectTo;
using testing::Fd;
using testing::readToEnd;
using testing::sendAll;

constexpr std::string_view kAck = "\r\n+\r\n\r\n";

class ListenerTest : public testing::NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    listener.onClientConnected = [this](AcceptedConnection& c) {
      events.push_back("connected " + c.host() + ":" + std::to_string(c.port()));
    };
    listener.onClientDisconnected = [this](AcceptedConnection& c) {
      events.push_back("disconnected " + c.host() + " listed " + std::to_string(connectionCount()));
    };
    listener.onClientRead = [this](AcceptedConnection&, std::string_view bytes) {
      events.push_back("read " + std::string(bytes));
    };
    listener.onError = [this](int code, const std::string& text) {
      events.push_back("error " + std::to_string(code) + " " + text);
    };
  }

  // At a port the system chooses: one picked beforehand may have been taken
  // by the time it is bound (every outgoing connection takes one too).
  void startListening() {
    listener.setPort(0);
    listener.setListening(true);
    ASSERT_TRUE(listener.listening());
    port = listener.port();
  }

  std::size_t connectionCount() const { return listener.connectionCount(); }

  using Events = std::vector<std::string>;
  TcpListener listener{loop};
  std::uint16_t port = 0;
};

TEST_F(ListenerTest, AcceptedConnectionReadsAndPeerClose) {
  startListening();
  const int listening = listener.descriptor();
  listener.setListening(true);  // one socket
  EXPECT_EQ(listener.descriptor(), listening);
  EXPECT_TRUE(listener.listening());
  listener.onClientRead = [this](AcceptedConnection& c, std::string_view bytes) {
    events.push_back("read " + std::string(bytes));
    EXPECT_EQ(c.send(kAck), 7);
  };

  Fd producer = connectTo(port, "127.0.0.5");
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 1; }));
  const std::string peer = "connected 127.0.0.5:" + std::to_string(port);
  EXPECT_EQ(events, Events{peer});
  AcceptedConnection& accepted = listener.connection(0);
  EXPECT_TRUE(accepted.isOpen());
  EXPECT_NE(accepted.descriptor(), kInvalidSocket);
  EXPECT_NE(accepted.descriptor(), listening);

  sendAll(producer.get(), "RT=news\r\n");
  ASSERT_TRUE(runUntil([&] { return events.size() == 2; }));
  char reply[8] = {};
  ASSERT_EQ(::recv(producer.get(), reply, sizeof reply, 0), 7);
  EXPECT_EQ(std::string_view(reply, 7), kAck);

  sendAll(producer.get(), "PS=bye");
  producer.reset();
  ASSERT_TRUE(runUntil([&] { return events.size() == 4; }));
  EXPECT_EQ(events,
            (Events{peer, "read RT=news\r\n", "read PS=bye", "disconnected 127.0.0.5 listed 0"}));
  EXPECT_EQ(connectionCount(), 0u);
  EXPECT_TRUE(listener.listening());
}

TEST_F(ListenerTest, PeerResetDropsTheConnectionAndReportsOnlyAnError) {
  startListening();
  Fd producer = connectTo(port);
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 1; }));
  producer.resetAbortively();
  ASSERT_TRUE(runUntil([&] { return events.size() == 2; }));
  settle();
  EXPECT_EQ(events, (Events{"connected 127.0.0.1:" + std::to_string(port),
                            "error 10054 Connection reset by peer"}));
  EXPECT_EQ(connectionCount(), 0u);
  EXPECT_TRUE(listener.listening());
}

TEST_F(ListenerTest, ListenFalseClosesEveryConnectionSilently) {
  startListening();
  std::vector<Fd> producers;
  for (int i = 0; i < 3; ++i) producers.push_back(connectTo(port));
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 3; }));
  events.clear();
  listener.setListening(false);
  EXPECT_FALSE(listener.listening());
  EXPECT_EQ(connectionCount(), 0u);
  EXPECT_EQ(listener.descriptor(), kInvalidSocket);
  for (const Fd& p : producers) EXPECT_EQ(readToEnd(p.get()).second, ECONNRESET);
  listener.setListening(false);  // inactive: nothing
  settle();
  EXPECT_TRUE(events.empty());
  // The port is free again.
  Fd again(::socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in a = testing::loopback(port);
  EXPECT_EQ(::bind(again.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
}

TEST_F(ListenerTest, PortInUseIsReportedAndLeavesTheListenerClosed) {
  Fd holder(::socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in a = testing::loopback(0);
  ASSERT_EQ(::bind(holder.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(holder.get(), 1), 0);
  port = testing::localPort(holder.get());
  listener.setPort(port);
  listener.setListening(true);
  EXPECT_EQ(events, Events{"error 10048 Address already in use"});
  EXPECT_FALSE(listener.listening());
  EXPECT_EQ(listener.descriptor(), kInvalidSocket);
  listener.setListening(false);  // already closed: nothing more
  EXPECT_EQ(events.size(), 1u);
  listener.setPort(static_cast<std::uint16_t>(port + 1));  // closed: taken
  EXPECT_EQ(listener.port(), port + 1);
}

TEST_F(ListenerTest, PortZeroReadsTheBoundPortAndStaysWhileListening) {
  listener.setPort(0);
  listener.setListening(true);
  ASSERT_TRUE(listener.listening());
  const std::uint16_t bound = listener.port();
  EXPECT_NE(bound, 0);
  EXPECT_EQ(testing::localPort(listener.descriptor()), bound);
  EXPECT_THROW(listener.setPort(0), SocketError);
  listener.setPort(bound);  // the same value changes nothing
  try {
    listener.setPort(static_cast<std::uint16_t>(bound + 1));
    ADD_FAILURE() << "no exception";
  } catch (const SocketError& e) {
    EXPECT_STREQ(e.what(), "Cannot change Port while active");
  }
  Fd producer = connectTo(bound);
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 1; }));
  EXPECT_EQ(listener.connection(0).port(), bound);
}

// Closing the listener from a connection's read handler closes that
// connection too, but it is freed only after the handler; no error comes of
// it.
TEST_F(ListenerTest, ClosingTheListenerInsideOnClientRead) {
  listener.onClientRead = [this](AcceptedConnection& c, std::string_view bytes) {
    listener.setListening(false);
    events.push_back("read " + std::string(bytes) + " from " + c.host() +
                     (c.descriptor() == kInvalidSocket ? "" : " still open"));
  };
  startListening();
  Fd first = connectTo(port);
  Fd second = connectTo(port);
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 2; }));
  events.clear();
  sendAll(first.get(), "stop");
  ASSERT_TRUE(runUntil([&] { return !listener.listening(); }));
  settle();
  EXPECT_EQ(events, Events{"read stop from 127.0.0.1"});
  EXPECT_EQ(connectionCount(), 0u);
  EXPECT_EQ(readToEnd(first.get()).second, ECONNRESET);
  EXPECT_EQ(readToEnd(second.get()).second, ECONNRESET);
  EXPECT_TRUE(appErrors.empty());
}

// A failed send is the connection's failure, reported like a failed receive:
// through the listener's onError, the connection released first; send then
// returns -1 and raises nothing.
TEST_F(ListenerTest, FailedSendOnAnAcceptedConnectionIsFreedAfterTheHandler) {
  startListening();
  listener.onError = [this](int code, const std::string& text) {
    events.push_back("error " + std::to_string(code) + " " + text + " listed " +
                     std::to_string(connectionCount()));
  };
  Fd producer = connectTo(port);
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 1; }));
  AcceptedConnection& accepted = listener.connection(0);
  const int socket = accepted.descriptor();
  producer.resetAbortively();
  ASSERT_TRUE(testing::waitFor(socket, POLLIN));
  events.clear();
  EXPECT_EQ(accepted.send(kAck), -1);
  EXPECT_EQ(events, Events{"error 10054 Connection reset by peer listed 0"});
  // Closed, and still there until the loop comes round.
  EXPECT_EQ(accepted.descriptor(), kInvalidSocket);
  EXPECT_FALSE(accepted.isOpen());
  EXPECT_EQ(accepted.send(kAck), 0);  // closed: nothing, and no second report
  accepted.close();                   // already closed: nothing
  settle();
  EXPECT_EQ(events.size(), 1u);
  EXPECT_TRUE(appErrors.empty());
  EXPECT_FALSE(loop.watching(socket));
  EXPECT_THROW(listener.setPort(static_cast<std::uint16_t>(port + 1)), SocketError);
}

// A connection that a handler closes stays valid until the handler returns
// and is freed once the loop has finished the round; no listener handler
// runs for closing it oneself.
TEST_F(ListenerTest, ConnectionClosedInsideAHandlerIsFreedAfterIt) {
  std::weak_ptr<void> closed;  // expires when the connection is freed
  int closedSocket = kInvalidSocket;
  listener.onClientRead = [&](AcceptedConnection& c, std::string_view bytes) {
    closed = c.userData = std::make_shared<int>(0);
    closedSocket = c.descriptor();
    c.close();
    events.push_back("closed after " + std::string(bytes) + " from " + c.host() + " listed " +
                     std::to_string(connectionCount()));
  };
  listener.onClientDisconnected = [&](AcceptedConnection& c) {
    closed = c.userData = std::make_shared<int>(0);
    c.close();
    events.push_back("disconnected " + c.host() + " listed " + std::to_string(connectionCount()));
  };
  startListening();
  Fd reader = connectTo(port, "127.0.0.2");
  Fd leaver = connectTo(port, "127.0.0.3");
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 2; }));
  events.clear();

  sendAll(reader.get(), "bye");
  ASSERT_TRUE(runUntil([&] { return closed.expired() && !events.empty(); }));
  EXPECT_EQ(events, Events{"closed after bye from 127.0.0.2 listed 2"});
  EXPECT_EQ(connectionCount(), 1u);
  EXPECT_FALSE(loop.watching(closedSocket));
  EXPECT_EQ(readToEnd(reader.get()).second, ECONNRESET);

  leaver.reset();
  ASSERT_TRUE(runUntil([&] { return closed.expired() && events.size() == 2; }));
  EXPECT_EQ(events[1], "disconnected 127.0.0.3 listed 0");
  EXPECT_EQ(connectionCount(), 0u);
  settle();
  EXPECT_EQ(events.size(), 2u);
  EXPECT_TRUE(appErrors.empty());
  EXPECT_TRUE(listener.listening());
}

// A connection that fails inside a handler (a send to a peer that has reset)
// is released and reported before send returns, but freed only after the
// handler, which may still use it; nothing reaches the application.
TEST_F(ListenerTest, ConnectionFailingInsideAHandlerStaysValidUntilItReturns) {
  std::weak_ptr<void> failed;  // expires when the connection is freed
  listener.onError = [this](int code, const std::string& text) {
    events.push_back("error " + std::to_string(code) + " " + text + " listed " +
                     std::to_string(connectionCount()));
  };
  listener.onClientRead = [&](AcceptedConnection& c, std::string_view bytes) {
    failed = c.userData = std::make_shared<int>(0);
    const int sent = c.send(kAck);
    events.push_back("read " + std::string(bytes) + " sent " + std::to_string(sent) + " from " +
                     c.host() +
                     (c.isOpen() || c.descriptor() != kInvalidSocket ? " open" : " closed"));
  };
  startListening();
  Fd producer = connectTo(port);
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 1; }));
  events.clear();
  sendAll(producer.get(), "abc");
  producer.resetAbortively();
  ASSERT_TRUE(runUntil([&] { return events.size() == 2; }));
  EXPECT_EQ(events, (Events{"error 10054 Connection reset by peer listed 0",
                            "read abc sent -1 from 127.0.0.1 closed"}));
  ASSERT_TRUE(runUntil([&] { return failed.expired(); }));
  EXPECT_EQ(connectionCount(), 0u);
  settle();
  EXPECT_EQ(events.size(), 2u);
  EXPECT_TRUE(appErrors.empty());
  EXPECT_TRUE(listener.listening());
}

// While an answer waits to be written the producer is not read, so a
// producer that never reads cannot make the listener queue answers without
// end; once the answer has gone, reading resumes. The owner's pause holds on
// its own.
TEST_F(ListenerTest, ConnectionIsNotReadWhileItsAnswerWaits) {
  std::string read;
  std::size_t answered = 0;
  const std::string answer(1 << 20, 'a');
  listener.onClientRead = [&](AcceptedConnection& c, std::string_view bytes) {
    read += bytes;
    if (answered == 0) {
      while (c.pendingOutput() == 0) answered += static_cast<std::size_t>(c.send(answer));
    }
  };
  startListening();
  Fd producer = connectTo(port);
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 1; }));
  AcceptedConnection& accepted = listener.connection(0);
  sendAll(producer.get(), "first");
  ASSERT_TRUE(runUntil([&] { return answered > 0; }));
  sendAll(producer.get(), "second");
  settle();
  EXPECT_EQ(read, "first");

  // The producer takes the answer; the rest of it is written, then "second"
  // is read.
  std::size_t taken = 0;
  char buf[65536];
  for (int round = 0; round < 100000 && taken < answered; ++round) {
    loop.runOnce(0);
    const ssize_t n = ::recv(producer.get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) taken += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(taken, answered);
  ASSERT_TRUE(runUntil([&] { return read == "firstsecond"; }));
  EXPECT_EQ(accepted.pendingOutput(), 0u);

  accepted.setReadPaused(true);
  EXPECT_TRUE(accepted.readPaused());
  sendAll(producer.get(), "third");
  settle();
  EXPECT_EQ(read, "firstsecond");
  accepted.setReadPaused(false);
  ASSERT_TRUE(runUntil([&] { return read == "firstsecondthird"; }));
}

TEST_F(ListenerTest, BurstOfConnectsWaitsInTheBacklog) {
  startListening();
  // Nothing is accepted meanwhile: the kernel completes every handshake that
  // fits the backlog, and a connect beyond it waits for a SYN retransmit.
  std::vector<Fd> clients;
  for (int i = 0; i < 64; ++i) {
    Fd c(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const sockaddr_in to = testing::loopback(port);
    ::connect(c.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
    clients.push_back(std::move(c));
  }
  int established = 0;
  for (const Fd& c : clients) {
    if (!testing::waitFor(c.get(), POLLOUT, 300)) continue;
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(c.get(), SOL_SOCKET, SO_ERROR, &err, &len);
    established += err == 0 ? 1 : 0;
  }
  EXPECT_EQ(established, 64);
}

// The owner may destroy the listener as the last act of a client handler:
// nothing of the listener or its connections is touched afterwards, and
// readiness already collected for its other sockets is dropped.
class ListenerLifetimeTest : public testing::NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    owned->setPort(0);
    owned->setListening(true);
    ASSERT_TRUE(owned->listening());
  }
  std::uint16_t port() const { return owned->port(); }
  bool listed(std::size_t n) const { return owned->connectionCount() == n; }

  std::unique_ptr<TcpListener> owned = std::make_unique<TcpListener>(loop);
};

TEST_F(ListenerLifetimeTest, DestroyedByItsOwnConnectHandler) {
  int connects = 0;
  owned->onClientConnected = [&](AcceptedConnection&) {
    ++connects;
    owned.reset();
  };
  Fd first = connectTo(port());
  Fd second = connectTo(port());  // waiting in the backlog in the same round
  ASSERT_TRUE(runUntil([&] { return owned == nullptr; }));
  settle();
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(readToEnd(first.get()).second, ECONNRESET);
  EXPECT_EQ(readToEnd(second.get()).second, ECONNRESET);
  EXPECT_TRUE(appErrors.empty());
}

TEST_F(ListenerLifetimeTest, DestroyedByItsOwnReadHandler) {
  int reads = 0;
  owned->onClientRead = [&](AcceptedConnection&, std::string_view) {
    ++reads;
    owned.reset();
  };
  Fd first = connectTo(port());
  Fd second = connectTo(port());
  ASSERT_TRUE(runUntil([&] { return listed(2); }));
  sendAll(first.get(), "one");
  sendAll(second.get(), "two");  // likely ready in the same round
  ASSERT_TRUE(runUntil([&] { return owned == nullptr; }));
  settle();
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(readToEnd(first.get()).second, ECONNRESET);
  EXPECT_EQ(readToEnd(second.get()).second, ECONNRESET);
  EXPECT_TRUE(appErrors.empty());
}

TEST_F(ListenerLifetimeTest, DestroyedByItsOwnDisconnectHandler) {
  std::vector<std::string> gone;
  owned->onClientDisconnected = [&](AcceptedConnection& c) {
    gone.push_back(c.host());
    owned.reset();
  };
  Fd leaver = connectTo(port(), "127.0.0.2");
  Fd stayer = connectTo(port(), "127.0.0.3");
  ASSERT_TRUE(runUntil([&] { return listed(2); }));
  leaver.reset();
  ASSERT_TRUE(runUntil([&] { return owned == nullptr; }));
  settle();
  EXPECT_EQ(gone, std::vector<std::string>{"127.0.0.2"});
  EXPECT_EQ(readToEnd(stayer.get()).second, ECONNRESET);
  EXPECT_TRUE(appErrors.empty());
}

}  // namespace
}  // namespace varnok::net
