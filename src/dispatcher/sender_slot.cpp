#include "dispatcher/sender_slot.h"

#include <algorithm>

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
  connection_ = Connection{};
  connection_.ackBase = client_.bytesAcknowledged();
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

void SenderSlot::send(const std::string& command) {
  connection_.bytesSent += command.size();
  connection_.commandEnds.push_back(connection_.bytesSent);
  client_.send(command);
}

std::uint64_t SenderSlot::bytesAcknowledged() const {
  const std::uint64_t total = client_.bytesAcknowledged();
  if (total < connection_.ackBase) return 0;
  return std::min(total - connection_.ackBase, connection_.bytesSent);
}

std::size_t SenderSlot::settleAcknowledged() {
  std::deque<std::uint64_t>& ends = connection_.commandEnds;
  if (ends.empty()) return 0;
  const std::uint64_t acked = bytesAcknowledged();
  std::size_t settled = 0;
  while (!ends.empty() && ends.front() <= acked) {
    ends.pop_front();
    ++settled;
  }
  return settled;
}

void SenderSlot::restartIdleTimer() {
  idleTimer_.setEnabled(false);
  idleTimer_.setEnabled(true);
}

}  // namespace varnok
