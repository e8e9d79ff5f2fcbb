#include "mqtt/broker_client.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <mutex>

#include "net/async_resolver.h"

namespace varnok::mqtt {

// What a libmosquitto callback saw, handed out after the library call.
struct BrokerClient::Event {
  enum class Kind { Connack, Disconnect, Suback };
  Kind kind;
  std::uint64_t attempt;  // events of an abandoned attempt are dropped
  int rc = 0;
  int savedErrno = 0;
  int mid = 0;
  std::vector<int> granted;
};

namespace {

constexpr int kSubackFailure = 0x80;
constexpr int kMaxReadsPerWakeup = 64;
// Connections in a row that end before they settle before their likely
// cause is logged: one may be a broker restarting.
constexpr int kShortLivedBeforeTold = 3;

void initLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    mosquitto_lib_init();
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      std::signal(SIGPIPE, SIG_IGN);
    }
  });
}

bool isNumericAddress(const std::string& host) {
  in_addr a{};
  return ::inet_pton(AF_INET, host.c_str(), &a) == 1;
}

std::string connackText(int code) {
  switch (code) {
    case 1:
      return "unacceptable protocol version";
    case 2:
      return "client id rejected";
    case 3:
      return "broker unavailable";
    case 4:
      return "bad user name or password";
    case 5:
      return "not authorized";
    default:
      return "reason " + std::to_string(code);
  }
}

}  // namespace

BrokerClient::BrokerClient(EventLoop& loop, BrokerSettings settings)
    : loop_(loop),
      settings_(std::move(settings)),
      backoff_(settings_.retryFirstMs, settings_.retryMaxMs, settings_.retryJitter),
      miscTimer_(loop, [this] { onMiscTimer(); }),
      retryTimer_(loop),
      connectTimer_(loop, [this] { onConnectTimeout(); }),
      goodbye_(loop) {
  initLibrary();
  miscTimer_.setInterval(1000);
  retryTimer_.setOnTimer([this] {
    retryTimer_.setEnabled(false);
    beginAttempt();
  });
}

BrokerClient::~BrokerClient() {
  goodbye_.release();
  resolve_.reset();
  if (fd_ >= 0) loop_.unwatch(fd_);
  if (mosq_) mosquitto_destroy(mosq_);
}

std::string BrokerClient::checkSettings(const BrokerSettings& s) {
  if (s.host.empty()) return "no broker host";
  if (s.port < 1 || s.port > 65535) return "port " + std::to_string(s.port) + " out of range";
  if (s.clientId.empty()) return "no client id (the persistent session needs one)";
  if (s.keepAliveSeconds < 5 || s.keepAliveSeconds > 65535) return "keep-alive must be 5..65535 s";
  if (s.password.size() && s.username.empty()) return "a password needs a user name";
  if (s.tls.certFile.empty() != s.tls.keyFile.empty()) {
    return "a client certificate needs its key file and the other way round";
  }
  if (s.tls.caFile.empty() && !s.tls.certFile.empty())
    return "a client certificate needs a CA file";
  for (const Subscription& sub : s.subscriptions) {
    if (sub.filter.empty()) return "empty subscription filter";
    if (sub.qos < 0 || sub.qos > 2) return "QoS of " + sub.filter + " must be 0..2";
    if (mosquitto_sub_topic_check(sub.filter.c_str()) != MOSQ_ERR_SUCCESS) {
      return "invalid subscription filter " + sub.filter;
    }
  }
  if (s.will) {
    if (s.will->qos < 0 || s.will->qos > 2) return "QoS of the last will must be 0..2";
    if (mosquitto_pub_topic_check(s.will->topic.c_str()) != MOSQ_ERR_SUCCESS) {
      return "invalid last-will topic " + s.will->topic;
    }
  }
  if (s.retryFirstMs < 1 || s.retryMaxMs < s.retryFirstMs || s.settledMs < 0) {
    return "bad retry delays";
  }
  if (s.retryJitter < 0 || s.retryJitter >= 1) return "retry jitter must be 0..<1";
  if (s.connectTimeoutMs < 1) return "bad connect timeout";
  return {};
}

