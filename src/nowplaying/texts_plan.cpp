#include "nowplaying/texts_plan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <exception>
#include <optional>
#include <utility>

#include "platform/ascii_text.h"

namespace varnok::nowplaying {

namespace {

constexpr std::string_view kBlanks = " \t";
constexpr int kMinutesPerDay = 1440;
constexpr std::uint8_t kAllDays = 0x7F;

std::string atLine(int line, std::string_view what) {
  return "line " + std::to_string(line) + ": " + std::string(what);
}

std::string quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

// Strict UTF-8: no overlong forms, no surrogates, nothing beyond U+10FFFF.
bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t more = 0;
    char32_t code = 0;
    char32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
      more = 1, code = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      more = 2, code = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      more = 3, code = lead & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i <= more) return false;
    for (std::size_t k = 1; k <= more; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += more + 1;
  }
  return true;
}

std::optional<int> weekdayNamed(std::string_view name) {
  static constexpr std::array<std::string_view, 7> kNames = {"mon", "tue", "wed", "thu",
                                                             "fri", "sat", "sun"};
  for (std::size_t d = 0; d < kNames.size(); ++d) {
    if (equalsIgnoringCase(name, kNames[d])) return static_cast<int>(d);
  }
  return std::nullopt;
}

// "daily", or days and ranges separated by commas ("mon-wed, sat-mon").
std::optional<std::uint8_t> parseDays(std::string_view value) {
  if (equalsIgnoringCase(value, "daily")) return kAllDays;
  std::uint8_t days = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = value.find(',', start);
    const std::string_view item = value.substr(start, comma - start);
    const std::size_t dash = item.find('-');
    const auto first = weekdayNamed(trimmed(item.substr(0, dash), kBlanks));
    const auto last = dash == std::string_view::npos
                          ? first
                          : weekdayNamed(trimmed(item.substr(dash + 1), kBlanks));
    if (!first || !last) return std::nullopt;
    for (int d = *first;; d = (d + 1) % 7) {
      days = static_cast<std::uint8_t>(days | (1u << d));
      if (d == *last) break;
    }
    if (comma == std::string_view::npos) return days;
    start = comma + 1;
  }
}

// H:MM or HH:MM as minutes of the day, at most `latest`.
std::optional<int> parseTime(std::string_view value, int latest) {
  const std::size_t colon = value.find(':');
  if ((colon != 1 && colon != 2) || value.size() != colon + 3) return std::nullopt;
  int hours = 0;
  int minutes = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (i == colon) continue;
    if (value[i] < '0' || value[i] > '9') return std::nullopt;
    int& number = i < colon ? hours : minutes;
    number = number * 10 + (value[i] - '0');
  }
  const int total = hours * 60 + minutes;
  if (minutes > 59 || total > latest) return std::nullopt;
  return total;
}

enum class Key { Days, From, To, Encoders, Target, Dwell, Text };
constexpr std::array<std::pair<std::string_view, Key>, 7> kKeys = {{{"days", Key::Days},
                                                                    {"from", Key::From},
                                                                    {"to", Key::To},
                                                                    {"encoders", Key::Encoders},
                                                                    {"target", Key::Target},
                                                                    {"dwell", Key::Dwell},
                                                                    {"text", Key::Text}}};

// A list being read, with what its closing checks need.
struct OpenList {
  TextList list;
  std::uint8_t seen = 0;  // bit per Key
  int dwellLine = 0;
  std::vector<int> textLines;
};

// The checks that join lines of a list: it has a text, and a PS list's
// dwell and texts suit a PS. The earliest faulty line is named.
std::optional<std::string> closeList(const OpenList& open) {
  const TextList& list = open.list;
  if (list.texts.empty()) return atLine(list.line, "list " + list.name + " has no text");
  if (list.target != TextTarget::Ps) return std::nullopt;
  std::optional<std::pair<int, std::string>> fault;
  if (list.dwellSeconds < kMinPsDwellSeconds) {
    fault.emplace(open.dwellLine, "dwell " + std::to_string(list.dwellSeconds) +
                                      " (a PS needs at least " +
                                      std::to_string(kMinPsDwellSeconds) + " seconds)");
  }
  Fields none;  // a PS text is measured with its fields left empty
  for (std::size_t i = 0; i < list.texts.size(); ++i) {
    if (fault && fault->first < open.textLines[i]) break;
    const std::size_t length = list.texts[i].fill(none, Charset::Utf8).text.size();
    if (length > kPsLength) {
      fault.emplace(open.textLines[i], "text " + quoted(list.texts[i].source()) + " has " +
                                           std::to_string(length) + " characters (a PS takes " +
                                           std::to_string(kPsLength) + ")");
      break;
    }
  }
  if (fault) return atLine(fault->first, fault->second);
  return std::nullopt;
}

