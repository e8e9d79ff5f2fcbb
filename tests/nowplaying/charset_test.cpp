// The RDS code table, and field text cleaned and converted to each charset.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>

#include "nowplaying/rds_charset.h"
#include "nowplaying/text.h"

namespace varnok::nowplaying {
namespace {

// The code table as the standard prints it: one column per high nibble,
// codes x0 to xF top to bottom. '□' marks a code without a character.
constexpr std::u32string_view kNone = U"□□□□□□□□□□□□□□□□";
constexpr std::u32string_view kColumns[16] = {
    kNone,
    kNone,
    U" !\"#¤%&'()*+,-./",
    U"0123456789:;<=>?",
    U"@ABCDEFGHIJKLMNO",
    U"PQRSTUVWXYZ[\\]―_",
    U"‖abcdefghijklmno",
    U"pqrstuvwxyz{|}¯□",
    U"áàéèíìóòúùÑÇŞß¡Ĳ",
    U"âäêëîïôöûüñçşğıĳ",
    U"ªα©‰Ğěňőπ€£$←↑→↓",
    U"º¹²³±İńűµ¿÷°¼½¾§",
    U"ÁÀÉÈÍÌÓÒÚÙŘČŠŽĐĿ",
    U"ÂÄÊËÎÏÔÖÛÜřčšžđŀ",
    U"ÃÅÆŒŷÝÕØÞŊŔĆŚŹŦð",
    U"ãåæœŵýõøþŋŕćśźŧ□",
};

TEST(RdsTable, EveryCodeAsPrintedAndNoOtherCharacter) {
  int assigned = 0;
  for (int code = 0; code < 256; ++code) {
    ASSERT_EQ(kColumns[code >> 4].size(), 16u) << "column " << (code >> 4);
    const char32_t printed = kColumns[code >> 4][code & 15];
    SCOPED_TRACE("code 0x" + std::to_string(code >> 4) + "/" + std::to_string(code & 15));
    if (printed == U'□') {
      EXPECT_FALSE(rdsCharacter(static_cast<std::uint8_t>(code)).has_value());
      continue;
    }
    ++assigned;
    EXPECT_EQ(rdsCharacter(static_cast<std::uint8_t>(code)), printed);
    EXPECT_EQ(rdsCode(printed), code);
  }
  // Only the printed characters have codes.
  int coded = 0;
  for (char32_t c = 0; c < 0x30000; ++c) coded += rdsCode(c).has_value();
  EXPECT_EQ(coded, assigned);
}

TEST(Charset, ReadFromSettingInAnyCase) {
  EXPECT_EQ(parseCharset("utf-8"), Charset::Utf8);
  EXPECT_EQ(parseCharset("UTF-8"), Charset::Utf8);
  EXPECT_EQ(parseCharset("Rds"), Charset::Rds);
  EXPECT_EQ(parseCharset("ASCII"), Charset::Ascii);
  for (const char* bad : {"latin1", "", "rds "}) {
    try {
      parseCharset(bad);
      ADD_FAILURE() << "accepted \"" << bad << "\"";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("\"" + std::string(bad) + "\""), std::string::npos);
    }
  }
}

struct Conversion {
  std::string raw;
  Charset charset;
  bool field;  // encodeField rather than encodeText
  std::string bytes;
  std::size_t characters;
};

TEST(Charset, CleansThenConvertsEachCharacter) {
  using std::string_literals::operator""s;
  const Conversion cases[] = {
      // Broken UTF-8 becomes U+FFFD, controls and NUL a space, then NFC.
      {"a\xFF"
       "b",
       Charset::Utf8, false,
       "a\xEF\xBF\xBD"
       "b",
       3},
      {"a\xC3", Charset::Utf8, false, "a\xEF\xBF\xBD", 2},
      {"\xED\xA0\x80", Charset::Utf8, false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", 3},
      {"a\0b"s, Charset::Utf8, false, "a b", 3},
      {"1\r\n2\t3\x7F"
       "4\xC2\x85"
       "5\x1B",
       Charset::Utf8, false, "1  2 3 4 5 ", 11},
      {"Zoe\xCC\x88", Charset::Utf8, false, "Zo\xC3\xAB", 3},
      {"A\nB\xFF", Charset::Rds, false, "A B ", 4},
      {" \t Title \xE2\x80\xA8", Charset::Utf8, true, "Title", 5},
      {"\xF0\x9F\x8E\xB5 Song \xF0\x9F\x8E\xB5", Charset::Ascii, true, "Song", 4},
      // RDS: the set's own codes first, then transliteration, then ASCII.
      {"Motörhead", Charset::Rds, false, "Mot\x97rhead", 9},
      {"$5 ¤", Charset::Rds, false,
       "\xAB"
       "5 $",
       4},
      {"Straße", Charset::Rds, false,
       "Stra\x8D"
       "e",
       6},
      {"Łódź", Charset::Rds, false,
       "L\x86"
       "d\xFD",
       4},
      {"Жанна", Charset::Rds, false,
       "\xCD"
       "anna",
       5},
      {"Καλημέρα", Charset::Rds, false,
       "Kalem\x82"
       "ra",
       8},
      {"Life of π, απ", Charset::Rds, false, "Life of \xA8, ap", 13},
      {"東京 a🎵b ~^`", Charset::Rds, false, "dong jing a b    ", 17},
      {"“Hi” – ok…", Charset::Rds, false, "\"Hi\" - ok...", 12},
      {"Ø Æ œ İ", Charset::Rds, false, "\xE7 \xE2 \xF3 \xB5", 7},
      // ASCII: transliterated, the rest a space.
      {"Straße Ø Æ Sigur Rós", Charset::Ascii, false, "Strasse O AE Sigur Ros", 22},
      {"Жанна 東京 🎵~", Charset::Ascii, false, "Zanna dong jing  ~", 18},
  };
  for (const Conversion& c : cases) {
    SCOPED_TRACE(c.raw);
    const EncodedText text = c.field ? encodeField(c.raw, c.charset) : encodeText(c.raw, c.charset);
    EXPECT_EQ(text.bytes(), c.bytes);
    EXPECT_EQ(text.size(), c.characters);
  }
}

}  // namespace
}  // namespace varnok::nowplaying
