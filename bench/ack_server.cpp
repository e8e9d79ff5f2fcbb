// The yardstick for the acknowledgement round trip: the least a server can
// do to answer producers the way Varnok does. One epoll loop, level
// triggered; every chunk read is answered with the same 7 bytes. Nothing is
// kept, parsed or logged.
//
//   varnok_bench_ack_server
//
// Listens on 127.0.0.1 on a port of the system's choosing and prints that
// port on a line of its own. Ends when its standard input reaches end of
// file (the benchmark driver holds the other end), on SIGTERM, or after ten
// minutes at the latest.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>

namespace {

constexpr char kAck[] = "\r\n+\r\n\r\n";
constexpr auto kLifetime = std::chrono::minutes(10);

volatile std::sig_atomic_t stopRequested = 0;

}  // namespace

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGTERM, [](int) { stopRequested = 1; });

  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, SOMAXCONN) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("varnok_bench_ack_server: listen");
    return 1;
  }
  const int epfd = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listener;
  epoll_ctl(epfd, EPOLL_CTL_ADD, listener, &ev);
  ev.data.fd = STDIN_FILENO;
  epoll_ctl(epfd, EPOLL_CTL_ADD, STDIN_FILENO, &ev);

  std::printf("%u\n", static_cast<unsigned>(ntohs(address.sin_port)));
  std::fflush(stdout);

  const auto end = std::chrono::steady_clock::now() + kLifetime;
  static char buffer[64 * 1024];
  epoll_event events[64];
  while (!stopRequested && std::chrono::steady_clock::now() < end) {
    const int n = epoll_wait(epfd, events, 64, 1000);
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == STDIN_FILENO) {
        if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) stopRequested = 1;
      } else if (fd == listener) {
        const int client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) continue;
        ev.events = EPOLLIN;
        ev.data.fd = client;
        epoll_ctl(epfd, EPOLL_CTL_ADD, client, &ev);
      } else {
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got > 0) {
          send(fd, kAck, sizeof kAck - 1, MSG_NOSIGNAL);
        } else if (got == 0) {
          close(fd);  // closing also ends the watch
        }
      }
    }
  }
  return 0;
}
