// Producers that misbehave, against the real program started headless in
// its own folder with an encoder simulator: meanwhile a well-behaved producer
// keeps getting its acknowledgements at once and its commands delivered in
// order, nothing is delivered twice or cut, and every connection the bad
// producers leave behind is freed. Then a flood of producers at the
// program's descriptor limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "installed.h"
#include "process_harness.h"
#include "support/acked_producer.h"
#include "support/loopback.h"
#include "support/proc_stats.h"

namespace varnok::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kGoodCommands = 40;
constexpr int kBadRounds = 50;
constexpr int kVanishing = 20;
constexpr int kBacklogKb = 64;

// Tagged commands "<G12>\r": the tag letter says which producer sent it.
std::string tagged(char who, int n) {
  return "<" + std::string(1, who) + std::to_string(n) + ">\r";
}

// An encoder's bytes taken apart: the numbers of the tagged commands of each
// producer in arrival order, and the untagged bytes between them (the
// flood's), joined. Empty error when everything parsed.
struct Received {
  std::map<char, std::vector<int>> tagged;
  std::string untagged;
  std::string error;
};

Received takeApart(const std::string& bytes) {
  Received r;
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes[at] != '<') {
      const std::size_t next = bytes.find('<', at);
      r.untagged += bytes.substr(at, next - at);
      at = next == std::string::npos ? bytes.size() : next;
      continue;
    }
    const std::size_t end = bytes.find(">\r", at);
    int n = -1;
    if (end == std::string::npos || end < at + 3 ||
        std::sscanf(bytes.c_str() + at + 2, "%d", &n) != 1 ||
        bytes.substr(at, end + 2 - at) != tagged(bytes[at + 1], n)) {
      r.error = "a cut or unknown command at byte " + std::to_string(at);
      return r;
    }
    r.tagged[bytes[at + 1]].push_back(n);
    at = end + 2;
  }
  return r;
}

std::vector<int> upTo(int n) {
  std::vector<int> all;
  for (int i = 0; i < n; ++i) all.push_back(i);
  return all;
}

bool strictlyRising(const std::vector<int>& v) {
  for (std::size_t i = 1; i < v.size(); ++i) {
    if (v[i] <= v[i - 1]) return false;
  }
  return true;
}

// The flood's bytes: records without '<', so they never pass for a tag.
std::string floodBytes(std::size_t size) {
  std::string s;
  char record[32];
  for (int i = 0; s.size() < size; ++i) {
    std::snprintf(record, sizeof record, "f%09d:flood-flood-flood\r", i);
    s += record;
  }
  s.resize(size);
  return s;
}

