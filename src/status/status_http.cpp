#include "status/status_http.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <system_error>

#include "dispatcher/dispatcher.h"
#include "net/socket_errors.h"
#include "nowplaying/metadata.h"
#include "nowplaying/now_playing.h"
#include "platform/ascii_text.h"
#include "platform/ini_file.h"

namespace varnok::status {
namespace {

// A status page has few readers; connections beyond the backlog wait in SYN
// retries, and the library turns away those beyond its limits.
constexpr int kListenBacklog = 64;
// The longest single wait of the timer (its interval is an int of ms).
constexpr MHD_UNSIGNED_LONG_LONG kLongestWaitMs = 3600 * 1000;

const char kHtml[] = "text/html; charset=utf-8";
const char kJson[] = "application/json";
const char kMetrics[] = "text/plain; version=0.0.4; charset=utf-8";
const char kText[] = "text/plain; charset=utf-8";

constexpr std::string_view kNowPlayingPath = "/nowplaying";
constexpr std::string_view kMetadataPath = "/admin/metadata";

bool consolePath(std::string_view path) {
  return path == "/console" || path == "/console.js" || path == "/console.css" ||
         path.starts_with("/console/");
}

MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char* /*version*/, const char* uploadData, std::size_t* uploadSize,
                     void** requestState) {
  // No exception may cross the library's C frames; without an answer the
  // library drops the connection.
  try {
    auto* server = static_cast<StatusServer*>(cls);
    auto*& state = *reinterpret_cast<StatusServer::RequestState**>(requestState);
    const std::string_view path = url != nullptr ? url : "";
    if (server->consoleOpen() && consolePath(path) &&
        (state == nullptr || dynamic_cast<StatusServer::ConsoleRequest*>(state) != nullptr)) {
      return server->answerConsole(connection, path, method, state, uploadData, uploadSize)
                 ? MHD_YES
                 : MHD_NO;
    }
    auto* upload = dynamic_cast<StatusServer::Upload*>(state);
    const bool get = method != nullptr && std::string_view(method) == MHD_HTTP_METHOD_GET;
    if (upload == nullptr && server->nowPlayingOpen() && get &&
        (path == kNowPlayingPath || path == kMetadataPath)) {
      return server->answerNowPlayingGet(connection, path == kMetadataPath) ? MHD_YES : MHD_NO;
    }
    if (upload != nullptr || (server->nowPlayingOpen() && path == kNowPlayingPath)) {
      const bool answered =
          server->answerNowPlaying(connection, method, upload, uploadData, uploadSize);
      state = upload;
      return answered ? MHD_YES : MHD_NO;
    }
    return server->answer(connection, url, method) ? MHD_YES : MHD_NO;
  } catch (...) {
    return MHD_NO;
  }
}

// Ends a request's state, whatever became of the request.
void onCompleted(void* /*cls*/, MHD_Connection* /*connection*/, void** requestState,
                 MHD_RequestTerminationCode /*why*/) {
  delete *reinterpret_cast<StatusServer::RequestState**>(requestState);
  *requestState = nullptr;
}

// Each connection's peer, from its start to its end, for the bounds that
// keep the page and the event stream apart.
void onConnection(void* cls, MHD_Connection* connection, void** socketContext,
                  MHD_ConnectionNotificationCode code) {
  auto* server = static_cast<StatusServer*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    auto* peer = new (std::nothrow) StatusServer::Peer;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (peer != nullptr && info != nullptr && info->client_addr != nullptr) {
      char text[INET6_ADDRSTRLEN] = {};
      const sockaddr* a = info->client_addr;
      if (a->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text,
                  sizeof text);
      } else {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof text);
      }
      peer->address = text;
    }
    *socketContext = peer;
    return;
  }
  server->connectionEnded(static_cast<StatusServer::Peer*>(*socketContext));
  *socketContext = nullptr;
}

// Every byte is looked at whatever the first difference, so the time taken
// tells nothing of how much of a guess was right (only, at most, its length).
bool sameSecret(std::string_view given, std::string_view secret) {
  if (secret.empty()) return false;
  unsigned char difference = given.size() == secret.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ secret[i % secret.size()]);
  }
  return difference == 0;
}

