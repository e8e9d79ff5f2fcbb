#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace varnok {

// What an operator may do while Varnok runs. Every way in (varnokctl over
// the control socket, the console) asks the dispatcher through one call,
// so each action is checked, logged and counted in one place.
enum class ControlAction {
  Send,     // a command to one encoder (target) or every one (no target)
  Clear,    // an encoder's waiting commands, counted as cleared
  Suspend,  // as ErrorLimit does; the resume timer or Resume ends it
  Resume,   // active again now, its failures in a row forgotten
  Off,      // for this run, as Enabled=0: nothing new is queued for it
  On,
  Refuse,  // a producer address, for this run (the lists on disk stay)
  Allow,
  Override,  // a text over now playing for a while (the on-air layers)
  Cancel,    // an override ended early
  Reload,    // the configuration read again
};
inline constexpr std::size_t kControlActions = 11;

std::string_view actionName(ControlAction action);
// The action of a verb as varnokctl and the socket spell it ("clear"); the
// count when there is none.
std::size_t actionOf(std::string_view verb);

struct ControlRequest {
  ControlAction action = ControlAction::Send;
  std::string who;     // the operator, for the log
  std::string target;  // an encoder name or a producer address
  std::string text;    // Send: the command
};

// Actions carried out since start, by action, for /metrics.
using ControlCounts = std::array<std::uint64_t, kControlActions>;

}  // namespace varnok
