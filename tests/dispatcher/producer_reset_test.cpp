// Producers that reset right after their command, from a thread of their
// own: whichever of the acknowledgement or the next receive meets the reset,
// it is one socket error per connection, never an application error.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "dispatcher_fixture.h"
#include "support/loopback.h"

namespace varnok::testing {
namespace {

class ProducerResetTest : public DispatcherTest {};

TEST_F(ProducerResetTest, EachResetIsASocketErrorAndNeverAnApplicationError) {
  constexpr int kRounds = 200;
  start({}, "", "ListenOnPort=0\n");
  ASSERT_TRUE(dispatcher->listening());
  // Counted as they come: the log keeps only the last fifty lines.
  int connected = 0, ended = 0;
  std::vector<std::string> errors;
  LogView::Observer counter;
  counter.added = [&](const std::string& line) {
    const std::string text = line.substr(line.find("> ") + 2);
    connected += text.ends_with(" connected") ? 1 : 0;
    if (text == "Socket Error 10054 - Connection reset by peer" ||
        text.ends_with(" disconnected")) {
      ++ended;
    } else if (text.find("Error") != std::string::npos) {
      errors.push_back(text);
    }
  };
  counter.firstRemoved = [] {};
  dispatcher->logView().addObserver(std::move(counter));

  std::atomic<int> made{0};
  std::thread producers([&, to = loopbackAddress("127.0.0.1", dispatcher->listeningPort())] {
    for (int i = 0; i < kRounds; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        ::send(fd, "RT=x\r", 5, MSG_NOSIGNAL);
        const linger abortive{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        ++made;
      }
      ::close(fd);
    }
  });
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ended + static_cast<int>(errors.size()) < kRounds &&
         std::chrono::steady_clock::now() < limit) {
    loop.runOnce(5);
  }
  producers.join();
  for (int i = 0; i < 10; ++i) loop.runOnce(1);  // the released connections are freed

  EXPECT_EQ(made, kRounds);
  EXPECT_TRUE(errors.empty()) << errors.size() << " lines such as " << errors.front();
  EXPECT_EQ(connected, kRounds);
  EXPECT_EQ(ended, kRounds);
  EXPECT_EQ(dispatcher->producerConnections(), 0u);
}

}  // namespace
}  // namespace varnok::testing