bool BrokerClient::start() {
  if (state_ != State::Idle) return true;
  const std::string problem = checkSettings(settings_);
  if (!problem.empty()) {
    log("MQTT settings unusable - " + problem);
    return false;
  }
  if (!mosq_ && !createLibraryClient()) return false;
  backoff_.reset();
  beginAttempt();
  return true;
}

bool BrokerClient::createLibraryClient() {
  // Clean session off: the broker keeps the session under our client id.
  mosquitto* m = mosquitto_new(settings_.clientId.c_str(), false, this);
  if (!m) {
    log("MQTT cannot create the client - " + std::string(std::strerror(errno)));
    return false;
  }
  mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_connect_callback_set(m, &BrokerClient::onConnectCb);
  mosquitto_disconnect_callback_set(m, &BrokerClient::onDisconnectCb);
  mosquitto_message_callback_set(m, &BrokerClient::onMessageCb);
  mosquitto_subscribe_callback_set(m, &BrokerClient::onSubscribeCb);
  mosquitto_log_callback_set(m, &BrokerClient::onLogCb);
  std::string problem;
  if (!settings_.username.empty() &&
      mosquitto_username_pw_set(
          m, settings_.username.c_str(),
          settings_.password.empty() ? nullptr : settings_.password.c_str()) != 0) {
    problem = "user name refused by the library";
  }
  if (problem.empty() && settings_.will) {
    const LastWill& w = *settings_.will;
    if (mosquitto_will_set(m, w.topic.c_str(), static_cast<int>(w.payload.size()), w.payload.data(),
                           w.qos, w.retained) != MOSQ_ERR_SUCCESS) {
      problem = "last will refused by the library";
    }
  }
  mosq_ = m;
  if (problem.empty() && !settings_.tls.caFile.empty() && !createTlsContext()) return false;
  if (!problem.empty()) {
    log("MQTT settings unusable - " + problem);
    return false;
  }
  return true;
}

// The library takes a reference of its own to the context; with the
// defaults off it uses it as it is.
bool BrokerClient::createTlsContext() {
  Result<std::unique_ptr<TlsContext>> made = TlsContext::create(settings_.tls, settings_.host);
  if (!made) {
    log(made.error().message);
    return false;
  }
  if (mosquitto_void_option(mosq_, MOSQ_OPT_SSL_CTX, made.value()->get()) != MOSQ_ERR_SUCCESS ||
      mosquitto_int_option(mosq_, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0) != MOSQ_ERR_SUCCESS) {
    log("MQTT TLS settings unusable - the library refused the TLS context: " + opensslError());
    return false;
  }
  tls_ = std::move(made.value());
  return true;
}

void BrokerClient::beginAttempt() {
  if (readPaused_) {
    retryOnResume_ = true;
    state_ = State::Waiting;
    return;
  }
  ++attempt_;
  if (tls_) tls_->newAttempt();
  libError_.clear();
  if (isNumericAddress(settings_.host)) {
    connectTo(settings_.host);
    return;
  }
  state_ = State::Resolving;
  resolve_ =
      net::resolveHostAsync(loop_, settings_.host, [this, alive = life_.watch()](auto address) {
        if (!alive.alive() || state_ != State::Resolving) return;
        if (!address) {
          attemptFailed("cannot resolve " + settings_.host);
          return;
        }
        char text[INET_ADDRSTRLEN] = {};
        in_addr a{};
        a.s_addr = *address;
        ::inet_ntop(AF_INET, &a, text, sizeof text);
        connectTo(text);
      });
}

