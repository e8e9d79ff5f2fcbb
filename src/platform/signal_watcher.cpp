#include "platform/signal_watcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace varnok {
namespace {

volatile std::sig_atomic_t gWriteFd = -1;

extern "C" void onSignal(int signo) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signo);
  if (gWriteFd >= 0) {
    // A full pipe drops the byte; the loop will see the earlier ones.
    [[maybe_unused]] ssize_t n = ::write(gWriteFd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

SignalWatcher::SignalWatcher(EventLoop& loop, std::initializer_list<int> signals,
                             std::function<void(int signo)> callback)
    : loop_(loop), signals_(signals), onSignal_(std::move(callback)) {
  if (pipe2(pipe_, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  gWriteFd = pipe_[1];
  loop_.watch(pipe_[0], EPOLLIN, [this](std::uint32_t) { drain(); });
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int s : signals_) sigaction(s, &sa, nullptr);
}

SignalWatcher::~SignalWatcher() {
  for (int s : signals_) std::signal(s, SIG_DFL);
  gWriteFd = -1;
  loop_.unwatch(pipe_[0]);
  ::close(pipe_[0]);
  ::close(pipe_[1]);
}

void SignalWatcher::drain() {
  unsigned char buf[64];
  for (;;) {
    const ssize_t n = ::read(pipe_[0], buf, sizeof buf);
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i) {
      const int signo = buf[i];
      loop_.app().dispatch([&] { onSignal_(signo); });
    }
  }
}

}  // namespace varnok
