#pragma once

#include <string>

#include "platform/event_loop.h"

namespace varnok {

// Tells the service manager (systemd, through NOTIFY_SOCKET) how the headless
// program is doing: ready once start-up has run, alive while the event loop
// turns, stopping when the closing sequence begins. Without NOTIFY_SOCKET
// every message goes nowhere and no timer runs.
//
// The keep-alive pings come from a Timer on our own loop at half the interval
// the manager asked for, so a loop that hangs stops pinging and the manager
// restarts the program.
//
// Ownership: holds the ping timer, registered with the loop it is given; the
// loop must outlive this object.
class ServiceNotifier {
 public:
  explicit ServiceNotifier(EventLoop& loop);
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // Start-up has finished: listening, or the listen error logged. status
  // (the last log line, which says which) is what "systemctl status" shows.
  void ready(const std::string& status);
  // The closing sequence has begun; the pings end here.
  void stopping();

  // Milliseconds between keep-alive pings; 0 when the manager wants none.
  int pingIntervalMs() const { return watchdog_.enabled() ? watchdog_.interval() : 0; }

 private:
  Timer watchdog_;
};

}  // namespace varnok
