// The one accept path of every listener (the producer listener, the status
// page, the hand-off channel), with the settings each of them uses.

#include "platform/acceptor.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "support/descriptor_fill.h"
#include "support/loopback.h"
#include "support/virtual_time.h"

namespace varnok {
namespace {

using testing::DescriptorFill;

UniqueFd listeningSocket() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const sockaddr_in any = testing::loopbackAddress("127.0.0.1", 0);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 ||
      ::listen(fd.get(), 64) != 0) {
    fd.reset();
  }
  return fd;
}

UniqueFd client(std::uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in to = testing::loopbackAddress("127.0.0.1", port);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) fd.reset();
  return fd;
}

struct Setting {
  int perReadiness;
  bool reports;
};
// The producer listener, the status page, the hand-off channel.
constexpr Setting kSettings[] = {{1, true}, {16, true}, {16, false}};

class AcceptorTest : public ::testing::Test {
 protected:
  void open(Setting setting, UniqueFd listening = listeningSocket()) {
    Acceptor::Handlers handlers{
        .accepted =
            [this](UniqueFd fd, const sockaddr_storage& peer, socklen_t) {
              EXPECT_EQ(peer.ss_family, AF_INET);
              accepted.push_back(std::move(fd));
            },
        .batchDone = [this] { ++batches; },
        .failed = {},
    };
    if (setting.reports) handlers.failed = [this](int err) { errors.push_back(err); };
    acceptor.emplace(loop, std::move(listening), setting.perReadiness, std::move(handlers));
    ASSERT_TRUE(acceptor->start());
    port = testing::localPort(acceptor->fd());
  }

  // The sanitizer's check of a call on a polymorphic object reads the vtable
  // through a pipe the first time it meets a pair of types, and reports a
  // false error when no descriptor is left for that pipe: every path used
  // while descriptors are short runs once before.
  void warmUp() {
    Timer tick(loop, [] {});
    tick.setInterval(1);
    tick.setEnabled(true);
    time.advance(1);
    const UniqueFd first = client(port);
    time.runUntil([&] { return !accepted.empty(); }, 2000);
    accepted.clear();
    batches = 0;
  }

  ManualClock clock;
  Application app;
  EventLoop loop{clock, app};
  testing::VirtualTime time{loop, clock};
  std::optional<Acceptor> acceptor;
  std::uint16_t port = 0;
  std::vector<UniqueFd> accepted;
  std::vector<int> errors;
  int batches = 0;
};

TEST_F(AcceptorTest, TakesAtMostItsShareOfTheWaitingClientsPerReadiness) {
  for (const Setting setting : kSettings) {
    accepted.clear();
    batches = 0;
    open(setting);
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 20; ++i) clients.push_back(client(port));
    int rounds = 0;
    while (accepted.size() < clients.size() && rounds < 100) {
      loop.runOnce(20);
      ++rounds;
      EXPECT_LE(accepted.size(), static_cast<std::size_t>(rounds * setting.perReadiness));
    }
    EXPECT_EQ(accepted.size(), 20u) << setting.perReadiness;
    EXPECT_EQ(batches, rounds);
    EXPECT_EQ(rounds, (20 + setting.perReadiness - 1) / setting.perReadiness);
    acceptor.reset();
  }
}

// While no descriptor is left, a failing check would want one for its
// message, so the tests only take notes then and check them afterwards.

TEST_F(AcceptorTest, OutOfDescriptorsClientsAreTurnedAwayAndTheShortageToldOnce) {
  for (const Setting setting : kSettings) {
    errors.clear();
    open(setting);
    warmUp();
    // Made while there are descriptors, connected after.
    std::vector<UniqueFd> knocking;
    std::vector<int> fds;
    for (int i = 0; i < 20; ++i) {
      knocking.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      fds.push_back(knocking.back().get());
    }
    const testing::Knocked knocked = testing::knockWhileFull(loop, port, fds);
    EXPECT_LE(knocked.busy, 1) << setting.perReadiness;
    EXPECT_EQ(knocked.turnedAway, 20);
    EXPECT_TRUE(accepted.empty());
    EXPECT_EQ(errors, setting.reports ? std::vector<int>{EMFILE} : std::vector<int>{});
    EXPECT_EQ(acceptor->spare().turnedAway(), 20u);
    // Descriptors are back: the next client is taken, and a later shortage
    // would be told again.
    const UniqueFd later = client(port);
    EXPECT_TRUE(time.runUntil([&] { return !accepted.empty(); }, 2000));
    accepted.clear();
    acceptor.reset();
  }
}

TEST_F(AcceptorTest, WithoutAReserveAcceptingPausesAndResumesByItself) {
  UniqueFd waiting(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  open(kSettings[0]);
  warmUp();
  acceptor.reset();
  UniqueFd listening = listeningSocket();
  bool full = false, reserveHeld = true, connected = false;
  int busyAtFirst = -1, busyAfterRetry = -1;
  std::size_t acceptedWhileShort = 0;
  auto busyRounds = [&] {
    int busy = 0;
    for (int i = 0; i < 50; ++i) {
      pollfd p{loop.fd(), POLLIN, 0};
      if (::poll(&p, 1, 0) == 1) ++busy;
      loop.runOnce(0);
    }
    return busy;
  };
  {
    DescriptorFill fill;
    full = fill.full();
    open(kSettings[0], std::move(listening));  // no descriptor left for the reserve
    reserveHeld = acceptor->spare().held();
    const sockaddr_in to = testing::loopbackAddress("127.0.0.1", port);
    connected = ::connect(waiting.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    if (full && connected) {
      busyAtFirst = busyRounds();
      time.advance(SpareDescriptor::kDefaultPauseMs);  // tries again: still none free
      busyAfterRetry = busyRounds();
      acceptedWhileShort = accepted.size();
    }
    fill.release(4);
    time.advance(SpareDescriptor::kDefaultPauseMs);
    time.runUntil([&] { return !accepted.empty(); }, 2000);
  }
  ASSERT_TRUE(full);
  ASSERT_TRUE(connected);
  EXPECT_FALSE(reserveHeld);
  EXPECT_LE(busyAtFirst, 1);
  EXPECT_EQ(busyAfterRetry, 0);
  EXPECT_EQ(acceptedWhileShort, 0u);
  EXPECT_EQ(errors, std::vector<int>{EMFILE});
  // The client waited in the backlog and was taken, not turned away.
  EXPECT_EQ(accepted.size(), 1u);
  EXPECT_EQ(acceptor->spare().turnedAway(), 0u);
  EXPECT_TRUE(acceptor->spare().held());
}

}  // namespace
}  // namespace varnok
