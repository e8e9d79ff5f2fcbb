// The single-instance test and the hand-off between real processes: every
// copy is a run of instance_probe, which makes the same calls the program's
// start makes.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "instance/channel.h"
#include "instance/hand_off_text.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "test_support.h"

namespace varnok {
namespace {

using testing::ChildProcess;
using testing::TempDir;

constexpr int kWaitMs = 20000;  // generous bound for anything that must happen

std::string unhex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

struct Outcome {
  std::optional<int> status;
  std::string out;
  std::string err;
  int elapsedMs = 0;
};

class HandOffTest : public ::testing::Test {
 protected:
  std::vector<std::string> command(const std::string& title, const std::vector<std::string>& opts,
                                   const std::vector<std::string>& args) {
    std::vector<std::string> argv = {VARNOK_INSTANCE_PROBE, "--title", title, "--runtime-dir",
                                     tmp.path()};
    argv.insert(argv.end(), opts.begin(), opts.end());
    argv.push_back("--");
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }

  // A copy that must become the running copy.
  std::unique_ptr<ChildProcess> startRunning(const std::string& title,
                                             const std::vector<std::string>& opts = {}) {
    auto child = std::make_unique<ChildProcess>(command(title, opts, {"ignored"}));
    EXPECT_EQ(child->readLine(kWaitMs), "FIRST") << child->readError(1000);
    EXPECT_EQ(child->readLine(kWaitMs), "READY");
    return child;
  }

  // A copy run to its end.
  Outcome run(const std::string& title, const std::vector<std::string>& args,
              const std::vector<std::string>& opts = {}) {
    const auto start = std::chrono::steady_clock::now();
    ChildProcess child(command(title, opts, args));
    Outcome o;
    o.status = child.waitExit(kWaitMs);
    o.elapsedMs = testing::msSince(start);
    o.out = child.readAvailable();
    o.err = child.readError(kWaitMs);
    return o;
  }

  // The next text the running copy reports, after its handler has returned.
  static std::string nextText(ChildProcess& running) {
    const auto line = running.readLine(kWaitMs);
    if (!line || line->rfind("TEXT ", 0) != 0) return "<no text: " + line.value_or("timeout") + ">";
    EXPECT_EQ(running.readLine(kWaitMs), "HANDLED");
    return unhex(line->substr(5));
  }

  // Ends a running copy the way the program ends: cleanly, removing its channel.
  static std::string stop(ChildProcess& running) {
    running.closeStdin();
    EXPECT_EQ(running.waitExit(kWaitMs), 0);
    return running.readAvailable();
  }

  std::vector<std::string> socketFiles() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(tmp.path() + "/varnok")) {
      if (entry.is_socket()) names.push_back(entry.path().filename());
    }
    return names;
  }

  TempDir tmp;
  const std::string title = "Varnok (Tools)";
};