void BrokerClient::connectTo(const std::string& address) {
  closeSocket();
  state_ = State::Connecting;
  connectedAddress_ = address;
  // A numeric address: the library's own getaddrinfo() does no lookup.
  const int rc =
      mosquitto_connect_async(mosq_, address.c_str(), settings_.port, settings_.keepAliveSeconds);
  const int savedErrno = errno;
  if (rc != MOSQ_ERR_SUCCESS) {
    // On loopback the TCP connect, and with it the TLS handshake, may end
    // inside the call.
    if (tlsRefused() || rc == MOSQ_ERR_TLS) {
      attemptFailed("TLS handshake with " + endpoint() + " failed - " + reasonFor(MOSQ_ERR_TLS));
    } else {
      attemptFailed(
          "connection to " + endpoint() + " failed - " +
          (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(savedErrno)) : reasonFor(rc)));
    }
    return;
  }
  watchSocket();
  connectTimer_.setInterval(settings_.connectTimeoutMs);
  connectTimer_.setEnabled(true);
  miscTimer_.setEnabled(true);
  afterLibraryCall();
}

void BrokerClient::attemptFailed(const std::string& what) {
  ++counters_.connectFailures;
  connectTimer_.setEnabled(false);
  ++attempt_;  // whatever the abandoned socket still reports is dropped
  closeSocket();
  scheduleRetry("MQTT " + what);
}

void BrokerClient::scheduleRetry(const std::string& line) {
  const int delay = backoff_.nextDelayMs();
  const long seconds = std::lround(delay / 1000.0);
  // While paused no answer to an attempt could be read: the wait runs, but
  // the attempt itself waits for reading to resume.
  log(line + " (next try in " + std::to_string(seconds) + " s" +
      (readPaused_ ? ", once reading resumes)" : ")"));
  state_ = State::Waiting;
  miscTimer_.setEnabled(false);
  retryTimer_.setInterval(delay);
  retryTimer_.setEnabled(true);
}

// Ends the socket of the current attempt without a goodbye: the library sees
// the connection fail the next time it reads and closes it itself. When it
// does not (a connect still in progress), its next connect closes it.
void BrokerClient::closeSocket() {
  if (fd_ >= 0) loop_.unwatch(fd_);
  fd_ = -1;
  const int sock = mosq_ ? mosquitto_socket(mosq_) : -1;
  if (sock < 0) return;
  ::shutdown(sock, SHUT_RDWR);
  mosquitto_loop_read(mosq_, 1);
  // Nothing of that read belongs to anyone any more.
  std::erase_if(events_, [&](const Event& e) { return e.attempt != attempt_; });
}

void BrokerClient::watchSocket() {
  fd_ = mosquitto_socket(mosq_);
  if (fd_ < 0) return;
  loop_.watch(fd_, 0, [this](std::uint32_t events) { onIo(events); });
  updateEvents();
}

void BrokerClient::updateEvents() {
  if (fd_ < 0) return;
  std::uint32_t ev = readPaused_ ? 0u : static_cast<std::uint32_t>(EPOLLIN);
  if (mosquitto_want_write(mosq_)) ev |= EPOLLOUT;
  loop_.modify(fd_, ev);
}

void BrokerClient::onIo(std::uint32_t events) {
  if (fd_ < 0) return;
  const bool failed = (events & (EPOLLERR | EPOLLHUP)) != 0;
  if (readPaused_ && failed && !mosquitto_want_write(mosq_)) {
    // The broker has gone: what it sent before going is read into our own
    // queue (handed out only after the pause) and the library sees the close.
    readAvailable();
    afterLibraryCall();
    return;
  }
  if ((events & EPOLLOUT) || (failed && mosquitto_want_write(mosq_))) {
    mosquitto_loop_write(mosq_, 1);
  }
  if (!readPaused_ && (events & (EPOLLIN | EPOLLERR | EPOLLHUP))) readAvailable();
  afterLibraryCall();
}

void BrokerClient::readAvailable() {
  unreadSincePause_ = false;
  for (int i = 0; i < kMaxReadsPerWakeup && mosquitto_socket(mosq_) >= 0; ++i) {
    if (mosquitto_loop_read(mosq_, 1) != MOSQ_ERR_SUCCESS) break;
    int queued = 0;
    if (mosquitto_socket(mosq_) < 0 || ::ioctl(mosquitto_socket(mosq_), FIONREAD, &queued) != 0 ||
        queued <= 0) {
      break;
    }
  }
}

