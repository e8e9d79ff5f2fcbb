// Transmitter sites fed through a real broker: copies of the real program,
// each with its own folder, client id and encoder simulator, subscribed to
// one mosquitto that the test starts itself.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "app/installed.h"
#include "app/process_harness.h"
#include "status/http_client.h"
#include "support/loopback.h"
#include "support/mosquitto_broker.h"

namespace varnok::testing {
namespace {

// One site: the program in its own folder, with one encoder simulator.
struct SiteUnderTest {
  SiteUnderTest(const TempDir& sims, const std::string& name, int brokerPort,
                const std::string& extra = "", const std::string& encoderKeys = "",
                const std::string& mqttKeys = "")
      : encoder(sims, name),
        listen(closedPort()),
        folder("[General]\nEncoderCount=1\nThreads=4\n[Inputs]\nListenOnPort=" +
                   std::to_string(listen) + "\n" + extra +
                   "[Encoder1]\nName=Studio\nPort=" + std::to_string(encoder.port()) + "\n" +
                   encoderKeys + "[MQTT]\nBroker=127.0.0.1\nPort=" + std::to_string(brokerPort) +
                   "\nClientId=varnok-" + name + "\nTopics=varnok/command/all, varnok/command/" +
                   name + "/#\nKeepAlive=5\n" + mqttKeys,
               name) {}
  void start() {
    program = folder.start();
    ASSERT_TRUE(program->waitForOutput("MQTT connected to 127.0.0.1:")) << program->out();
  }
  void stop() {
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0) << program->err();
  }
  // Waits until the encoder has received exactly want.
  bool receives(const std::string& want, int timeoutMs = 60000) {
    return eventually([&] { return encoder.received() == want; }, timeoutMs, {program.get()});
  }

  EncoderSim encoder;
  std::uint16_t listen;
  Installed folder;
  std::unique_ptr<ChildProcess> program;
};

std::vector<std::string> numbered(const std::string& prefix, int from, int count) {
  std::vector<std::string> lines;
  for (int i = from; i < from + count; ++i) lines.push_back(prefix + std::to_string(i) + "\r");
  return lines;
}

std::string joinedLines(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l;
  return all;
}

class SitesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(broker.start()) << broker.log(); }
  TempDir sims;
  static BrokerOptions persistent() {
    BrokerOptions options;
    options.persistence = true;
    return options;
  }
  MosquittoBroker broker{persistent()};
};

TEST_F(SitesTest, EverySiteDeliversItsShareInOrderAlsoWhatCameWhileItWasAway) {
  SiteUnderTest north(sims, "north", broker.port()), south(sims, "south", broker.port());
  north.start();
  south.start();
  // 1,000 for every site, then 100 for north's encoder alone.
  const auto all = numbered("ALL=", 0, 1000), own = numbered("NORTH=", 0, 100);
  ASSERT_TRUE(broker.publish("varnok/command/all", all));
  ASSERT_TRUE(broker.publish("varnok/command/north/encoder/Studio", own));
  EXPECT_TRUE(north.receives(joinedLines(all) + joinedLines(own)))
      << north.encoder.received().size();
  EXPECT_TRUE(south.receives(joinedLines(all))) << south.encoder.received().size();

  // South away: what is published meanwhile waits in its session, also
  // across a broker restarted from its persistence in the middle.
  south.stop();
  const auto first = numbered("AWAY=", 0, 20), second = numbered("AWAY=", 20, 20);
  ASSERT_TRUE(broker.publish("varnok/command/south", first));
  ASSERT_TRUE(broker.restart()) << broker.log();
  ASSERT_TRUE(broker.publish("varnok/command/south", second));
  south.start();
  EXPECT_TRUE(south.receives(joinedLines(all) + joinedLines(first) + joinedLines(second)));
  // North reconnected by itself after the broker's restart.
  EXPECT_TRUE(eventually(
      [&] {
        return countLog(north.program->out(),
                        "MQTT connected to 127.0.0.1:" + std::to_string(broker.port())) >= 2;
      },
      70000, {north.program.get()}))
      << north.program->out();
  north.stop();
  south.stop();
}

