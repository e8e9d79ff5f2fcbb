// Many producers at once against four encoders, at the dispatch rate's cap:
// every command acknowledged, and delivered to every encoder exactly once and
// in each producer's order; at the end nothing waits, nothing failed, and a
// second wave of producers leaves the program's memory where the first left it.
//
// The size comes from VARNOK_SOAK_PRODUCERS and VARNOK_SOAK_COMMANDS (default
// 100 producers x 5 commands: 2000 sends, about 45 s at four slots' one
// action per 22 ms tick). `make soak` runs 1000 x 100: 400000 sends, about
// 2.5 hours. The producers come in two waves of half each.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
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

int sizeFromEnvironment(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  const int value = std::atoi(text);
  return value > 0 ? value : fallback;
}

std::string commandText(int producer, int command) {
  return "P" + std::to_string(producer) + "C" + std::to_string(command) + "\r";
}

// P producers on P connections, driven from one thread: each sends its next
// command only once the one before has been acknowledged, so no two of its
// commands ever arrive as one chunk. Stops by itself at the deadline.
class ProducerSwarm {
 public:
  // Producers first .. last-1, each with its commands 0 .. commands-1.
  ProducerSwarm(std::uint16_t port, int first, int last, int commands)
      : port_(port), first_(first), producers_(last - first), commands_(commands) {}

