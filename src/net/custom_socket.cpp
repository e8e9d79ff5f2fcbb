#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>

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

}  // namespace

TCustomSocket::TCustomSocket(EventLoop& loop)
    : TTimerComponent(loop), self_(std::make_shared<TCustomSocket* const>(this)) {}

// The concrete components close quietly first; this only catches a socket
// that something left open, and never reports.
TCustomSocket::~TCustomSocket() {
  closeSocket();
}

int TCustomSocket::closeSocket() {
  if (channel_) {
    channel_->cancel();  // before the close: the number may be reused at once
    channel_.reset();
  }
  if (socket_ == kInvalidSocket) return 0;
  lostOnClose_ = OutputInFlight();
  outPending_ = {};
  outOffset_ = 0;
  // Linux releases the descriptor even when close() reports an error, so the
  // handle is given up in every case; keeping it would let a later close hit
  // whatever socket reuses the number.
  const int fd = std::exchange(socket_, kInvalidSocket);
  ::shutdown(fd, SHUT_RDWR);
  const linger abortive{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  return ::close(fd);
}

void TCustomSocket::closeQuietly() {
  listen_ = false;
  if (closeSocket() == 0) return;
  const char* text = socketErrorText(lastSocketError());
  loop().app().handleException(std::make_exception_ptr(ESocketError(text)));
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
  OnError(this, Socket, ErrorCode, text);
}

void TCustomSocket::Deactivate() {
  if (socket_ == kInvalidSocket) {
    DoError(kInvalidSocket, kWsaENotSock);
    return;
  }
  const int fd = socket_;
  if (closeSocket() != 0) DoError(fd, lastSocketError());
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
  if (!channel_) return;
  const bool writing = PendingOutput() > 0;
  channel_->setInterest(!readPaused_ && !(readWaitsForOutput_ && writing), writing);
}

// The sink holds raw pointers: the channel is held by this component and
// cancelled before it goes, and notified (this component, or the server of
// an accepted connection) outlives it.
bool TCustomSocket::RegisterSocket(int s, int mask, TCustomSocket* notified) {
  if (channel_) channel_->cancel();  // a stale one must not unwatch s later
  channel_ = SocketChannel::open(loop(), s, mask, [notified, this](int S, int Event, int Error) {
    notified->SocketNotify(this, S, Event, Error);
  });
  return channel_ != nullptr;
}

void TCustomSocket::SocketNotify(TCustomSocket* Connection, int S, int Event, int Error) {
  if (Error > kWsaBaseErr) {
    DoError(S, Error);
    return;
  }
  switch (Event) {
    case kEventAccept:
    case kEventConnect:
      DoConnect();
      break;
    case kEventClose:
      DoDisconnect(Connection);
      break;
    case kEventRead:
      readNotification(Connection);
      break;
    case kEventWrite:
      writeNotification(Connection);
      break;
    default:
      break;
  }
}

// One read notification takes one bounded chunk and returns to the loop, so
// that every other socket and timer gets its turn; what is left comes round
// again in the next readiness round. A data-available handler, when there is
// one, reads for itself instead, as much as it likes, once per notification.
// Without one a chunk costs a single receive.
void TCustomSocket::readNotification(TCustomSocket* connection) {
  const int S = connection->socket_;
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
void TCustomSocket::writeNotification(TCustomSocket* connection) {
  const int S = connection->socket_;
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
    DoDisconnect(Connection);
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