// Reads a [list NAME] line into a new list; the error text otherwise.
std::optional<std::string> openList(std::string_view line, int number,
                                    const std::vector<TextList>& done, OpenList& open) {
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos) return atLine(number, "[ without ]");
  const std::string_view after = trimmed(line.substr(close + 1), kBlanks);
  if (!after.empty() && after.front() != ';' && after.front() != '#') {
    return atLine(number, "text after ] (a comment starts with ; or #)");
  }
  const std::string_view inner = trimmed(line.substr(1, close - 1), kBlanks);
  const std::string_view word = inner.substr(0, inner.find_first_of(kBlanks));
  if (!equalsIgnoringCase(word, "list")) {
    return atLine(number, "[" + std::string(inner) + "] is not a list ([list NAME])");
  }
  const std::string_view name = trimmed(inner.substr(word.size()), kBlanks);
  if (name.empty()) return atLine(number, "list without a name");
  for (const TextList& other : done) {
    if (equalsIgnoringCase(other.name, name)) {
      return atLine(number, "a second list named " + std::string(name));
    }
  }
  open.list.name = name;
  open.list.line = number;
  return std::nullopt;
}

// Reads one `key = value` of a list into it; the error text otherwise.
std::optional<std::string> readKey(Key key, std::string_view keyText, std::string_view value,
                                   int number, const std::vector<std::string>& encoderNames,
                                   OpenList& open) {
  TextList& list = open.list;
  const auto bit = static_cast<std::uint8_t>(1u << static_cast<int>(key));
  if (key != Key::Text && (open.seen & bit) != 0) {
    return atLine(number, "list " + list.name + " already has " + std::string(keyText));
  }
  open.seen = static_cast<std::uint8_t>(open.seen | bit);
  switch (key) {
    case Key::Days:
      if (const auto days = parseDays(value)) {
        list.days = *days;
        return std::nullopt;
      }
      return atLine(number, "days " + quoted(value) + " (mon..sun, ranges, daily)");
    case Key::From:
      if (const auto minute = parseTime(value, kMinutesPerDay - 1)) {
        list.fromMinute = *minute;
        return std::nullopt;
      }
      return atLine(number, "from " + quoted(value) + " (H:MM or HH:MM, 00:00..23:59)");
    case Key::To:
      if (const auto minute = parseTime(value, kMinutesPerDay)) {
        list.toMinute = *minute;
        return std::nullopt;
      }
      return atLine(number, "to " + quoted(value) + " (H:MM or HH:MM, 00:00..24:00)");
    case Key::Encoders:
      for (std::size_t start = 0;;) {
        const std::size_t comma = value.find(',', start);
        const std::string_view name = trimmed(value.substr(start, comma - start), kBlanks);
        if (name.empty()) return atLine(number, "encoders: an empty name");
        const auto known =
            std::find_if(encoderNames.begin(), encoderNames.end(),
                         [&](const std::string& n) { return equalsIgnoringCase(n, name); });
        if (known == encoderNames.end()) {
          return atLine(number, "unknown encoder " + std::string(name));
        }
        if (std::find(list.encoders.begin(), list.encoders.end(), *known) == list.encoders.end()) {
          list.encoders.push_back(*known);
        }
        if (comma == std::string_view::npos) return std::nullopt;
        start = comma + 1;
      }
    case Key::Target:
      if (equalsIgnoringCase(value, "rt") || equalsIgnoringCase(value, "ps")) {
        list.target = equalsIgnoringCase(value, "rt") ? TextTarget::Rt : TextTarget::Ps;
        return std::nullopt;
      }
      return atLine(number, "target " + quoted(value) + " (rt or ps)");
    case Key::Dwell: {
      int seconds = 0;
      const auto [end, why] = std::from_chars(value.data(), value.data() + value.size(), seconds);
      const bool digits =
          !value.empty() && value.front() != '-' && end == value.data() + value.size();
      if (!digits || (why != std::errc{} && why != std::errc::result_out_of_range)) {
        return atLine(number, "dwell " + quoted(value) + " (whole seconds)");
      }
      if (why == std::errc::result_out_of_range || seconds > kMaxDwellSeconds) {
        return atLine(number, "dwell " + std::string(value) + " (at most " +
                                  std::to_string(kMaxDwellSeconds) + " seconds)");
      }
      if (seconds == 0)
        return atLine(number, "dwell " + std::string(value) + " (at least 1 second)");
      list.dwellSeconds = seconds;
      open.dwellLine = number;
      return std::nullopt;
    }
    case Key::Text:
      if (value.empty()) return atLine(number, "empty text");
      try {
        list.texts.emplace_back(value);
      } catch (const TemplateError& e) {
        return atLine(number, std::string("text: ") + e.what());
      }
      open.textLines.push_back(number);
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

int TextList::minutesPerWeek() const {
  const int length =
      toMinute > fromMinute ? toMinute - fromMinute : kMinutesPerDay - fromMinute + toMinute;
  return std::popcount(static_cast<std::uint8_t>(days & kAllDays)) * length;
}

bool TextList::forEncoder(std::string_view encoder) const {
  return encoders.empty() ||
         std::any_of(encoders.begin(), encoders.end(),
                     [&](const std::string& name) { return equalsIgnoringCase(name, encoder); });
}

bool TextList::covers(int weekday, int minuteOfDay) const {
  if (weekday < 0 || weekday > 6 || minuteOfDay < 0 || minuteOfDay >= kMinutesPerDay) return false;
  const auto startsOn = [this](int day) { return ((days >> day) & 1) != 0; };
  if (toMinute > fromMinute) {
    return startsOn(weekday) && minuteOfDay >= fromMinute && minuteOfDay < toMinute;
  }
  return (startsOn(weekday) && minuteOfDay >= fromMinute) ||
         (startsOn((weekday + 6) % 7) && minuteOfDay < toMinute);
}

const TextList* TextsPlan::active(std::string_view encoder, TextTarget target, int weekday,
                                  int minuteOfDay) const {
  const TextList* best = nullptr;
  for (const TextList& list : lists) {
    if (list.target != target || !list.forEncoder(encoder) || !list.covers(weekday, minuteOfDay)) {
      continue;
    }
    if (best == nullptr || list.minutesPerWeek() < best->minutesPerWeek()) best = &list;
  }
  return best;
}

Parsed<TextsPlan> parseTextsPlan(std::string_view content,
                                 const std::vector<std::string>& encoderNames) {
  using Result = Parsed<TextsPlan>;
  if (content.size() > kMaxTextsFileBytes) return Result::failure("the file is larger than 1 MiB");
  int number = 0;
  try {
    TextsPlan plan;
    std::optional<OpenList> open;
    std::string_view rest = content;
    if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
    while (!rest.empty()) {
      const std::size_t end = rest.find('\n');
      std::string_view line = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
      ++number;
      if (line.ends_with('\r')) line.remove_suffix(1);
      if (!isValidUtf8(line)) return Result::failure(atLine(number, "invalid UTF-8"));
      line = trimmed(line, kBlanks);
      if (line.empty() || line.front() == ';' || line.front() == '#') continue;

      if (line.front() == '[') {
        if (open) {
          if (auto error = closeList(*open)) return Result::failure(std::move(*error));
          plan.lists.push_back(std::move(open->list));
        }
        open.emplace();
        if (auto error = openList(line, number, plan.lists, *open)) {
          return Result::failure(std::move(*error));
        }
        continue;
      }

      const std::size_t equals = line.find('=');
      const std::string_view keyText = trimmed(line.substr(0, equals), kBlanks);
      if (equals == std::string_view::npos || keyText.empty()) {
        return Result::failure(atLine(number, "expected [list NAME] or key = value"));
      }
      const auto known = std::find_if(kKeys.begin(), kKeys.end(), [&](const auto& entry) {
        return equalsIgnoringCase(entry.first, keyText);
      });
      if (known == kKeys.end()) {
        return Result::failure(atLine(number, "unknown key " + std::string(keyText)));
      }
      if (!open) {
        return Result::failure(
            atLine(number, std::string(keyText) + " before the first [list NAME]"));
      }
      const std::string_view value = trimmed(line.substr(equals + 1), kBlanks);
      if (auto error = readKey(known->second, keyText, value, number, encoderNames, *open)) {
        return Result::failure(std::move(*error));
      }
    }
    if (open) {
      if (auto error = closeList(*open)) return Result::failure(std::move(*error));
      plan.lists.push_back(std::move(open->list));
    }
    return Result::success(std::move(plan));
  } catch (const std::exception& e) {
    // Out of memory, or ICU without what the templates need.
    return Result::failure(atLine(number, e.what()));
  }
}

}  // namespace varnok::nowplaying
