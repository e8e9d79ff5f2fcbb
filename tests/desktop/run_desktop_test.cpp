#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <csignal>
#include <stdexcept>

#include "desktop/desktop.h"
#include "dispatcher/log_view.h"
#include "dispatcher/status_table.h"
#include "platform/event_loop.h"
#include "platform/signal_watcher.h"

namespace varnok {
namespace {

QMenu* trayMenu() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->objectName() == "trayMenu") return qobject_cast<QMenu*>(w);
  }
  return nullptr;
}

// Runs the whole front end in this process, as the program would.
class RunDesktopTest : public ::testing::Test {
 protected:
  WindowActions actions() {
    return {[this] { ++showHide; }, [this] { host->closeWindow(); }, [] {}, [this] { ++closing; }};
  }

  SystemClock clock;
  Application app;
  EventLoop loop{clock, app};
  StatusTable table;
  LogView log;
  WindowHost* host = nullptr;
  int showHide = 0, closing = 0;
};

TEST_F(RunDesktopTest, ExitThroughTheDispatcherEndsTheRun) {
  Timer later(loop);
  int ticks = 0;
  later.setInterval(20);
  later.setOnTimer([&] {
    if (++ticks == 3) {
      QMenu* menu = trayMenu();
      ASSERT_NE(menu, nullptr);
      menu->actions().at(2)->trigger();  // "Exit"
    }
  });
  const int status =
      runDesktop(loop, "Varnok (test)", "", table, log, actions(), [&](WindowHost& h) {
        host = &h;
        table.setRowCount(2);
        log.addLine("started");
        later.setEnabled(true);  // switched on during start-up: must tick under Qt's loop
      });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(closing, 1);
  log.addLine("after the window");  // the models outlive the window
}

TEST_F(RunDesktopTest, TerminationSignalClosesOnce) {
  // Whatever the two signals did before the run, they do again after it.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction termBefore {};
  struct sigaction intBefore {};
  ASSERT_EQ(sigaction(SIGTERM, &ignore, &termBefore), 0);
  ASSERT_EQ(sigaction(SIGINT, &ignore, &intBefore), 0);

  Timer later(loop, [] {
    std::raise(SIGTERM);
    std::raise(SIGINT);
  });
  later.setInterval(20);
  const int status = runDesktop(loop, "Varnok (test)", "/nonexistent/icon.png", table, log,
                                actions(), [&](WindowHost& h) {
                                  host = &h;
                                  EXPECT_TRUE(!h.isShown());  // shown after start-up
                                  later.setEnabled(true);
                                });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(closing, 1);

  struct sigaction after {};
  ASSERT_EQ(sigaction(SIGTERM, &termBefore, &after), 0);
  EXPECT_EQ(after.sa_handler, SIG_IGN);
  ASSERT_EQ(sigaction(SIGINT, &intBefore, &after), 0);
  EXPECT_EQ(after.sa_handler, SIG_IGN);
}

TEST_F(RunDesktopTest, RefusesToRunWithoutTheCloseSignals) {
  SignalWatcher taken(loop, {SIGTERM}, [](int) {});
  const bool quitOnLast = QGuiApplication::quitOnLastWindowClosed();
  bool started = false;
  EXPECT_THROW(
      runDesktop(loop, "t", "", table, log, actions(), [&](WindowHost&) { started = true; }),
      std::invalid_argument);
  EXPECT_FALSE(started);
  EXPECT_EQ(closing, 0);
  EXPECT_EQ(QGuiApplication::quitOnLastWindowClosed(), quitOnLast);
  // Nothing of the failed run is left behind: SIGINT is free for the next.
  EXPECT_NO_THROW(SignalWatcher(loop, {SIGINT}, [](int) {}));
}

TEST_F(RunDesktopTest, CloseDuringStartUpOrByQuitOfOurLoop) {
  EXPECT_EQ(
      runDesktop(loop, "t", "", table, log, actions(), [&](WindowHost& h) { h.closeWindow(); }), 0);
  EXPECT_EQ(closing, 1);

  loop.post([&] { loop.quit(); });
  EXPECT_EQ(runDesktop(loop, "t", "", table, log, actions(), {}), 0);
  EXPECT_EQ(closing, 2);
}

}  // namespace
}  // namespace varnok
