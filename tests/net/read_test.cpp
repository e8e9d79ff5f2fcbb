#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "net/tcp_client.h"
#include "net/tcp_listener.h"
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
    client.setHost("127.0.0.1");
    client.setPort(port);
    client.setConnected(true);
    ASSERT_TRUE(runUntil([&] { return client.connected(); }));
    peer = acceptOne(listener.get());
    ASSERT_TRUE(peer.valid());
  }

  using Events = std::vector<std::string>;
  std::uint16_t port = 0;
  Fd listener;
  Fd peer;
  TcpClient client{loop};
};

TEST_F(ReadTest, SegmentsWaitingTogetherArriveAsOneRead) {
  TcpListener server(loop);
  server.setPort(0);
  server.onClientRead = [&](AcceptedConnection&, std::string_view bytes) {
    events.emplace_back(bytes);
  };
  server.setListening(true);
  Fd producer = connectTo(server.port());
  ASSERT_TRUE(runUntil([&] { return server.connectionCount() == 1; }));
  sendAll(producer.get(), "RT=");
  sendAll(producer.get(), "one ");
  sendAll(producer.get(), "two\r\n");
  ASSERT_TRUE(runUntil([&] { return !events.empty(); }));
  settle();
  EXPECT_EQ(events, Events{"RT=one two\r\n"});
}

// More than one chunk waiting: each read takes at most kReadChunk bytes and
// the rest comes in later rounds.
TEST_F(ReadTest, EveryByteBeforeThePeersCloseArrivesInOrderFirst) {
  std::string received;
  std::size_t largest = 0;
  client.onRead = [&](std::string_view bytes) {
    received += bytes;
    largest = std::max(largest, bytes.size());
  };
  client.onDisconnected = [&] {
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
  ASSERT_TRUE(runUntil([&] { return !client.isOpen(); }));
  EXPECT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent);
  EXPECT_EQ(events.at(0), "disconnected at " + std::to_string(sent.size()));
  EXPECT_LE(largest, static_cast<std::size_t>(SocketBase::kReadChunk));
}

// The bytes handed to a read handler stay as they were for the whole call,
// even when the handler runs the loop again (a modal dialog does) and other
// reads happen meanwhile.
TEST_F(ReadTest, BytesSurviveALoopRunFromInsideTheReadHandler) {
  TcpListener server(loop);
  server.setPort(0);
  Fd first;
  Fd second;
  std::vector<std::string> inner;
  std::string outerAfter;
  bool outerStarted = false;
  server.onClientRead = [&](AcceptedConnection&, std::string_view bytes) {
    if (outerStarted) {
      inner.emplace_back(bytes);
      return;
    }
    outerStarted = true;
    sendAll(second.get(), "the inner one, longer");
    EXPECT_TRUE(runUntil([&] { return !inner.empty(); }));
    outerAfter.assign(bytes);
  };
  server.setListening(true);
  first = connectTo(server.port());
  second = connectTo(server.port());
  ASSERT_TRUE(runUntil([&] { return server.connectionCount() == 2; }));
  sendAll(first.get(), "outer command");
  ASSERT_TRUE(runUntil([&] { return !outerAfter.empty(); }));
  EXPECT_EQ(inner, std::vector<std::string>{"the inner one, longer"});
  EXPECT_EQ(outerAfter, "outer command");

  // Afterwards the shared buffer serves reads again.
  sendAll(second.get(), "later");
  ASSERT_TRUE(runUntil([&] { return inner.size() == 2; }));
  EXPECT_EQ(inner.back(), "later");
}

TEST_F(ReadTest, ReadHandlerMayCloseAndReconnect) {
  int reads = 0;
  client.onRead = [&](std::string_view bytes) {
    events.push_back("read " + std::string(bytes));
    if (++reads == 1) {
      client.setConnected(false);
      client.setConnected(true);
      events.push_back(client.isOpen() ? "attempting" : "idle");
    }
  };
  client.onDisconnected = [&] { events.push_back("disconnected"); };
  connectClient();
  sendAll(peer.get(), "again");
  ASSERT_TRUE(runUntil([&] { return reads == 1 && client.connected(); }));
  Fd second = acceptOne(listener.get());
  ASSERT_TRUE(second.valid());
  sendAll(second.get(), "more");
  ASSERT_TRUE(runUntil([&] { return reads == 2; }));
  EXPECT_EQ(events, (Events{"read again", "disconnected", "attempting", "read more"}));
  EXPECT_EQ(testing::readToEnd(peer.get()).second, ECONNRESET);
}

// A paused reader takes nothing until resumed, but still hears of a broken
// connection.
TEST_F(ReadTest, PausedReaderReadsNothingYetHearsOfAReset) {
  client.onRead = [&](std::string_view bytes) { events.push_back("read " + std::string(bytes)); };
  client.onDisconnected = [&] { events.push_back("disconnected"); };
  client.onError = [&](int code, const std::string&) {
    events.push_back("error " + std::to_string(code));
  };
  connectClient();
  client.setReadPaused(true);
  EXPECT_TRUE(client.readPaused());
  sendAll(peer.get(), "held");
  settle();
  EXPECT_TRUE(events.empty());
  client.setReadPaused(false);
  ASSERT_TRUE(runUntil([&] { return !events.empty(); }));
  EXPECT_EQ(events, Events{"read held"});

  client.setReadPaused(true);
  peer.resetAbortively();
  ASSERT_TRUE(runUntil([&] { return !client.isOpen(); }));
  EXPECT_EQ(events, (Events{"read held", "disconnected", "error 10054"}));
}

}  // namespace
}  // namespace varnok::net
