// The running copy's end of the channel, in this process on a virtual clock:
// what it accepts, what it drops, and that it answers only after handling.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "instance/channel.h"
#include "instance/single_instance.h"
#include "support/temp_dir.h"
#include "support/virtual_time.h"
#include "test_support.h"

namespace varnok {
namespace {

using testing::connectTo;
using testing::TempDir;

constexpr const char* kTitle = "Varnok (Tools)";

class ReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp.path().empty());
    opts.title = kTitle;
    opts.runtimeDir = tmp.path();
    opts.receiveTimeoutMs = 1000;
    std::string error;
    ASSERT_EQ(instance.start(opts, "ignored by the first copy", &error),
              SingleInstance::Role::First)
        << error;
    instance.attach(loop, [this](const std::string& text) {
      onText(text);
      return outcome;
    });
  }
  void TearDown() override {
    for (int fd : clients) ::close(fd);
    instance.closeChannel();
  }

  int client() {
    const int fd = connectTo(instance.socketPath());
    EXPECT_GE(fd, 0);
    clients.push_back(fd);
    return fd;
  }
  static void send(int fd, const std::string& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // What the running copy answered: the reply byte, "EOF" when it closed the
  // connection, or "" while it holds the connection without answering.
  static std::string answer(int fd) {
    char c = 0;
    const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
    if (n == 1) return std::string(1, c);
    if (n == 0) return "EOF";
    return "";
  }
  // Lets the loop run until the running copy has answered or dropped fd.
  std::string settle(int fd) {
    std::string got;
    time.runUntil([&] { return !(got = answer(fd)).empty(); }, 5000);
    return got;
  }

  std::function<void(const std::string&)> onText = [this](const std::string& t) {
    texts.push_back(t);
  };
  SingleInstance::Outcome outcome = SingleInstance::Outcome::Handled;
  TempDir tmp;
  ManualClock clock;
  Application app;
  EventLoop loop{clock, app};
  testing::VirtualTime time{loop, clock};
  InstanceOptions opts;
  SingleInstance instance;
  std::vector<std::string> texts;
  std::vector<int> clients;
};

TEST_F(ReceiverTest, HandlesTheTextBeforeItAnswers) {
  const std::string text = std::string("a\0b caf\xE9\r\n", 10) + std::string(245, 'x');
  ASSERT_EQ(text.size(), kMaxHandOffText);
  const int fd = client();
  std::string answeredDuringHandling = "not called";
  onText = [&](const std::string& t) {
    texts.push_back(t);
    answeredDuringHandling = answer(fd);
  };
  // In two pieces, with the loop running in between.
  const std::string frame = channel::encodeFrame(kTitle, text);
  send(fd, frame.substr(0, 7));
  time.runUntil([&] { return instance.pendingSenders() == 1; }, 5000);
  time.advance(0);
  EXPECT_TRUE(texts.empty());
  send(fd, frame.substr(7));
  EXPECT_EQ(settle(fd), "A");
  EXPECT_EQ(texts, std::vector<std::string>{text});
  EXPECT_EQ(answeredDuringHandling, "") << "no answer may leave before the handler returns";
  EXPECT_EQ(answer(fd), "EOF");
  EXPECT_EQ(instance.pendingSenders(), 0u);
}

TEST_F(ReceiverTest, AHandlerThatThrowsStillAnswersAndTheErrorIsReported) {
  std::vector<std::string> reported;
  app.setOnException([&](const std::exception& e) { reported.push_back(e.what()); });
  onText = [](const std::string&) { throw std::runtime_error("cannot read the command file"); };
  const int fd = client();
  send(fd, channel::encodeFrame(kTitle, "FILE:x.ini "));
  EXPECT_EQ(settle(fd), "A");
  EXPECT_EQ(reported, std::vector<std::string>{"cannot read the command file"});
}

TEST_F(ReceiverTest, DropsGarbageOversizeAndForeignTitlesWithoutHandling) {
  const int garbage = client();
  send(garbage, "GET / HTTP/1.0\r\n\r\n");
  const int oversize = client();
  std::string over = channel::encodeFrame(kTitle, "");
  over[over.size() - 2] = 1;  // the text length: 256 bytes claimed
  send(oversize, over);
  const int twoFrames = client();
  send(twoFrames, channel::encodeFrame(kTitle, "a ") + channel::encodeFrame(kTitle, "b "));
  const int foreign = client();
  send(foreign, channel::encodeFrame("Varnok (tools)", "a "));
  const int closedEarly = client();
  send(closedEarly, channel::encodeFrame(kTitle, "a ").substr(0, 10));
  ::shutdown(closedEarly, SHUT_WR);

  EXPECT_EQ(settle(garbage), "EOF");
  EXPECT_EQ(settle(oversize), "EOF");
  EXPECT_EQ(settle(twoFrames), "EOF");
  EXPECT_EQ(settle(foreign), "T");
  EXPECT_EQ(settle(closedEarly), "EOF");
  EXPECT_TRUE(texts.empty());

  // Still serving.
  const int good = client();
  send(good, channel::encodeFrame(kTitle, "b "));
  EXPECT_EQ(settle(good), "A");
  EXPECT_EQ(texts, std::vector<std::string>{"b "});
}

