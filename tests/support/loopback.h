#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <string>

#include "platform/event_loop.h"

namespace varnok::testing {

inline sockaddr_in loopbackAddress(const char* ip, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

inline std::uint16_t localPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// A loopback port that nobody listens on (refused when connected to).
//
// Taken below the system's range of ephemeral ports (32768 and up on Linux):
// a port the system handed out for binding port 0 may be handed out again at
// once as the local port of some other test's outgoing connection, and then
// the program that was to listen there finds it in use. Between 20000 and
// 32767 only another test choosing the same way can collide, and the start
// differs per process and call.
inline std::uint16_t closedPort() {
  static std::uint32_t next = static_cast<std::uint32_t>(getpid()) * 7919u +
                              static_cast<std::uint32_t>(time(nullptr));
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const auto port = static_cast<std::uint16_t>(20000 + (next++ * 2654435761u >> 7) % 12768);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopbackAddress("0.0.0.0", port);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (free) return port;
  }
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopbackAddress("127.0.0.1", 0);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const std::uint16_t port = localPort(fd);
  close(fd);
  return port;
}

// Sends one command to a producer port over a new connection and returns what
// comes back, up to expect bytes; connecting and each wait for the reply take
// at most timeoutMs.
inline std::string produce(std::uint16_t port, const std::string& command, std::size_t expect,
                           int timeoutMs = 5000) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);  // bounds connect() too
  sockaddr_in to = loopbackAddress("127.0.0.1", port);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      send(fd, command.data(), command.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(command.size())) {
    char buf[64];
    while (reply.size() < expect) {
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      reply.append(buf, static_cast<std::size_t>(n));
    }
  }
  close(fd);
  return reply;
}

// An encoder on a loopback port, served by the test's event loop: accepts
// every connection and records every byte.
class EncoderStub {
 public:
  explicit EncoderStub(EventLoop& loop, const char* ip = "127.0.0.1") : loop_(loop) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopbackAddress(ip, 0);
    bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listen_, 16);
    port = localPort(listen_);
    loop_.watch(listen_, EPOLLIN, [this](std::uint32_t) { acceptAll(); });
  }
  ~EncoderStub() {
    stopListening();
    for (auto& [fd, data] : conns_) {
      loop_.unwatch(fd);
      close(fd);
    }
  }
  // Further connection attempts are refused.
  void stopListening() {
    if (listen_ < 0) return;
    loop_.unwatch(listen_);
    close(listen_);
    listen_ = -1;
  }
  // Closes every open connection, normally or with a reset.
  void closeAll(bool reset = false) {
    for (auto& [fd, data] : conns_) {
      if (reset) {
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      }
      loop_.unwatch(fd);
      close(fd);
    }
    conns_.clear();
  }
  int openConnections() const { return static_cast<int>(conns_.size()); }

  std::uint16_t port = 0;
  bool resetOnAccept = false;  // accept, then close at once with a reset
  std::string received;
  int accepted = 0;
  int peerClosed = 0;

 private:
  void acceptAll() {
    for (;;) {
      const int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      ++accepted;
      if (resetOnAccept) {
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(fd);
        continue;
      }
      conns_[fd] = {};
      loop_.watch(fd, EPOLLIN, [this, fd](std::uint32_t) { readFrom(fd); });
    }
  }
  void readFrom(int fd) {
    char buf[65536];
    for (;;) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) {
        received.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        ++peerClosed;
        loop_.unwatch(fd);
        close(fd);
        conns_.erase(fd);
      }
      return;
    }
  }

  EventLoop& loop_;
  int listen_ = -1;
  std::map<int, int> conns_;
};

// A producer: a non-blocking client socket driven by the test's loop.
class Producer {
 public:
  Producer(std::uint16_t port, const char* from = "127.0.0.1") {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = loopbackAddress(from, 0);
    bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in to = loopbackAddress("127.0.0.1", port);
    connected = connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~Producer() {
    if (fd_ >= 0) close(fd_);
  }
  void send(const std::string& bytes) const {
    [[maybe_unused]] ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  // Collects what has arrived so far.
  const std::string& replies() {
    char buf[4096];
    for (;;) {
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      replies_.append(buf, static_cast<std::size_t>(n));
    }
    return replies_;
  }
  void reset() {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd_);
    fd_ = -1;
  }
  void closeNormally() {
    close(fd_);
    fd_ = -1;
  }
  bool connected = false;

 private:
  int fd_ = -1;
  std::string replies_;
};

}  // namespace varnok::testing
