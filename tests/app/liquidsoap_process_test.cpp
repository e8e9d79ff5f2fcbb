// The program fed by a real liquidsoap: a playout of tones tagged as a
// jingle and a song, whose metadata handler tells the program through both
// of its HTTP doors, the JSON post and the streaming server's metadata update.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "installed.h"
#include "process_harness.h"
#include "support/liquidsoap.h"
#include "support/loopback.h"

namespace varnok::testing {
namespace {

// Every second a new item starts: a jingle, a song, another song, and
// again. The jingle and the first song are posted as JSON with their type;
// the other song goes through the metadata update, which carries no type.
// The requests run off the streaming thread; what the program answered is
// logged.
std::string playout(std::uint16_t port, const std::string& token) {
  return "base = \"http://127.0.0.1:" + std::to_string(port) + "\"\ntoken = \"" + token + "\"\n" +
         R"liq(
def tell(m)
  kind = m["type"]
  j = json()
  j.add("artist", m["artist"])
  j.add("title", m["title"])
  j.add("type", kind)
  item = j.stringify(compact=true)
  thread.run(fast=false, fun () -> begin
    if kind != "update" then
      r = http.post(base ^ "/nowplaying", data=item, timeout_ms=5000,
                    headers=[("Authorization", "Bearer " ^ token),
                             ("Content-Type", "application/json")])
      log.important("posted #{item}: #{r.status_code} #{r}")
    else
      song = url.encode(plus=false, m["artist"] ^ " - " ^ m["title"])
      g = http.get(base ^ "/admin/metadata?mode=updinfo&mount=/live&song=" ^ song,
                   timeout_ms=5000,
                   headers=[("Authorization",
                             "Basic " ^ string.base64.encode("source:" ^ token))])
      log.important("updated #{song}: #{g.status_code} #{g}")
    end
  end)
end

tones = insert_metadata(sine(440.))
tones.on_metadata(tell)
output.dummy(tones)

items = [[("artist", "Varnok FM"), ("title", "Station Ident"), ("type", "jingle")],
         [("artist", "Some Artist"), ("title", "Some Song"), ("type", "song")],
         [("artist", "Other Artist"), ("title", "Other Song"), ("type", "update")]]
turn = ref(0)
thread.run(delay=0.5, every=1., fun () -> begin
  tones.insert_metadata(list.nth(items, !turn mod 3))
  turn := !turn + 1
end)
)liq";
}

TEST(LiquidsoapProcess, SongsReachTheEncoderAndJinglesDoNot) {
  ASSERT_TRUE(Liquidsoap::installed())
      << Liquidsoap::kProgram << " is missing: `make test` installs it (scripts/install-deps.sh)";
  TempDir work;
  EncoderSim studio(work, "studio");
  ASSERT_NE(studio.port(), 0) << studio.events();
  const std::uint16_t listen = closedPort();
  const std::uint16_t http = closedPort();
  const std::string token = "np-5c1f0e9a7b3d42d8";
  Installed app("[General]\nEncoderCount=1\nThreads=1\nErrorLimit=3\n[Inputs]\nListenOnPort=" +
                std::to_string(listen) +
                "\n[Status]\nHttpAddress=127.0.0.1\nHttpPort=" + std::to_string(http) +
                "\n[NowPlaying]\nTokenFile=np-token\nCategoryKey=type\nSkip=jingle\n"
                "[Encoder1]\nName=Studio\nHost=127.0.0.1\nPort=" +
                std::to_string(studio.port()) + "\nNowPlaying1=RT1=%RT%\\r\n");
  app.write("np-token", token + "\n");
  ASSERT_EQ(chmod((app.folder + "np-token").c_str(), 0600), 0);
  auto varnok = app.start();
  ASSERT_TRUE(varnok->waitForOutput(
      "Now playing taken at http://127.0.0.1:" + std::to_string(http) + "/nowplaying"))
      << varnok->out() << varnok->err();

  Liquidsoap liquidsoap(playout(http, token));
  const std::string song = "RT1=Some Artist - Some Song\r";
  const std::string other = "RT1=Other Artist - Other Song\r";
  const std::vector<std::string> lines = {"Now playing skipped - jingle: Station Ident (http)",
                                          "Now playing - Some Artist - Some Song (http)",
                                          "Now playing - Other Artist - Other Song (metadata)"};
  const auto seen = [&](const std::string& line) { return countLog(varnok->out(), line) > 0; };
  // Until the song went on air through both doors and the jingle was left
  // off; at once when the jingle went on air or liquidsoap ended.
  eventually(
      [&] {
        const std::string received = studio.received();
        return !liquidsoap.running() || received.find("Station Ident") != std::string::npos ||
               (received.find(song) != std::string::npos &&
                received.find(other) != std::string::npos && std::ranges::all_of(lines, seen));
      },
      30000, {varnok.get(), &liquidsoap.process()});
  ASSERT_TRUE(liquidsoap.running()) << liquidsoap.log();

  const std::string received = studio.received();
  EXPECT_EQ(received.find("Station Ident"), std::string::npos) << received;
  EXPECT_NE(received.find(song), std::string::npos) << received;
  EXPECT_NE(received.find(other), std::string::npos) << received;
  for (const std::string& line : lines) EXPECT_TRUE(seen(line)) << line;
  // Nothing but the songs' radio texts went on air.
  std::istringstream commands(received);
  for (std::string command; std::getline(commands, command, '\r');) {
    EXPECT_TRUE(command + "\r" == song || command + "\r" == other) << received;
  }
  if (HasFailure()) std::cout << varnok->out() << liquidsoap.log();
  liquidsoap.stop();
  varnok->signal(SIGTERM);
  EXPECT_EQ(varnok->wait(), 0) << varnok->err();
}

}  // namespace
}  // namespace varnok::testing
