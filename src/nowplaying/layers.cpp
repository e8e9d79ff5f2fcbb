// What each encoder has on air, layer by layer: an override over the song
// over the station's rotating texts (or the idle text), and the DAB+ label
// files that follow the same layers.
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "dispatcher/dispatcher.h"
#include "nowplaying/now_playing.h"
#include "nowplaying/render.h"
#include "platform/ascii_text.h"

namespace varnok::nowplaying {
namespace {

constexpr std::int64_t kMinuteMs = 60 * 1000;

// Local weekday (0 Monday) and minute of the day of a UTC time, in the
// process's time zone: the hour repeated when daylight saving ends shows
// twice, the hour skipped when it begins never.
std::pair<int, int> localWeekMinute(std::int64_t utcMs) {
  const std::time_t seconds = static_cast<std::time_t>(utcMs / 1000);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  return {(local.tm_wday + 6) % 7, local.tm_hour * 60 + local.tm_min};
}

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return lowerAscii(x) == lowerAscii(y);
         });
}

bool overrideFor(const NowPlaying::Override& o, std::string_view encoder) {
  if (o.encoders.empty()) return true;
  return std::any_of(o.encoders.begin(), o.encoders.end(),
                     [&](const std::string& e) { return sameName(e, encoder); });
}

std::string joined(const std::vector<std::string>& commands) {
  std::string all;
  for (const std::string& c : commands) all += c;
  return all;
}

}  // namespace

std::string NowPlaying::encoderName(const EncoderSetup& setup) const {
  const auto& encoders = dispatcher_.encoders();
  if (setup.encoder < 0 || static_cast<std::size_t>(setup.encoder) >= encoders.size()) return {};
  return encoders[static_cast<std::size_t>(setup.encoder)].name;
}

NowPlaying::Layer NowPlaying::topLayer(std::string_view encoder, Air& air) const {
  const Override* top = nullptr;
  std::size_t at = 0;
  for (std::size_t i = 0; i < overrides_.size(); ++i) {
    const Override& o = overrides_[i];
    if (!overrideFor(o, encoder)) continue;
    if (top == nullptr || o.priority > top->priority ||
        (o.priority == top->priority && o.order > top->order)) {
      top = &o;
      at = i;
    }
  }
  if (top != nullptr) return Layer{Layer::Kind::Override, &overrideTexts_[at], top->id};
  if (!idle_) return Layer{Layer::Kind::Song, nullptr, {}};
  if (plan_ && !air.rt.list.empty()) {
    for (const TextList& list : plan_->lists) {
      if (list.name == air.rt.list && air.rt.index < list.texts.size()) {
        return Layer{Layer::Kind::Rotation, &list.texts[air.rt.index], {}};
      }
    }
  }
  return Layer{Layer::Kind::Idle, nullptr, {}};
}

