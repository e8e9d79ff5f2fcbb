// The yardstick for idle CPU: an epoll loop that wakes every 22 ms (the
// shortest dispatch tick, Threads=4) and does nothing else. Whatever Varnok
// spends beyond this while nothing is queued is its own overhead.
//
//   varnok_bench_idle_loop
//
// Ends when its standard input reaches end of file (the benchmark driver
// holds the other end), on SIGTERM, or after ten minutes at the latest.
#include <sys/epoll.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

namespace {

constexpr int kTickMs = 22;
constexpr auto kLifetime = std::chrono::minutes(10);

volatile std::sig_atomic_t stopRequested = 0;

}  // namespace

int main() {
  std::signal(SIGTERM, [](int) { stopRequested = 1; });
  const int epfd = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = STDIN_FILENO;
  epoll_ctl(epfd, EPOLL_CTL_ADD, STDIN_FILENO, &ev);

  const auto end = std::chrono::steady_clock::now() + kLifetime;
  while (!stopRequested && std::chrono::steady_clock::now() < end) {
    epoll_event events[1];
    if (epoll_wait(epfd, events, 1, kTickMs) > 0) {
      char buffer[256];
      if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) break;
    }
  }
  return 0;
}
