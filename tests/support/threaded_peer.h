#pragma once

// Peers that misbehave, each in a thread of its own, so that their timing is
// real and independent of the loop under test: an encoder that drops every
// connection, reads late or slowly, or floods back; a producer that floods.
// Every peer stops by itself after its lifetime, and at destruction.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"

namespace varnok::testing {

class ThreadedEncoder {
 public:
  enum class Mode {
    Record,       // accept and record everything
    ResetAtOnce,  // accept, then close at once with a reset
    CloseAtOnce,  // accept, then close at once in order
    Flood,        // accept, record, and write back without pause
  };
  struct Options {
    Mode mode = Mode::Record;
    int receiveBuffer = 0;   // SO_RCVBUF of accepted connections; 0: default
    int silentMs = 0;        // read nothing for this long after each accept
    int chunk = 65536;       // bytes taken per read
    int pauseMs = 0;         // pause after each read
    int resetAfterMs = 0;    // reset each connection this long after accept; 0: never
    int lifetimeMs = 30000;  // stops by itself after this
    // An encoder that answers: given each command line received (CR or LF
    // ends it; numbered from 1 across connections), what to write back.
    std::function<std::string(int line)> reply = {};
  };

  explicit ThreadedEncoder(Options options) : options_(options) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopbackAddress("127.0.0.1", 0);
    bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (options_.receiveBuffer > 0) {
      // Set on the listener so that accepted sockets start with it (the
      // window is advertised at the handshake).
      setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &options_.receiveBuffer,
                 sizeof options_.receiveBuffer);
    }
    listen(listen_, 64);
    port = localPort(listen_);
    thread_ = std::thread([this] { run(); });
  }
  ~ThreadedEncoder() {
    stop_ = true;
    thread_.join();
    for (const Conn& c : conns_) close(c.fd);
    close(listen_);
  }
  ThreadedEncoder(const ThreadedEncoder&) = delete;
  ThreadedEncoder& operator=(const ThreadedEncoder&) = delete;

  std::string received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  std::size_t receivedSize() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
  }
  int accepted() const { return accepted_; }
  std::uint64_t flooded() const { return flooded_; }

  std::uint16_t port = 0;

 private:
  struct Conn {
    int fd;
    std::string line;  // a command line not yet ended
    std::chrono::steady_clock::time_point readFrom;
    std::chrono::steady_clock::time_point resetAt;
  };

  void run() {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(options_.lifetimeMs);
    std::vector<char> buf(static_cast<std::size_t>(options_.chunk));
    const std::string flood(65536, '#');
    while (!stop_ && Clock::now() < end) {
      std::vector<pollfd> fds{{listen_, POLLIN, 0}};
      for (const Conn& c : conns_) {
        short events = Clock::now() >= c.readFrom ? POLLIN : 0;
        if (options_.mode == Mode::Flood) events |= POLLOUT;
        fds.push_back({c.fd, events, 0});
      }
      poll(fds.data(), fds.size(), 5);
      std::vector<Conn> keep;
      for (std::size_t i = 1; i < fds.size(); ++i) {
        Conn c = conns_[i - 1];
        bool open = true;
        if (options_.resetAfterMs > 0 && Clock::now() >= c.resetAt) {
          linger l{1, 0};
          setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
          close(c.fd);
          continue;
        }
        if (fds[i].revents & POLLOUT) {
          const ssize_t n = send(c.fd, flood.data(), flood.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
          if (n > 0) flooded_ += static_cast<std::uint64_t>(n);
        }
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
          const ssize_t n = recv(c.fd, buf.data(), buf.size(), MSG_DONTWAIT);
          if (n > 0) {
            {
              std::lock_guard<std::mutex> lock(mutex_);
              received_.append(buf.data(), static_cast<std::size_t>(n));
            }
            if (options_.reply)
              answer(c, std::string_view(buf.data(), static_cast<std::size_t>(n)));
          } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            open = false;
          }
          if (options_.pauseMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(options_.pauseMs));
          }
        }
        if (open) {
          keep.push_back(c);
        } else {
          close(c.fd);
        }
      }
      conns_ = std::move(keep);
      if (fds[0].revents & POLLIN) acceptAll();
    }
  }

  void answer(Conn& c, std::string_view bytes) {
    for (char ch : bytes) {
      if (ch != '\r' && ch != '\n') {
        c.line.push_back(ch);
        continue;
      }
      if (c.line.empty()) continue;
      c.line.clear();
      const std::string back = options_.reply(++lines_);
      // Written whole, however long, within the peer's lifetime.
      for (std::size_t sent = 0; sent < back.size() && !stop_;) {
        const ssize_t n =
            send(c.fd, back.data() + sent, back.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
          sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
          break;
        } else {
          pollfd p{c.fd, POLLOUT, 0};
          poll(&p, 1, 10);
        }
      }
    }
  }

  void acceptAll() {
    for (;;) {
      const int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      ++accepted_;
      if (options_.mode == Mode::ResetAtOnce) {
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(fd);
        continue;
      }
      if (options_.mode == Mode::CloseAtOnce) {
        close(fd);
        continue;
      }
      const auto now = std::chrono::steady_clock::now();
      conns_.push_back({fd,
                        {},
                        now + std::chrono::milliseconds(options_.silentMs),
                        now + std::chrono::milliseconds(options_.resetAfterMs)});
    }
  }

  Options options_;
  int listen_ = -1;
  std::vector<Conn> conns_;  // the peer thread's own
  mutable std::mutex mutex_;
  std::string received_;
  std::atomic<int> accepted_{0};
  int lines_ = 0;  // the peer's thread alone
  std::atomic<std::uint64_t> flooded_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A producer that writes blocks without pause, never reading, until it is
// stopped, its lifetime ends, or it has written its limit.
class FloodingProducer {
 public:
  FloodingProducer(std::uint16_t port, int lifetimeMs = 20000) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = loopbackAddress("127.0.0.1", port);
    connected = connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    thread_ = std::thread([this, lifetimeMs] {
      const std::string block(65536, 'F');
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(lifetimeMs);
      while (!stop_ && std::chrono::steady_clock::now() < end) {
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, 5) <= 0) continue;
        const ssize_t n = send(fd_, block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) written_ += static_cast<std::uint64_t>(n);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
      }
    });
  }
  ~FloodingProducer() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  FloodingProducer(const FloodingProducer&) = delete;
  FloodingProducer& operator=(const FloodingProducer&) = delete;

  std::uint64_t written() const { return written_; }
  bool connected = false;

 private:
  int fd_ = -1;
  std::atomic<std::uint64_t> written_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace varnok::testing
