#pragma once

#include <string>

#include "dispatcher/dispatcher_config.h"
#include "mqtt/site_settings.h"
#include "nowplaying/now_playing.h"
#include "status/page_settings.h"

namespace varnok {

// Everything varnok.ini says, read in one pass into plain values that each
// part takes as it starts. Reading again later and comparing field by field
// tells what has changed.
struct Settings {
  DispatcherSettings dispatcher;
  status::PageSettings statusPage;
  nowplaying::Settings nowPlaying;
  mqtt::SiteSettings site;
  // varnok.ini was there and could be read (without it, every value is
  // its default).
  bool configurationRead = false;
  bool operator==(const Settings&) const = default;
};

// The settings of the program folder (with its trailing "/"); hostName
// makes the broker's default client id. Nothing is logged here: what could
// not be used is noted in the part's settings and logged when it starts.
Settings readSettings(const std::string& programFolder, const std::string& hostName);

}  // namespace varnok
