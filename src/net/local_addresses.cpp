#include "net/local_addresses.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "platform/unique_fd.h"

namespace varnok::net {

std::vector<in_addr_t> interfaceAddresses() {
  std::vector<in_addr_t> addresses;
  const UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!probe) return addresses;
  // Without a buffer the kernel answers with the length it needs. An
  // interface may come up between the two calls: a full buffer may have
  // been cut short, so it is asked again with more room.
  ifconf conf{};
  if (::ioctl(probe.get(), SIOCGIFCONF, &conf) != 0) return addresses;
  std::size_t room = static_cast<std::size_t>(conf.ifc_len) / sizeof(ifreq) + 4;
  std::vector<ifreq> entries;
  for (int attempt = 0; attempt < 4; ++attempt, room *= 2) {
    entries.assign(room, ifreq{});
    conf.ifc_len = static_cast<int>(room * sizeof(ifreq));
    conf.ifc_req = entries.data();
    if (::ioctl(probe.get(), SIOCGIFCONF, &conf) != 0) return addresses;
    if (static_cast<std::size_t>(conf.ifc_len) < room * sizeof(ifreq)) break;
  }
  const std::size_t count =
      std::min(entries.size(), static_cast<std::size_t>(conf.ifc_len) / sizeof(ifreq));
  for (std::size_t i = 0; i < count; ++i) {
    if (entries[i].ifr_addr.sa_family != AF_INET) continue;
    sockaddr_in address{};
    std::memcpy(&address, &entries[i].ifr_addr, sizeof address);
    addresses.push_back(address.sin_addr.s_addr);
  }
  return addresses;
}

bool isThisMachine(in_addr_t address) {
  const in_addr_t host = ntohl(address);
  if (host == INADDR_ANY || (host >> 24) == 127) return true;
  const std::vector<in_addr_t> own = interfaceAddresses();
  return std::find(own.begin(), own.end(), address) != own.end();
}

}  // namespace varnok::net
