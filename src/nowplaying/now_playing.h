#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nowplaying/file_watcher.h"
#include "nowplaying/templates.h"
#include "nowplaying/text.h"
#include "nowplaying/update.h"
#include "platform/event_loop.h"
#include "platform/ini_file.h"
#include "platform/result.h"

namespace varnok {
class Dispatcher;
}

namespace varnok::nowplaying {

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
  std::optional<FileWatcher::Settings> file;
  RadioTextTemplate radioText;
  RadioTextTemplate idleText{""};
  int idleAfterMinutes = 0;  // 0: never
  std::vector<EncoderSetup> encoders;
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
  // What one update did: nothing when it was ignored; else per encoder the
  // number of commands queued.
  struct Outcome {
    bool ignored = false;
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
    Outcome outcome;
  };

  NowPlaying(Dispatcher& dispatcher, Settings settings);
  ~NowPlaying();
  NowPlaying(const NowPlaying&) = delete;
  NowPlaying& operator=(const NowPlaying&) = delete;

  // Starts the file watcher (its content at start-up is applied) and the
  // idle timer.
  void start();
  // The one entry point of every source.
  Outcome apply(const Update& update, Source source);
  // A body posted by a playout system (JSON or a form), applied once read.
  Posted post(bool isJson, const std::string& body);

  const Settings& settings() const { return settings_; }
  const std::optional<Current>& current() const { return current_; }
  // Updates applied (not ignored), by source.
  std::uint64_t updates(Source source) const { return updates_[static_cast<std::size_t>(source)]; }

 private:
  Outcome render(const Update& cleaned);
  void goIdle();

  Dispatcher& dispatcher_;
  Settings settings_;
  std::unique_ptr<FileWatcher> watcher_;
  Timer idleTimer_;
  std::optional<Update> last_;  // the last update applied, cleaned
  std::optional<Current> current_;
  std::array<std::uint64_t, 3> updates_{};
};

// The service the settings ask for, started, once their problems are
// logged: none when they ask for none (no [NowPlaying] key and no encoder's
// NowPlayingN).
std::unique_ptr<NowPlaying> openNowPlaying(Dispatcher& dispatcher, Settings settings);

// A command's text in the RDS set, for an encoder that takes UECP: cleaned,
// and transliterated where the set has no code (encodeText).
Result<std::string> rdsTextOf(std::string_view text);

}  // namespace varnok::nowplaying
