#pragma once

#include <signal.h>

#include <functional>
#include <initializer_list>
#include <vector>

#include "platform/event_loop.h"
#include "platform/unique_fd.h"

namespace varnok {

// Turns POSIX signals into callbacks on the event loop. The signal handler
// only writes the signal number into a pipe; the loop reads it and calls the
// callback like any other event, so the callback may do anything but destroy
// its own watcher. The signal mask is left alone, so child processes start
// with ordinary signals. (Parameters are named signos: Qt defines `signals`.)
//
// Several watchers may live at once, each with signals of its own: a signal
// belongs to one watcher at a time. The destructor gives each signal back the
// action it had before.
//
// The constructor throws std::system_error with the failing call's errno when
// it cannot watch (no descriptors left, the loop refuses the pipe, a signal
// that cannot be caught), and std::invalid_argument for a signal that another
// watcher already has or that is out of range; it then leaves no trace.
//
// Ownership: owns its pipe and its watch on the loop, which must outlive it.
class SignalWatcher {
 public:
  SignalWatcher(EventLoop& loop, std::initializer_list<int> signos,
                std::function<void(int signo)> onSignal);
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  struct Caught {
    int signo;
    struct sigaction before;
  };
  void drain();
  // Gives back what the constructor has taken so far.
  void release() noexcept;

  EventLoop& loop_;
  std::function<void(int)> onSignal_;
  std::vector<Caught> caught_;
  UniqueFd readEnd_, writeEnd_;
  bool watching_ = false;
};

}  // namespace varnok
