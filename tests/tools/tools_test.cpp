// Runs the real tool executables as child processes against sockets on the
// loopback interface. Every wait is bounded by a deadline.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "encoder/uecp.h"
#include "tool_common.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using varnok::tools::SteadyClock;

constexpr std::string_view kAck{"\r\n+\r\n\r\n", 7};
constexpr auto kLimit = 10s;  // generous upper bound for anything to happen

int msLeft(SteadyClock::time_point deadline) {
  return varnok::tools::msUntil(deadline);
}

// A tool running as a child process, with its stdout and stderr collected.
class Child {
 public:
  Child(const std::string& path, const std::vector<std::string>& args) {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> all{path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0) << "cannot start " << path;
    if (rc != 0) pid_ = -1;
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
  }

  ~Child() {
    if (outFd_ >= 0) ::close(outFd_);
    if (errFd_ >= 0) ::close(errFd_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void addFds(std::vector<pollfd>& fds) const {
    if (outFd_ >= 0) fds.push_back({outFd_, POLLIN, 0});
    if (errFd_ >= 0) fds.push_back({errFd_, POLLIN, 0});
  }

  void handle(const pollfd& p) {
    if (p.fd == outFd_) drain(outFd_, out);
    if (p.fd == errFd_) drain(errFd_, err);
  }

  bool outputOpen() const { return outFd_ >= 0 || errFd_ >= 0; }

  void signal(int sig) const { ::kill(pid_, sig); }

  // Reaps the child once it has closed its output; -1 when it did not end in time.
  int waitExit(std::chrono::milliseconds limit = kLimit);

  // Port from the ready line ("listening on 127.0.0.1:PORT"); 0 if none came.
  int waitForPort();

  std::string out;
  std::string err;

 private:
  void drain(int& fd, std::string& into) {
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      ::close(fd);
      fd = -1;
    }
  }

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
};

// A producer-side peer for the producer tool: accepts connections, records
// each chunk read and answers it as told.
class TestServer {
 public:
  enum class Reply { Ack, Silent, Garbage, DoubleAck, Reset };

  explicit TestServer(Reply reply) : reply_(reply) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in sa = varnok::tools::makeSockaddr(*varnok::tools::parseIpv4("127.0.0.1"), 0);
    EXPECT_EQ(::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    EXPECT_EQ(::listen(listenFd_, 16), 0);
    socklen_t len = sizeof sa;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
  }

  ~TestServer() {
    for (int fd : conns_) ::close(fd);
    ::close(listenFd_);
  }

  void addFds(std::vector<pollfd>& fds) const {
    fds.push_back({listenFd_, POLLIN, 0});
    for (int fd : conns_) fds.push_back({fd, POLLIN, 0});
  }

  void handle(const pollfd& p) {
    if (p.fd == listenFd_) {
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK);
      if (fd >= 0) {
        conns_.push_back(fd);
        peers.push_back(varnok::tools::formatIpv4(peer.sin_addr));
      }
      return;
    }
    if (std::find(conns_.begin(), conns_.end(), p.fd) == conns_.end()) return;
    char buf[4096];
    ssize_t n = ::recv(p.fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (n < 0 && errno == EAGAIN) return;
      closeConn(p.fd, false);
      return;
    }
    chunks.emplace_back(buf, static_cast<std::size_t>(n));
    std::string answer;
    switch (reply_) {
      case Reply::Ack:
        answer = kAck;
        break;
      case Reply::DoubleAck:
        answer = std::string(kAck) + std::string(kAck);
        break;
      case Reply::Garbage:
        answer = "NO\r\n";
        break;
      case Reply::Silent:
        break;
      case Reply::Reset:
        closeConn(p.fd, true);
        return;
    }
    if (!answer.empty()) ::send(p.fd, answer.data(), answer.size(), MSG_NOSIGNAL);
  }

  int port = 0;
  std::vector<std::string> chunks;
  std::vector<std::string> peers;

