#include <netdb.h>
#include <sys/socket.h>

#include "net/async_resolver.h"
#include "net/simple_tcp.h"

namespace varnok::net {
namespace {

HostResolver& installedResolver() {
  static HostResolver resolver;
  return resolver;
}

std::optional<in_addr_t> systemResolve(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  std::optional<in_addr_t> result;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
      result = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  freeaddrinfo(found);
  return result;
}

}  // namespace

void setHostResolver(HostResolver resolver) {
  installedResolver() = std::move(resolver);
}

const HostResolver& installedHostResolver() {
  return installedResolver();
}

std::optional<in_addr_t> resolveHost(const std::string& host) {
  const HostResolver& resolver = installedResolver();
  if (resolver) return resolver(host);
  return systemResolve(host);
}

}  // namespace varnok::net
