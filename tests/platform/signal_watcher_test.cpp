#include "platform/signal_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace varnok {
namespace {

int openDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

// Rounds of the loop until done() holds, for two seconds at most.
bool runRounds(EventLoop& loop, const std::function<bool()>& done) {
  for (int round = 0; round < 200 && !done(); ++round) loop.runOnce(10);
  return done();
}

sighandler_t currentHandler(int signo) {
  struct sigaction now {};
  ::sigaction(signo, nullptr, &now);
  return now.sa_handler;
}

class SignalWatcherTest : public ::testing::Test {
 protected:
  void TearDown() override {
    std::signal(SIGUSR1, SIG_DFL);
    std::signal(SIGUSR2, SIG_DFL);
  }

  ManualClock clock;
  Application app;
  EventLoop loop{clock, app};
};

TEST_F(SignalWatcherTest, EachWatcherGetsItsOwnSignalsOnTheLoop) {
  std::vector<int> first, second;
  SignalWatcher a(loop, {SIGUSR1}, [&](int signo) { first.push_back(signo); });
  SignalWatcher b(loop, {SIGUSR2}, [&](int signo) { second.push_back(signo); });
  std::raise(SIGUSR1);
  std::raise(SIGUSR2);
  std::raise(SIGUSR1);
  // Nothing runs inside the handler; the loop delivers.
  EXPECT_TRUE(first.empty());
  EXPECT_TRUE(second.empty());
  EXPECT_TRUE(runRounds(loop, [&] { return first.size() == 2 && second.size() == 1; }));
  EXPECT_EQ(first, (std::vector<int>{SIGUSR1, SIGUSR1}));
  EXPECT_EQ(second, (std::vector<int>{SIGUSR2}));
}

TEST_F(SignalWatcherTest, GivesBackWhatTheSignalDidBefore) {
  std::signal(SIGUSR1, SIG_IGN);
  {
    SignalWatcher watcher(loop, {SIGUSR1, SIGUSR2}, [](int) {});
    EXPECT_NE(currentHandler(SIGUSR1), SIG_IGN);
  }
  EXPECT_EQ(currentHandler(SIGUSR1), SIG_IGN);
  EXPECT_EQ(currentHandler(SIGUSR2), SIG_DFL);

  // Both are free again for another watcher.
  EXPECT_NO_THROW(SignalWatcher(loop, {SIGUSR1, SIGUSR2}, [](int) {}));
}

TEST_F(SignalWatcherTest, RefusesSignalsItCannotHaveAndLeavesNoTrace) {
  int calls = 0;
  SignalWatcher owner(loop, {SIGUSR1}, [&](int) { ++calls; });
  const int descriptors = openDescriptors();

  EXPECT_THROW(SignalWatcher(loop, {SIGUSR2, SIGUSR1}, [](int) {}), std::invalid_argument);
  EXPECT_THROW(SignalWatcher(loop, {SIGUSR2, SIGUSR2}, [](int) {}), std::invalid_argument);
  EXPECT_THROW(SignalWatcher(loop, {0}, [](int) {}), std::invalid_argument);
  EXPECT_THROW(SignalWatcher(loop, {NSIG}, [](int) {}), std::invalid_argument);
  try {
    SignalWatcher(loop, {SIGUSR2, SIGKILL}, [](int) {});
    ADD_FAILURE() << "SIGKILL was watched";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EINVAL);
  }

  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_EQ(currentHandler(SIGUSR2), SIG_DFL);  // taken back from the failed ones
  std::raise(SIGUSR1);
  EXPECT_TRUE(runRounds(loop, [&] { return calls == 1; }));
}

TEST_F(SignalWatcherTest, AWatchTheLoopRefusesIsReportedWithItsErrno) {
  // Something that is no epoll instance in place of the loop's descriptor.
  const int epoll = ::dup(loop.fd());
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(epoll, 0);
  ASSERT_GE(devNull, 0);
  ASSERT_GE(::dup2(devNull, loop.fd()), 0);
  const int descriptors = openDescriptors();

  int err = 0;
  try {
    SignalWatcher watcher(loop, {SIGUSR1}, [](int) {});
  } catch (const std::system_error& e) {
    err = e.code().value();
  }
  const int descriptorsAfter = openDescriptors();
  ::dup2(epoll, loop.fd());
  ::close(epoll);
  ::close(devNull);

  EXPECT_EQ(err, EINVAL);
  EXPECT_EQ(descriptorsAfter, descriptors);
  EXPECT_EQ(currentHandler(SIGUSR1), SIG_DFL);
}

TEST_F(SignalWatcherTest, NoDescriptorsLeftIsReportedWithItsErrno) {
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  // Every descriptor below the lowest free one is open: with that as the
  // limit, no new one can be made.
  const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  rlimit none = before;
  none.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);

  int err = 0;
  try {
    SignalWatcher watcher(loop, {SIGUSR1}, [](int) {});
  } catch (const std::system_error& e) {
    // The limit back first: the sanitizers' checks may need a descriptor.
    ::setrlimit(RLIMIT_NOFILE, &before);
    err = e.code().value();
  }
  ::setrlimit(RLIMIT_NOFILE, &before);

  EXPECT_EQ(err, EMFILE);
  EXPECT_EQ(currentHandler(SIGUSR1), SIG_DFL);
}

}  // namespace
}  // namespace varnok
