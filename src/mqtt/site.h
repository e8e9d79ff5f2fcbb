#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "mqtt/broker_client.h"
#include "mqtt/site_settings.h"
#include "platform/event_loop.h"

namespace varnok {
class Dispatcher;
}
namespace varnok::nowplaying {
class NowPlaying;
}

namespace varnok::mqtt {

class BrokerClient;

// One transmitter site's link to the broker: every message on its
// subscriptions is one command, as a TCP producer would have written it (for
// every enabled encoder, or for one by name when the topic ends in
// "/encoder/<Name>"); a message on the now-playing topic is a now-playing
// update. What the broker hands over counts toward the producers' total
// backlog bound, and while that bound holds the producers the broker is not
// read either. The site's status goes out retained on its status topic when
// it connects and at most once a second while something changes; its will,
// and its last word on a clean exit, is {"online": false}.
//
// Ownership: owns its broker client and timer; the dispatcher, its loop and
// the now-playing service (if any) must outlive it.
class Site {
 public:
  // The site's status as its publishers make it: online gives the current
  // one (stamped false leaves out what changes every second, the time it was
  // produced, so that two can be compared); offline is what the broker
  // publishes once the site has gone.
  struct StatusJson {
    std::function<std::string(bool stamped)> online;
    std::string offline;
  };

  Site(Dispatcher& dispatcher, nowplaying::NowPlaying* nowPlaying, SiteSettings settings,
       StatusJson status);
  ~Site();
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  void start();
  // Publishes the last word and lets the broker go.
  void stop();

  const SiteSettings& settings() const { return settings_; }
  bool connected() const;

 private:
  void message(const Message& m);
  // One line a minute at most for each topic whose messages are too large.
  void refuse(const std::string& topic, std::size_t bytes, std::size_t limit);
  void publishStatus(bool force);

  Dispatcher& dispatcher_;
  nowplaying::NowPlaying* nowPlaying_;
  SiteSettings settings_;
  StatusJson status_;
  std::unique_ptr<BrokerClient> client_;
  Timer statusTimer_;
  std::string lastStatus_;
  std::map<std::string, std::int64_t> refusedLoggedAtMs_;  // by topic
};

// The site the settings ask for, started: none without [MQTT] Broker (or
// when its settings are refused, which is logged here).
std::unique_ptr<Site> openSite(Dispatcher& dispatcher, nowplaying::NowPlaying* nowPlaying,
                               SiteSettings settings, Site::StatusJson status);

}  // namespace varnok::mqtt
