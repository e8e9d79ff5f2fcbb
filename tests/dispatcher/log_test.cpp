#include <gtest/gtest.h>

#include <stdexcept>

#include "form_fixture.h"

namespace varnok::testing {
namespace {

using LogTest = FormTest;

TEST_F(LogTest, TrimsToFiftyOlderLinesBeforeEachAddition) {
  create("[Inputs]\nSocket=0\n");
  const std::string banner = form->Memo2.lines().front();
  for (int i = 0; i < 60; ++i) form->ScrLog("line " + std::to_string(i));
  EXPECT_EQ(form->Memo2.lineCount(), 51);
  EXPECT_NE(form->Memo2.lines().front(), banner);
  EXPECT_EQ(logTexts().front(), "line 9");
  EXPECT_EQ(logTexts().back(), "line 59");
}

TEST_F(LogTest, LineCarriesTheTimeAndTheTextUnchanged) {
  create("[Inputs]\nSocket=0\n");
  clock.setWallClock(encodeDateTime(2026, 12, 6, 13, 5, 22));
  form->ScrLog("");
  EXPECT_EQ(form->Memo2.lines().back(), "<2026-12-06 13:05:22> ");
  form->ScrLog(std::string("bytes \xE9\x01\r", 9));
  EXPECT_EQ(form->Memo2.lines().back(), std::string("<2026-12-06 13:05:22> bytes \xE9\x01\r", 31));
}

TEST_F(LogTest, TrailKeepsItsLastFiftyMarks) {
  create("[Inputs]\nSocket=0\n");
  form->StartDebugTrail();
  for (int i = 0; i < 49; ++i) form->AddDebugStep("x");
  EXPECT_EQ(form->DebugTrail().size(), 50u);
  form->AddDebugStep("c");
  EXPECT_EQ(form->DebugTrail(), std::string(49, 'x') + "c");
}

TEST_F(LogTest, ApplicationErrorCarriesTheTrail) {
  create("[Inputs]\nSocket=0\n");
  form->StartDebugTrail();
  // An exception escaping a handler right after start-up.
  app.dispatch([&] {
    form->AddDebugStep("L");
    throw std::runtime_error("Division by zero");
  });
  EXPECT_EQ(logTexts().back(), "Application Error - Division by zero (Debug: 0LU)");
  EXPECT_EQ(form->DebugTrail(), "0LUc,,");

  // The error handler's silent abort never produces a second line.
  const int lines = form->Memo2.lineCount();
  app.dispatch([] { throw SilentAbort(); });
  EXPECT_EQ(form->Memo2.lineCount(), lines);
}

TEST_F(LogTest, StartUpMarks) {
  create("[Inputs]\nSocket=0\n");
  // FormCreate's own marks with the nested ScrLog and LoadFile marks.
  EXPECT_EQ(form->DebugTrail(), "0c,m,m,c,,");
}

}  // namespace
}  // namespace varnok::testing
