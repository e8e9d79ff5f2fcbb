#include "nowplaying/metadata.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <unicode/ucnv.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/ascii_text.h"

namespace varnok::nowplaying {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string_view withoutBom(std::string_view text) {
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
  return text;
}

// An error text from a library, fit for one log line: control characters
// (libxml2 ends its messages with a newline) become blanks, and a long text
// is cut at a character boundary.
std::string oneLine(std::string text) {
  constexpr std::size_t kMax = 200;
  if (text.size() > kMax) {
    std::size_t cut = kMax;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    text += "...";
  }
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// The fields in the order of Keys; every parser but parseLine fills one
// Found for each.
enum Field { kArtist, kTitle, kAlbum, kCategory, kDuration, kFields };

std::array<const std::string*, kFields> pathsOf(const Keys& keys) {
  return {&keys.artist, &keys.title, &keys.album, &keys.category, &keys.duration};
}

struct Found {
  bool present = false;
  std::string text;
  std::optional<double> number;  // what a JSON number said, for the duration
};
using Fields = std::array<Found, kFields>;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Seconds from "215", "215.5", "3:35" or "1:02:03", blanks around allowed:
// minutes and seconds after a colon are two digits below 60, and only the
// last number may have a fraction.
std::optional<double> secondsOf(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  double total = 0;
  for (int numbers = 1; numbers <= 3; ++numbers) {
    const std::size_t colon = text.find(':');
    const bool last = colon == std::string_view::npos;
    const std::string_view number = text.substr(0, colon);
    std::size_t digits = 0;
    while (digits < number.size() && isDigit(number[digits])) ++digits;
    if (digits == 0 || (numbers > 1 && digits != 2)) return std::nullopt;
    if (digits < number.size()) {
      const std::string_view fraction = number.substr(digits + 1);
      if (!last || number[digits] != '.' || fraction.empty() ||
          !std::all_of(fraction.begin(), fraction.end(), isDigit)) {
        return std::nullopt;
      }
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value,
                                           std::chars_format::fixed);
    if (ec != std::errc{} || end != number.data() + number.size() || (numbers > 1 && value >= 60)) {
      return std::nullopt;
    }
    total = total * 60 + value;
    if (last) return std::isfinite(total) ? std::optional<double>(total) : std::nullopt;
    text.remove_prefix(colon + 1);
  }
  return std::nullopt;
}

std::optional<double> durationOf(const Found& found) {
  if (!found.number) return secondsOf(found.text);
  if (!std::isfinite(*found.number) || *found.number < 0) return std::nullopt;
  return found.number;
}

// The update from what was found, or the unprocessable failure when none of
// the configured fields was there; where names the text ("body", "file").
Parsed<Update> collect(Fields& found, const Keys& keys, std::string_view where) {
  const auto paths = pathsOf(keys);
  std::string names;
  bool any = false;
  for (int f = 0; f < kFields; ++f) {
    if (paths[f]->empty()) continue;
    any = any || found[f].present;
    names += (names.empty() ? "" : ", ") + *paths[f];
  }
  if (!any) {
    return Parsed<Update>::absent(oneLine(names.empty() ? std::string("no fields are configured")
                                                        : "none of the fields " + names +
                                                              " is in the " + std::string(where)));
  }
  Update update;
  update.artist = std::move(found[kArtist].text);
  update.title = std::move(found[kTitle].text);
  update.album = std::move(found[kAlbum].text);
  update.category = std::move(found[kCategory].text);
  update.durationSeconds = durationOf(found[kDuration]);
  return Parsed<Update>::success(std::move(update));
}

// One step of a JSON path: a member name, or an index when the name is
// empty (a path never has an empty name).
struct Step {
  std::string_view name;
  std::size_t index = 0;
};

// The steps of a JSON path, or why it is not one.
std::optional<std::string> readPath(std::string_view path, std::vector<Step>& steps) {
  const auto at = [](std::size_t i) { return " at character " + std::to_string(i + 1); };
  if (path.empty()) return "empty";
  std::size_t i = 0;
  for (;;) {
    const std::size_t start = i;
    while (i < path.size() && path[i] != '.' && path[i] != '[' && path[i] != ']') ++i;
    if (i == start) return "empty name" + at(start);
    steps.push_back({path.substr(start, i - start)});
    while (i < path.size() && path[i] == '[') {
      const std::size_t close = path.find(']', i);
      if (close == std::string_view::npos) return "\"[\"" + at(i) + " is not closed";
      const std::string_view digits = path.substr(i + 1, close - i - 1);
      if (digits.empty() || !std::all_of(digits.begin(), digits.end(), isDigit)) {
        return "index" + at(i + 1) + " is not a number";
      }
      std::size_t index = SIZE_MAX;  // too large to be within any array
      std::from_chars(digits.data(), digits.data() + digits.size(), index);
      steps.push_back({{}, index});
      i = close + 1;
    }
    if (i == path.size()) return std::nullopt;
    if (path[i] != '.') return "\"" + std::string(1, path[i]) + "\"" + at(i) + " out of place";
    ++i;
  }
}

// JSON is read through nlohmann's SAX interface: no document is built, only
// the wanted values are kept, and the depth is counted as the parser goes,
// so that a document nested a million deep ends with an error after the
// first levels instead of overflowing a stack. Each open object or array
// knows which fields' paths lead through it so far.
class JsonFields {
 public:
  using json = nlohmann::json;

  explicit JsonFields(const Keys& keys) : paths_(pathsOf(keys)) {
    for (int f = 0; f < kFields && error.empty(); ++f) {
      if (paths_[f]->empty()) continue;
      if (const auto wrong = readPath(*paths_[f], steps_[f])) {
        fail("key \"" + *paths_[f] + "\" is not a path: " + *wrong);
      }
      wanted_ |= 1u << f;
    }
  }

  Fields found;
  std::string error;

  bool null() { return scalar(""); }
  bool boolean(bool) { return scalar(std::nullopt); }
  bool number_integer(json::number_integer_t v) {
    return scalar(std::to_string(v), static_cast<double>(v));
  }
  bool number_unsigned(json::number_unsigned_t v) {
    return scalar(std::to_string(v), static_cast<double>(v));
  }
  bool number_float(json::number_float_t v, const json::string_t& text) { return scalar(text, v); }
  bool string(json::string_t& v) { return scalar(std::move(v)); }
  bool binary(json::binary_t&) { return scalar(std::nullopt); }  // not in JSON text
  bool start_object(std::size_t) { return open(false); }
  bool start_array(std::size_t) { return open(true); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool key(json::string_t& name) {
    frames_.back().here =
        matching([&](const Step& s) { return !s.name.empty() && s.name == name; });
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    // "[json.exception.parse_error.101] parse error at line 1, column 9: ..."
    // "[json.exception.out_of_range.406] number overflow parsing '1e999'"
    std::string what = e.what();
    if (what.rfind("[json.exception.", 0) == 0 && what.find("] ") != std::string::npos) {
      what.erase(0, what.find("] ") + 2);
    }
    const std::size_t at = what.find("parse error ");
    if (at != std::string::npos) what.erase(0, at + 12);
    // "; last read: '<the input>'" would copy the input into the log.
    const std::size_t echo = what.find("; last read: ");
    if (echo != std::string::npos) what.erase(echo, what.find("; expected", echo) - echo);
    return fail("invalid JSON " + what);
  }

 private:
  struct Frame {
    bool array = false;
    std::size_t next = 0;  // the index of an array's next element
    unsigned live = 0;     // fields whose paths lead here
    unsigned here = 0;     // of those, the ones whose next step is the current member
  };

  // The live fields whose next step test accepts; each starts over, so that
  // of a member named twice the last one counts.
  template <typename Test>
  unsigned matching(Test test) {
    const Frame& frame = frames_.back();
    unsigned here = 0;
    for (int f = 0; f < kFields; ++f) {
      if ((frame.live >> f & 1u) && test(steps_[f][frames_.size() - 1])) {
        here |= 1u << f;
        found[f] = {};
      }
    }
    return here;
  }
  // The fields whose paths lead to the value that starts now.
  unsigned arrive() {
    Frame& frame = frames_.back();
    if (!frame.array) return frame.here;
    const std::size_t index = frame.next++;
    return matching([&](const Step& s) { return s.name.empty() && s.index == index; });
  }
  bool ends(int f) const { return steps_[f].size() == frames_.size(); }
  // A field's path ends at something that is not text: an error, but for
  // the duration, which is then left unset.
  bool notText(int f) {
    if (f == kDuration) {
      found[f].present = true;
      return true;
    }
    return fail("\"" + *paths_[f] + "\" is neither text nor a number");
  }
  // A value that is not an object or array; text nullopt: not text either.
  bool scalar(std::optional<std::string> text, std::optional<double> number = std::nullopt) {
    if (frames_.empty()) return fail("not a JSON object");
    const unsigned here = arrive();
    for (int f = 0; f < kFields; ++f) {
      if (!(here >> f & 1u) || !ends(f)) continue;  // a path that goes on finds nothing
      if (!text) {
        if (!notText(f)) return false;
        continue;
      }
      found[f] = {true, *text, number};
    }
    return true;
  }
  bool open(bool array) {
    unsigned live = wanted_;
    if (frames_.empty()) {
      if (array) return fail("not a JSON object");
    } else {
      const unsigned here = arrive();
      live = 0;
      for (int f = 0; f < kFields; ++f) {
        if (!(here >> f & 1u)) continue;
        if (!ends(f)) {
          live |= 1u << f;
        } else if (!notText(f)) {
          return false;
        }
      }
    }
    if (frames_.size() >= static_cast<std::size_t>(kMaxJsonDepth)) {
      return fail("nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    }
    frames_.push_back({array, 0, live, 0});
    return true;
  }
  bool close() {
    frames_.pop_back();
    return true;
  }
  bool fail(std::string why) {
    if (error.empty()) error = oneLine(std::move(why));
    return false;
  }

  std::array<const std::string*, kFields> paths_;
  std::array<std::vector<Step>, kFields> steps_;
  unsigned wanted_ = 0;  // fields with a path
  std::vector<Frame> frames_;
};

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes one name or value of a form; start is its offset in the body, for
// the error.
bool formDecode(std::string_view in, std::size_t start, std::string& out, std::string& error) {
  out.clear();
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '+') {
      out += ' ';
    } else if (in[i] != '%') {
      out += in[i];
    } else {
      const int high = i + 1 < in.size() ? hexDigit(in[i + 1]) : -1;
      const int low = i + 2 < in.size() ? hexDigit(in[i + 2]) : -1;
      if (high < 0 || low < 0) {
        error = "bad %-escape at byte " + std::to_string(start + i + 1) + " of the form";
        return false;
      }
      out += static_cast<char>(high * 16 + low);
      i += 2;
    }
  }
  return true;
}

// The text content of element: its text and CDATA nodes and those of the
// elements inside, in document order. Entity references are not followed
// (their children are the entity's own nodes, shared with the declaration).
std::string textContent(const xmlNode* element) {
  std::string text;
  const xmlNode* node = element->children;
  while (node) {
    if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
      if (node->content) text += reinterpret_cast<const char*>(node->content);
    }
    if (node->type == XML_ELEMENT_NODE && node->children) {
      node = node->children;
      continue;
    }
    while (node != element && !node->next) node = node->parent;
    if (node == element) break;
    node = node->next;
  }
  return text;
}

struct DocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct CtxtFree {
  void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); }
};

