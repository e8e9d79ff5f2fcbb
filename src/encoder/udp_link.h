#pragma once

#include <deque>
#include <memory>
#include <string>

#include "encoder/link.h"
#include "net/async_resolver.h"
#include "platform/liveness.h"
#include "platform/unique_fd.h"

namespace varnok {

// A link over UDP: one datagram per command, to the target's address (a
// name is looked up without holding up the loop). "Connected" once the
// socket is bound to that address; a datagram the kernel took counts as
// taken at the next settle, unless the encoder's host answered "port
// unreachable" first: then the link ends as a failed attempt and what was
// not settled is lost. A command above maxDatagram is refused, never cut.
class UdpLink final : public EncoderLink {
 public:
  explicit UdpLink(EventLoop& loop);
  ~UdpLink() override;

  Transport transport() const override { return Transport::Udp; }
  bool canChangeTarget(const LinkTarget& target) const override {
    return !open_ || target == target_;
  }
  Result<> open(const LinkTarget& target) override;
  void close() override;
  bool connected() const override { return connected_; }
  bool failedForWantOfResources() const override { return wantedResources_; }
  bool endedUnreachable() const override { return unreachable_; }

  Result<> send(std::string_view command) override;
  std::size_t pendingOutput() const override { return pendingBytes_; }
  std::size_t commandsInFlight() const override { return unsettled_; }
  std::uint64_t bytesInFlight() const override { return unsettledBytes_; }
  std::uint64_t bytesTaken() const override { return taken_; }
  std::size_t settle() override;

 private:
  void connectTo(in_addr_t address);
  void ready(std::uint32_t events);
  void flush();
  // Ends the link on err (an errno value): closes, then onDisconnected and
  // onError.
  Error fail(int err);
  void stop();

  EventLoop& loop_;
  LinkTarget target_;
  UniqueFd socket_;
  std::unique_ptr<net::ResolveRequest> resolving_;
  bool open_ = false;
  bool connected_ = false;
  bool wantedResources_ = false;
  bool unreachable_ = false;
  std::deque<std::string> pending_;  // datagrams the socket could not take yet
  std::size_t pendingBytes_ = 0;
  std::size_t unsettled_ = 0;  // commands sent since the last settle
  std::uint64_t unsettledBytes_ = 0;
  std::uint64_t taken_ = 0;
  Error lastError_;  // the last one reported, for a call that failed
  Liveness life_;
};

}  // namespace varnok
