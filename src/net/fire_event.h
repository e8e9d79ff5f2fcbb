#pragma once

// Internal to the socket layer.

#include <utility>

namespace varnok::net {

// Calls a component event when one is assigned, through a copy: a handler may
// reassign the event, or close the component, without freeing the closure
// that is running.
template <class Event, class... Args>
void fireEvent(const Event& event, Args&&... args) {
  if (!event) return;
  Event handler = event;
  handler(std::forward<Args>(args)...);
}

}  // namespace varnok::net
