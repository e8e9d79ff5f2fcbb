// The now-playing service on a dispatcher in virtual time: what start-up
// reads and refuses, what each update queues for which encoder, and what
// replaces, ignores or idles.
#include "nowplaying/now_playing.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "app/settings.h"
#include "dispatcher/dispatcher_fixture.h"
#include "support/loopback.h"

namespace varnok::testing {
namespace {

using nowplaying::Source;
using nowplaying::Update;

class NowPlayingTest : public DispatcherTest {
 protected:
  // Two encoders nobody listens on (what is queued stays there), the second
  // switched off unless told otherwise, and the [NowPlaying] keys given.
  void open(const std::string& keys, bool secondEnabled = true) {
    create(
        "[General]\nEncoderCount=3\n[Inputs]\nSocket=0\n"
        "[Encoder1]\nName=A\nPort=1\nCharset=rds\nNowPlaying1=RT=%RT%\\r\n"
        "NowPlaying2=RTP=%RTPLUS%\\r\nNowPlaying3=bad %FIELD%\n"
        "[Encoder2]\nName=B\nPort=1\nCharset=ascii\nEnabled=" +
        std::string(secondEnabled ? "1" : "0") +
        "\nNowPlaying1=T=%TITLE%\\x21\\r\n"
        "[Encoder3]\nName=C\nPort=1\nCharset=ebcdic\n[NowPlaying]\n" +
        keys);
    service =
        nowplaying::openNowPlaying(*dispatcher, readSettings(dir.folder(), "test").nowPlaying);
  }
  std::vector<std::string> queued(int encoder) const {
    std::vector<std::string> texts;
    for (const QueuedCommand& c : dispatcher->queues().queue(encoder)) texts.push_back(c.text);
    return texts;
  }
  std::unique_ptr<nowplaying::NowPlaying> service;
};

TEST_F(NowPlayingTest, StartUpLogsWhatItCannotUseAndRunsWithTheRest) {
  dir.write("world-readable-token", "abc\n");
  ::chmod((dir.folder() + "world-readable-token").c_str(), 0644);
  open("TokenFile=world-readable-token\nRadioText=[%ARTIST%\nFileFormat=csv\nFile=np.txt\n");
  ASSERT_NE(service, nullptr);
  EXPECT_TRUE(service->settings().token.empty());
  EXPECT_FALSE(service->settings().file.has_value());
  const std::vector<std::string> log = logTexts();
  const auto has = [&](const std::string& start) {
    return std::any_of(log.begin(), log.end(),
                       [&](const std::string& l) { return l.rfind(start, 0) == 0; });
  };
  for (const char* start :
       {"Now playing token file refused - group or others can read it (",
        "Now playing file not watched - FileFormat: ", "Now playing RadioText ignored - ",
        "Now playing template ignored - [Encoder1] NowPlaying3: ",
        "Now playing charset ignored - [Encoder3] Charset: "}) {
    EXPECT_TRUE(has(start)) << start;
  }
  // The default radio text, and the two templates that could be read.
  service->apply({"Mot\xc3\xb6rhead", "Ace", ""}, Source::Http);
  EXPECT_EQ(queued(0), (std::vector<std::string>{"RT=Mot\x97rhead - Ace\r", "RTP=4,0,8,1,12,2\r"}));

  // An inline token is taken, with a warning when others can read the INI.
  ::chmod((dir.folder() + "varnok.ini").c_str(), 0644);
  dir.write("varnok.ini", "[NowPlaying]\nToken=abc\n");
  ::chmod((dir.folder() + "varnok.ini").c_str(), 0644);
  const auto s = nowplaying::readSettings(readConfigurationFile(dir.folder()), dir.folder());
  EXPECT_EQ(s.token, "abc");
  EXPECT_EQ(s.problems,
            std::vector<std::string>{"Now playing token is in varnok.ini, which others can "
                                     "read: keep it in a TokenFile"});
}

TEST_F(NowPlayingTest, TheLatestUpdateReplacesWhatWaitsAndIdenticalOnesAreIgnored) {
  open("IdleText=Station X\n");
  dispatcher->queueCommand("PRODUCER\r", Destination{.name = {}, .encoder = 1});
  const struct {
    Update update;
    bool ignored;
    std::vector<std::string> a, b;
  } steps[] = {
      {{"Artist", "Song", ""},
       false,
       {"RT=Artist - Song\r", "RTP=4,0,5,1,9,3\r"},
       {"PRODUCER\r", "T=Song!\r"}},
      // Cleaned before comparing: the same update with a blank around it.
      {{" Artist ", "Song", ""},
       true,
       {"RT=Artist - Song\r", "RTP=4,0,5,1,9,3\r"},
       {"PRODUCER\r", "T=Song!\r"}},
      // A line break never splits a command; the producer's command stays.
      {{"", "Two\r\nLines", ""},
       false,
       {"RT=Two  Lines\r", "RTP=1,0,9,0,0,0\r"},
       {"PRODUCER\r", "T=Two  Lines!\r"}},
      // Neither artist nor title: the idle text.
      {{"", "", "Album"}, false, {"RT=Station X\r", "RTP=0,0,0,0,0,0\r"}, {"PRODUCER\r", "T=!\r"}},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(service->apply(step.update, Source::File).ignored, step.ignored);
    EXPECT_EQ(queued(0), step.a) << step.update.title;
    EXPECT_EQ(queued(1), step.b) << step.update.title;
    EXPECT_TRUE(countersAddUp());
  }
  EXPECT_EQ(dispatcher->counters().replaced, 6u);
  // A field beyond any encoder's use is cut first, whole characters kept.
  std::string huge = "x";
  for (int i = 0; i < 100000; ++i) huge += "\xc3\xa9";
  service->apply({"", huge, ""}, Source::File);
  EXPECT_EQ(service->current()->update.title, huge.substr(0, 1023));
  EXPECT_EQ(service->updates(Source::File), 4u);
  EXPECT_TRUE(logged("Now playing - Artist - Song (file)"));
  EXPECT_TRUE(logged("Now playing - Two  Lines (file)"));
}

TEST_F(NowPlayingTest, SilenceSendsTheIdleTextOnceAndASwitchedOffEncoderGetsNothing) {
  open("IdleText=Station X\nIdleAfterMinutes=2\n", false);
  service->apply({"Artist", "Song", ""}, Source::Http);
  EXPECT_TRUE(queued(1).empty());
  time.advance(119 * 1000);
  loop.runOnce(0);
  EXPECT_EQ(queued(0).front(), "RT=Artist - Song\r");
  time.advance(1000);
  loop.runOnce(0);
  EXPECT_EQ(queued(0), (std::vector<std::string>{"RT=Station X\r", "RTP=0,0,0,0,0,0\r"}));
  EXPECT_TRUE(logged("Now playing - idle (no update for 2 minutes)"));
  // What is on air came from no source now.
  ASSERT_TRUE(service->current());
  EXPECT_TRUE(service->current()->idle);
  time.advance(10 * 60 * 1000);
  loop.runOnce(0);
  EXPECT_EQ(dispatcher->counters().replaced, 2u);
  // A bad body says why; a good one says what it queued.
  EXPECT_FALSE(service->post(true, "{\"title\":").error.empty());
  const auto posted = service->post(false, "title=New");
  EXPECT_EQ(posted.error, "");
  EXPECT_FALSE(posted.outcome.ignored);
  EXPECT_EQ(posted.outcome.radioText, "New");
  ASSERT_EQ(posted.outcome.queued.size(), 1u);
  EXPECT_EQ(posted.outcome.queued[0].encoder, 0);
  EXPECT_EQ(posted.outcome.queued[0].commands, 2u);
  // A new update is on air from its source again; a single minute is one.
  service->apply({"Artist", "Other", ""}, Source::Http);
  EXPECT_FALSE(service->current()->idle);
  service.reset();
  open("IdleAfterMinutes=1\n");
  service->apply({"Artist", "Song", ""}, Source::Http);
  time.advance(60 * 1000);
  loop.runOnce(0);
  EXPECT_TRUE(logged("Now playing - idle (no update for 1 minute)"));
}

// Skip=, Only= and SkipShorterThan=: a skipped item is logged and leaves
// what is on air, the count of updates and the idle timer alone.
TEST_F(NowPlayingTest, RulesLeaveJinglesAndShortItemsOffTheAir) {
  open(
      "Skip=jingle*, Ads\nOnly=music, jingle*, ads, news\nSkipShorterThan=30\n"
      "IdleAfterMinutes=1\n");
  service->apply({"Artist", "Song", ""}, Source::File);
  const struct {
    std::string category;
    std::optional<double> seconds;
    std::string skipped;  // empty: on air
  } items[] = {
      {"Music", 200, ""},
      {"", std::nullopt, ""},  // nothing to judge it by
      {"JINGLES", 5, "JINGLES"},
      {"ads", std::nullopt, "ads"},
      {"Talk", std::nullopt, "Talk, not in Only"},
      {"news", 12.5, "12.5 s, shorter than 30 s"},
  };
  int n = 0;
  for (const auto& item : items) {
    const Update update{"Artist", "Item " + std::to_string(++n), "", item.category, item.seconds};
    time.advance(50 * 1000);  // never a minute of silence between them
    loop.runOnce(0);
    const auto outcome = service->apply(update, Source::Http);
    EXPECT_EQ(outcome.skipped, item.skipped) << item.category;
    EXPECT_EQ(outcome.ignored, !item.skipped.empty());
    const std::string onAir =
        item.skipped.empty() ? update.title : service->current()->update.title;
    EXPECT_EQ(service->current()->update.title, onAir);
  }
  EXPECT_EQ(service->skipped(), 4u);
  EXPECT_EQ(service->updates(Source::Http), 2u);
  EXPECT_TRUE(logged("Now playing skipped - JINGLES: Item 3 (http)"));
  // Skipped items do not keep the idle text away.
  time.advance(60 * 1000);
  loop.runOnce(0);
  EXPECT_TRUE(logged("Now playing - idle (no update for 1 minute)"));
  // A flood of them: ten lines, then one for the rest of the minute.
  const std::size_t before = logTexts().size();
  for (int i = 0; i < 1000; ++i) service->apply({"", "Jingle", "", "jingles", {}}, Source::Udp);
  time.advance(60 * 1000);
  EXPECT_EQ(logTexts().size() - before, 11u);
  EXPECT_TRUE(logged("Now playing skipped - 990 more in the last minute (the last: jingles: "
                     "Jingle (udp))"));
}

// Datagrams: one item each, from allowed senders only; a flood from
// elsewhere is dropped with one line, then one summary a minute.
TEST_F(NowPlayingTest, DatagramsFromAllowedSendersOnly) {
  const std::uint16_t port = closedPort();
  open("UdpPort=" + std::to_string(port) + "\nUdpAllow=127.0.0.1\nFileFormat=json\n");
  ASSERT_TRUE(logged("Now playing taken over UDP at 127.0.0.1:" + std::to_string(port)));
  const auto sendFrom = [&](const char* from, const std::string& text) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at = loopbackAddress(from, 0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    sockaddr_in to = loopbackAddress("127.0.0.1", port);
    ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
  };
  std::thread flood([&] {
    for (int i = 0; i < 100; ++i) sendFrom("127.0.0.2", R"({"title":"Spoof"})");
  });
  flood.join();
  sendFrom("127.0.0.1", "{not json");
  sendFrom("127.0.0.1", R"({"artist":"A","title":"Datagram"})");
  for (int i = 0; i < 20 && service->updates(Source::Udp) == 0; ++i) loop.runOnce(5);
  EXPECT_EQ(service->current()->update.title, "Datagram");
  EXPECT_EQ(queued(0).front(), "RT=A - Datagram\r");
  const auto count = [&](const std::string& start) {
    int n = 0;
    for (const std::string& line : logTexts()) n += line.starts_with(start);
    return n;
  };
  EXPECT_EQ(count("Now playing datagram dropped - 127.0.0.2 is not in UdpAllow"), 1);
  EXPECT_EQ(count("Now playing datagram refused - "), 1);
  EXPECT_EQ(count("Now playing datagrams dropped - "), 0);
  time.advance(60 * 1000);
  loop.runOnce(0);
  EXPECT_TRUE(
      logged("Now playing datagrams dropped - 100 in the last minute from addresses not "
             "in UdpAllow (the last from 127.0.0.2)"));
  time.advance(120 * 1000);
  loop.runOnce(0);
  EXPECT_EQ(count("Now playing datagrams dropped - "), 1);  // quiet since
}

}  // namespace
}  // namespace varnok::testing