std::vector<NowPlaying::Outcome::Queued> NowPlaying::refresh(bool force) {
  std::vector<Outcome::Queued> queued;
  const auto& encoders = dispatcher_.encoders();
  const Update song = last_.value_or(Update{});
  const auto rendered = [&](const Layer& layer, Charset charset,
                            std::span<const CommandTemplate> commands) {
    switch (layer.kind) {
      case Layer::Kind::Song:
        return nowplaying::render(song, settings_.radioText, settings_.idleText, charset, commands);
      case Layer::Kind::Idle:
        return nowplaying::render(Update{}, settings_.radioText, settings_.idleText, charset,
                                  commands);
      case Layer::Kind::Override:
        return nowplaying::render(Update{}, *layer.text, *layer.text, charset, commands);
      case Layer::Kind::Rotation:
        // The station's texts may name the last song's fields.
        return nowplaying::render(lastSong_, *layer.text, *layer.text, charset, commands);
    }
    return nowplaying::render(Update{}, settings_.radioText, settings_.idleText, charset, commands);
  };
  for (std::size_t i = 0; i < settings_.encoders.size() && i < air_.size(); ++i) {
    const EncoderSetup& setup = settings_.encoders[i];
    if (static_cast<std::size_t>(setup.encoder) >= encoders.size()) continue;
    const Encoder& e = encoders[static_cast<std::size_t>(setup.encoder)];
    if (!e.enabled) continue;
    Air& air = air_[i];
    // An encoder that takes UECP gets its texts in the RDS set, whatever its
    // Charset says: cut, tagged and sent as the receiver will count them.
    const bool uecp = e.protocol == Protocol::Uecp;
    const Charset charset = uecp ? Charset::Rds : setup.charset;
    const Layer layer = topLayer(e.name, air);
    // Before the first update (and IdleAfterMinutes) the idle text is not
    // sent: only a rotation or an override has something to say then.
    const bool quiet = layer.kind == Layer::Kind::Idle && !last_ && air.sent.empty();
    std::vector<std::string> commands;
    if (!quiet) commands = rendered(layer, charset, setup.commands).commands;
    std::string ps;
    if (plan_ && !air.ps.list.empty()) {
      for (const TextList& list : plan_->lists) {
        if (list.name != air.ps.list || air.ps.index >= list.texts.size()) continue;
        const Fields none{EncodedText(charset), EncodedText(charset), EncodedText(charset)};
        EncodedText text = list.texts[air.ps.index].fill(none, charset).text;
        text.truncate(8);
        ps = "PS=" + text.bytes() + "\r";
      }
    }
    const std::string all = joined(commands) + ps;
    if (all.empty() && air.sent.empty()) continue;
    if (!force && all == air.sent) continue;
    air.sent = all;
    // The latest text wins: what an older one left waiting goes first.
    dispatcher_.dropWaiting(setup.encoder, CommandSource::NowPlaying);
    if (!ps.empty()) commands.push_back(ps);
    for (const std::string& command : commands) {
      dispatcher_.queueCommand(
          command, Destination{.name = {}, .encoder = setup.encoder},
          CommandOrigin{.source = CommandSource::NowPlaying, .deadlineMs = 0, .rdsText = uecp});
    }
    queued.push_back({setup.encoder, commands.size()});
  }
  for (std::size_t i = 0; i < settings_.dab.size() && i < dabAir_.size(); ++i) {
    const Settings::DabService& service = settings_.dab[i];
    Air& air = dabAir_[i];
    const Layer layer = topLayer(service.encoder, air);
    // As for the encoders: no idle text before the first update.
    if (layer.kind == Layer::Kind::Idle && !last_ && air.sent.empty()) continue;
    // The label takes 128 characters: filled here, cut by renderDls.
    const bool playing = layer.kind == Layer::Kind::Song;
    const Update& shown = layer.kind == Layer::Kind::Song       ? song
                          : layer.kind == Layer::Kind::Rotation ? lastSong_
                                                                : Update{};
    const Fields fields{encodeField(shown.artist, Charset::Utf8),
                        encodeField(shown.title, Charset::Utf8),
                        encodeField(shown.album, Charset::Utf8)};
    const RadioTextTemplate& text = playing                           ? service.text
                                    : layer.kind == Layer::Kind::Idle ? settings_.idleText
                                                                      : *layer.text;
    const FilledText filled = text.fill(fields, Charset::Utf8);
    DlsLabel label;
    label.text = filled.text.bytes();
    if (playing) {
      label.itemRunning = true;
      const auto tag = [&](Field field, int type) {
        if (const auto& p = filled.placed[static_cast<std::size_t>(field)]) {
          label.tags.push_back(
              DlsTag{type, static_cast<int>(p->start), static_cast<int>(p->length) - 1});
        }
      };
      tag(Field::Artist, 4);
      tag(Field::Title, 1);
      const std::string item = song.artist + "\n" + song.title;
      if (item != air.item) {
        if (!air.item.empty()) air.itemToggle = !air.itemToggle;
        air.item = item;
      }
    }
    label.itemToggle = air.itemToggle;
    const std::string bytes = renderDls(label, service.charset);
    if (!force && bytes == air.sent) continue;
    air.sent = bytes;
    const Result<bool> written = writeDlsFile(service.path, bytes);
    if (!written) dispatcher_.log("DAB text not written - " + written.error().message);
  }
  return queued;
}