 private:
  void closeConn(int fd, bool reset) {
    if (reset) {
      linger lg{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    ::close(fd);
    std::erase(conns_, fd);
  }

  Reply reply_;
  int listenFd_ = -1;
  std::vector<int> conns_;
};

// Serves the child's output and the optional server until done() holds or
// the deadline passes; returns done().
bool pumpUntil(Child& child, TestServer* server, const std::function<bool()>& done,
               std::chrono::milliseconds limit = kLimit) {
  auto deadline = SteadyClock::now() + limit;
  while (!done()) {
    int ms = msLeft(deadline);
    if (ms == 0) return false;
    std::vector<pollfd> fds;
    child.addFds(fds);
    if (server) server->addFds(fds);
    if (fds.empty()) return done();
    if (::poll(fds.data(), fds.size(), ms) < 0 && errno != EINTR) return false;
    for (auto& p : fds) {
      if (p.revents == 0) continue;
      child.handle(p);
      if (server) server->handle(p);
    }
  }
  return true;
}

int Child::waitExit(std::chrono::milliseconds limit) {
  if (!pumpUntil(
          *this, nullptr, [this] { return !outputOpen(); }, limit))
    return -1;
  int status = 0;
  if (::waitpid(pid_, &status, 0) != pid_) return -1;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Child::waitForPort() {
  const std::string marker = " on 127.0.0.1:";
  auto lineDone = [&] {
    auto at = out.find(marker);
    return at != std::string::npos && out.find('\n', at) != std::string::npos;
  };
  if (!pumpUntil(*this, nullptr, lineDone)) return 0;
  return std::stoi(out.substr(out.find(marker) + marker.size()));
}

// Test-side client socket, blocking connect with a bounded wait on replies.
int connectTo(int port, int* error = nullptr) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = varnok::tools::makeSockaddr(*varnok::tools::parseIpv4("127.0.0.1"),
                                               static_cast<std::uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    if (error) *error = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

// Result of a bounded read: bytes (>0), 0 for an orderly close, -errno for an error.
ssize_t readWithin(int fd, std::chrono::milliseconds limit) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return -ETIMEDOUT;
  char buf[256];
  ssize_t n = ::read(fd, buf, sizeof buf);  // read(): also serves a pty
  return n >= 0 ? n : -errno;
}

// Reads until `want` bytes came, the peer ended or the bounded wait is over.
std::string readBytes(int fd, std::size_t want) {
  std::string got;
  const auto deadline = SteadyClock::now() + kLimit;
  char buf[256];
  while (got.size() < want) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, msLeft(deadline)) != 1) break;
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, want - got.size()));
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string tempPath(const std::string& name) {
  return ::testing::TempDir() + "varnok-tools-" + std::to_string(::getpid()) + "-" + name;
}

int countLines(const std::string& text, const std::string& line) {
  int n = 0;
  for (std::size_t at = 0; (at = text.find(line + "\n", at)) != std::string::npos; ++at) {
    if (at == 0 || text[at - 1] == '\n') ++n;
  }
  return n;
}

// ---------------------------------------------------------------- simulator

TEST(EncoderSim, RecordsEveryByteOfEveryConnection) {
  std::string outPath = tempPath("record.bin");
  std::string readyPath = tempPath("record.port");
  Child sim(VARNOK_ENCODER_SIM, {"--out", outPath, "--print", "hex", "--ready-file", readyPath});
  int port = sim.waitForPort();
  ASSERT_GT(port, 0) << sim.out << sim.err;
  EXPECT_EQ(std::stoi(readFile(readyPath)), port);

  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::string tail = "RT=Evening news\r\n";
  tail.push_back('\0');
  tail.push_back('\xFF');

  int first = connectTo(port);
  int second = connectTo(port);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  ASSERT_EQ(::send(first, all.data(), all.size(), MSG_NOSIGNAL), 256);
  // The file must show the bytes while the simulator still runs.
  ASSERT_TRUE(pumpUntil(sim, nullptr, [&] { return readFile(outPath).size() == all.size(); }));
  ASSERT_EQ(::send(second, tail.data(), tail.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(tail.size()));
  ASSERT_TRUE(pumpUntil(sim, nullptr,
                        [&] { return readFile(outPath).size() == all.size() + tail.size(); }));
  EXPECT_EQ(readFile(outPath), all + tail);
  ::close(first);
  ::close(second);
  ASSERT_TRUE(pumpUntil(sim, nullptr, [&] {
    return countLines(sim.out, "conn 2: closed by peer after 19 bytes") == 1;
  })) << sim.out;

  EXPECT_NE(sim.out.find("conn 2: 19 bytes: 52 54 3D"), std::string::npos) << sim.out;
  EXPECT_NE(sim.out.find("0D 0A 00 FF\n"), std::string::npos) << sim.out;
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.waitExit(), 0);
  EXPECT_NE(sim.out.find("connections: 2, bytes: 275\n"), std::string::npos) << sim.out;
  ::unlink(outPath.c_str());
  ::unlink(readyPath.c_str());
}

