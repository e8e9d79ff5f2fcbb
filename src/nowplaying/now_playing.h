#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nowplaying/dls_file.h"
#include "nowplaying/file_watcher.h"
#include "nowplaying/templates.h"
#include "nowplaying/text.h"
#include "nowplaying/texts_plan.h"
#include "nowplaying/update.h"
#include "platform/event_loop.h"
#include "platform/ini_file.h"
#include "platform/result.h"

namespace varnok {
class Dispatcher;
}

namespace varnok::nowplaying {

class UdpDoor;

// What one encoder is sent for each update: its charset and its command
// templates ([EncoderN] Charset, NowPlaying1 .. NowPlaying9, in that order).
struct EncoderSetup {
  int encoder = 0;  // index in the dispatcher's table ([Encoder<index + 1>])
  Charset charset = Charset::Utf8;
  std::vector<CommandTemplate> commands;
  bool operator==(const EncoderSetup&) const = default;
};

// The [NowPlaying] section and the encoders' keys, as start-up reads them.
struct Settings {
  static constexpr int kMaxCommands = 9;

  bool enabled = false;  // any [NowPlaying] key, or any encoder's NowPlayingN
  std::string token;     // empty: no POST /nowplaying
  // Where artist, title, album, category and duration are in what every
  // source sends (ArtistKey .. DurationKey).
  Keys keys;
  // The format of the file and of each datagram (FileFormat, FileEncoding).
  FileFormat format = FileFormat::Line;
  FileEncoding encoding = FileEncoding::Utf8;
  std::optional<FileWatcher::Settings> file;
  bool allowGet = false;  // GET /nowplaying with the token (AllowGet)
  // The UDP door (UdpPort, UdpAddress, UdpAllow): 0 for none; senders
  // matched like the vip list, none listed for any.
  std::uint16_t udpPort = 0;
  std::string udpAddress = "127.0.0.1";
  std::vector<std::string> udpAllow;
  // Items left off the air: categories to skip, categories that alone go
  // (none listed: all), and the shortest duration taken in seconds (0: any).
  std::vector<std::string> skip;
  std::vector<std::string> only;
  double skipShorterThan = 0;
  RadioTextTemplate radioText;
  RadioTextTemplate idleText{""};
  int idleAfterMinutes = 0;  // 0: never
  std::vector<EncoderSetup> encoders;
  // The station's texts between songs (TextsFile, absolute or in the
  // program folder): read at start and again within a minute of a change.
  std::string textsFile;
  // DAB+ dynamic label files ([DabText] File1.., Text1.., Charset1..,
  // Encoder1..): each gets what the named encoder's layers put on air (an
  // empty name: what is for every encoder), in its own template.
  struct DabService {
    std::string path;
    RadioTextTemplate text;
    DlsCharset charset = DlsCharset::Utf8;
    std::string encoder;
    bool operator==(const DabService&) const = default;
  };
  std::vector<DabService> dab;
  // What could not be used, one log line each, in the order read; logged
  // when the service opens.
  std::vector<std::string> problems;
  bool operator==(const Settings&) const = default;
};

// Reads the [NowPlaying] section of varnok.ini (in programFolder). Every
// problem is noted and left out: a template that cannot be read (the
// default radio text, an empty idle text, or no such command), an unknown
// charset (utf-8), an unknown file format or encoding (no file), a token
// file that others may read (no token).
Settings readSettings(const IniFile& ini, const std::string& programFolder);
// Adds what one encoder's section ([Encoder<index + 1>]) says of now
// playing: its Charset and NowPlaying1 .. NowPlaying9.
void readEncoderKeys(const IniFile& ini, const std::string& section, int index, Settings& into);

// The now-playing service: takes updates from its sources (the watched
// file, POST /nowplaying, later a broker), renders each encoder's commands
// and queues them through the dispatcher, replacing that encoder's
// now-playing commands still waiting. An update identical to the previous
// one is ignored; with no update for IdleAfterMinutes the idle text goes
// out.
//
// Ownership: owns its file watcher and idle timer; the dispatcher (and its
// loop) must outlive it.
class NowPlaying {
 public:
  // The update on air, as cleaned for display (valid UTF-8), with its radio
  // text in UTF-8.
  struct Current {
    Update update;
    Source source = Source::File;
    std::string radioText;
    bool idle = false;  // the idle text, after IdleAfterMinutes of silence
  };
  // What one update did: nothing when it was ignored (the same as the one
  // before) or skipped by a rule; else per encoder the number of commands
  // queued.
  struct Outcome {
    bool ignored = false;
    std::string skipped;    // why a rule left it off the air; empty: not skipped
    std::string radioText;  // UTF-8
    struct Queued {
      int encoder = 0;
      std::size_t commands = 0;
    };
    std::vector<Queued> queued;
  };
  // What a posted body did: the reason it could not be read, or what
  // applying it did.
  struct Posted {
    std::string error;  // empty: read and applied
    // The body held none of the fields looked for (HTTP 422 rather than 400).
    bool unprocessable = false;
    Outcome outcome;
    // An override started or cancelled: the JSON answer, ready.
    std::string answer;
  };
  // A text that takes the air from now playing and the rotation for a
  // while: for the encoders named (none: every one), until endsAtMs on the
  // monotonic clock. Of several for one encoder, the highest priority wins,
  // the latest on a tie.
  struct Override {
    std::string id;
    std::string text;
    std::vector<std::string> encoders;
    int priority = 0;
    std::int64_t endsAtMs = 0;
    std::uint64_t order = 0;
  };
  static constexpr std::size_t kMaxOverrides = 32;
  static constexpr int kMaxOverrideSeconds = 24 * 3600;
  // How a body is written.
  enum class BodyKind { Json, Form, Line, Xml };

