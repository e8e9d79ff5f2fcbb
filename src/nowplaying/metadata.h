#pragma once

// Turning what a source delivers (an HTTP body, the watched file's bytes)
// into one Update. Every parser returns the update or a short error text fit
// for a log line; none of them throws, and none cleans the text beyond what
// its format needs: control characters and broken UTF-8 are the renderer's
// business.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "nowplaying/update.h"

namespace varnok::nowplaying {

// A parser's answer: a value, or an error text saying what was wrong.
template <typename T>
struct Parsed {
  std::optional<T> value;
  std::string error;  // empty when value holds something
  // A failure of a well-formed text that carries none of the fields asked
  // for: HTTP answers it with 422 rather than 400.
  bool unprocessable = false;

  static Parsed success(T v) { return {std::move(v), {}, false}; }
  static Parsed failure(std::string why) { return {std::nullopt, std::move(why), false}; }
  static Parsed absent(std::string why) { return {std::nullopt, std::move(why), true}; }
  bool ok() const { return value.has_value(); }
};

// Where artist, title, album, category and duration arrive (ArtistKey,
// TitleKey, AlbumKey, CategoryKey, DurationKey). Each is a path, matched
// exactly, letter case included; an empty one is not read. What a path
// means depends on the format:
//   JSON  member names joined by ".", each optionally followed by array
//         indexes: "now_playing.song.artist", "items[0].title", "a.b[2][1]".
//   XML   element names joined by "/": "padUpdate/now/artist".
//   form  the field name as it stands.
// A plain name ("artist") is a top-level member, any element of that name,
// or a form field.
struct Keys {
  std::string artist = "artist";
  std::string title = "title";
  std::string album = "album";
  std::string category;
  std::string duration;
  bool operator==(const Keys&) const = default;
};

// Whether path reads as a JSON path (see Keys): nullopt when it does, else
// why not ("empty name at character 3"), for the log line that refuses the
// key at start-up. The empty path is refused too; a key left unset is not
// a path to check.
std::optional<std::string> checkKeyPath(std::string_view path);

// Objects and arrays nested deeper than this are refused (JSON; libxml2
// has a depth limit of its own).
inline constexpr int kMaxJsonDepth = 64;

// Every parser but parseLine reads the fields that Keys name. A field is
// present when its path leads to something, even an empty string or null
// (an update whose fields are all empty means "idle"); when none of the
// configured fields is present at all, the answer is an unprocessable
// failure naming their paths. Category is text like artist, title and
// album. The duration is seconds: a JSON number (fractions allowed) or text
// such as "215", "215.5", "3:35" or "1:02:03"; any other value, a negative
// one included, leaves durationSeconds unset without failing the update
// (whatever the playout puts there, the song still goes out).

// A JSON object. A path that runs into a missing member, an index beyond
// the array or a value of the wrong kind (an index into an object, a
// member of a string) finds nothing. What it finds: a string is the text,
// a number is taken as the text it was written as, null is empty, and
// true, false, an object or an array is an error. When a name occurs
// twice, the last one counts. Anything but an object, invalid JSON
// (including broken UTF-8 inside a string, which JSON does not allow),
// nesting deeper than kMaxJsonDepth and a key that is not a path (see
// checkKeyPath) are errors. A leading UTF-8 byte order mark is skipped.
Parsed<Update> parseJson(std::string_view body, const Keys& keys = {});

// A form as `curl -d` sends it (application/x-www-form-urlencoded): fields
// separated by "&", "name=value", "+" for a space and %HH for any byte. A
// field without "=" is present with an empty value; when a name occurs
// twice, the last one counts. A "%" not followed by two hex digits is an
// error.
Parsed<Update> parseForm(std::string_view body, const Keys& keys = {});

// The first line, "Artist - Title": split at the first " - "; without one
// the whole line is the title. A UTF-8 byte order mark before it and a CR at
// its end are dropped. Never an error; there is no category or duration.
Parsed<Update> parseLine(std::string_view text);

// An XML document: each field is the text content (text and CDATA of the
// element and everything in it) of the first element, anywhere in the
// document, whose local name is the last name of the field's path and whose
// parent, grandparent and so on carry the names before it, nearest first
// ("." belongs to a name here). The text must be UTF-8: a declared encoding
// is not followed (convert first; see toUtf8). Nothing is loaded from
// outside and entities are not expanded: a reference to an entity the
// document declares itself adds nothing. A malformed document is an error.
Parsed<Update> parseXml(std::string_view text, const Keys& keys = {});

enum class FileFormat { Line, Json, Xml };
enum class FileEncoding { Utf8, Latin1, Cp1252 };

// The INI values FileFormat=line|json|xml and FileEncoding=utf-8|latin1|
// cp1252, in any letter case; an empty value gives the default (line,
// utf-8). Anything else is an error naming the values allowed.
Parsed<FileFormat> parseFileFormat(std::string_view value);
Parsed<FileEncoding> parseFileEncoding(std::string_view value);
std::string_view formatName(FileFormat format);
std::string_view encodingName(FileEncoding encoding);

// The bytes as UTF-8. UTF-8 is handed back as it is (broken sequences
// included); latin1 (ISO 8859-1) and cp1252 (Windows-1252, with € Š Ž ...
// at 0x80-0x9F) are converted; the five bytes cp1252 leaves undefined
// become the control characters of the same number, as web browsers read
// them. An error only when ICU lacks the converter.
Parsed<std::string> toUtf8(std::string_view bytes, FileEncoding encoding);

// A file's content: converted to UTF-8, a byte order mark dropped, then
// parsed in its format.
Parsed<Update> parseFile(std::string_view bytes, FileFormat format, FileEncoding encoding,
                         const Keys& keys = {});

}  // namespace varnok::nowplaying
