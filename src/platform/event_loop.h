#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/application.h"
#include "platform/clock.h"

namespace varnok {

class Timer;

// The one event loop of the process: an epoll reactor with timers and posted
// callbacks. Every callback runs through Application::dispatch and is handled
// to its end before the next one starts; nothing here is thread-safe, because
// there is only one thread.
//
// Ownership: the loop owns the epoll descriptor, the watch records and the
// posted callbacks. It does not own the clock or the application, which must
// outlive it, nor the watched descriptors or the Timer objects, which
// unregister themselves when they are destroyed.
//
// Time: every deadline is a reading of clock().monotonicMs(). A round sleeps
// until the next deadline only when the clock moves on its own. Under a
// clock that moves only when told to, a round never waits for a timer and
// fires only the timers due at the clock's present reading: whoever moves
// the clock decides when timers fire, by moving it to the deadline that
// msUntilNextTimer() names and running a round there.
class EventLoop {
 public:
  // Receives the epoll event bits (EPOLLIN, EPOLLOUT, EPOLLERR, EPOLLHUP, ...).
  using IoHandler = std::function<void(std::uint32_t events)>;

  EventLoop(Clock& clock, Application& app);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  Clock& clock() const { return clock_; }
  Application& app() const { return app_; }

  // Watches fd for the given epoll events; a second call for the same fd
  // replaces the events and the handler. Returns false when epoll refuses.
  // A handler may unwatch or replace its own watch (or any other) while it
  // runs: the record it runs from is kept until it returns.
  bool watch(int fd, std::uint32_t events, IoHandler handler);
  // Changes the events of a watched fd; false when fd is not watched.
  bool modify(int fd, std::uint32_t events);
  // Ends the watch: no further callback for fd, not even for readiness that
  // was already collected in the current round. Call before closing fd.
  void unwatch(int fd);
  bool watching(int fd) const { return byFd_.count(fd) != 0; }

  // Runs fn on the loop after the current callback, in posting order.
  void post(std::function<void()> fn);

  // Runs until quit() is called.
  void run();
  void quit() { quit_ = true; }
  bool quitRequested() const { return quit_; }
  void clearQuit() { quit_ = false; }

  // One round: waits at most maxWaitMs of real time for readiness (-1: no
  // limit; no wait while callbacks are posted; less when a timer falls due
  // earlier under a clock that moves on its own), then dispatches, in this
  // order, the readiness, the timers due by then (each at most once) and the
  // callbacks posted so far.
  void runOnce(int maxWaitMs);

  // The epoll descriptor, for an outer loop that wants to know when to call
  // runOnce(0).
  int fd() const { return epfd_; }

  // Milliseconds on the clock's scale until the next timer falls due: 0 when
  // one is due, -1 when no timer runs.
  std::int64_t msUntilNextTimer() const;

 private:
  friend class Timer;
  struct Watch {
    int fd;
    IoHandler handler;
    int running = 0;  // callbacks of this record under way (nested loops: more than one)
  };
  using Watches = std::unordered_map<std::uint64_t, Watch>;
  using DueKey = std::pair<std::int64_t, std::uint64_t>;  // deadline, sequence

  void pollIo(int waitMs);
  // Removes the record of id; one whose handler is running is set aside
  // until that callback returns (freeRetired).
  void retire(Watches::iterator found);
  void freeRetired();
  void fireDueTimers();
  void runPosted();
  void schedule(Timer* timer, std::int64_t due);
  void reschedule(Timer* timer, std::int64_t due);
  void unschedule(Timer* timer);

  Clock& clock_;
  Application& app_;
  int epfd_ = -1;
  bool quit_ = false;
  std::uint64_t nextWatchId_ = 1;
  Watches watches_;
  // Records unwatched or replaced by their own callback: the map's nodes,
  // taken out whole, so the handler that runs stays where it is.
  std::vector<Watches::node_type> retired_;
  std::unordered_map<int, std::uint64_t> byFd_;
  std::deque<std::function<void()>> posted_;
  std::uint64_t nextSeq_ = 1;
  std::map<DueKey, Timer*> due_;
  std::vector<DueKey> dueNow_;  // kept between rounds: no allocation per tick
};

// A periodic timer with the toolkit semantics: it runs while Enabled is true
// and Interval is greater than 0; switching it off and on again, or changing
// the interval while it runs, restarts the period.
class Timer {
 public:
  explicit Timer(EventLoop& loop, std::function<void()> onTimer = {});
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  int interval() const { return interval_; }
  void setInterval(int ms);
  bool enabled() const { return enabled_; }
  void setEnabled(bool on);
  // Whether a tick is scheduled (enabled, not resting, with a positive
  // interval).
  bool running() const { return scheduled_; }
  // A timer with nothing to do may rest: no tick is scheduled, but it stays
  // enabled and keeps its beat, so that when it is woken its next tick falls
  // where it would have fallen had it ticked all along (now, when a beat
  // falls on now). Waking a timer that is not resting does nothing; enabling,
  // disabling or a new interval end the rest as they restart the period.
  void rest();
  void wake();
  bool resting() const { return resting_; }
  void setOnTimer(std::function<void()> onTimer) { onTimer_ = std::move(onTimer); }

 private:
  friend class EventLoop;
  void update();
  void fire(std::int64_t now);

  EventLoop& loop_;
  std::function<void()> onTimer_;
  int interval_ = 1000;
  bool enabled_ = false;
  bool scheduled_ = false;
  bool resting_ = false;
  std::int64_t beat_ = 0;  // while resting: a deadline the timer would have had
  EventLoop::DueKey key_{0, 0};
};

}  // namespace varnok