  NowPlaying(Dispatcher& dispatcher, Settings settings);
  ~NowPlaying();
  NowPlaying(const NowPlaying&) = delete;
  NowPlaying& operator=(const NowPlaying&) = delete;

  // Starts the file watcher (its content at start-up is applied) and the
  // idle timer.
  void start();
  // The settings read again (the dispatcher's table already reloaded): the
  // token, AllowGet, the rules, the templates, the idle text and time, the
  // texts file and the DAB+ files are taken, and what changed goes on air.
  // An encoder keeps what it was sent by its name. What needs a restart
  // (the watched file, the UDP door, the field keys and formats) is left as
  // it was: the names of such keys that changed come back.
  std::vector<std::string> reload(Settings next);
  // The one entry point of every source: the rules first (a skipped item
  // is logged and changes nothing), then the update.
  Outcome apply(const Update& update, Source source);
  // A body sent by a playout system, read with the configured keys and
  // applied.
  Posted post(BodyKind kind, std::string_view body, Source source = Source::Http);
  Posted post(bool isJson, const std::string& body) {
    return post(isJson ? BodyKind::Json : BodyKind::Form, body);
  }
  // Why the rules leave an item off the air; nullopt when they let it on.
  std::optional<std::string> skipReason(const Update& update) const;

  const Settings& settings() const { return settings_; }
  const std::optional<Current>& current() const { return current_; }
  // Updates applied (not ignored), by source.
  std::uint64_t updates(Source source) const { return updates_[static_cast<std::size_t>(source)]; }
  // Items the rules left off the air.
  std::uint64_t skipped() const { return skipped_; }

  // Starts an override (one with the same id is replaced) for seconds
  // (1 .. kMaxOverrideSeconds); the reason when refused.
  std::optional<std::string> startOverride(Override o, int seconds);
  // Ends an override early; false when there is none of that id.
  bool cancelOverride(const std::string& id);
  const std::vector<Override>& overrides() const { return overrides_; }
  // Whether now playing is idle: the rotation (or the idle text) has the
  // air unless an override holds it.
  bool idle() const { return idle_; }
  const std::optional<TextsPlan>& textsPlan() const { return plan_; }

 private:
  // What the top layer puts on air for one encoder (or DAB service).
  struct Layer {
    enum class Kind { Override, Song, Rotation, Idle } kind = Kind::Idle;
    const RadioTextTemplate* text = nullptr;  // for Override and Rotation
    std::string overrideId;
  };
  // Per encoder (settings_.encoders) and per DAB service: what went out
  // last, and where each of its rotations stands.
  struct Rotation {
    std::string list;  // the list on air; empty: none
    std::size_t index = 0;
    std::int64_t nextAtMs = 0;  // monotonic
  };
  struct Air {
    std::string encoder;  // whose (for a reload)
    std::string sent;     // the last commands (or file) queued
    Rotation rt, ps;
    std::string psSent;
    bool itemToggle = false;
    std::string item;  // the song whose tags went out last (DAB)
  };

  Outcome render(const Update& cleaned);
  void goIdle();
  Posted postOverride(std::string_view body);
  Layer topLayer(std::string_view encoder, Air& air) const;
  // Brings each encoder and DAB file to what its top layer says; force
  // sends even what did not change. Returns what was queued per encoder.
  std::vector<Outcome::Queued> refresh(bool force);
  // Moves the rotations on and sets the layers' timer to the next change.
  void layersDue();
  void advanceRotation(Rotation& r, std::string_view encoder, TextTarget target,
                       std::int64_t nowMs);
  void loadTexts();
  std::string encoderName(const EncoderSetup& setup) const;
  void summariseSkips();

  Dispatcher& dispatcher_;
  Settings settings_;
  std::unique_ptr<FileWatcher> watcher_;
  Timer idleTimer_;
  std::optional<Update> last_;  // the last update applied, cleaned
  std::optional<Current> current_;
  std::array<std::uint64_t, kSourceCount> updates_{};
  std::uint64_t skipped_ = 0;
  // Skipped items are logged one by one up to this many a minute, then
  // counted into one line at the minute's end.
  static constexpr std::uint64_t kSkipLinesPerMinute = 10;
  Timer skipTimer_;
  std::uint64_t skipsThisMinute_ = 0, skipsUntold_ = 0;
  std::string lastSkip_;
  std::unique_ptr<UdpDoor> udp_;
  // Layers.
  bool idle_ = true;
  Update lastSong_;  // the last update with an artist or a title, for the rotation's fields
  std::vector<Override> overrides_;
  std::vector<RadioTextTemplate> overrideTexts_;  // parallel to overrides_
  std::uint64_t overrideOrder_ = 0;
  std::optional<TextsPlan> plan_;
  std::string textsStamp_;   // size and time of the texts file as last read
  std::vector<Air> air_;     // per settings_.encoders
  std::vector<Air> dabAir_;  // per settings_.dab
  Timer layerTimer_;
  Timer durationTimer_;
};

// The service the settings ask for, started, once their problems are
// logged: none when they ask for none (no [NowPlaying] key and no encoder's
// NowPlayingN).
std::unique_ptr<NowPlaying> openNowPlaying(Dispatcher& dispatcher, Settings settings);

// A command's text in the RDS set, for an encoder that takes UECP: cleaned,
// and transliterated where the set has no code (encodeText).
Result<std::string> rdsTextOf(std::string_view text);

}  // namespace varnok::nowplaying
