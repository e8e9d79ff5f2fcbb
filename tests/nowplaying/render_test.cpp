// One update rendered for one encoder: the radio text (templates, the
// 64-character cut), its RT+ tags, the commands, and template errors.
#include "nowplaying/render.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace varnok::nowplaying {
namespace {

const std::string kLorem =
    "Lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor";

std::string repeat(const std::string& unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

struct RadioTextCase {
  Update update;
  Charset charset;
  std::string radioText;  // the template
  std::string idleText;
  Rendering::Kind kind;
  std::string expected;
  std::string rtPlus;
};

TEST(Render, RadioTextAndRtPlus) {
  using K = Rendering::Kind;
  const auto U8 = Charset::Utf8;
  const std::string def(RadioTextTemplate::kDefaultRadioText);
  const RadioTextCase cases[] = {
      {{"Artist", "Title", ""}, U8, def, "", K::Playing, "Artist - Title", "4,0,5,1,9,4"},
      {{"", "Title", ""}, U8, def, "", K::Playing, "Title", "1,0,4,0,0,0"},
      // No separator left dangling, also after a filled inner group.
      {{"Artist", "", ""}, U8, def, "", K::Playing, "Artist", "4,0,5,0,0,0"},
      {{"ABBA", "", "Gold"},
       U8,
       "[%ARTIST%[ (%ALBUM%)] - ]%TITLE%",
       "",
       K::Playing,
       "ABBA (Gold)",
       "4,0,3,0,0,0"},
      {{"Abc", "Xyz", ""}, U8, def, "", K::Playing, "Abc - Xyz", "4,0,2,1,6,2"},
      {{"ABBA", "SOS", "Gold"},
       U8,
       "[%ARTIST%[ (%ALBUM%)] - ]%TITLE%",
       "",
       K::Playing,
       "ABBA (Gold) - SOS",
       "4,0,3,1,14,2"},
      {{"ABBA", "SOS", ""},
       U8,
       "[%ARTIST%[ (%ALBUM%)] - ]%TITLE%",
       "",
       K::Playing,
       "ABBA - SOS",
       "4,0,3,1,7,2"},
      {{"", "Hits", ""}, U8, "100%% %title%", "", K::Playing, "100% Hits", "1,5,3,0,0,0"},
      // The title found where it was put, not inside the artist.
      {{"Abba Gold", "Gold", ""}, U8, def, "", K::Playing, "Abba Gold - Gold", "4,0,8,1,12,3"},
      // Characters, not bytes; the longer field in tag 1.
      {{"Motörhead", "Ace of Spades", ""},
       U8,
       def,
       "",
       K::Playing,
       "Motörhead - Ace of Spades",
       "1,12,12,4,0,8"},
      {{"Motörhead", "Ace of Spades", ""},
       Charset::Rds,
       def,
       "",
       K::Playing,
       "Mot\x97rhead - Ace of Spades",
       "1,12,12,4,0,8"},
      {{"Straßenjungs", "Ja", ""},
       Charset::Ascii,
       def,
       "",
       K::Playing,
       "Strassenjungs - Ja",
       "4,0,12,1,16,1"},
      // Cut at the last space at or before 64; a field cut even partly is
      // not tagged.
      {{"Artist", kLorem, ""},
       U8,
       def,
       "",
       K::Playing,
       "Artist - Lorem ipsum dolor sit amet consectetur adipiscing elit",
       "4,0,5,0,0,0"},
      {{kLorem, "Song", ""},
       U8,
       "%TITLE% / %ARTIST%",
       "",
       K::Playing,
       "Song / Lorem ipsum dolor sit amet consectetur adipiscing elit",
       "1,0,3,0,0,0"},
      {{"", std::string(60, 'x') + " abc more", ""},
       U8,
       def,
       "",
       K::Playing,
       std::string(60, 'x') + " abc",
       "0,0,0,0,0,0"},
      {{"", std::string(70, 'x'), ""},
       U8,
       def,
       "",
       K::Playing,
       std::string(64, 'x'),
       "0,0,0,0,0,0"},
      {{"", repeat("é", 70), ""}, U8, def, "", K::Playing, repeat("é", 64), "0,0,0,0,0,0"},
      {{"", repeat("ß", 40), ""},
       Charset::Ascii,
       def,
       "",
       K::Playing,
       repeat("ss", 32),
       "0,0,0,0,0,0"},
      // Neither artist nor title (in the encoder's charset): the idle text.
      {{"", " \t", "Gold"},
       U8,
       def,
       "Station FM[ - %ALBUM%]",
       K::Idle,
       "Station FM - Gold",
       "0,0,0,0,0,0"},
      {{"", "\xF0\x9F\x8E\xB5", ""},
       Charset::Ascii,
       def,
       "Station FM",
       K::Idle,
       "Station FM",
       "0,0,0,0,0,0"},
      {{"", "", "Gold"}, U8, def, "", K::Nothing, "", "0,0,0,0,0,0"},
  };
  const std::vector<CommandTemplate> commands = {CommandTemplate("%RT%")};
  for (const RadioTextCase& c : cases) {
    SCOPED_TRACE(c.radioText + " | " + c.update.artist + " | " + c.update.title);
    const Rendering r = render(c.update, RadioTextTemplate(c.radioText),
                               RadioTextTemplate(c.idleText), c.charset, commands);
    EXPECT_EQ(r.kind, c.kind);
    EXPECT_EQ(r.radioText.bytes(), c.expected);
    EXPECT_LE(r.radioText.size(), kRadioTextLimit);
    EXPECT_EQ(r.rtPlus, c.rtPlus);
    EXPECT_EQ(r.commands, c.kind == K::Nothing ? std::vector<std::string>{}
                                               : std::vector<std::string>{c.expected});
  }
}

TEST(Render, CommandsInOrderWithEscapesAndWholeFields) {
  const std::vector<CommandTemplate> commands = {
      CommandTemplate("RT=%RT%"),
      CommandTemplate("RTP=%RTPLUS%\\r\\n"),
      CommandTemplate("A=%artist%\\tT=%TITLE%\\\\%ALBUM%"),
      CommandTemplate("\\x41%%\\x0d"),
      CommandTemplate("ö %TITLE%"),  // the template's own bytes are not converted
  };
  const Update update{"Motörhead", "Ace of Spades " + kLorem, "Ace"};
  const std::string title = "Ace of Spades " + kLorem;
  const Rendering r =
      render(update, RadioTextTemplate(), RadioTextTemplate(), Charset::Rds, commands);
  const std::vector<std::string> expected = {
      "RT=Mot\x97rhead - Ace of Spades Lorem ipsum dolor sit amet consectetur",
      "RTP=4,0,8,0,0,0\r\n",
      "A=Mot\x97rhead\tT=" + title + "\\Ace",
      "A%\r",
      "\xC3\xB6 " + title,
  };
  EXPECT_EQ(r.commands, expected);
}

TEST(Render, TemplateErrorsSayWhatAndWhere) {
  struct Bad {
    bool command;
    std::string text;
    std::string says;
    std::size_t position;
  };
  const Bad cases[] = {
      {false, "%ARTIST% - %SONG%", "unknown field %SONG%", 12},
      {false, "%TITLE", "without a closing \"%\"", 1},
      {false, "x [%ARTIST% - %TITLE%", "\"[\" without a closing", 3},
      {false, "%TITLE%]", "\"]\" without an opening", 8},
      {false, "[[[[[[[[[x]]]]]]]]]", "nested deeper than 8", 9},
      {true, "", "empty command template", 1},
      {true, "RT=%RT", "without a closing \"%\"", 4},
      {true, "%RTPLUS%%FOO%", "unknown placeholder %FOO%", 9},
      {true, "a\\q", "unknown escape \"\\q\"", 2},
      {true, "\\x4", "two hexadecimal digits", 1},
      {true, "abc\\", "at the end", 4},
  };
  for (const Bad& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      if (c.command) {
        CommandTemplate{c.text};
      } else {
        RadioTextTemplate{c.text};
      }
      ADD_FAILURE() << "accepted";
    } catch (const TemplateError& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
      EXPECT_EQ(e.position(), c.position);
    }
  }
}

TEST(Render, MegabyteFieldInEveryCharset) {
  // One run with nothing the RDS set or ASCII has a code for: transliterated
  // in pieces.
  const std::string unit = "Жана東京ł";  // 7 units: pieces end at every offset
  const std::string title = repeat(unit, (1u << 20) / unit.size() + 1);
  const std::vector<CommandTemplate> commands = {CommandTemplate("%TITLE%")};
  for (const Charset charset : {Charset::Utf8, Charset::Rds, Charset::Ascii}) {
    SCOPED_TRACE(std::string(charsetName(charset)));
    const auto start = std::chrono::steady_clock::now();
    const Rendering r =
        render({"", title, ""}, RadioTextTemplate(), RadioTextTemplate(), charset, commands);
    // Linear work takes well under a second here; quadratic, many minutes.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    // Nothing lost or changed where the text was split for transliteration.
    const std::string whole =
        repeat(encodeText(unit, charset).bytes(), (1u << 20) / unit.size() + 1);
    ASSERT_EQ(r.commands.size(), 1u);
    EXPECT_TRUE(r.commands[0] == whole);
    EXPECT_LE(r.radioText.size(), kRadioTextLimit);
    EXPECT_EQ(whole.compare(0, r.radioText.bytes().size(), r.radioText.bytes()), 0);
  }
}

TEST(Render, LogLineInAscii) {
  EXPECT_EQ(logText({"Motörhead", "Ace of Spades", "x"}), "Motorhead - Ace of Spades");
  EXPECT_EQ(logText({"Sigur Rós", "Ágætis byrjun\r\n", ""}), "Sigur Ros - Agaetis byrjun");
  EXPECT_EQ(logText({"", "Title", ""}), "Title");
  EXPECT_EQ(logText({"Artist", " ", ""}), "Artist");
  EXPECT_EQ(logText({"", "", "Album"}), "");
}

}  // namespace
}  // namespace varnok::nowplaying
