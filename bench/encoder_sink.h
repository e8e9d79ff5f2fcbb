// An encoder stand-in for the benchmark driver: listens on 127.0.0.1,
// accepts every connection and reads it on a thread of its own, reporting
// each chunk with the moment recv() returned it.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <functional>
#include <thread>
#include <utility>

#include "bench_support.h"

namespace varnok::bench {

// Ownership: owns its listener, the accepted connections and the thread;
// onChunk and onAccept run on that thread and must do their own locking.
class EncoderSink {
 public:
  using OnChunk = std::function<void(TimePoint when, std::size_t bytes)>;
  using OnAccept = std::function<void(TimePoint when)>;

  // closeAfterChunk: the connection is closed as soon as something arrived
  // on it, as an encoder that takes one command per connection would.
  explicit EncoderSink(OnChunk onChunk, bool closeAfterChunk = false, OnAccept onAccept = {})
      : onChunk_(std::move(onChunk)),
        onAccept_(std::move(onAccept)),
        closeAfterChunk_(closeAfterChunk) {
    listener_ = listenLoopback(port_);
    epfd_ = Fd(epoll_create1(EPOLL_CLOEXEC));
    watch(listener_.get());
    thread_ = std::thread([this] { run(); });
  }
  ~EncoderSink() {
    stop_ = true;
    thread_.join();
    for (int fd : open_) close(fd);
  }
  EncoderSink(const EncoderSink&) = delete;
  EncoderSink& operator=(const EncoderSink&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  void watch(int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    epoll_ctl(epfd_.get(), EPOLL_CTL_ADD, fd, &ev);
  }
  void drop(int fd) {
    close(fd);
    open_.erase(std::remove(open_.begin(), open_.end(), fd), open_.end());
  }
  // Runs until the destructor asks it to stop; every wait is bounded.
  void run() {
    static thread_local char buffer[64 * 1024];
    epoll_event events[64];
    while (!stop_) {
      const int n = epoll_wait(epfd_.get(), events, 64, 50);
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == listener_.get()) {
          const int c = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (c < 0) continue;
          if (onAccept_) onAccept_(SteadyClock::now());
          open_.push_back(c);
          watch(c);
          continue;
        }
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got > 0) {
          const TimePoint when = SteadyClock::now();
          if (onChunk_) onChunk_(when, static_cast<std::size_t>(got));
          if (closeAfterChunk_) drop(fd);
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
          drop(fd);
        }
      }
    }
  }

  OnChunk onChunk_;
  OnAccept onAccept_;
  bool closeAfterChunk_;
  std::uint16_t port_ = 0;
  Fd listener_;
  Fd epfd_;
  std::vector<int> open_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace varnok::bench
