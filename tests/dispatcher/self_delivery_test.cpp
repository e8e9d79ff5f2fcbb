// An encoder that would deliver to Varnok's own listening port, however its
// host is written or whatever its name resolves to, is switched off before a
// single command comes back in; with another port it is served as usual.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>

#include <algorithm>
#include <optional>

#include "dispatcher_fixture.h"
#include "net/async_resolver.h"
#include "support/loopback.h"

namespace varnok::testing {
namespace {

// An address of this machine's own interfaces other than loopback, read
// over netlink rather than as the program reads them; "" when none.
std::string interfaceAddress() {
  std::string found;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return found;
  for (const ifaddrs* i = list; i != nullptr && found.empty(); i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    const in_addr a = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr;
    if ((ntohl(a.s_addr) >> 24) != 127) found = inet_ntoa(a);
  }
  ::freeifaddrs(list);
  return found;
}

struct Spelling {
  const char* label;
  std::string host;        // "own": the interface address
  std::string resolvesTo;  // not empty: host is a name the resolver answers so
  bool ownPort;            // dialled at the listening port, else at an encoder's
  bool atStartUp;          // caught as the configuration is read
};
void PrintTo(const Spelling& row, std::ostream* out) {
  *out << row.label;
}

class SelfDeliveryTest : public DispatcherTest, public ::testing::WithParamInterface<Spelling> {
 protected:
  void TearDown() override { net::setHostResolver({}); }
};

TEST_P(SelfDeliveryTest, IsSwitchedOffOnceAndNothingComesBack) {
  const Spelling& row = GetParam();
  const std::string own = interfaceAddress();
  if ((row.host == "own" || row.resolvesTo == "own") && own.empty()) GTEST_SKIP();
  const auto meant = [&](const std::string& h) { return h == "own" ? own : h; };
  if (!row.resolvesTo.empty()) {
    const in_addr_t answer = inet_addr(meant(row.resolvesTo).c_str());
    net::setHostResolver([answer](const std::string&) { return std::optional(answer); });
  }
  EncoderStub other(loop);
  const std::uint16_t listening = closedPort();
  const std::string port = std::to_string(row.ownPort ? listening : other.port);
  create("[General]\nEncoderCount=1\nThreads=1\nRepeat=2\n[Inputs]\nListenOnPort=" +
         std::to_string(listening) + "\n[Encoder1]\nName=Self\nHost=" + meant(row.host) +
         "\nPort=" + port + "\n");
  ASSERT_TRUE(dispatcher->listening());
  EXPECT_EQ(!peer().encoders()[0].enabled, row.ownPort && row.atStartUp);

  dispatcher->queueCommand("RT=again\r");
  for (int i = 0; i < 80; ++i) {
    time.advance(peer().dispatchTimer().interval());
    loop.runOnce(2);
  }
  const Encoder& e = peer().encoders()[0];
  const std::vector<std::string> lines = logTexts();
  const auto count = [&](const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](auto& t) { return t.starts_with(prefix); });
  };
  EXPECT_EQ(count("Socket Error") + count("Application Error"), 0)
      << ::testing::PrintToString(lines);
  EXPECT_EQ(count("Encoder Self switched off - " + meant(row.host) + ":" + port +
                  " is Varnok's own listening port"),
            row.ownPort ? 1 : 0);
  EXPECT_EQ(e.enabled && e.active, !row.ownPort);
  EXPECT_EQ(dispatcher->statusTable().cell(kColEnabled, 1), row.ownPort ? "No" : "Yes");
  // Nothing came back in; a refusal is no failed attempt and binds no slot.
  EXPECT_EQ(dispatcher->counters().receivedTcp, 0u);
  EXPECT_EQ(e.errors, 0);
  EXPECT_EQ(dispatcher->senderSlots()[0].encoder(), row.ownPort ? SenderSlot::kNone : 0);
  EXPECT_EQ(other.received, row.ownPort ? "" : "RT=again\rRT=again\rRT=again\r");
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, SelfDeliveryTest,
    ::testing::Values(Spelling{"Short", "127.1", "", true, true},
                      Spelling{"OneNumber", "2130706433", "", true, true},
                      Spelling{"Hex", "0x7f.1", "", true, true},
                      Spelling{"AnyAddress", "0.0.0.0", "", true, true},
                      Spelling{"Localhost", "localhost", "", true, true},
                      Spelling{"OwnInterface", "own", "", true, true},
                      Spelling{"NameOfLoopback", "self.varnok.test", "127.0.0.1", true, false},
                      Spelling{"NameOfOwnInterface", "own.varnok.test", "own", true, false},
                      Spelling{"AnotherPort", "127.1", "", false, false}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace varnok::testing
