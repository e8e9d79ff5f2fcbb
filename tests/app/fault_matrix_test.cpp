// One encoder misbehaving beside a healthy one, against the real program
// started headless in its own folder, with both encoders as simulator
// processes. The healthy encoder must receive everything, whole, in order
// and in bounded time, and the bad one's counters, log lines and status
// cells must be what the program defines for what it did. There is one
// sender slot, so the two encoders also compete for it: the bad one must
// not keep it.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "installed.h"
#include "process_harness.h"
#include "support/acked_producer.h"
#include "support/loopback.h"
#include "support/proc_stats.h"

namespace varnok::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kShortCommands = 30;
constexpr std::size_t kBulkBytes = 4u << 20;  // well past what a socket's buffers hold
constexpr std::size_t kBulkWrite = 1u << 20;
constexpr int kHealthyBoundMs = 60000;

const std::string kRefused = "Socket Error 10061 - Connection refused (Bad)";
const std::string kReset = "Socket Error 10054 - Connection reset by peer (Bad)";
const std::string kDropped = "Connection closed by the encoder before any command was sent (Bad)";

// What the bad encoder ends up with.
enum class BadGets {
  Nothing,      // no byte ever reached it
  NothingRead,  // it read nothing, whatever its buffers hold
  Everything,   // every command, whole and in order
  InItsBuffer,  // everything was taken by its kernel, though it read only a little
};

struct FaultCase {
  std::string name;
  std::vector<std::string> badArgs;  // the bad simulator's mode and options
  bool bulk = false;                 // 4 MiB in 1 MiB writes instead of short commands
  bool comesBack = false;            // SuspendForMinutes=0; told to listen once suspended
  // The bad encoder's status cells at the end; "counted" for errors: one or
  // more (how many connections its losses take depends on the buffers), and
  // then "Yes" or "Suspended".
  std::string errors, enabled;
  bool allQueued = false;              // its queue still holds every command
  std::map<std::string, int> lines{};  // exact log lines that name it, and how often
  bool lossLogged = false;             // "Connection ended with N bytes ..." at least once
  BadGets gets = BadGets::Nothing;
  bool busyPeer = false;       // the peer writes without pause: reading it costs CPU
  bool programCloses = false;  // it never ends a connection: the program must, to pass the slot on
};

void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.name;
}

std::string iniFor(const FaultCase& c, std::uint16_t listen, std::uint16_t bad,
                   std::uint16_t healthy) {
  return "[General]\nEncoderCount=2\nThreads=1\nRepeat=0\nMaxMinutesInQueue=0\nErrorLimit=3\n"
         "SuspendForMinutes=" +
         std::string(c.comesBack ? "0" : "5") +
         "\n[Inputs]\nListenOnPort=" + std::to_string(listen) +
         "\n[Encoder1]\nName=Bad\nHost=127.0.0.1\nPort=" + std::to_string(bad) +
         "\n[Encoder2]\nName=Healthy\nHost=127.0.0.1\nPort=" + std::to_string(healthy) + "\n";
}

// Distinct bytes throughout, so that a loss, a cut or a reordering shows.
std::string bulkStream() {
  std::string s;
  s.reserve(kBulkBytes);
  char record[32];
  for (int i = 0; s.size() < kBulkBytes; ++i) {
    std::snprintf(record, sizeof record, "B%09d:abcdefghijklmnopq\r", i);
    s += record;
  }
  s.resize(kBulkBytes);
  s.back() = '\r';
  return s;
}