Parsed<Update> readJson(std::string_view body, const Keys& keys, std::string_view where) {
  JsonFields fields(keys);
  if (!fields.error.empty()) return Parsed<Update>::failure(fields.error);
  const bool parsed = nlohmann::json::sax_parse(body.begin(), body.end(), &fields,
                                                nlohmann::json::input_format_t::json, true);
  if (!parsed || !fields.error.empty()) {
    return Parsed<Update>::failure(fields.error.empty() ? "invalid JSON" : fields.error);
  }
  return collect(fields.found, keys, where);
}

Parsed<Update> readXml(std::string_view text, const Keys& keys, std::string_view where) {
  static const bool initialised = [] {
    xmlInitParser();
    return true;
  }();
  (void)initialised;
  if (text.size() > INT_MAX) return Parsed<Update>::failure("XML document too large");
  const std::unique_ptr<xmlParserCtxt, CtxtFree> ctxt(xmlNewParserCtxt());
  if (!ctxt) return Parsed<Update>::failure("out of memory for the XML parser");
  // No network, no DTD loading, no entity substitution (XML_PARSE_NOENT
  // would expand them), no messages on standard error. The encoding given
  // overrides a declared one: the text has been converted already.
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  const std::unique_ptr<xmlDoc, DocFree> doc(xmlCtxtReadMemory(
      ctxt.get(), text.data(), static_cast<int>(text.size()), nullptr, "UTF-8", options));
  if (!doc || !ctxt->wellFormed) {
    const xmlError* e = xmlCtxtGetLastError(ctxt.get());
    if (!e || !e->message) return Parsed<Update>::failure("invalid XML");
    return Parsed<Update>::failure(
        oneLine("invalid XML at line " + std::to_string(e->line) + ": " + e->message));
  }
  // Each path as its names, last first: the element's own, its parent's...
  const auto paths = pathsOf(keys);
  std::array<std::vector<std::string_view>, kFields> names;
  unsigned left = 0;  // fields with a path, not found yet
  for (int f = 0; f < kFields; ++f) {
    for (std::string_view path = *paths[f]; !path.empty();) {
      const std::size_t slash = path.rfind('/');
      names[f].push_back(slash == std::string_view::npos ? path : path.substr(slash + 1));
      path = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
    }
    if (!names[f].empty()) left |= 1u << f;
  }
  const auto endsPath = [](const xmlNode* node, const std::vector<std::string_view>& path) {
    for (const std::string_view name : path) {
      if (!node || node->type != XML_ELEMENT_NODE ||
          name != reinterpret_cast<const char*>(node->name)) {
        return false;
      }
      node = node->parent;
    }
    return true;
  };
  Fields found;
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  const xmlNode* node = left ? root : nullptr;
  while (node) {
    if (node->type == XML_ELEMENT_NODE) {
      for (int f = 0; f < kFields; ++f) {
        if ((left >> f & 1u) && endsPath(node, names[f])) {
          found[f] = {true, textContent(node), std::nullopt};
          left &= ~(1u << f);
        }
      }
      if (!left) break;
      if (node->children) {
        node = node->children;
        continue;
      }
    }
    while (node != root && !node->next) node = node->parent;
    if (node == root) break;
    node = node->next;
  }
  return collect(found, keys, where);
}

}  // namespace

