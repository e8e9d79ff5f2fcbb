#include "nowplaying/now_playing.h"

#include <sys/stat.h>

#include <stdexcept>

#include "dispatcher/dispatcher.h"
#include "nowplaying/metadata.h"
#include "nowplaying/render.h"
#include "platform/secret_file.h"

namespace varnok::nowplaying {
namespace {

std::string resolvePath(const std::string& path, const std::string& programFolder) {
  return !path.empty() && path.front() == '/' ? path : programFolder + path;
}

// The token's file: its first line, blanks around it dropped. Refused when
// group or others may read it, or when it cannot be read.
std::string readTokenFile(const std::string& path, std::vector<std::string>& problems) {
  const SecretFile file = readSecretFile(path);
  switch (file.status) {
    case SecretFile::Status::CannotRead:
      problems.push_back("Now playing token file cannot be read (" + path + ")");
      return {};
    case SecretFile::Status::OthersMayRead:
      problems.push_back("Now playing token file refused - group or others can read it (" + path +
                         ")");
      return {};
    case SecretFile::Status::Read:
      break;
  }
  if (file.firstLine.empty()) problems.push_back("Now playing token file is empty (" + path + ")");
  return file.firstLine;
}

// A field longer than any encoder shows is cut before the costly work of
// cleaning and transliteration, at the start of a UTF-8 character, so that
// no update can hold up the loop for long.
constexpr std::size_t kMaxFieldBytes = 1024;

std::string_view bounded(std::string_view field) {
  if (field.size() <= kMaxFieldBytes) return field;
  std::size_t end = kMaxFieldBytes;
  while (end > 0 && (static_cast<unsigned char>(field[end]) & 0xC0) == 0x80) --end;
  return field.substr(0, end);
}

bool anyKey(const IniFile& ini, std::string_view section) {
  return !ini.keyNames(section).empty();
}

}  // namespace

Settings readSettings(const IniFile& ini, const std::string& programFolder) {
  Settings s;
  const auto log = [&s](std::string line) { s.problems.push_back(std::move(line)); };
  constexpr std::string_view kSection = "NowPlaying";
  s.enabled = anyKey(ini, kSection);

  const std::string tokenFile = ini.readString(kSection, "TokenFile", "");
  const std::string token = ini.readString(kSection, "Token", "");
  if (!tokenFile.empty()) {
    s.token = readTokenFile(resolvePath(tokenFile, programFolder), s.problems);
  } else if (!token.empty()) {
    s.token = token;
    struct stat st {};
    if (::stat((programFolder + "varnok.ini").c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0) {
      log("Now playing token is in varnok.ini, which others can read: keep it in a TokenFile");
    }
  }

  const std::string file = ini.readString(kSection, "File", "");
  if (!file.empty()) {
    FileWatcher::Settings watched;
    watched.path = resolvePath(file, programFolder);
    const auto format = parseFileFormat(ini.readString(kSection, "FileFormat", ""));
    const auto encoding = parseFileEncoding(ini.readString(kSection, "FileEncoding", ""));
    watched.keys.artist = ini.readString(kSection, "ArtistKey", "artist");
    watched.keys.title = ini.readString(kSection, "TitleKey", "title");
    watched.keys.album = ini.readString(kSection, "AlbumKey", "album");
    watched.pollSeconds = std::max(ini.readInteger(kSection, "FilePollSeconds", 0), 0);
    if (!format.ok()) {
      log("Now playing file not watched - FileFormat: " + format.error);
    } else if (!encoding.ok()) {
      log("Now playing file not watched - FileEncoding: " + encoding.error);
    } else {
      watched.format = *format.value;
      watched.encoding = *encoding.value;
      if (!tokenFile.empty()) watched.secretFiles.push_back(resolvePath(tokenFile, programFolder));
      s.file = std::move(watched);
    }
  }

  const std::string radioText = ini.readString(kSection, "RadioText", "");
  if (!radioText.empty()) {
    try {
      s.radioText = RadioTextTemplate(radioText);
    } catch (const TemplateError& e) {
      log("Now playing RadioText ignored - " + std::string(e.what()));
    }
  }
  try {
    s.idleText = RadioTextTemplate(ini.readString(kSection, "IdleText", ""));
  } catch (const TemplateError& e) {
    log("Now playing IdleText ignored - " + std::string(e.what()));
  }
  s.idleAfterMinutes = std::max(ini.readInteger(kSection, "IdleAfterMinutes", 0), 0);
  return s;
}

void readEncoderKeys(const IniFile& ini, const std::string& section, int index, Settings& s) {
  const auto log = [&s](std::string line) { s.problems.push_back(std::move(line)); };
  {
    EncoderSetup setup;
    setup.encoder = index;
    for (int n = 1; n <= Settings::kMaxCommands; ++n) {
      const std::string key = "NowPlaying" + std::to_string(n);
      const std::string text = ini.readString(section, key, "");
      if (text.empty()) continue;
      try {
        setup.commands.emplace_back(text);
      } catch (const TemplateError& e) {
        log("Now playing template ignored - [" + section + "] " + key + ": " + e.what());
      }
    }
    const std::string charset = ini.readString(section, "Charset", "");
    if (!charset.empty()) {
      try {
        setup.charset = parseCharset(charset);
      } catch (const std::invalid_argument& e) {
        log("Now playing charset ignored - [" + section + "] Charset: " + e.what() +
            " (utf-8 is used)");
      }
    }
    if (setup.commands.empty()) return;
    s.enabled = true;
    s.encoders.push_back(std::move(setup));
  }
}

NowPlaying::NowPlaying(Dispatcher& dispatcher, Settings settings)
    : dispatcher_(dispatcher), settings_(std::move(settings)), idleTimer_(dispatcher.loop()) {
  idleTimer_.setOnTimer([this] { goIdle(); });
}

NowPlaying::~NowPlaying() = default;

void NowPlaying::start() {
  if (settings_.idleAfterMinutes > 0) {
    idleTimer_.setInterval(settings_.idleAfterMinutes * 60 * 1000);
    idleTimer_.setEnabled(true);
  }
  if (!settings_.file) return;
  watcher_ = std::make_unique<FileWatcher>(
      dispatcher_.loop(), *settings_.file, [this](Update update) { apply(update, Source::File); },
      [this](std::string line) { dispatcher_.log(line); });
  std::string error;
  if (!watcher_->start(&error)) {
    dispatcher_.log("Now playing file not watched - " + error);
    watcher_.reset();
  }
}

NowPlaying::Outcome NowPlaying::apply(const Update& update, Source source) {
  // Cleaned first, so that an update differing only in what cleaning
  // removes counts as the same.
  Update cleaned;
  cleaned.artist = encodeField(bounded(update.artist), Charset::Utf8).bytes();
  cleaned.title = encodeField(bounded(update.title), Charset::Utf8).bytes();
  cleaned.album = encodeField(bounded(update.album), Charset::Utf8).bytes();
  if (last_ && *last_ == cleaned) return Outcome{.ignored = true, .radioText = {}, .queued = {}};
  last_ = cleaned;
  ++updates_[static_cast<std::size_t>(source)];
  const std::string shown = logText(cleaned);
  dispatcher_.log("Now playing - " + (shown.empty() ? std::string("idle") : shown) + " (" +
                  std::string(sourceName(source)) + ")");
  Outcome outcome = render(cleaned);
  current_ = Current{cleaned, source, outcome.radioText};
  if (settings_.idleAfterMinutes > 0) {
    // A new period of silence starts now.
    idleTimer_.setEnabled(false);
    idleTimer_.setEnabled(true);
  }
  return outcome;
}

NowPlaying::Outcome NowPlaying::render(const Update& cleaned) {
  Outcome outcome;
  outcome.radioText =
      nowplaying::render(cleaned, settings_.radioText, settings_.idleText, Charset::Utf8, {})
          .radioText.bytes();
  const auto& encoders = dispatcher_.encoders();
  for (const EncoderSetup& setup : settings_.encoders) {
    if (setup.encoder >= static_cast<int>(encoders.size())) continue;
    if (!encoders[static_cast<std::size_t>(setup.encoder)].enabled) continue;
    // The latest text wins: what an older update left waiting goes first.
    dispatcher_.dropWaiting(setup.encoder, CommandSource::NowPlaying);
    // An encoder that takes UECP gets its texts in the RDS set, whatever its
    // Charset says: cut, tagged and sent as the receiver will count them.
    const bool uecp = encoders[static_cast<std::size_t>(setup.encoder)].protocol == Protocol::Uecp;
    const Rendering r = nowplaying::render(cleaned, settings_.radioText, settings_.idleText,
                                           uecp ? Charset::Rds : setup.charset, setup.commands);
    for (const std::string& command : r.commands) {
      dispatcher_.queueCommand(
          command, Destination{.name = {}, .encoder = setup.encoder},
          CommandOrigin{.source = CommandSource::NowPlaying, .deadlineMs = 0, .rdsText = uecp});
    }
    outcome.queued.push_back({setup.encoder, r.commands.size()});
  }
  return outcome;
}

// Nothing came for IdleAfterMinutes: the idle text goes out, once; the
// timer waits for the next update.
void NowPlaying::goIdle() {
  idleTimer_.setEnabled(false);
  const Update idle;
  if (last_ && *last_ == idle) return;
  last_ = idle;
  const int minutes = settings_.idleAfterMinutes;
  dispatcher_.log("Now playing - idle (no update for " + std::to_string(minutes) +
                  (minutes == 1 ? " minute)" : " minutes)"));
  const Outcome outcome = render(idle);
  if (current_) {
    current_->update = idle;
    current_->radioText = outcome.radioText;
    current_->idle = true;  // what is on air now came from no source
  }
}

NowPlaying::Posted NowPlaying::post(bool isJson, const std::string& body) {
  const Parsed<Update> parsed = isJson ? parseJson(body) : parseForm(body);
  if (!parsed.ok()) return {parsed.error, {}};
  return {{}, apply(*parsed.value, Source::Http)};
}

std::unique_ptr<NowPlaying> openNowPlaying(Dispatcher& dispatcher, Settings settings) {
  for (const std::string& line : settings.problems) dispatcher.log(line);
  // Only encoders the dispatcher has: its table may have come out empty.
  std::erase_if(settings.encoders, [&](const EncoderSetup& setup) {
    return static_cast<std::size_t>(setup.encoder) >= dispatcher.encoders().size();
  });
  if (!settings.enabled) return nullptr;
  auto service = std::make_unique<NowPlaying>(dispatcher, std::move(settings));
  service->start();
  return service;
}

Result<std::string> rdsTextOf(std::string_view text) {
  try {
    return encodeText(text, Charset::Rds).bytes();
  } catch (const std::exception& e) {
    return Error{0, std::string("text not converted to the RDS set: ") + e.what()};
  }
}

}  // namespace varnok::nowplaying