TEST(EncoderSim, TextOutputEscapesControlBytes) {
  Child sim(VARNOK_ENCODER_SIM, {"--lifetime", "10"});
  int port = sim.waitForPort();
  ASSERT_GT(port, 0);
  int fd = connectTo(port);
  ASSERT_GE(fd, 0);
  std::string bytes("PS=A\\B\r\n\0\x7F", 10);
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), 10);
  EXPECT_TRUE(pumpUntil(sim, nullptr, [&] {
    return sim.out.find("conn 1: 10 bytes: PS=A\\\\B\\r\\n\\x00\\x7F\n") != std::string::npos;
  })) << sim.out;
  ::close(fd);
  sim.signal(SIGINT);
  EXPECT_EQ(sim.waitExit(), 0);
}

TEST(EncoderSim, ResetAndCloseModesEndTheConnectionAsTold) {
  Child reset(VARNOK_ENCODER_SIM, {"--mode", "reset"});
  Child close(VARNOK_ENCODER_SIM, {"--mode", "close"});
  int resetPort = reset.waitForPort();
  int closePort = close.waitForPort();
  ASSERT_GT(resetPort, 0);
  ASSERT_GT(closePort, 0);
  for (int round = 0; round < 2; ++round) {
    int a = connectTo(resetPort);
    ASSERT_GE(a, 0);
    EXPECT_EQ(readWithin(a, kLimit), -ECONNRESET);
    ::close(a);
    int b = connectTo(closePort);
    ASSERT_GE(b, 0);
    EXPECT_EQ(readWithin(b, kLimit), 0);
    ::close(b);
  }
  reset.signal(SIGTERM);
  close.signal(SIGTERM);
  EXPECT_EQ(reset.waitExit(), 0);
  EXPECT_EQ(close.waitExit(), 0);
  EXPECT_NE(reset.out.find("connections: 2, bytes: 0"), std::string::npos) << reset.out;
  EXPECT_NE(close.out.find("connections: 2, bytes: 0"), std::string::npos) << close.out;
}

TEST(EncoderSim, RefuseModeRefusesWhileItRuns) {
  Child sim(VARNOK_ENCODER_SIM, {"--mode", "refuse"});
  int port = sim.waitForPort();
  ASSERT_GT(port, 0) << sim.out << sim.err;
  EXPECT_NE(sim.out.find("refusing connections on 127.0.0.1:"), std::string::npos);
  for (int round = 0; round < 3; ++round) {
    int error = 0;
    EXPECT_EQ(connectTo(port, &error), -1);
    EXPECT_EQ(error, ECONNREFUSED);
  }
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.waitExit(), 0);
}

TEST(EncoderSim, NoReadModeLetsTheSenderFillUp) {
  Child sim(VARNOK_ENCODER_SIM, {"--mode", "noread", "--rcvbuf", "4096"});
  int port = sim.waitForPort();
  ASSERT_GT(port, 0);
  int fd = connectTo(port);
  ASSERT_GE(fd, 0);
  ::fcntl(fd, F_SETFL, O_NONBLOCK);
  std::string block(16384, 'x');
  std::size_t total = 0;
  bool full = false;
  // A reader would take everything; with nobody reading, the buffers fill
  // long before this bound.
  while (!full && total < 64u * 1024 * 1024) {
    ssize_t n = ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
    if (n > 0) {
      total += static_cast<std::size_t>(n);
      continue;
    }
    ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
    pollfd p{fd, POLLOUT, 0};
    full = ::poll(&p, 1, 300) == 0;
  }
  EXPECT_TRUE(full) << total << " bytes went out";
  // With data stuck in the buffers an orderly close never reaches the
  // simulator; a reset does.
  linger lg{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(fd);
  EXPECT_TRUE(pumpUntil(sim, nullptr, [&] {
    return sim.out.find("conn 1: reset by peer") != std::string::npos;
  })) << sim.out;
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.waitExit(), 0);
  EXPECT_NE(sim.out.find("connections: 1, bytes: 0"), std::string::npos) << sim.out;
}