// A producer that writes a large stream in 1 MiB writes as fast as it is
// taken, reading the acknowledgements meanwhile. The program reads at most
// 64 KiB at a time, and each chunk it reads is one command: the encoders
// must get the stream back whole and in order.
class BulkProducer {
 public:
  explicit BulkProducer(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = loopbackAddress("127.0.0.1", port);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~BulkProducer() { ::close(fd_); }

  // Writes all of stream within timeoutMs; false when it could not.
  bool write(const std::string& stream, int timeoutMs) {
    std::size_t sent = 0;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (connected_ && sent < stream.size() && Clock::now() < end) {
      pollfd p{fd_, POLLIN | POLLOUT, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      if (p.revents & POLLIN) readAcks();
      if (p.revents & POLLOUT) {
        const std::size_t n = std::min(kBulkWrite, stream.size() - sent);
        const ssize_t w = ::send(fd_, stream.data() + sent, n, MSG_NOSIGNAL);
        if (w > 0) sent += static_cast<std::size_t>(w);
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      }
    }
    return sent == stream.size();
  }
  // Collects the acknowledgements that have come.
  const std::string& readAcks() {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      acks_.append(buf, static_cast<std::size_t>(n));
    }
    return acks_;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string acks_;
};

bool onlyAcknowledgements(const std::string& replies) {
  if (replies.size() % kAckSize != 0) return false;
  for (std::size_t at = 0; at < replies.size(); at += kAckSize) {
    if (replies.compare(at, kAckSize, kAck) != 0) return false;
  }
  return true;
}

// What the bad simulator's connections took in all, read or not: the sums
// of its "... after N bytes, X bytes left unread" lines (noread ones say
// only "X bytes left unread").
std::size_t takenByItsConnections(const std::string& events) {
  std::size_t total = 0;
  std::istringstream lines(events);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t unreadAt = line.find(" bytes left unread");
    if (unreadAt == std::string::npos) continue;
    const std::size_t number = line.find_last_of(' ', unreadAt - 1) + 1;
    total += std::stoul(line.substr(number, unreadAt - number));
    const std::size_t after = line.find(" after ");
    if (after != std::string::npos) total += std::stoul(line.substr(after + 7));
  }
  return total;
}

int occurrences(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
  return n;
}

// What the program logged as lost on the encoder's connections ("Connection
// ended with N bytes of commands not delivered (name)"), and in how many lines.
std::pair<std::size_t, int> loggedLosses(const std::string& out, const std::string& name) {
  const std::string head = "Connection ended with ";
  const std::string tail = " bytes of commands not delivered (" + name + ")";
  std::size_t bytes = 0;
  int lines = 0;
  for (const std::string& t : logNaming(out, name)) {
    if (t.rfind(head, 0) != 0 || t.size() <= head.size() + tail.size() ||
        t.compare(t.size() - tail.size(), tail.size(), tail) != 0) {
      continue;
    }
    bytes += std::stoul(t.substr(head.size()));
    ++lines;
  }
  return {bytes, lines};
}

class FaultMatrix : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultMatrix, HealthyEncoderKeepsReceivingAndTheBadOneIsHandledAsDefined) {
  const FaultCase& c = GetParam();
  TempDir work;
  EncoderSim bad(work, "bad", c.badArgs);
  EncoderSim healthy(work, "healthy");
  ASSERT_NE(bad.port(), 0) << bad.process().err();
  ASSERT_NE(healthy.port(), 0) << healthy.process().err();
  const std::uint16_t listen = closedPort();
  Installed app(iniFor(c, listen, bad.port(), healthy.port()));
  auto varnok = app.start();
  ASSERT_TRUE(varnok->waitForOutput("Listening on port " + std::to_string(listen) + "\n"))
      << varnok->out() << varnok->err();
  const std::int64_t cpuBefore = cpuNs(varnok->pid());
  const auto started = Clock::now();

  // The bad encoder is Encoder1: where both wait equally long it is chosen first.
  std::string stream;
  std::unique_ptr<BulkProducer> bulk;
  if (c.bulk) {
    stream = bulkStream();
    bulk = std::make_unique<BulkProducer>(listen);
    ASSERT_TRUE(bulk->write(stream, 30000)) << "the producer could not write its stream";
  } else {
    AckedProducer producer(listen);
    ASSERT_TRUE(producer.connected());
    for (int i = 0; i < kShortCommands; ++i) {
      const std::string command = "RT=Command " + std::to_string(i) + "\r";
      ASSERT_TRUE(producer.command(command)) << i << ": " << producer.error();
      stream += command;
    }
  }

