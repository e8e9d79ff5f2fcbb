#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/simple_tcp.h"
#include "net_test_support.h"

namespace varnok::net {
namespace {

using testing::connectTo;
using testing::Fd;
using testing::freePort;
using testing::readToEnd;
using testing::sendAll;

class ServerTest : public testing::NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    port = freePort();
    server.SetPort(port);
    server.OnClientConnected = [this](TCustomSocket* s, TSimpleTCPClient* c) {
      EXPECT_EQ(s, &server);
      events.push_back("connected " + c->Host() + ":" + std::to_string(c->Port()));
    };
    server.OnClientDisconnected = [this](TCustomSocket* s, TSimpleTCPClient* c) {
      EXPECT_EQ(s, &server);
      events.push_back("disconnected " + c->Host() + " listed " +
                       std::to_string(server.Connections().Count()));
    };
    server.OnClientRead = [this](TCustomSocket*, TSimpleTCPClient*, TMemoryStream& s) {
      events.push_back("read " + s.Bytes);
    };
    server.OnError = [this](TCustomSocket* s, int socket, int code, const std::string& text) {
      EXPECT_EQ(s, &server);
      errorSockets.push_back(socket);
      events.push_back("error " + std::to_string(code) + " " + text);
    };
  }

  int connectionCount() const { return server.Connections().Count(); }

  using Events = std::vector<std::string>;
  TSimpleTCPServer server{loop};
  std::uint16_t port = 0;
  std::vector<int> errorSockets;
};

TEST_F(ServerTest, AcceptedConnectionReadsAndPeerClose) {
  server.SetListen(true);
  const int listening = server.SocketHandle();
  server.SetListen(true);  // one socket
  EXPECT_EQ(server.SocketHandle(), listening);
  server.OnClientRead = [this](TCustomSocket*, TSimpleTCPClient* c, TMemoryStream& s) {
    events.push_back("read " + s.Bytes);
    EXPECT_EQ(server.SendBuffer(c, "\r\n+\r\n\r\n", 7), 7);
  };

  Fd producer = connectTo(port, "127.0.0.5");
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 1; }));
  const std::string peer = "connected 127.0.0.5:" + std::to_string(port);
  EXPECT_EQ(events, Events{peer});
  TSimpleTCPClient* accepted = server.Connections()[0];
  EXPECT_TRUE(accepted->Listen());
  EXPECT_FALSE(accepted->Connected());
  EXPECT_FALSE(accepted->timerRunning());
  EXPECT_NE(accepted->SocketHandle(), kInvalidSocket);

  sendAll(producer.get(), "RT=news\r\n");
  ASSERT_TRUE(runUntil([&] { return events.size() == 2; }));
  char reply[8] = {};
  ASSERT_EQ(::recv(producer.get(), reply, sizeof reply, 0), 7);
  EXPECT_EQ(std::string(reply, 7), "\r\n+\r\n\r\n");

  sendAll(producer.get(), "PS=bye");
  producer.reset();
  ASSERT_TRUE(runUntil([&] { return events.size() == 4; }));
  EXPECT_EQ(events,
            (Events{peer, "read RT=news\r\n", "read PS=bye", "disconnected 127.0.0.5 listed 0"}));
  EXPECT_EQ(connectionCount(), 0);
  EXPECT_TRUE(server.Listen());
}

TEST_F(ServerTest, RefusedConnectionIsClosedWithoutEvents) {
  std::string offered;
  server.OnAccept = [&](TCustomSocket* s, TSimpleTCPClient* c, bool& accept) {
    EXPECT_EQ(s, &server);
    EXPECT_TRUE(accept);
    offered = c->Host();
    accept = false;
  };
  server.SetListen(true);
  Fd producer = connectTo(port);
  ASSERT_TRUE(runUntil([&] { return !offered.empty(); }));
  EXPECT_EQ(offered, "127.0.0.1");
  EXPECT_EQ(connectionCount(), 0);
  EXPECT_EQ(readToEnd(producer.get()).second, ECONNRESET);
  settle();
  EXPECT_TRUE(events.empty());
}

TEST_F(ServerTest, PeerResetDropsTheConnectionAndReportsOnlyAnError) {
  server.SetListen(true);
  Fd producer = connectTo(port);
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 1; }));
  const int socket = server.Connections()[0]->SocketHandle();
  producer.resetAbortively();
  ASSERT_TRUE(runUntil([&] { return events.size() == 2; }));
  EXPECT_EQ(events[1], "error 10054 Connection reset by peer");
  EXPECT_EQ(errorSockets, std::vector<int>{socket});
  EXPECT_EQ(connectionCount(), 0);
  EXPECT_TRUE(server.Listen());
}