TEST(EncoderSim, SlowReadModeTakesOneByteASecond) {
  std::string outPath = tempPath("slow.bin");
  Child sim(VARNOK_ENCODER_SIM, {"--mode", "slowread", "--out", outPath});
  int port = sim.waitForPort();
  ASSERT_GT(port, 0) << sim.out << sim.err;
  int fd = connectTo(port);
  ASSERT_GE(fd, 0);
  const std::string sent = "RT=SLOW\r";
  const auto start = SteadyClock::now();
  ASSERT_EQ(::send(fd, sent.data(), sent.size(), MSG_NOSIGNAL), 8);
  // Everything is there at once, yet the third byte waits for two periods.
  ASSERT_TRUE(pumpUntil(sim, nullptr, [&] { return readFile(outPath).size() >= 3; }));
  EXPECT_GE(SteadyClock::now() - start, 1900ms);
  EXPECT_EQ(readFile(outPath), "RT=");
  EXPECT_EQ(countLines(sim.out, "conn 1: 1 bytes: T"), 1) << sim.out;
  // A reset is seen at once, while bytes still wait.
  linger lg{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(fd);
  ASSERT_TRUE(pumpUntil(sim, nullptr, [&] {
    return sim.out.find("conn 1: reset by peer after ") != std::string::npos &&
           sim.out.find(" left unread\n") != std::string::npos;
  })) << sim.out;
  unsigned long taken = 0, unread = 0;
  const std::size_t at = sim.out.find("conn 1: reset by peer after ");
  ASSERT_EQ(std::sscanf(sim.out.c_str() + at, "conn 1: reset by peer after %lu bytes, %lu bytes",
                        &taken, &unread),
            2)
      << sim.out;
  EXPECT_EQ(taken, readFile(outPath).size());
  EXPECT_EQ(taken + unread, sent.size());
  EXPECT_GT(unread, 0u);
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.waitExit(), 0);
  ::unlink(outPath.c_str());
}

TEST(EncoderSim, GarbageModeRecordsAndWritesBackWithoutPause) {
  std::string outPath = tempPath("garbage.bin");
  Child sim(VARNOK_ENCODER_SIM, {"--mode", "garbage", "--out", outPath, "--print", "none"});
  int port = sim.waitForPort();
  ASSERT_GT(port, 0) << sim.out << sim.err;
  int fd = connectTo(port);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::send(fd, "RT=x\r", 5, MSG_NOSIGNAL), 5);
  // Unasked, bytes keep coming: far more than any answer would be.
  std::size_t back = 0;
  std::string first;
  const auto deadline = SteadyClock::now() + kLimit;
  while (back < 8u * 1024 * 1024 && msLeft(deadline) > 0) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, msLeft(deadline)) != 1) break;
    char buf[65536];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    if (first.size() < 512)
      first.append(buf, std::min<std::size_t>(512, static_cast<std::size_t>(n)));
    back += static_cast<std::size_t>(n);
  }
  EXPECT_GE(back, 8u * 1024 * 1024);
  // Not an echo and not one repeated byte.
  EXPECT_EQ(first.find("RT=x"), std::string::npos);
  EXPECT_NE(first.find_first_not_of(first[0]), std::string::npos);
  ASSERT_TRUE(pumpUntil(sim, nullptr, [&] { return readFile(outPath) == "RT=x\r"; }));
  ::close(fd);
  ASSERT_TRUE(pumpUntil(sim, nullptr, [&] {
    return sim.out.find("conn 1: closed by peer after 5 bytes") != std::string::npos ||
           sim.out.find("conn 1: reset by peer after 5 bytes") != std::string::npos;
  })) << sim.out;
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.waitExit(), 0);
  const std::string summary = "connections: 1, bytes: 5, sent back: ";
  const std::size_t at = sim.out.find(summary);
  ASSERT_NE(at, std::string::npos) << sim.out;
  EXPECT_GE(std::stoull(sim.out.substr(at + summary.size())), back);
  ::unlink(outPath.c_str());
}

TEST(EncoderSim, ComebackModeRefusesUntilSignalledThenListensOnTheSamePort) {
  std::string outPath = tempPath("comeback.bin");
  Child sim(VARNOK_ENCODER_SIM, {"--mode", "comeback", "--out", outPath});
  int port = sim.waitForPort();
  ASSERT_GT(port, 0) << sim.out << sim.err;
  EXPECT_NE(sim.out.find("refusing connections on 127.0.0.1:"), std::string::npos) << sim.out;
  for (int round = 0; round < 2; ++round) {
    int error = 0;
    EXPECT_EQ(connectTo(port, &error), -1);
    EXPECT_EQ(error, ECONNREFUSED);
  }
  sim.signal(SIGUSR1);
  ASSERT_TRUE(pumpUntil(sim, nullptr, [&] {
    return countLines(sim.out, "listening on 127.0.0.1:" + std::to_string(port)) == 1;
  })) << sim.out;
  int fd = connectTo(port);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::send(fd, "PS=BACK\r", 8, MSG_NOSIGNAL), 8);
  EXPECT_TRUE(pumpUntil(sim, nullptr, [&] { return readFile(outPath) == "PS=BACK\r"; }));
  ::close(fd);
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.waitExit(), 0);
  EXPECT_NE(sim.out.find("connections: 1, bytes: 8"), std::string::npos) << sim.out;
  ::unlink(outPath.c_str());
}

