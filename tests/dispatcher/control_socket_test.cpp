// The control socket on a loop in virtual time, with clients in another
// thread: a request and its answer, who asked, a client that floods and one
// that never sends, and the socket file's rights.
#include "dispatcher/control_socket.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <future>

#include "support/temp_dir.h"
#include "support/virtual_time.h"

namespace varnok::testing {
namespace {

// Connects, sends, and reads the answer to its end (bounded by a timeout).
std::string exchange(const std::string& path, const std::string& request) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un at{};
  at.sun_family = AF_UNIX;
  std::snprintf(at.sun_path, sizeof at.sun_path, "%s", path.c_str());
  const timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) {
    (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
  }
  ::close(fd);
  return answer;
}

TEST(ControlSocket, AnswersRequestsAndBoundsItsClients) {
  TempDir dir;
  ManualClock clock;
  Application app;
  EventLoop loop{clock, app};
  VirtualTime time{loop, clock};
  std::vector<std::string> asked;
  auto socket = std::make_unique<ControlSocket>(
      loop,
      [&](const std::string& who, const std::string& verb, const std::string& target,
          const std::string& text) -> Result<std::string> {
        asked.push_back(who + "|" + verb + "|" + target + "|" + text);
        if (verb == "fail") return Error{1, "no encoder named " + target};
        return std::string("2 queued\r");
      });
  const std::string path = dir.folder() + "control";
  ASSERT_TRUE(socket->open(path));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const auto ask = [&](const std::string& request) {
    auto answer = std::async(std::launch::async, [&] { return exchange(path, request); });
    while (answer.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
      loop.runOnce(1);
    }
    return answer.get();
  };
  const passwd* me = ::getpwuid(::getuid());
  const std::string who = me != nullptr ? me->pw_name : "uid " + std::to_string(::getuid());
  EXPECT_EQ(ask("send\tStudio B\tRT1=Hi\\r\\\\x\n"), "ok 2 queued\\r\n");
  EXPECT_EQ(ask("fail\tStudio Z\t\talice\n"), "refused no encoder named Studio Z\n");
  EXPECT_EQ(ask(std::string(ControlSocket::kMaxRequest + 10, 'x')),
            "refused request longer than 65536 bytes\n");
  EXPECT_EQ(asked, (std::vector<std::string>{who + "|send|Studio B|RT1=Hi\r\\x",
                                             "alice (as " + who + ")|fail|Studio Z|"}));

  // The file removed under it: bound again on request, once.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_EQ(socket->restoreFile().value(), true);
  EXPECT_EQ(socket->restoreFile().value(), false);
  EXPECT_EQ(ask("fail\tX\n"), "refused no encoder named X\n");

  // A client that never sends is dropped after kIdleMs.
  const int silent = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un at{};
  at.sun_family = AF_UNIX;
  std::snprintf(at.sun_path, sizeof at.sun_path, "%s", path.c_str());
  ASSERT_EQ(::connect(silent, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  for (int i = 0; i < 10; ++i) loop.runOnce(1);
  time.advance(ControlSocket::kIdleMs);
  char byte;
  EXPECT_EQ(::recv(silent, &byte, 1, MSG_DONTWAIT), 0);  // closed
  ::close(silent);

  socket.reset();
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace varnok::testing
