#pragma once

// Driving an event loop from a test: in virtual time on a ManualClock, and
// in real time until something has happened. Only the loop's public rounds
// are used, so a loop under test behaves as it does in production; the only
// difference is who moves the clock.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>

#include "platform/clock.h"
#include "platform/event_loop.h"

namespace varnok::testing {

// Runs rounds of the loop, handling readiness, posted callbacks and the
// timers that are due, until done() holds or realTimeoutMs of real time have
// passed. Never moves a manual clock: timers not yet due stay so. Returns
// done().
inline bool runLoopUntil(EventLoop& loop, const std::function<bool()>& done,
                         int realTimeoutMs = 5000) {
  const SystemClock real;
  const std::int64_t end = real.monotonicMs() + realTimeoutMs;
  while (!done()) {
    const std::int64_t left = end - real.monotonicMs();
    if (left <= 0) return done();
    // Short rounds, so that done() is asked again soon after each callback.
    loop.runOnce(static_cast<int>(std::min<std::int64_t>(left, 10)));
  }
  return true;
}

// Moves the manual clock of a loop. Holds references to both; they must
// outlive it (declare it after them in a fixture).
class VirtualTime {
 public:
  VirtualTime(EventLoop& loop, ManualClock& clock) : loop_(loop), clock_(clock) {
    if (&loop.clock() != &clock) {
      throw std::invalid_argument("VirtualTime: the loop reads another clock");
    }
  }

  // Moves the clock forward by ms (not at all when ms <= 0, but what is due
  // or ready now is still handled). It stops at the present time and at
  // every timer deadline on the way, so the timers fire in deadline order,
  // each at its own time, and a timer that a callback starts or restarts on
  // the way fires too when its deadline falls within ms. At every stop
  // readiness is polled without blocking, before the timers and again after
  // them, so that what the timers' callbacks caused on real sockets is
  // handled at their time and not at the next stop.
  void advance(std::int64_t ms) {
    const std::int64_t target = clock_.monotonicMs() + std::max<std::int64_t>(ms, 0);
    for (;;) {
      loop_.runOnce(0);  // readiness, the timers due now, posted callbacks
      loop_.runOnce(0);  // what those caused, still at this time
      const std::int64_t untilNext = loop_.msUntilNextTimer();
      if (untilNext < 0 || clock_.monotonicMs() + untilNext > target) break;
      clock_.advance(untilNext);
    }
    clock_.advance(target - clock_.monotonicMs());
    loop_.runOnce(0);
  }

  bool runUntil(const std::function<bool()>& done, int realTimeoutMs = 5000) {
    return runLoopUntil(loop_, done, realTimeoutMs);
  }

 private:
  EventLoop& loop_;
  ManualClock& clock_;
};

}  // namespace varnok::testing