void NowPlaying::advanceRotation(Rotation& r, std::string_view encoder, TextTarget target,
                                 std::int64_t nowMs) {
  const auto [weekday, minute] = localWeekMinute(dispatcher_.loop().clock().utcMs());
  const TextList* list = plan_ ? plan_->active(encoder, target, weekday, minute) : nullptr;
  if (list == nullptr) {
    r = Rotation{};
    return;
  }
  if (list->name != r.list || r.index >= list->texts.size()) {
    r = Rotation{list->name, 0, nowMs + list->dwellSeconds * 1000};
    return;
  }
  if (nowMs < r.nextAtMs) return;
  // A text that comes out empty (its only field is not there yet) is
  // passed over, so that the air never goes blank for a dwell.
  const Fields fields{encodeField(lastSong_.artist, Charset::Utf8),
                      encodeField(lastSong_.title, Charset::Utf8),
                      encodeField(lastSong_.album, Charset::Utf8)};
  for (std::size_t tries = 0; tries < list->texts.size(); ++tries) {
    r.index = (r.index + 1) % list->texts.size();
    if (!list->texts[r.index].fill(fields, Charset::Utf8).text.empty()) break;
  }
  r.nextAtMs = nowMs + list->dwellSeconds * 1000;
}

// Runs at every minute boundary of the UTC clock (windows are in whole
// minutes, and every zone's minutes start with UTC's) and when a dwell or
// an override ends, whichever comes first.
void NowPlaying::layersDue() {
  const std::int64_t nowMs = dispatcher_.loop().clock().monotonicMs();
  loadTexts();
  const std::size_t before = overrides_.size();
  for (std::size_t i = overrides_.size(); i-- > 0;) {
    if (overrides_[i].endsAtMs > nowMs) continue;
    dispatcher_.log("Override ended - " + overrides_[i].id);
    overrides_.erase(overrides_.begin() + static_cast<std::ptrdiff_t>(i));
    overrideTexts_.erase(overrideTexts_.begin() + static_cast<std::ptrdiff_t>(i));
  }
  (void)before;
  for (std::size_t i = 0; i < settings_.encoders.size() && i < air_.size(); ++i) {
    const std::string name = encoderName(settings_.encoders[i]);
    advanceRotation(air_[i].rt, name, TextTarget::Rt, nowMs);
    advanceRotation(air_[i].ps, name, TextTarget::Ps, nowMs);
  }
  for (std::size_t i = 0; i < settings_.dab.size() && i < dabAir_.size(); ++i) {
    advanceRotation(dabAir_[i].rt, settings_.dab[i].encoder, TextTarget::Rt, nowMs);
  }
  refresh(false);
  std::int64_t next = kMinuteMs - dispatcher_.loop().clock().utcMs() % kMinuteMs;
  const auto sooner = [&](std::int64_t at) {
    if (at > nowMs) next = std::min(next, at - nowMs);
  };
  for (const Override& o : overrides_) sooner(o.endsAtMs);
  for (const Air& a : air_) {
    if (!a.rt.list.empty()) sooner(a.rt.nextAtMs);
    if (!a.ps.list.empty()) sooner(a.ps.nextAtMs);
  }
  for (const Air& a : dabAir_) {
    if (!a.rt.list.empty()) sooner(a.rt.nextAtMs);
  }
  layerTimer_.setInterval(static_cast<int>(std::max<std::int64_t>(next, 1)));
  layerTimer_.setEnabled(false);
  layerTimer_.setEnabled(true);
}