  if (c.comesBack) {
    // Suspended after the third refusal; then the encoder comes back on the
    // same port, and the next check (every 10 s, SuspendForMinutes=0)
    // resumes it.
    ASSERT_TRUE(
        eventually([&] { return countLog(varnok->out(), kRefused) >= 3; }, 10000, {varnok.get()}))
        << varnok->out();
    const auto rows = statusDump(*varnok);
    ASSERT_EQ(rows.count("Bad"), 1u) << varnok->out();
    EXPECT_EQ(rows.at("Bad").enabled, "Suspended");
    EXPECT_EQ(rows.at("Bad").errors, "3");
    bad.signal(SIGUSR1);
    ASSERT_TRUE(eventually([&] { return bad.events().find("listening on") != std::string::npos; },
                           5000, {varnok.get()}));
  }

  ASSERT_TRUE(eventually([&] { return healthy.receivedSize() >= stream.size(); }, kHealthyBoundMs,
                         {varnok.get()}))
      << "the healthy encoder got " << healthy.receivedSize() << " of " << stream.size()
      << " bytes\n"
      << varnok->out();
  const double healthySeconds = std::chrono::duration<double>(Clock::now() - started).count();
  const std::string got = healthy.received();
  EXPECT_TRUE(got == stream) << "the healthy encoder's bytes differ from what was sent ("
                             << got.size() << " bytes)";
  if (bulk) {
    // One acknowledgement per chunk read, and a chunk is at most 64 KiB.
    const std::string& acks = bulk->readAcks();
    EXPECT_TRUE(onlyAcknowledgements(acks));
    EXPECT_GE(acks.size() / kAckSize, kBulkBytes / 65536);
  }

  switch (c.gets) {
    case BadGets::Nothing:
      EXPECT_EQ(bad.receivedSize(), 0u);
      break;
    case BadGets::NothingRead:
      // Every byte it was given is either still in its buffer or logged as
      // lost when the program closed the connection: none goes unaccounted.
      ASSERT_TRUE(eventually(
          [&] {
            return takenByItsConnections(bad.events()) + loggedLosses(varnok->out(), "Bad").first >=
                   stream.size();
          },
          30000, {varnok.get()}))
          << varnok->out() << bad.events();
      EXPECT_EQ(takenByItsConnections(bad.events()) + loggedLosses(varnok->out(), "Bad").first,
                stream.size());
      EXPECT_EQ(bad.receivedSize(), 0u);
      break;
    case BadGets::Everything:
      ASSERT_TRUE(
          eventually([&] { return bad.receivedSize() >= stream.size(); }, 30000, {varnok.get()}))
          << bad.receivedSize() << " of " << stream.size() << "\n"
          << varnok->out();
      EXPECT_TRUE(bad.received() == stream);
      break;
    case BadGets::InItsBuffer:
      // Passed on to the healthy one, the connection was closed by the
      // program: the simulator's buffer held everything it was sent.
      ASSERT_TRUE(eventually([&] { return takenByItsConnections(bad.events()) >= stream.size(); },
                             20000, {varnok.get()}))
          << bad.events();
      EXPECT_EQ(takenByItsConnections(bad.events()), stream.size());
      if (occurrences(bad.events(), "open from") == 1) {
        EXPECT_EQ(bad.received(), stream.substr(0, bad.receivedSize()));
      }
      break;
  }
  if (c.programCloses) {
    // "closed by peer after N bytes" or "reset by peer after N bytes": it was
    // the program that ended the connection.
    EXPECT_TRUE(
        eventually([&] { return bad.events().find(" by peer after ") != std::string::npos; }, 10000,
                   {varnok.get()}))
        << bad.events();
  }

  const auto rows = statusDump(*varnok);
  ASSERT_EQ(rows.count("Bad"), 1u) << varnok->out();
  ASSERT_EQ(rows.count("Healthy"), 1u) << varnok->out();
  EXPECT_EQ(rows.at("Healthy").queue, "0");
  EXPECT_EQ(rows.at("Healthy").errors, "");
  EXPECT_EQ(rows.at("Healthy").enabled, "Yes");
  if (c.errors == "counted") {
    EXPECT_GE(std::atoi(rows.at("Bad").errors.c_str()), 1);
    EXPECT_TRUE(rows.at("Bad").enabled == "Yes" || rows.at("Bad").enabled == "Suspended");
  } else {
    EXPECT_EQ(rows.at("Bad").errors, c.errors);
    EXPECT_EQ(rows.at("Bad").enabled, c.enabled);
  }
  if (c.allQueued) {
    EXPECT_EQ(rows.at("Bad").queue, std::to_string(kShortCommands));
  }
  if (c.gets != BadGets::Nothing) {
    EXPECT_EQ(rows.at("Bad").queue, "0");
  }

