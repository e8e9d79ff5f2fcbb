#include "nowplaying/render.h"

#include <array>
#include <optional>
#include <utility>

namespace varnok::nowplaying {
namespace {

constexpr std::size_t index(Field field) {
  return static_cast<std::size_t>(field);
}

// Cuts a text longer than the limit at the last space at or before the
// limit (the character just past the limit may be that space), or at the
// limit when there is none, then removes the trailing spaces.
void cutToLimit(EncodedText& text) {
  if (text.size() <= kRadioTextLimit) return;
  std::size_t cut = kRadioTextLimit;
  std::size_t offset = 0;  // byte offset of character i
  const std::string& bytes = text.bytes();
  auto next = [&](std::size_t at) {
    if (text.charset() != Charset::Utf8) return at + 1;
    do {
      ++at;
    } while (at < bytes.size() && (static_cast<unsigned char>(bytes[at]) & 0xC0) == 0x80);
    return at;
  };
  // A space counts only after something other than spaces: cutting there
  // must leave some text.
  std::optional<std::size_t> lastSpace;
  bool seenText = false;
  for (std::size_t i = 0; i <= kRadioTextLimit; ++i) {
    if (bytes[offset] != ' ') {
      seenText = true;
    } else if (seenText) {
      lastSpace = i;
    }
    offset = next(offset);
  }
  if (lastSpace) cut = *lastSpace;
  text.truncate(cut);
  // A space is one byte and one character in every charset.
  const std::size_t kept = text.bytes().find_last_not_of(' ');
  const std::size_t trailing = text.bytes().size() - (kept == std::string::npos ? 0 : kept + 1);
  text.truncate(text.size() - trailing);
}

struct Tag {
  int type = 0;
  std::size_t start = 0;
  std::size_t marker = 0;
};

std::string rtPlusFor(const FilledText& filled, std::size_t finalLength) {
  constexpr std::size_t kTag1MaxMarker = 63;
  constexpr std::size_t kTag2MaxMarker = 31;
  struct Candidate {
    int type;
    Placement at;
  };
  std::vector<Candidate> whole;  // fields that are in the radio text uncut
  for (const auto& [field, type] : {std::pair{Field::Artist, 4}, std::pair{Field::Title, 1}}) {
    const auto& placed = filled.placed[index(field)];
    if (placed && placed->length > 0 && placed->start + placed->length <= finalLength) {
      whole.push_back({type, *placed});
    }
  }
  // The longer one in tag 1; on a tie the artist, who comes first.
  if (whole.size() == 2 && whole[1].at.length > whole[0].at.length) std::swap(whole[0], whole[1]);

  std::array<Tag, 2> tags;
  const std::array<std::size_t, 2> maxMarker = {kTag1MaxMarker, kTag2MaxMarker};
  for (std::size_t t = 0; t < whole.size(); ++t) {
    const std::size_t marker = whole[t].at.length - 1;
    if (marker <= maxMarker[t]) tags[t] = Tag{whole[t].type, whole[t].at.start, marker};
  }
  std::string out;
  for (const Tag& tag : tags) {
    if (!out.empty()) out += ',';
    out += std::to_string(tag.type) + ',' + std::to_string(tag.start) + ',' +
           std::to_string(tag.marker);
  }
  return out;
}

}  // namespace

Rendering render(const Update& update, const RadioTextTemplate& radioText,
                 const RadioTextTemplate& idleText, Charset charset,
                 std::span<const CommandTemplate> commands) {
  Fields fields = {encodeField(update.artist, charset), encodeField(update.title, charset),
                   encodeField(update.album, charset)};
  const bool idle = fields[index(Field::Artist)].empty() && fields[index(Field::Title)].empty();

  Rendering out;
  out.radioText = EncodedText(charset);
  FilledText filled = (idle ? idleText : radioText).fill(fields, charset);
  cutToLimit(filled.text);
  if (idle && filled.text.empty()) return out;  // Kind::Nothing

  out.kind = idle ? Rendering::Kind::Idle : Rendering::Kind::Playing;
  out.rtPlus = rtPlusFor(filled, filled.text.size());
  out.radioText = std::move(filled.text);
  const CommandValues values{out.radioText.bytes(), fields[index(Field::Artist)].bytes(),
                             fields[index(Field::Title)].bytes(),
                             fields[index(Field::Album)].bytes(), out.rtPlus};
  out.commands.reserve(commands.size());
  for (const CommandTemplate& command : commands) out.commands.push_back(command.render(values));
  return out;
}

std::string logText(const Update& update) {
  const EncodedText artist = encodeField(update.artist, Charset::Ascii);
  const EncodedText title = encodeField(update.title, Charset::Ascii);
  if (artist.empty()) return title.bytes();
  if (title.empty()) return artist.bytes();
  return artist.bytes() + " - " + title.bytes();
}

}  // namespace varnok::nowplaying
