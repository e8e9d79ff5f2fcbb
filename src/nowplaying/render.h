#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "nowplaying/templates.h"
#include "nowplaying/text.h"
#include "nowplaying/update.h"

namespace varnok::nowplaying {

// The longest radio text a receiver shows, in characters.
inline constexpr std::size_t kRadioTextLimit = 64;

// What one encoder is sent for an update.
struct Rendering {
  enum class Kind {
    Playing,  // the radio-text template, with artist or title
    Idle,     // neither artist nor title: the idle text
    Nothing,  // neither, and the idle text came out empty: send nothing
  };
  Kind kind = Kind::Nothing;
  // In the encoder's charset, at most kRadioTextLimit characters.
  EncodedText radioText;
  // "c1,s1,l1,c2,s2,l2": the artist and title tags over radioText.
  std::string rtPlus = "0,0,0,0,0,0";
  // One per command template, in their order; empty for Kind::Nothing.
  std::vector<std::string> commands;
};

// Renders an update for one encoder: each field cleaned and converted to the
// encoder's charset; the radio-text template filled (the idle template when
// the update has neither artist nor title in that charset); the result cut
// to kRadioTextLimit characters, at the last space at or before the limit
// when there is one (at the limit otherwise), trailing spaces removed; then
// the RT+ tags and the commands. %ARTIST%, %TITLE% and %ALBUM% in a command
// are the whole converted fields, not cut.
//
// RT+: tag 1 carries the longer of artist (content type 4) and title (type
// 1), tag 2 the other; start is the position in characters, the length
// marker the length less one (at most 63 in tag 1, 31 in tag 2). A field
// that is empty, not in the radio text, cut by the limit, or too long for
// its tag is sent as 0,0,0; when only one field can be tagged it takes
// tag 1.
Rendering render(const Update& update, const RadioTextTemplate& radioText,
                 const RadioTextTemplate& idleText, Charset charset,
                 std::span<const CommandTemplate> commands);

// "Artist - Title" in printable ASCII for a log line; only the one that is
// there when the other is missing; empty when both are.
std::string logText(const Update& update);

}  // namespace varnok::nowplaying