  // Every line that names the bad encoder is one the case expects.
  std::map<std::string, int> named;
  for (const std::string& t : logNaming(varnok->out(), "Bad")) {
    if (!c.lossLogged || t.rfind("Connection ended with ", 0) != 0) ++named[t];
  }
  EXPECT_EQ(named, c.lines) << varnok->out();
  if (c.lossLogged) {
    EXPECT_GE(loggedLosses(varnok->out(), "Bad").second, 1);
  }
  EXPECT_EQ(logNaming(varnok->out(), "Healthy"), std::vector<std::string>{}) << varnok->out();

  // Waiting on a bad peer costs nothing: the program never spins.
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  const double cpuSeconds = static_cast<double>(cpuNs(varnok->pid()) - cpuBefore) / 1e9;
  if (!c.busyPeer) {
    EXPECT_LT(cpuSeconds, 0.5 * seconds);
  }
  std::printf("[ %s ] healthy encoder complete after %.1f s; program CPU %.2f s in %.1f s\n",
              c.name.c_str(), healthySeconds, cpuSeconds, seconds);

  varnok->signal(SIGTERM);
  EXPECT_EQ(varnok->wait(), 0) << varnok->err();
}

std::vector<FaultCase> faultCases() {
  std::vector<FaultCase> cases;
  // Every connect refused: three failures in a row suspend it, and its
  // commands wait for the resumption.
  cases.push_back({.name = "Refuses",
                   .badArgs = {"--mode", "refuse"},
                   .errors = "3",
                   .enabled = "Suspended",
                   .allQueued = true,
                   .lines = {{kRefused, 3}}});
  // Accepted, then reset or closed before any command went out: failed
  // attempts all the same.
  cases.push_back({.name = "ResetsAtOnce",
                   .badArgs = {"--mode", "reset"},
                   .errors = "3",
                   .enabled = "Suspended",
                   .allQueued = true,
                   .lines = {{kDropped, 3}, {kReset, 3}}});
  cases.push_back({.name = "ClosesAtOnce",
                   .badArgs = {"--mode", "close"},
                   .errors = "3",
                   .enabled = "Suspended",
                   .allQueued = true,
                   .lines = {{kDropped, 3}}});
  // Takes what its buffers hold, then nothing: the connection is closed to
  // pass the slot on, and what it had not taken is logged as lost. Having
  // acknowledged nothing while it drained, it is counted as a failed attempt.
  cases.push_back({.name = "NeverReads",
                   .badArgs = {"--mode", "noread", "--rcvbuf", "4096"},
                   .bulk = true,
                   .errors = "counted",
                   .enabled = "counted",
                   .lossLogged = true,
                   .gets = BadGets::NothingRead});
  // Room in its buffer: every command is taken at once, read or not.
  cases.push_back({.name = "ReadsAByteASecond",
                   .badArgs = {"--mode", "slowread"},
                   .errors = "",
                   .enabled = "Yes",
                   .gets = BadGets::InItsBuffer});
  // What it sends back is read and thrown away.
  cases.push_back({.name = "SendsGarbageWithoutPause",
                   .badArgs = {"--mode", "garbage"},
                   .errors = "",
                   .enabled = "Yes",
                   .gets = BadGets::Everything,
                   .busyPeer = true,
                   .programCloses = true});
  // Never closes, never answers: closed once idle, to pass the slot on.
  cases.push_back({.name = "HoldsTheConnectionOpen",
                   .badArgs = {},
                   .errors = "",
                   .enabled = "Yes",
                   .gets = BadGets::Everything,
                   .programCloses = true});
  // Suspended, then back on the same port: resumed, its queue delivered
  // whole; the failures stay counted.
  cases.push_back({.name = "ComesBackAfterSuspension",
                   .badArgs = {"--mode", "comeback"},
                   .comesBack = true,
                   .errors = "3",
                   .enabled = "Yes",
                   .lines = {{kRefused, 3}},
                   .gets = BadGets::Everything});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(OneBadEncoder, FaultMatrix, ::testing::ValuesIn(faultCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace varnok::testing
