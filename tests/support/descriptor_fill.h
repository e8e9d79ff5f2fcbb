#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/event_loop.h"
#include "platform/liveness.h"
#include "support/loopback.h"

namespace varnok::testing {

// Runs this process out of descriptors for a while: lowers the soft limit on
// open descriptors to a little above those in use, then takes every free
// one. The destructor gives them back and restores the limit, so the rest of
// the test binary is not affected. The filler descriptors are close-on-exec,
// so child processes started meanwhile do not inherit them.
class DescriptorFill {
 public:
  DescriptorFill() {
    // The sanitizer's check of a call on a polymorphic object needs a
    // descriptor the first time it meets a pair of types (it reads the
    // vtable through a pipe) and reports a false error without one. Every
    // accept path checks its acceptor's liveness token: met here, while
    // descriptors are free.
    const Liveness life;
    (void)life.watch().alive();
    int highest = 2;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      highest = std::max(highest, std::atoi(entry.path().filename().c_str()));
    }
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, static_cast<rlim_t>(highest) + 33);
    if (setrlimit(RLIMIT_NOFILE, &lowered) != 0) return;
    lowered_ = true;
    const int source = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (source < 0) return;
    fds_.push_back(source);
    for (;;) {
      const int fd = ::fcntl(source, F_DUPFD_CLOEXEC, 0);
      if (fd < 0) {
        full_ = errno == EMFILE;
        break;
      }
      fds_.push_back(fd);
    }
  }
  ~DescriptorFill() {
    release(fds_.size());
    if (lowered_) setrlimit(RLIMIT_NOFILE, &saved_);
  }
  DescriptorFill(const DescriptorFill&) = delete;
  DescriptorFill& operator=(const DescriptorFill&) = delete;

  // Whether every descriptor below the limit is taken.
  bool full() const { return full_; }
  // Gives n descriptors back (under the lowered limit).
  void release(std::size_t n) {
    for (; n > 0 && !fds_.empty(); --n) {
      ::close(fds_.back());
      fds_.pop_back();
    }
    full_ = false;
  }

 private:
  rlimit saved_{};
  bool lowered_ = false;
  bool full_ = false;
  std::vector<int> fds_;
};

// What a listener on the loop did with clients that knocked while this
// process had no descriptor to spare: how often the loop was still ready
// once it had had time to turn them away (a spinning listener keeps it
// ready), and how many clients saw their connection closed.
struct Knocked {
  int busy = 0;
  int turnedAway = 0;
};

// Connects each socket of knocking (made while there were descriptors) to
// the port while every descriptor is taken, gives the loop time, then looks.
inline Knocked knockWhileFull(EventLoop& loop, std::uint16_t port,
                              const std::vector<int>& knocking) {
  Knocked k;
  DescriptorFill fill;
  if (!fill.full()) return {-1, -1};
  const sockaddr_in to = loopbackAddress("127.0.0.1", port);
  for (int fd : knocking) ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  for (int i = 0; i < 60; ++i) loop.runOnce(1);
  for (int i = 0; i < 50; ++i) {
    pollfd p{loop.fd(), POLLIN, 0};
    if (::poll(&p, 1, 0) == 1) ++k.busy;
    loop.runOnce(0);
  }
  for (int fd : knocking) {
    char c;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) == 1 && ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0) ++k.turnedAway;
  }
  return k;
}

}  // namespace varnok::testing
