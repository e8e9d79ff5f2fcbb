#pragma once

#include <functional>

#include "platform/event_loop.h"
#include "platform/unique_fd.h"

namespace varnok::mqtt {

// Saying goodbye to a broker without losing the last packets. The library
// closes its socket as soon as DISCONNECT is written; closing with unread
// input (a PUBACK on its way) would send a reset, and a broker that then
// fails to write drops the connection before reading our last packets: the
// final message lost and the will published instead. So a duplicate of the
// socket is kept, half-closed once the library is done with it, and read
// until the broker closes its side, for at most the linger period.
//
// Ownership: owns the duplicate and its watch, and the linger timer.
class GoodbyeDrain {
 public:
  explicit GoodbyeDrain(EventLoop& loop) : loop_(loop), linger_(loop) {}
  ~GoodbyeDrain() { release(); }
  GoodbyeDrain(const GoodbyeDrain&) = delete;
  GoodbyeDrain& operator=(const GoodbyeDrain&) = delete;

  // Keeps a duplicate of socket before the goodbye is written.
  void hold(int socket) { duplicate_ = UniqueFd(::dup(socket)); }
  // The goodbye is under way: lingered out is told if it is not over within
  // lingerMs.
  void startLinger(int lingerMs, std::function<void()> lingeredOut) {
    linger_.setOnTimer([this, lingeredOut = std::move(lingeredOut)] {
      linger_.setEnabled(false);
      lingeredOut();
    });
    linger_.setInterval(lingerMs < 1 ? 1 : lingerMs);
    linger_.setEnabled(true);
  }
  // The library has written its last: the duplicate is half-closed and
  // read to its end; done is told once the broker has closed its side (or
  // the socket failed), at once when there is no duplicate.
  void drain(std::function<void()> done);
  // Ends the goodbye: no watch, no timer, the duplicate closed.
  void release();

 private:
  EventLoop& loop_;
  Timer linger_;
  UniqueFd duplicate_;
  bool watching_ = false;
};

}  // namespace varnok::mqtt
