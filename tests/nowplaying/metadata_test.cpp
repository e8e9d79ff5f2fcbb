#include "nowplaying/metadata.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
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
  const Keys custom{"performer", "song", "record", "", ""};
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
      // Nothing asked for is there: the paths are named; present but empty
      // (null, a field without "=", an empty element) is the idle update.
      {json(R"({"b":1})"), "!none of the fields performer, song, record is in the body"},
      {file(F::Json, "{}"), "!none of the fields artist, title, album is in the file"},
      {form(""), "!none of the fields performer, song, record is in the body"},
      {file(F::Xml, "<r><Artist/></r>"), "!none of the fields artist, title, album is in the file"},
      {json(R"({"song":null})"), "||"},
      {form("record"), "||"},
      {file(F::Xml, "<r><title/></r>"), "||"},
  };
  for (const Case& c : cases) {
    const Parsed<Update> p = c.parse();
    const std::string got =
        p.ok() ? p.value->artist + "|" + p.value->title + "|" + p.value->album : "!" + p.error;
    EXPECT_EQ(c.want[0] == '!' ? got.substr(0, c.want.size()) : got, c.want) << got;
    EXPECT_EQ(got.find('\xFF'), std::string::npos) << "an error echoes its input";
    EXPECT_EQ(p.unprocessable, got.rfind("!none of", 0) == 0) << got;
  }
}

