#pragma once

// The status window's pages: the dispatcher's state taken as one snapshot,
// then rendered as an HTML page, as JSON and as Prometheus text. Nothing here
// touches a socket, so every page can be checked from a snapshot alone.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dispatcher/dispatcher.h"
#include "dispatcher/status_table.h"
#include "mqtt/site.h"
#include "nowplaying/now_playing.h"

namespace varnok::status {

// One encoder: its row of the status table as the window shows it, and the same facts as
// typed values.
struct EncoderState {
  int number = 0;  // N of its [EncoderN] section
  std::array<std::string, StatusTable::kColumns> cells;
  std::string name;
  std::string host;
  std::int64_t port = 0;  // as configured (the table shows the same number)
  std::int64_t queue = 0;
  int thread = 0;  // the sender slot connected to it, 1..4; 0 when none
  std::int64_t errors = 0;
  std::int64_t errorsInRow = 0;
  bool enabled = false;    // switched on by configuration
  bool suspended = false;  // enabled, but resting after ErrorLimit failures in a row
  bool connected = false;
  const char* transport = "tcp";
  bool uecp = false;         // it takes UECP frames
  bool confirms = false;     // each command waits for the encoder's reply
  std::int64_t refused = 0;  // commands it refused or left unanswered
};

// The now-playing service, when it runs: the update on air (UTF-8, empty
// before the first) and the updates applied so far by source.
struct NowPlayingState {
  bool onAir = false;
  std::string artist, title, album, source, radioText;
  // Updates applied by source, in the order of nowplaying::Source; items
  // the rules left off the air.
  std::array<std::uint64_t, nowplaying::kSourceCount> updates{};
  std::uint64_t skipped = 0;
  struct ActiveOverride {
    std::string id, text;
    std::vector<std::string> encoders;
    int priority = 0;
    std::int64_t secondsLeft = 0;
  };
  std::vector<ActiveOverride> overrides;
};

// The link to the broker, when there is one.
struct BrokerState {
  std::string broker;  // host:port
  bool connected = false;
};

// Everything one page shows, taken at one moment on the event thread.
struct Snapshot {
  std::string title;
  std::array<std::string, StatusTable::kColumns> header;
  std::optional<std::uint16_t> listeningPort;  // none when not listening
  bool listeningWanted = false;                // Socket=1: not listening is a fault
  std::string produced;                        // local time, as in log lines
  std::vector<EncoderState> encoders;
  std::vector<std::string> log;  // the log view, oldest first
  TrafficCounters totals;
  ControlCounts actions{};               // the operator's actions done, by action
  std::int64_t producerConnections = 0;  // open now
  std::int64_t inFlight = 0;  // entries handed to encoders and not yet acknowledged whole
  std::int64_t waiting = 0;   // entries in the queues
  std::optional<NowPlayingState> nowPlaying;  // none when the service is off
  std::optional<BrokerState> broker;          // none without [MQTT] Broker
};

Snapshot takeSnapshot(const Dispatcher& dispatcher);
// The same with the now-playing service's state, when there is one.
Snapshot takeSnapshot(const Dispatcher& dispatcher, const nowplaying::NowPlaying* nowPlaying,
                      const mqtt::Site* site = nullptr);

// Seconds between the page's own reloads.
inline constexpr int kPageRefreshSeconds = 5;

std::string renderPage(const Snapshot& s);
// withLog false leaves the log out (the status a site publishes).
std::string renderJson(const Snapshot& s, bool withLog = true);
std::string renderMetrics(const Snapshot& s);
// A posted now-playing update's answer: 400 with {"error": ...} when the
// body could not be read, else 200 with what was queued for which encoder.
struct NowPlayingAnswer {
  unsigned status = 200;
  std::string json;
};
NowPlayingAnswer renderNowPlayingAnswer(const nowplaying::NowPlaying::Posted& posted,
                                        const std::vector<Encoder>& encoders);

// What a site publishes on its status topic: the JSON without the log, on
// one line, marked online; and what the broker publishes once it is gone.
std::string renderSiteStatus(const Snapshot& s);
inline constexpr char kSiteOffline[] = "{\"online\":false}";

// Texts are bytes; they are shown as the window shows them, one byte per
// character (ISO 8859-1), which any byte sequence survives. The result is
// UTF-8.
std::string bytesAsText(std::string_view bytes);
// A name from the file system (the title): kept when it is valid UTF-8,
// otherwise one byte per character.
std::string fileNameAsText(std::string_view bytes);

// Quoting for each format; the input is UTF-8 (as the two functions above
// give). jsonString includes the quotes.
std::string jsonString(std::string_view text);
std::string htmlText(std::string_view text);
std::string metricLabelValue(std::string_view text);

}  // namespace varnok::status
