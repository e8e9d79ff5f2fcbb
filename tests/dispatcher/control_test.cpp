// The operator's actions on a dispatcher in virtual time: what each refuses
// without changing anything (what each does is driven through varnokctl in
// the operator process test), and the configuration read again.
#include "dispatcher/control.h"

#include "dispatcher_fixture.h"
#include "support/threaded_peer.h"

namespace varnok::testing {
namespace {

class ControlTest : public DispatcherTest {
 protected:
  void SetUp() override {
    create(
        "[General]\nEncoderCount=2\nErrorLimit=1\nSuspendForMinutes=60\n[Inputs]\nSocket=0\n"
        "[Encoder1]\nName=Studio A\nPort=1\n[Encoder2]\nName=Studio B\nPort=1\n");
  }
  Result<std::string> act(ControlAction action, const std::string& target,
                          const std::string& text = "") {
    return dispatcher->control(ControlRequest{action, "alice", target, text});
  }
};

TEST_F(ControlTest, RefusalsSayWhyAndChangeNothing) {
  using A = ControlAction;
  ASSERT_TRUE(act(A::Off, "Studio B"));
  const struct {
    A action;
    std::string target, text, why;
  } refused[] = {
      {A::Clear, "Studio Z", "", "no encoder named Studio Z"},
      {A::Send, "Studio Z", "PS=X", "no encoder named Studio Z"},
      {A::Send, "", "", "nothing to send"},
      {A::Send, "Studio B", "PS=X", "no encoder that is on takes it"},
      {A::Suspend, "Studio B", "", "Studio B is off"},
      {A::Resume, "Studio B", "", "Studio B is off: switch it on"},
      {A::Off, "Studio B", "", "Studio B is off already"},
      {A::On, "Studio A", "", "Studio A is on already"},
      {A::Refuse, "10.0.0.1; rm", "", "not a producer address or pattern: 10.0.0.1; rm"},
      {A::Allow, "1*2", "", "not a producer address or pattern: 1*2"},
  };
  const std::size_t lines = logTexts().size();
  for (const auto& r : refused) {
    const Result<std::string> result = act(r.action, r.target, r.text);
    ASSERT_FALSE(result) << r.why;
    EXPECT_EQ(result.error().message, r.why);
  }
  EXPECT_EQ(logTexts().size(), lines);
  EXPECT_EQ(dispatcher->counters().queued, 0u);
  EXPECT_EQ(actionOf("resume"), static_cast<std::size_t>(A::Resume));
  EXPECT_EQ(actionOf("reboot"), kControlActions);
}

// The configuration read again while commands wait, an encoder is
// suspended and a slot is connected: what stays the same encoder keeps its
// queue, counts and state; what goes is counted; the counters add up.
class ReloadTest : public DispatcherTest {
 protected:
  static std::string ini(const std::vector<std::pair<std::string, std::uint16_t>>& encoders,
                         const std::string& general = "") {
    std::string text = "[General]\nEncoderCount=" + std::to_string(encoders.size()) +
                       "\nErrorLimit=1\nSuspendForMinutes=60\n" + general + "[Inputs]\nSocket=0\n";
    for (std::size_t i = 0; i < encoders.size(); ++i) {
      text += "[Encoder" + std::to_string(i + 1) + "]\nName=" + encoders[i].first +
              "\nHost=127.0.0.1\nPort=" + std::to_string(encoders[i].second) + "\n";
    }
    return text;
  }
  Result<std::string> reload(const std::string& text) {
    Result<std::string> result{std::string()};
    app.dispatch([&] {
      result = dispatcher->reload(readDispatcherSettings(IniFile::fromText(text), dir.folder()));
    });
    return result;
  }
  std::string cell(int column, int row) const {
    return dispatcher->statusTable().cell(column, row);
  }
};

TEST_F(ReloadTest, SameEncodersKeepTheirQueuesRemovedOnesAreCountedAndSlotsLetGo) {
  ThreadedEncoder a({});
  const std::uint16_t closed = closedPort();
  create(ini({{"A", a.port}, {"B", closed}, {"C", closed}}));
  for (int i = 0; i < 3; ++i) dispatcher->queueCommand("RT1=" + std::to_string(i) + "\r");
  // A takes all three and keeps its connection; B and C fail once and rest.
  ASSERT_TRUE(tickUntil([&] {
    return a.receivedSize() == 18 && !dispatcher->encoders()[1].active &&
           !dispatcher->encoders()[2].active;
  }));
  const auto servesA = [&] {
    for (const SenderSlot& slot : dispatcher->senderSlots()) {
      if (slot.connected() && slot.encoder() == 0) return true;
    }
    return false;
  };
  ASSERT_TRUE(servesA());

  const struct {
    std::vector<std::pair<std::string, std::uint16_t>> encoders;
    std::string general, answer;
    std::vector<std::string> logged;
    std::vector<std::string> rows;  // "name queue enabled", in table order
  } steps[] = {
      // C goes, D comes, B changes only a key that is not its identity.
      {{{"A", a.port}, {"B", closed}, {"D", closed}},
       "Threads=3\nRepeat=1\n",
       "encoders kept 2, added 1, removed 1 (3 waiting commands expired)",
       {"Encoder C removed by the reload - 3 waiting commands expired",
        "Reload: Threads changed - it takes effect at the next start"},
       {"A 0 Yes", "B 3 Suspended", "D 0 Yes"}},
      // A goes while its slot is connected to it; B moves up a row.
      {{{"B", closed}, {"D", closed}},
       "Repeat=1\n",
       "encoders kept 2, added 0, removed 1 (0 waiting commands expired)",
       {"Encoder A removed by the reload - 0 waiting commands expired"},
       {"B 3 Suspended", "D 0 Yes"}},
      // The same name at another address is another encoder.
      {{{"B", a.port}, {"D", closed}},
       "Repeat=1\n",
       "encoders kept 1, added 1, removed 1 (3 waiting commands expired)",
       {"Encoder B removed by the reload - 3 waiting commands expired"},
       {"B 0 Yes", "D 0 Yes"}},
  };
  for (const auto& step : steps) {
    const Result<std::string> result = reload(ini(step.encoders, step.general));
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(result.value(), step.answer);
    for (const std::string& line : step.logged) EXPECT_TRUE(logged(line)) << line;
    for (std::size_t i = 0; i < step.rows.size(); ++i) {
      const int row = static_cast<int>(i) + 1;
      EXPECT_EQ(cell(kColName, row) + " " + cell(kColQueue, row) + " " + cell(kColEnabled, row),
                step.rows[i]);
    }
    EXPECT_EQ(dispatcher->statusTable().rowCount(), static_cast<int>(step.rows.size()) + 1);
    EXPECT_TRUE(countersAddUp());
    loop.runOnce(5);
  }
  // Kept through both reloads: B's failure and suspension; A's slot let go.
  EXPECT_EQ(dispatcher->config().threads, 2);
  EXPECT_EQ(dispatcher->config().repeat, 1);
  for (const SenderSlot& slot : dispatcher->senderSlots()) EXPECT_TRUE(slot.idle());
  EXPECT_EQ(dispatcher->counters().expired, 6u);
  // The new B (A's address) is served from the next tick.
  dispatcher->queueCommand("PS=NEW\r", {.name = "B"});
  ASSERT_TRUE(tickUntil([&] { return a.received().ends_with("PS=NEW\rPS=NEW\r"); }));
}

TEST_F(ReloadTest, WhatCannotBeReadChangesNothing) {
  create(ini({{"A", 1}}));
  dispatcher->queueCommand("RT1=x\r");
  DispatcherSettings unread;
  unread.encodersNotRead = "std::bad_alloc";
  Result<std::string> result{std::string()};
  app.dispatch([&] { result = dispatcher->reload(unread); });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "the encoders could not be read (std::bad_alloc)");
  EXPECT_EQ(dispatcher->encoders().size(), 1u);
  EXPECT_EQ(queueSize(0), 1u);
}

}  // namespace
}  // namespace varnok::testing
