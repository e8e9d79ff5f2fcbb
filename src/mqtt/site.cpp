#include "mqtt/site.h"

#include "dispatcher/dispatcher.h"
#include "mqtt/broker_client.h"
#include "nowplaying/metadata.h"
#include "nowplaying/now_playing.h"

namespace varnok::mqtt {
namespace {

constexpr int kStatusEveryMs = 1000;
constexpr std::size_t kMaxCommandBytes = 64 * 1024;     // one producer read
constexpr std::size_t kMaxNowPlayingBytes = 16 * 1024;  // a POST /nowplaying body
constexpr std::int64_t kRefusalLogEveryMs = 60 * 1000;

}  // namespace

Site::Site(Dispatcher& dispatcher, nowplaying::NowPlaying* nowPlaying, SiteSettings settings,
           StatusJson status)
    : dispatcher_(dispatcher),
      nowPlaying_(nowPlaying),
      settings_(std::move(settings)),
      status_(std::move(status)),
      statusTimer_(dispatcher.loop()) {
  BrokerSettings client;
  client.host = settings_.broker;
  client.port = settings_.port;
  client.clientId = settings_.clientId;
  client.username = settings_.username;
  client.password = settings_.password;
  client.tls = {settings_.caFile, settings_.certFile, settings_.keyFile};
  client.keepAliveSeconds = settings_.keepAlive;
  for (const std::string& filter : settings_.topics) {
    client.subscriptions.push_back({filter, settings_.qos});
  }
  client.will = LastWill{settings_.statusTopic, status_.offline, 1, true};
  client.maxPayloadBytes = kMaxCommandBytes;
  client_ = std::make_unique<BrokerClient>(dispatcher_.loop(), std::move(client));
  client_->setLog([this](std::string line) { dispatcher_.log(line); });
  client_->setOnConnected([this] { publishStatus(true); });
  client_->setOnMessage([this](const Message& m) { message(m); });
  // While the backlog holds the broker unread, the site's status goes out
  // again now and then, so that the broker does not take the site for gone.
  client_->setKeepAliveMessage([this] {
    return Message{settings_.statusTopic, status_.online(true), 0, true, 0};
  });
  statusTimer_.setInterval(kStatusEveryMs);
  statusTimer_.setOnTimer([this] { publishStatus(false); });
  // Pushback: while the producers' total backlog holds every producer, the
  // broker is not read either (the session keeps what it has not handed over).
  dispatcher_.setOnProducersHeld([this](bool held) { client_->setReadPaused(held); });
}

Site::~Site() {
  dispatcher_.setOnProducersHeld({});
}

void Site::start() {
  if (!client_->start()) return;
  statusTimer_.setEnabled(true);
  if (dispatcher_.producersHeld()) client_->setReadPaused(true);
}

void Site::stop() {
  statusTimer_.setEnabled(false);
  client_->stop(Message{settings_.statusTopic, status_.offline, 1, true});
}

bool Site::connected() const {
  return client_->connected();
}

// The other doors' bounds: a command as one TCP read takes it, an update as
// POST /nowplaying takes it. A larger message is refused whole, never cut.
void Site::message(const Message& m) {
  const std::string& topic = m.topic;
  const std::string& payload = m.payload;
  const Route route = routeOf(topic, settings_.nowPlayingTopic);
  const std::size_t limit =
      route.kind == Route::Kind::NowPlaying ? kMaxNowPlayingBytes : kMaxCommandBytes;
  if (m.refusedBytes > 0 || payload.size() > limit) {
    refuse(topic, std::max(m.refusedBytes, payload.size()), limit);
    return;
  }
  if (payload.empty()) return;
  const CommandOrigin origin{.source = CommandSource::Broker, .deadlineMs = 0};
  switch (route.kind) {
    case Route::Kind::NowPlaying: {
      if (nowPlaying_ == nullptr) {
        dispatcher_.log("MQTT now playing dropped - no now playing is configured (" + topic + ")");
        return;
      }
      // JSON or XML by its first character, else a plain "Artist - Title".
      using Kind = nowplaying::NowPlaying::BodyKind;
      const std::size_t bom = payload.starts_with("\xEF\xBB\xBF") ? 3 : 0;
      const std::size_t first = payload.find_first_not_of(" \t\r\n", bom);
      const char lead = first == std::string::npos ? ' ' : payload[first];
      const Kind kind = lead == '{' ? Kind::Json : lead == '<' ? Kind::Xml : Kind::Line;
      const auto posted = nowPlaying_->post(kind, payload, nowplaying::Source::Broker);
      if (!posted.error.empty()) {
        dispatcher_.log("MQTT now playing dropped - " + posted.error + " (" + topic + ")");
      }
      return;
    }
    case Route::Kind::Encoder: {
      const std::string wanted = upperAscii(route.encoder);
      bool known = false;
      for (const Encoder& e : dispatcher_.encoders()) {
        known = known || (e.enabled && upperAscii(e.name) == wanted);
      }
      if (!known) {
        dispatcher_.log("MQTT message for unknown encoder " + route.encoder + " dropped (" + topic +
                        ")");
        return;
      }
      dispatcher_.queueProducedCommand(payload, Destination{.name = route.encoder, .encoder = -1},
                                       origin);
      return;
    }
    case Route::Kind::Everyone:
      dispatcher_.queueProducedCommand(payload, Destination{}, origin);
      return;
  }
}

void Site::refuse(const std::string& topic, std::size_t bytes, std::size_t limit) {
  const std::int64_t nowMs = dispatcher_.loop().clock().monotonicMs();
  const auto last = refusedLoggedAtMs_.find(topic);
  if (last != refusedLoggedAtMs_.end() && nowMs - last->second < kRefusalLogEveryMs) return;
  // Topics come from outside: what is remembered of them stays small.
  if (refusedLoggedAtMs_.size() >= 1024) refusedLoggedAtMs_.clear();
  refusedLoggedAtMs_[topic] = nowMs;
  dispatcher_.log("MQTT message refused - " + std::to_string(bytes) + " bytes, more than " +
                  std::to_string(limit) + " (" + topic + ")");
}

// Published when something has changed since the last one (the time it was
// produced aside), at most once a second; on every connect in any case.
void Site::publishStatus(bool force) {
  if (!client_->connected()) return;
  std::string now = status_.online(false);
  if (!force && now == lastStatus_) return;
  // While reading is paused no acknowledgement could be read: QoS 0 then.
  const int qos = client_->readPaused() ? 0 : 1;
  if (client_->publish(settings_.statusTopic, status_.online(true), qos, true))
    lastStatus_ = std::move(now);
}

std::unique_ptr<Site> openSite(Dispatcher& dispatcher, nowplaying::NowPlaying* nowPlaying,
                               SiteSettings settings, Site::StatusJson status) {
  if (!settings.problem.empty()) dispatcher.log(settings.problem);
  if (!settings.enabled) return nullptr;
  auto site =
      std::make_unique<Site>(dispatcher, nowPlaying, std::move(settings), std::move(status));
  site->start();
  return site;
}

}  // namespace varnok::mqtt
