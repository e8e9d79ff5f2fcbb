#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/acceptor.h"
#include "platform/event_loop.h"
#include "status/console.h"
#include "status/page_settings.h"
#include "status/status_render.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace varnok {
class Dispatcher;
}

namespace varnok::status {

// The read-only status window over HTTP: GET (or HEAD) of "/" gives the
// page, "/status" the JSON, "/metrics" the Prometheus text; any other path
// is 404 and any other method 405. Nothing it serves changes anything, with
// one exception that exists only once a token is configured: POST
// /nowplaying, a now-playing update (see NowPlayingEndpoint).
//
// libmicrohttpd runs without a thread of its own: its epoll descriptor is
// watched by our loop, which runs it on readiness, and a loop timer follows
// the deadline it asks for (its connection timeouts). Every request is
// answered to its end inside that run, on the event thread, from a snapshot
// taken then. The listening socket is ours: we accept (Acceptor, with its
// reserve descriptor for when descriptors run out) and hand each connection
// to the library, which applies the limits. So the page is back as soon as a flood
// has ended, whatever the library did with its connections meanwhile.
//
// Ownership: the server owns the acceptor (the listening socket and its
// reserve), the library's daemon (which owns the accepted connections) and the loop
// registrations; the source must outlive it.
// The write paths, for now-playing updates. Checked in this order, before
// any body is read: path and method (404 without an endpoint; POST
// /nowplaying; GET /nowplaying only with allowGet, else 405; GET
// /admin/metadata, the streaming server's metadata update), the token (a
// bearer header, or a "token" parameter on GET /nowplaying, or the password
// of Basic authentication on /admin/metadata: 401, compared in constant
// time), the content type (415 unless JSON, a form, plain text or XML), the
// length (413 above kMaxBody). The body then goes to post, whose status and
// JSON text are the answer. A GET's parameters come as a form body.
struct NowPlayingEndpoint {
  static constexpr std::size_t kMaxBody = 16 * 1024;
  enum class Body { Json, Form, Line, Xml };
  enum class Door { Post, Get, MetadataUpdate };
  struct Answer {
    unsigned status = 200;
    std::string json;
  };
  std::string token;
  bool allowGet = false;
  std::function<Answer(Door door, Body body, const std::string& text)> post;
};

class StatusServer {
 public:
  // What one misbehaving client can hold: connections (in all and from one
  // address), how long a silent connection stays, and the memory a request
  // may take (longer request lines and headers are refused with 414 or 431).
  struct Limits {
    unsigned connections = 32;
    unsigned perAddress = 8;
    unsigned idleSeconds = 10;
    std::size_t memoryPerConnection = 32 * 1024;
    // New connections taken per tenth of a second; beyond it the rest wait
    // in the backlog until the next tenth, so that a flood of connections
    // cannot take the loop from the producers.
    unsigned acceptsPerTenth = 20;
  };
  using Source = std::function<Snapshot()>;

  StatusServer(EventLoop& loop, Source source, Limits limits);
  StatusServer(EventLoop& loop, Source source) : StatusServer(loop, std::move(source), Limits{}) {}
  ~StatusServer();
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;

  // Binds a numeric IPv4 or IPv6 address and the port (0: one the system
  // picks) and starts serving. 0 on success, otherwise the socket error
  // number (10048 for a port in use, 10014 for an address that is not
  // numeric, ...), and nothing is served. Once only.
  int start(const std::string& address, std::uint16_t port);
  bool serving() const { return daemon_ != nullptr; }
  // Serves over TLS with this certificate and key (PEM text); before start.
  void setTls(std::string certificate, std::string key) {
    certificate_ = std::move(certificate);
    key_ = std::move(key);
  }
  bool secure() const { return !certificate_.empty(); }
  // Opens the console's paths (/console, its files, /console/...); before
  // start. A peer at trustedProxy is a reverse proxy: the last address of
  // its X-Forwarded-For counts as the client's for the sign-in limits.
  void setConsole(std::unique_ptr<Console> console, std::string trustedProxy = {}) {
    console_ = std::move(console);
    trustedProxy_ = std::move(trustedProxy);
  }
  bool consoleOpen() const { return console_ != nullptr; }
  Console* console() const { return console_.get(); }
  // Opens POST /nowplaying; an endpoint with an empty token opens nothing.
  void setNowPlaying(NowPlayingEndpoint endpoint) { nowPlaying_ = std::move(endpoint); }
  bool nowPlayingOpen() const { return !nowPlaying_.token.empty() && nowPlaying_.post; }
  // Told the socket error number of a failed accept (once per shortage of
  // descriptors, not once per client turned away).
  void setOnError(std::function<void(int error)> onError) { onError_ = std::move(onError); }
  std::uint16_t port() const { return port_; }
  // Connections the library holds now.
  unsigned connectionCount() const;
  // The library's next deadline as the loop timer holds it, in ms; -1 when
  // it asked for none.
  int armedTimeoutMs() const { return timer_.running() ? timer_.interval() : -1; }

