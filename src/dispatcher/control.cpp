// The operator's actions on the running dispatcher.
#include "dispatcher/control.h"

#include <algorithm>

#include "dispatcher/dispatcher.h"
#include "platform/ascii_text.h"

namespace varnok {
namespace {

constexpr std::array<std::string_view, kControlActions> kNames = {
    "send",   "clear", "suspend",  "resume", "off",   "on",
    "refuse", "allow", "override", "cancel", "reload"};

// A producer address as the lists take it: an IPv4 address or a prefix
// ending in "*", at most 15 characters of digits, dots and one final star.
bool addressPattern(std::string_view text) {
  if (text.empty() || text.size() > 15) return false;
  const std::size_t star = text.find('*');
  if (star != std::string_view::npos && star != text.size() - 1) return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || c == '.' || c == '*'; });
}

}  // namespace

std::string_view actionName(ControlAction action) {
  return kNames[static_cast<std::size_t>(action)];
}

std::size_t actionOf(std::string_view verb) {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (kNames[i] == verb) return i;
  }
  return kNames.size();
}

void Dispatcher::actionDone(ControlAction action, const std::string& who, const std::string& line) {
  ++controlCounts_[static_cast<std::size_t>(action)];
  log("Operator " + (who.empty() ? std::string("?") : who) + " " + line);
}

// One line in the log for each action done, naming who did it; a refusal
// says why and changes nothing.
Result<std::string> Dispatcher::control(const ControlRequest& request) {
  const auto encoderNamed = [&](const std::string& name) -> int {
    for (std::size_t i = 0; i < encoders_.size(); ++i) {
      if (upperAscii(encoders_[i].name) == upperAscii(name)) return static_cast<int>(i);
    }
    return -1;
  };
  const auto done = [&](const std::string& line, std::string answer) -> Result<std::string> {
    actionDone(request.action, request.who, line);
    return answer;
  };
  const ControlAction action = request.action;
  if (action == ControlAction::Refuse || action == ControlAction::Allow) {
    if (!addressPattern(request.target)) {
      return Error{1, "not a producer address or pattern: " + request.target};
    }
    intake_.setAccess(request.target, action == ControlAction::Allow);
    return done(
        (action == ControlAction::Allow ? "allowed producers from " : "refused producers from ") +
            request.target + " for this run",
        "done");
  }
  if (action == ControlAction::Send) {
    if (request.text.empty()) return Error{1, "nothing to send"};
    if (!request.target.empty() && encoderNamed(request.target) < 0) {
      return Error{1, "no encoder named " + request.target};
    }
    // A line typed at a prompt has no line end: it gets the producers' one.
    std::string command = request.text;
    if (!command.ends_with('\r') && !command.ends_with('\n')) command += '\r';
    const std::uint64_t before = counters_.queued;
    queueCommand(command, Destination{.name = request.target, .encoder = -1});
    const std::uint64_t queued = counters_.queued - before;
    if (queued == 0) return Error{1, "no encoder that is on takes it"};
    std::string shown = request.text;
    while (!shown.empty() && (shown.back() == '\r' || shown.back() == '\n')) shown.pop_back();
    std::replace(shown.begin(), shown.end(), '\r', ' ');
    std::replace(shown.begin(), shown.end(), '\n', ' ');
    if (shown.size() > 80) shown = shown.substr(0, 80) + "...";
    return done("sent " + shown + " to " +
                    (request.target.empty() ? std::string("every encoder") : request.target) +
                    " - " + std::to_string(queued) + " queued",
                std::to_string(queued) + " queued");
  }
  if (action == ControlAction::Override || action == ControlAction::Cancel ||
      action == ControlAction::Reload) {
    return Error{1, "not for the dispatcher: " + std::string(actionName(action))};
  }
  const int encoder = encoderNamed(request.target);
  if (encoder < 0) return Error{1, "no encoder named " + request.target};
  Encoder& e = encoders_[static_cast<std::size_t>(encoder)];
  switch (action) {
    case ControlAction::Clear: {
      const std::size_t n =
          queues_.removeWaiting(encoder, [](const QueuedCommand&) { return true; });
      counters_.cleared += n;
      refreshQueueColumn(encoder);
      return done("cleared the queue of " + e.name + " - " + std::to_string(n) + " commands",
                  std::to_string(n) + " cleared");
    }
    case ControlAction::Suspend:
      if (!e.enabled) return Error{1, e.name + " is off"};
      if (!e.active) return Error{1, e.name + " is suspended already"};
      suspend(encoder);
      return done("suspended " + e.name, "suspended");
    case ControlAction::Resume:
      if (!e.enabled) return Error{1, e.name + " is off: switch it on"};
      e.active = true;
      e.errorsInRow = 0;
      table_.setCell(kColEnabled, encoder + 1, "Yes");
      dispatchTimer_.wake();
      return done("resumed " + e.name, "resumed");
    case ControlAction::Off:
      if (!e.enabled) return Error{1, e.name + " is off already"};
      e.enabled = false;
      e.active = false;
      table_.setCell(kColEnabled, encoder + 1, "No");
      return done("switched off " + e.name + " for this run", "off");
    case ControlAction::On:
      if (e.enabled) return Error{1, e.name + " is on already"};
      e.enabled = true;
      e.active = true;
      e.errorsInRow = 0;
      table_.setCell(kColEnabled, encoder + 1, "Yes");
      dispatchTimer_.wake();
      return done("switched on " + e.name, "on");
    default:
      return Error{1, "not an action"};
  }
}

}  // namespace varnok
