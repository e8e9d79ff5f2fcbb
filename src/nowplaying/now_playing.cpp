#include "nowplaying/now_playing.h"

#include <sys/stat.h>

#include <stdexcept>

#include "dispatcher/dispatcher.h"
#include "nowplaying/metadata.h"
#include "nowplaying/render.h"
#include "nowplaying/udp_door.h"
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

// A comma-separated list, blanks around each entry dropped, empty ones left
// out.
std::vector<std::string> listOf(std::string_view text) {
  std::vector<std::string> out;
  while (!text.empty()) {
    const std::size_t comma = std::min(text.find(','), text.size());
    std::string_view entry = text.substr(0, comma);
    while (!entry.empty() && (entry.front() == ' ' || entry.front() == '\t'))
      entry.remove_prefix(1);
    while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\t')) entry.remove_suffix(1);
    if (!entry.empty()) out.emplace_back(entry);
    text.remove_prefix(std::min(comma + 1, text.size()));
  }
  return out;
}

// A category against a pattern: equal ignoring ASCII letter case, or, for a
// pattern ending in "*", starting with what comes before it.
bool categoryMatches(std::string_view category, std::string_view pattern) {
  const bool prefix = !pattern.empty() && pattern.back() == '*';
  if (prefix) pattern.remove_suffix(1);
  if (prefix ? category.size() < pattern.size() : category.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(category[i]) != lower(pattern[i])) return false;
  }
  return true;
}

bool anyMatches(std::string_view category, const std::vector<std::string>& patterns) {
  return std::any_of(patterns.begin(), patterns.end(),
                     [&](const std::string& p) { return categoryMatches(category, p); });
}