TEST(EncoderSim, MaxConnsTurnsAwayConnectionsBeyondTheLimit) {
  Child sim(VARNOK_ENCODER_SIM, {"--max-conns", "1", "--print", "none"});
  int port = sim.waitForPort();
  ASSERT_GT(port, 0);
  int kept = connectTo(port);
  ASSERT_GE(kept, 0);
  ASSERT_TRUE(
      pumpUntil(sim, nullptr, [&] { return sim.out.find("conn 1: open") != std::string::npos; }));
  int extra = connectTo(port);
  ASSERT_GE(extra, 0);
  EXPECT_EQ(readWithin(extra, kLimit), 0);
  EXPECT_EQ(readWithin(kept, 200ms), -ETIMEDOUT);  // the first one stays open
  ::close(extra);
  ::close(kept);
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.waitExit(), 0);
  EXPECT_NE(sim.out.find("connections: 2, bytes: 0, turned away: 1"), std::string::npos) << sim.out;
}

// The simulator answering command lines, on each transport. An exchange with
// an empty reply expects none for that part; `gone` is the error the client
// meets afterwards (0: none), `summary` what the simulator reports at the end.
TEST(EncoderSim, AnswersCommandLinesOnEveryTransport) {
  struct Row {
    std::string transport;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> exchanges;
    int gone;
    std::string summary;
  };
  const std::vector<Row> rows = {
      // The line state survives between reads; CRLF ends one line only.
      {"tcp",
       {"--reply", "ok", "--refuse-every", "2"},
       {{"RT1=A\r\n", "OK\r\n"}, {"RT1=", ""}, {"B\r", "NO\r\n"}, {"PS=C\n", "OK\r\n"}},
       0,
       "connections: 1, bytes: 18, sent back: 12"},
      {"tcp",
       {"--reply", "twice", "--ok-text", "+", "--reply-delay-ms", "300"},
       {{"PS=X\r", "+\r\n+\r\n"}},
       0,
       "connections: 1, bytes: 5, sent back: 6"},
      {"udp",
       {"--reply", "ok"},
       {{"RT1=Hello\r", "OK\r\n"}, {"PS=ABC\r", "OK\r\n"}},
       0,
       "datagrams: 2, bytes: 17, sent back: 8"},
      {"udp", {"--mode", "refuse"}, {{"PS=ABC\r", ""}}, ECONNREFUSED, "datagrams: 0, bytes: 0"},
      {"serial", {"--reply", "ok"}, {{"PS=ABC\r", "OK\r\n"}}, 0, "bytes: 7, sent back: 4"},
      {"serial", {"--reply", "no"}, {{"PS=ABC\r", "NO\r\n"}}, 0, "bytes: 7, sent back: 4"},
      {"serial", {"--mode", "vanish", "--reply", "ok"}, {{"PS=ABC\r", ""}}, EIO, "bytes: 7\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.transport + " " + row.args[1]);
    const std::string readyPath = tempPath("answers.ready");
    const std::string outPath = tempPath("answers.bin");
    std::vector<std::string> args = {"--transport", row.transport, "--ready-file",
                                     readyPath,     "--out",       outPath};
    args.insert(args.end(), row.args.begin(), row.args.end());
    Child sim(VARNOK_ENCODER_SIM, args);
    ASSERT_TRUE(pumpUntil(sim, nullptr, [&] { return sim.out.find('\n') != std::string::npos; }))
        << sim.err;
    std::string ready = readFile(readyPath);
    ASSERT_FALSE(ready.empty());
    ready.pop_back();  // the newline
    int fd = -1;
    if (row.transport == "serial") {
      EXPECT_NE(sim.err.find("serial device: " + ready + "\n"), std::string::npos) << sim.err;
      fd = ::open(ready.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } else if (row.transport == "udp") {
      fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in sa = varnok::tools::makeSockaddr(*varnok::tools::parseIpv4("127.0.0.1"),
                                                   static_cast<std::uint16_t>(std::stoi(ready)));
      ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    } else {
      fd = connectTo(std::stoi(ready));
    }
    ASSERT_GE(fd, 0) << ready << ": " << std::strerror(errno);
    const auto delayArg = std::find(row.args.begin(), row.args.end(), "--reply-delay-ms");
    const auto delay =
        std::chrono::milliseconds(delayArg == row.args.end() ? 0 : std::stoi(*std::next(delayArg)));
    std::string sent;
    for (const auto& [send, reply] : row.exchanges) {
      sent += send;
      const auto start = SteadyClock::now();
      const ssize_t n = row.transport == "serial"
                            ? ::write(fd, send.data(), send.size())
                            : ::send(fd, send.data(), send.size(), MSG_NOSIGNAL);
      ASSERT_EQ(n, static_cast<ssize_t>(send.size()));
      if (reply.empty()) {
        // Unanswered: let it arrive on its own, so the next part comes in another read.
        if (row.gone == 0) {
          ASSERT_TRUE(pumpUntil(sim, nullptr, [&] { return readFile(outPath) == sent; }));
        }
        continue;
      }
      EXPECT_EQ(readBytes(fd, reply.size()), reply);
      if (delay > 0ms) {
        EXPECT_GE(SteadyClock::now() - start, delay);
      }
    }
    if (row.gone == 0) {
      EXPECT_TRUE(pumpUntil(sim, nullptr, [&] { return readFile(outPath) == sent; }));
    } else {
      const ssize_t r = readWithin(fd, kLimit);
      EXPECT_TRUE(r == -row.gone || (row.gone == EIO && r == 0)) << r;
    }
    if (row.gone == EIO) {
      EXPECT_EQ(::write(fd, "X\r", 2), -1);
      EXPECT_EQ(errno, EIO);
    }
    ::close(fd);
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.waitExit(), 0);
    EXPECT_NE(sim.out.find(row.summary), std::string::npos) << sim.out;
    ::unlink(readyPath.c_str());
    ::unlink(outPath.c_str());
  }
}

// The simulator taking UECP frames over tcp: each row is sent (in two pieces
// when `split` is not 0, so the frame spans two reads) and must come back as
// the one acknowledgement frame `ack` (sequence counter 0, with `address`)
// and as `line` in the elements file.
TEST(EncoderSim, AcknowledgesUecpFramesAndListsTheirElements) {
  namespace uecp = varnok::uecp;
  const std::uint16_t address = uecp::address(5, 3).value();
  const uecp::Bytes ps = uecp::frame(address, 7, uecp::psElement(0, 0, "My FM").value()).value();
  uecp::Bytes badCrc = ps;
  badCrc[badCrc.size() - 2] ^= 0x40;  // the CRC's low byte
  struct Row {
    uecp::Bytes sent;
    std::size_t split;
    std::string line;
    std::uint16_t address;
    uecp::Bytes ack;
  };
  const std::vector<Row> rows = {
      // The published worked example: SQC 0, so the answer carries no sequence.
      {{0xFE, 0x00, 0x00, 0x00, 0x02, 0x1E, 0x01, 0xAF, 0xD2, 0xFF},
       0,
       "0 0000 1e01",
       0,
       {0x18, 0x00}},
      {ps, 6, "7 0143 0200004d7920464d202020", address, {0x18, 0x00, 0x07}},
      {badCrc, 0, "fault 1 CRC error", 0, {0x18, 0x01}},
  };
  const std::string elementsPath = tempPath("uecp.elements");
  const std::string outPath = tempPath("uecp.bin");
  Child sim(VARNOK_ENCODER_SIM,
            {"--protocol", "uecp", "--reply", "ok", "--elements", elementsPath, "--out", outPath});
  const int port = sim.waitForPort();
  ASSERT_GT(port, 0) << sim.out << sim.err;
  const int fd = connectTo(port);
  ASSERT_GE(fd, 0);
  uecp::FrameReader reader;
  std::string sent, lines;
  std::size_t back = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    const std::string bytes(row.sent.begin(), row.sent.end());
    for (const std::string& piece : {bytes.substr(0, row.split), bytes.substr(row.split)}) {
      if (piece.empty()) continue;
      sent += piece;
      ASSERT_EQ(::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL), ssize_t(piece.size()));
      ASSERT_TRUE(pumpUntil(sim, nullptr, [&] { return readFile(outPath) == sent; }));
    }
    std::optional<varnok::Result<uecp::Frame>> answer;
    const auto deadline = SteadyClock::now() + kLimit;
    while (!(answer = reader.next()) && msLeft(deadline) > 0) {
      const std::string got = readBytes(fd, 1);
      if (got.empty()) break;
      back += got.size();
      reader.feed({reinterpret_cast<const std::uint8_t*>(got.data()), got.size()});
    }
    ASSERT_TRUE(answer && answer->ok()) << sim.out;
    EXPECT_EQ(answer->value(), (uecp::Frame{row.address, 0, row.ack}));
    lines += row.line + "\n";
    EXPECT_EQ(readFile(elementsPath), lines);  // written before the answer went out
  }
  ::close(fd);
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.waitExit(), 0);
  // Nothing came back beyond the one acknowledgement for each.
  EXPECT_NE(sim.out.find("sent back: " + std::to_string(back) + "\n"), std::string::npos)
      << sim.out;
  ::unlink(elementsPath.c_str());
  ::unlink(outPath.c_str());
}