// Paths into nested JSON, XML and forms as playout systems send them, with
// the category and the duration.
TEST(MetadataTest, PathsFindNestedFieldsCategoryAndDuration) {
  const Keys hook{"now_playing.song.artist", "now_playing.song.title", "now_playing.song.album",
                  "now_playing.playlist", "now_playing.duration"};
  const Keys feed{"padUpdate.now.artist", "padUpdate.now.title", "album", "padUpdate.now.groupName",
                  "padUpdate.now.length"};
  const Keys xml{"padUpdate/now/artist", "padUpdate/now/title", "album", "padUpdate/now/groupName",
                 "padUpdate/now/length"};
  const Keys items{"items[0].artist", "items[1][0]", "a.b[2]", "c", "d"};
  const Keys form{"a", "t", "album", "cat.x", "len"};
  const std::string big(65536, 'x');
  // 16 KiB of the same member, each 40 deep along the path: the last counts.
  std::string chain = "\"end\"";
  for (int i = 0; i < 40; ++i) chain = "{\"b\":[],\"a\":" + chain + "}";
  std::string wide = "{\"a\":{}";
  while (wide.size() < 16384) wide += ",\"a\":" + chain;
  wide += "}";
  Keys deep;
  deep.title = "a";
  for (int i = 0; i < 40; ++i) deep.title += ".a";
  Keys deeper = deep;
  for (int i = 0; i < 40; ++i) deeper.title += ".a";
  struct Case {
    Parsed<Update> (*parse)(std::string_view, const Keys&);
    Keys keys;
    std::string body;
    std::string want;  // "artist|title|album|category|seconds", or "!" and the error's start
  };
  const std::vector<Case> cases = {
      {parseJson, hook,
       R"({"now_playing":{"song":{"artist":"A","title":"T","album":"L"},"duration":215,)"
       R"("playlist":"x"}})",
       "A|T|L|x|215"},
      {parseJson, hook, R"({"now_playing":{"song":{"title":7},"song":{"artist":"B"}}})", "B||||-"},
      {parseJson, hook, R"({"now_playing":{"song":"A","playlist":3,"duration":"3:35.5"}})",
       "|||3|215.5"},
      {parseJson, hook, R"({"now_playing":{"song":{"title":false}}})",
       "!\"now_playing.song.title\" is neither text nor a number"},
      {parseJson, hook, R"({"now_playing":{"song":{"artist":["A"]}}})",
       "!\"now_playing.song.artist\" is neither text nor a number"},
      {parseJson, hook, R"({"now_playing":[{"song":{"artist":"A"}}],"song":{"artist":"A"}})",
       "!none of the fields now_playing.song.artist, now_playing.song.title, "
       "now_playing.song.album, now_playing.playlist, now_playing.duration is in the body"},
      {parseJson, feed, R"({"padUpdate":{"now":{"artist":"A","title":"T","groupName":"Jingles"}}})",
       "A|T||Jingles|-"},
      {parseJson, feed, R"({"padUpdate":{"now":{"title":"","length":"1:02:03"}}})", "||||3723"},
      {parseJson, feed, R"({"padUpdate":{"now":{"title":"T","length":true}}})", "|T|||-"},
      {parseJson, feed, R"({"padUpdate":{"now":{"title":"T","length":-1}}})", "|T|||-"},
      {parseXml, xml,
       "<padUpdate><now><artist>A</artist><title>T</title><groupName>Jingles</groupName>"
       "<length>215</length></now></padUpdate>",
       "A|T||Jingles|215"},
      {parseXml, xml,
       "<x><now><artist>No</artist></now><padUpdate><now><title>T</title>"
       "<length>3:75</length></now><artist>No</artist></padUpdate><album>L</album></x>",
       "|T|L||-"},
      {parseJson, items, R"({"items":[{"artist":"A"},["T"]],"a":{"b":[0,1,2.50]},"d":12.5})",
       "A|T|2.50||12.5"},
      {parseJson, items, R"({"items":[["A"],[]],"a":{"b":"xyz"},"c":{"0":1},"d":"1e3"})",
       "!\"c\" is neither text nor a number"},
      {parseJson, items, R"({"items":{"0":{"artist":"A"}},"a":{"b":[0,1]},"d":"1e3"})", "||||-"},
      {parseForm, form, "a=A&t=T&cat.x=News&len=+215.5+", "A|T||News|215.5"},
      {parseForm, form, "t=T&len=3:5", "|T|||-"},
      {parseJson, {"a", "[0]", "album", "", ""}, "{}", "!key \"[0]\" is not a path: empty name"},
      {parseJson, {}, R"({"title":")" + big + R"("})", "|" + big + "|||-"},
      {parseXml, {}, "<r><title>" + big + "</title></r>", "|" + big + "|||-"},
      {parseForm, {}, "title=" + big, "|" + big + "|||-"},
      {parseJson, deep, wide, "|end|||-"},
      {parseJson, deeper, nested("{\"a\":", "}", 100), "!nested deeper than 64 levels"},
  };
  for (const Case& c : cases) {
    const Parsed<Update> p = c.parse(c.body, c.keys);
    std::string got = "!" + p.error;
    if (p.ok()) {
      const Update& u = *p.value;
      std::ostringstream seconds;
      if (u.durationSeconds) seconds << *u.durationSeconds;
      got = u.artist + "|" + u.title + "|" + u.album + "|" + u.category + "|" +
            (u.durationSeconds ? seconds.str() : "-");
    }
    EXPECT_EQ(c.want[0] == '!' ? got.substr(0, c.want.size()) : got, c.want)
        << c.body.substr(0, 100);
    EXPECT_EQ(p.unprocessable, c.want.rfind("!none of", 0) == 0) << c.body.substr(0, 100);
  }
  // Paths configuration refuses at start-up, and ones it takes.
  const std::vector<std::pair<std::string, std::string>> paths = {
      {"a..b", "empty name at character 3"},
      {"a.", "empty name at character 3"},
      {"a[", "\"[\" at character 2 is not closed"},
      {"a[x]", "index at character 3 is not a number"},
      {"a[1]b", "\"b\" at character 5 out of place"},
      {"a]", "\"]\" at character 2 out of place"},
      {"", "empty"},
      {"a.b[2][1]", ""},
      {"a[99999999999999999999999]", ""},
  };
  for (const auto& [path, why] : paths) EXPECT_EQ(checkKeyPath(path).value_or(""), why) << path;
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