  // Queues the answer to one request; called by the library inside run().
  // False when no answer could be queued (the library then drops the
  // connection).
  bool answer(MHD_Connection* connection, const char* url, const char* method);
  // The same for POST /nowplaying, called once with no body yet (state
  // empty) and again for every piece of it and at its end.
  // What a request carries between the library's calls; ended by it.
  struct RequestState {
    virtual ~RequestState() = default;
  };
  struct Upload : RequestState {
    explicit Upload(NowPlayingEndpoint::Body k) : kind(k) {}
    NowPlayingEndpoint::Body kind = NowPlayingEndpoint::Body::Json;
    bool tooLarge = false;
    std::string body;
  };
  bool answerNowPlaying(MHD_Connection* connection, const char* method, Upload*& state,
                        const char* data, std::size_t* size);
  // GET /nowplaying and GET /admin/metadata: answered at once.
  bool answerNowPlayingGet(MHD_Connection* connection, bool metadataUpdate);
  // The console's paths; a POST's body comes as for now playing. A
  // sign-in waits (its connection suspended) for the password check.
  struct ConsoleRequest : RequestState {
    std::string body;
    bool tooLarge = false;
    bool waiting = false;
    std::optional<Console::Reply> reply;
  };
  bool answerConsole(MHD_Connection* connection, std::string_view path, const char* method,
                     RequestState*& state, const char* data, std::size_t* size);
  // One accepted connection, from the library's start of it to its end:
  // where it comes from, and whether it became an event-stream reader.
  struct Peer {
    std::string address;
    bool viewer = false;
  };
  void connectionEnded(Peer* peer);
  // The event stream's reader of one viewer: its bytes, then a suspension
  // until there are more.
  struct Stream {
    StatusServer* server;
    MHD_Connection* connection;
    Console::Viewer* viewer;
    int fd;
    bool suspended = false;
  };
  long streamRead(Stream& stream, char* buffer, std::size_t max);
  void streamEnded(Stream* stream);

 private:
  void run();
  void rearm();
  void report(int err);
  bool openEventStream(MHD_Connection* connection, const std::string& address,
                       const Console::Session& session);
  // Whether the page that sent this request is ours (Origin, and the
  // browser's Sec-Fetch-Site when it says).
  bool sameOrigin(MHD_Connection* connection) const;
  std::string clientAddress(MHD_Connection* connection) const;
  void suspend(MHD_Connection* connection);
  void resume(MHD_Connection* connection);

  EventLoop& loop_;
  Source source_;
  Limits limits_;
  std::function<void(int)> onError_;
  NowPlayingEndpoint nowPlaying_;
  std::string certificate_, key_;
  std::unique_ptr<Console> console_;
  std::string trustedProxy_;
  // Connections by address, and of them the event-stream readers: the page
  // and the readers are bounded apart.
  std::map<std::string, unsigned> open_, viewers_;
  unsigned openCount_ = 0, viewerCount_ = 0;
  std::set<MHD_Connection*> suspended_;
  bool closing_ = false;
  std::int64_t tenth_ = 0;  // the tenth of a second (monotonic) being counted
  unsigned acceptedThisTenth_ = 0;
  Timer acceptPause_;
  std::unique_ptr<Acceptor> acceptor_;
  MHD_Daemon* daemon_ = nullptr;
  int epollFd_ = -1;
  std::uint16_t port_ = 0;
  Timer timer_;
};

// The status window that the settings ask for, opened once the dispatcher
// has started: none when HttpPort is 0. A port that cannot be
// bound is logged as the listener's errors are ("Socket Error 10048 -
// Address already in use", naming the status page) and gives none; the
// dispatcher runs on without it. A window that opens says where.
// With a now-playing service, the page shows it, and POST /nowplaying
// hands it updates when it has a token.
// With varnok.users in the program folder (safe, see UsersFile), the
// console is open too, its actions done through act.
std::unique_ptr<StatusServer> openStatusWindow(Dispatcher& dispatcher, const PageSettings& settings,
                                               nowplaying::NowPlaying* nowPlaying = nullptr,
                                               const mqtt::Site* site = nullptr,
                                               Console::Act act = {});

}  // namespace varnok::status
