#pragma once

// The station's rotating texts (varnok.texts): what goes on air between
// songs, as lists of texts each with its own days, hours, encoders, target
// and dwell. The file is read here without any I/O; the caller reads the
// bytes and feeds local weekday and minute (daylight saving included) to
// TextsPlan::active.
//
//   ; a comment: ";" or "#" after optional blanks; blank lines are ignored
//   [list Morning]               ; a comment may follow the "]" of a header
//   ; mon..sun in any letter case, ranges (sat-mon wraps), or daily
//   days = mon-fri
//   ; H:MM or HH:MM; from 00:00..23:59, to 00:00..24:00, to <= from ends
//   ; the next day
//   from = 06:00
//   to = 10:00
//   encoders = Studio A, Studio B
//   ; rt or ps, and the whole seconds each text stays on air
//   target = rt
//   dwell = 20
//   text = Morning Show with Anna
//   text = [Now: %TITLE%]
//
// After a value, ";" and "#" are text like any other. See parseTextsPlan for
// the rules and refusals.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nowplaying/metadata.h"
#include "nowplaying/templates.h"

namespace varnok::nowplaying {

inline constexpr std::size_t kMaxTextsFileBytes = 1 << 20;
// The longest dwell taken: a day.
inline constexpr int kMaxDwellSeconds = 86400;
// A PS that changes faster than this cannot be read by a listener.
inline constexpr int kMinPsDwellSeconds = 4;
// A programme service name is 8 characters.
inline constexpr std::size_t kPsLength = 8;

// Where a list's texts go: the radio text or the programme service name.
enum class TextTarget { Rt, Ps };

// One [list NAME] of the file.
struct TextList {
  std::string name;
  int line = 0;                       // the line of its [list ...]
  std::uint8_t days = 0x7F;           // bit 0 Monday .. bit 6 Sunday: the days its window starts on
  int fromMinute = 0;                 // 0..1439
  int toMinute = 1440;                // 0..1440; <= fromMinute: the window ends the next day
  std::vector<std::string> encoders;  // canonical spelling (from encoderNames); empty: all
  TextTarget target = TextTarget::Rt;
  int dwellSeconds = 15;
  std::vector<RadioTextTemplate> texts;

  // Minutes a week it is on: the measure of how narrow it is.
  int minutesPerWeek() const;
  // ASCII case-insensitive; true when encoders is empty.
  bool forEncoder(std::string_view encoder) const;
  // Whether local time (weekday 0 = Monday .. 6 = Sunday, minuteOfDay
  // 0..1439) is in its window, including the hours after midnight of a window
  // that crossed it, which belong to the previous day's start. False for
  // values out of range.
  bool covers(int weekday, int minuteOfDay) const;
};

struct TextsPlan {
  std::vector<TextList> lists;

  // The list on air for an encoder and target at a local time: among the
  // lists that cover it, the narrowest (fewest minutesPerWeek), the
  // first in the file on a tie; nullptr when none.
  const TextList* active(std::string_view encoder, TextTarget target, int weekday,
                         int minuteOfDay) const;
};

// Reads the texts file. encoderNames: the configured encoders, for checking
// `encoders =` (compared ignoring ASCII letter case).
//
// Lines end at LF (a CR before it is dropped); a UTF-8 byte order mark at
// the start is skipped. Keys are `key = value` in any letter case, with the
// blanks around key and value dropped; each key but `text` at most once per
// list. Defaults: daily, 00:00 to 24:00, all encoders, rt, 15 seconds. A list
// needs a text; an empty text is refused. For target=ps the dwell is at
// least kMinPsDwellSeconds and a text, with its fields left empty, is at
// most kPsLength characters. Two lists may not share a name (ignoring ASCII
// letter case); their windows may overlap.
//
// Any fault refuses the whole file with one error naming its line ("line
// 12: dwell 0 (at least 1 second)"); only the size ("the file is larger
// than 1 MiB") is named without one. Faults of a single line are met in
// order; those joining lines of a list (no text, a PS dwell or text too
// long for the target) when the list ends. Never throws.
Parsed<TextsPlan> parseTextsPlan(std::string_view content,
                                 const std::vector<std::string>& encoderNames);

}  // namespace varnok::nowplaying