// The texts file is read at start and whenever its size or time changed;
// one that cannot be taken keeps the plan there was, and says why.
void NowPlaying::loadTexts() {
  if (settings_.textsFile.empty()) return;
  struct stat st {};
  if (::stat(settings_.textsFile.c_str(), &st) != 0) {
    if (textsStamp_ != "missing") {
      if (plan_) dispatcher_.log("Texts file not found, the plan stays - " + settings_.textsFile);
      textsStamp_ = "missing";
    }
    return;
  }
  const std::string stamp = std::to_string(st.st_size) + "/" + std::to_string(st.st_mtim.tv_sec) +
                            "." + std::to_string(st.st_mtim.tv_nsec);
  if (stamp == textsStamp_) return;
  textsStamp_ = stamp;
  std::string content;
  if (static_cast<std::size_t>(st.st_size) > kMaxTextsFileBytes) {
    content.assign(kMaxTextsFileBytes + 1, ' ');  // refused as too large below
  } else {
    std::ifstream in(settings_.textsFile, std::ios::binary);
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::vector<std::string> names;
  for (const Encoder& e : dispatcher_.encoders()) names.push_back(e.name);
  Parsed<TextsPlan> parsed = parseTextsPlan(content, names);
  if (!parsed.ok()) {
    dispatcher_.log("Texts file refused - " + parsed.error + " (" + settings_.textsFile + ")" +
                    (plan_ ? "; the plan before stays" : ""));
    return;
  }
  plan_ = std::move(*parsed.value);
  dispatcher_.log("Texts file loaded - " + std::to_string(plan_->lists.size()) + " lists (" +
                  settings_.textsFile + ")");
}

std::optional<std::string> NowPlaying::startOverride(Override o, int seconds) {
  if (o.id.empty() || o.id.size() > 64) return "an override needs an id of 1 to 64 characters";
  if (seconds < 1 || seconds > kMaxOverrideSeconds) {
    return "seconds must be 1 to " + std::to_string(kMaxOverrideSeconds);
  }
  if (o.text.find_first_of("[]") != std::string::npos) {
    return "an override text cannot hold [ or ]";
  }
  std::string escaped;
  for (const char c : cleanText(o.text)) {
    escaped += c;
    if (c == '%') escaped += '%';
  }
  const auto& known = dispatcher_.encoders();
  for (const std::string& name : o.encoders) {
    if (std::none_of(known.begin(), known.end(),
                     [&](const Encoder& e) { return sameName(e.name, name); })) {
      return "unknown encoder " + name;
    }
  }
  cancelOverride(o.id);
  if (overrides_.size() >= kMaxOverrides) {
    return "at most " + std::to_string(kMaxOverrides) + " overrides at once";
  }
  o.endsAtMs = dispatcher_.loop().clock().monotonicMs() + std::int64_t{seconds} * 1000;
  o.order = ++overrideOrder_;
  dispatcher_.log("Override started - " + o.id + " for " + std::to_string(seconds) +
                  " s: " + encodeField(o.text, Charset::Ascii).bytes());
  overrideTexts_.emplace_back(escaped);
  overrides_.push_back(std::move(o));
  layersDue();
  return std::nullopt;
}

bool NowPlaying::cancelOverride(const std::string& id) {
  for (std::size_t i = 0; i < overrides_.size(); ++i) {
    if (overrides_[i].id != id) continue;
    overrides_.erase(overrides_.begin() + static_cast<std::ptrdiff_t>(i));
    overrideTexts_.erase(overrideTexts_.begin() + static_cast<std::ptrdiff_t>(i));
    dispatcher_.log("Override cancelled - " + id);
    layersDue();
    return true;
  }
  return false;
}

// {"override":{"id":..,"text":..,"encoders":[..],"seconds":..,"priority":..}}
// or {"cancel":"id"}.
NowPlaying::Posted NowPlaying::postOverride(std::string_view body) {
  using nlohmann::json;
  const json j = json::parse(body, nullptr, false);
  Posted posted;
  const auto fail = [&](std::string why) {
    posted.error = std::move(why);
    return posted;
  };
  if (j.is_object() && j.contains("cancel")) {
    const json& cancel = j.at("cancel");
    if (!cancel.is_string()) return fail("cancel takes the override's id");
    const std::string id = cancel.get<std::string>();
    if (!cancelOverride(id)) {
      posted.unprocessable = true;
      return fail("no override " + id);
    }
    posted.answer = json{{"cancelled", id}}.dump() + "\n";
    return posted;
  }
  const auto found = j.is_object() ? j.find("override") : j.end();
  if (found == j.end() || !found->is_object()) return fail("override takes an object");
  const json& o = *found;
  Override start;
  double seconds = 0;
  double priority = 0;
  try {
    start.id = o.value("id", std::string());
    start.text = o.value("text", std::string());
    // Read as doubles first: a number beyond int must not be cast.
    priority = o.value("priority", 0.0);
    seconds = o.value("seconds", 0.0);
    if (o.contains("encoders")) start.encoders = o.at("encoders").get<std::vector<std::string>>();
  } catch (const json::exception&) {
    return fail("override: id and text are strings, seconds and priority numbers, encoders a list");
  }
  if (!(priority >= -1000 && priority <= 1000)) return fail("priority must be -1000 to 1000");
  start.priority = static_cast<int>(priority);
  if (!(seconds >= 0 && seconds <= kMaxOverrideSeconds)) seconds = 0;  // refused below
  const std::vector<std::string> encoders = start.encoders;
  const std::string id = start.id;
  const int whole = static_cast<int>(seconds);
  if (auto refused = startOverride(std::move(start), whole)) return fail(*refused);
  posted.answer =
      json{{"override", id}, {"encoders", encoders}, {"seconds", whole}}.dump() + "\n";
  return posted;
}

}  // namespace varnok::nowplaying
