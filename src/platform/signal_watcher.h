#pragma once

#include <functional>
#include <initializer_list>
#include <vector>

#include "platform/event_loop.h"

namespace varnok {

// Turns POSIX signals into callbacks on the event loop. The signal handler
// only writes the signal number into a pipe; the loop reads it and calls the
// callback like any other event, so the callback may do anything. The signal
// mask is left alone, so child processes start with ordinary signals.
//
// One watcher per process at a time; its destructor restores the default
// actions of its signals.
class SignalWatcher {
 public:
  SignalWatcher(EventLoop& loop, std::initializer_list<int> signals,
                std::function<void(int signo)> onSignal);
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  void drain();
  EventLoop& loop_;
  std::vector<int> signals_;
  std::function<void(int)> onSignal_;
  int pipe_[2] = {-1, -1};
};

}  // namespace varnok
