#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varnok::nowplaying {

// The character set an encoder takes its texts in (the encoder's Charset
// setting).
enum class Charset {
  Utf8,   // UTF-8 as it stands
  Rds,    // one byte per character in the RDS basic set (rds_charset.h)
  Ascii,  // 7-bit ASCII
};

// Reads a Charset setting: "utf-8" (or "utf8"), "rds" or "ascii" in any
// letter case. Anything else, the empty text included, throws
// std::invalid_argument with a message that names the value.
Charset parseCharset(std::string_view value);
std::string_view charsetName(Charset charset);

// Text as the rest of the rendering may trust it: valid UTF-8 (each broken
// sequence replaced by U+FFFD), every control character (C0, DEL, C1, the
// line and paragraph separators) turned into a space, then NFC. Throws
// std::length_error beyond kMaxTextBytes.
std::string cleanText(std::string_view raw);

inline constexpr std::size_t kMaxTextBytes = std::size_t{256} << 20;

// Text in an encoder's charset, with its length in characters as a receiver
// counts them: a code point in UTF-8, a byte in the RDS set and in ASCII.
class EncodedText {
 public:
  explicit EncodedText(Charset charset = Charset::Utf8) : charset_(charset) {}

  Charset charset() const { return charset_; }
  const std::string& bytes() const { return bytes_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Appends text in the same charset (std::invalid_argument otherwise).
  void append(const EncodedText& other);
  // The byte at which character `index` starts; bytes().size() for
  // index >= size(). Walks the text in UTF-8, so cost grows with index.
  std::size_t byteOffset(std::size_t index) const;
  // Keeps the first `count` characters.
  void truncate(std::size_t count);
  // Removes spaces at either end.
  void trimSpaces();

  // Bytes already valid for the charset (UTF-8 checked by the caller).
  static EncodedText fromValid(Charset charset, std::string bytes);

  bool operator==(const EncodedText&) const = default;

 private:
  Charset charset_;
  std::string bytes_;
  std::size_t size_ = 0;
};

// Cleans text (cleanText) and converts it to a charset. UTF-8: as cleaned.
// RDS: a character with a code becomes that code; the others, and words of
// Greek letters even where the set has a code for some of them, are
// transliterated to Latin script and each result encoded; what is still
// missing is reduced to ASCII and encoded; what is still missing then
// becomes a space (a lone combining mark disappears). ASCII: the same steps
// with printable ASCII as the set. Throws std::runtime_error when ICU cannot
// provide its transliterators.
EncodedText encodeText(std::string_view raw, Charset charset);
// A field: encodeText without white space at either end, before and after
// the conversion (a field that converts to spaces only is empty).
EncodedText encodeField(std::string_view raw, Charset charset);

}  // namespace varnok::nowplaying
