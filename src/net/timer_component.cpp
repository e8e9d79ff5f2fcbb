#include <algorithm>
#include <cstdint>

#include "net/simple_tcp.h"

namespace varnok::net {

namespace {
constexpr std::int64_t kShortestPeriodMs = 10;
constexpr std::int64_t kLongestPeriodMs = 2147483647;
}  // namespace

TTimerComponent::TTimerComponent(EventLoop& loop)
    : loop_(loop), timer_(std::make_unique<Timer>(loop, [this] { DoTimer(); })) {}

// Destroying the platform timer unschedules it.
TTimerComponent::~TTimerComponent() = default;

void TTimerComponent::SetTimerEnabled(bool value) {
  if (value == timerEnabled_) return;
  timerEnabled_ = value;
  UpdateTimer();
}

void TTimerComponent::SetInterval(int value) {
  if (value == interval_) return;
  interval_ = value;
  UpdateTimer();
}

// The interval is read as an unsigned 32-bit count, so a negative one means
// "very long" (capped at about 24.8 days), never "now".
std::int64_t TTimerComponent::timerPeriodMs() const {
  const std::int64_t period = static_cast<std::uint32_t>(interval_);
  return std::clamp(period, kShortestPeriodMs, kLongestPeriodMs);
}

bool TTimerComponent::timerRunning() const {
  return timer_->running();
}

void TTimerComponent::UpdateTimer() {
  timer_->setEnabled(false);
  if (!timerEnabled_) return;
  timer_->setInterval(static_cast<int>(timerPeriodMs()));
  timer_->setEnabled(true);  // a fresh period from now
}

}  // namespace varnok::net
