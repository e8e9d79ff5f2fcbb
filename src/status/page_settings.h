#pragma once

#include <cstdint>
#include <string>

#include "platform/ini_file.h"

namespace varnok::status {

// The [Status] section: where the status window listens.
struct PageSettings {
  std::uint16_t httpPort = 0;  // 0: no window
  std::string httpAddress = "127.0.0.1";
  bool operator==(const PageSettings&) const = default;
};

// Outside 1..65535 (0 by default) the window stays closed; an empty
// address is the loopback one.
inline PageSettings readPageSettings(const IniFile& ini) {
  PageSettings s;
  const std::int32_t port = ini.readInteger("Status", "HttpPort", 0);
  s.httpPort = port >= 1 && port <= 65535 ? static_cast<std::uint16_t>(port) : 0;
  s.httpAddress = ini.readString("Status", "HttpAddress", "127.0.0.1");
  if (s.httpAddress.empty()) s.httpAddress = "127.0.0.1";
  return s;
}

}  // namespace varnok::status
