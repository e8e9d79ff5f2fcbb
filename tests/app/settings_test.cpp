// Everything varnok.ini says, read in one pass: each part's settings as
// their own fields, what could not be used noted rather than logged, and
// two readings that compare equal until the file changes.
#include "app/settings.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace varnok {
namespace {

using testing::TempDir;

TEST(Settings, OnePassGivesEachPartItsOwnAndComparesFieldByField) {
  TempDir dir;
  dir.write("varnok.ini",
            "[General]\nEncoderCount=2\n[Inputs]\nListenOnPort=2323\n"
            "[Encoder1]\nName=A\nPort=2401\nNowPlaying1=RT=%RT%\\r\nCharset=nonsense\n"
            "[Encoder2]\nName=B\nHost=b.example\n"
            "[Status]\nHttpPort=8080\n[NowPlaying]\nTokenFile=missing\n"
            "[MQTT]\nBroker=broker.example\nPort=99999\n");
  const Settings s = readSettings(dir.folder(), "host");
  EXPECT_EQ(s.dispatcher.config.listenOnPort, 2323);
  ASSERT_EQ(s.dispatcher.encoders.size(), 2u);
  EXPECT_EQ(s.dispatcher.encoders[0].name, "A");
  EXPECT_EQ(s.dispatcher.encoders[1].host, "b.example");
  EXPECT_EQ(s.statusPage.httpPort, 8080);
  // The now-playing keys of [Encoder1] were read with the rest of it.
  ASSERT_EQ(s.nowPlaying.encoders.size(), 1u);
  EXPECT_EQ(s.nowPlaying.encoders[0].encoder, 0);
  ASSERT_EQ(s.nowPlaying.problems.size(), 2u);
  EXPECT_EQ(s.nowPlaying.problems[0],
            "Now playing token file cannot be read (" + dir.folder() + "missing)");
  EXPECT_EQ(s.nowPlaying.problems[1].rfind("Now playing charset ignored - [Encoder1]", 0), 0u);
  EXPECT_FALSE(s.site.enabled);
  EXPECT_EQ(s.site.problem, "MQTT off - Port 99999 is not a TCP port");

  EXPECT_EQ(readSettings(dir.folder(), "host"), s);
  dir.write("varnok.ini", "[General]\nEncoderCount=2\n[Encoder2]\nName=C\n");
  const Settings changed = readSettings(dir.folder(), "host");
  EXPECT_NE(changed, s);
  EXPECT_NE(changed.dispatcher.encoders, s.dispatcher.encoders);
  EXPECT_EQ(changed.statusPage, status::PageSettings{});
}

}  // namespace
}  // namespace varnok
