#pragma once

#include <cstdint>
#include <string>

#include "platform/ini_file.h"

namespace varnok::status {

// The [Status] section: where the status window listens.
struct PageSettings {
  std::uint16_t httpPort = 0;  // 0: no window
  std::string httpAddress = "127.0.0.1";
  // TLS for the page and the console (both PEM files, absolute or in the
  // program folder); a reverse proxy whose X-Forwarded-For counts.
  std::string certFile, keyFile;
  std::string trustedProxy;
  // The console's users (absolute or in the program folder).
  std::string usersFile = "varnok.users";
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
  s.certFile = ini.readString("Status", "CertFile", "");
  s.keyFile = ini.readString("Status", "KeyFile", "");
  s.trustedProxy = ini.readString("Status", "TrustedProxy", "");
  s.usersFile = ini.readString("Status", "UsersFile", "varnok.users");
  if (s.usersFile.empty()) s.usersFile = "varnok.users";
  return s;
}

}  // namespace varnok::status
