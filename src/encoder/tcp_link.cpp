#include "encoder/tcp_link.h"

#include <algorithm>

namespace varnok {

TcpLink::TcpLink(EventLoop& loop) : client_(loop) {
  client_.mayConnect = [this](const sockaddr_in& target) { return !mayDial || mayDial(target); };
  client_.onConnected = [this] { connected(); };
  client_.onDisconnected = [this] {
    if (onDisconnected) onDisconnected();
  };
  client_.onRead = [this](std::string_view bytes) {
    if (onRead) onRead(bytes);
  };
  client_.onWritten = [this] {
    if (onWritten) onWritten();
  };
  client_.onError = [this](int code, const std::string& text) {
    lastError_ = Error{code, text};
    if (onError) onError(code, text);
  };
}

Result<> TcpLink::open(const LinkTarget& target) {
  client_.setHost(target.host);
  client_.setPort(target.port);
  bytesSent_ = 0;
  commandEnds_.clear();
  return client_.setConnected(true);
}

// The acknowledgement count runs on the socket's own scale from the SYN on:
// only what comes after the connect counts.
void TcpLink::connected() {
  ackBase_ = client_.bytesAcknowledged();
  bytesSent_ = 0;
  commandEnds_.clear();
  if (onConnected) onConnected();
}

Result<> TcpLink::send(std::string_view command) {
  bytesSent_ += command.size();
  commandEnds_.push_back(bytesSent_);
  if (client_.send(command) >= 0) return {};
  return lastError_;  // reported by now
}

std::uint64_t TcpLink::bytesTaken() const {
  const std::uint64_t total = client_.bytesAcknowledged();
  if (total < ackBase_) return 0;
  return std::min(total - ackBase_, bytesSent_);
}

std::size_t TcpLink::settle() {
  if (commandEnds_.empty()) return 0;
  const std::uint64_t taken = bytesTaken();
  std::size_t settled = 0;
  while (!commandEnds_.empty() && commandEnds_.front() <= taken) {
    commandEnds_.pop_front();
    ++settled;
  }
  return settled;
}

}  // namespace varnok