int connectBlocking(std::uint16_t port, int rcvbuf = 0, int sndbuf = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  if (sndbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  const timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  const sockaddr_in to = loopbackAddress("127.0.0.1", port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void resetAndClose(int fd) {
  const linger abortive{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  ::close(fd);
}

// The well-behaved producer, in a thread of its own: a command every 50 ms,
// each sent once the one before was acknowledged; the slowest
// acknowledgement is kept.
class GoodProducer {
 public:
  explicit GoodProducer(std::uint16_t port) : producer_(port, 5000) {
    thread_ = std::thread([this] {
      for (int i = 1; i < kGoodCommands && !failed_; ++i) {
        const auto asked = Clock::now();
        if (!producer_.command(tagged('G', i))) {
          failed_ = true;
          break;
        }
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked);
        slowestMs_ = std::max<long>(slowestMs_, took.count());
        ::poll(nullptr, 0, 50);  // the producer's own pace
      }
      done_ = true;
    });
  }
  ~GoodProducer() { thread_.join(); }
  // The first command, before the thread starts: the encoder's connection
  // is up once it has arrived.
  static bool first(AckedProducer& p) { return p.command(tagged('G', 0)); }

  bool done() const { return done_; }
  bool failed() const { return failed_; }
  long slowestMs() const { return slowestMs_; }
  std::string error() const { return producer_.error(); }

 private:
  AckedProducer producer_;
  std::atomic<bool> done_{false};
  std::atomic<bool> failed_{false};
  std::atomic<long> slowestMs_{0};
  std::thread thread_;
};

enum class Misbehaviour {
  ResetsAfterItsCommand,
  HalfClosesAfterItsCommand,
  NeverReadsItsAcks,
  Vanishes
};

void PrintTo(Misbehaviour m, std::ostream* os) {
  switch (m) {
    case Misbehaviour::ResetsAfterItsCommand:
      *os << "ResetsAfterItsCommand";
      return;
    case Misbehaviour::HalfClosesAfterItsCommand:
      *os << "HalfClosesAfterItsCommand";
      return;
    case Misbehaviour::NeverReadsItsAcks:
      *os << "NeverReadsItsAcks";
      return;
    case Misbehaviour::Vanishes:
      *os << "Vanishes";
      return;
  }
}

class ProducerFaults : public ::testing::TestWithParam<Misbehaviour> {
 protected:
  void SetUp() override {
    encoder_ = std::make_unique<EncoderSim>(work_, "encoder");
    ASSERT_NE(encoder_->port(), 0);
    port_ = closedPort();
    app_ = std::make_unique<Installed>(
        "[General]\nEncoderCount=1\nThreads=4\nRepeat=0\nMaxMinutesInQueue=0\n[Inputs]\n"
        "ListenOnPort=" +
        std::to_string(port_) + "\nProducerBacklogKB=" + std::to_string(kBacklogKb) +
        "\n[Encoder1]\nName=Studio\nHost=127.0.0.1\nPort=" + std::to_string(encoder_->port()) +
        "\n");
    varnok_ = app_->start();
    ASSERT_TRUE(varnok_->waitForOutput("Listening on port " + std::to_string(port_) + "\n"))
        << varnok_->out() << varnok_->err();
  }
  void TearDown() override {
    if (!varnok_) return;
    varnok_->signal(SIGTERM);
    EXPECT_EQ(varnok_->wait(), 0) << varnok_->err();
  }
  bool eventually(const std::function<bool()>& done, int timeoutMs) {
    return varnok::testing::eventually(done, timeoutMs, {varnok_.get()});
  }

  TempDir work_;
  std::unique_ptr<EncoderSim> encoder_;
  std::uint16_t port_ = 0;
  std::unique_ptr<Installed> app_;
  std::unique_ptr<ChildProcess> varnok_;
};

TEST_P(ProducerFaults, AWellBehavedProducerIsServedThroughout) {
  const Misbehaviour kind = GetParam();
  const pid_t pid = varnok_->pid();
  // The good producer's first command brings the encoder's connection up,
  // which then stays: what is open now is what must be open at the end.
  AckedProducer opener(port_);
  ASSERT_TRUE(GoodProducer::first(opener)) << opener.error();
  ASSERT_TRUE(eventually([&] { return encoder_->receivedSize() > 0; }, 10000));
  const int descriptors = openDescriptors(pid);
  const std::int64_t cpuBefore = cpuNs(pid);
  const auto started = Clock::now();

  std::string flood;
  std::size_t flooded = 0;
  int floodFd = -1;
  {
    GoodProducer good(port_);
    switch (kind) {
      case Misbehaviour::ResetsAfterItsCommand:
        for (int i = 0; i < kBadRounds; ++i) {
          const int fd = connectBlocking(port_);
          ASSERT_GE(fd, 0);
          const std::string command = tagged('R', i);
          ::send(fd, command.data(), command.size(), MSG_NOSIGNAL);
          resetAndClose(fd);
          ::poll(nullptr, 0, 40);  // spread over the good producer's run
        }
        break;
      case Misbehaviour::HalfClosesAfterItsCommand:
        for (int i = 0; i < kBadRounds; ++i) {
          const int fd = connectBlocking(port_);
          ASSERT_GE(fd, 0);
          const std::string command = tagged('H', i);
          ::send(fd, command.data(), command.size(), MSG_NOSIGNAL);
          ::shutdown(fd, SHUT_WR);
          // Its acknowledgement still comes, then the end of the connection.
          std::string reply;
          char buf[64];
          ssize_t n;
          while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
            reply.append(buf, static_cast<std::size_t>(n));
          EXPECT_EQ(reply, kAck) << "half-closing producer " << i;
          ::close(fd);
          ::poll(nullptr, 0, 40);  // spread over the good producer's run
        }
        break;
      case Misbehaviour::NeverReadsItsAcks: {
        // Writes without pause and never reads: past its backlog it is not
        // read any more, so what it gets written follows what the encoder
        // takes, not what it would write.
        flood = floodBytes(64u << 20);
        floodFd = connectBlocking(port_, 2048, 65536);
        const int fd = floodFd;
        ASSERT_GE(fd, 0);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        const auto end = Clock::now() + std::chrono::seconds(3);
        while (Clock::now() < end && flooded < flood.size()) {
          pollfd p{fd, POLLOUT, 0};
          if (::poll(&p, 1, 20) != 1) continue;
          const ssize_t n =
              ::send(fd, flood.data() + flooded,
                     std::min<std::size_t>(8192, flood.size() - flooded), MSG_NOSIGNAL);
          if (n > 0) flooded += static_cast<std::size_t>(n);
        }
        const std::size_t delivered = takeApart(encoder_->received()).untagged.size();
        std::printf("flood: %zu bytes written in 3 s, %zu delivered meanwhile\n", flooded,
                    delivered);
        // The backlog, one chunk beyond it, and the sockets' buffers.
        EXPECT_LE(flooded, delivered + 4u * 1024 * 1024)
            << flooded << " bytes written, " << delivered << " delivered";
        EXPECT_GT(delivered, 0u);
        // It stays connected until all it wrote has been read (below).
        break;
      }
      case Misbehaviour::Vanishes: {
        // A process of its own connects, sends nothing and is killed.
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        if (child == 0) {
          ::close(ready[0]);
          const sockaddr_in to = loopbackAddress("127.0.0.1", port_);
          for (int i = 0; i < kVanishing; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) _exit(1);
          }
          [[maybe_unused]] ssize_t w = ::write(ready[1], "r", 1);
          ::poll(nullptr, 0, 30000);  // its lifetime, should nobody kill it
          _exit(0);
        }
        ::close(ready[1]);
        ASSERT_GT(child, 0);
        char r = 0;
        pollfd p{ready[0], POLLIN, 0};
        const bool up = ::poll(&p, 1, 10000) == 1 && ::read(ready[0], &r, 1) == 1;
        ::close(ready[0]);
        const std::string connected = "Client 127.0.0.1:" + std::to_string(port_) + " connected";
        // While they sit there, the good producer goes on (checked below).
        EXPECT_TRUE(up);
        EXPECT_TRUE(eventually(
            [&] { return countLog(varnok_->out(), connected) >= 2 + kVanishing; }, 10000));
        eventually([&] { return good.done(); }, 30000);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        break;
      }
    }
    ASSERT_TRUE(eventually([&] { return good.done(); }, 30000));
    EXPECT_FALSE(good.failed()) << good.error();
    // Answered at once throughout, whatever the others did.
    EXPECT_LT(good.slowestMs(), 1000);
  }

  // Everything acknowledged arrives; nothing twice, nothing cut.
  Received got;
  ASSERT_TRUE(eventually(
      [&] {
        got = takeApart(encoder_->received());
        const bool goodOnes = got.tagged['G'].size() >= static_cast<std::size_t>(kGoodCommands);
        const bool halfClosers = kind != Misbehaviour::HalfClosesAfterItsCommand ||
                                 got.tagged['H'].size() >= static_cast<std::size_t>(kBadRounds);
        const bool floodOut =
            kind != Misbehaviour::NeverReadsItsAcks || got.untagged.size() >= flooded;
        return !got.error.empty() || (goodOnes && halfClosers && floodOut);
      },
      60000))
      << encoder_->receivedSize() << " bytes received";
  if (floodFd >= 0) ::close(floodFd);
  ASSERT_EQ(got.error, "");
  EXPECT_EQ(got.tagged['G'], upTo(kGoodCommands));
  switch (kind) {
    case Misbehaviour::ResetsAfterItsCommand: {
      // A command whose acknowledgement could not be written is not queued;
      // one acknowledged before the reset came is delivered, once. Either
      // way the reset is the socket error, one line per connection, whether
      // the acknowledgement or the next receive met it.
      EXPECT_TRUE(strictlyRising(got.tagged['R']));
      int resets = 0;
      eventually(
          [&] {
            resets = countLog(varnok_->out(), "Socket Error 10054 - Connection reset by peer");
            return resets >= kBadRounds;
          },
          10000);
      EXPECT_EQ(resets, kBadRounds) << varnok_->out();
      EXPECT_LE(got.tagged['R'].size(), static_cast<std::size_t>(kBadRounds));
      EXPECT_EQ(varnok_->out().find("Application Error"), std::string::npos) << varnok_->out();
      break;
    }
    case Misbehaviour::HalfClosesAfterItsCommand:
      EXPECT_EQ(got.tagged['H'], upTo(kBadRounds));
      break;
    case Misbehaviour::NeverReadsItsAcks:
      EXPECT_EQ(got.untagged.size(), flooded);
      EXPECT_TRUE(got.untagged == flood.substr(0, got.untagged.size()))
          << "the flood's bytes arrived out of order";
      break;
    case Misbehaviour::Vanishes:
      break;
  }
  const auto rows = statusDump(*varnok_);
  ASSERT_EQ(rows.count("Studio"), 1u) << varnok_->out();
  EXPECT_EQ(rows.at("Studio").queue, "0");
  EXPECT_EQ(rows.at("Studio").errors, "");

  // Every connection they left behind is freed.
  EXPECT_TRUE(eventually([&] { return openDescriptors(pid) == descriptors; }, 10000))
      << openDescriptors(pid) << " descriptors open, " << descriptors << " before";
  if (kind == Misbehaviour::Vanishes || kind == Misbehaviour::HalfClosesAfterItsCommand) {
    const int expected = kind == Misbehaviour::Vanishes ? kVanishing : kBadRounds;
    const std::string disconnected = "Client 127.0.0.1:" + std::to_string(port_) + " disconnected";
    // The good producer's connection ended too.
    EXPECT_TRUE(
        eventually([&] { return countLog(varnok_->out(), disconnected) == expected + 1; }, 10000))
        << varnok_->out();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  const double cpuSeconds = static_cast<double>(cpuNs(pid) - cpuBefore) / 1e9;
  EXPECT_LT(cpuSeconds, 0.5 * seconds);
  std::printf("program CPU %.2f s in %.1f s\n", cpuSeconds, seconds);
}

INSTANTIATE_TEST_SUITE_P(BadProducers, ProducerFaults,
                         ::testing::Values(Misbehaviour::ResetsAfterItsCommand,
                                           Misbehaviour::HalfClosesAfterItsCommand,
                                           Misbehaviour::NeverReadsItsAcks, Misbehaviour::Vanishes),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

// Producers knocking while the program has no descriptor left for them.
class DescriptorShortage {
 public:
  explicit DescriptorShortage(std::uint16_t port) : port_(port) {}
  ~DescriptorShortage() { closeAll(); }

  // Opens n connections; the kernel completes them whether or not the
  // program ever accepts them.
  bool knock(int n) {
    for (int i = 0; i < n; ++i) {
      const int fd = connectBlocking(port_);
      if (fd < 0) return false;
      fds_.push_back(fd);
    }
    return true;
  }
  // How many of them the program has closed again (turned away).
  int turnedAway() const {
    int n = 0;
    for (int fd : fds_) {
      pollfd p{fd, POLLIN, 0};
      char c;
      if (::poll(&p, 1, 0) == 1 && ::recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK) <= 0) ++n;
    }
    return n;
  }
  // Sends a command on every connection that was kept; true when each one
  // was acknowledged. kept: how many there were.
  bool commandOnEveryKept(int& kept) {
    kept = 0;
    for (int fd : fds_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 0) == 1) continue;  // turned away
      ++kept;
      const std::string command = tagged('K', kept);
      if (::send(fd, command.data(), command.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(command.size())) {
        return false;
      }
      std::string reply;
      char buf[16];
      while (reply.size() < kAckSize) {
        const ssize_t n = ::recv(fd, buf, kAckSize - reply.size(), 0);  // SO_RCVTIMEO bounds it
        if (n <= 0) return false;
        reply.append(buf, static_cast<std::size_t>(n));
      }
      if (reply != kAck) return false;
    }
    return true;
  }
  void closeAll() {
    for (int fd : fds_) ::close(fd);
    fds_.clear();
  }

 private:
  std::uint16_t port_;
  std::vector<int> fds_;
};

TEST(ProducerFlood, AtTheDescriptorLimitItTurnsProducersAwayWithoutSpinningAndRecovers) {
  TempDir work;
  EncoderSim encoder(work, "encoder");
  ASSERT_NE(encoder.port(), 0);
  const std::uint16_t port = closedPort();
  Installed app(
      "[General]\nEncoderCount=1\nThreads=4\nRepeat=0\nMaxMinutesInQueue=0\n[Inputs]\n"
      "ListenOnPort=" +
      std::to_string(port) +
      "\n[Encoder1]\nName=Studio\nHost=127.0.0.1\nPort=" + std::to_string(encoder.port()) + "\n");
  // 64 descriptors: a few dozen producers fill them.
  ChildProcess varnok("/bin/sh", {"-c", "ulimit -n 64 && exec ./varnok"}, app.folder, app.env());
  ASSERT_TRUE(varnok.waitForOutput("Listening on port " + std::to_string(port) + "\n"))
      << varnok.out() << varnok.err();
  const pid_t pid = varnok.pid();
  const std::string shortage = "Socket Error 10024 - Too many open files";
  const std::string connected = "Client 127.0.0.1:" + std::to_string(port) + " connected";
  const std::string disconnected = "Client 127.0.0.1:" + std::to_string(port) + " disconnected";

  // A producer that was there before, and the encoder's connection, which stays.
  AckedProducer before(port);
  ASSERT_TRUE(before.command(tagged('G', 0))) << before.error();
  ASSERT_TRUE(eventually([&] { return encoder.receivedSize() > 0; }, 10000, {&varnok}));
  // The sanitizer build's check of an exception's dynamic type needs a
  // descriptor of its own the first time it meets a type (it probes memory
  // through a pipe), so the error path runs once while descriptors are free:
  // a producer that resets at once.
  const std::string reset = "Socket Error 10054 - Connection reset by peer";
  resetAndClose(connectBlocking(port));
  ASSERT_TRUE(eventually([&] { return countLog(varnok.out(), reset) == 1; }, 10000, {&varnok}));
  const int descriptors = openDescriptors(pid);

  int delivered = 1;
  for (int round = 1; round <= 2; ++round) {
    constexpr int kKnocking = 80;
    statusDump(varnok);  // every line logged so far has been read once the dump is here
    const int connectedBefore = countLog(varnok.out(), connected);
    DescriptorShortage flood(port);
    ASSERT_TRUE(flood.knock(kKnocking));
    // Each one is either taken in or turned away, and the shortage is
    // reported once for this round.
    int taken = 0;
    ASSERT_TRUE(eventually(
        [&] {
          taken = countLog(varnok.out(), connected) - connectedBefore;
          return taken + flood.turnedAway() == kKnocking &&
                 countLog(varnok.out(), shortage) == round;
        },
        10000, {&varnok}))
        << taken << " taken, " << flood.turnedAway() << " turned away\n"
        << varnok.out();
    EXPECT_GT(taken, 0);
    EXPECT_GT(flood.turnedAway(), 0);

    // Knocking on while nothing is free costs the program next to nothing.
    DescriptorShortage more(port);
    const std::int64_t cpuBefore = cpuNs(pid);
    const auto measureStart = Clock::now();
    ASSERT_TRUE(more.knock(20));
    eventually([] { return false; }, 1500, {&varnok});  // the measuring window
    const double seconds = std::chrono::duration<double>(Clock::now() - measureStart).count();
    const double cpuSeconds = static_cast<double>(cpuNs(pid) - cpuBefore) / 1e9;
    EXPECT_LT(cpuSeconds, 0.2 * seconds) << cpuSeconds << " s of CPU in " << seconds << " s";
    EXPECT_EQ(more.turnedAway(), 20);
    std::printf(
        "round %d: %d producers taken in, %d turned away; CPU %.3f s in %.1f s of knocking\n",
        round, taken, flood.turnedAway() + more.turnedAway(), cpuSeconds, seconds);

    // The connections it has are served, and so is the one from before.
    int kept = 0;
    EXPECT_TRUE(flood.commandOnEveryKept(kept));
    EXPECT_EQ(kept, taken);
    ASSERT_TRUE(before.command(tagged('G', round))) << before.error();
    delivered += kept + 1;
    EXPECT_EQ(countLog(varnok.out(), shortage), round) << varnok.out();

    // Once they have gone, new producers are served again without help.
    const int disconnectedBefore = countLog(varnok.out(), disconnected);
    flood.closeAll();
    more.closeAll();
    ASSERT_TRUE(eventually(
        [&] { return countLog(varnok.out(), disconnected) - disconnectedBefore == taken; }, 10000,
        {&varnok}));
    EXPECT_TRUE(eventually([&] { return openDescriptors(pid) == descriptors; }, 10000, {&varnok}))
        << openDescriptors(pid) << " descriptors open, " << descriptors << " before";
    AckedProducer after(port);
    ASSERT_TRUE(after.command(tagged('A', round))) << after.error();
    ++delivered;
  }

  // Everything that was acknowledged reached the encoder; the shortage was
  // the listener's alone, and reported once per shortage.
  Received got;
  ASSERT_TRUE(eventually(
      [&] {
        got = takeApart(encoder.received());
        std::size_t n = 0;
        for (const auto& [who, numbers] : got.tagged) n += numbers.size();
        return n >= static_cast<std::size_t>(delivered);
      },
      30000, {&varnok}));
  EXPECT_EQ(got.error, "");
  EXPECT_EQ(got.tagged['G'], upTo(3));
  EXPECT_EQ(countLog(varnok.out(), shortage), 2);
  for (const std::string& t : logTexts(varnok.out())) {
    EXPECT_TRUE(t.find("Error") == std::string::npos || t == shortage || t == reset) << t;
  }
  varnok.signal(SIGTERM);
  EXPECT_EQ(varnok.wait(), 0) << varnok.err();
}

}  // namespace
}  // namespace varnok::testing