TEST_F(ServerTest, ListenFalseClosesEveryConnectionSilently) {
  server.SetListen(true);
  std::vector<Fd> producers;
  for (int i = 0; i < 3; ++i) producers.push_back(connectTo(port));
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 3; }));
  events.clear();
  server.SetListen(false);
  EXPECT_FALSE(server.Listen());
  EXPECT_EQ(connectionCount(), 0);
  EXPECT_EQ(server.SocketHandle(), kInvalidSocket);
  for (const Fd& p : producers) EXPECT_EQ(readToEnd(p.get()).second, ECONNRESET);
  server.SetListen(false);  // inactive: nothing
  settle();
  EXPECT_TRUE(events.empty());
  // The port is free again.
  Fd again(::socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in a = testing::loopback(port);
  EXPECT_EQ(::bind(again.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
}

TEST_F(ServerTest, PortInUseIsReportedAndLeavesTheServerClosed) {
  Fd holder(::socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in a = testing::loopback(port);
  ASSERT_EQ(::bind(holder.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(holder.get(), 1), 0);
  server.SetListen(true);
  EXPECT_EQ(events, Events{"error 10048 Address already in use"});
  EXPECT_NE(errorSockets.at(0), kInvalidSocket);
  EXPECT_FALSE(server.Listen());
  EXPECT_EQ(server.SocketHandle(), kInvalidSocket);
  server.SetListen(false);  // already closed: nothing more
  EXPECT_EQ(events.size(), 1u);
}

TEST_F(ServerTest, ClosingTheServerInsideOnClientRead) {
  server.OnClientRead = [this](TCustomSocket*, TSimpleTCPClient* c, TMemoryStream& s) {
    server.SetListen(false);
    // The connection is closed but not yet freed: the handler may go on.
    events.push_back("read " + s.Bytes + " from " + c->Host() +
                     (c->SocketHandle() == kInvalidSocket ? "" : " still open"));
  };
  server.SetListen(true);
  Fd first = connectTo(port);
  Fd second = connectTo(port);
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 2; }));
  sendAll(first.get(), "stop");
  ASSERT_TRUE(runUntil([&] { return !server.Listen(); }));
  settle();
  EXPECT_EQ(events.back(), "read stop from 127.0.0.1");
  EXPECT_EQ(connectionCount(), 0);
  EXPECT_EQ(readToEnd(first.get()).second, ECONNRESET);
  EXPECT_EQ(readToEnd(second.get()).second, ECONNRESET);
  EXPECT_TRUE(appErrors.empty());
}

TEST_F(ServerTest, FailedSendOnAnAcceptedConnectionIsFreedAfterTheHandler) {
  server.SetListen(true);
  Fd producer = connectTo(port);
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 1; }));
  TSimpleTCPClient* accepted = server.Connections()[0];
  const int socket = accepted->SocketHandle();
  producer.resetAbortively();
  ASSERT_TRUE(testing::waitFor(socket, POLLIN));
  events.clear();
  EXPECT_THROW(server.SendBuffer(accepted, "\r\n+\r\n\r\n", 7), ESocketError);
  EXPECT_TRUE(events.empty());  // not the server's error
  // Still there for whatever handler is running, closed and never dialling
  // out; freed once the loop comes round.
  ASSERT_EQ(connectionCount(), 1);
  EXPECT_EQ(accepted->SocketHandle(), kInvalidSocket);
  EXPECT_FALSE(accepted->Listen());
  EXPECT_FALSE(accepted->timerRunning());
  settle();
  EXPECT_EQ(connectionCount(), 0);
  EXPECT_TRUE(events.empty());
  EXPECT_THROW(server.SetPort(static_cast<std::uint16_t>(port + 1)), ESocketError);
}

// A connection that a handler closes stays valid until the handler returns
// and is freed once the loop has finished the round; no server event comes
// of closing it oneself.
TEST_F(ServerTest, ConnectionClosedInsideAHandlerIsFreedAfterIt) {
  std::weak_ptr<TCustomSocket* const> closed;
  int closedSocket = kInvalidSocket;
  server.OnClientRead = [&](TCustomSocket*, TSimpleTCPClient* c, TMemoryStream& s) {
    closed = c->Handle();
    closedSocket = c->SocketHandle();
    c->SetConnected(false);
    events.push_back("closed after " + s.Bytes + " from " + c->Host() + " listed " +
                     std::to_string(connectionCount()));
  };
  server.OnClientDisconnected = [&](TCustomSocket*, TSimpleTCPClient* c) {
    closed = c->Handle();
    c->SetConnected(false);
    events.push_back("disconnected " + c->Host() + " listed " + std::to_string(connectionCount()));
  };
  server.SetListen(true);
  Fd reader = connectTo(port, "127.0.0.2");
  Fd leaver = connectTo(port, "127.0.0.3");
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 2; }));
  events.clear();

  sendAll(reader.get(), "bye");
  ASSERT_TRUE(runUntil([&] { return closed.expired() && !events.empty(); }));
  EXPECT_EQ(events, Events{"closed after bye from 127.0.0.2 listed 2"});
  EXPECT_EQ(connectionCount(), 1);
  EXPECT_FALSE(loop.watching(closedSocket));
  EXPECT_EQ(readToEnd(reader.get()).second, ECONNRESET);

  leaver.reset();
  ASSERT_TRUE(runUntil([&] { return closed.expired() && events.size() == 2; }));
  EXPECT_EQ(events[1], "disconnected 127.0.0.3 listed 0");
  EXPECT_EQ(connectionCount(), 0);
  settle();
  EXPECT_EQ(events.size(), 2u);
  EXPECT_TRUE(appErrors.empty());
  EXPECT_TRUE(server.Listen());
}