TEST(EncoderSim, EndsByItselfAfterItsLifetime) {
  Child sim(VARNOK_ENCODER_SIM, {"--lifetime", "0.2"});
  EXPECT_EQ(sim.waitExit(), 0);
  EXPECT_NE(sim.out.find("lifetime over"), std::string::npos) << sim.out;
}

TEST(Tools, RefuseAddressesOutsideLoopbackAndBadArguments) {
  const std::vector<std::vector<std::string>> simArgs = {
      {"--host", "192.0.2.1"},
      {"--host", "0.0.0.0"},
      {"--mode", "sleepy"},
      {"--port", "70000"},
      {"--mode", "vanish"},
      {"--transport", "udp", "--mode", "noread"},
      {"--refuse-every", "2"},
      {"--reply", "ok", "--mode", "garbage"},
      {"--transport", "serial", "--port", "4001"},
      {"--protocol", "uecp", "--ok-text", "+"},
      {"--protocol", "uecp", "--mode", "noread"},
      {"--elements", "x"},
      {"--protocol", "uecp", "--reply", "ok", "--nack-code", "3"}};
  for (const auto& args : simArgs) {
    Child sim(VARNOK_ENCODER_SIM, args);
    EXPECT_EQ(sim.waitExit(), 2) << args[0] << " " << args[1];
    EXPECT_FALSE(sim.err.empty());
  }
  const std::vector<std::vector<std::string>> producerArgs = {{"--host", "192.0.2.1", "X"},
                                                              {"--bind", "192.0.2.1", "X"},
                                                              {"--host", "example.com", "X"},
                                                              {"BAD\\q"},
                                                              {"--port", "1", ""},
                                                              {}};
  for (const auto& args : producerArgs) {
    Child producer(VARNOK_PRODUCER, args);
    EXPECT_EQ(producer.waitExit(), 2) << (args.empty() ? "(none)" : args[0]);
    EXPECT_FALSE(producer.err.empty());
  }
  Child sim(VARNOK_ENCODER_SIM, {"--host", "192.0.2.1"});
  sim.waitExit();
  EXPECT_NE(sim.err.find("only loopback"), std::string::npos) << sim.err;
}

