#include <gtest/gtest.h>

#include <stdexcept>

#include "dispatcher_fixture.h"

namespace varnok::testing {
namespace {

using LogTest = DispatcherTest;

TEST_F(LogTest, TrimsToFiftyOlderLinesBeforeEachAddition) {
  create("[Inputs]\nSocket=0\n");
  const std::string banner = dispatcher->logView().lines().front();
  for (int i = 0; i < 60; ++i) dispatcher->log("line " + std::to_string(i));
  EXPECT_EQ(dispatcher->logView().lineCount(), 51);
  EXPECT_NE(dispatcher->logView().lines().front(), banner);
  EXPECT_EQ(logTexts().front(), "line 9");
  EXPECT_EQ(logTexts().back(), "line 59");
}

TEST_F(LogTest, LineCarriesTheTimeAndTheTextUnchanged) {
  create("[Inputs]\nSocket=0\n");
  clock.setWallClock(encodeDateTime(2026, 12, 6, 13, 5, 22));
  dispatcher->log("");
  EXPECT_EQ(dispatcher->logView().lines().back(), "<2026-12-06 13:05:22> ");
  dispatcher->log(std::string("bytes \xE9\x01\r", 9));
  EXPECT_EQ(dispatcher->logView().lines().back(),
            std::string("<2026-12-06 13:05:22> bytes \xE9\x01\r", 31));
}

TEST_F(LogTest, TrailKeepsItsLastFiftyMarks) {
  create("[Inputs]\nSocket=0\n");
  peer().startTrail();
  for (int i = 0; i < 49; ++i) peer().mark(Mark::Serve);
  EXPECT_EQ(dispatcher->debugTrail().size(), 50u);
  peer().mark(Mark::Log);
  EXPECT_EQ(dispatcher->debugTrail(), std::string(49, 'K') + "c");
}

TEST_F(LogTest, ApplicationErrorCarriesTheTrail) {
  create("[Inputs]\nSocket=0\n");
  peer().startTrail();
  // An exception escaping a handler right after start-up.
  app.dispatch([&] {
    peer().mark(Mark::DispatchTick);
    throw std::runtime_error("Division by zero");
  });
  EXPECT_EQ(logTexts().back(), "Application Error - Division by zero (Debug: 0LU)");
  EXPECT_EQ(dispatcher->debugTrail(), "0LUc,,");

  // The error handler's silent abort never produces a second line.
  const int lines = dispatcher->logView().lineCount();
  app.dispatch([] { throw SilentAbort(); });
  EXPECT_EQ(dispatcher->logView().lineCount(), lines);
}

TEST_F(LogTest, StartUpMarks) {
  create("[Inputs]\nSocket=0\n");
  // Start-up's own marks with the nested marks of the log and the list loading.
  EXPECT_EQ(dispatcher->debugTrail(), "0c,m,m,c,,");
}

}  // namespace
}  // namespace varnok::testing
