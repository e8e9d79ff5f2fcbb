// The console's paths on the status server: its files, sign-in and out,
// the actions, and the event stream that keeps it live.
#include <arpa/inet.h>
#include <microhttpd.h>
#include <sys/socket.h>

#include <string_view>

#include "platform/ascii_text.h"
#include "status/status_http.h"

namespace varnok::status {

// The console's files, built into the program (console_assets.cpp).
extern const std::string_view kConsoleHtml;
extern const std::string_view kConsoleJs;
extern const std::string_view kConsoleCss;

namespace {

constexpr char kConsolePolicy[] =
    "default-src 'self'; script-src 'self'; connect-src 'self'; frame-ancestors 'none'";

// Every answer of the console: not cached, not sniffed, not framed, and
// nothing but its own files.
bool reply(MHD_Connection* connection, unsigned status, std::string_view body, const char* type,
           const std::string& cookie = {}) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return false;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Content-Security-Policy", kConsolePolicy);
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  if (!cookie.empty())
    MHD_add_response_header(response, MHD_HTTP_HEADER_SET_COOKIE, cookie.c_str());
  // One refused for being too many does not get to ask again on the same
  // connection: a new one waits its turn at the accept.
  if (status == MHD_HTTP_TOO_MANY_REQUESTS || status == MHD_HTTP_SERVICE_UNAVAILABLE) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  }
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued == MHD_YES;
}

bool replyJson(MHD_Connection* connection, const Console::Reply& r) {
  return reply(connection, r.status, r.json + "\n", "application/json", r.cookie);
}

bool refuse(MHD_Connection* connection, unsigned status, const std::string& why) {
  return replyJson(connection, {status, "{\"error\":\"" + why + "\"}", {}});
}

std::string_view header(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value != nullptr ? value : "";
}

ssize_t readStream(void* cls, std::uint64_t /*position*/, char* buffer, std::size_t max) {
  auto* stream = static_cast<StatusServer::Stream*>(cls);
  return stream->server->streamRead(*stream, buffer, max);
}

void endStream(void* cls) {
  auto* stream = static_cast<StatusServer::Stream*>(cls);
  stream->server->streamEnded(stream);
}

}  // namespace

bool StatusServer::sameOrigin(MHD_Connection* connection) const {
  const std::string_view fetchSite = header(connection, "Sec-Fetch-Site");
  if (!fetchSite.empty() && fetchSite != "same-origin") return false;
  std::string_view origin = header(connection, "Origin");
  const std::string_view host = header(connection, MHD_HTTP_HEADER_HOST);
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (origin.starts_with(scheme)) origin.remove_prefix(scheme.size());
  }
  return !host.empty() && equalsIgnoringCase(origin, host);
}

std::string StatusServer::clientAddress(MHD_Connection* connection) const {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  const auto* peer = info != nullptr ? static_cast<const Peer*>(info->socket_context) : nullptr;
  std::string address = peer != nullptr ? peer->address : std::string();
  if (!trustedProxy_.empty() && address == trustedProxy_) {
    // The proxy appends the address it saw last.
    std::string_view forwarded = header(connection, "X-Forwarded-For");
    forwarded = trimmed(forwarded.substr(forwarded.rfind(',') + 1), " \t");
    if (!forwarded.empty() && forwarded.size() <= 45) address = forwarded;
  }
  return address;
}

void StatusServer::suspend(MHD_Connection* connection) {
  MHD_suspend_connection(connection);
  suspended_.insert(connection);
}

void StatusServer::resume(MHD_Connection* connection) {
  if (suspended_.erase(connection) == 0) return;
  MHD_resume_connection(connection);
  // The library takes it back at its next run: soon, whatever its sockets do.
  if (!closing_) {
    timer_.setEnabled(false);
    timer_.setInterval(1);
    timer_.setEnabled(true);
  }
}

void StatusServer::connectionEnded(Peer* peer) {
  if (peer == nullptr) return;
  const auto less = [](std::map<std::string, unsigned>& by, const std::string& address) {
    const auto found = by.find(address);
    if (found != by.end() && --found->second == 0) by.erase(found);
  };
  if (openCount_ > 0) --openCount_;
  less(open_, peer->address);
  if (peer->viewer) {
    if (viewerCount_ > 0) --viewerCount_;
    less(viewers_, peer->address);
  }
  delete peer;
}

