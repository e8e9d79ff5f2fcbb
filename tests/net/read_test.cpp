#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/simple_tcp.h"
#include "net_test_support.h"

namespace varnok::net {
namespace {

using testing::acceptOne;
using testing::connectTo;
using testing::Fd;
using testing::listenOnLoopback;
using testing::sendAll;

class ReadTest : public testing::NetTest {
 protected:
  // A client connected to a loopback listener, and the listener's side.
  void connectClient() {
    listener = listenOnLoopback(port);
    client.SetHost("127.0.0.1");
    client.SetPort(port);
    client.SetConnected(true);
    ASSERT_TRUE(runUntil([&] { return client.Connected(); }));
    peer = acceptOne(listener.get());
    ASSERT_TRUE(peer.valid());
  }

  using Events = std::vector<std::string>;
  std::uint16_t port = 0;
  Fd listener;
  Fd peer;
  TSimpleTCPClient client{loop};
};

TEST_F(ReadTest, SegmentsWaitingTogetherArriveAsOneStreamAtPositionZero) {
  TSimpleTCPServer server(loop);
  server.SetPort(testing::freePort());
  std::vector<std::size_t> positions;
  server.OnClientRead = [&](TCustomSocket*, TSimpleTCPClient*, TMemoryStream& s) {
    positions.push_back(s.Position);
    events.push_back(s.Bytes);
  };
  server.SetListen(true);
  Fd producer = connectTo(server.Port());
  ASSERT_TRUE(runUntil([&] { return server.Connections().Count() == 1; }));
  sendAll(producer.get(), "RT=");
  sendAll(producer.get(), "one ");
  sendAll(producer.get(), "two\r\n");
  ASSERT_TRUE(runUntil([&] { return !events.empty(); }));
  settle();
  EXPECT_EQ(events, Events{"RT=one two\r\n"});
  EXPECT_EQ(positions, std::vector<std::size_t>{0});
}

TEST_F(ReadTest, EveryByteBeforeThePeersCloseArrivesInOrderFirst) {
  std::string received;
  client.OnRead = [&](TCustomSocket*, TMemoryStream& s) { received += s.Bytes; };
  client.OnDisconnected = [&](TCustomSocket*) {
    events.push_back("disconnected at " + std::to_string(received.size()));
  };
  connectClient();
  std::string sent;
  for (int i = 0; sent.size() < 300000; ++i) sent += std::to_string(i) + ",";
  // Written from the peer while the loop does not run, then closed at once.
  std::size_t off = 0;
  while (off < sent.size()) {
    const ssize_t n =
        ::send(peer.get(), sent.data() + off, sent.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      off += static_cast<std::size_t>(n);
    } else {
      loop.runOnce(10);  // the peer's buffer is full: let the client take some
    }
  }
  peer.reset();
  ASSERT_TRUE(runUntil([&] { return !client.Listen(); }));
  EXPECT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent);
  EXPECT_EQ(events.at(0), "disconnected at " + std::to_string(sent.size()));
}

TEST_F(ReadTest, DataAvailableHandlerReadsItselfAndMayClose) {
  std::string taken;
  client.OnRead = [&](TCustomSocket*, TMemoryStream&) { events.push_back("read"); };
  client.OnDisconnected = [&](TCustomSocket*) { events.push_back("disconnected"); };
  client.OnError = [&](TCustomSocket*, int, int code, const std::string&) {
    events.push_back("error " + std::to_string(code));
  };
  client.OnDataAvailable = [&](TCustomSocket* s, int size) {
    events.push_back("available " + std::to_string(size));
    std::string buf(static_cast<std::size_t>(size), '\0');
    const int got = client.ReceiveBuffer(&client, buf.data(), size);
    ASSERT_EQ(got, size);
    taken += buf;
    if (taken.find("QUIT") != std::string::npos)
      static_cast<TSimpleTCPClient*>(s)->SetConnected(false);
  };
  connectClient();
  sendAll(peer.get(), "hello");
  ASSERT_TRUE(runUntil([&] { return taken == "hello"; }));
  EXPECT_EQ(events, Events{"available 5"});
  // Closing inside the handler ends the notification there: no report about
  // the closed socket, and no retry is started.
  sendAll(peer.get(), "QUIT");
  ASSERT_TRUE(runUntil([&] { return !client.Listen(); }));
  settle();
  EXPECT_EQ(events, (Events{"available 5", "available 4", "disconnected"}));
  EXPECT_FALSE(client.timerRunning());
}

TEST_F(ReadTest, ServerClosedInsideItsDataAvailableHandler) {
  TSimpleTCPServer server(loop);
  server.SetPort(testing::freePort());
  server.OnClientDataAvailable = [&](TCustomSocket*, TSimpleTCPClient* c, int size) {
    std::string buf(static_cast<std::size_t>(size), '\0');
    events.push_back("took " + std::to_string(server.ReceiveBuffer(c, buf.data(), size)));
    server.SetListen(false);  // closes c in the middle of the notification
  };
  server.OnClientRead = [&](TCustomSocket*, TSimpleTCPClient*, TMemoryStream&) {
    events.push_back("read");
  };
  server.OnError = [&](TCustomSocket*, int, int code, const std::string&) {
    events.push_back("error " + std::to_string(code));
  };
  server.SetListen(true);
  Fd producer = connectTo(server.Port());
  ASSERT_TRUE(runUntil([&] { return server.Connections().Count() == 1; }));
  sendAll(producer.get(), "abc");
  ASSERT_TRUE(runUntil([&] { return !server.Listen(); }));
  settle();
  EXPECT_EQ(events, Events{"took 3"});
  EXPECT_EQ(testing::readToEnd(producer.get()).second, ECONNRESET);
}

TEST_F(ReadTest, ReadHandlerMayCloseAndReconnect) {
  int reads = 0;
  client.OnRead = [&](TCustomSocket*, TMemoryStream& s) {
    events.push_back("read " + s.Bytes);
    if (++reads == 1) {
      client.SetConnected(false);
      client.SetConnected(true);
      events.push_back(client.Listen() ? "attempting" : "idle");
    }
  };
  client.OnDisconnected = [&](TCustomSocket*) { events.push_back("disconnected"); };
  connectClient();
  sendAll(peer.get(), "again");
  ASSERT_TRUE(runUntil([&] { return reads == 1 && client.Connected(); }));
  Fd second = acceptOne(listener.get());
  ASSERT_TRUE(second.valid());
  sendAll(second.get(), "more");
  ASSERT_TRUE(runUntil([&] { return reads == 2; }));
  EXPECT_EQ(events, (Events{"read again", "disconnected", "attempting", "read more"}));
  EXPECT_EQ(testing::readToEnd(peer.get()).second, ECONNRESET);
}

}  // namespace
}  // namespace varnok::net