// A Content-Length as a number; one that is not a number, or is beyond any
// body we take, counts as too long (the library refuses the malformed ones
// itself).
std::size_t declaredLength(std::string_view text) {
  text = trimmed(text, " \t");
  std::size_t value = 0;
  if (text.empty() || text.size() > 9) return SIZE_MAX;
  for (const char c : text) {
    if (c < '0' || c > '9') return SIZE_MAX;
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  return value;
}

MHD_Result sendJson(MHD_Connection* connection, unsigned status, const std::string& body,
                    const char* header = nullptr, const char* value = nullptr) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, kJson);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  if (header != nullptr) MHD_add_response_header(response, header, value);
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

bool respond(MHD_Connection* connection, unsigned status, const std::string& body, const char* type,
             bool allowHeader = false) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return false;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  // The page needs nothing but its own inline style.
  MHD_add_response_header(response, "Content-Security-Policy",
                          "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  if (allowHeader) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued == MHD_YES;
}

// Every byte but letters and digits as %HH, for a form body.
std::string percentEncoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) {
      out.push_back(c);
    } else {
      out += {'%', kHex[b >> 4], kHex[b & 15]};
    }
  }
  return out;
}

std::string hostAndPort(const std::string& address, std::uint16_t port) {
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

}  // namespace

StatusServer::StatusServer(EventLoop& loop, Source source, Limits limits)
    : loop_(loop), source_(std::move(source)), limits_(limits), acceptPause_(loop), timer_(loop) {
  timer_.setOnTimer([this] { run(); });
  acceptPause_.setOnTimer([this] {
    acceptPause_.setEnabled(false);
    if (acceptor_) acceptor_->start();
  });
}

StatusServer::~StatusServer() {
  timer_.setEnabled(false);
  acceptor_.reset();
  if (daemon_ == nullptr) return;
  loop_.unwatch(epollFd_);
  // The library may not stop with connections suspended: each is resumed
  // and ends at once (readers and waiting sign-ins see closing_).
  closing_ = true;
  for (MHD_Connection* connection : std::set<MHD_Connection*>(suspended_)) resume(connection);
  for (int i = 0; i < 3 && !suspended_.empty(); ++i) MHD_run(daemon_);
  MHD_run(daemon_);
  // Closes the connections and the epoll descriptor.
  MHD_stop_daemon(daemon_);
}