// ----------------------------------------------------------------- producer

TEST(Producer, SendsEachCommandAndReportsItsAck) {
  TestServer server(TestServer::Reply::Ack);
  Child producer(VARNOK_PRODUCER,
                 {"--port", std::to_string(server.port), "HELLO\\r\\n", "\\x01\\xff\\0", "\\r\\n"});
  ASSERT_TRUE(pumpUntil(producer, &server, [&] { return !producer.outputOpen(); }));
  EXPECT_EQ(producer.waitExit(), 0) << producer.err;
  // Waiting for each ack keeps the commands apart, so each arrives as one chunk.
  std::vector<std::string> expected = {"HELLO\r\n", std::string("\x01\xFF\0", 3), "\r\n"};
  EXPECT_EQ(server.chunks, expected);
  EXPECT_EQ(countLines(producer.out, "ack"), 3) << producer.out;
  EXPECT_NE(producer.out.find("acks: 3 of 3"), std::string::npos) << producer.out;
}

TEST(Producer, UsesTheChosenSourceAddress) {
  TestServer server(TestServer::Reply::Ack);
  Child producer(VARNOK_PRODUCER,
                 {"--bind", "127.0.0.5", "--port", std::to_string(server.port), "X"});
  ASSERT_TRUE(pumpUntil(producer, &server, [&] { return !producer.outputOpen(); }));
  EXPECT_EQ(producer.waitExit(), 0) << producer.err;
  EXPECT_EQ(server.peers, std::vector<std::string>{"127.0.0.5"});
}

