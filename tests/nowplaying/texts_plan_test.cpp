// The rotating texts file: which list is on air when, and the one error
// that refuses a faulty file.
#include "nowplaying/texts_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace varnok::nowplaying {
namespace {

const std::vector<std::string> kEncoders = {"Studio A", "Studio B", "Tower"};

TEST(TextsPlan, ListOnAir) {
  const std::string file =
      "\xEF\xBB\xBF; rotating texts\r\n"
      "  # all week\r\n"
      "[list Daytime]   ; 06:00-18:00\r\n"
      "from = 6:00\n"
      "to = 18:00\n"
      "text = Varnok Radio\n"
      "TEXT = [Now: %TITLE%]\n"
      "[LIST  Morning ]\n"
      "Days = MON-fri\n"
      "from=06:00\n"
      "to = 10:00\n"
      "encoders = studio a, STUDIO B, Studio A\n"
      "dwell = 20\n"
      "text = Morning Show with Anna\n"
      "[list Late]\n"
      "days = sat\n"
      "from = 22:00\n"
      "to = 02:00\n"
      "text = Late\n"
      "[list Evening]\n"
      "days = sat\n"
      "from = 20:00\n"
      "to = 00:00\n"
      "text = Evening\n"
      "[list Weekend]\n"
      "days = sat-mon\n"
      "target = ps\n"
      "dwell = 4\n"
      "text = %ARTIST%\n"
      "text = \xC5\x94\xC3\xA1"
      "dio 8!\n";  // 8 characters in 10 bytes
  const auto parsed = parseTextsPlan(file, kEncoders);
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  const auto& lists = parsed.value->lists;
  ASSERT_EQ(lists.size(), 5u);
  EXPECT_EQ(lists[0].days, 0x7F);
  EXPECT_EQ(lists[0].dwellSeconds, 15);
  EXPECT_EQ(lists[0].texts.size(), 2u);
  EXPECT_EQ(lists[1].line, 8);
  EXPECT_EQ(lists[1].days, 0x1F);
  EXPECT_EQ(lists[1].encoders, (std::vector<std::string>{"Studio A", "Studio B"}));
  EXPECT_EQ(lists[4].days, 0x61);

  const auto Rt = TextTarget::Rt;
  const auto Ps = TextTarget::Ps;
  struct Case {
    const char* encoder;
    TextTarget target;
    int weekday;
    int minute;
    const char* expected;  // "" for none
  } cases[] = {
      {"STUDIO A", Rt, 0, 7 * 60, "Morning"},  // the narrower of two
      {"Tower", Rt, 0, 7 * 60, "Daytime"},
      {"studio b", Rt, 5, 7 * 60, "Daytime"},
      {"Tower", Rt, 0, 6 * 60 - 1, ""},
      {"Tower", Rt, 0, 18 * 60, ""},
      {"Tower", Rt, 5, 21 * 60, "Evening"},
      {"Tower", Rt, 5, 23 * 60, "Late"},  // a tie: the first in the file
      {"Tower", Rt, 6, 1 * 60, "Late"},   // after midnight of Saturday's window
      {"Tower", Rt, 5, 1 * 60, ""},
      {"Tower", Rt, 6, 2 * 60, ""},
      {"Tower", Ps, 0, 12 * 60, "Weekend"},
      {"Tower", Ps, 1, 12 * 60, ""},
  };
  for (const Case& c : cases) {
    const TextList* list = parsed.value->active(c.encoder, c.target, c.weekday, c.minute);
    EXPECT_EQ(list ? list->name : "", c.expected)
        << c.encoder << " " << c.weekday << " " << c.minute;
  }
  EXPECT_TRUE(parseTextsPlan(std::string(kMaxTextsFileBytes, ';'), kEncoders).ok());
}

std::string templateError(const std::string& text) {
  try {
    RadioTextTemplate{text};
  } catch (const TemplateError& e) {
    return e.what();
  }
  return "no error";
}

TEST(TextsPlan, Refusals) {
  const std::string list = "[list L]\n";
  const struct {
    std::string file;
    std::string error;
  } cases[] = {
      {list + "text = a\ndwell = 0\n", "line 3: dwell 0 (at least 1 second)"},
      {list + "dwell = 3\ntarget = PS\ntext = a\n",
       "line 2: dwell 3 (a PS needs at least 4 seconds)"},
      {list + "encoders = Studio A, Studio Z\n", "line 2: unknown encoder Studio Z"},
      {list + "days = mon-funday\n", "line 2: days \"mon-funday\" (mon..sun, ranges, daily)"},
      {list + "to = 24:01\n", "line 2: to \"24:01\" (H:MM or HH:MM, 00:00..24:00)"},
      {list + "from = 7:60\n", "line 2: from \"7:60\" (H:MM or HH:MM, 00:00..23:59)"},
      {list + "from = 24:00\n", "line 2: from \"24:00\" (H:MM or HH:MM, 00:00..23:59)"},
      {list + "text = caf\xC3\n", "line 2: invalid UTF-8"},
      {list + "; \xED\xA0\x80\n", "line 2: invalid UTF-8"},  // a surrogate, even in a comment
      {list + "colour = red\n", "line 2: unknown key colour"},
      {list + "from = 1:00\nFROM = 2:00\n", "line 3: list L already has FROM"},
      {list + "text = [Now: %TITLE%\n", "line 2: text: " + templateError("[Now: %TITLE%")},
      {list + "days = daily\n[list M]\ntext = a\n", "line 1: list L has no text"},
      {std::string(kMaxTextsFileBytes + 1, ';'), "the file is larger than 1 MiB"},
      {list + "target = ps\ntext = Varnok FM\n",
       "line 3: text \"Varnok FM\" has 9 characters (a PS takes 8)"},
      {"days = mon\n" + list, "line 1: days before the first [list NAME]"},
      {"[list  ]\n", "line 1: list without a name"},
      {list + "text = a\n[list l]\n", "line 3: a second list named l"},
      {list + "dwell = 2s\n", "line 2: dwell \"2s\" (whole seconds)"},
  };
  for (const auto& c : cases) {
    const auto parsed = parseTextsPlan(c.file, kEncoders);
    EXPECT_FALSE(parsed.ok()) << c.error;
    EXPECT_EQ(parsed.error, c.error);
  }
}

}  // namespace
}  // namespace varnok::nowplaying
