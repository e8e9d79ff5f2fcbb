#pragma once

// This machine's own IPv4 addresses: where a connection would come straight
// back to a listener of this process.

#include <netinet/in.h>

#include <vector>

namespace varnok::net {

// The IPv4 addresses of this machine's interfaces as they are at the call, in
// network byte order. Read with the SIOCGIFCONF ioctl on a datagram socket,
// not over netlink, which a service confined to IPv4, IPv6 and Unix sockets
// may not open. Empty when they cannot be read (no descriptor left).
std::vector<in_addr_t> interfaceAddresses();

// Whether a connection to address (network byte order) stays on this
// machine: 0.0.0.0, anything in 127.0.0.0/8, or an address of one of its
// interfaces. The interfaces are read afresh at each call, as addresses come
// and go while the program runs; a call costs a socket and one ioctl.
bool isThisMachine(in_addr_t address);

}  // namespace varnok::net