int StatusServer::start(const std::string& address, std::uint16_t port) {
  if (daemon_ != nullptr) return 0;
  sockaddr_storage where{};
  socklen_t whereLength = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&where);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&where);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    whereLength = sizeof *v4;
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    whereLength = sizeof *v6;
  } else {
    return net::kWsaEFault;
  }

  UniqueFd listener(
      ::socket(where.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!listener) return net::socketErrorFromErrno(errno);
  // As for the producers' listener: a restarted copy takes the port back
  // from connections the old one left, never from another listener.
  const int on = 1;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (where.ss_family == AF_INET6) {
    ::setsockopt(listener.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  }
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&where), whereLength) != 0 ||
      ::listen(listener.get(), kListenBacklog) != 0) {
    return net::socketErrorFromErrno(errno);
  }
  sockaddr_storage bound{};
  socklen_t boundLength = sizeof bound;
  if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0) {
    return net::socketErrorFromErrno(errno);
  }
  const std::uint16_t boundPort =
      ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

  // No internal thread: MHD_USE_EPOLL alone leaves the polling to us. No
  // listening socket either: we accept, and hand each connection over.
  // The event stream's readers are suspended between events: the library
  // must allow it, and its limits take them on top of the page's (which
  // the accept below keeps apart).
  unsigned flags = MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET | MHD_ALLOW_SUSPEND_RESUME;
  if (where.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
  if (secure()) {
    if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) return net::kWsaEOpNotSupp;
    flags |= MHD_USE_TLS;
  }
  const unsigned streams = consoleOpen() ? static_cast<unsigned>(Console::kMaxViewers) : 0;
  const unsigned streamsPerAddress =
      consoleOpen() ? static_cast<unsigned>(Console::kMaxViewersPerAddress) : 0;
  errno = 0;
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &onRequest, this, MHD_OPTION_CONNECTION_LIMIT,
      limits_.connections + streams, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      limits_.perAddress + streamsPerAddress, MHD_OPTION_CONNECTION_TIMEOUT, limits_.idleSeconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.memoryPerConnection, MHD_OPTION_NOTIFY_COMPLETED,
      &onCompleted, nullptr, MHD_OPTION_NOTIFY_CONNECTION, &onConnection, this,
      MHD_OPTION_HTTPS_MEM_CERT, secure() ? certificate_.c_str() : nullptr,
      MHD_OPTION_HTTPS_MEM_KEY, secure() ? key_.c_str() : nullptr, MHD_OPTION_END);
  if (daemon_ == nullptr) return net::socketErrorFromErrno(errno != 0 ? errno : ENOMEM);
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
  epollFd_ = info != nullptr ? info->epoll_fd : -1;
  // A bounded number of clients per readiness, so that a burst shares the
  // loop with everyone else; each connection goes to the library, which
  // keeps its limits by closing those beyond them at once (and closes a
  // connection it does not take). A shortage of descriptors is logged once,
  // not once per knock.
  constexpr int kAcceptsPerReadiness = 4;
  acceptor_ = std::make_unique<Acceptor>(
      loop_, std::move(listener), kAcceptsPerReadiness,
      Acceptor::Handlers{
          .accepted =
              [this](UniqueFd fd, const sockaddr_storage& peer, socklen_t length) {
                // The page's own bounds, whatever the event stream holds.
                char text[INET6_ADDRSTRLEN] = {};
                if (peer.ss_family == AF_INET6) {
                  inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr,
                            text, sizeof text);
                } else {
                  inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr, text,
                            sizeof text);
                }
                const std::string address = text;
                const std::int64_t tenth = loop_.clock().monotonicMs() / 100;
                if (tenth != tenth_) {
                  tenth_ = tenth;
                  acceptedThisTenth_ = 0;
                }
                ++acceptedThisTenth_;
                const auto count = [&address](const std::map<std::string, unsigned>& by) {
                  const auto found = by.find(address);
                  return found == by.end() ? 0u : found->second;
                };
                if (openCount_ - viewerCount_ >= limits_.connections ||
                    count(open_) - count(viewers_) >= limits_.perAddress) {
                  return;  // closed by fd
                }
                ++openCount_;
                ++open_[address];
                if (MHD_add_connection(daemon_, fd.release(),
                                       reinterpret_cast<const sockaddr*>(&peer),
                                       length) != MHD_YES) {
                  // Not taken (and closed by the library): nothing ends it later.
                  --openCount_;
                  if (--open_[address] == 0) open_.erase(address);
                }
              },
          .batchDone =
              [this] {
                run();
                if (acceptedThisTenth_ >= limits_.acceptsPerTenth && !acceptPause_.enabled()) {
                  acceptor_->stop();
                  acceptPause_.setInterval(
                      static_cast<int>(100 - loop_.clock().monotonicMs() % 100));
                  acceptPause_.setEnabled(true);
                }
              },
          .failed = [this](int err) { report(err); },
      });
  errno = 0;
  if (epollFd_ < 0 || !loop_.watch(epollFd_, EPOLLIN, [this](std::uint32_t) { run(); }) ||
      !acceptor_->start()) {
    const int err = errno != 0 ? errno : EBADF;
    if (epollFd_ >= 0) loop_.unwatch(epollFd_);
    acceptor_.reset();
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    epollFd_ = -1;
    return net::socketErrorFromErrno(err);
  }
  port_ = boundPort;
  rearm();
  return 0;
}

// The one place an accept's errno becomes the socket error number the log
// shows.
void StatusServer::report(int err) {
  if (onError_) onError_(net::socketErrorFromErrno(err));
}

void StatusServer::run() {
  if (daemon_ == nullptr) return;
  MHD_run(daemon_);
  rearm();
}

// The library must run again by its deadline even without readiness (to
// time out silent connections, or to go on with work it left pending). A
// deadline already due waits one millisecond, so the loop never spins on it.
void StatusServer::rearm() {
  MHD_UNSIGNED_LONG_LONG ms = 0;
  if (MHD_get_timeout(daemon_, &ms) != MHD_YES) {
    timer_.setEnabled(false);
    return;
  }
  timer_.setEnabled(false);
  timer_.setInterval(static_cast<int>(std::clamp<MHD_UNSIGNED_LONG_LONG>(ms, 1, kLongestWaitMs)));
  timer_.setEnabled(true);
}

unsigned StatusServer::connectionCount() const {
  if (daemon_ == nullptr) return 0;
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
  return info != nullptr ? info->num_connections : 0;
}

