#include "platform/signal_watcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>

namespace varnok {
namespace {

// For each signal, the write end of the pipe of the watcher that has it, plus
// one (so that the zero of static initialisation means "none"). Stored on the
// event thread; read by the handler on whichever thread the signal lands,
// since the libraries under a front end may start threads of their own.
std::atomic<int> gWriteEnd[NSIG];
static_assert(std::atomic<int>::is_always_lock_free, "read inside a signal handler");

extern "C" void onSignal(int signo) {
  const int saved = errno;
  if (signo > 0 && signo < NSIG) {
    const int fd = gWriteEnd[signo].load(std::memory_order_relaxed) - 1;
    const unsigned char byte = static_cast<unsigned char>(signo);
    // A full pipe drops the byte; the loop will see the earlier ones.
    if (fd >= 0) {
      [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
  }
  errno = saved;
}

std::system_error failed(int err, const std::string& what) {
  return std::system_error(err, std::generic_category(), what);
}

}  // namespace

SignalWatcher::SignalWatcher(EventLoop& loop, std::initializer_list<int> signos,
                             std::function<void(int signo)> callback)
    : loop_(loop), onSignal_(std::move(callback)) {
  try {
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) throw failed(errno, "signal pipe");
    readEnd_.reset(ends[0]);
    writeEnd_.reset(ends[1]);
    if (!loop_.watch(readEnd_.get(), EPOLLIN, [this](std::uint32_t) { drain(); })) {
      throw failed(errno, "watching the signal pipe");
    }
    watching_ = true;

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    caught_.reserve(signos.size());
    for (int signo : signos) {
      const std::string name = "signal " + std::to_string(signo);
      if (signo <= 0 || signo >= NSIG) throw std::invalid_argument(name + " does not exist");
      // Also catches a signal named twice in the list.
      if (gWriteEnd[signo].load() != 0) throw std::invalid_argument(name + " is already watched");
      Caught caught{signo, {}};
      gWriteEnd[signo].store(writeEnd_.get() + 1);
      if (::sigaction(signo, &sa, &caught.before) != 0) {
        const int err = errno;
        gWriteEnd[signo].store(0);
        throw failed(err, "catching " + name);
      }
      caught_.push_back(caught);
    }
  } catch (...) {
    release();
    throw;
  }
}

SignalWatcher::~SignalWatcher() {
  release();
}

void SignalWatcher::release() noexcept {
  // The old action first: from then on no handler of ours writes to the pipe.
  for (auto it = caught_.rbegin(); it != caught_.rend(); ++it) {
    ::sigaction(it->signo, &it->before, nullptr);
    gWriteEnd[it->signo].store(0);
  }
  caught_.clear();
  if (watching_) loop_.unwatch(readEnd_.get());
  watching_ = false;
  readEnd_.reset();
  writeEnd_.reset();
}

void SignalWatcher::drain() {
  unsigned char buf[64];
  for (;;) {
    const ssize_t n = ::read(readEnd_.get(), buf, sizeof buf);
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i) {
      const int signo = buf[i];
      loop_.app().dispatch([&] { onSignal_(signo); });
    }
  }
}

}  // namespace varnok
