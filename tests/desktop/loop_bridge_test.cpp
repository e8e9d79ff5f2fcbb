#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <stdexcept>

#include "desktop/qt_loop_bridge.h"
#include "platform/event_loop.h"

namespace varnok {
namespace {

// Runs Qt's own loop, the way the program does (sleeping when idle), until
// done() holds or timeoutMs have passed.
bool spinQtUntil(const std::function<bool()>& done, int timeoutMs) {
  QEventLoop events;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, &events, [&] {
    if (done()) events.quit();
  });
  check.start(5);
  QTimer::singleShot(timeoutMs, &events, &QEventLoop::quit);
  if (!done()) events.exec();
  return done();
}

class LoopBridgeTest : public ::testing::Test {
 protected:
  SystemClock clock;
  Application app;
  EventLoop loop{clock, app};
};

TEST_F(LoopBridgeTest, OurTimerTicksUnderQtsLoop) {
  QtLoopBridge bridge(loop);
  int ticks = 0;
  Timer timer(loop, [&] { ++ticks; });
  timer.setInterval(20);
  timer.setEnabled(true);
  bridge.rearm();
  QElapsedTimer elapsed;
  elapsed.start();
  ASSERT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }, 3000));
  EXPECT_GE(elapsed.elapsed(), 50);  // three periods, not a burst
  timer.setEnabled(false);
  bridge.rearm();
  EXPECT_EQ(bridge.armedMs(), -1);  // nothing to wait for: Qt sleeps
}

TEST_F(LoopBridgeTest, TimerSwitchedOnFromQtSideIsNoticed) {
  QtLoopBridge bridge(loop);
  int ticks = 0;
  Timer timer(loop, [&] { ++ticks; });
  timer.setInterval(30);
  // Switched on by plain Qt code, not through the bridge: the bridge must see
  // it before Qt's loop goes to sleep.
  QTimer::singleShot(0, [&] { timer.setEnabled(true); });
  EXPECT_TRUE(spinQtUntil([&] { return ticks >= 1; }, 3000));
}

TEST_F(LoopBridgeTest, ReadinessOfAWatchedSocketIsHandled) {
  QtLoopBridge bridge(loop);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
  std::string received;
  loop.watch(fds[0], EPOLLIN, [&](std::uint32_t) {
    char buf[16];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n > 0) received.append(buf, static_cast<std::size_t>(n));
  });
  ASSERT_EQ(::write(fds[1], "RT=1\r", 5), 5);
  EXPECT_TRUE(QTest::qWaitFor([&] { return received == "RT=1\r"; }, 3000));
  loop.unwatch(fds[0]);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(LoopBridgeTest, CallsGoThroughTheDispatchPointAndCatchUp) {
  QtLoopBridge bridge(loop);
  std::string reported;
  app.setOnException([&](const std::exception& e) { reported = e.what(); });
  bool posted = false;
  bridge.call([&] {
    loop.post([&] { posted = true; });
    throw std::runtime_error("handler failed");
  });
  EXPECT_EQ(reported, "handler failed");
  EXPECT_TRUE(posted);  // the posted callback ran without waiting for an event

  Timer timer(loop, [] {});
  timer.setInterval(5000);
  bridge.call([&] { timer.setEnabled(true); });
  EXPECT_GT(bridge.armedMs(), 4000);
  EXPECT_LE(bridge.armedMs(), 5000);
}

TEST_F(LoopBridgeTest, QuitOfOurLoopIsPassedOn) {
  QtLoopBridge bridge(loop);
  int quits = 0;
  QObject::connect(&bridge, &QtLoopBridge::quitRequested, [&] { ++quits; });
  loop.post([&] { loop.quit(); });
  bridge.runRound();
  EXPECT_EQ(quits, 1);
  EXPECT_FALSE(loop.quitRequested());
}

}  // namespace
}  // namespace varnok
