// Now playing through the real program: metadata in by the watched file and
// by POST /nowplaying (curl), the exact bytes out at two encoder simulators
// with their own templates and charsets; and a producer's acknowledgements
// while other threads flood both inputs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "status_process.h"
#include "support/acked_producer.h"

namespace varnok::testing {
namespace {

constexpr char kToken[] = "t0ken-for-tests";

class NowPlayingProcess : public StatusProgram {
 protected:
  void launchWith(const EncoderSim& a, const EncoderSim& b, const std::string& onStart) {
    launch("EncoderCount=2\n",
           encoder(1, "Studio A", a.port()) +
               "Charset=rds\nNowPlaying1=RT1=%RT%\\r\nNowPlaying2=RTP=%RTPLUS%\\r\n" +
               encoder(2, "Studio B", b.port()) +
               "Charset=ascii\nNowPlaying1=TEXT=%TITLE% by %ARTIST%\\r\n"
               "[NowPlaying]\nFile=np.txt\nTokenFile=np-token\nIdleText=Station X\n",
           std::nullopt, "Station", [&](Installed& folder) {
             folder.write("np-token", std::string(kToken) + "\n");
             ::chmod((folder.folder + "np-token").c_str(), 0600);
             folder.write("np.txt", onStart);
           });
  }
  // Written as playout systems do: a new file renamed over the old one.
  void replaceFile(const std::string& content) {
    app->write("np.tmp", content);
    std::rename((app->folder + "np.tmp").c_str(), (app->folder + "np.txt").c_str());
  }
  HttpAnswer post(const std::string& type, const std::string& body,
                  const std::string& token = kToken) {
    return curl({"-i", "-H", "Authorization: Bearer " + token, "-H", "Content-Type: " + type,
                 "--data-binary", body,
                 "http://127.0.0.1:" + std::to_string(http) + "/nowplaying"});
  }
  // Waits until both simulators have received exactly what is expected.
  void expectBytes(const EncoderSim& a, const std::string& wantA, const EncoderSim& b,
                   const std::string& wantB) {
    EXPECT_TRUE(eventually([&] { return a.received() == wantA && b.received() == wantB; }, 10000,
                           {varnok.get()}))
        << "A: " << hexOf(a.received()) << "\nB: " << hexOf(b.received()) << "\n"
        << varnok->out();
  }
};

TEST_F(NowPlayingProcess, FileAndHttpUpdatesReachEachEncoderInItsOwnCharset) {
  EncoderSim a(sims, "a"), b(sims, "b");
  launchWith(a, b, "Mot\xc3\xb6rhead - Ace of Spades\n");
  // What was on air at start-up goes out at once.
  std::string wantA = "RT1=Mot\x97rhead - Ace of Spades\rRTP=1,12,12,4,0,8\r";
  std::string wantB = "TEXT=Ace of Spades by Motorhead\r";
  expectBytes(a, wantA, b, wantB);

  replaceFile("Sigur R\xc3\xb3s - Hopp\xc3\xadpolla\n");
  wantA += "RT1=Sigur R\x86s - Hopp\x84polla\rRTP=1,12,9,4,0,8\r";
  wantB += "TEXT=Hoppipolla by Sigur Ros\r";
  expectBytes(a, wantA, b, wantB);

  // Refused before anything is queued.
  EXPECT_EQ(post("application/json", "{\"title\":\"x\"}", "wrong").status, 401);
  const HttpAnswer malformed = post("application/json", "{\"title\":");
  EXPECT_EQ(malformed.status, 400);
  EXPECT_EQ(malformed.body.rfind("{\"error\":", 0), 0u) << malformed.body;
  EXPECT_EQ(post("text/plain", "title=x").status, 415);
  EXPECT_EQ(post("application/json", std::string(10000, '[')).status, 400);
  EXPECT_EQ(post("application/json", std::string("{\"title\":\"a\0b\"}", 14)).status, 400);
  EXPECT_EQ(post("application/json", "{\"title\":\"" + std::string(17000, 'x') + "\"}").status,
            413);

  const HttpAnswer json =
      post("application/json", "{\"artist\":\"Bj\xc3\xb6rk\",\"title\":\"J\xc3\xb3ga\"}");
  EXPECT_EQ(json.status, 200);
  EXPECT_NE(json.body.find("\"radioText\":\"Bj\xc3\xb6rk - J\xc3\xb3ga\""), std::string::npos)
      << json.body;
  wantA += "RT1=Bj\x97rk - J\x86ga\rRTP=4,0,4,1,8,3\r";
  wantB += "TEXT=Joga by Bjork\r";
  expectBytes(a, wantA, b, wantB);
  // The same again is ignored; a line break in a field never splits a command.
  EXPECT_NE(post("application/json", "{\"artist\":\"Bj\xc3\xb6rk\",\"title\":\"J\xc3\xb3ga\"}")
                .body.find("\"ignored\":true"),
            std::string::npos);
  EXPECT_EQ(post("application/x-www-form-urlencoded", "artist=AC%0D%0ADC&title=T.N.T.").status,
            200);
  wantA += "RT1=AC  DC - T.N.T.\rRTP=4,0,5,1,9,5\r";
  wantB += "TEXT=T.N.T. by AC  DC\r";
  expectBytes(a, wantA, b, wantB);

  const std::string out = varnok->out();
  for (const char* line :
       {"Now playing - Motorhead - Ace of Spades (file)",
        "Now playing - Sigur Ros - Hoppipolla (file)", "Now playing - Bjork - Joga (http)",
        "Now playing - AC  DC - T.N.T. (http)"}) {
    EXPECT_EQ(countLog(out, line), 1) << line << "\n" << out;
  }
  const std::string status = get("/status").body;
  EXPECT_NE(status.find("\"nowPlaying\":{\"artist\":\"AC  DC\",\"title\":\"T.N.T.\",\"album\":\"\","
                        "\"source\":\"http\",\"radioText\":\"AC  DC - T.N.T.\","
                        "\"updates\":{\"http\":2,\"file\":2}}"),
            std::string::npos)
      << status;
  stop();
}

TEST_F(NowPlayingProcess, FloodsOfFileChangesAndPostsDoNotHoldUpProducers) {
  EncoderSim a(sims, "a"), b(sims, "b");
  launchWith(a, b, "A - B\n");
  std::atomic<bool> stopFlood{false};
  std::atomic<int> writes{0}, posts{0};
  std::thread files([&] {
    for (int i = 0; !stopFlood && i < 20000; ++i, ++writes) {
      replaceFile("Artist " + std::to_string(i) + " - Title\n");
    }
  });
  std::thread poster([&] {
    const std::string request =
        "POST /nowplaying HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
        "Authorization: Bearer " +
        std::string(kToken) +
        "\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: ";
    for (int i = 0; !stopFlood && i < 5000; ++i, ++posts) {
      const std::string body = "title=Post+" + std::to_string(i);
      httpExchange(http, request + std::to_string(body.size()) + "\r\n\r\n" + body);
    }
  });
  AckedProducer producer(listen);
  std::vector<int> waits;
  // At least 100 commands, and on until both floods are well under way.
  for (int i = 0; i < 100 || (i < 5000 && (writes < 100 || posts < 100)); ++i) {
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(producer.command("RT=plain " + std::to_string(i) + "\r")) << producer.error();
    waits.push_back(msSince(sent));
  }
  stopFlood = true;
  files.join();
  poster.join();
  std::sort(waits.begin(), waits.end());
  const int p50 = waits[waits.size() / 2], worst = waits.back();
  RecordProperty("ack_p50_ms", p50);
  RecordProperty("ack_max_ms", worst);
  std::printf(
      "acknowledgements during the flood (%d file writes, %d posts): p50 %d ms, max %d ms\n",
      writes.load(), posts.load(), p50, worst);
  EXPECT_GT(writes.load(), 0);
  EXPECT_GT(posts.load(), 0);
  // A loop held up by the flood shows as acknowledgements in the hundreds of
  // ms; each is a few ms when it is not.
  EXPECT_LT(worst, 500);
  // The file's last content was applied, at most once a debounce.
  stop();
}

}  // namespace
}  // namespace varnok::testing
