// The dispatcher's log under the real window: it keeps about 50 lines as the
// window displays them, so a line that wraps takes the room of several.
#include <gtest/gtest.h>

#include <QAbstractTextDocumentLayout>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextLayout>
#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "desktop/main_window.h"
#include "dispatcher/dispatcher_fixture.h"

namespace varnok::testing {
namespace {

class LogTrimmingTest : public DispatcherTest {
 protected:
  void SetUp() override {
    create("[Inputs]\nSocket=0\n");
    window = std::make_unique<MainWindow>(dispatcher->statusTable(), dispatcher->logView(),
                                          WindowActions{}, [] { return true; });
  }

  // Lines that one block of the log takes on screen, as Qt lays it out.
  int displayedLines(const QTextBlock& block) const {
    window->logView()->document()->documentLayout()->blockBoundingRect(block);
    return block.layout()->lineCount();
  }
  int displayedLines() const {
    int lines = 0;
    const QTextDocument* doc = window->logView()->document();
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) lines += displayedLines(b);
    return lines;
  }
  int lastLineDisplayedLines() const {
    return displayedLines(window->logView()->document()->lastBlock());
  }
  int viewBlocks() const { return window->logView()->document()->blockCount(); }

  std::unique_ptr<MainWindow> window;
};

std::string words(int count) {
  std::string text = "RT1=";
  for (int i = 0; i < count; ++i) text += "word" + std::to_string(i % 10) + ' ';
  return text;
}

// Starts before the window shows, as the program's start-up lines do: the
// window must wrap (and count) at its real width from the start.
TEST_F(LogTrimmingTest, AWrappedLineTakesTheRoomOfItsDisplayedLines) {
  // Short lines: the last 51 stay, one displayed line each.
  for (int i = 0; i < 60; ++i) dispatcher->log("short " + std::to_string(i));
  EXPECT_EQ(dispatcher->logView().lines().size(), 51u);
  EXPECT_EQ(logTexts().front(), "short 9");
  EXPECT_EQ(displayedLines(), 51);

  dispatcher->log(words(40));
  const int wrapped = lastLineDisplayedLines();
  ASSERT_GE(wrapped, 3);
  ASSERT_LE(wrapped, 6);  // stays in the log below
  for (int i = 0; i < 45; ++i) dispatcher->log("after " + std::to_string(i));

  // Trimmed to 50 displayed lines before the last line came: the long line
  // holds the room of `wrapped` short ones.
  const int longLine = 6 - wrapped;  // short lines left above it
  EXPECT_EQ(dispatcher->logView().lines().size(), static_cast<std::size_t>(52 - wrapped));
  EXPECT_EQ(logTexts()[static_cast<std::size_t>(longLine)], words(40));
  EXPECT_EQ(viewBlocks(), static_cast<int>(dispatcher->logView().lines().size()));
  EXPECT_EQ(displayedLines(), 51);

  // Shown and painted, the log wraps just as it was counted.
  window->show();
  window->grab();
  EXPECT_EQ(displayedLines(window->logView()->document()->findBlockByNumber(longLine)), wrapped);
  EXPECT_EQ(displayedLines(), 51);
}

TEST_F(LogTrimmingTest, ALineTallerThanTheLogKeepsItsLastDisplayedLinesWithTheNextLine) {
  window->show();
  dispatcher->log("before");
  dispatcher->log(words(1000));
  ASSERT_GT(lastLineDisplayedLines(), 50);
  EXPECT_TRUE(logTexts().back() == words(1000));  // shown whole until the next line

  dispatcher->log("next");
  ASSERT_EQ(dispatcher->logView().lines().size(), 2u);
  EXPECT_TRUE(words(1000).ends_with(dispatcher->logView().lines().front()));
  EXPECT_EQ(logTexts().back(), "next");
  EXPECT_EQ(viewBlocks(), 2);
  EXPECT_EQ(displayedLines(), 51);
}

// A wrapped line at the top goes one displayed line at a time, as in a text
// box whose first line is deleted: the log keeps exactly 50 displayed lines
// before each new one, and the line keeps its text from one of its displayed
// lines on.
struct TopLineCase {
  const char* name;
  std::string entry;
  bool shown;
  // What is left of the entry with its first 1, 2, ... displayed lines cut;
  // by default, the logged line from where that displayed line began.
  std::vector<std::string> tails;
};

void PrintTo(const TopLineCase& c, std::ostream* out) {
  *out << c.name;
}

class TopLineTrimmingTest : public LogTrimmingTest,
                            public ::testing::WithParamInterface<TopLineCase> {};

TEST_P(TopLineTrimmingTest, LosesOneDisplayedLineAtATime) {
  const TopLineCase& c = GetParam();
  if (c.shown) window->show();
  dispatcher->log(c.entry);
  const std::string logged = dispatcher->logView().lines().back();
  const QTextBlock block = window->logView()->document()->lastBlock();
  const int entryLines = displayedLines(block);
  ASSERT_GE(entryLines, 3);
  std::vector<int> starts;
  for (int i = 0; i < entryLines; ++i) starts.push_back(block.layout()->lineAt(i).textStart());
  const QString loggedShown = block.text();

  int shown = displayedLines();
  int cuts = 0;
  for (int i = 0; i < 60; ++i) {
    dispatcher->log("short " + std::to_string(i));
    shown = std::min(shown, 50) + 1;
    ASSERT_EQ(displayedLines(), shown) << "after short " << i;
    ASSERT_EQ(viewBlocks(), static_cast<int>(dispatcher->logView().lines().size()));
    const std::string& top = dispatcher->logView().lines().front();
    if (top.size() >= logged.size() || !logged.ends_with(top)) continue;

    ++cuts;
    const QTextBlock first = window->logView()->document()->begin();
    const int cut = entryLines - displayedLines(first);
    ASSERT_GE(cut, 1);
    ASSERT_LT(cut, entryLines);
    const auto index = static_cast<std::size_t>(cut);
    EXPECT_EQ(top, index <= c.tails.size()
                       ? c.tails[index - 1]
                       : logged.substr(static_cast<std::size_t>(starts[index])));
    EXPECT_EQ(first.text(), loggedShown.mid(starts[index]));
  }
  // Cut from its last 50 displayed lines down to one, then gone.
  EXPECT_EQ(cuts, std::min(entryLines, 51) - 1);
  EXPECT_EQ(logTexts().front(), "short 9");
}

INSTANTIATE_TEST_SUITE_P(Entries, TopLineTrimmingTest,
                         ::testing::Values(TopLineCase{"Wrapped", words(40), false, {}},
                                           TopLineCase{"LineBreaks",
                                                       "RT1=one\r\ntwo\rthree\nfour",
                                                       true,
                                                       {"two\rthree\nfour", "three\nfour", "four"}},
                                           TopLineCase{"TallerThanTheLog", words(1000), true, {}}),
                         [](const ::testing::TestParamInfo<TopLineCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace varnok::testing
