#pragma once

#include <QObject>
#include <cstdint>
#include <functional>

class QSocketNotifier;
class QTimer;

namespace varnok {

class EventLoop;

// Lets Qt's event loop drive our EventLoop on the one thread both share.
//
// A socket notifier watches the epoll descriptor: when any descriptor that our
// loop watches becomes ready, the epoll descriptor turns readable and we run
// one non-blocking round. One single-shot timer waits for the next deadline of
// our timers. The timer is re-armed after every round, after every call that
// comes in from Qt through call(), and just before Qt's loop goes to sleep
// (QAbstractEventDispatcher::aboutToBlock), so a Timer switched on from any
// Qt-side code is noticed before Qt blocks. Nothing polls: an idle program
// sleeps in Qt's loop until a descriptor or a deadline wakes it.
//
// Ownership: the bridge owns its notifier and timer; it does not own the loop,
// which must outlive it.
class QtLoopBridge : public QObject {
  Q_OBJECT

 public:
  explicit QtLoopBridge(EventLoop& loop, QObject* parent = nullptr);
  ~QtLoopBridge() override;

  // Runs fn through the application's dispatch point (exceptions go to the
  // application's handler, never into Qt), then catches up with whatever fn
  // changed: due timers and posted callbacks run, the timer is re-armed. Every
  // call from a Qt signal into the dispatcher goes through here.
  void call(const std::function<void()>& fn);

  // One round of our loop without waiting, then re-arm. Re-entrant calls (a
  // callback that spins a nested Qt loop) are ignored.
  void runRound();

  // Sets the single-shot timer to our loop's next deadline.
  void rearm();

  // Milliseconds the single-shot timer is set to, -1 when it is stopped.
  int armedMs() const;

 signals:
  // Our loop's quit() was called by a callback.
  void quitRequested();

 private:
  EventLoop& loop_;
  QSocketNotifier* notifier_ = nullptr;
  QTimer* timer_ = nullptr;
  bool inRound_ = false;
  std::int64_t armedDeadline_ = -1;  // monotonic ms of our clock, -1: not armed
};

}  // namespace varnok
