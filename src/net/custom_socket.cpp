#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/simple_tcp.h"
#include "net/socket_notifier.h"

namespace varnok::net {

namespace {

int lastSocketError() {
  return socketErrorFromErrno(errno);
}

// The abortive close: no more notifications, both directions shut, linger on
// with 0 s, so that unsent data is dropped and the peer sees a reset. Returns
// the result of close() with errno set as it left it.
int closeAbortively(int fd) {
  cancelSocket(fd);
  ::shutdown(fd, SHUT_RDWR);
  const linger abortive{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  return ::close(fd);
}

}  // namespace

TCustomSocket::TCustomSocket(EventLoop& loop) : TTimerComponent(loop) {}

// The concrete components close through their own SetListen(false) first, so
// that their close runs with their overrides; this only catches a socket that
// something left open, and never reports.
TCustomSocket::~TCustomSocket() {
  destroying_ = true;
  if (socket_ != kInvalidSocket) {
    closeAbortively(socket_);
    socket_ = kInvalidSocket;
  }
  TTimerComponent::UpdateTimer();
}

void TCustomSocket::SetListen(bool value) {
  if (value == listen_) return;
  listen_ = value;  // stored first: Listen reads true during the attempt
  if (value) {
    Activate();
  } else {
    Deactivate();
  }
}

void TCustomSocket::SetHost(const std::string& value) {
  if (value == host_) return;
  if (!listen_) {
    host_ = value;
    return;
  }
  if (!AllowChangeHostAndPortOnConnection) throw ESocketError("Cannot change Host while active");
  SetListen(false);
  host_ = value;
  SetListen(true);
}

void TCustomSocket::SetPort(std::uint16_t value) {
  if (value == port_) return;
  if (!listen_) {
    port_ = value;
    return;
  }
  if (!AllowChangeHostAndPortOnConnection) throw ESocketError("Cannot change Port while active");
  SetListen(false);
  port_ = value;
  SetListen(true);
}

void TCustomSocket::DoError(int Socket, int ErrorCode) {
  const char* text = socketErrorText(ErrorCode);
  if (!OnError) throw ESocketError(text);
  TSimpleTCPErrorEvent handler = OnError;  // the handler may reassign OnError
  handler(this, Socket, ErrorCode, text);
}

void TCustomSocket::Deactivate() {
  if (socket_ == kInvalidSocket) {
    DoError(socket_, socketErrorFromErrno(ENOTSOCK));
    return;
  }
  const int fd = socket_;
  // Linux releases the descriptor even when close() reports an error, so the
  // handle is given up in every case; keeping it would let a later close hit
  // whatever socket reuses the number.
  socket_ = kInvalidSocket;
  if (closeAbortively(fd) != 0) DoError(fd, lastSocketError());
}

bool TCustomSocket::RegisterSocket(int s, int mask) {
  return registerSocket(loop(), s, mask,
                        [this](int S, int Event, int Error) { SocketNotify(S, Event, Error); });
}

void TCustomSocket::SocketNotify(int S, int Event, int Error) {
  if (Error > 10000) {
    DoError(S, Error);
    return;
  }
  switch (Event) {
    case kEventAccept:
    case kEventConnect:
      DoConnect();
      break;
    case kEventClose:
      DoDisconnect(S);
      break;
    case kEventRead:
      readNotification(S);
      break;
    default:
      break;
  }
}

TCustomSocket* TCustomSocket::connectionFor(int /*S*/) {
  return this;
}

// Reads everything that waits on S into one stream and hands it to DoRead.
// Handlers run in the middle (DoDataAvailable) and may close S, or free the
// connection, or the whole component's connections; after each of them the
// registration of S tells whether S is still ours before it is touched again.
void TCustomSocket::readNotification(int S) {
  const std::shared_ptr<const bool> alive = registrationAlive(S);
  const auto open = [&alive] { return !alive || *alive; };
  int waiting = 0;
  if (ioctl(S, FIONREAD, &waiting) != 0) {
    DoError(S, lastSocketError());
    return;
  }
  if (waiting <= 0) return;
  TCustomSocket* connection = connectionFor(S);
  if (connection == nullptr) return;

  TMemoryStream stream;
  bool handled = false;
  do {
    handled = false;
    const int before = waiting;
    DoDataAvailable(connection, waiting, handled);
    if (!open()) return;
    if (!handled) {
      ReceiveStream(connection, stream, waiting);
      if (!open()) return;
    }
    if (ioctl(S, FIONREAD, &waiting) != 0) {
      DoError(S, lastSocketError());
      return;
    }
    // A data-available handler that took nothing would keep us here for
    // ever; leave the bytes to the next readiness round instead.
    if (handled && waiting >= before) break;
  } while (waiting > 0);

  if (!handled) {
    stream.Position = 0;
    DoRead(connection, stream);
  }
}

int TCustomSocket::SendBuffer(TCustomSocket* Connection, const void* Buffer, int Count) {
  if (Connection == nullptr || Connection->socket_ == kInvalidSocket || Count <= 0) return 0;
  const int fd = Connection->socket_;
  const ssize_t sent = ::send(fd, Buffer, static_cast<std::size_t>(Count), MSG_NOSIGNAL);
  if (sent < 0) {
    // Reported on the connection itself: an accepted connection handles its
    // own send errors, not its server.
    Connection->DoError(fd, lastSocketError());
    return -1;
  }
  return static_cast<int>(sent);
}

int TCustomSocket::ReceiveBuffer(TCustomSocket* Connection, void* Buffer, int Count) {
  // A receive of 0 bytes returns 0, which would read as the peer's close.
  if (Connection == nullptr || Count <= 0) return 0;
  const int fd = Connection->socket_;
  const ssize_t got = ::recv(fd, Buffer, static_cast<std::size_t>(Count), 0);
  if (got < 0) {
    DoError(fd, lastSocketError());
    return -1;
  }
  if (got == 0) {
    DoDisconnect(fd);
    return 0;
  }
  return static_cast<int>(got);
}

int TCustomSocket::ReceiveStream(TCustomSocket* Connection, TMemoryStream& Stream, int Count) {
  if (Count <= 0) return 0;
  std::string buffer(static_cast<std::size_t>(Count), '\0');
  const int got = ReceiveBuffer(Connection, buffer.data(), Count);
  if (got > 0) {
    const std::size_t end = Stream.Position + static_cast<std::size_t>(got);
    if (Stream.Bytes.size() < end) Stream.Bytes.resize(end);
    std::memcpy(Stream.Bytes.data() + Stream.Position, buffer.data(),
                static_cast<std::size_t>(got));
    Stream.Position = end;
  }
  return got;
}

}  // namespace varnok::net
