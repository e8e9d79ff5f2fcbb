#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace varnok {

// How an encoder is reached.
enum class Transport { Tcp, Udp, Serial };

// Where one link goes: host and port over TCP or UDP, a device over a
// serial line.
struct LinkTarget {
  Transport transport = Transport::Tcp;
  std::string host;
  std::uint16_t port = 0;
  std::string device;
  int baud = 9600;
  bool rtsCts = false;
  // The largest command one datagram may carry; a larger one is refused.
  std::size_t maxDatagram = 1472;
  bool operator==(const LinkTarget&) const = default;
};

}  // namespace varnok
