#include "nowplaying/templates.h"

#include <algorithm>

#include "platform/ascii_text.h"

namespace varnok::nowplaying {
namespace {

constexpr std::size_t index(Field field) {
  return static_cast<std::size_t>(field);
}
constexpr std::size_t index(Charset charset) {
  return static_cast<std::size_t>(charset);
}

bool sameName(std::string_view name, std::string_view upperName) {
  return name.size() == upperName.size() &&
         std::equal(name.begin(), name.end(), upperName.begin(),
                    [](char a, char b) { return upperAscii(a) == b; });
}

// A name as the error message quotes it: long ones shortened.
std::string quoted(std::string_view name) {
  constexpr std::size_t kShown = 24;
  if (name.size() <= kShown) return "%" + std::string(name) + "%";
  return "%" + std::string(name.substr(0, kShown)) + "...%";
}

// The name between a "%" at `open` and the next "%"; throws when there is
// none.
std::string_view placeholderName(std::string_view text, std::size_t open) {
  const std::size_t close = text.find('%', open + 1);
  if (close == std::string_view::npos) {
    throw TemplateError("\"%\" without a closing \"%\" (write %% for a percent sign)", open + 1);
  }
  return text.substr(open + 1, close - open - 1);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

TemplateError::TemplateError(const std::string& message, std::size_t position)
    : std::invalid_argument(message + " at position " + std::to_string(position)),
      position_(position) {}

RadioTextTemplate::RadioTextTemplate() : RadioTextTemplate(kDefaultRadioText) {}

RadioTextTemplate::RadioTextTemplate(std::string_view text) : source_(text) {
  // The open groups, innermost last, with where each opened.
  std::vector<std::vector<Node>*> open{&nodes_};
  std::vector<std::size_t> opened;
  std::string literal;
  auto flush = [&] {
    if (literal.empty()) return;
    Node node;
    for (const Charset charset : {Charset::Utf8, Charset::Rds, Charset::Ascii}) {
      node.text[index(charset)] = encodeText(literal, charset);
    }
    open.back()->push_back(std::move(node));
    literal.clear();
  };

  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      const std::string_view name = placeholderName(text, i);
      const std::size_t at = i + 1;
      i += name.size() + 1;
      if (name.empty()) {
        literal.push_back('%');
        continue;
      }
      Node node;
      node.kind = Node::Kind::Field;
      if (sameName(name, "ARTIST")) {
        node.field = Field::Artist;
      } else if (sameName(name, "TITLE")) {
        node.field = Field::Title;
      } else if (sameName(name, "ALBUM")) {
        node.field = Field::Album;
      } else {
        throw TemplateError(
            "unknown field " + quoted(name) + " (known: %ARTIST%, %TITLE%, %ALBUM%, %%)", at);
      }
      flush();
      open.back()->push_back(std::move(node));
    } else if (c == '[') {
      if (opened.size() == kMaxNesting) {
        throw TemplateError(
            "brackets nested deeper than " + std::to_string(kMaxNesting) + " levels", i + 1);
      }
      flush();
      Node group;
      group.kind = Node::Kind::Group;
      open.back()->push_back(std::move(group));
      open.push_back(&open.back()->back().children);
      opened.push_back(i + 1);
    } else if (c == ']') {
      if (opened.empty()) throw TemplateError("\"]\" without an opening \"[\"", i + 1);
      flush();
      open.pop_back();
      opened.pop_back();
    } else {
      literal.push_back(c);
    }
  }
  if (!opened.empty()) throw TemplateError("\"[\" without a closing \"]\"", opened.back());
  flush();
}

// A group that ends the text keeps its fields but not the literal text
// after them: "[%ARTIST% - ]%TITLE%" with an artist alone gives "Artist",
// not "Artist - ". Of the groups that end where the text ends, the one
// filled last (the outermost) decides.
FilledText RadioTextTemplate::fill(const Fields& fields, Charset charset) const {
  FilledText out{EncodedText(charset), {}};
  std::vector<GroupEnd> ends;
  fillNodes(nodes_, fields, charset, out, ends);
  for (auto it = ends.rbegin(); it != ends.rend(); ++it) {
    if (it->end != out.text.size()) continue;
    out.text.truncate(it->content);
    break;
  }
  return out;
}

// Returns where the last field or filled group of nodes ended in the
// text; nullopt when no field went in.
std::optional<std::size_t> RadioTextTemplate::fillNodes(const std::vector<Node>& nodes,
                                                        const Fields& fields, Charset charset,
                                                        FilledText& out,
                                                        std::vector<GroupEnd>& ends) {
  std::optional<std::size_t> content;
  for (const Node& node : nodes) {
    switch (node.kind) {
      case Node::Kind::Text:
        out.text.append(node.text[index(charset)]);
        break;
      case Node::Kind::Field: {
        const EncodedText& value = fields[index(node.field)];
        if (value.empty()) break;
        auto& placed = out.placed[index(node.field)];
        if (!placed) placed = Placement{out.text.size(), value.size()};
        out.text.append(value);
        content = out.text.size();
        break;
      }
      case Node::Kind::Group: {
        const bool missing =
            std::any_of(node.children.begin(), node.children.end(), [&](const Node& child) {
              return child.kind == Node::Kind::Field && fields[index(child.field)].empty();
            });
        if (missing) break;
        if (const auto inner = fillNodes(node.children, fields, charset, out, ends)) {
          ends.push_back(GroupEnd{out.text.size(), *inner});
          content = out.text.size();
        }
        break;
      }
    }
  }
  return content;
}

CommandTemplate::CommandTemplate(std::string_view text) : source_(text) {
  if (text.empty()) throw TemplateError("empty command template", 1);
  std::string literal;
  auto add = [&](Placeholder placeholder) {
    pieces_.push_back(Piece{std::move(literal), placeholder});
    literal.clear();
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      const std::string_view name = placeholderName(text, i);
      const std::size_t at = i + 1;
      i += name.size() + 1;
      if (name.empty()) {
        literal.push_back('%');
      } else if (sameName(name, "RT")) {
        add(Placeholder::RadioText);
      } else if (sameName(name, "ARTIST")) {
        add(Placeholder::Artist);
      } else if (sameName(name, "TITLE")) {
        add(Placeholder::Title);
      } else if (sameName(name, "ALBUM")) {
        add(Placeholder::Album);
      } else if (sameName(name, "RTPLUS")) {
        add(Placeholder::RtPlus);
      } else {
        throw TemplateError("unknown placeholder " + quoted(name) +
                                " (known: %RT%, %ARTIST%, %TITLE%, %ALBUM%, %RTPLUS%, %%)",
                            at);
      }
    } else if (c == '\\') {
      if (i + 1 == text.size()) throw TemplateError("\"\\\" at the end of the template", i + 1);
      const char e = text[i + 1];
      switch (e) {
        case 'r':
          literal.push_back('\r');
          break;
        case 'n':
          literal.push_back('\n');
          break;
        case 't':
          literal.push_back('\t');
          break;
        case '\\':
          literal.push_back('\\');
          break;
        case 'x': {
          const int high = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
          const int low = i + 3 < text.size() ? hexDigit(text[i + 3]) : -1;
          if (high < 0 || low < 0) {
            throw TemplateError("\"\\x\" needs two hexadecimal digits", i + 1);
          }
          literal.push_back(static_cast<char>(high * 16 + low));
          i += 2;
          break;
        }
        default: {
          const auto b = static_cast<unsigned char>(e);
          const std::string shown = (b >= 0x21 && b < 0x7F) ? std::string(1, e) : "<byte>";
          throw TemplateError(
              "unknown escape \"\\" + shown + "\" (known: \\r, \\n, \\t, \\\\, \\xHH)", i + 1);
        }
      }
      ++i;
    } else {
      literal.push_back(c);
    }
  }
  if (!literal.empty()) add(Placeholder::None);
}

std::string CommandTemplate::render(const CommandValues& values) const {
  std::string out;
  for (const Piece& piece : pieces_) {
    out += piece.literal;
    switch (piece.placeholder) {
      case Placeholder::None:
        break;
      case Placeholder::RadioText:
        out += values.radioText;
        break;
      case Placeholder::Artist:
        out += values.artist;
        break;
      case Placeholder::Title:
        out += values.title;
        break;
      case Placeholder::Album:
        out += values.album;
        break;
      case Placeholder::RtPlus:
        out += values.rtPlus;
        break;
    }
  }
  return out;
}

}  // namespace varnok::nowplaying
