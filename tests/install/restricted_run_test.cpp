// The program under the restrictions of its system unit, which
// restricted_launcher applies without systemd: the launcher must really
// refuse what the unit refuses, and under it the program must still do its
// whole job. VARNOK_PROGRAM names the program (the package test runs the
// packaged one), VARNOK_UNIT the unit (default: this tree's
// packaging/varnok.service.in).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "support/child_process.h"
#include "support/loopback.h"
#include "support/mosquitto_broker.h"
#include "support/temp_dir.h"

namespace varnok::testing {
namespace {

std::string fromEnvironment(const char* name, const char* otherwise) {
  const char* chosen = std::getenv(name);
  return chosen && *chosen ? chosen : otherwise;
}
const std::string kUnit = fromEnvironment("VARNOK_UNIT", VARNOK_UNIT_FILE);

std::vector<std::string> restricted(std::vector<std::string> command, bool killOnRefusal = false) {
  command.insert(command.begin(), kUnit);
  if (killOnRefusal) command.insert(command.begin(), "--refuse=kill");
  return command;
}

struct Outcome {
  std::string result;  // what the probe printed, or the signal that ended it
  std::string err;
};

Outcome runProbe(bool underUnit, const std::string& what) {
  ChildProcess probe(underUnit ? VARNOK_LAUNCHER : VARNOK_PROBE,
                     underUnit ? restricted({VARNOK_PROBE, what}) : std::vector{what});
  const auto status = probe.wait();
  std::string out = probe.out();
  if (!out.empty() && out.back() == '\n') out.pop_back();
  if (status && *status < 0) out = std::string("SIG") + sigabbrev_np(-*status);
  return {status ? out : "still running", probe.err()};
}

std::string unitValue(const std::string& key) {
  std::ifstream in(kUnit);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return "";
}

// Each probe makes one call the unit refuses. Run without the launcher it
// must get another answer, or this machine refuses it anyway and the row
// shows nothing (it is named, not passed).
TEST(RestrictedLauncher, RefusesWhatTheUnitRefuses) {
  const std::string nofile = unitValue("LimitNOFILE");
  ASSERT_FALSE(nofile.empty()) << kUnit << " sets no LimitNOFILE";
  const struct {
    const char* what;
    std::string refused;
  } probes[] = {{"nofile", nofile + ":" + nofile},  // LimitNOFILE
                {"unshare-user", "EPERM"},          // RestrictNamespaces
                {"clone3", "ENOSYS"},               // RestrictNamespaces
                {"mmap-wx", "EPERM"},               // MemoryDenyWriteExecute
                {"mprotect-x", "EPERM"},            // MemoryDenyWriteExecute
                {"netlink", "EAFNOSUPPORT"},        // RestrictAddressFamilies
                {"personality", "EPERM"},           // LockPersonality
                {"realtime", "EPERM"},              // RestrictRealtime
                {"affinity", "EPERM"},              // SystemCallFilter=~@resources
                {"setuid", "EPERM"},                // SystemCallFilter=~@privileged
                {"proc-sys", "ENOENT"},             // ProcSubset=pid
                {"x32", "SIGSYS"}};                 // SystemCallArchitectures=native
  std::string unshown;
  for (const auto& p : probes) {
    SCOPED_TRACE(p.what);
    const Outcome free = runProbe(false, p.what), held = runProbe(true, p.what);
    const bool noNamespace = held.err.find("no mount namespace") != std::string::npos;
    if (free.result == p.refused || (std::strcmp(p.what, "proc-sys") == 0 && noNamespace)) {
      unshown += std::string(" ") + p.what;
      continue;
    }
    EXPECT_EQ(held.result, p.refused) << held.err;
  }
  if (!unshown.empty()) std::printf("not shown on this machine:%s\n", unshown.c_str());
}

// The whole job, under the unit's action on a refused call and again with
// every refused call killing the program, so that not even a call whose
// failure it would survive goes unseen; each with the broker over plain TCP
// and over TLS, whose handshake and certificate check run under the filter
// too.
class RestrictedRun : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(RestrictedRun, ServesProducersEncodersHandOffStatusPageAndBroker) {
  const auto [killOnRefusal, tls] = GetParam();
  BrokerOptions withTls;
  withTls.tls = true;
  MosquittoBroker broker(withTls);
  ASSERT_TRUE(broker.start()) << broker.log();
  const int brokerPort = tls ? broker.tlsPort() : broker.port();
  const std::string clientId = "restricted-site", statusTopic = "varnok/status/" + clientId;

  ChildProcess encoder(VARNOK_ENCODER_SIM, {"--port", "0"});
  ASSERT_TRUE(encoder.waitForOutput("\n")) << encoder.err();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(encoder.out(), m, std::regex(R"(listening on [0-9.]+:(\d+))")));
  const std::uint16_t port = closedPort(), httpPort = closedPort();

