#include "net/async_resolver.h"
#include "net/simple_tcp.h"

namespace varnok::net {
namespace {

HostResolver& installedResolver() {
  static HostResolver resolver;
  return resolver;
}

}  // namespace

void setHostResolver(HostResolver resolver) {
  installedResolver() = std::move(resolver);
}

const HostResolver& installedHostResolver() {
  return installedResolver();
}

}  // namespace varnok::net