bool StatusServer::answerNowPlaying(MHD_Connection* connection, const char* method, Upload*& state,
                                    const char* data, std::size_t* size) {
  const auto refuse = [connection](unsigned status, const char* error, const char* header = nullptr,
                                   const char* value = nullptr) {
    return sendJson(connection, status, std::string("{\"error\":") + jsonString(error) + "}\n",
                    header, value) == MHD_YES;
  };
  if (state == nullptr) {
    if (std::string_view(method != nullptr ? method : "") != MHD_HTTP_METHOD_POST) {
      return refuse(MHD_HTTP_METHOD_NOT_ALLOWED,
                    nowPlaying_.allowGet ? "only POST and GET are served here"
                                         : "only POST is served here (GET needs AllowGet=1)",
                    MHD_HTTP_HEADER_ALLOW, nowPlaying_.allowGet ? "POST, GET" : "POST");
    }
    const char* authorization =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
    std::string_view given = trimmed(authorization != nullptr ? authorization : "", " \t");
    const bool bearer = given.size() > 7 && equalsIgnoringCase(given.substr(0, 7), "Bearer ");
    if (!bearer || !sameSecret(trimmed(given.substr(7), " \t"), nowPlaying_.token)) {
      return refuse(MHD_HTTP_UNAUTHORIZED, "a valid bearer token is required",
                    MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer");
    }
    const char* type =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
    std::string_view mediaType = type != nullptr ? type : "";
    mediaType = trimmed(mediaType.substr(0, mediaType.find(';')), " \t");
    using Body = NowPlayingEndpoint::Body;
    Body kind = Body::Json;
    if (equalsIgnoringCase(mediaType, "application/x-www-form-urlencoded")) {
      kind = Body::Form;
    } else if (equalsIgnoringCase(mediaType, "text/plain")) {
      kind = Body::Line;
    } else if (equalsIgnoringCase(mediaType, "application/xml") ||
               equalsIgnoringCase(mediaType, "text/xml")) {
      kind = Body::Xml;
    } else if (!equalsIgnoringCase(mediaType, "application/json")) {
      return refuse(MHD_HTTP_UNSUPPORTED_MEDIA_TYPE,
                    "the body must be application/json, application/x-www-form-urlencoded, "
                    "text/plain or application/xml");
    }
    const char* length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length != nullptr && declaredLength(length) > NowPlayingEndpoint::kMaxBody) {
      return refuse(MHD_HTTP_CONTENT_TOO_LARGE, "the body is larger than 16 KiB");
    }
    state = new Upload(kind);
    return true;
  }
  if (*size != 0) {
    // A body sent without a length (chunked) is bounded as it comes.
    if (!state->tooLarge && state->body.size() + *size <= NowPlayingEndpoint::kMaxBody) {
      state->body.append(data, *size);
    } else {
      state->tooLarge = true;
      state->body.clear();
    }
    *size = 0;
    return true;
  }
  if (state->tooLarge) return refuse(MHD_HTTP_CONTENT_TOO_LARGE, "the body is larger than 16 KiB");
  const NowPlayingEndpoint::Answer result =
      nowPlaying_.post(NowPlayingEndpoint::Door::Post, state->kind, state->body);
  return sendJson(connection, result.status, result.json) == MHD_YES;
}