TEST_F(ReceiverTest, DropsASenderThatStallsAndIdleOnesMakeRoom) {
  const int slow = client();
  send(slow, channel::encodeFrame(kTitle, "a ").substr(0, 5));
  time.runUntil([&] { return instance.pendingSenders() == 1; }, 5000);
  time.advance(999);
  EXPECT_EQ(answer(slow), "") << "dropped too early";
  time.advance(1);
  EXPECT_EQ(settle(slow), "EOF");
  EXPECT_EQ(instance.pendingSenders(), 0u);

  // Idle connections beyond the cap make room for each newcomer: the one
  // that has waited longest is told that the running copy is busy.
  std::vector<int> idle;
  for (int i = 0; i < 20; ++i) {
    idle.push_back(client());
    time.advance(0);  // accept it, so the backlog never fills
  }
  EXPECT_EQ(instance.pendingSenders(), 16u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(settle(idle[static_cast<std::size_t>(i)]), "B") << i;
  EXPECT_EQ(answer(idle[4]), "") << "a newer idle connection was displaced first";
  time.advance(1000);
  EXPECT_EQ(instance.pendingSenders(), 0u);
  const int good = client();
  send(good, channel::encodeFrame(kTitle, "c "));
  EXPECT_EQ(settle(good), "A");
}

// A sender whose frame has arrived but is not read yet is never displaced:
// with every place taken by such senders, the newcomer is the one turned away.
TEST_F(ReceiverTest, ASenderWithItsFrameOnTheWayIsNeverDisplaced) {
  std::vector<int> senders;
  for (int i = 0; i < 16; ++i) senders.push_back(client());
  time.runUntil([&] { return instance.pendingSenders() == 16; }, 5000);
  // The newcomer knocks before the frames land, so the loop meets it first.
  const int late = client();
  for (int fd : senders) send(fd, channel::encodeFrame(kTitle, "on time "));
  send(late, channel::encodeFrame(kTitle, "late "));
  EXPECT_EQ(settle(late), "B");
  for (int fd : senders) EXPECT_EQ(settle(fd), "A");
  EXPECT_EQ(texts, std::vector<std::string>(16, "on time "));
}

TEST_F(ReceiverTest, TellsTheSenderWhatBecameOfItsText) {
  const std::pair<SingleInstance::Outcome, const char*> cases[] = {
      {SingleInstance::Outcome::FileNotRead, "F"}, {SingleInstance::Outcome::QueuesFull, "Q"}};
  for (const auto& [given, reply] : cases) {
    outcome = given;
    texts.clear();
    const int fd = client();
    send(fd, channel::encodeFrame(kTitle, "FILE:missing.ini "));
    EXPECT_EQ(settle(fd), reply);
    EXPECT_EQ(texts, std::vector<std::string>{"FILE:missing.ini "});
  }
}

TEST(ChannelFile, IsRemovedOnCloseButNeverASuccessorsFile) {
  TempDir tmp;
  InstanceOptions opts;
  opts.title = kTitle;
  opts.runtimeDir = tmp.path();
  std::string error;
  struct stat st {};

  SingleInstance first;
  ASSERT_EQ(first.start(opts, "", &error), SingleInstance::Role::First) << error;
  const std::string path = first.socketPath();
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  first.closeChannel();
  EXPECT_NE(::lstat(path.c_str(), &st), 0) << "the socket file stays behind";

  // Someone removes the running copy's file; a new copy takes the name.
  SingleInstance old;
  ASSERT_EQ(old.start(opts, "", &error), SingleInstance::Role::First) << error;
  ASSERT_EQ(::unlink(path.c_str()), 0);
  SingleInstance successor;
  ASSERT_EQ(successor.start(opts, "", &error), SingleInstance::Role::First) << error;
  old.closeChannel();
  const int fd = connectTo(path);
  EXPECT_GE(fd, 0) << "the old copy removed its successor's channel";
  ::close(fd);

  EXPECT_EQ(successor.start(opts, "", &error), SingleInstance::Role::Failed);
  EXPECT_NE(error.find("already"), std::string::npos);
}

}  // namespace
}  // namespace varnok
