#include "nowplaying/update.h"

namespace varnok::nowplaying {

std::string_view sourceName(Source source) {
  switch (source) {
    case Source::Http:
      return "http";
    case Source::File:
      return "file";
    case Source::Broker:
      return "mqtt";
    case Source::Udp:
      return "udp";
    case Source::Metadata:
      return "metadata";
  }
  return "unknown";
}

}  // namespace varnok::nowplaying
