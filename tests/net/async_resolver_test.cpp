#include "net/async_resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dns_stub.h"
#include "net_test_support.h"

namespace varnok::net {
namespace {

using testing::DnsStub;
using Events = std::vector<std::string>;

std::string dotted(std::optional<in_addr_t> address) {
  if (!address) return "none";
  in_addr a{};
  a.s_addr = *address;
  return inet_ntoa(a);
}

// Open descriptors of the process: a channel left open shows as its socket.
std::size_t openDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++n;
  }
  return n;
}

class AsyncResolverTest : public testing::NetTest {
 protected:
  void TearDown() override {
    setResolverServers("");
    NetTest::TearDown();
  }

  ResolveCallback answerTo(const std::string& label) {
    return [this, label](std::optional<in_addr_t> address) {
      events.push_back("answer " + label + " " + dotted(address));
    };
  }

  bool answered(const ResolveRequest& request) {
    return runUntil([&] { return !request.pending(); });
  }
};

TEST_F(AsyncResolverTest, SlowNameServerLeavesTheLoopRunning) {
  DnsStub dns({{"slow.varnok.test", {{"10.1.2.3"}, 1000}}});
  setResolverServers(dns.server());
  Timer tick(loop, [this] { events.push_back("tick"); });
  tick.setInterval(100);
  tick.setEnabled(true);

  auto request = resolveHostAsync(loop, "slow.varnok.test", answerTo("slow"));
  loop.post([this] { events.push_back("posted"); });
  EXPECT_TRUE(request->pending());
  EXPECT_TRUE(events.empty());

  // The question is at the name server, which sits on it for a second; the
  // loop meanwhile runs posted work and timers.
  ASSERT_TRUE(runUntil([&] { return dns.queries() > 0; }));
  time.advance(250);
  tick.setEnabled(false);
  ASSERT_TRUE(answered(*request));
  EXPECT_EQ(events, (Events{"posted", "tick", "tick", "answer slow 10.1.2.3"}));
  EXPECT_EQ(loop.msUntilNextTimer(), -1);  // c-ares's timeout went with its channel
}

TEST_F(AsyncResolverTest, FirstAddressOfTheAnswerOrNoneForAnUnknownName) {
  DnsStub dns({{"pair.varnok.test", {{"10.0.0.7", "10.0.0.8"}}}});
  setResolverServers(dns.server());
  auto pair = resolveHostAsync(loop, "pair.varnok.test", answerTo("pair"));
  auto unknown = resolveHostAsync(loop, "nosuch.varnok.test", answerTo("nosuch"));
  ASSERT_TRUE(answered(*pair));
  ASSERT_TRUE(answered(*unknown));
  std::sort(events.begin(), events.end());
  EXPECT_EQ(events, (Events{"answer nosuch none", "answer pair 10.0.0.7"}));
}

TEST_F(AsyncResolverTest, DroppedRequestIsNeverAnswered) {
  DnsStub dns(
      {{"late.varnok.test", {{"10.3.3.3"}, 300}}, {"kept.varnok.test", {{"10.3.3.4"}, 300}}});
  setResolverServers(dns.server());
  const std::size_t idle = openDescriptors();

  // Two lookups share the channel; dropping one leaves the other.
  auto late = resolveHostAsync(loop, "late.varnok.test", answerTo("late"));
  auto kept = resolveHostAsync(loop, "kept.varnok.test", answerTo("kept"));
  ASSERT_TRUE(runUntil([&] { return dns.queries() >= 2; }));
  EXPECT_GT(openDescriptors(), idle);
  late.reset();
  ASSERT_TRUE(answered(*kept));
  ASSERT_TRUE(runUntil([&] { return dns.answers() >= 2; }));
  settle();
  EXPECT_EQ(events, Events{"answer kept 10.3.3.4"});

  // The last lookup in flight: dropping it closes the channel at once.
  auto again = resolveHostAsync(loop, "late.varnok.test", answerTo("again"));
  ASSERT_TRUE(runUntil([&] { return dns.queries() >= 3; }));
  again->cancel();
  EXPECT_FALSE(again->pending());
  EXPECT_EQ(openDescriptors(), idle);
  EXPECT_EQ(loop.msUntilNextTimer(), -1);
  ASSERT_TRUE(runUntil([&] { return dns.answers() >= 3; }));
  settle();

  // An answer already posted to the loop (the hosts file answers at once)
  // is dropped with its request, and so is one overwritten by a move.
  auto posted = resolveHostAsync(loop, "localhost", answerTo("posted"));
  posted.reset();
  auto overwritten = resolveHostAsync(loop, "localhost", answerTo("overwritten"));
  auto winner = resolveHostAsync(loop, "localhost", answerTo("winner"));
  *overwritten = std::move(*winner);
  ASSERT_TRUE(answered(*overwritten));
  settle();
  EXPECT_EQ(events, (Events{"answer kept 10.3.3.4", "answer winner 127.0.0.1"}));
  EXPECT_EQ(openDescriptors(), idle);
}

