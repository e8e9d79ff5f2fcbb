#pragma once

#include <memory>

namespace varnok {

// The one way work that outlives its call (a callback posted to the loop, an
// answer that comes later) finds out whether the object it was meant for is
// still there: the object holds a Liveness for its whole life, and the work
// carries a Watch of it, checked before the object is touched.
//
//   loop.post([this, watch = life_.watch()] {
//     if (watch.alive()) sweep();
//   });
//
// Neither copied nor moved: the token goes with the object it was made in.
class Liveness {
 public:
  class Watch {
   public:
    Watch() = default;
    bool alive() const { return !token_.expired(); }

   private:
    friend class Liveness;
    explicit Watch(std::weak_ptr<const int> token) : token_(std::move(token)) {}
    std::weak_ptr<const int> token_;
  };

  Liveness() = default;
  Liveness(const Liveness&) = delete;
  Liveness& operator=(const Liveness&) = delete;

  Watch watch() const { return Watch(token_); }

 private:
  std::shared_ptr<const int> token_ = std::make_shared<const int>(0);
};

}  // namespace varnok
