#include "app/service_notify.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>

namespace varnok {

ServiceNotifier::ServiceNotifier(EventLoop& loop)
    : watchdog_(loop, [] { sd_notify(0, "WATCHDOG=1"); }) {
  // Zero unless WATCHDOG_USEC is set and WATCHDOG_PID, when set, names this
  // process: a watchdog meant for a parent is not ours to feed.
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return;
  const std::uint64_t halfMs = usec / 2000;
  watchdog_.setInterval(static_cast<int>(std::clamp<std::uint64_t>(halfMs, 1, INT_MAX)));
  watchdog_.setEnabled(true);
}

void ServiceNotifier::ready(const std::string& status) {
  // One line: a line break would start another assignment.
  std::string message = "READY=1\nSTATUS=" + status;
  std::replace(message.begin() + 8, message.end(), '\n', ' ');
  sd_notify(0, message.c_str());
}

void ServiceNotifier::stopping() {
  watchdog_.setEnabled(false);
  sd_notify(0, "STOPPING=1");
}

}  // namespace varnok
