#include <linux/sockios.h>
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

bool wouldBlock(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
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

TCustomSocket::TCustomSocket(EventLoop& loop)
    : TTimerComponent(loop), self_(std::make_shared<TCustomSocket* const>(this)) {}

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

// Host and Port change only while the component is inactive.
void TCustomSocket::SetHost(const std::string& value) {
  if (value == host_) return;
  if (listen_) throw ESocketError("Cannot change Host while active");
  host_ = value;
}

void TCustomSocket::SetPort(std::uint16_t value) {
  if (value == port_) return;
  if (listen_) throw ESocketError("Cannot change Port while active");
  port_ = value;
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
  lostOnClose_ = OutputInFlight();
  outPending_ = {};
  outOffset_ = 0;
  // Linux releases the descriptor even when close() reports an error, so the
  // handle is given up in every case; keeping it would let a later close hit
  // whatever socket reuses the number.
  socket_ = kInvalidSocket;
  if (closeAbortively(fd) != 0) DoError(fd, lastSocketError());
}

std::size_t TCustomSocket::OutputInFlight() const {
  if (socket_ == kInvalidSocket) return 0;
  int unsent = 0;
  if (ioctl(socket_, SIOCOUTQ, &unsent) != 0 || unsent < 0) unsent = 0;
  return PendingOutput() + static_cast<std::size_t>(unsent);
}

void TCustomSocket::SetReadPaused(bool paused) {
  if (paused == readPaused_) return;
  readPaused_ = paused;
  updateInterest();
}

void TCustomSocket::updateInterest() {
  if (socket_ == kInvalidSocket) return;
  const bool writing = PendingOutput() > 0;
  setSocketInterest(socket_, !readPaused_ && !(readWaitsForOutput_ && writing), writing);
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
    case kEventWrite:
      writeNotification(S);
      break;
    default:
      break;
  }
}

TCustomSocket* TCustomSocket::connectionFor(int /*S*/) {
  return this;
}

// One read notification takes one bounded chunk and returns to the loop, so
// that every other socket and timer gets its turn; what is left comes round
// again in the next readiness round. A data-available handler, when there is
// one, reads for itself instead, as much as it likes, once per notification.
// Without one a chunk costs a single receive.
void TCustomSocket::readNotification(int S) {
  TCustomSocket* connection = connectionFor(S);
  if (connection == nullptr) return;
  if (WantsDataAvailable()) {
    int waiting = 0;
    if (ioctl(S, FIONREAD, &waiting) != 0) {
      DoError(S, lastSocketError());
      return;
    }
    if (waiting > 0) {
      bool handled = false;
      DoDataAvailable(connection, waiting, handled);
      if (handled) return;
    }
  }
  // One thread: one buffer serves every socket. The receive also tells of
  // the peer's close (0) or an error, once the bytes before it are taken.
  static thread_local char buffer[kReadChunk];
  const int got = ReceiveBuffer(connection, buffer, kReadChunk);
  if (got <= 0) return;
  TMemoryStream stream;
  stream.Bytes.assign(buffer, static_cast<std::size_t>(got));
  DoRead(connection, stream);
}

// Writes what SendBuffer had to keep. A failure is reported by the component
// that watches the socket, as a failure of the connection would be.
void TCustomSocket::writeNotification(int S) {
  TCustomSocket* connection = connectionFor(S);
  if (connection == nullptr) return;
  while (connection->PendingOutput() > 0) {
    const ssize_t n = ::send(S, connection->outPending_.data() + connection->outOffset_,
                             connection->PendingOutput(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (wouldBlock(errno)) return;
      DoError(S, lastSocketError());
      return;
    }
    connection->outOffset_ += static_cast<std::size_t>(n);
  }
  connection->outPending_ = {};
  connection->outOffset_ = 0;
  connection->updateInterest();
  DoWritten(connection);
}

int TCustomSocket::SendBuffer(TCustomSocket* Connection, const void* Buffer, int Count) {
  if (Connection == nullptr || Connection->socket_ == kInvalidSocket || Count <= 0) return 0;
  const char* bytes = static_cast<const char*>(Buffer);
  const auto count = static_cast<std::size_t>(Count);
  if (Connection->PendingOutput() > 0) {
    Connection->outPending_.append(bytes, count);  // behind what already waits
    return Count;
  }
  const int fd = Connection->socket_;
  ssize_t sent = ::send(fd, bytes, count, MSG_NOSIGNAL);
  if (sent < 0) {
    if (!wouldBlock(errno)) {
      // Reported on the connection itself: an accepted connection handles its
      // own send errors, not its server.
      Connection->DoError(fd, lastSocketError());
      return -1;
    }
    sent = 0;
  }
  if (static_cast<std::size_t>(sent) < count) {
    Connection->outPending_.assign(bytes + sent, count - static_cast<std::size_t>(sent));
    Connection->outOffset_ = 0;
    Connection->updateInterest();
  }
  return Count;
}

int TCustomSocket::ReceiveBuffer(TCustomSocket* Connection, void* Buffer, int Count) {
  // A receive of 0 bytes returns 0, which would read as the peer's close.
  if (Connection == nullptr || Count <= 0) return 0;
  const int fd = Connection->socket_;
  const ssize_t got = ::recv(fd, Buffer, static_cast<std::size_t>(Count), 0);
  if (got < 0) {
    if (wouldBlock(errno)) return 0;
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