bool StatusServer::answerNowPlayingGet(MHD_Connection* connection, bool metadataUpdate) {
  using Body = NowPlayingEndpoint::Body;
  using Door = NowPlayingEndpoint::Door;
  const auto refuse = [connection](unsigned status, const std::string& error,
                                   const char* header = nullptr, const char* value = nullptr) {
    return sendJson(connection, status, "{\"error\":" + jsonString(error) + "}\n", header, value) ==
           MHD_YES;
  };
  const auto argument = [connection](const char* name) -> std::optional<std::string> {
    const char* value = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
  if (metadataUpdate) {
    // The streaming server's own form: Basic authentication, whose password
    // is the token (any user name).
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(connection, &password);
    const bool allowed = password != nullptr && sameSecret(password, nowPlaying_.token);
    if (user != nullptr) MHD_free(user);
    if (password != nullptr) MHD_free(password);
    if (!allowed) {
      return refuse(MHD_HTTP_UNAUTHORIZED, "Basic authentication with the token is required",
                    MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Basic realm=\"Varnok\"");
    }
    if (argument("mode") != "updinfo") return refuse(MHD_HTTP_BAD_REQUEST, "mode must be updinfo");
    const std::optional<std::string> song = argument("song");
    if (!song) return refuse(MHD_HTTP_BAD_REQUEST, "song is missing");
    // The parameter's bytes are in the charset the sender names.
    const std::string charset = lowerAscii(argument("charset").value_or("utf-8"));
    nowplaying::FileEncoding encoding = nowplaying::FileEncoding::Utf8;
    if (charset == "iso-8859-1" || charset == "latin1" || charset == "iso8859-1") {
      encoding = nowplaying::FileEncoding::Latin1;
    } else if (charset == "windows-1252" || charset == "cp1252") {
      encoding = nowplaying::FileEncoding::Cp1252;
    } else if (charset != "utf-8" && charset != "utf8") {
      return refuse(MHD_HTTP_BAD_REQUEST, "charset " + charset + " is not known");
    }
    const nowplaying::Parsed<std::string> text = nowplaying::toUtf8(*song, encoding);
    if (!text.ok()) return refuse(MHD_HTTP_INTERNAL_SERVER_ERROR, text.error);
    const NowPlayingEndpoint::Answer result =
        nowPlaying_.post(Door::MetadataUpdate, Body::Line, *text.value);
    return sendJson(connection, result.status, result.json) == MHD_YES;
  }
  if (!nowPlaying_.allowGet) {
    return refuse(MHD_HTTP_METHOD_NOT_ALLOWED, "only POST is served here (GET needs AllowGet=1)",
                  MHD_HTTP_HEADER_ALLOW, "POST");
  }
  const char* authorization =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
  std::string_view given = trimmed(authorization != nullptr ? authorization : "", " \t");
  const bool bearer = given.size() > 7 && equalsIgnoringCase(given.substr(0, 7), "Bearer ");
  const std::optional<std::string> token = argument("token");
  const bool allowed = bearer ? sameSecret(trimmed(given.substr(7), " \t"), nowPlaying_.token)
                              : token && sameSecret(*token, nowPlaying_.token);
  if (!allowed) {
    return refuse(MHD_HTTP_UNAUTHORIZED, "a valid bearer token or token parameter is required",
                  MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer");
  }
  // The parameters (but the token) as the form they were, for the form
  // reader and its keys.
  std::string form;
  MHD_get_connection_values(
      connection, MHD_GET_ARGUMENT_KIND,
      [](void* out, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
        if (key == nullptr || std::string_view(key) == "token") return MHD_YES;
        auto& body = *static_cast<std::string*>(out);
        if (!body.empty()) body.push_back('&');
        body += percentEncoded(key);
        if (value != nullptr) body += "=" + percentEncoded(value);
        return MHD_YES;
      },
      &form);
  const NowPlayingEndpoint::Answer result = nowPlaying_.post(Door::Get, Body::Form, form);
  return sendJson(connection, result.status, result.json) == MHD_YES;
}

bool StatusServer::answer(MHD_Connection* connection, const char* url, const char* method) {
  const std::string_view verb = method != nullptr ? method : "";
  const std::string_view path = url != nullptr ? url : "";
  // Without a token the write path does not exist, whatever the method.
  if (path == kNowPlayingPath) {
    return respond(connection, MHD_HTTP_NOT_FOUND, "Not found: try /, /status or /metrics.\n",
                   kText);
  }
  // HEAD is answered as GET; the library leaves the body out.
  if (verb != MHD_HTTP_METHOD_GET && verb != MHD_HTTP_METHOD_HEAD) {
    return respond(connection, MHD_HTTP_METHOD_NOT_ALLOWED,
                   "Only GET and HEAD are served here: the status window is read-only.\n", kText,
                   true);
  }
  if (path == "/") {
    std::string page = renderPage(source_());
    // Signed-in users act from the console.
    if (consoleOpen()) {
      const std::size_t body = page.rfind("</body>");
      if (body != std::string::npos) page.insert(body, "<p><a href=\"/console\">Console</a></p>\n");
    }
    return respond(connection, MHD_HTTP_OK, page, kHtml);
  }
  if (path == "/status") return respond(connection, MHD_HTTP_OK, renderJson(source_()), kJson);
  if (path == "/metrics") {
    return respond(connection, MHD_HTTP_OK, renderMetrics(source_()), kMetrics);
  }
  return respond(connection, MHD_HTTP_NOT_FOUND, "Not found: try /, /status or /metrics.\n", kText);
}

std::unique_ptr<StatusServer> openStatusWindow(Dispatcher& dispatcher, const PageSettings& config,
                                               nowplaying::NowPlaying* nowPlaying,
                                               const mqtt::Site* site, Console::Act act) {
  const bool tokenSet = nowPlaying != nullptr && !nowPlaying->settings().token.empty();
  if (config.httpPort == 0) {
    if (tokenSet) dispatcher.log("Now playing over HTTP needs the status page ([Status] HttpPort)");
    return nullptr;
  }
  auto server = std::make_unique<StatusServer>(dispatcher.loop(), [&dispatcher, nowPlaying, site] {
    return takeSnapshot(dispatcher, nowPlaying, site);
  });
  if (tokenSet) {
    using Endpoint = NowPlayingEndpoint;
    server->setNowPlaying({nowPlaying->settings().token, nowPlaying->settings().allowGet,
                           [&dispatcher, nowPlaying](Endpoint::Door door, Endpoint::Body body,
                                                     const std::string& text) {
                             using Kind = nowplaying::NowPlaying::BodyKind;
                             const Kind kind = body == Endpoint::Body::Json   ? Kind::Json
                                               : body == Endpoint::Body::Form ? Kind::Form
                                               : body == Endpoint::Body::Xml  ? Kind::Xml
                                                                              : Kind::Line;
                             const nowplaying::Source source =
                                 door == Endpoint::Door::MetadataUpdate
                                     ? nowplaying::Source::Metadata
                                     : nowplaying::Source::Http;
                             const NowPlayingAnswer answer = renderNowPlayingAnswer(
                                 nowPlaying->post(kind, text, source), dispatcher.encoders());
                             return Endpoint::Answer{answer.status, answer.json};
                           }});
  }
  const std::string folder = dispatcher.config().programFolder;
  const auto inFolder = [&folder](const std::string& file) {
    return file.empty() || file.front() == '/' ? file : folder + file;
  };
  const bool tls = !config.certFile.empty() || !config.keyFile.empty();
  if (tls) {
    std::string pem[2];
    const std::string files[2] = {inFolder(config.certFile), inFolder(config.keyFile)};
    for (int i = 0; i < 2; ++i) {
      std::ifstream in(files[i], std::ios::binary);
      pem[i].assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (files[i].empty() || pem[i].empty() || pem[i].size() > (1 << 20)) {
        dispatcher.log(
            "Status page not opened - CertFile and KeyFile must both name PEM files (" +
            (files[i].empty() ? std::string(i == 0 ? "CertFile" : "KeyFile") : files[i]) + ")");
        return nullptr;
      }
    }
    server->setTls(std::move(pem[0]), std::move(pem[1]));
  }
  const std::string usersPath = inFolder(config.usersFile);
  if (act && ::access(usersPath.c_str(), F_OK) == 0) {
    if (Result<UsersFile> users = UsersFile::read(usersPath); !users) {
      dispatcher.log("Console not opened - " + users.error().message);
    } else {
      Console::Settings settings{usersPath, tls,
                                 [&dispatcher](const std::string& line) { dispatcher.log(line); }};
      const std::string title = dispatcher.loop().app().title();
      try {
        server->setConsole(
            std::make_unique<Console>(
                dispatcher.loop(), std::move(settings), std::move(act),
                [&dispatcher, title] { return renderConsoleState(dispatcher, title); },
                dispatcher.logView()),
            config.trustedProxy);
      } catch (const std::system_error& e) {
        dispatcher.log(std::string("Console not opened - ") + e.what());
      }
    }
  }
  const std::string where = hostAndPort(config.httpAddress, config.httpPort);
  const auto logError = [&dispatcher, where](int error) {
    dispatcher.log("Socket Error " + std::to_string(error) + " - " + net::socketErrorText(error) +
                   " (status page " + where + ")");
  };
  server->setOnError(logError);
  if (const int error = server->start(config.httpAddress, config.httpPort); error != 0) {
    logError(error);
    return nullptr;
  }
  const std::string scheme = tls ? "https://" : "http://";
  dispatcher.log("Status page on " + scheme + where + "/");
  if (server->consoleOpen()) dispatcher.log("Console on " + scheme + where + "/console");
  if (tokenSet) {
    dispatcher.log("Now playing taken at " + scheme + where + "/nowplaying" +
                   (nowPlaying->settings().allowGet ? " (POST and GET)" : "") + " and " + scheme +
                   where + "/admin/metadata");
  }
  return server;
}

}  // namespace varnok::status
