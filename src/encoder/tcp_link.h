#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "encoder/link.h"
#include "net/tcp_client.h"

namespace varnok {

// A link over an outgoing TCP connection. A command counts as taken once the
// peer's TCP stack has acknowledged its last byte.
class TcpLink final : public EncoderLink {
 public:
  explicit TcpLink(EventLoop& loop);

  Transport transport() const override { return Transport::Tcp; }
  bool canChangeTarget(const LinkTarget& target) const override {
    return target.transport == Transport::Tcp ? client_.canChangeTarget(target.host, target.port)
                                              : !client_.isOpen();
  }
  Result<> open(const LinkTarget& target) override;
  void close() override { client_.setConnected(false); }
  bool connected() const override { return client_.connected(); }
  bool failedForWantOfResources() const override { return client_.failedForWantOfResources(); }

  Result<> send(std::string_view command) override;
  std::size_t pendingOutput() const override { return client_.pendingOutput(); }
  std::size_t commandsInFlight() const override { return commandEnds_.size(); }
  std::uint64_t bytesInFlight() const override { return bytesSent_ - bytesTaken(); }
  std::uint64_t bytesTaken() const override;
  std::size_t settle() override;

 private:
  void connected();

  net::TcpClient client_;
  std::uint64_t ackBase_ = 0;    // the socket's acknowledgement count at connect
  std::uint64_t bytesSent_ = 0;  // handed to the socket on this connection
  // Where each command not yet acknowledged whole ends, on the bytesSent_
  // scale, oldest first.
  std::deque<std::uint64_t> commandEnds_;
  Error lastError_;  // the last one reported, for a send that failed
};

}  // namespace varnok
