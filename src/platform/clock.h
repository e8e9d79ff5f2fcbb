#pragma once

#include <cstdint>
#include <string>

namespace varnok {

// Local wall-clock date and time as a count of days since 30 December 1899;
// the fraction is the time of day. This is the date-time type the whole
// dispatcher shares (queue stamps, suspension stamps, log lines).
using TDateTime = double;

// The source of "now". Everything that reads time reads it through a Clock,
// so that tests can run hours of timer behaviour in virtual time.
//
// Two scales: monotonicMs() for timers and timeouts (never goes back, never
// jumps with the system clock), now() for stamps that people read and that
// are compared as dates (may be set back or forward under us).
class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds on a monotonic scale; only differences mean anything.
  virtual std::int64_t monotonicMs() const = 0;
  // The local wall-clock date-time.
  virtual TDateTime now() const = 0;
  // Milliseconds since 1970-01-01 00:00 UTC: the scale that schedules in
  // local time go by (converted with the process's time zone, TZ).
  virtual std::int64_t utcMs() const = 0;
  // Whether time passes while nobody touches the clock. Only then may a
  // waiter sleep until a deadline: under a clock that moves only when told
  // to, the deadline would never come by waiting, so the one who moves the
  // clock is the one who fires what falls due.
  virtual bool movesOnItsOwn() const = 0;
};

// The system's clocks: CLOCK_MONOTONIC and the local time of CLOCK_REALTIME.
class SystemClock final : public Clock {
 public:
  std::int64_t monotonicMs() const override;
  TDateTime now() const override;
  std::int64_t utcMs() const override;
  bool movesOnItsOwn() const override { return true; }
};

// A clock that moves only when told to, for runs in virtual time (tests,
// fuzz targets, benchmarks). A loop on it never waits for a timer; the test
// side moves it from timer deadline to timer deadline.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(TDateTime start = 46362.5);  // 2026-12-06 12:00:00
  std::int64_t monotonicMs() const override { return mono_; }
  TDateTime now() const override;
  // Starts at 2026-12-06 12:00:00 UTC and moves with advance(); set apart
  // from the local wall clock, which keeps its own start.
  std::int64_t utcMs() const override { return utcBase_ + (mono_ - utcBaseMono_); }
  bool movesOnItsOwn() const override { return false; }
  // Moves both the monotonic time and the wall clock forward by ms.
  void advance(std::int64_t ms);
  // Sets the wall clock alone, as an operator setting the system clock would.
  void setWallClock(TDateTime t);
  // Sets the UTC scale alone.
  void setUtcMs(std::int64_t ms) {
    utcBase_ = ms;
    utcBaseMono_ = mono_;
  }

 private:
  std::int64_t mono_ = 0;
  std::int64_t wallBaseMono_ = 0;
  TDateTime wallBase_;
  std::int64_t utcBase_ = 1796558400000;  // 2026-12-06 12:00:00 UTC
  std::int64_t utcBaseMono_ = 0;
};

// Whole seconds and whole minutes between two date-times: the absolute
// difference, truncated toward zero. The difference is first rounded to whole
// milliseconds so that floating-point noise cannot turn 601 s into 600.
std::int64_t secondsBetween(TDateTime a, TDateTime b);
std::int64_t minutesBetween(TDateTime a, TDateTime b);

// Date-time of a civil date and time of day.
TDateTime encodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);

// "2026-12-06 13:05:22": the rendering used in log lines.
std::string formatDateTime(TDateTime t);

}  // namespace varnok
