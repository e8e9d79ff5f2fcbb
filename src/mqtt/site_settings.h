#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/ini_file.h"

namespace varnok::mqtt {

// The [MQTT] section as start-up reads it. Off (enabled false) without a
// Broker, or when something that would make the site misbehave is wrong;
// such a problem is noted for the log.
struct SiteSettings {
  bool enabled = false;
  std::string broker;  // host name or address
  int port = 1883;
  std::string clientId;
  std::string username;
  std::string passwordFile;  // resolved
  std::string password;      // its first line
  std::string caFile, certFile, keyFile;
  std::vector<std::string> topics;  // subscription filters
  int qos = 1;
  int keepAlive = 30;  // seconds, at least 5
  std::string statusTopic;
  std::string nowPlayingTopic;  // empty: none
  // Why the site is off although a Broker is set: one log line, logged when
  // the site would open.
  std::string problem;
  bool operator==(const SiteSettings&) const = default;
};

// hostName and the program folder's name make the default client id,
// "varnok-<host name>-<program folder name>".
SiteSettings readSiteSettings(const IniFile& ini, const std::string& programFolder,
                              const std::string& hostName);

// Whether an MQTT subscription filter matches a topic ('+' one level, '#'
// the rest; '$' topics only by filters that name them).
bool filterMatches(const std::string& filter, const std::string& topic);

// What a message on a topic asks for: now playing, one encoder by name, or
// every encoder.
struct Route {
  enum class Kind { NowPlaying, Encoder, Everyone };
  Kind kind = Kind::Everyone;
  std::string encoder;  // Kind::Encoder: the name after "/encoder/"
};
Route routeOf(const std::string& topic, const std::string& nowPlayingTopic);

}  // namespace varnok::mqtt
