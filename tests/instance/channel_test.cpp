#include "instance/channel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "instance/hand_off_text.h"
#include "support/temp_dir.h"
#include "test_support.h"

namespace varnok {
namespace {

using channel::FrameParser;
using testing::TempDir;

constexpr uid_t kNobody = 65534;

TEST(ChannelFolder, DefaultIsTheRuntimeFolderOrThePrivateCacheFolder) {
  using channel::defaultChannelPlace;
  EXPECT_EQ(defaultChannelPlace("/run/user/1000/", "/c", "/h", "vm").folder,
            "/run/user/1000/varnok");
  EXPECT_FALSE(defaultChannelPlace("/run/user/1000", nullptr, "/h", "vm").createParent);
  // Unset, empty and relative runtime or cache folders are ignored, as is "/"
  // for a runtime folder.
  for (const char* ignored : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
    const channel::ChannelPlace place = defaultChannelPlace(ignored, ignored, "/home/a/", "vm");
    EXPECT_EQ(place.folder, "/home/a/.cache/varnok-run-vm") << (ignored ? ignored : "(null)");
    EXPECT_TRUE(place.createParent);
  }
  EXPECT_EQ(defaultChannelPlace("/", nullptr, "/h", "").folder, "/h/.cache/varnok-run");
  EXPECT_EQ(defaultChannelPlace(nullptr, "/var/cache/a", "/h", "a/b").folder,
            "/var/cache/a/varnok-run-a_b");
  EXPECT_EQ(defaultChannelPlace(nullptr, nullptr, "home", "vm").folder, "") << "no place at all";
  EXPECT_EQ(channel::channelPlaceFor("/some/where/").folder, "/some/where/varnok");
}

TEST(ChannelFolder, IsCreatedPrivateAndUnsafeOnesAreRefused) {
  TempDir tmp;
  ASSERT_FALSE(tmp.path().empty());
  std::string error;

  const mode_t oldMask = ::umask(0);  // creation must not depend on the umask
  const std::string fresh = tmp.path() + "/fresh";
  const bool created = channel::prepareChannelFolder(fresh, &error);
  ::umask(oldMask);
  ASSERT_TRUE(created) << error;
  struct stat st {};
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(channel::prepareChannelFolder(fresh, &error)) << "an existing own folder is fine";

  const std::string open = tmp.path() + "/open";
  ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
  for (mode_t mode : {0777, 0750, 0701}) {
    ASSERT_EQ(::chmod(open.c_str(), mode), 0);
    error.clear();
    EXPECT_FALSE(channel::prepareChannelFolder(open, &error)) << std::oct << mode;
    EXPECT_NE(error.find("open to other users"), std::string::npos) << error;
  }
  ASSERT_EQ(::stat(open.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0701u) << "a refused folder is left as it was";

  // A link planted where the folder should be, even to a good folder.
  const std::string link = tmp.path() + "/link";
  ASSERT_EQ(::symlink(fresh.c_str(), link.c_str()), 0);
  EXPECT_FALSE(channel::prepareChannelFolder(link, &error));

  const std::string file = tmp.path() + "/file";
  ASSERT_EQ(::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
  EXPECT_FALSE(channel::prepareChannelFolder(file, &error));

  EXPECT_FALSE(channel::prepareChannelFolder(tmp.path() + "/no/such/parent", &error));
  // A missing cache folder is made, private; one level only.
  const std::string cache = tmp.path() + "/cache";
  ASSERT_TRUE(channel::prepareChannelFolder(cache + "/varnok-run", &error, true)) << error;
  ASSERT_EQ(::stat(cache.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(channel::prepareChannelFolder(tmp.path() + "/a/b/varnok-run", &error, true));
}

TEST(ChannelFolder, AFolderOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder away";
  TempDir tmp;
  const std::string theirs = tmp.path() + "/theirs";
  ASSERT_EQ(::mkdir(theirs.c_str(), 0700), 0);
  ASSERT_EQ(::chown(theirs.c_str(), kNobody, kNobody), 0);
  std::string error;
  EXPECT_FALSE(channel::prepareChannelFolder(theirs, &error));
  EXPECT_NE(error.find("belongs to uid 65534"), std::string::npos) << error;
}

TEST(ChannelName, DependsOnTheExactTitleAndAlwaysFits) {
  EXPECT_EQ(channel::channelStem("Varnok (Tools)"), channel::channelStem("Varnok (Tools)"));
  EXPECT_NE(channel::channelStem("Varnok (Tools)"), channel::channelStem("Varnok (tools)"));
  EXPECT_NE(channel::channelStem("Varnok (Tools)"), channel::channelStem("Varnok (Tools) "));
  const std::string longest = "Varnok (" + std::string(255, 'x') + ")";
  const std::string path = "/run/user/4294967294/varnok/" + channel::channelStem(longest) + ".sock";
  EXPECT_LE(path.size(), channel::maxSocketPath());
}

TEST(Frame, ParsesInAnyPiecesAndRefusesWhatIsNotOneFrame) {
  const std::string title = std::string("Varnok (a\0b)", 12);
  const std::string text = std::string("x\0y\r\n", 5) + std::string(250, 'z');
  ASSERT_EQ(text.size(), kMaxHandOffText);
  const std::string frame = channel::encodeFrame(title, text);

  FrameParser whole;
  EXPECT_EQ(whole.feed(frame.data(), frame.size()), FrameParser::State::Complete);
  EXPECT_EQ(whole.title(), title);
  EXPECT_EQ(whole.text(), text);

  FrameParser bytewise;
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
    ASSERT_EQ(bytewise.feed(&frame[i], 1), FrameParser::State::NeedMore) << i;
  }
  EXPECT_EQ(bytewise.feed(&frame.back(), 1), FrameParser::State::Complete);
  EXPECT_EQ(bytewise.text(), text);
  EXPECT_EQ(bytewise.feed("!", 1), FrameParser::State::Bad) << "bytes after the frame";

  FrameParser wrongMagic;  // known bad at the first byte, not after a length
  EXPECT_EQ(wrongMagic.feed("G", 1), FrameParser::State::Bad);

  FrameParser extra;
  const std::string twice = frame + frame;
  EXPECT_EQ(extra.feed(twice.data(), twice.size()), FrameParser::State::Bad);

  // Lengths past the limits are refused as soon as they are read.
  std::string longText = channel::encodeFrame("T", text + "z");
  FrameParser tooLong;
  EXPECT_EQ(tooLong.feed(longText.data(), 9), FrameParser::State::Bad);
  const std::string hugeTitle = std::string("VNK1") + "\x04\x01";  // 1025
  FrameParser tooLongTitle;
  EXPECT_EQ(tooLongTitle.feed(hugeTitle.data(), hugeTitle.size()), FrameParser::State::Bad);

  FrameParser empty;
  const std::string emptyText = channel::encodeFrame("T", "");
  EXPECT_EQ(empty.feed(emptyText.data(), emptyText.size()), FrameParser::State::Complete);
  EXPECT_EQ(empty.text(), "");
}

// Both ends of a connection see the other's user: the running copy checks the
// sender, the sender checks the running copy.
TEST(PeerCredentials, BothEndsSeeAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a child as another user";
  TempDir tmp;
  ASSERT_EQ(::chmod(tmp.path().c_str(), 0755), 0);
  const std::string path = tmp.path() + "/peer.sock";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  ASSERT_EQ(::listen(listener, 4), 0);

  const pid_t child = ::fork();
  if (child == 0) {
    // Exit status: 0 = connected and saw a listener of another user.
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(10);
    const int fd = testing::connectTo(path);
    if (fd < 0) ::_exit(11);
    uid_t uid = 0;
    if (!channel::peerUid(fd, &uid) || uid != 0) ::_exit(12);
    std::string why;
    ::_exit(channel::peerIsThisUser(fd, &why) ? 13 : 0);
  }
  const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(accepted, 0);
  uid_t uid = 0;
  EXPECT_TRUE(channel::peerUid(accepted, &uid));
  EXPECT_EQ(uid, kNobody);
  std::string why;
  EXPECT_FALSE(channel::peerIsThisUser(accepted, &why));
  EXPECT_NE(why.find("uid 65534"), std::string::npos) << why;
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  EXPECT_TRUE(channel::peerIsThisUser(pair[0], &why)) << why;
  for (int fd : {accepted, listener, pair[0], pair[1]}) ::close(fd);
}

}  // namespace
}  // namespace varnok
