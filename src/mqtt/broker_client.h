#pragma once

// A client of an MQTT broker, driven entirely by our event loop (its TLS
// context, its backoff and its goodbye are classes of their own): libmosquitto
// does the protocol, but it never runs a thread of its own and never blocks.
// Its socket is watched for reading (unless reading is paused) and for
// writing while the library has something to send; the library's keep-alive
// bookkeeping runs from a one-second loop timer. Host names go through the
// asynchronous resolver, and the library is only ever handed a numeric
// address, so it has no name to look up.
//
// The session is MQTT 3.1.1 with clean session off: the broker keeps our
// subscriptions and queues QoS 1/2 messages while we are away. (MQTT 5 would
// let us set a session expiry, but Debian 12's libmosquitto sends the MQTT 5
// connect properties only from its blocking connect, which we cannot use.)
//
// Every callback runs on the loop, outside libmosquitto: the library's own
// callbacks only record what happened, and the record is handed out once the
// library call has returned. A callback may call any method, stop() included,
// but must not destroy the client.
//
// SIGPIPE: OpenSSL writes to the socket with write(), which raises SIGPIPE
// when the broker has gone; constructing a client therefore ignores SIGPIPE
// when it still has its default action.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mqtt/backoff.h"
#include "mqtt/goodbye_drain.h"
#include "mqtt/tls_context.h"
#include "platform/event_loop.h"
#include "platform/liveness.h"

struct mosquitto;
struct mosquitto_message;

namespace varnok::net {
class ResolveRequest;
}

namespace varnok::mqtt {

struct Subscription {
  std::string filter;
  int qos = 1;  // 0..2
};

struct LastWill {
  std::string topic;
  std::string payload;
  int qos = 1;
  bool retained = true;
};

struct BrokerSettings {
  std::string host;  // name or IPv4 address
  int port = 1883;
  std::string clientId;  // required: the persistent session is found by it
  std::string username;  // empty: none
  std::string password;
  TlsSettings tls;
  int keepAliveSeconds = 30;  // at least 5
  std::vector<Subscription> subscriptions;
  std::optional<LastWill> will;

  // Reconnecting: the first retry waits retryFirstMs, each further failure
  // doubles the wait up to retryMaxMs; every wait is spread by +-retryJitter
  // (a fraction) so that many sites do not return all at once. The wait goes
  // back to retryFirstMs only when a connection that lasted settledMs ends:
  // one the broker ends sooner (another client taking the session under the
  // same client id, a broker that drops whoever connects) counts as a
  // failed attempt.
  int retryFirstMs = 1000;
  int retryMaxMs = 60000;
  double retryJitter = 0.2;
  int settledMs = 60000;
  // An attempt that has no accepted CONNACK after this long is abandoned.
  int connectTimeoutMs = 10000;
  // Larger payloads are handed out without their bytes (Message::refusedBytes):
  // the library still reads such a packet whole, as MQTT 3.1.1 gives a
  // client no way to announce a maximum, but no copy of it is kept.
  std::size_t maxPayloadBytes = 64 * 1024;
};

struct Message {
  std::string topic;
  std::string payload;  // bytes, not necessarily text
  int qos = 0;
  bool retained = false;
  // A payload above the client's maxPayloadBytes is not kept: its size is
  // given here and payload stays empty.
  std::size_t refusedBytes = 0;
};

struct BrokerCounters {
  std::uint64_t messagesReceived = 0;  // handed to onMessage
  std::uint64_t messagesPublished = 0;
  std::uint64_t connects = 0;  // accepted connections
  std::uint64_t connectFailures = 0;
  std::uint64_t connectionsLost = 0;
  std::uint64_t subscriptionsRefused = 0;
};

class BrokerClient {
 public:
  using LogFn = std::function<void(std::string line)>;

  // Keeps references to the loop, which must outlive the client.
  BrokerClient(EventLoop& loop, BrokerSettings settings);
  ~BrokerClient();  // without stop(): the connection just ends (the broker sends the will)
  BrokerClient(const BrokerClient&) = delete;
  BrokerClient& operator=(const BrokerClient&) = delete;

  void setLog(LogFn log) { log_ = std::move(log); }
  void setOnConnected(std::function<void()> fn) { onConnected_ = std::move(fn); }
  void setOnDisconnected(std::function<void()> fn) { onDisconnected_ = std::move(fn); }
  void setOnMessage(std::function<void(const Message&)> fn) { onMessage_ = std::move(fn); }

  // The settings' first problem, empty when they are usable.
  static std::string checkSettings(const BrokerSettings& settings);

  // Starts connecting (and reconnecting until stop()). False, with a log
  // line, when the settings or the TLS files are unusable.
  bool start();

