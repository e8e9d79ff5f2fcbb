// The operator's actions on a dispatcher in virtual time: what each does to
// the encoders, the queues and the producers, what it logs, and what it
// refuses without changing anything.
#include "dispatcher/control.h"

#include "dispatcher_fixture.h"

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
  const Encoder& encoder(int i) const {
    return dispatcher->encoders()[static_cast<std::size_t>(i)];
  }
};

TEST_F(ControlTest, EachActionDoesWhatItSaysAndIsLoggedWithWhoDidIt) {
  using A = ControlAction;
  const struct {
    A action;
    std::string target, text, answer, logged;
  } steps[] = {
      {A::Send, "", "RT1=Hello\r", "2 queued",
       "Operator alice sent RT1=Hello  to every encoder - 2 queued"},
      {A::Send, "studio b", "PS=X", "1 queued", "Operator alice sent PS=X to studio b - 1 queued"},
      {A::Clear, "Studio B", "", "2 cleared",
       "Operator alice cleared the queue of Studio B - 2 commands"},
      {A::Suspend, "Studio A", "", "suspended", "Operator alice suspended Studio A"},
      {A::Resume, "Studio A", "", "resumed", "Operator alice resumed Studio A"},
      {A::Off, "Studio B", "", "off", "Operator alice switched off Studio B for this run"},
      {A::Send, "", "RT1=Only A\r", "1 queued",
       "Operator alice sent RT1=Only A  to every encoder - 1 queued"},
      {A::On, "Studio B", "", "on", "Operator alice switched on Studio B"},
      {A::Refuse, "127.0.0.*", "", "done",
       "Operator alice refused producers from 127.0.0.* for this run"},
      {A::Allow, "127.0.0.9", "", "done",
       "Operator alice allowed producers from 127.0.0.9 for this run"},
  };
  for (const auto& step : steps) {
    const Result<std::string> result = act(step.action, step.target, step.text);
    ASSERT_TRUE(result) << step.logged << ": " << result.error().message;
    EXPECT_EQ(result.value(), step.answer);
    EXPECT_TRUE(logged(step.logged)) << logTexts().back();
    EXPECT_TRUE(countersAddUp());
  }
  EXPECT_EQ(dispatcher->counters().cleared, 2u);
  EXPECT_EQ(queueSize(0), 2u);  // Hello and Only A
  EXPECT_EQ(queueSize(1), 0u);
  EXPECT_TRUE(encoder(0).active);
  EXPECT_TRUE(encoder(1).enabled && encoder(1).active);
  EXPECT_EQ(dispatcher->controlCounts()[static_cast<std::size_t>(A::Send)], 3u);
  // Refused for this run, but what was allowed by name passes.
  EXPECT_TRUE(peer().intake().banned("127.0.0.5"));
  EXPECT_FALSE(peer().intake().banned("127.0.0.9"));
}

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

}  // namespace
}  // namespace varnok::testing
