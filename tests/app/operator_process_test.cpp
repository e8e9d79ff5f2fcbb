// The operator's actions through varnokctl against the real program and
// encoder simulators, a reload while a producer keeps sending, and the
// control socket's file removed under the running program.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <thread>

#include "installed.h"
#include "process_harness.h"
#include "support/loopback.h"

namespace varnok::testing {
namespace {

struct Answer {
  std::optional<int> status;
  std::string out, err;
};

std::string configuration(std::uint16_t listen, std::uint16_t http,
                          const std::vector<const EncoderSim*>& encoders) {
  std::string ini = "[General]\nEncoderCount=" + std::to_string(encoders.size()) +
                    "\nSuspendForMinutes=60\n[Inputs]\nListenOnPort=" + std::to_string(listen) +
                    "\n[Status]\nHttpPort=" + std::to_string(http) +
                    "\n[NowPlaying]\nIdleText=Station X\n";
  for (std::size_t i = 0; i < encoders.size(); ++i) {
    ini += "[Encoder" + std::to_string(i + 1) + "]\nName=" + encoders[i]->name() +
           "\nHost=127.0.0.1\nPort=" + std::to_string(encoders[i]->port()) +
           "\nNowPlaying1=RT=%RT%\\r\n";
  }
  return ini;
}

// How often the text occurs in what an encoder received.
std::size_t occurrences(const std::string& in, const std::string& text) {
  std::size_t n = 0;
  for (std::size_t at = in.find(text); at != std::string::npos; at = in.find(text, at + 1)) ++n;
  return n;
}

TEST(OperatorProcess, EveryActionThroughVarnokctlAndAReloadUnderLoad) {
  TempDir work;
  EncoderSim a(work, "A"), b(work, "B"), c(work, "C"), r(work, "R", {"--mode", "reset"});
  const std::uint16_t listen = closedPort();
  const std::uint16_t http = closedPort();
  Installed app(configuration(listen, http, {&a, &b, &r}));
  auto varnok = app.start();
  ASSERT_TRUE(varnok->waitForOutput("Listening on port " + std::to_string(listen)))
      << varnok->out() << varnok->err();
  const passwd* me = ::getpwuid(::getuid());
  ASSERT_NE(me, nullptr);
  const std::string who = me->pw_name;
  const auto ctl = [&](const std::vector<std::string>& args) {
    std::vector<std::string> all = {VARNOKCTL_SCRIPT};
    all.insert(all.end(), args.begin(), args.end());
    ChildProcess p("/bin/sh", all, "",
                   {"VARNOKCTL_USER=" + who, "VARNOKCTL_RUNTIME_DIR=" + app.dir.folder() + "run"});
    Answer answer;
    eventually([&] { return (answer.status = p.wait(0)).has_value(); }, 15000, {varnok.get()});
    answer.out = p.out();
    answer.err = p.err();
    return answer;
  };

  const struct {
    std::vector<std::string> args;
    int status;
    std::string said;          // on standard output (0) or error (1, 2)
    std::string logged;        // the log line after "Operator <who> ", when done
    std::string thenAtA = {};  // waited for at A before the next step
  } steps[] = {
      {{"--status"}, 0, "RDS Encoder Name\tHost\tPort", ""},
      {{"--send", "--to", "A", "PS=TEST"}, 0, "1 queued", "sent PS=TEST to A - 1 queued"},
      {{"--suspend", "B"}, 0, "suspended", "suspended B"},
      {{"--send", "--to", "B", "RT1=Held"}, 0, "1 queued", "sent RT1=Held to B - 1 queued"},
      {{"--clear", "B"}, 0, "1 cleared", "cleared the queue of B - 1 commands"},
      {{"--resume", "B"}, 0, "resumed", "resumed B"},
      {{"--off", "B"}, 0, "off", "switched off B for this run"},
      {{"--suspend", "R"}, 0, "suspended", "suspended R"},
      {{"--send", "PS=ALL"}, 0, "2 queued", "sent PS=ALL to every encoder - 2 queued"},
      {{"--on", "B"}, 0, "on", "switched on B"},
      {{"--refuse", "127.0.0.*"}, 0, "done", "refused producers from 127.0.0.* for this run"},
      {{"--allow", "127.0.0.1"}, 0, "done", "allowed producers from 127.0.0.1 for this run"},
      {{"--override", "--to", "A", "news", "60", "Traffic news"},
       0,
       "started",
       "started the override news for 60 s on A",
       // on air before it is cancelled, not replaced while it waits
       "RT=Traffic news\r"},
      {{"--cancel", "news"}, 0, "cancelled", "cancelled the override news"},
      {{"--clear", "Nobody"}, 1, "varnokctl: no encoder named Nobody", ""},
      {{"--cancel", "news"}, 1, "varnokctl: no override news", ""},
      {{"--override", "x", "1e9", "Text"}, 1, "the seconds are a whole number: 1e9", ""},
      {{"--frobnicate"}, 1, "unknown option --frobnicate", ""},
  };
  for (const auto& step : steps) {
    const Answer answer = ctl(step.args);
    EXPECT_EQ(answer.status, step.status) << step.args.front() << answer.err;
    EXPECT_NE((step.status == 0 ? answer.out : answer.err).find(step.said), std::string::npos)
        << step.args.front() << ": " << answer.out << answer.err;
    if (!step.logged.empty()) {
      EXPECT_EQ(countLog(varnok->out(), "Operator " + who + " " + step.logged), 1) << step.logged;
    }
    if (!step.thenAtA.empty()) {
      EXPECT_TRUE(eventually([&] { return a.received().find(step.thenAtA) != std::string::npos; },
                             10000, {varnok.get()}))
          << a.received();
    }
  }
  // The producer at 127.0.0.1 is let through again by the later word.
  EXPECT_EQ(produce(listen, "PS=PROD\r", 7), "\r\n+\r\n\r\n");
  EXPECT_TRUE(eventually(
      [&] {
        const std::string got = a.received();
        return got.find("PS=TEST\r") != std::string::npos &&
               got.find("RT=Traffic news\r") != std::string::npos &&
               got.find("RT=Station X\r") != std::string::npos &&
               got.find("PS=PROD\r") != std::string::npos;
      },
      10000, {varnok.get()}))
      << a.received();
  // B was cleared, then off: it never got the held line nor PS=ALL.
  EXPECT_TRUE(eventually([&] { return b.received().find("PS=PROD\r") != std::string::npos; }, 10000,
                         {varnok.get()}));
  EXPECT_EQ(b.received().find("RT1=Held"), std::string::npos);
  EXPECT_EQ(b.received().find("PS=ALL"), std::string::npos);
  const std::string metrics = produce(http, "GET /metrics HTTP/1.0\r\n\r\n", 1 << 20);
  for (const char* sample : {"varnok_operator_actions_total{action=\"send\"} 3",
                             "varnok_operator_actions_total{action=\"override\"} 1",
                             "varnok_operator_actions_total{action=\"clear\"} 1"}) {
    EXPECT_NE(metrics.find(sample), std::string::npos) << sample;
  }

  // A producer keeps sending while B is taken out, C comes in, and the
  // configuration is read again ten times a second.
  constexpr int kLoad = 100;
  std::atomic<int> acknowledged = 0;
  std::thread producer([&] {
    for (int i = 0; i < kLoad; ++i) {
      if (produce(listen, "RT1=L" + std::to_string(i) + "\r", 7) == "\r\n+\r\n\r\n") ++acknowledged;
    }
  });
  app.write("varnok.ini", configuration(listen, http, {&a, &r, &c}));
  const Answer reloaded = ctl({"--reload"});
  EXPECT_EQ(reloaded.status, 0) << reloaded.err;
  EXPECT_NE(reloaded.out.find("encoders kept 2, added 1, removed 1 ("), std::string::npos)
      << reloaded.out;
  // Each signal once the last reload is done (signals of one kind that
  // arrive together count once).
  const std::string bySignal = "Operator (SIGHUP) reloaded the configuration - ";
  for (int i = 0; i < 10; ++i) {
    varnok->signal(SIGHUP);
    eventually([&] { return countLogStarting(varnok->out(), bySignal) > i; }, 5000, {varnok.get()});
  }
  eventually([&] { return acknowledged == kLoad; }, 30000, {varnok.get()});
  producer.join();
  EXPECT_EQ(acknowledged, kLoad);
  EXPECT_EQ(countLogStarting(varnok->out(),
                             "Operator (SIGHUP) reloaded the configuration - "
                             "encoders kept 3, added 0, removed 0"),
            10);
  // Every line reached A once, in order; C got what came after it, once each.
  EXPECT_TRUE(eventually(
      [&] {
        return a.received().find("RT1=L" + std::to_string(kLoad - 1) + "\r") != std::string::npos;
      },
      20000, {varnok.get()}));
  const std::string atA = a.received(), atC = c.received();
  std::size_t last = 0;
  for (int i = 0; i < kLoad; ++i) {
    const std::string line = "RT1=L" + std::to_string(i) + "\r";
    ASSERT_EQ(occurrences(atA, line), 1u) << line;
    EXPECT_GT(atA.find(line), last);
    last = atA.find(line);
    EXPECT_LE(occurrences(atC, line), 1u) << line;
  }
  // The totals add up, with B's waiting commands among the expired.
  const std::string status = statusPageWith(http, "\"waiting\":", *varnok);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      status, m,
      std::regex("\"queued\":(\\d+),\"delivered\":(\\d+),\"expired\":(\\d+),\"failedSends\":(\\d+),"
                 "\"replaced\":(\\d+),\"cleared\":(\\d+),\"inFlight\":(\\d+),\"waiting\":(\\d+)")))
      << status;
  std::uint64_t rest = 0;
  for (int i = 2; i <= 8; ++i) rest += std::stoull(m[i].str());
  EXPECT_EQ(std::stoull(m[1].str()), rest) << m[0];
  EXPECT_EQ(m[6].str(), "1");  // the one the operator cleared

  // The control socket's file removed: varnokctl finds no service until a
  // reload binds it again.
  std::string socket;
  for (const auto& entry : std::filesystem::directory_iterator(app.dir.folder() + "run/varnok")) {
    if (entry.path().extension() == ".control") socket = entry.path();
  }
  ASSERT_FALSE(socket.empty());
  ASSERT_EQ(::unlink(socket.c_str()), 0);
  const Answer gone = ctl({"--status"});
  EXPECT_EQ(gone.status, 2);
  EXPECT_NE(gone.err.find("not running"), std::string::npos) << gone.err;
  varnok->signal(SIGHUP);
  EXPECT_TRUE(varnok->waitForOutput("Control socket restored - " + socket));
  EXPECT_EQ(ctl({"--status"}).status, 0);

  varnok->signal(SIGTERM);
  EXPECT_EQ(varnok->wait(10000), 0) << varnok->err();
}

}  // namespace
}  // namespace varnok::testing
