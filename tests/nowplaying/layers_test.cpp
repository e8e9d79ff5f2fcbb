// What each encoder has on air, layer by layer, on virtual time in a
// European zone: the station's texts by day part, songs that come and run
// out, overrides that overlap and end, across both changes of daylight
// saving time; and the DAB+ label file that follows the same layers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>

#include "app/settings.h"
#include "dispatcher/dispatcher_fixture.h"
#include "nowplaying/now_playing.h"

namespace varnok::testing {
namespace {

using nowplaying::Source;
using nowplaying::Update;

// UTC milliseconds of a local civil time in the zone set.
std::int64_t localMs(int year, int month, int day, int hour, int minute, int isDst = -1) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_isdst = isDst;
  return static_cast<std::int64_t>(std::mktime(&t)) * 1000;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class LayersTest : public DispatcherTest {
 protected:
  void SetUp() override {
    const char* zone = std::getenv("TZ");
    savedZone_ = zone ? std::optional<std::string>(zone) : std::nullopt;
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
  }
  void TearDown() override {
    service.reset();
    if (savedZone_) {
      ::setenv("TZ", savedZone_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  // Encoders A and B nobody listens on: once suspended, what is on air for
  // each is what waits in its queue.
  void open(std::int64_t startUtcMs, const std::string& texts, const std::string& extra = "") {
    clock.setUtcMs(startUtcMs);
    dir.write("varnok.texts", texts);
    create(
        "[General]\nEncoderCount=2\nErrorLimit=1\nSuspendForMinutes=1000000\nMaxMinutesInQueue="
        "100000\n[Inputs]\nSocket=0\n"
        "[Encoder1]\nName=A\nPort=1\nCharset=ascii\nNowPlaying1=RT=%RT%\\r\n"
        "[Encoder2]\nName=B\nPort=1\nCharset=ascii\nNowPlaying1=RT=%RT%\\r\n"
        "[NowPlaying]\nIdleText=Station X\n" +
        extra);
    service =
        nowplaying::openNowPlaying(*dispatcher, readSettings(dir.folder(), "test").nowPlaying);
  }
  // The radio text waiting for an encoder ("" for none).
  std::string onAir(int encoder) const {
    const auto& queue = dispatcher->queues().queue(encoder);
    for (auto it = queue.rbegin(); it != queue.rend(); ++it) {
      if (it->text.starts_with("RT=")) return it->text.substr(3, it->text.size() - 4);
    }
    return {};
  }
  void until(std::int64_t utcMs) { time.advance(utcMs - clock.utcMs()); }

  std::unique_ptr<nowplaying::NowPlaying> service;
  std::optional<std::string> savedZone_;
};

constexpr char kTexts[] =
    "[list Night]\nfrom = 22:00\nto = 06:00\ndwell = 600\ntext = Night A\ntext = Night B\n"
    "[list Morning]\ndays = mon-fri\nfrom = 06:00\nto = 10:00\ndwell = 60\n"
    "text = Good morning\ntext = [Just played: %TITLE%]\n"
    "[list Small hours]\ndays = sun\nfrom = 02:30\nto = 04:00\ntext = Small hours\n"
    "[list B all day]\nencoders = b\ntext = Only B\n";

TEST_F(LayersTest, AWeekOfDayPartsSongsAndOverrides) {
  open(localMs(2027, 3, 22, 5, 0), kTexts);
  struct Step {
    std::int64_t at;  // local time, as UTC ms
    std::function<void()> action;
    std::string a, b;
  };
  const auto song = [&](const char* title, double seconds) {
    return [=, this] { service->apply(Update{"Queen", title, "", "", seconds}, Source::Http); };
  };
  const auto override = [&](const char* id, const char* text, std::vector<std::string> encoders,
                            int priority, int seconds) {
    return [=, this] {
      nowplaying::NowPlaying::Override o;
      o.id = id;
      o.text = text;
      o.encoders = encoders;
      o.priority = priority;
      ASSERT_EQ(service->startOverride(o, seconds), std::nullopt);
    };
  };
  const Step steps[] = {
      {localMs(2027, 3, 22, 5, 0), nullptr, "Night A", "Night A"},
      {localMs(2027, 3, 22, 5, 10), nullptr, "Night B", "Night B"},
      {localMs(2027, 3, 22, 6, 0), nullptr, "Good morning", "Good morning"},
      {localMs(2027, 3, 22, 8, 0), song("Innuendo", 300), "Queen - Innuendo", "Queen - Innuendo"},
      // The song ran out: the rotation again, now with its title.
      {localMs(2027, 3, 22, 8, 5), nullptr, "Just played: Innuendo", "Just played: Innuendo"},
      {localMs(2027, 3, 22, 8, 6), override("news", "News at eight", {"A"}, 5, 300),
       "News at eight", "Good morning"},
      {localMs(2027, 3, 22, 8, 7), override("flash", "Flash", {}, 9, 600), "Flash", "Flash"},
      {localMs(2027, 3, 22, 8, 8), [this] { ASSERT_TRUE(service->cancelOverride("flash")); },
       "News at eight", "Good morning"},
      {localMs(2027, 3, 22, 8, 11), nullptr, "Just played: Innuendo", "Just played: Innuendo"},
      {localMs(2027, 3, 22, 10, 0), nullptr, "Station X", "Only B"},
      {localMs(2027, 3, 27, 10, 0), nullptr, "Station X", "Only B"},  // Saturday: no morning
      // Sunday: the clocks go forward at 02:00; the small hours start at the
      // end of the gap, not at 02:30 that never comes.
      {localMs(2027, 3, 28, 1, 59), nullptr, "Night B", "Night B"},
      {localMs(2027, 3, 28, 3, 0), nullptr, "Small hours", "Small hours"},
      {localMs(2027, 3, 28, 4, 0), nullptr, "Night A", "Night A"},
      {localMs(2027, 3, 29, 6, 0), nullptr, "Good morning", "Good morning"},
  };
  for (const Step& step : steps) {
    until(step.at);
    if (step.action) step.action();
    const std::time_t t = static_cast<std::time_t>(step.at / 1000);
    SCOPED_TRACE(std::asctime(std::localtime(&t)));
    EXPECT_EQ(onAir(0), step.a);
    EXPECT_EQ(onAir(1), step.b);
  }
}

// The clocks go back at 03:00: the small hours come twice, and the DAB+
// label follows the same layers, with the song's tags while it plays.
TEST_F(LayersTest, TheRepeatedHourAndTheDabLabel) {
  open(localMs(2027, 10, 31, 2, 0, 1), kTexts, "[DabText]\nFile1=dls.txt\nEncoder1=A\n");
  const std::string dls = dir.folder() + "dls.txt";
  const struct {
    std::int64_t at;
    std::string a;
  } steps[] = {
      {localMs(2027, 10, 31, 2, 0, 1), "Night A"},
      {localMs(2027, 10, 31, 2, 30, 1), "Small hours"},
      {localMs(2027, 10, 31, 2, 0, 0), "Night A"},  // 03:00 summer time is 02:00 winter time
      {localMs(2027, 10, 31, 2, 30, 0), "Small hours"},
      {localMs(2027, 10, 31, 4, 0, 0), "Night A"},
  };
  for (const auto& step : steps) {
    until(step.at);
    EXPECT_EQ(onAir(0), step.a) << step.at;
    EXPECT_EQ(readFile(dls), step.a + "\n");
  }
  service->apply(Update{"Queen", "Innuendo", "", "", std::nullopt}, Source::Http);
  EXPECT_EQ(readFile(dls),
            "Queen - Innuendo\n##### parameters { #####\nDL_PLUS=1\nDL_PLUS_ITEM_TOGGLE=0\n"
            "DL_PLUS_ITEM_RUNNING=1\nDL_PLUS_TAG=4 0 4\nDL_PLUS_TAG=1 8 7\n"
            "##### parameters } #####\n");
  service->apply(Update{"Abba", "SOS", "", "", std::nullopt}, Source::Http);
  EXPECT_NE(readFile(dls).find("DL_PLUS_ITEM_TOGGLE=1\n"), std::string::npos);
  // Overrides as JSON, as the HTTP and broker doors hand them on.
  using Kind = nowplaying::NowPlaying::BodyKind;
  const struct {
    std::string body, error;
  } refused[] = {
      {R"({"override":{"id":"x","text":"T","seconds":0}})", "seconds must be 1 to 86400"},
      {R"({"override":{"id":"x","text":"T","seconds":9,"encoders":["Z"]}})", "unknown encoder Z"},
      {R"({"override":{"id":"x","text":"[T]","seconds":9}})",
       "an override text cannot hold [ or ]"},
      {R"({"override":{"id":"x","text":5,"seconds":9}})",
       "override: id and text are strings, seconds and priority numbers, encoders a list"},
      {R"({"cancel":"nothing"})", "no override nothing"},
      {R"({"override":{"id":"x","text":"T","seconds":1e300}})", "seconds must be 1 to 86400"},
  };
  for (const auto& r : refused) EXPECT_EQ(service->post(Kind::Json, r.body).error, r.error);
  EXPECT_EQ(
      service->post(Kind::Json, R"({"override":{"id":"news","text":"News 100%","seconds":60}})")
          .answer,
      "{\"encoders\":[],\"override\":\"news\",\"seconds\":60}\n");
  EXPECT_EQ(readFile(dls), "News 100%\n");
  EXPECT_EQ(onAir(0), "News 100%");
  time.advance(60 * 1000);
  EXPECT_NE(readFile(dls).find("Abba - SOS\n"), std::string::npos);
  EXPECT_EQ(onAir(0), "Abba - SOS");
  EXPECT_TRUE(service->overrides().empty());
}

// A PS rotation, and a texts file that changes: read again within a
// minute; one that cannot be taken keeps the plan there was.
TEST_F(LayersTest, ThePsRotatesAndABadFileKeepsThePlan) {
  open(localMs(2027, 5, 3, 12, 0),
       "[list Name]\ntarget = ps\ndwell = 8\ntext = RADIO EX\n"
       "text = 101.5 FM\n");
  const auto ps = [&] {
    for (const QueuedCommand& c : dispatcher->queues().queue(0)) {
      if (c.text.starts_with("PS=")) return c.text;
    }
    return std::string();
  };
  EXPECT_EQ(ps(), "PS=RADIO EX\r");
  time.advance(8 * 1000);
  EXPECT_EQ(ps(), "PS=101.5 FM\r");
  dir.write("varnok.texts", "[list Name]\ntarget = ps\ndwell = 3\ntext = FAST\n");
  time.advance(60 * 1000);
  EXPECT_TRUE(logged("Texts file refused - line 3: dwell 3 (a PS needs at least 4 seconds) (" +
                     dir.folder() + "varnok.texts); the plan before stays"))
      << logTexts().back();
  EXPECT_NE(ps(), "PS=FAST\r");
  dir.write("varnok.texts", "[list Name]\ntarget = ps\ndwell = 4\ntext = NEW NAME\n");
  time.advance(60 * 1000);
  EXPECT_EQ(ps(), "PS=NEW NAME\r");
  EXPECT_TRUE(logged("Texts file loaded - 1 lists (" + dir.folder() + "varnok.texts)"));
}

// A reload takes new templates and encoders at once: what an encoder kept
// by name was sent is not sent again unless it now renders differently.
TEST_F(LayersTest, AReloadPutsWhatChangedOnAirAndNothingTwice) {
  open(localMs(2027, 3, 22, 12, 0), "");
  service->apply(Update{"Queen", "Bohemian Rhapsody", "", "", std::nullopt}, Source::Http);
  ASSERT_EQ(onAir(1), "Queen - Bohemian Rhapsody");
  const std::string next =
      "[General]\nEncoderCount=2\nErrorLimit=1\nSuspendForMinutes=1000000\n[Inputs]\nSocket=0\n"
      "[Encoder1]\nName=B\nPort=1\nCharset=ascii\nNowPlaying1=RT=%RT%\\r\nNowPlaying2=PS=%ARTIST%"
      "\\r\n"
      "[Encoder2]\nName=C\nPort=1\nCharset=ascii\nNowPlaying1=RT=%RT%\\r\n"
      "[NowPlaying]\nIdleText=Station X\nUdpPort=5999\n";
  dir.write("varnok.ini", next);
  std::vector<std::string> waiting;
  for (int round = 0; round < 2; ++round) {
    const Settings settings = readSettings(dir.folder(), "test");
    app.dispatch([&] {
      ASSERT_TRUE(dispatcher->reload(settings.dispatcher));
      waiting = service->reload(settings.nowPlaying);
    });
    // B (now first) gets its new command; C, new, the song; then nothing more.
    const auto& b = dispatcher->queues().queue(0);
    EXPECT_EQ(b.back().text, "PS=Queen\r");
    EXPECT_EQ(b.size(), 2u);  // the older radio text replaced
    EXPECT_EQ(onAir(1), "Queen - Bohemian Rhapsody");
    EXPECT_EQ(dispatcher->queues().size(1), 1u);
    EXPECT_EQ(waiting, std::vector<std::string>{"UdpPort, UdpAddress, UdpAllow"});
  }
}

}  // namespace
}  // namespace varnok::testing