std::optional<std::string> checkKeyPath(std::string_view path) {
  std::vector<Step> steps;
  return readPath(path, steps);
}

Parsed<Update> parseJson(std::string_view body, const Keys& keys) {
  return readJson(body, keys, "body");
}

Parsed<Update> parseForm(std::string_view body, const Keys& keys) {
  const auto paths = pathsOf(keys);
  Fields found;
  std::string name, value, error;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string_view::npos) end = body.size();
    const std::string_view field = body.substr(start, end - start);
    const std::size_t eq = field.find('=');
    const std::string_view rawName = field.substr(0, eq);
    const bool hasValue = eq != std::string_view::npos;
    if (!formDecode(rawName, start, name, error) ||
        !formDecode(hasValue ? field.substr(eq + 1) : "", hasValue ? start + eq + 1 : 0, value,
                    error)) {
      return Parsed<Update>::failure(error);
    }
    for (int f = 0; f < kFields && !field.empty(); ++f) {
      if (!paths[f]->empty() && name == *paths[f]) found[f] = {true, value, std::nullopt};
    }
    start = end + 1;
  }
  return collect(found, keys, "body");
}

Parsed<Update> parseLine(std::string_view text) {
  text = withoutBom(text);
  text = text.substr(0, text.find('\n'));
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  Update update;
  const std::size_t dash = text.find(" - ");
  if (dash == std::string_view::npos) {
    update.title = text;
  } else {
    update.artist = text.substr(0, dash);
    update.title = text.substr(dash + 3);
  }
  return Parsed<Update>::success(std::move(update));
}

