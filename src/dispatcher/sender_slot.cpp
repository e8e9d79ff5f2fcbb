#include "dispatcher/sender_slot.h"

namespace varnok {

SenderSlot::SenderSlot(EventLoop& loop, int index)
    : index_(index), client_(loop), idleTimer_(loop), stayTimer_(loop) {
  idleTimer_.setInterval(traits().idleMs);
  stayTimer_.setInterval(traits().stayMs);
}

void SenderSlot::dial(int encoder, const std::string& host, std::uint16_t port) {
  client_.setHost(host);
  client_.setPort(port);
  encoder_ = encoder;
  dialled_ = encoder;
  connection_ = Connection{};
  client_.setConnected(true);
}

void SenderSlot::established() {
  connected_ = true;
  // ErrorsInRow goes back to 0 once a command has gone out on it, not here:
  // an encoder that takes connections and drops them must still add up.
  connection_ = Connection{};
  stayTimer_.setEnabled(true);
  idleTimer_.setEnabled(true);
}

void SenderSlot::release() {
  encoder_ = kNone;
  connected_ = false;
}

void SenderSlot::close() {
  connection_.closedByUs = true;
  client_.setConnected(false);
}

void SenderSlot::stopTimers() {
  stayTimer_.setEnabled(false);
  idleTimer_.setEnabled(false);
}

void SenderSlot::restartIdleTimer() {
  idleTimer_.setEnabled(false);
  idleTimer_.setEnabled(true);
}

}  // namespace varnok
