#pragma once

// Loopback helpers for the socket layer's tests: plain blocking sockets on
// the test's side, a loop under a manual clock on the socket layer's side.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "net/async_resolver.h"
#include "net/tcp_client.h"
#include "net/tcp_listener.h"
#include "platform/event_loop.h"
#include "platform/unique_fd.h"
#include "support/loopback.h"
#include "support/virtual_time.h"

namespace varnok::net::testing {

// A descriptor that closes itself.
class Fd : public UniqueFd {
 public:
  using UniqueFd::UniqueFd;
  bool valid() const { return static_cast<bool>(*this); }
  // Closes with linger 0: the peer sees a reset.
  void resetAbortively() {
    const linger abortive{1, 0};
    ::setsockopt(get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    reset();
  }
};

inline sockaddr_in loopback(std::uint16_t port, const char* ip = "127.0.0.1") {
  return varnok::testing::loopbackAddress(ip, port);
}

using varnok::testing::localPort;

// A non-blocking listener on 127.0.0.1 at an ephemeral port.
inline Fd listenOnLoopback(std::uint16_t& port, int backlog = 5) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
  const sockaddr_in a = loopback(0);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(::listen(fd.get(), backlog), 0);
  port = localPort(fd.get());
  return fd;
}

// A port that nothing uses at the moment of the call.
inline std::uint16_t freePort() {
  Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in a = loopback(0);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  return localPort(fd.get());
}

// A blocking connect from fromIp to 127.0.0.1:port (completes in the kernel,
// without the layer's loop).
inline Fd connectTo(std::uint16_t port, const char* fromIp = nullptr) {
  Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
  if (fromIp != nullptr) {
    const sockaddr_in from = loopback(0, fromIp);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&from), sizeof from), 0);
  }
  const sockaddr_in to = loopback(port);
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0)
      << strerror(errno);
  return fd;
}

inline bool waitFor(int fd, short events, int timeoutMs = 5000) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, timeoutMs) == 1;
}

inline Fd acceptOne(int listener) {
  if (!waitFor(listener, POLLIN)) return Fd();
  return Fd(::accept(listener, nullptr, nullptr));
}

inline void sendAll(int fd, const std::string& bytes) {
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}

inline int tcpState(int fd) {
  tcp_info info{};
  socklen_t len = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return -1;
  return info.tcpi_state;
}

// Reads until the peer closes: what arrived, and how the connection ended:
// ECONNRESET when the peer reset it, 0 for an orderly close. A peer that shuts
// down before its abortive close sends its end of stream ahead of the reset;
// the reset then shows in the state of the socket (closed, not close-wait).
inline std::pair<std::string, int> readToEnd(int fd) {
  std::string got;
  char buf[4096];
  for (;;) {
    if (!waitFor(fd, POLLIN)) return {got, ETIMEDOUT};
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      got.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0) return {got, errno};
    for (int i = 0; i < 100 && tcpState(fd) != TCP_CLOSE; ++i) ::poll(nullptr, 0, 10);
    return {got, tcpState(fd) == TCP_CLOSE ? ECONNRESET : 0};
  }
}

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app.setOnException([this](const std::exception& e) { appErrors.push_back(e.what()); });
  }
  void TearDown() override { setHostResolver({}); }

  bool runUntil(const std::function<bool()>& done) { return time.runUntil(done, 5000); }
  // Lets readiness that may or may not come be handled.
  void settle() {
    time.runUntil([] { return false; }, 50);
  }

  ManualClock clock;
  Application app;
  EventLoop loop{clock, app};
  varnok::testing::VirtualTime time{loop, clock};
  std::vector<std::string> events;
  std::vector<std::string> appErrors;
};

}  // namespace varnok::net::testing