Parsed<Update> parseXml(std::string_view text, const Keys& keys) {
  return readXml(text, keys, "body");
}

Parsed<FileFormat> parseFileFormat(std::string_view value) {
  const std::string v = lowerAscii(value);
  if (v.empty() || v == "line") return Parsed<FileFormat>::success(FileFormat::Line);
  if (v == "json") return Parsed<FileFormat>::success(FileFormat::Json);
  if (v == "xml") return Parsed<FileFormat>::success(FileFormat::Xml);
  return Parsed<FileFormat>::failure(
      oneLine("unknown file format \"" + std::string(value) + "\" (line, json or xml)"));
}

Parsed<FileEncoding> parseFileEncoding(std::string_view value) {
  const std::string v = lowerAscii(value);
  if (v.empty() || v == "utf-8") return Parsed<FileEncoding>::success(FileEncoding::Utf8);
  if (v == "latin1") return Parsed<FileEncoding>::success(FileEncoding::Latin1);
  if (v == "cp1252") return Parsed<FileEncoding>::success(FileEncoding::Cp1252);
  return Parsed<FileEncoding>::failure(
      oneLine("unknown file encoding \"" + std::string(value) + "\" (utf-8, latin1 or cp1252)"));
}

std::string_view formatName(FileFormat format) {
  switch (format) {
    case FileFormat::Line:
      return "line";
    case FileFormat::Json:
      return "json";
    case FileFormat::Xml:
      return "xml";
  }
  return "unknown";
}