  // Publishes finalMessage (when given), then says goodbye to the broker and
  // closes. Nothing waits: what cannot be written now is written as the
  // socket allows, for at most lingerMs, then the connection is closed.
  // No reconnecting afterwards; start() may be called again once stopped().
  void stop(std::optional<Message> finalMessage = std::nullopt, int lingerMs = 2000);
  // True when nothing is left of the connection after stop() (or before start()).
  bool stopped() const;

  // Queues a message for the broker. False when not connected or when the
  // library refuses it (bad topic, QoS out of range).
  bool publish(const std::string& topic, const std::string& payload, int qos, bool retained);

  // While paused the socket is not read and no message is handed out (what
  // the library had already read waits in our own queue); the broker's
  // session keeps what it has not delivered. The connection stays up: the
  // library's own keep-alive check rests (a ping's answer could not be read),
  // and the broker hears from us at least every half keep-alive through the
  // keep-alive message (below). A connection lost while paused is retried
  // only after resuming, since no CONNACK could be read meanwhile, and the
  // log says so.
  void setReadPaused(bool paused);
  // What to publish, at QoS 0, while reading is paused and nothing else was
  // published for half the keep-alive. Without one the broker may give up
  // on a long pause.
  void setKeepAliveMessage(std::function<Message()> make) { keepAliveMessage_ = std::move(make); }
  bool readPaused() const { return readPaused_; }

  bool connected() const { return state_ == State::Connected; }
  const BrokerCounters& counters() const { return counters_; }
  // The wait before the next attempt, as last logged (ms); 0 before any failure.
  int lastRetryDelayMs() const { return backoff_.lastDelayMs(); }

 private:
  enum class State { Idle, Resolving, Connecting, Connected, Waiting, Stopping };
  struct Event;

  // libmosquitto callbacks: they only record.
  static void onConnectCb(mosquitto*, void* self, int rc);
  static void onDisconnectCb(mosquitto*, void* self, int rc);
  static void onMessageCb(mosquitto*, void* self, const ::mosquitto_message* msg);
  static void onSubscribeCb(mosquitto*, void* self, int mid, int count, const int* granted);
  static void onLogCb(mosquitto*, void* self, int level, const char* text);

  bool createLibraryClient();
  bool createTlsContext();
  void beginAttempt();
  void connectTo(const std::string& address);
  void attemptFailed(const std::string& what);
  void connectionEnded(int rc);
  void scheduleRetry(const std::string& line);
  void closeSocket();
  void watchSocket();
  void updateEvents();
  void onIo(std::uint32_t events);
  void onMiscTimer();
  // Reads what the socket holds, a bounded number of packets.
  void readAvailable();
  void onConnectTimeout();
  // Runs after every library call: follows the socket, then hands out events.
  void afterLibraryCall();
  void deliver();
  void finishStop();
  std::string endpoint() const;
  // The broker's certificate was refused in the current attempt.
  bool tlsRefused() const { return tls_ && !tls_->refusal().empty(); }
  std::string reasonFor(int rc) const;
  void log(const std::string& line) const;

  EventLoop& loop_;
  BrokerSettings settings_;
  LogFn log_;
  std::function<void()> onConnected_;
  std::function<void()> onDisconnected_;
  std::function<void(const Message&)> onMessage_;
  std::function<Message()> keepAliveMessage_;

  mosquitto* mosq_ = nullptr;
  std::unique_ptr<TlsContext> tls_;
  State state_ = State::Idle;
  int fd_ = -1;  // the library's socket, which we watch (the library owns it)
  bool readPaused_ = false;
  bool retryOnResume_ = false;  // the retry fell due while paused
  // Paused, and nothing read since: what the broker said meanwhile (a ping's
  // answer) is read before the library checks its keep-alive again.
  bool unreadSincePause_ = false;
  std::int64_t lastPublishedMs_ = 0;  // monotonic, this client's last publish
  bool delivering_ = false;
  std::uint64_t attempt_ = 0;  // numbers the connection attempts
  Backoff backoff_;
  std::string connectedAddress_;
  std::int64_t connectedAtMs_ = 0;  // monotonic, when the last CONNACK came
  int shortLivedInRow_ = 0;         // connections ended before they settled
  bool shortLivedTold_ = false;     // their likely cause has been logged
  std::string libError_;            // the library's last error line
  std::unique_ptr<net::ResolveRequest> resolve_;
  std::deque<Event> events_;
  std::deque<Message> inbox_;
  std::vector<std::pair<int, std::string>> pendingSubs_;  // message id, filter
  Timer miscTimer_;
  Timer retryTimer_;
  Timer connectTimer_;
  GoodbyeDrain goodbye_;
  BrokerCounters counters_;
  Liveness life_;
};

}  // namespace varnok::mqtt