TEST_F(SitesTest, AMessageThatExpiredWhileTheSiteWasAwayNeverGoesOnAir) {
  SiteUnderTest site(sims, "north", broker.port());
  site.start();
  site.stop();
  // Published by an MQTT 5 client with a 1 s expiry, and one without.
  for (const auto& [payload, expiry] :
       std::vector<std::pair<std::string, std::string>>{{"RT=stale\r", "1"}, {"RT=kept\r", ""}}) {
    std::vector<std::string> args = {
        "-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-V", "mqttv5",
        "-q", "1",         "-t", "varnok/command/all",          "-m", payload};
    if (!expiry.empty())
      args.insert(args.end(), {"-D", "publish", "message-expiry-interval", expiry});
    ChildProcess pub("/usr/bin/mosquitto_pub", args);
    ASSERT_EQ(pub.wait(10000), 0) << pub.err();
  }
  // The broker's own clock decides, in whole seconds: the stale one is gone
  // once 2 s have surely passed.
  ChildProcess wait("/bin/sleep", {"3"});
  ASSERT_EQ(wait.wait(5000), 0);
  site.start();
  EXPECT_TRUE(site.receives("RT=kept\r", 20000)) << site.encoder.received();
  site.stop();
  EXPECT_EQ(site.encoder.received(), "RT=kept\r");
}

TEST_F(SitesTest, EachSitePublishesItsStatusAndItsDisappearance) {
  SiteUnderTest north(sims, "north", broker.port(),
                      "[Status]\nHttpPort=" + std::to_string(closedPort()) + "\n");
  SiteUnderTest south(sims, "south", broker.port());
  north.start();
  south.start();
  const auto retained = [&](const std::string& site) {
    const auto got = broker.receive("varnok/status/varnok-" + site, 1, 5);
    return got.empty() ? std::string() : got.front();
  };
  for (const char* site : {"north", "south"}) {
    const std::string status = retained(site);
    EXPECT_EQ(status.rfind("varnok/status/varnok-" + std::string(site) + " {\"online\":true,", 0),
              0u)
        << status;
    EXPECT_NE(status.find("\"mqtt\":{\"broker\":\"127.0.0.1:"), std::string::npos) << status;
    EXPECT_EQ(status.find("\"log\""), std::string::npos) << status;
  }
  // A command changes the status within a second or so.
  ASSERT_TRUE(broker.publish("varnok/command/north", {"RT=one\r"}));
  ASSERT_TRUE(north.receives("RT=one\r"));
  EXPECT_TRUE(eventually([&] { return retained("north").find("\"mqtt\":1}") != std::string::npos; },
                         10000, {north.program.get()}));
  // Vanished: the broker publishes the will; a clean exit says so itself.
  north.program->killHard();
  south.stop();
  EXPECT_TRUE(eventually(
      [&] { return retained("north") == "varnok/status/varnok-north {\"online\":false}"; }, 15000,
      {}));
  EXPECT_EQ(retained("south"), "varnok/status/varnok-south {\"online\":false}");
}

// The now-playing topic takes JSON and plain "Artist - Title" lines alike,
// and the status counts what came that way.
TEST_F(SitesTest, NowPlayingComesAsJsonOrAPlainLine) {
  const std::uint16_t http = closedPort();
  SiteUnderTest north(sims, "north", broker.port(),
                      "[Status]\nHttpPort=" + std::to_string(http) + "\n[NowPlaying]\nIdleText=x\n",
                      "NowPlaying1=RT1=%RT%\\r\n", "NowPlayingTopic=varnok/nowplaying\n");
  north.start();
  ASSERT_TRUE(broker.publish("varnok/nowplaying", {R"({"artist":"Queen","title":"Innuendo"})"}));
  ASSERT_TRUE(north.receives("RT1=Queen - Innuendo\r"));
  ASSERT_TRUE(broker.publish("varnok/nowplaying", {"Sigur R\xc3\xb3s - Hopp\xc3\xadpolla"}));
  ASSERT_TRUE(north.receives("RT1=Queen - Innuendo\rRT1=Sigur R\xc3\xb3s - Hopp\xc3\xadpolla\r"));
  const std::string status = httpGet(http, "/status").body;
  EXPECT_NE(status.find("\"updates\":{\"http\":0,\"file\":0,\"mqtt\":2,"), std::string::npos)
      << status;
  north.stop();
}

