#pragma once

#include <cstdint>
#include <functional>

#include "platform/event_loop.h"
#include "platform/unique_fd.h"

namespace varnok {

// A descriptor held in reserve for the accept path of a listening socket, so
// that the listener keeps working when descriptors run out.
//
// When accept() fails with EMFILE (this process is at its limit) or ENFILE
// (the whole system is), the connection stays in the backlog and a
// level-triggered listener is ready again at once: the loop would spin at
// full speed without getting anywhere. Instead, the reserve (an open
// /dev/null) is given up for a moment, one waiting connection is accepted
// into the freed slot and closed at once, so that its peer learns it was
// turned away, and the reserve is taken back. When there is no reserve to
// give up, or it cannot be taken back, accepting pauses: the owner is told to
// stop watching its listener, and every pauseMs the reserve is tried again;
// once it is back the owner is told to watch again. Nothing here blocks.
//
// Used by the accept path of every listener (Acceptor).
//
// Ownership: owns the reserve descriptor and the pause timer, not the
// listener. setAccepting runs on the loop, from acceptFailed (false) or from
// the timer (true); the owner destroys this object before the loop.
class SpareDescriptor {
 public:
  static constexpr int kDefaultPauseMs = 100;
  enum class Outcome {
    NotShortage,  // err was not EMFILE or ENFILE: nothing was done
    TurnedAway,   // one waiting connection (if any) was closed; accepting goes on
    Paused,       // setAccepting(false) was called; setAccepting(true) follows later
  };

  // Takes the reserve at once; without a free descriptor it starts without
  // one and the first shortage pauses.
  SpareDescriptor(EventLoop& loop, std::function<void(bool accepting)> setAccepting,
                  int pauseMs = kDefaultPauseMs);
  SpareDescriptor(const SpareDescriptor&) = delete;
  SpareDescriptor& operator=(const SpareDescriptor&) = delete;

  // Call when accept() on listenFd failed with err.
  Outcome acceptFailed(int listenFd, int err);

  bool held() const { return static_cast<bool>(reserve_); }
  bool paused() const { return paused_; }
  // Connections closed at once for want of descriptors, since construction.
  std::uint64_t turnedAway() const { return turnedAway_; }

 private:
  bool reopen();
  void pause();
  void retry();

  std::function<void(bool)> setAccepting_;
  Timer retryTimer_;
  UniqueFd reserve_;
  bool paused_ = false;
  std::uint64_t turnedAway_ = 0;
};

}  // namespace varnok
