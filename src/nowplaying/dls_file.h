#pragma once

// The dynamic label (DLS) text file of a DAB+ station: the now-playing text
// with its DL Plus tags, written where the PAD encoder reads it each time it
// sends a new label.
//
// The file, every line ended by one LF (no CR anywhere, no byte order mark):
//
//   Artist - Title
//   ##### parameters { #####
//   DL_PLUS=1
//   DL_PLUS_ITEM_TOGGLE=0
//   DL_PLUS_ITEM_RUNNING=1
//   DL_PLUS_TAG=4 0 5
//   DL_PLUS_TAG=1 9 4
//   ##### parameters } #####
//
// The first line is the text; the parameters block follows on lines of its
// own, the closing line ended by LF like the others. The block is written
// when at least one tag is written or the item is running; otherwise the
// file is the text followed by one LF (an empty text gives a file of one LF).
// A tag line is "DL_PLUS_TAG=<content type> <start> <length less one>" in
// decimal, the tags in the order given.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace varnok::nowplaying {

// How the text is written.
enum class DlsCharset {
  Utf8,      // UTF-8; the PAD encoder converts it to the EBU Latin set itself
  EbuLatin,  // one byte per character in the EBU Latin set (the table of
             // rds_charset.h), what it lacks transliterated as for an RDS
             // encoder (encodeText with Charset::Rds)
};

// "utf-8"/"utf8" or "ebu", in any letter case; nullopt for anything else.
std::optional<DlsCharset> parseDlsCharset(std::string_view value);

// One DL Plus tag: start and length count characters of the text as written
// (code points in UTF-8, bytes in the EBU Latin set), after cleaning,
// conversion and the cut. Content types as in RT+: 4 artist, 1 title.
struct DlsTag {
  int contentType = 0;
  int start = 0;
  int lengthMinusOne = 0;
  bool operator==(const DlsTag&) const = default;
};

struct DlsLabel {
  std::string text;          // UTF-8; cleaned (cleanText) when rendered
  std::vector<DlsTag> tags;  // at most 4 are written
  bool itemToggle = false;
  bool itemRunning = false;
};

// The most characters the text may have (one byte each on air).
inline constexpr std::size_t kMaxDlsCharacters = 128;

// The file's bytes. The text is cleaned (control characters become spaces)
// and converted to the charset; a text longer than kMaxDlsCharacters
// characters is cut at the last space at or before that many characters (at
// the limit when there is none), and its trailing spaces removed. Then the
// first four tags that are valid are written: a content type of 1 to 63, a
// start and length marker not below zero, and a tagged span that ends within
// the text as written (a tag past the end of a cut text is left out).
std::string renderDls(const DlsLabel& label, DlsCharset charset);

// The tags of the RT+ form "c1,s1,l1,c2,s2,l2" (see render.h), in order; a
// group with content type 0 is no tag. Anything but six decimal numbers
// separated by commas gives no tags.
std::vector<DlsTag> tagsFromRtPlus(std::string_view rtPlus);

// Writes bytes to path, unless the file there already holds exactly these
// bytes. The bytes go to a new temporary file in the same folder (".<name>.
// XXXXXX", mode 0644), written whole and then renamed over path, so a reader
// opening path finds either the old file or the new one, whole. Not synced to
// the disk: after a crash the file may be the previous one, which the next
// update replaces.
//
// True when it wrote, false when the file was already the same; an Error
// (errno as its code, a message naming the path) when it could not write. The
// temporary file never stays behind.
Result<bool> writeDlsFile(const std::string& path, const std::string& bytes);

}  // namespace varnok::nowplaying