TEST_F(AsyncResolverTest, InstalledResolverAnswersOnTheLoopInsteadOfTheNameServers) {
  DnsStub dns({{"encoder.varnok.test", {{"10.9.9.9"}}}});
  setResolverServers(dns.server());
  Events asked;
  setHostResolver([&asked](const std::string& host) -> std::optional<in_addr_t> {
    asked.push_back(host);
    if (host == "encoder.varnok.test") return inet_addr("10.2.2.2");
    return std::nullopt;
  });

  auto known = resolveHostAsync(loop, "encoder.varnok.test", answerTo("known"));
  auto unknown = resolveHostAsync(loop, "elsewhere.varnok.test", answerTo("unknown"));
  auto dropped = resolveHostAsync(loop, "dropped.varnok.test", answerTo("dropped"));
  dropped.reset();
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(asked.empty());
  ASSERT_TRUE(answered(*known));
  ASSERT_TRUE(answered(*unknown));
  settle();
  EXPECT_EQ(events, (Events{"answer known 10.2.2.2", "answer unknown none"}));
  EXPECT_EQ(asked, (Events{"encoder.varnok.test", "elsewhere.varnok.test"}));
  EXPECT_EQ(dns.queries(), 0);
}

TEST_F(AsyncResolverTest, LocalhostComesFromTheHostsFile) {
  // The name server would say otherwise, if it were asked.
  DnsStub dns({{"localhost", {{"10.9.9.9"}}}});
  setResolverServers(dns.server());
  auto request = resolveHostAsync(loop, "localhost", answerTo("localhost"));
  EXPECT_TRUE(events.empty());
  ASSERT_TRUE(answered(*request));
  EXPECT_EQ(events, Events{"answer localhost 127.0.0.1"});
  EXPECT_EQ(dns.queries(), 0);
}

// c-ares keeps its own real-time clock for retransmissions; the loop's timer
// only wakes it when its next timeout falls due. Virtual time runs ahead of
// c-ares's here, so the timer fires before anything is due: the lookup must
// stay in flight with the timer armed again, or a lost datagram would leave
// the name unanswered for good.
TEST_F(AsyncResolverTest, TimerFollowsTheTimeoutOfTheQueryInFlight) {
  DnsStub dns({{"quiet.varnok.test", {{"10.4.4.4"}, 3000}}});
  setResolverServers(dns.server());
  auto request = resolveHostAsync(loop, "quiet.varnok.test", answerTo("quiet"));
  ASSERT_TRUE(runUntil([&] { return dns.queries() > 0; }));
  const std::int64_t wait = loop.msUntilNextTimer();
  EXPECT_GT(wait, 0);
  time.advance(wait);
  EXPECT_GT(loop.msUntilNextTimer(), 0);
  EXPECT_TRUE(request->pending());
  request.reset();
  EXPECT_EQ(loop.msUntilNextTimer(), -1);
  EXPECT_TRUE(events.empty());
}

TEST_F(AsyncResolverTest, ServerListThatCAresRefusesIsRejected) {
  EXPECT_THROW(setResolverServers("not an address"), std::invalid_argument);
}

}  // namespace
}  // namespace varnok::net