// The library's keep-alive check ends a connection whose ping went
// unanswered; while paused the answer cannot be read, so the check rests and
// the keep-alive message keeps the broker's side of it fresh instead. After
// a pause what arrived meanwhile is read first: any packet read counts as
// the broker's sign of life.
void BrokerClient::onMiscTimer() {
  if (!mosq_ || mosquitto_socket(mosq_) < 0) return;
  if (readPaused_) {
    const std::int64_t nowMs = loop_.clock().monotonicMs();
    if (state_ == State::Connected && keepAliveMessage_ &&
        nowMs - lastPublishedMs_ >= settings_.keepAliveSeconds * 1000 / 2) {
      const Message m = keepAliveMessage_();
      publish(m.topic, m.payload, 0, m.retained);
    }
    return;
  }
  if (unreadSincePause_) readAvailable();
  if (mosquitto_socket(mosq_) >= 0) mosquitto_loop_misc(mosq_);
  afterLibraryCall();
}

void BrokerClient::onConnectTimeout() {
  connectTimer_.setEnabled(false);
  if (state_ != State::Connecting) return;
  attemptFailed("connection to " + endpoint() + " timed out after " +
                std::to_string((settings_.connectTimeoutMs + 500) / 1000) + " s");
}

void BrokerClient::onConnectCb(mosquitto*, void* self, int rc) {
  auto* c = static_cast<BrokerClient*>(self);
  c->events_.push_back(Event{Event::Kind::Connack, c->attempt_, rc, 0, 0, {}});
}

void BrokerClient::onDisconnectCb(mosquitto*, void* self, int rc) {
  auto* c = static_cast<BrokerClient*>(self);
  const int savedErrno = errno;
  // The library closes the socket around this call: stop watching it now,
  // before anything else can be given the same descriptor number.
  if (c->fd_ >= 0) c->loop_.unwatch(c->fd_);
  c->fd_ = -1;
  c->events_.push_back(Event{Event::Kind::Disconnect, c->attempt_, rc, savedErrno, 0, {}});
}

void BrokerClient::onMessageCb(mosquitto*, void* self, const mosquitto_message* msg) {
  auto* c = static_cast<BrokerClient*>(self);
  Message m;
  m.topic = msg->topic ? msg->topic : "";
  const auto size = static_cast<std::size_t>(std::max(msg->payloadlen, 0));
  if (size > c->settings_.maxPayloadBytes) {
    m.refusedBytes = size;
  } else if (size > 0) {
    m.payload.assign(static_cast<const char*>(msg->payload), size);
  }
  m.qos = msg->qos;
  m.retained = msg->retain;
  c->inbox_.push_back(std::move(m));
}

void BrokerClient::onSubscribeCb(mosquitto*, void* self, int mid, int count, const int* granted) {
  auto* c = static_cast<BrokerClient*>(self);
  c->events_.push_back(Event{Event::Kind::Suback, c->attempt_, 0, 0, mid,
                             std::vector<int>(granted, granted + count)});
}

void BrokerClient::onLogCb(mosquitto*, void* self, int level, const char* text) {
  if ((level & MOSQ_LOG_ERR) && text) static_cast<BrokerClient*>(self)->libError_ = text;
}