// The server drops a connection whose receive fails inside a handler; the
// handler still holds it and may use it until it returns.
TEST_F(ServerTest, ConnectionFailingInsideAHandlerStaysValidUntilItReturns) {
  server.OnClientDataAvailable = [this](TCustomSocket*, TSimpleTCPClient* c, int size) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    const int took = server.ReceiveBuffer(c, bytes.data(), size);  // what came before the reset
    char more = 0;
    const int failed = server.ReceiveBuffer(c, &more, 1);  // the reset
    events.push_back("took " + std::to_string(took) + " then " + std::to_string(failed) + " from " +
                     c->Host() + " listed " + std::to_string(connectionCount()) +
                     (c->SocketHandle() == kInvalidSocket ? " closed" : ""));
  };
  server.SetListen(true);
  Fd producer = connectTo(port);
  ASSERT_TRUE(runUntil([&] { return connectionCount() == 1; }));
  events.clear();
  sendAll(producer.get(), "abc");
  producer.resetAbortively();
  ASSERT_TRUE(runUntil([&] { return events.size() == 2; }));
  EXPECT_EQ(events, (Events{"error 10054 Connection reset by peer",
                            "took 3 then -1 from 127.0.0.1 listed 0 closed"}));
  settle();
  EXPECT_EQ(events.size(), 2u);
  EXPECT_TRUE(server.Listen());
}

// The owner may destroy the server as the last act of a handler: nothing of
// the server or its connections is touched afterwards, and readiness already
// collected for its other connections is dropped.
using ServerLifetimeTest = testing::NetTest;

TEST_F(ServerLifetimeTest, ServerDestroyedByItsOwnReadHandler) {
  auto owned = std::make_unique<TSimpleTCPServer>(loop);
  owned->SetPort(0);
  int reads = 0;
  owned->OnClientRead = [&](TCustomSocket*, TSimpleTCPClient*, TMemoryStream&) {
    ++reads;
    owned.reset();
  };
  owned->SetListen(true);
  ASSERT_TRUE(owned->Listen());
  Fd first = connectTo(owned->Port());
  Fd second = connectTo(owned->Port());
  ASSERT_TRUE(runUntil([&] { return owned->Connections().Count() == 2; }));
  sendAll(first.get(), "one");
  sendAll(second.get(), "two");  // likely ready in the same round
  ASSERT_TRUE(runUntil([&] { return owned == nullptr; }));
  settle();
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(readToEnd(first.get()).second, ECONNRESET);
  EXPECT_EQ(readToEnd(second.get()).second, ECONNRESET);
  EXPECT_TRUE(appErrors.empty());
}

TEST_F(ServerLifetimeTest, ServerDestroyedByItsOwnDisconnectHandler) {
  auto owned = std::make_unique<TSimpleTCPServer>(loop);
  owned->SetPort(0);
  std::vector<std::string> gone;
  owned->OnClientDisconnected = [&](TCustomSocket*, TSimpleTCPClient* c) {
    gone.push_back(c->Host());
    owned.reset();
  };
  owned->SetListen(true);
  Fd leaver = connectTo(owned->Port(), "127.0.0.2");
  Fd stayer = connectTo(owned->Port(), "127.0.0.3");
  ASSERT_TRUE(runUntil([&] { return owned->Connections().Count() == 2; }));
  leaver.reset();
  ASSERT_TRUE(runUntil([&] { return owned == nullptr; }));
  settle();
  EXPECT_EQ(gone, std::vector<std::string>{"127.0.0.2"});
  EXPECT_EQ(readToEnd(stayer.get()).second, ECONNRESET);
  EXPECT_TRUE(appErrors.empty());
}

TEST_F(ServerTest, BurstOfConnectsWaitsInTheBacklog) {
  server.SetListen(true);
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

}  // namespace
}  // namespace varnok::net
