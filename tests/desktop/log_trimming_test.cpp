// The dispatcher's log under the real window: it keeps about 50 lines as the
// window displays them, so a line that wraps takes the room of several.
#include <gtest/gtest.h>

#include <QAbstractTextDocumentLayout>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextLayout>
#include <memory>
#include <string>

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

TEST_F(LogTrimmingTest, ALineTallerThanTheLogGoesWithTheNextLine) {
  window->show();
  dispatcher->log("before");
  dispatcher->log(words(1000));
  ASSERT_GT(lastLineDisplayedLines(), 50);
  EXPECT_TRUE(logTexts().back() == words(1000));  // shown whole until the next line

  dispatcher->log("next");
  ASSERT_EQ(dispatcher->logView().lines().size(), 1u);
  EXPECT_EQ(logTexts().front(), "next");
  EXPECT_EQ(viewBlocks(), 1);
}

}  // namespace
}  // namespace varnok::testing
