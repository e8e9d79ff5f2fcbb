#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "nowplaying/text.h"

namespace varnok::nowplaying {

// A template that cannot be read. The message says what is wrong and at
// which byte of the template (counted from 1), ready for the log.
class TemplateError : public std::invalid_argument {
 public:
  TemplateError(const std::string& message, std::size_t position);
  std::size_t position() const { return position_; }

 private:
  std::size_t position_;
};

enum class Field { Artist, Title, Album };
inline constexpr std::size_t kFieldCount = 3;

// The fields of one update in an encoder's charset, indexed by Field.
using Fields = std::array<EncodedText, kFieldCount>;

// Where a field landed in a filled text, in characters.
struct Placement {
  std::size_t start = 0;
  std::size_t length = 0;
  bool operator==(const Placement&) const = default;
};

struct FilledText {
  EncodedText text;
  // The first place each field was put; nullopt where it was not (empty,
  // absent from the template, or in a group that was dropped).
  std::array<std::optional<Placement>, kFieldCount> placed;
};

// The radio-text template (RadioText, IdleText): literal UTF-8 text with
// %ARTIST%, %TITLE% and %ALBUM% (any letter case) and %% for a percent sign.
// A group in square brackets is left out when a field written directly in it
// is empty; brackets nest, so "[%ARTIST%[ (%ALBUM%)] - ]%TITLE%" drops only
// the album group when the album is missing. A group without fields is always
// kept. A group that ends the text loses the literal text after its last
// field (or filled inner group), so that no separator dangles: an artist
// alone gives "Artist", not "Artist - ". There is no way to write a literal
// bracket.
class RadioTextTemplate {
 public:
  static constexpr std::string_view kDefaultRadioText = "[%ARTIST% - ]%TITLE%";
  static constexpr std::size_t kMaxNesting = 8;

  // The default radio text.
  RadioTextTemplate();
  // Throws TemplateError for an unknown field, a "%" without its closing
  // "%", a "[" without "]" or the reverse, brackets nested beyond
  // kMaxNesting.
  explicit RadioTextTemplate(std::string_view text);

  const std::string& source() const { return source_; }
  // Templates read from the same text are the same.
  bool operator==(const RadioTextTemplate& other) const { return source_ == other.source_; }

  // The text with the fields filled in; the literal text is converted to the
  // charset the fields are in. Nothing is cut here.
  FilledText fill(const Fields& fields, Charset charset) const;

 private:
  struct Node {
    enum class Kind { Text, Field, Group };
    Kind kind = Kind::Text;
    Field field = Field::Artist;
    std::array<EncodedText, 3> text;  // Kind::Text, converted to each Charset
    std::vector<Node> children;       // Kind::Group
  };

  // Where a filled group ended in the text, and where its last field (or
  // filled inner group) did.
  struct GroupEnd {
    std::size_t end = 0;
    std::size_t content = 0;
  };
  static std::optional<std::size_t> fillNodes(const std::vector<Node>& nodes, const Fields& fields,
                                              Charset charset, FilledText& out,
                                              std::vector<GroupEnd>& ends);

  std::string source_;
  std::vector<Node> nodes_;
};

// What an encoder command template may name.
struct CommandValues {
  std::string_view radioText;
  std::string_view artist;
  std::string_view title;
  std::string_view album;
  std::string_view rtPlus;
};

// An encoder command template (NowPlaying1..NowPlaying9): bytes sent as
// written, with %RT%, %ARTIST%, %TITLE%, %ALBUM%, %RTPLUS% (any letter case)
// filled in, %% for a percent sign, and the escapes \r, \n, \t, \\ and \xHH
// (two hexadecimal digits).
class CommandTemplate {
 public:
  // Throws TemplateError for an empty template, an unknown placeholder, a
  // "%" without its closing "%", an unknown or incomplete escape.
  explicit CommandTemplate(std::string_view text);

  const std::string& source() const { return source_; }
  bool operator==(const CommandTemplate& other) const { return source_ == other.source_; }
  std::string render(const CommandValues& values) const;

 private:
  enum class Placeholder { None, RadioText, Artist, Title, Album, RtPlus };
  struct Piece {
    std::string literal;
    Placeholder placeholder = Placeholder::None;
  };

  std::string source_;
  std::vector<Piece> pieces_;
};

}  // namespace varnok::nowplaying