void BrokerClient::afterLibraryCall() {
  if (fd_ >= 0 && mosquitto_socket(mosq_) != fd_) {
    // Closed without telling us: treat it as a disconnect all the same.
    loop_.unwatch(fd_);
    fd_ = -1;
    events_.push_back(Event{Event::Kind::Disconnect, attempt_, MOSQ_ERR_CONN_LOST, 0, 0, {}});
  }
  updateEvents();
  if (delivering_) return;  // the outer call goes on with the queue
  delivering_ = true;
  const Liveness::Watch alive = life_.watch();
  while (!events_.empty()) {
    Event e = std::move(events_.front());
    events_.pop_front();
    if (e.attempt != attempt_) continue;
    switch (e.kind) {
      case Event::Kind::Connack:
        if (state_ != State::Connecting) break;
        if (e.rc != 0) {
          attemptFailed("connection refused - " + connackText(e.rc));
          break;
        }
        connectTimer_.setEnabled(false);
        state_ = State::Connected;
        connectedAtMs_ = loop_.clock().monotonicMs();
        ++counters_.connects;
        log("MQTT connected to " + endpoint());
        pendingSubs_.clear();
        for (const Subscription& sub : settings_.subscriptions) {
          int mid = 0;
          const int rc = mosquitto_subscribe(mosq_, &mid, sub.filter.c_str(), sub.qos);
          if (rc == MOSQ_ERR_SUCCESS) {
            pendingSubs_.emplace_back(mid, sub.filter);
          } else {
            log("MQTT cannot subscribe to " + sub.filter + " - " + reasonFor(rc));
          }
        }
        updateEvents();
        if (onConnected_) onConnected_();
        break;
      case Event::Kind::Disconnect:
        if (e.rc == MOSQ_ERR_ERRNO) errno = e.savedErrno;
        connectionEnded(e.rc);
        break;
      case Event::Kind::Suback: {
        auto found = std::find_if(pendingSubs_.begin(), pendingSubs_.end(),
                                  [&](const auto& p) { return p.first == e.mid; });
        if (found == pendingSubs_.end()) break;
        for (int granted : e.granted) {
          if (granted == kSubackFailure) {
            ++counters_.subscriptionsRefused;
            log("MQTT subscription to " + found->second + " refused by the broker");
          }
        }
        pendingSubs_.erase(found);
        break;
      }
    }
    if (!alive.alive()) return;
  }
  delivering_ = false;
  deliver();
}

void BrokerClient::connectionEnded(int rc) {
  miscTimer_.setEnabled(false);
  switch (state_) {
    case State::Stopping:
      goodbye_.drain([this] { finishStop(); });
      return;
    case State::Connected: {
      ++counters_.connectionsLost;
      connectTimer_.setEnabled(false);
      ++attempt_;
      const std::string reason = reasonFor(rc);
      if (loop_.clock().monotonicMs() - connectedAtMs_ >= settings_.settledMs) {
        backoff_.reset();
        shortLivedInRow_ = 0;
        shortLivedTold_ = false;
      } else {
        ++shortLivedInRow_;
      }
      scheduleRetry("MQTT connection lost - " + reason);
      if (shortLivedInRow_ >= kShortLivedBeforeTold && !shortLivedTold_) {
        shortLivedTold_ = true;
        log("MQTT the broker keeps ending the connection soon after accepting it - is another "
            "client connected with the client id " +
            settings_.clientId + "?");
      }
      if (onDisconnected_) onDisconnected_();
      return;
    }
    case State::Connecting:
      if (tlsRefused() || rc == MOSQ_ERR_TLS) {
        attemptFailed("TLS handshake with " + endpoint() + " failed - " + reasonFor(MOSQ_ERR_TLS));
      } else {
        attemptFailed("connection to " + endpoint() + " failed - " + reasonFor(rc));
      }
      return;
    default:
      return;
  }
}

void BrokerClient::deliver() {
  if (delivering_) return;
  delivering_ = true;
  const Liveness::Watch alive = life_.watch();
  while (!readPaused_ && !inbox_.empty()) {
    Message m = std::move(inbox_.front());
    inbox_.pop_front();
    ++counters_.messagesReceived;
    if (onMessage_) onMessage_(m);
    if (!alive.alive()) return;
  }
  delivering_ = false;
}

