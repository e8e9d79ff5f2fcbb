#include "encoder/link.h"

#include "encoder/serial_link.h"
#include "encoder/tcp_link.h"
#include "encoder/udp_link.h"

namespace varnok {

std::unique_ptr<EncoderLink> makeLink(EventLoop& loop, Transport transport) {
  switch (transport) {
    case Transport::Udp:
      return std::make_unique<UdpLink>(loop);
    case Transport::Serial:
      return std::make_unique<SerialLink>(loop);
    case Transport::Tcp:
      break;
  }
  return std::make_unique<TcpLink>(loop);
}

}  // namespace varnok
