#include "desktop/qt_loop_bridge.h"

#include <QAbstractEventDispatcher>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <limits>

#include "platform/event_loop.h"

namespace varnok {

QtLoopBridge::QtLoopBridge(EventLoop& loop, QObject* parent) : QObject(parent), loop_(loop) {
  notifier_ = new QSocketNotifier(loop_.fd(), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &QtLoopBridge::runRound);

  timer_ = new QTimer(this);
  timer_->setSingleShot(true);
  // The dispatch tick runs every 22 to 90 ms; a coarse timer may be 5 % late.
  timer_->setTimerType(Qt::PreciseTimer);
  connect(timer_, &QTimer::timeout, this, [this] {
    armedDeadline_ = -1;
    runRound();
  });

  if (auto* dispatcher = QAbstractEventDispatcher::instance(thread())) {
    connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &QtLoopBridge::rearm);
  }
  rearm();
}

QtLoopBridge::~QtLoopBridge() = default;

void QtLoopBridge::call(const std::function<void()>& fn) {
  loop_.app().dispatch(fn);
  // fn may have posted callbacks or switched timers on; a round without
  // waiting runs what is due now, and rearm() covers the rest.
  runRound();
}

void QtLoopBridge::runRound() {
  if (inRound_) {
    // A nested Qt loop inside one of our callbacks (a menu, a dialog) must
    // not enter our loop again; the descriptor stays readable meanwhile, so
    // the notifier rests until the round is over. Switched off only then:
    // toggling it every round costs the toolkit a wake-up each time.
    notifier_->setEnabled(false);
    return;
  }
  inRound_ = true;
  loop_.runOnce(0);
  if (!notifier_->isEnabled()) notifier_->setEnabled(true);
  inRound_ = false;
  rearm();
  if (loop_.quitRequested()) {
    loop_.clearQuit();
    emit quitRequested();
  }
}

void QtLoopBridge::rearm() {
  const std::int64_t wait = loop_.msUntilNextTimer();
  if (wait < 0) {
    timer_->stop();
    armedDeadline_ = -1;
    return;
  }
  const std::int64_t deadline = loop_.clock().monotonicMs() + wait;
  // aboutToBlock comes often; restart the Qt timer only when the deadline moved.
  if (timer_->isActive() && deadline == armedDeadline_) return;
  armedDeadline_ = deadline;
  const auto ms = static_cast<int>(std::min<std::int64_t>(wait, std::numeric_limits<int>::max()));
  timer_->start(ms);
}

int QtLoopBridge::armedMs() const {
  return timer_->isActive() ? timer_->interval() : -1;
}

}  // namespace varnok