std::string BrokerClient::reasonFor(int rc) const {
  switch (rc) {
    case MOSQ_ERR_KEEPALIVE:
      return "no answer within the keep-alive";
    case MOSQ_ERR_CONN_LOST:
      return "closed by the broker";
    case MOSQ_ERR_ERRNO:
      return errno ? std::strerror(errno) : "socket error";
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
      if (tlsRefused()) return tls_->refusal();
      return libError_.empty() ? "TLS error" : libError_;
    case MOSQ_ERR_PROTOCOL:
      return "protocol error";
    case MOSQ_ERR_SUCCESS:
      return "closed";
    default:
      return mosquitto_strerror(rc);
  }
}

bool BrokerClient::publish(const std::string& topic, const std::string& payload, int qos,
                           bool retained) {
  if (state_ != State::Connected) return false;
  const int rc = mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), qos, retained);
  if (rc == MOSQ_ERR_SUCCESS) {
    ++counters_.messagesPublished;
    lastPublishedMs_ = loop_.clock().monotonicMs();
  }
  afterLibraryCall();
  return rc == MOSQ_ERR_SUCCESS;
}

void BrokerClient::setReadPaused(bool paused) {
  if (readPaused_ == paused) return;
  readPaused_ = paused;
  if (paused) unreadSincePause_ = true;
  updateEvents();
  if (paused) return;
  const Liveness::Watch alive = life_.watch();
  loop_.post([this, alive] {
    if (!alive.alive()) return;
    deliver();
    if (retryOnResume_ && state_ == State::Waiting && !retryTimer_.enabled()) {
      retryOnResume_ = false;
      beginAttempt();
    }
  });
}

void BrokerClient::stop(std::optional<Message> finalMessage, int lingerMs) {
  if (state_ == State::Idle || state_ == State::Stopping) return;
  resolve_.reset();
  retryTimer_.setEnabled(false);
  connectTimer_.setEnabled(false);
  retryOnResume_ = false;
  if (state_ != State::Connected) {
    ++attempt_;
    closeSocket();
    finishStop();
    return;
  }
  state_ = State::Stopping;
  if (finalMessage) {
    mosquitto_publish(mosq_, nullptr, finalMessage->topic.c_str(),
                      static_cast<int>(finalMessage->payload.size()), finalMessage->payload.data(),
                      finalMessage->qos, finalMessage->retained);
  }
  // The library closes its socket as soon as DISCONNECT is written. Closing
  // with unread input (a PUBACK on its way) would send a reset, and a broker
  // that then fails to write drops the connection before reading our last
  // packets: the final message lost and the will published instead. So we
  // keep a duplicate of the socket, half-close it once the library is done,
  // and read until the broker closes its side.
  goodbye_.hold(mosquitto_socket(mosq_));
  mosquitto_disconnect(mosq_);
  // Write what the socket takes now; the rest goes as it becomes writable.
  for (int i = 0; i < 16 && mosquitto_socket(mosq_) >= 0 && mosquitto_want_write(mosq_); ++i) {
    if (mosquitto_loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS) break;
  }
  afterLibraryCall();
  if (state_ == State::Stopping) {
    goodbye_.startLinger(lingerMs, [this] {
      if (mosquitto_socket(mosq_) >= 0) {
        log("MQTT could not say goodbye to " + endpoint() + " in time - closing");
      }
      finishStop();
    });
  }
}

void BrokerClient::finishStop() {
  goodbye_.release();
  const bool wasConnected = state_ == State::Stopping;
  miscTimer_.setEnabled(false);
  connectTimer_.setEnabled(false);
  retryTimer_.setEnabled(false);
  ++attempt_;
  closeSocket();
  state_ = State::Idle;
  if (wasConnected && onDisconnected_) onDisconnected_();
}

bool BrokerClient::stopped() const {
  return state_ == State::Idle;
}

std::string BrokerClient::endpoint() const {
  return settings_.host + ":" + std::to_string(settings_.port);
}

void BrokerClient::log(const std::string& line) const {
  if (log_) log_(line);
}

}  // namespace varnok::mqtt
