#pragma once

// A producer that behaves: one blocking connection on loopback, each command
// sent only once the one before has been acknowledged, so that no two
// commands ever reach the dispatcher as one chunk. Every wait is bounded.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "support/loopback.h"

namespace varnok::testing {

inline constexpr char kAck[] = "\r\n+\r\n\r\n";
inline constexpr std::size_t kAckSize = sizeof kAck - 1;

class AckedProducer {
 public:
  // timeoutMs bounds the connect, each send and each wait for an acknowledgement.
  explicit AckedProducer(std::uint16_t port, int timeoutMs = 5000, const char* from = "127.0.0.1")
      : timeoutMs_(timeoutMs) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);  // bounds connect() too
    const sockaddr_in local = loopbackAddress(from, 0);
    ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    const sockaddr_in to = loopbackAddress("127.0.0.1", port);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
  }
  ~AckedProducer() {
    if (fd_ >= 0) ::close(fd_);
  }
  AckedProducer(const AckedProducer&) = delete;
  AckedProducer& operator=(const AckedProducer&) = delete;

  bool connected() const { return connected_; }

  // Sends one command and waits for its acknowledgement. False when the
  // command could not be sent whole, or anything but exactly one
  // acknowledgement came back within the timeout; error() says what.
  bool command(const std::string& text) {
    if (!connected_) return fail("not connected");
    std::size_t sent = 0;
    while (sent < text.size()) {
      const ssize_t n = ::send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return fail("send failed");
      sent += static_cast<std::size_t>(n);
    }
    std::string reply;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
    while (reply.size() < kAckSize) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      pollfd p{fd_, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) {
        return fail("no acknowledgement within " + std::to_string(timeoutMs_) + " ms");
      }
      char buf[64];
      const ssize_t n = ::recv(fd_, buf, kAckSize - reply.size(), 0);
      if (n <= 0) return fail("connection ended while waiting for the acknowledgement");
      reply.append(buf, static_cast<std::size_t>(n));
    }
    if (reply != kAck) return fail("not an acknowledgement: " + reply);
    ++acknowledged_;
    return true;
  }

  int acknowledged() const { return acknowledged_; }
  const std::string& error() const { return error_; }

 private:
  bool fail(const std::string& why) {
    error_ = why;
    return false;
  }

  int fd_ = -1;
  int timeoutMs_;
  bool connected_ = false;
  int acknowledged_ = 0;
  std::string error_;
};

}  // namespace varnok::testing
