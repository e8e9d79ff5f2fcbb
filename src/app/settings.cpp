#include "app/settings.h"

namespace varnok {

Settings readSettings(const std::string& programFolder, const std::string& hostName) {
  const IniFile ini = readConfigurationFile(programFolder);
  Settings s;
  s.configurationRead = ini.loaded();
  s.statusPage = status::readPageSettings(ini);
  s.nowPlaying = nowplaying::readSettings(ini, programFolder);
  s.dispatcher =
      readDispatcherSettings(ini, programFolder, [&](const std::string& section, int index) {
        nowplaying::readEncoderKeys(ini, section, index, s.nowPlaying);
      });
  s.site = mqtt::readSiteSettings(ini, programFolder, hostName);
  // The broker's secrets are not to be read through the watched file either.
  if (s.nowPlaying.file) {
    for (const std::string* secret : {&s.site.passwordFile, &s.site.keyFile}) {
      if (!secret->empty()) s.nowPlaying.file->secretFiles.push_back(*secret);
    }
  }
  return s;
}

}  // namespace varnok