TEST_F(SitesTest, OddMessagesAreCommandsOrLoggedAndABurstIsHeldBack) {
  // A small total bound, so that a burst is held back by pushback.
  const std::uint16_t http = closedPort();
  SiteUnderTest site(
      sims, "north", broker.port(),
      "[Status]\nHttpPort=" + std::to_string(http) + "\n[Inputs]\nBacklogTotalMB=1\n");
  site.start();
  // Payloads as they come: as large as a producer's read, NUL bytes, a topic
  // with odd characters; a megabyte is refused whole (twice, logged once).
  const std::string big = "ONE=" + std::string((64 << 10) - 5, 'x') + "\r";
  const std::string huge = "TWO=" + std::string(1 << 20, 'x') + "\r";
  const std::string nul("\0\0\0NUL\0\r", 9);
  for (const auto& [topic, payload] : std::vector<std::pair<std::string, std::string>>{
           {"varnok/command/north", big},
           {"varnok/command/north", huge},
           {"varnok/command/north", huge},
           {"varnok/command/north", nul},
           {"varnok/command/north/\xc3\xa4 \xc3\xb6/x", "ODD=1\r"},
           {"varnok/command/north/encoder/Nobody", "LOST\r"},
           // The scheme's level in any letter case; an empty name is nobody's.
           {"varnok/command/north/ENCODER/studio", "CASE=1\r"},
           {"varnok/command/north/encoder/", "EMPTY\r"}}) {
    sims.write("payload", payload);
    ChildProcess pub("/usr/bin/mosquitto_pub",
                     {"-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-q", "1", "-t",
                      topic, "-f", sims.folder() + "payload"});
    ASSERT_EQ(pub.wait(10000), 0) << pub.err();
  }
  ASSERT_TRUE(site.receives(big + nul + "ODD=1\rCASE=1\r", 30000))
      << site.encoder.received().size();
  EXPECT_TRUE(site.program->waitForOutput(
      "MQTT message for unknown encoder Nobody dropped (varnok/command/north/encoder/Nobody)"));
  EXPECT_TRUE(site.program->waitForOutput(
      "MQTT message for unknown encoder  dropped (varnok/command/north/encoder/)"));
  const std::string refused =
      "MQTT message refused - 1048581 bytes, more than 65536 (varnok/command/north)";
  EXPECT_TRUE(site.program->waitForOutput(refused));
  EXPECT_EQ(site.program->out().find(refused), site.program->out().rfind(refused));

  // 10,000 messages at once, 400 bytes each: four times the bound.
  std::vector<std::string> burst;
  for (int i = 0; i < 10000; ++i) {
    std::string line = "B" + std::to_string(i) + "=";
    line.resize(399, 'x');
    burst.push_back(line + "\r");
  }
  ASSERT_TRUE(broker.publish("varnok/command/all", burst));
  const auto takenFromBroker = [&] {
    const std::string status = httpGet(http, "/status").body;
    const std::size_t at = status.find("\"mqtt\":", status.find("\"received\""));
    return at == std::string::npos ? -1L : std::stol(status.substr(at + 7));
  };
  // Taken until the bound holds the site, then no more: the rest waits with
  // the broker while the encoder is served.
  long before = -1, now = takenFromBroker();
  for (int i = 0; i < 50 && (now < 1000 || now != before); ++i) {
    site.program->pump(200);
    before = now;
    now = takenFromBroker();
  }
  EXPECT_GE(now, 1000);
  EXPECT_LT(now, 5000) << "messages taken past a 1 MiB bound";
  site.stop();
}

}  // namespace
}  // namespace varnok::testing
