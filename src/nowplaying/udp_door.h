#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dispatcher/access_list.h"
#include "nowplaying/metadata.h"
#include "platform/event_loop.h"
#include "platform/unique_fd.h"

namespace varnok::nowplaying {

// Now-playing items over UDP, as playout plug-ins send them: one datagram is
// one item, in the file's format and encoding. Senders are matched against
// an allow list (the vip list's patterns; empty: any) - a filter against
// mistakes, not authentication: a UDP source address is easily forged.
// Datagrams from elsewhere, and ones that cannot be read, are dropped; the
// log gets the first of each kind and then one summary line a minute, so a
// flood cannot fill it. At most kBurst datagrams are read per wake-up, so a
// flood cannot hold up the loop either.
//
// Ownership: owns its socket and timer; the loop outlives it.
class UdpDoor {
 public:
  static constexpr std::size_t kMaxDatagram = 16 * 1024;
  static constexpr int kBurst = 64;
  static constexpr int kSummaryMs = 60 * 1000;

  struct Settings {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;
    std::vector<std::string> allow;
    FileFormat format = FileFormat::Line;
    FileEncoding encoding = FileEncoding::Utf8;
    Keys keys;
  };

  UdpDoor(EventLoop& loop, Settings settings, std::function<void(const Update&)> onItem,
          std::function<void(const std::string&)> log);
  ~UdpDoor();
  UdpDoor(const UdpDoor&) = delete;
  UdpDoor& operator=(const UdpDoor&) = delete;

  // Binds and starts taking datagrams; false (logged) when the address
  // cannot be had.
  bool start();
  std::uint16_t port() const { return boundPort_; }
  std::uint64_t taken() const { return taken_; }
  std::uint64_t dropped() const { return dropped_; }

 private:
  void readable();
  void take(std::string_view datagram, const std::string& from);
  void summarise();

  EventLoop& loop_;
  Settings settings_;
  std::function<void(const Update&)> onItem_;
  std::function<void(const std::string&)> log_;
  AccessList allow_;
  UniqueFd socket_;
  std::uint16_t boundPort_ = 0;
  std::string where_;
  std::vector<char> buffer_;
  Timer summary_;
  std::uint64_t taken_ = 0;
  std::uint64_t dropped_ = 0;
  // Since the last summary line: dropped for their sender, refused for
  // their content, and the last sender of each.
  std::uint64_t notAllowed_ = 0, unreadable_ = 0;
  std::string lastNotAllowed_, lastUnreadable_;
  bool notAllowedTold_ = false, unreadableTold_ = false;
};

}  // namespace varnok::nowplaying
