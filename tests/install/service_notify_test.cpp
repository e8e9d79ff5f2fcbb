// The service manager's side of the readiness and watchdog protocol, played
// by the test: a datagram socket of its own, handed to the real program as
// NOTIFY_SOCKET. VARNOK_PROGRAM, when set, names the program to run (the
// package test runs the packaged one); otherwise it is this build's.
// VARNOK_UNIT, when set, names a unit file: the program then runs under its
// restrictions, applied by restricted_launcher.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/loopback.h"
#include "support/temp_dir.h"

namespace varnok::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::string programUnderTest() {
  const char* chosen = std::getenv("VARNOK_PROGRAM");
  return chosen && *chosen ? chosen : VARNOK_BINARY;
}

// A bound datagram socket that collects what the program sends.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~NotifySocket() { close(fd_); }
  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }

  // The next message, or nullopt when none comes within timeoutMs.
  std::optional<std::string> next(int timeoutMs = 10000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return std::nullopt;
    char buf[4096];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
  }
  // The next message that is not a keep-alive ping.
  std::optional<std::string> nextNotPing(int timeoutMs = 10000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return std::nullopt;
      auto message = next(static_cast<int>(left));
      if (!message || *message != "WATCHDOG=1") return message;
    }
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

// READY=1 with the last log line of start-up as the status, which the
// service manager shows.
bool isReady(const std::string& message, const std::string& statusEnd) {
  const std::string head = "READY=1\nSTATUS=<";
  return message.rfind(head, 0) == 0 && message.size() >= head.size() + statusEnd.size() &&
         message.compare(message.size() - statusEnd.size(), statusEnd.size(), statusEnd) == 0;
}

// The program in a folder of its own with the given configuration, started
// headless as a service manager would start it.
struct Service {
  explicit Service(const std::string& ini, std::vector<std::string> extraEnv = {})
      : notify(dir.folder() + "notify") {
    const std::string folder = dir.folder() + "Station/";
    std::filesystem::create_directory(folder);
    std::filesystem::create_directory(dir.folder() + "run");
    chmod((dir.folder() + "run").c_str(), 0700);
    std::filesystem::copy_file(programUnderTest(), folder + "varnok");
    std::ofstream(folder + "varnok.ini") << ini;
    std::vector<std::string> env = {"VARNOK_HEADLESS=1", "XDG_RUNTIME_DIR=" + dir.folder() + "run",
                                    "NOTIFY_SOCKET=" + notify.path(), "WATCHDOG_USEC",
                                    "WATCHDOG_PID"};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<std::string> command = {folder + "varnok"};
    if (const char* unit = std::getenv("VARNOK_UNIT"); unit && *unit) {
#ifdef VARNOK_LAUNCHER
      command.insert(command.begin(), {VARNOK_LAUNCHER, unit});
#else
      ADD_FAILURE() << "VARNOK_UNIT is set, but this build has no restricted_launcher";
      return;
#endif
    }
    if (notify.bound())
      program = std::make_unique<ChildProcess>(
          command[0], std::vector<std::string>(command.begin() + 1, command.end()), folder, env);
  }
  TempDir dir;
  NotifySocket notify;
  std::unique_ptr<ChildProcess> program;
};

TEST(ServiceNotify, ReadyAfterListeningThenPingsAtHalfTheIntervalThenStopping) {
  const std::uint16_t port = closedPort();
  // 200 ms asked for: a ping every 100 ms.
  Service service("[Inputs]\nListenOnPort=" + std::to_string(port) + "\n",
                  {"WATCHDOG_USEC=200000"});
  ASSERT_TRUE(service.program) << "cannot bind " << service.notify.path();
  ChildProcess& varnok = *service.program;

  // Ready comes with the log line that ends start-up, so only after it.
  const auto ready = service.notify.nextNotPing();
  ASSERT_TRUE(ready) << varnok.out() << varnok.err();
  EXPECT_TRUE(isReady(*ready, "> Listening on port " + std::to_string(port))) << *ready;
  EXPECT_EQ(produce(port, "RT=Ready\r", 7), "\r\n+\r\n\r\n");

  // Four pings span at least three intervals: timers never fire early.
  std::optional<Clock::time_point> first;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(service.notify.next(5000), "WATCHDOG=1") << "ping " << i;
    if (!first) first = Clock::now();
  }
  EXPECT_GE(Clock::now() - *first, std::chrono::milliseconds(250));

  varnok.signal(SIGTERM);
  EXPECT_EQ(service.notify.nextNotPing(), "STOPPING=1");
  EXPECT_EQ(varnok.wait(), 0) << varnok.err();
}

// A service that should listen and cannot is no use to anyone: it says why
// and ends with status 2 before it is ready, so that the manager sees a
// failure.
TEST(ServiceNotify, ExitsBeforeReadyWhenItCannotListen) {
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopbackAddress("0.0.0.0", 0);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  const std::uint16_t port = localPort(holder);

  Service service("[Inputs]\nListenOnPort=" + std::to_string(port) + "\n");
  ASSERT_TRUE(service.program) << "cannot bind " << service.notify.path();
  ChildProcess& varnok = *service.program;
  EXPECT_EQ(varnok.wait(), 2) << varnok.out() << varnok.err();
  EXPECT_NE(varnok.out().find("Socket Error 10048 - Address already in use"), std::string::npos)
      << varnok.out();
  EXPECT_EQ(service.notify.next(), "STOPPING=1") << "nothing, and above all no READY=1, before";
  close(holder);
}

}  // namespace
}  // namespace varnok::testing