std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
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

  // A key path that cannot be read falls back to the plain name.
  const auto key = [&](const char* name, const char* fallback) {
    std::string path = ini.readString(kSection, name, fallback);
    if (const auto wrong = checkKeyPath(path); wrong && !path.empty()) {
      log("Now playing " + std::string(name) + " ignored - " + *wrong + " (" + path + ")");
      path = fallback;
    }
    return path;
  };
  s.keys.artist = key("ArtistKey", "artist");
  s.keys.title = key("TitleKey", "title");
  s.keys.album = key("AlbumKey", "album");
  s.keys.category = key("CategoryKey", "");
  s.keys.duration = key("DurationKey", "");
  const auto format = parseFileFormat(ini.readString(kSection, "FileFormat", ""));
  const auto encoding = parseFileEncoding(ini.readString(kSection, "FileEncoding", ""));
  if (format.ok()) s.format = *format.value;
  if (encoding.ok()) s.encoding = *encoding.value;

  const std::string file = ini.readString(kSection, "File", "");
  if (!file.empty()) {
    FileWatcher::Settings watched;
    watched.path = resolvePath(file, programFolder);
    watched.keys = s.keys;
    watched.pollSeconds = std::max(ini.readInteger(kSection, "FilePollSeconds", 0), 0);
    if (!format.ok()) {
      log("Now playing file not watched - FileFormat: " + format.error);
    } else if (!encoding.ok()) {
      log("Now playing file not watched - FileEncoding: " + encoding.error);
    } else {
      watched.format = s.format;
      watched.encoding = s.encoding;
      if (!tokenFile.empty()) watched.secretFiles.push_back(resolvePath(tokenFile, programFolder));
      s.file = std::move(watched);
    }
  }

  s.allowGet = ini.readBool(kSection, "AllowGet", false);
  const std::int32_t udpPort = ini.readInteger(kSection, "UdpPort", 0);
  if (udpPort < 0 || udpPort > 65535) {
    log("Now playing UdpPort ignored - " + std::to_string(udpPort) + " is no port (1 to 65535)");
  } else if (udpPort > 0 && (!format.ok() || !encoding.ok())) {
    log("Now playing datagrams not taken - FileFormat or FileEncoding cannot be read");
  } else {
    s.udpPort = static_cast<std::uint16_t>(udpPort);
  }
  s.udpAddress = ini.readString(kSection, "UdpAddress", "127.0.0.1");
  if (s.udpAddress.empty()) s.udpAddress = "127.0.0.1";
  s.udpAllow = listOf(ini.readString(kSection, "UdpAllow", ""));
  s.skip = listOf(ini.readString(kSection, "Skip", ""));
  s.only = listOf(ini.readString(kSection, "Only", ""));
  const std::string shortest = ini.readString(kSection, "SkipShorterThan", "");
  if (!shortest.empty()) {
    char* end = nullptr;
    const double seconds = std::strtod(shortest.c_str(), &end);
    if (end == shortest.c_str() || *end != '\0' || !(seconds >= 0) || seconds > 86400) {
      log("Now playing SkipShorterThan ignored - " + shortest + " (seconds, 0 to 86400)");
    } else {
      s.skipShorterThan = seconds;
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

  const std::string texts = ini.readString(kSection, "TextsFile", "varnok.texts");
  if (!texts.empty()) s.textsFile = resolvePath(texts, programFolder);
  constexpr std::string_view kDab = "DabText";
  for (int n = 1; n <= 9; ++n) {
    const std::string index = std::to_string(n);
    const std::string path = ini.readString(kDab, "File" + index, "");
    if (path.empty()) continue;
    Settings::DabService service;
    service.path = resolvePath(path, programFolder);
    service.text = s.radioText;
    service.encoder = ini.readString(kDab, "Encoder" + index, "");
    const std::string text = ini.readString(kDab, "Text" + index, "");
    try {
      if (!text.empty()) service.text = RadioTextTemplate(text);
    } catch (const TemplateError& e) {
      log("DAB text " + index + " ignored - Text" + index + ": " + e.what());
      continue;
    }
    const std::string charset = ini.readString(kDab, "Charset" + index, "utf-8");
    const auto dls = parseDlsCharset(charset);
    if (!dls) {
      log("DAB text " + index + " ignored - Charset" + index + "=" + charset + " (utf-8 or ebu)");
      continue;
    }
    service.charset = *dls;
    s.dab.push_back(std::move(service));
    s.enabled = true;
  }
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
    : dispatcher_(dispatcher),
      settings_(std::move(settings)),
      idleTimer_(dispatcher.loop()),
      skipTimer_(dispatcher.loop()),
      layerTimer_(dispatcher.loop()),
      durationTimer_(dispatcher.loop()) {
  idleTimer_.setOnTimer([this] { goIdle(); });
  skipTimer_.setInterval(60 * 1000);
  skipTimer_.setOnTimer([this] { summariseSkips(); });
  layerTimer_.setOnTimer([this] { layersDue(); });
  // The item's own duration ran out: the rotation takes over.
  durationTimer_.setOnTimer([this] {
    durationTimer_.setEnabled(false);
    if (idle_) return;
    idle_ = true;
    dispatcher_.log("Now playing - idle (the item's duration ran out)");
    if (current_) current_->idle = true;
    refresh(false);
  });
}

// Once a minute while items are skipped: how many went unlogged beyond the
// first kSkipLinesPerMinute of the minute.
void NowPlaying::summariseSkips() {
  if (skipsUntold_ > 0) {
    dispatcher_.log("Now playing skipped - " + std::to_string(skipsUntold_) +
                    " more in the last minute (the last: " + lastSkip_ + ")");
  }
  if (skipsThisMinute_ == 0) skipTimer_.setEnabled(false);
  skipsThisMinute_ = skipsUntold_ = 0;
}

NowPlaying::~NowPlaying() = default;

void NowPlaying::start() {
  air_.resize(settings_.encoders.size());
  for (std::size_t i = 0; i < air_.size(); ++i)
    air_[i].encoder = encoderName(settings_.encoders[i]);
  dabAir_.resize(settings_.dab.size());
  layersDue();
  if (settings_.idleAfterMinutes > 0) {
    idleTimer_.setInterval(settings_.idleAfterMinutes * 60 * 1000);
    idleTimer_.setEnabled(true);
  }
  if (settings_.udpPort != 0) {
    UdpDoor::Settings door{settings_.udpAddress, settings_.udpPort,  settings_.udpAllow,
                           settings_.format,     settings_.encoding, settings_.keys};
    udp_ = std::make_unique<UdpDoor>(
        dispatcher_.loop(), std::move(door), [this](const Update& u) { apply(u, Source::Udp); },
        [this](const std::string& line) { dispatcher_.log(line); });
    if (!udp_->start()) udp_.reset();
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

std::vector<std::string> NowPlaying::reload(Settings next) {
  for (const std::string& line : next.problems) dispatcher_.log(line);
  std::erase_if(next.encoders, [&](const EncoderSetup& setup) {
    return static_cast<std::size_t>(setup.encoder) >= dispatcher_.encoders().size();
  });
  std::vector<std::string> waiting;
  const auto restartOnly = [&](bool changed, const char* keys) {
    if (changed) waiting.emplace_back(keys);
  };
  restartOnly(next.file != settings_.file, "the watched file (File, FileFormat, FileEncoding)");
  restartOnly(next.udpPort != settings_.udpPort || next.udpAddress != settings_.udpAddress ||
                  next.udpAllow != settings_.udpAllow,
              "UdpPort, UdpAddress, UdpAllow");
  restartOnly(!(next.keys == settings_.keys) || next.format != settings_.format ||
                  next.encoding != settings_.encoding,
              "the field keys (ArtistKey .. DurationKey)");
  next.file = settings_.file;
  next.udpPort = settings_.udpPort;
  next.udpAddress = settings_.udpAddress;
  next.udpAllow = settings_.udpAllow;
  next.keys = settings_.keys;
  next.format = settings_.format;
  next.encoding = settings_.encoding;

  // What each encoder (by name) and each DAB+ file (by path) was sent last.
  std::vector<Air> air(next.encoders.size());
  for (std::size_t i = 0; i < air.size(); ++i) {
    air[i].encoder = encoderName(next.encoders[i]);
    for (Air& was : air_) {
      if (was.encoder != air[i].encoder) continue;
      air[i] = std::move(was);
      was.encoder.clear();
      break;
    }
  }
  std::vector<Air> dab(next.dab.size());
  for (std::size_t i = 0; i < dab.size() && i < settings_.dab.size(); ++i) {
    if (next.dab[i].path == settings_.dab[i].path) dab[i] = std::move(dabAir_[i]);
  }
  const bool textsChanged = next.textsFile != settings_.textsFile;
  const bool idleChanged = next.idleAfterMinutes != settings_.idleAfterMinutes;
  settings_ = std::move(next);
  air_ = std::move(air);
  dabAir_ = std::move(dab);
  // The plan names encoders: read it again against the new table.
  textsStamp_.clear();
  if (textsChanged) plan_.reset();
  if (idleChanged) {
    idleTimer_.setEnabled(false);
    if (settings_.idleAfterMinutes > 0 && !idle_) {
      idleTimer_.setInterval(settings_.idleAfterMinutes * 60 * 1000);
      idleTimer_.setEnabled(true);
    }
  }
  layersDue();
  return waiting;
}

// Only= and Skip= go by the category; an item that carries none passes
// both (it cannot be judged). SkipShorterThan= goes by the duration, for
// items that carry one.
std::optional<std::string> NowPlaying::skipReason(const Update& update) const {
  const std::string& category = update.category;
  if (!category.empty() && !settings_.only.empty() && !anyMatches(category, settings_.only)) {
    return category + ", not in Only";
  }
  if (!category.empty() && anyMatches(category, settings_.skip)) return category;
  if (settings_.skipShorterThan > 0 && update.durationSeconds &&
      *update.durationSeconds < settings_.skipShorterThan) {
    return secondsText(*update.durationSeconds) + " s, shorter than " +
           secondsText(settings_.skipShorterThan) + " s";
  }
  return std::nullopt;
}

NowPlaying::Outcome NowPlaying::apply(const Update& update, Source source) {
  // Cleaned first, so that an update differing only in what cleaning
  // removes counts as the same.
  Update cleaned;
  cleaned.artist = encodeField(bounded(update.artist), Charset::Utf8).bytes();
  cleaned.title = encodeField(bounded(update.title), Charset::Utf8).bytes();
  cleaned.album = encodeField(bounded(update.album), Charset::Utf8).bytes();
  cleaned.category = encodeField(bounded(update.category), Charset::Utf8).bytes();
  cleaned.durationSeconds = update.durationSeconds;
  // A skipped item leaves what is on air, the last update and the idle
  // timer as they were.
  if (const auto why = skipReason(cleaned)) {
    ++skipped_;
    // Logged one by one, up to a bound a minute: a flood of jingles must not
    // cost a log line (and a write) each.
    const std::string& shown = !cleaned.title.empty() ? cleaned.title : cleaned.artist;
    const std::string what = *why + ": " + encodeField(shown, Charset::Ascii).bytes() + " (" +
                             std::string(sourceName(source)) + ")";
    if (++skipsThisMinute_ <= kSkipLinesPerMinute) {
      dispatcher_.log("Now playing skipped - " + what);
    } else {
      ++skipsUntold_;
      lastSkip_ = what;
    }
    if (!skipTimer_.enabled()) skipTimer_.setEnabled(true);
    Outcome outcome;
    outcome.ignored = true;
    outcome.skipped = *why;
    return outcome;
  }
  // The same text again, whatever category or duration it came with (one
  // item told through two doors), changes nothing on air.
  if (last_ && last_->artist == cleaned.artist && last_->title == cleaned.title &&
      last_->album == cleaned.album)
    return Outcome{.ignored = true, .skipped = {}, .radioText = {}, .queued = {}};
  last_ = cleaned;
  idle_ = cleaned.artist.empty() && cleaned.title.empty();
  if (!idle_) lastSong_ = cleaned;
  durationTimer_.setEnabled(false);
  if (!idle_ && cleaned.durationSeconds && *cleaned.durationSeconds > 0 &&
      *cleaned.durationSeconds < 24 * 3600) {
    durationTimer_.setInterval(static_cast<int>(*cleaned.durationSeconds * 1000));
    durationTimer_.setEnabled(true);
  }
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
  outcome.queued = refresh(true);
  return outcome;
}

// Nothing came for IdleAfterMinutes: the idle text goes out, once; the
// timer waits for the next update.
void NowPlaying::goIdle() {
  idleTimer_.setEnabled(false);
  const Update idle;
  if (last_ && *last_ == idle) return;
  last_ = idle;
  idle_ = true;
  durationTimer_.setEnabled(false);
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

NowPlaying::Posted NowPlaying::post(BodyKind kind, std::string_view body, Source source) {
  // An override or its cancellation, as JSON, through the same doors.
  if (kind == BodyKind::Json) {
    const auto start = body.find_first_not_of(" \t\r\n{");
    const std::string_view lead = start == std::string_view::npos ? "" : body.substr(start);
    if (lead.starts_with("\"override\"") || lead.starts_with("\"cancel\"")) {
      return postOverride(body);
    }
  }
  Parsed<Update> parsed;
  switch (kind) {
    case BodyKind::Json:
      parsed = parseJson(body, settings_.keys);
      break;
    case BodyKind::Form:
      parsed = parseForm(body, settings_.keys);
      break;
    case BodyKind::Line:
      parsed = parseLine(body);
      break;
    case BodyKind::Xml:
      parsed = parseXml(body, settings_.keys);
      break;
  }
  if (!parsed.ok()) return {parsed.error, parsed.unprocessable, {}, {}};
  return {{}, false, apply(*parsed.value, source), {}};
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