TEST_F(HandOffTest, TextsArriveWholeAndUnchangedUpTo255Characters) {
  auto running = startRunning(title);

  Outcome o = run(title, {});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "HANDED\n");
  EXPECT_EQ(nextText(*running), "NULL");

  o = run(title, {"/opt/varnok/Varnok.Exe", "RT=two  words", " caf\xE9\t\"quoted\"\n"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(nextText(*running), "RT=two  words  caf\xE9\t\"quoted\"\n ");

  const std::string longest(kMaxHandOffText - 1, 'x');  // plus its space: 255
  o = run(title, {longest});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(nextText(*running), longest + " ");

  // One more character: refused loudly, and nothing reaches the running copy.
  o = run(title, {longest + "y"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "");
  EXPECT_NE(o.err.find("256 characters"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("nothing was handed over"), std::string::npos) << o.err;
  o = run(title, {"after"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(nextText(*running), "after ");

  EXPECT_EQ(stop(*running), "");
  EXPECT_TRUE(socketFiles().empty()) << "the running copy left its channel behind";
}

TEST_F(HandOffTest, TheSecondCopyEndsOnlyAfterTheTextWasHandled) {
  auto running = startRunning(title, {"--handle-ms", "400"});
  const Outcome o = run(title, {"FILE:big.ini"});
  EXPECT_EQ(o.status, 0) << o.err;
  // Written by the handler just before it returned; the answer came after.
  const std::string seen = running->readAvailable();
  EXPECT_NE(seen.find("HANDLED"), std::string::npos) << seen;
  EXPECT_GE(o.elapsedMs, 400);
  stop(*running);
}

TEST_F(HandOffTest, OneRunningCopyPerExactTitle) {
  auto tools = startRunning("Varnok (Tools)");
  auto other = startRunning("Varnok (Other)");
  auto lower = startRunning("Varnok (tools)");  // letter case counts

  EXPECT_EQ(run("Varnok (Tools)", {"to", "tools"}).status, 0);
  EXPECT_EQ(run("Varnok (tools)", {"to", "lower"}).status, 0);
  EXPECT_EQ(nextText(*tools), "to tools ");
  EXPECT_EQ(nextText(*lower), "to lower ");

  EXPECT_EQ(stop(*tools), "");
  EXPECT_EQ(stop(*lower), "");
  EXPECT_EQ(stop(*other), "") << "a copy of another title received a text";
}

TEST_F(HandOffTest, AChannelLeftByAKilledCopyDoesNotStopTheNextStart) {
  auto killed = startRunning(title);
  killed->killHard();
  ASSERT_EQ(socketFiles().size(), 1u) << "expected the dead copy's socket file to stay";

  auto next = startRunning(title);
  const Outcome o = run(title, {"hello"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(nextText(*next), "hello ");
  stop(*next);
}

TEST_F(HandOffTest, CopiesStartedTogetherMakeExactlyOneRunningCopy) {
  for (int round = 0; round < 10; ++round) {
    const std::string roundTitle = "Varnok (race" + std::to_string(round) + ")";
    std::vector<std::unique_ptr<ChildProcess>> copies;
    for (int i = 0; i < 5; ++i) {
      copies.push_back(std::make_unique<ChildProcess>(command(roundTitle, {"--wait-go"}, {})));
      ASSERT_EQ(copies.back()->readLine(kWaitMs), "WAITING");
    }
    for (auto& copy : copies) ASSERT_TRUE(copy->writeStdin("g"));  // all at once
    ChildProcess* first = nullptr;
    int handed = 0;
    for (auto& copy : copies) {
      const auto line = copy->readLine(kWaitMs);
      if (line == "FIRST") {
        EXPECT_EQ(first, nullptr) << "two running copies in round " << round;
        first = copy.get();
      } else {
        EXPECT_EQ(line, "HANDED") << copy->readError(1000);
        EXPECT_EQ(copy->waitExit(kWaitMs), 0);
        ++handed;
      }
    }
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(handed, 4);
    EXPECT_EQ(first->readLine(kWaitMs), "READY");
    for (int i = 0; i < handed; ++i) EXPECT_EQ(nextText(*first), "NULL");
    stop(*first);
  }
}

TEST_F(HandOffTest, ARunningCopyThatNeverAnswersMakesTheSenderFail) {
  auto hung = startRunning(title, {"--no-answer"});
  const Outcome o = run(title, {"lost"}, {"--timeout-ms", "300"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("did not answer within 300 ms"), std::string::npos) << o.err;
  EXPECT_GE(o.elapsedMs, 300);
  EXPECT_LT(o.elapsedMs, 10000);
  EXPECT_EQ(stop(*hung), "");
}

TEST_F(HandOffTest, IdleConnectionsDoNotKeepARealSecondCopyOut) {
  auto running = startRunning(title);
  const std::string path = tmp.path() + "/varnok/" + socketFiles().at(0);
  // Held by this process and never written to, as by a program that leaks them.
  std::vector<int> idle;
  for (int i = 0; i < 16; ++i) idle.push_back(testing::connectTo(path));
  for (int i = 0; i < 2; ++i) {
    const Outcome o = run(title, {"through", std::to_string(i)});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_LT(o.elapsedMs, 4000) << "waited for idle connections to time out";
    EXPECT_EQ(nextText(*running), "through " + std::to_string(i) + " ");
  }
  // The one that had waited longest made room, and was told why.
  char reply = 0;
  EXPECT_EQ(::recv(idle[0], &reply, 1, MSG_DONTWAIT), 1);
  EXPECT_EQ(reply, 'B');
  for (int fd : idle) ::close(fd);
  EXPECT_EQ(stop(*running), "");
}

TEST_F(HandOffTest, ASenderTurnedAwayAsBusyKnocksAgainAndSaysWhyWhenTimeRunsOut) {
  // A stand-in for a running copy full of real senders, in a thread: it turns
  // the first `busy` senders away without reading them, then handles one.
  ASSERT_EQ(::mkdir((tmp.path() + "/varnok").c_str(), 0700), 0);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = tmp.path() + "/varnok/" + channel::channelStem(title) + ".sock";
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 16), 0);
  std::atomic<int> turnedAway{0};
  std::atomic<bool> done{false};
  auto standIn = [&](int busy) {
    const auto start = std::chrono::steady_clock::now();
    while (!done && testing::msSince(start) < kWaitMs) {
      pollfd p{listener, POLLIN, 0};
      if (::poll(&p, 1, 5) <= 0) continue;
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      const bool refuse = turnedAway < busy;
      char frame[64];
      if (!refuse) ::recv(fd, frame, sizeof frame, 0);
      ::send(fd, refuse ? "B" : "A", 1, MSG_NOSIGNAL);
      ::close(fd);
      if (!refuse) return;
      ++turnedAway;
    }
  };

  std::thread alwaysBusy(standIn, 1000000);
  Outcome o = run(title, {"x"}, {"--timeout-ms", "500"});
  done = true;
  alwaysBusy.join();
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("the running copy is busy with other senders"), std::string::npos) << o.err;
  EXPECT_GE(o.elapsedMs, 500);
  EXPECT_GT(turnedAway, 1) << "the sender gave up at the first refusal";

  turnedAway = 0;
  done = false;
  std::thread busyThenFree(standIn, 3);
  o = run(title, {"x"});
  busyThenFree.join();
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "HANDED\n");
  EXPECT_EQ(turnedAway, 3);
  ::close(listener);
}

TEST_F(HandOffTest, AnotherUserIsRefusedByTheRunningCopy) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a sender as another user";
  auto running = startRunning(title);
  // Open the way in, as if another user could reach the channel.
  ASSERT_EQ(::chmod((tmp.path() + "/varnok").c_str(), 0711), 0);
  ASSERT_EQ(::chmod((tmp.path() + "/varnok/" + socketFiles().at(0)).c_str(), 0666), 0);
  ASSERT_EQ(::chmod(tmp.path().c_str(), 0711), 0);
  const std::string path = tmp.path() + "/varnok/" + socketFiles().at(0);

  const pid_t child = ::fork();
  if (child == 0) {
    // Exit status: the running copy's answer, or 100 and up for a fault here.
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(101);
    const int fd = testing::connectTo(path);
    if (fd < 0) ::_exit(102);
    const std::string frame = channel::encodeFrame(title, "intruder ");
    // The running copy may refuse before the text is even sent: then this
    // send fails, and the answer is still there to read.
    [[maybe_unused]] const ssize_t sent = ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    char c = 0;
    ::_exit(::recv(fd, &c, 1, 0) == 1 ? c : 104);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 'R');

  // Closed again: a copy refuses to use a channel folder open to others.
  ASSERT_EQ(::chmod((tmp.path() + "/varnok").c_str(), 0700), 0);
  const Outcome o = run(title, {"own", "user"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(nextText(*running), "own user ") << "the refused text was handled";
  stop(*running);
}

TEST_F(HandOffTest, AnUnsafeChannelFolderStopsTheStart) {
  const std::string folder = tmp.path() + "/varnok";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  const Outcome o = run(title, {"x"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "") << "it must neither run nor hand over";
  EXPECT_NE(o.err.find("open to other users"), std::string::npos) << o.err;
  EXPECT_TRUE(std::filesystem::is_empty(folder));
}

}  // namespace
}  // namespace varnok
