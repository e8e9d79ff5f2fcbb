#include "platform/clock.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace varnok {
namespace {

constexpr double kMsPerDay = 86400000.0;

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

const std::int64_t kEpochOffsetDays = daysFromCivil(1899, 12, 30);

}  // namespace

std::int64_t SystemClock::monotonicMs() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::int64_t SystemClock::utcMs() const {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

TDateTime SystemClock::now() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  time_t secs = ts.tv_sec;
  localtime_r(&secs, &local);
  return encodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

ManualClock::ManualClock(TDateTime start) : wallBase_(start) {}

TDateTime ManualClock::now() const {
  return wallBase_ + static_cast<double>(mono_ - wallBaseMono_) / kMsPerDay;
}

void ManualClock::advance(std::int64_t ms) {
  if (ms > 0) mono_ += ms;
}

void ManualClock::setWallClock(TDateTime t) {
  wallBase_ = t;
  wallBaseMono_ = mono_;
}

std::int64_t secondsBetween(TDateTime a, TDateTime b) {
  return std::llround(std::fabs(a - b) * kMsPerDay) / 1000;
}

std::int64_t minutesBetween(TDateTime a, TDateTime b) {
  return std::llround(std::fabs(a - b) * kMsPerDay) / 60000;
}

TDateTime encodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
  const std::int64_t days =
      daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
      kEpochOffsetDays;
  const double ms = ((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond;
  return static_cast<double>(days) + ms / kMsPerDay;
}

std::string formatDateTime(TDateTime t) {
  // Round to whole milliseconds first so that 13:05:21.9999999 reads 13:05:22.
  const std::int64_t totalMs = std::llround(t * kMsPerDay);
  std::int64_t days = totalMs / 86400000;
  std::int64_t msOfDay = totalMs % 86400000;
  if (msOfDay < 0) {
    msOfDay += 86400000;
    --days;
  }
  int y = 0, m = 0, d = 0;
  civilFromDays(days + kEpochOffsetDays, y, m, d);
  const int secs = static_cast<int>(msOfDay / 1000);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, m, d, secs / 3600,
                secs / 60 % 60, secs % 60);
  return buf;
}

}  // namespace varnok
