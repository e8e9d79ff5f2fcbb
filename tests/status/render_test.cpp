// The status window's pages from hand-made snapshots: whatever bytes a text
// holds, it stays inside its quotes in every format.
#include <gtest/gtest.h>

#include "status/status_render.h"

namespace varnok::status {
namespace {

Snapshot snapshot() {
  Snapshot s;
  s.title = "Varnok (Dispatch)";
  s.header = {"RDS Encoder Name", "Host", "Port", "Queue", "Thread", "Errors", "Enabled"};
  s.listeningPort = 2323;
  s.produced = "2026-12-06 13:05:22";
  for (const char* state : {"Yes", "Suspended"}) {
    EncoderState e;
    e.number = static_cast<int>(s.encoders.size()) + 1;
    e.name = "Studio " + std::to_string(e.number);
    e.host = "127.0.0.1";
    e.port = 2400 + e.number;
    e.queue = 3;
    e.errors = 4;
    e.errorsInRow = 2;
    e.enabled = true;
    e.suspended = state == std::string("Suspended");
    e.cells = {e.name, e.host, std::to_string(e.port), "3", "", "4", state};
    s.encoders.push_back(e);
  }
  s.encoders[0].thread = 2;
  s.encoders[0].connected = true;
  s.log = {"<2026-12-06 13:05:22> Configuration file loaded"};
  return s;
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(StatusText, EachFormatQuotesWhatItMust) {
  EXPECT_EQ(bytesAsText("a\xe9\xff"), "a\xc3\xa9\xc3\xbf");  // one character per byte
  EXPECT_EQ(fileNameAsText("R\xc3\xa1"
                           "dio"),
            "R\xc3\xa1"
            "dio");  // valid UTF-8 stays
  EXPECT_EQ(fileNameAsText("R\xe1"
                           "dio\xc0\xaf"),
            "R\xc3\xa1"
            "dio\xc3\x80\xc2\xaf");

  EXPECT_EQ(jsonString("a\"b\\c\r\n\t"), "\"a\\\"b\\\\c\\r\\n\\t\"");
  EXPECT_EQ(jsonString(std::string("\0\x1f\x7f\xc2\x85\xe2\x80\xa8", 8)),
            "\"\\u0000\\u001f\\u007f\\u0085\\u2028\"");
  EXPECT_EQ(jsonString("\xc3\xa9|\xff|\xc3"), "\"\xc3\xa9|\\u00ff|\\u00c3\"");  // stray bytes

  EXPECT_EQ(htmlText("<a href='x'>&\"</a>"), "&lt;a href=&#39;x&#39;&gt;&amp;&quot;&lt;/a&gt;");
  EXPECT_EQ(htmlText("RT\r\t\xc2\x90\xff"), "RT\xe2\x90\x8d\t\xef\xbf\xbd\xef\xbf\xbd");

  EXPECT_EQ(metricLabelValue("A \"B\"\\C\nD\tE\xff"), "A \\\"B\\\"\\\\C\\nD\tE\xef\xbf\xbd");
}

TEST(StatusPages, JsonCarriesTypedCellsAndSurvivesAwkwardBytes) {
  Snapshot s = snapshot();
  s.totals = {.receivedTcp = 5,
              .receivedHandOff = 6,
              .receivedFile = 7,
              .queued = 40,
              .delivered = 30,
              .expired = 2,
              .failedSends = 1,
              .producersAccepted = 8,
              .producersRefused = 9};
  s.producerConnections = 3;
  s.inFlight = 1;
  s.waiting = 6;
  s.encoders[1].name = "Stu\"dio\\\n\x01\xff";
  s.log.push_back(std::string("File could not be read - \x1b[31m\xfe\xc3(") + '\0');
  const std::string json = renderJson(s);
  EXPECT_EQ(
      json.rfind("{\"title\":\"Varnok (Dispatch)\",\"listeningPort\":2323,\"produced\":"
                 "\"2026-12-06 13:05:22\",\"encoders\":[\n{\"number\":1,\"name\":\"Studio 1\","
                 "\"host\":\"127.0.0.1\",\"port\":2401,\"queue\":3,\"thread\":2,\"errors\":4,"
                 "\"errorsInRow\":2,\"enabled\":true,\"suspended\":false,\"connected\":true},",
                 0),
      0u)
      << json;
  EXPECT_TRUE(has(json,
                  "\"name\":\"Stu\\\"dio\\\\\\n\\u0001\xc3\xbf\",\"host\":\"127.0.0.1\","
                  "\"port\":2402,\"queue\":3,\"thread\":null,\"errors\":4,\"errorsInRow\":2,"
                  "\"enabled\":true,\"suspended\":true,\"connected\":false}"))
      << json;
  EXPECT_TRUE(has(json, "\"File could not be read - \\u001b[31m\xc3\xbe\xc3\x83(\\u0000\"]"));
  EXPECT_TRUE(
      has(json,
          "\"totals\":{\"received\":{\"tcp\":5,\"handoff\":6,\"file\":7},"
          "\"queued\":40,\"delivered\":30,\"expired\":2,\"failedSends\":1,"
          "\"replaced\":0,\"cleared\":0,\"inFlight\":1,\"waiting\":6,\"producerConnections\":3,"
          "\"producersAccepted\":8,"
          "\"producersRefused\":9}}"));
  for (const char c : json) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 && c != '\n');
  s.listeningPort.reset();
  EXPECT_TRUE(has(renderJson(s), "\"listeningPort\":null,"));
}

TEST(StatusPages, MetricsAndPageShowEveryEncoderAndMarkTheSuspendedOne) {
  Snapshot s = snapshot();
  s.encoders[1].name = "Back\\slash \"quoted\"\nnext";
  s.encoders[1].cells[0] = "<b>Studio 2</b>";
  s.totals.receivedHandOff = 12;
  s.totals.delivered = 30;
  s.totals.expired = 2;
  s.totals.failedSends = 1;
  const std::string metrics = renderMetrics(s);
  EXPECT_TRUE(has(metrics,
                  "# HELP varnok_encoder_queue_length Commands waiting in the encoder's "
                  "queue.\n# TYPE varnok_encoder_queue_length gauge\n"
                  "varnok_encoder_queue_length{encoder=\"Studio 1\",number=\"1\"} 3\n"
                  "varnok_encoder_queue_length{encoder=\"Back\\\\slash \\\"quoted\\\"\\n"
                  "next\",number=\"2\"} 3\n"))
      << metrics;
  EXPECT_TRUE(has(metrics, "varnok_encoder_suspended{encoder=\"Studio 1\",number=\"1\"} 0\n"));
  EXPECT_TRUE(has(metrics, "number=\"2\"} 1\n# HELP varnok_encoder_connected"));
  EXPECT_TRUE(has(metrics, "# TYPE varnok_commands_received_total counter\n"));
  EXPECT_TRUE(has(metrics, "varnok_commands_received_total{input=\"handoff\"} 12\n"));

  const std::string page = renderPage(s);
  EXPECT_TRUE(has(page, "<meta name=\"viewport\" content=\"width=device-width"));
  EXPECT_TRUE(has(page, "<meta http-equiv=\"refresh\" content=\"5\">"));
  EXPECT_TRUE(has(page, "<th>RDS Encoder Name</th><th>Host</th>"));
  EXPECT_TRUE(has(page, "<tr class=\"encoder\"><td data-label=\"RDS Encoder Name\">Studio 1</td>"));
  EXPECT_TRUE(has(page,
                  "<tr class=\"encoder suspended\"><td data-label=\"RDS Encoder Name\">"
                  "&lt;b&gt;Studio 2&lt;/b&gt;</td>"))
      << page;
  EXPECT_TRUE(has(page, "<td class=\"state\" data-label=\"Enabled\">Suspended</td>"));
  EXPECT_TRUE(has(page, "<pre id=\"log\">&lt;2026-12-06 13:05:22&gt; Configuration"));
  EXPECT_FALSE(has(page, "<script"));
  EXPECT_TRUE(has(page, "<th class=\"num\">Port</th><th class=\"num\">Queue</th>"));
  EXPECT_TRUE(has(page, " &middot; delivered 30 &middot; in flight ")) << page;
  EXPECT_TRUE(has(page, " &middot; expired 2 &middot; failed 1 &middot; replaced "));

  // Not listening is a fault only where listening was asked for.
  s.listeningPort.reset();
  s.listeningWanted = true;
  EXPECT_TRUE(has(renderPage(s), "<span class=\"alarm\">Not listening for producers</span>"));
  s.listeningWanted = false;
  EXPECT_FALSE(has(renderPage(s), "alarm\">Not listening"));
  EXPECT_TRUE(has(renderPage(s), "Not listening for producers"));
}

// What a playout system is told of its post, and what a site publishes.
TEST(StatusPages, NowPlayingAnswersAndSiteStatusAreJson) {
  std::vector<Encoder> encoders(2);
  encoders[1].name = "A";
  nowplaying::NowPlaying::Posted bad;
  bad.error = "not JSON";
  EXPECT_EQ(renderNowPlayingAnswer(bad, encoders).status, 400u);
  EXPECT_EQ(renderNowPlayingAnswer(bad, encoders).json, "{\"error\":\"not JSON\"}\n");
  nowplaying::NowPlaying::Posted good;
  good.outcome.radioText = "New";
  good.outcome.queued.push_back({1, 2});
  const NowPlayingAnswer answer = renderNowPlayingAnswer(good, encoders);
  EXPECT_EQ(answer.status, 200u);
  EXPECT_EQ(answer.json,
            "{\"ignored\":false,\"queued\":[{\"commands\":2,\"encoder\":2,\"name\":\"A\"}],"
            "\"radioText\":\"New\"}\n");

  const std::string site = renderSiteStatus(Snapshot{});
  EXPECT_EQ(site.rfind("{\"online\":true,", 0), 0u) << site;
  EXPECT_EQ(site.find('\n'), std::string::npos) << site;
  EXPECT_EQ(site.find("\"log\""), std::string::npos) << site;
}

}  // namespace
}  // namespace varnok::status