bool StatusServer::answerConsole(MHD_Connection* connection, std::string_view path,
                                 const char* method, RequestState*& state, const char* data,
                                 std::size_t* size) {
  const std::string_view verb = method != nullptr ? method : "";
  const bool post = verb == MHD_HTTP_METHOD_POST;
  if (closing_) return false;
  if (!post) {
    if (verb != MHD_HTTP_METHOD_GET && verb != MHD_HTTP_METHOD_HEAD) {
      return refuse(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "not served here");
    }
    // Nothing read changes anything.
    if (path == "/console")
      return reply(connection, MHD_HTTP_OK, kConsoleHtml, "text/html; charset=utf-8");
    if (path == "/console.js") {
      return reply(connection, MHD_HTTP_OK, kConsoleJs, "text/javascript; charset=utf-8");
    }
    if (path == "/console.css")
      return reply(connection, MHD_HTTP_OK, kConsoleCss, "text/css; charset=utf-8");
    Console::Session* session = console_->session(header(connection, MHD_HTTP_HEADER_COOKIE));
    if (session == nullptr) return refuse(connection, MHD_HTTP_UNAUTHORIZED, "not signed in");
    if (path == "/console/session") return replyJson(connection, console_->sessionReply(*session));
    if (path == "/console/events") {
      return openEventStream(connection, clientAddress(connection), *session);
    }
    return refuse(connection, MHD_HTTP_NOT_FOUND, "no such path");
  }

  // A POST: its body first, bounded as it comes.
  if (state == nullptr) {
    state = new ConsoleRequest;
    return true;
  }
  auto& request = static_cast<ConsoleRequest&>(*state);
  if (*size != 0) {
    if (request.body.size() + *size <= Console::kMaxBody) {
      request.body.append(data, *size);
    } else {
      request.tooLarge = true;
    }
    *size = 0;
    return true;
  }
  if (request.waiting) {
    // Back from the password check.
    if (!request.reply) return false;
    request.waiting = false;
    return replyJson(connection, *request.reply);
  }
  // A page of another origin may make the browser post here (a form, a
  // fetch without credentials): refused before anything is looked at.
  if (!sameOrigin(connection)) {
    return refuse(connection, MHD_HTTP_FORBIDDEN, "this request did not come from the console");
  }
  if (request.tooLarge)
    return refuse(connection, MHD_HTTP_CONTENT_TOO_LARGE, "the body is too large");
  std::string_view type = header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
  type = trimmed(type.substr(0, type.find(';')), " \t");
  if (!equalsIgnoringCase(type, "application/json")) {
    return refuse(connection, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE, "the body must be application/json");
  }
  if (path == "/console/signin") {
    std::optional<Console::Reply> now =
        console_->signIn(clientAddress(connection), request.body,
                         [this, connection, &request](Console::Reply later) {
                           request.reply = std::move(later);
                           resume(connection);
                         });
    if (now) return replyJson(connection, *now);
    request.waiting = true;
    suspend(connection);
    return true;
  }
  Console::Session* session = console_->session(header(connection, MHD_HTTP_HEADER_COOKIE));
  if (session == nullptr) return refuse(connection, MHD_HTTP_UNAUTHORIZED, "not signed in");
  if (!console_->csrfMatches(*session, header(connection, "X-CSRF-Token"))) {
    return refuse(connection, MHD_HTTP_FORBIDDEN, "the CSRF token is missing or stale");
  }
  if (path == "/console/signout") return replyJson(connection, console_->signOut(*session));
  if (path == "/console/action")
    return replyJson(connection, console_->act(*session, request.body));
  return refuse(connection, MHD_HTTP_NOT_FOUND, "no such path");
}

bool StatusServer::openEventStream(MHD_Connection* connection, const std::string& address,
                                   const Console::Session& session) {
  Console::Viewer* viewer = console_->addViewer(address, session);
  if (viewer == nullptr) {
    return refuse(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "too many viewers - try again later");
  }
  const MHD_ConnectionInfo* fd =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  auto* stream = new Stream{this, connection, viewer, fd != nullptr ? fd->connect_fd : -1};
  viewer->wake = [stream] {
    // One that does not read is cut off at once: the library would wait
    // for its idle timeout with our bytes on its hands.
    if (stream->viewer->dropped && stream->fd >= 0) ::shutdown(stream->fd, SHUT_RDWR);
    stream->server->resume(stream->connection);
  };
  MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024,
                                                             &readStream, stream, &endStream);
  if (response == nullptr) {
    console_->removeViewer(viewer);
    delete stream;
    return false;
  }
  // Counted as a reader from here: the page's bounds no longer hold it.
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (auto* peer = info != nullptr ? static_cast<Peer*>(info->socket_context) : nullptr) {
    peer->viewer = true;
    ++viewerCount_;
    ++viewers_[peer->address];
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Accel-Buffering", "no");  // a proxy passes it on at once
  const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return queued == MHD_YES;
}

long StatusServer::streamRead(Stream& stream, char* buffer, std::size_t max) {
  Console::Viewer& v = *stream.viewer;
  if (closing_ || v.dropped) return MHD_CONTENT_READER_END_WITH_ERROR;
  if (v.buffer.empty()) {
    // Nothing to say: parked until the console has more (never a 0 that
    // the library would ask again at once).
    stream.suspended = true;
    suspend(stream.connection);
    return 0;
  }
  const std::size_t n = std::min(max, v.buffer.size());
  v.buffer.copy(buffer, n);
  v.buffer.erase(0, n);
  return static_cast<long>(n);
}

void StatusServer::streamEnded(Stream* stream) {
  suspended_.erase(stream->connection);
  if (console_) console_->removeViewer(stream->viewer);
  delete stream;
}

}  // namespace varnok::status