  // True when every command of every producer was acknowledged in time.
  bool run(Clock::time_point deadline) {
    struct Link {
      int fd = -1;
      int next = 0;       // the command waiting for its acknowledgement
      std::string reply;  // what has come of that acknowledgement
    };
    std::vector<Link> links(static_cast<std::size_t>(producers_));
    const sockaddr_in to = loopbackAddress("127.0.0.1", port_);
    for (Link& link : links) {
      link.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const timeval tv{5, 0};
      ::setsockopt(link.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      if (::connect(link.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        return fail("connect failed", links);
      }
    }
    std::vector<pollfd> fds;
    for (std::size_t p = 0; p < links.size(); ++p) {
      if (!send(links[p].fd, commandText(first_ + static_cast<int>(p), 0))) {
        return fail("send failed", links);
      }
      fds.push_back({links[p].fd, POLLIN, 0});
    }
    int open = producers_;
    while (open > 0) {
      if (Clock::now() >= deadline) return fail("deadline passed", links);
      if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
      for (std::size_t p = 0; p < links.size(); ++p) {
        if (fds[p].revents == 0) continue;
        Link& link = links[p];
        char buf[64];
        const ssize_t n = ::recv(link.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) {
          return fail("connection of producer " + std::to_string(first_ + p) + " ended", links);
        }
        link.reply.append(buf, static_cast<std::size_t>(n));
        if (link.reply.size() < kAckSize) continue;
        if (link.reply != kAck) {
          return fail("producer " + std::to_string(first_ + p) + " got " + link.reply, links);
        }
        link.reply.clear();
        acknowledged_.fetch_add(1);
        if (++link.next == commands_) {
          ::close(link.fd);
          link.fd = -1;
          fds[p].fd = -1;
          --open;
        } else if (!send(link.fd, commandText(first_ + static_cast<int>(p), link.next))) {
          return fail("send failed", links);
        }
      }
    }
    return true;
  }

  long acknowledged() const { return acknowledged_.load(); }
  const std::string& error() const { return error_; }

 private:
  static bool send(int fd, const std::string& text) {
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }
  template <class Links>
  bool fail(const std::string& why, Links& links) {
    error_ = why;
    for (auto& link : links) {
      if (link.fd >= 0) ::close(link.fd);
    }
    return false;
  }

  std::uint16_t port_;
  int first_;
  int producers_;
  int commands_;
  std::atomic<long> acknowledged_{0};
  std::string error_;
};

// Checks one encoder's bytes: P x C commands, each once, each producer's in
// the order sent. The first fault found, or "".
std::string checkDelivery(const std::string& bytes, int producers, int commands) {
  std::vector<int> next(static_cast<std::size_t>(producers), 0);
  long count = 0;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find('\r', start);
    if (end == std::string::npos) return "a command cut short at byte " + std::to_string(start);
    const std::string command = bytes.substr(start, end - start);
    start = end + 1;
    int p = -1, c = -1;
    char tail = 0;
    if (std::sscanf(command.c_str(), "P%dC%d%c", &p, &c, &tail) != 2 || p < 0 || p >= producers) {
      return "not a command of the run: " + command;
    }
    if (c != next[static_cast<std::size_t>(p)]) {
      return "producer " + std::to_string(p) + ": command " + std::to_string(c) + " came where " +
             std::to_string(next[static_cast<std::size_t>(p)]) + " was due";
    }
    ++next[static_cast<std::size_t>(p)];
    ++count;
  }
  for (int p = 0; p < producers; ++p) {
    if (next[static_cast<std::size_t>(p)] != commands) {
      return "producer " + std::to_string(p) + ": " +
             std::to_string(next[static_cast<std::size_t>(p)]) + " of " + std::to_string(commands) +
             " commands";
    }
  }
  return count == static_cast<long>(producers) * commands ? "" : "wrong count";
}

// Enough descriptors for the producers' connections, here and in the
// program, which inherits the limit.
bool raiseDescriptorLimit(rlim_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= wanted) return true;
  if (limit.rlim_max < wanted) return false;
  limit.rlim_cur = wanted;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

TEST(Soak, ProducersAtOnceReachFourEncodersExactlyOnceAndInOrder) {
  const int producers = sizeFromEnvironment("VARNOK_SOAK_PRODUCERS", 100);
  const int commands = sizeFromEnvironment("VARNOK_SOAK_COMMANDS", 5);
  constexpr int kEncoders = 4;
  ASSERT_TRUE(raiseDescriptorLimit(static_cast<rlim_t>(producers) + 256))
      << "too few descriptors for " << producers << " producers";

  TempDir work;
  std::vector<std::unique_ptr<EncoderSim>> encoders;
  std::string ini = "[General]\nEncoderCount=4\nThreads=4\nRepeat=0\nMaxMinutesInQueue=0\n";
  const std::uint16_t listen = closedPort();
  ini += "[Inputs]\nListenOnPort=" + std::to_string(listen) + "\n";
  for (int e = 1; e <= kEncoders; ++e) {
    encoders.push_back(std::make_unique<EncoderSim>(work, "encoder" + std::to_string(e)));
    ASSERT_NE(encoders.back()->port(), 0);
    ini += "[Encoder" + std::to_string(e) + "]\nName=Encoder " + std::to_string(e) +
           "\nHost=127.0.0.1\nPort=" + std::to_string(encoders.back()->port()) + "\n";
  }
  Installed app(ini);
  auto varnok = app.start();
  ASSERT_TRUE(varnok->waitForOutput("Listening on port " + std::to_string(listen) + "\n"))
      << varnok->out() << varnok->err();
  const pid_t pid = varnok->pid();
  const long rssStart = residentKb(pid);

  // Two waves of half the producers each, the second only once the first
  // has been delivered in full. The allocator keeps what the first wave's
  // queues freed for reuse, so the second must not raise the resident memory
  // above what the first left: growth from wave to wave is what a leak looks
  // like.
  const long sends = static_cast<long>(kEncoders) * producers * commands;
  // Sends at one per tick of 90/4 = 22 ms: about 45 a second in all.
  const int boundMs = static_cast<int>(sends * 1000 / 30) + 60000;
  const auto started = Clock::now();
  const int half = producers / 2;
  std::vector<std::pair<int, int>> waves;
  if (half > 0) waves.emplace_back(0, half);
  waves.emplace_back(half, producers);
  std::size_t perEncoder = 0;
  long rssPeak = rssStart;
  std::vector<long> rssAfterWave;
  for (const auto& [first, last] : waves) {
    ProducerSwarm swarm(listen, first, last, commands);
    std::atomic<bool> swarmDone{false};
    bool swarmOk = false;
    std::thread driver([&] {
      swarmOk = swarm.run(started + std::chrono::milliseconds(boundMs));
      swarmDone = true;
    });
    eventually([&] { return swarmDone.load(); }, boundMs + 10000, {varnok.get()});
    driver.join();
    ASSERT_TRUE(swarmOk) << swarm.error() << " after " << swarm.acknowledged()
                         << " acknowledgements";
    EXPECT_EQ(swarm.acknowledged(), static_cast<long>(last - first) * commands);

    for (int p = first; p < last; ++p) {
      for (int c = 0; c < commands; ++c) perEncoder += commandText(p, c).size();
    }
    const bool delivered = eventually(
        [&] {
          rssPeak = std::max(rssPeak, residentKb(pid));
          for (const auto& e : encoders) {
            if (e->receivedSize() < perEncoder) return false;
          }
          return true;
        },
        boundMs, {varnok.get()});
    ASSERT_TRUE(delivered) << "producers " << first << " to " << last - 1
                           << " not delivered within " << boundMs << " ms";
    rssAfterWave.push_back(residentKb(pid));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  for (const auto& e : encoders) {
    EXPECT_EQ(checkDelivery(e->received(), producers, commands), "") << e->name();
  }

  // Nothing waits, nothing failed. Every producer has gone.
  const auto rows = statusDump(*varnok);
  ASSERT_EQ(rows.size(), static_cast<std::size_t>(kEncoders)) << varnok->out();
  for (const auto& [name, row] : rows) {
    EXPECT_EQ(row.queue, "0") << name;
    EXPECT_EQ(row.errors, "") << name;
    EXPECT_EQ(row.enabled, "Yes") << name;
  }
  const std::string disconnected = "Client 127.0.0.1:" + std::to_string(listen) + " disconnected";
  EXPECT_TRUE(eventually([&] { return countLog(varnok->out(), disconnected) == producers; }, 10000,
                         {varnok.get()}))
      << countLog(varnok->out(), disconnected) << " of " << producers << " disconnections logged";
  // The encoders got all and no more: a late duplicate would show here.
  for (const auto& e : encoders) EXPECT_EQ(e->receivedSize(), perEncoder) << e->name();

  const long rssEnd = residentKb(pid);
  rssPeak = std::max(rssPeak, peakResidentKb(pid));
  std::printf(
      "soak %d x %d: %ld sends in %.1f s (%.1f/s); resident memory %ld KiB at the start, %ld KiB "
      "after the first wave, %ld KiB at the most, %ld KiB at the end\n",
      producers, commands, sends, seconds, static_cast<double>(sends) / seconds, rssStart,
      rssAfterWave.front(), rssPeak, rssEnd);
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer keeps freed memory in quarantine, so resident memory says
  // little here; its leak check at exit (the exit status below) stands in.
#else
  const long firstWaveGrowth = rssAfterWave.front() - rssStart;
  EXPECT_LE(rssEnd, rssAfterWave.front() + 1024 + std::max(0L, firstWaveGrowth) / 4)
      << "the second wave left the program bigger than the first did";
#endif

  varnok->signal(SIGTERM);
  EXPECT_EQ(varnok->wait(), 0) << varnok->err();
  // And nothing went wrong on the way.
  for (const std::string& t : logTexts(varnok->out())) {
    EXPECT_TRUE(t.find("Error") == std::string::npos && t.rfind("Connection ", 0) != 0) << t;
  }
}

}  // namespace
}  // namespace varnok::testing