TEST(Producer, CountRepeatsTheCommandsAndReportsTheTotal) {
  TestServer server(TestServer::Reply::Ack);
  Child producer(VARNOK_PRODUCER, {"--port", std::to_string(server.port), "--count", "3", "--rate",
                                   "500", "--quiet", "A", "B"});
  ASSERT_TRUE(pumpUntil(producer, &server, [&] { return !producer.outputOpen(); }));
  EXPECT_EQ(producer.waitExit(), 0) << producer.err;
  EXPECT_EQ(server.chunks, (std::vector<std::string>{"A", "B", "A", "B", "A", "B"}));
  EXPECT_EQ(countLines(producer.out, "ack"), 0);
  EXPECT_NE(producer.out.find("acks: 6 of 6, elapsed: "), std::string::npos) << producer.out;
}

TEST(Producer, FailsWhenTheAckDoesNotCome) {
  TestServer server(TestServer::Reply::Silent);
  auto start = SteadyClock::now();
  Child producer(VARNOK_PRODUCER,
                 {"--port", std::to_string(server.port), "--timeout", "0.3", "ONE", "TWO"});
  ASSERT_TRUE(pumpUntil(producer, &server, [&] { return !producer.outputOpen(); }));
  EXPECT_EQ(producer.waitExit(), 1);
  EXPECT_LT(SteadyClock::now() - start, 5s);
  EXPECT_EQ(server.chunks, std::vector<std::string>{"ONE"});  // never went on to the second
  EXPECT_NE(producer.err.find("no acknowledgement for command 1 within 0.3 s"), std::string::npos)
      << producer.err;
  EXPECT_NE(producer.out.find("acks: 0 of 2"), std::string::npos) << producer.out;
}

TEST(Producer, ReportsWrongAndSurplusReplies) {
  TestServer garbage(TestServer::Reply::Garbage);
  Child first(VARNOK_PRODUCER, {"--port", std::to_string(garbage.port), "X"});
  ASSERT_TRUE(pumpUntil(first, &garbage, [&] { return !first.outputOpen(); }));
  EXPECT_EQ(first.waitExit(), 1);
  EXPECT_NE(first.out.find("unexpected reply: 4E 4F 0D 0A"), std::string::npos) << first.out;

  TestServer doubled(TestServer::Reply::DoubleAck);
  Child second(VARNOK_PRODUCER, {"--port", std::to_string(doubled.port), "X", "Y"});
  ASSERT_TRUE(pumpUntil(second, &doubled, [&] { return !second.outputOpen(); }));
  EXPECT_EQ(second.waitExit(), 1);
  EXPECT_NE(second.err.find("more acknowledgements"), std::string::npos) << second.err;
}

TEST(Producer, ReportsRefusedAndResetConnections) {
  Child sim(VARNOK_ENCODER_SIM, {"--mode", "refuse"});
  int port = sim.waitForPort();
  ASSERT_GT(port, 0);
  Child refused(VARNOK_PRODUCER, {"--port", std::to_string(port), "X"});
  EXPECT_EQ(refused.waitExit(), 3);
  EXPECT_NE(refused.err.find("Connection refused"), std::string::npos) << refused.err;

  TestServer server(TestServer::Reply::Reset);
  Child reset(VARNOK_PRODUCER, {"--port", std::to_string(server.port), "X"});
  ASSERT_TRUE(pumpUntil(reset, &server, [&] { return !reset.outputOpen(); }));
  EXPECT_EQ(reset.waitExit(), 3);
  EXPECT_NE(reset.err.find("reset by the server"), std::string::npos) << reset.err;
}

// ---------------------------------------------------------- escape helpers

TEST(ToolEscapes, EveryByteSurvivesEscapingAndBack) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::string back, error;
  ASSERT_TRUE(varnok::tools::unescape(varnok::tools::escapeBytes(all), back, error)) << error;
  EXPECT_EQ(back, all);
  for (const char* bad : {"A\\", "\\x4", "\\xG0", "\\q"}) {
    EXPECT_FALSE(varnok::tools::unescape(bad, back, error)) << bad;
  }
}

}  // namespace
