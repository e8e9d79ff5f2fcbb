#pragma once

#include <sys/socket.h>

#include <functional>

#include "platform/event_loop.h"
#include "platform/liveness.h"
#include "platform/spare_descriptor.h"
#include "platform/unique_fd.h"

namespace varnok {

// Takes the connections that wait on one listening socket, a bounded number
// per readiness, so that a burst of clients shares the loop with everything
// else; and keeps taking them when descriptors run out: a client that knocks
// then is turned away, or accepting pauses (SpareDescriptor), instead of the
// loop spinning on it. The one acceptor of the producer listener, the status
// page and the hand-off channel; it lives here rather than in net because
// the hand-off channel sits below net, and it needs no more than
// descriptors, accept4 and the reserve.
//
// Errors are errno values; what a user sees of them is the owner's to make.
// A shortage is told once, not once per client turned away: it lasts until
// a connection is accepted again.
//
// Ownership: owns the listening descriptor, its watch on the loop and the
// reserve; each accepted descriptor goes to the owner with the call. The
// owner destroys the acceptor before the loop.
//
// Re-entry: a handler may destroy the acceptor; nothing is touched after a
// handler that did.
class Acceptor {
 public:
  struct Handlers {
    // A connection taken: non-blocking and close-on-exec, with the peer's
    // address as accept gave it.
    std::function<void(UniqueFd fd, const sockaddr_storage& peer, socklen_t length)> accepted;
    // After a readiness that took at least one connection; may be empty.
    std::function<void()> batchDone;
    // An accept that failed other than for want of a client (EAGAIN, or one
    // that went away: ECONNABORTED, EINTR), but of a shortage of descriptors
    // only its start; empty: nothing is told.
    std::function<void(int err)> failed;
  };

  // listening must be bound and listening, and non-blocking. Takes the
  // reserve at once (without a free descriptor it starts without one).
  Acceptor(EventLoop& loop, UniqueFd listening, int acceptsPerReadiness, Handlers handlers);
  ~Acceptor();
  Acceptor(const Acceptor&) = delete;
  Acceptor& operator=(const Acceptor&) = delete;

  // Starts watching the listening socket; false, with errno set, when the
  // loop refuses.
  bool start();
  // Stops taking connections (they wait in the backlog) until start().
  void stop();
  // Stops watching and gives the listening descriptor back, still open, for
  // an owner that must close it later than the acceptor goes.
  UniqueFd release();
  int fd() const { return listening_.get(); }
  const SpareDescriptor& spare() const { return spare_; }

 private:
  void acceptWaiting();

  EventLoop& loop_;
  UniqueFd listening_;
  const int acceptsPerReadiness_;
  Handlers handlers_;
  SpareDescriptor spare_;
  bool watching_ = false;
  bool short_ = false;  // a shortage was told and no connection taken since
  Liveness life_;
};

}  // namespace varnok