  TempDir dir;
  const std::string folder = dir.folder() + "Station/", run = dir.folder() + "run";
  std::filesystem::create_directories(folder);
  std::filesystem::create_directory(run);
  chmod(run.c_str(), 0700);
  std::filesystem::copy_file(fromEnvironment("VARNOK_PROGRAM", VARNOK_BINARY), folder + "varnok");
  std::filesystem::copy_file(TestCertificates::get().caFile(), folder + "ca.crt");
  // The encoder and the broker by name: the resolver must work under the
  // filter too.
  std::ofstream(folder + "varnok.ini")
      << "[General]\nEncoderCount=1\n[Inputs]\nListenOnPort=" << port
      << "\n[Status]\nHttpPort=" << httpPort
      << "\n[Encoder1]\nName=Studio\nHost=localhost\nPort=" << m[1]
      << "\nCharset=rds\nNowPlaying1=NP=%RT%\\r\n[NowPlaying]\nFile=np.txt\nTokenFile=np-token\n"
      << "[MQTT]\nBroker=localhost\nPort=" << brokerPort << "\nClientId=" << clientId
      << "\nTopics=varnok/command/#\n"
      << (tls ? "CAFile=ca.crt\n" : "");
  // Now playing: a watched file (inotify) and transliteration (ICU's data).
  std::ofstream(folder + "np.txt") << "\xc5\x81\xc3\xb3"
                                      "d\xc5\xba\n";
  std::ofstream(folder + "np-token") << "secret\n";
  chmod((folder + "np-token").c_str(), 0600);
  const std::vector<std::string> env = {"VARNOK_HEADLESS=1", "XDG_RUNTIME_DIR=" + run,
                                        "NOTIFY_SOCKET", "WATCHDOG_USEC"};
  ChildProcess varnok(VARNOK_LAUNCHER, restricted({folder + "varnok"}, killOnRefusal), folder, env);
  ASSERT_TRUE(varnok.waitForOutput("Status page on http://")) << varnok.out() << varnok.err();
  ASSERT_TRUE(varnok.waitForOutput("MQTT connected to localhost:" + std::to_string(brokerPort)))
      << varnok.out() << varnok.err() << broker.log();
  // The site subscribes before it publishes its status, and the broker takes
  // a client's packets in order: with the status there, so is the
  // subscription.
  const auto online = broker.receive(statusTopic, 1, 5);
  ASSERT_EQ(online.size(), 1u) << varnok.out() << broker.log();
  EXPECT_EQ(online[0].rfind(statusTopic + " {\"online\":true,", 0), 0u) << online[0];
  ASSERT_TRUE(broker.publish("varnok/command/all", {"RT=Brokered\r"})) << broker.log();
  EXPECT_TRUE(encoder.waitForOutput("RT=Brokered\\r")) << encoder.out() << varnok.out();

  EXPECT_EQ(produce(port, "RT=Restricted\r", 7), "\r\n+\r\n\r\n");
  ChildProcess second(folder + "varnok", {"RT=Handed"}, folder, env);  // not restricted itself
  EXPECT_EQ(second.wait(), 0) << second.err();
  EXPECT_TRUE(encoder.waitForOutput("RT=Restricted\\r")) << encoder.out() << varnok.out();
  EXPECT_TRUE(encoder.waitForOutput("RT=Handed\\r")) << encoder.out() << varnok.out();
  EXPECT_TRUE(encoder.waitForOutput("NP=L\\x86d\\xFD\\r")) << encoder.out() << varnok.out();
  std::ofstream(folder + "np.tmp") << "Changed\n";
  std::filesystem::rename(folder + "np.tmp", folder + "np.txt");
  EXPECT_TRUE(encoder.waitForOutput("NP=Changed\\r")) << encoder.out() << varnok.out();
  ChildProcess post("/usr/bin/curl",
                    {"-s", "-m", "5", "-H", "Authorization: Bearer secret", "-d", "title=Posted",
                     "http://127.0.0.1:" + std::to_string(httpPort) + "/nowplaying"});
  EXPECT_EQ(post.wait(), 0) << post.err();
  EXPECT_TRUE(encoder.waitForOutput("NP=Posted\\r")) << encoder.out() << varnok.out();

  ChildProcess curl("/usr/bin/curl", {"-s", "-w", "\n%{http_code}", "-m", "5",
                                      "http://127.0.0.1:" + std::to_string(httpPort) + "/status"});
  ASSERT_EQ(curl.wait(), 0) << curl.err();
  EXPECT_NE(curl.out().find("Studio"), std::string::npos) << curl.out();
  EXPECT_EQ(curl.out().substr(curl.out().size() - 4), "\n200") << curl.out();

  // TasksMax has room for helpers, but the program has none.
  const auto tasks = std::filesystem::path("/proc") / std::to_string(varnok.pid()) / "task";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tasks), {}), 1);

  varnok.signal(SIGTERM);
  EXPECT_EQ(varnok.wait(), 0) << varnok.out() << varnok.err();
  EXPECT_EQ(varnok.out().find("Socket Error"), std::string::npos) << varnok.out();
  // A refused call that the program reports and survives shows as EPERM's
  // text, or as the socket error the program makes of it.
  for (const char* refused : {"not permitted", "Permission denied"}) {
    EXPECT_EQ(varnok.out().find(refused), std::string::npos) << varnok.out();
    EXPECT_EQ(varnok.err().find(refused), std::string::npos) << varnok.err();
  }
  // One connection, kept to the end and closed with a goodbye: the retained
  // status is the program's own last word, not the will standing in for it.
  EXPECT_EQ(varnok.out().find("MQTT connection"), std::string::npos) << varnok.out();
  EXPECT_EQ(varnok.out().find("could not say goodbye"), std::string::npos) << varnok.out();
  EXPECT_NE(broker.log().find("Received DISCONNECT from " + clientId), std::string::npos)
      << broker.log();
  EXPECT_EQ(broker.receive(statusTopic, 1, 5),
            std::vector<std::string>{statusTopic + " {\"online\":false}"});
}

INSTANTIATE_TEST_SUITE_P(Refusal, RestrictedRun,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Kills" : "AsTheUnitSays") +
                                  (std::get<1>(info.param) ? "_Tls" : "_Tcp");
                         });

}  // namespace
}  // namespace varnok::testing
