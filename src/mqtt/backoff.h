#pragma once

#include <algorithm>
#include <cmath>
#include <random>

namespace varnok::mqtt {

// How long a client waits before its next attempt: the first wait is
// firstMs, each further failure doubles it up to maxMs, and every wait is
// spread by +-jitter (a fraction) so that many sites do not return all at
// once. Back to firstMs when the owner says a connection settled.
class Backoff {
 public:
  Backoff(int firstMs, int maxMs, double jitter)
      : firstMs_(firstMs), maxMs_(maxMs), jitter_(jitter) {}

  // The wait after one more failure, in ms (at least 1).
  int nextDelayMs() {
    const double nominal =
        std::min<double>(maxMs_, firstMs_ * std::pow(2.0, std::min(failures_, 30)));
    ++failures_;
    lastDelayMs_ = std::max(1, static_cast<int>(nominal * spread()));
    return lastDelayMs_;
  }
  void reset() { failures_ = 0; }
  // The wait last given; 0 before any failure.
  int lastDelayMs() const { return lastDelayMs_; }

 private:
  double spread() const {
    if (jitter_ <= 0) return 1.0;
    static std::mt19937 rng{std::random_device{}()};
    std::uniform_real_distribution<double> within(-jitter_, jitter_);
    return 1.0 + within(rng);
  }

  int firstMs_;
  int maxMs_;
  double jitter_;
  int failures_ = 0;
  int lastDelayMs_ = 0;
};

}  // namespace varnok::mqtt
