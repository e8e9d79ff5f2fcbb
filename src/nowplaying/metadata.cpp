#include "nowplaying/metadata.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <unicode/ucnv.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>

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

// The field of update that a name (key, form field, element) stands for.
std::string* fieldFor(Update& update, const Keys& keys, std::string_view name) {
  if (name == keys.artist) return &update.artist;
  if (name == keys.title) return &update.title;
  if (name == keys.album) return &update.album;
  return nullptr;
}

// JSON is read through nlohmann's SAX interface: no document is built, only
// the three members are kept, and the depth is counted as the parser goes,
// so that a document nested a million deep ends with an error after the
// first levels instead of overflowing a stack.
class JsonFields {
 public:
  using json = nlohmann::json;

  explicit JsonFields(const Keys& keys) : keys_(keys) {}

  Update update;
  std::string error;

  bool null() { return scalar(""); }
  bool boolean(bool) { return scalar(std::nullopt); }
  bool number_integer(json::number_integer_t v) { return scalar(std::to_string(v)); }
  bool number_unsigned(json::number_unsigned_t v) { return scalar(std::to_string(v)); }
  bool number_float(json::number_float_t, const json::string_t& text) { return scalar(text); }
  bool string(json::string_t& v) { return scalar(std::move(v)); }
  bool binary(json::binary_t&) { return scalar(std::nullopt); }  // not in JSON text
  bool start_object(std::size_t) { return open(); }
  bool start_array(std::size_t) { return depth_ == 0 ? fail("not a JSON object") : open(); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool key(json::string_t& name) {
    if (depth_ == 1) {
      target_ = fieldFor(update, keys_, name);
      name_ = name;
    }
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
  // A value directly under a wanted name; nullopt: one that is not text.
  bool scalar(std::optional<std::string> text) {
    if (depth_ == 0) return fail("not a JSON object");
    if (depth_ != 1 || !target_) return true;
    if (!text) return fail("\"" + name_ + "\" is neither text nor a number");
    *target_ = std::move(*text);
    return true;
  }
  bool open() {
    if (depth_ == 1 && target_) return scalar(std::nullopt);
    if (++depth_ > kMaxJsonDepth) {
      return fail("nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    }
    return true;
  }
  bool close() {
    --depth_;
    target_ = nullptr;
    return true;
  }
  bool fail(std::string why) {
    if (error.empty()) error = oneLine(std::move(why));
    return false;
  }

  const Keys& keys_;
  int depth_ = 0;
  std::string* target_ = nullptr;
  std::string name_;
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

}  // namespace

Parsed<Update> parseJson(std::string_view body, const Keys& keys) {
  JsonFields fields(keys);
  const bool parsed = nlohmann::json::sax_parse(body.begin(), body.end(), &fields,
                                                nlohmann::json::input_format_t::json, true);
  if (!parsed || !fields.error.empty()) {
    return Parsed<Update>::failure(fields.error.empty() ? "invalid JSON" : fields.error);
  }
  return Parsed<Update>::success(std::move(fields.update));
}

Parsed<Update> parseForm(std::string_view body, const Keys& keys) {
  Update update;
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
    if (std::string* target = field.empty() ? nullptr : fieldFor(update, keys, name)) {
      *target = value;
    }
    start = end + 1;
  }
  return Parsed<Update>::success(std::move(update));
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
  Update update;
  bool found[3] = {false, false, false};
  std::string* fields[3] = {&update.artist, &update.title, &update.album};
  const std::string* names[3] = {&keys.artist, &keys.title, &keys.album};
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  const xmlNode* node = root;
  while (node) {
    if (node->type == XML_ELEMENT_NODE) {
      const std::string_view name = reinterpret_cast<const char*>(node->name);
      for (int i = 0; i < 3; ++i) {
        if (!found[i] && name == *names[i]) {
          *fields[i] = textContent(node);
          found[i] = true;
        }
      }
      if (found[0] && found[1] && found[2]) break;
      if (node->children) {
        node = node->children;
        continue;
      }
    }
    while (node != root && !node->next) node = node->parent;
    if (node == root) break;
    node = node->next;
  }
  return Parsed<Update>::success(std::move(update));
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
      return parseJson(text, keys);
    case FileFormat::Xml:
      return parseXml(text, keys);
    case FileFormat::Line:
      break;
  }
  return parseLine(text);
}

}  // namespace varnok::nowplaying
