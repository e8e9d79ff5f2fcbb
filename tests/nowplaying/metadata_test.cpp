#include "nowplaying/metadata.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace varnok::nowplaying {
namespace {

std::string nested(const std::string& open, const std::string& close, int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  for (int i = 0; i < depth; ++i) text += close;
  return text;
}

TEST(MetadataTest, BodiesAndFilesGiveTheFieldsOrAnError) {
  const Keys custom{"performer", "song", "record"};
  using F = FileFormat;
  using E = FileEncoding;
  const auto file = [](F f, std::string bytes, E e = E::Utf8) {
    return [=] { return parseFile(bytes, f, e); };
  };
  const auto json = [&](std::string body) { return [=] { return parseJson(body, custom); }; };
  const auto form = [&](std::string body) { return [=] { return parseForm(body, custom); }; };
  struct Case {
    std::function<Parsed<Update>()> parse;
    std::string want;  // "artist|title|album", or "!" and the start of the error
  };
  const std::vector<Case> cases = {
      {file(F::Line, "AC - DC - Live\r\nnext"), "AC|DC - Live|"},
      {file(F::Line, "\xEF\xBB\xBFJingle\r\n"), "|Jingle|"},
      {file(F::Line, "Beyonc\xE9 - Halo", E::Latin1), "Beyonc\u00E9|Halo|"},
      {file(F::Line, "\x80 \x8A\x8E - \x93Hi\x94", E::Cp1252),
       "\u20AC \u0160\u017D|\u201CHi\u201D|"},
      {json(R"({"performer":"P","song":1999,"record":null,"artist":"x","b":[{}]})"), "P|1999|"},
      {json("[1]"), "!not a JSON object"},
      {json(R"({"song":true})"), "!\"song\" is neither text nor a number"},
      {json("{\"song\":\"\xFF\"}"), "!invalid JSON at line 1, column 10"},
      {json(R"({"song":1e999})"), "!invalid JSON number overflow"},
      {json(nested("{\"a\":", "}", 10000)), "!nested deeper than 64 levels"},
      {json("{\"b\":" + nested("[", "]", 1000000) + "}"), "!nested deeper than 64 levels"},
      {file(F::Xml,
            "<np><s><artist>A &amp; B</artist><title><![CDATA[<T>]]></title></s>"
            "<artist>Later</artist></np>"),
       "A & B|<T>|"},
      {file(F::Xml, "<?xml version='1.0' encoding='ISO-8859-1'?><r><album>\xE9</album></r>",
            E::Latin1),
       "||\u00E9"},
      {file(F::Xml,
            "<!DOCTYPE r [<!ENTITY x SYSTEM 'file:///etc/hostname'>]><r><title>t&x;"
            "</title></r>"),
       "|t|"},
      {file(F::Xml, "<r><title>x</artist></r>"), "!invalid XML at line 1: Opening and ending"},
      {form("record=Old&performer=AC%2fDC&song=Back+in+Black&record&&x=%41"),
       "AC/DC|Back in Black|"},
      {form("song=ok&record=%4"), "!bad %-escape at byte 16 of the form"},
  };
  for (const Case& c : cases) {
    const Parsed<Update> p = c.parse();
    const std::string got =
        p.ok() ? p.value->artist + "|" + p.value->title + "|" + p.value->album : "!" + p.error;
    EXPECT_EQ(c.want[0] == '!' ? got.substr(0, c.want.size()) : got, c.want) << got;
    EXPECT_EQ(got.find('\xFF'), std::string::npos) << "an error echoes its input";
  }
}

TEST(MetadataTest, IniValuesIgnoreCaseAndNameTheChoicesWhenUnknown) {
  EXPECT_EQ(parseFileFormat("JSON").value, FileFormat::Json);
  EXPECT_EQ(parseFileFormat("").value, FileFormat::Line);
  EXPECT_EQ(parseFileFormat("csv").error, "unknown file format \"csv\" (line, json or xml)");
  EXPECT_EQ(parseFileEncoding("CP1252").value, FileEncoding::Cp1252);
  EXPECT_EQ(parseFileEncoding("utf16").error,
            "unknown file encoding \"utf16\" (utf-8, latin1 or cp1252)");
}

}  // namespace
}  // namespace varnok::nowplaying