std::string_view encodingName(FileEncoding encoding) {
  switch (encoding) {
    case FileEncoding::Utf8:
      return "utf-8";
    case FileEncoding::Latin1:
      return "latin1";
    case FileEncoding::Cp1252:
      return "cp1252";
  }
  return "unknown";
}

Parsed<std::string> toUtf8(std::string_view bytes, FileEncoding encoding) {
  if (encoding == FileEncoding::Utf8) return Parsed<std::string>::success(std::string(bytes));
  // ICU's canonical names (an alias such as "windows-1252" draws a warning).
  const char* from = encoding == FileEncoding::Latin1 ? "ISO-8859-1" : "ibm-5348_P100-1997";
  // Both are one byte a character, so the text can be converted in pieces
  // cut anywhere; each byte becomes at most three bytes of UTF-8.
  constexpr std::size_t kPiece = 65536;
  std::string out;
  std::string buf(kPiece * 3, '\0');
  for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
    const std::string_view piece = bytes.substr(at, kPiece);
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n = ucnv_convert("UTF-8", from, buf.data(), static_cast<int32_t>(buf.size()),
                                   piece.data(), static_cast<int32_t>(piece.size()), &status);
    if (U_FAILURE(status)) {
      return Parsed<std::string>::failure(std::string("cannot convert from ") +
                                          std::string(encodingName(encoding)) + ": " +
                                          u_errorName(status));
    }
    out.append(buf.data(), static_cast<std::size_t>(n));
  }
  return Parsed<std::string>::success(std::move(out));
}

Parsed<Update> parseFile(std::string_view bytes, FileFormat format, FileEncoding encoding,
                         const Keys& keys) {
  const Parsed<std::string> utf8 = toUtf8(bytes, encoding);
  if (!utf8.ok()) return Parsed<Update>::failure(utf8.error);
  const std::string_view text = withoutBom(*utf8.value);
  switch (format) {
    case FileFormat::Json:
      return readJson(text, keys, "file");
    case FileFormat::Xml:
      return readXml(text, keys, "file");
    case FileFormat::Line:
      break;
  }
  return parseLine(text);
}

}  // namespace varnok::nowplaying
