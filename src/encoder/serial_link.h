#pragma once

#include <deque>
#include <string>

#include "encoder/link.h"
#include "platform/liveness.h"
#include "platform/unique_fd.h"

namespace varnok {

// A link over a serial line (8N1 at the target's rate, RTS/CTS flow control
// when asked), driven non-blocking on the loop. "Connecting" is opening and
// configuring the device; anything but a terminal device (a FIFO, a regular
// file) is refused. Bytes count as taken once they have left the driver's
// output queue. A device that goes away (an unplugged USB adapter: EIO,
// ENXIO, ENODEV, a hang-up) ends the link like a reset.
class SerialLink final : public EncoderLink {
 public:
  explicit SerialLink(EventLoop& loop);
  ~SerialLink() override;

  Transport transport() const override { return Transport::Serial; }
  bool canChangeTarget(const LinkTarget& target) const override {
    return !device_ || target == target_;
  }
  Result<> open(const LinkTarget& target) override;
  void close() override;
  bool connected() const override { return connected_; }
  bool failedForWantOfResources() const override { return wantedResources_; }

  Result<> send(std::string_view command) override;
  std::size_t pendingOutput() const override { return output_.size() - written_; }
  std::size_t commandsInFlight() const override { return commandEnds_.size(); }
  std::uint64_t bytesInFlight() const override { return bytesSent_ - bytesTaken(); }
  std::uint64_t bytesTaken() const override;
  std::size_t settle() override;

 private:
  Result<> configure();
  void ready(std::uint32_t events);
  void flush();
  Error fail(int err);
  void stop();

  EventLoop& loop_;
  LinkTarget target_;
  UniqueFd device_;
  bool connected_ = false;
  bool wantedResources_ = false;
  std::string output_;  // what the device has not taken yet, from written_ on
  std::size_t written_ = 0;
  std::uint64_t bytesSent_ = 0;            // handed to send on this opening
  std::uint64_t bytesWritten_ = 0;         // written into the driver
  std::deque<std::uint64_t> commandEnds_;  // on the bytesSent_ scale, oldest first
  Error lastError_;
  Liveness life_;
};

}  // namespace varnok
