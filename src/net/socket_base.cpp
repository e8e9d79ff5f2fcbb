#include "net/socket_base.h"

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <exception>
#include <utility>

#include "net/socket_channel.h"

namespace varnok::net {

namespace {

bool wouldBlock(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

}  // namespace

SocketBase::SocketBase(EventLoop& loop) : loop_(loop) {}

// The concrete sockets close quietly first; this only catches a socket that
// something left open, and never reports.
SocketBase::~SocketBase() {
  closeSocket();
}

void SocketBase::changeHost(const std::string& host) {
  if (host == host_) return;
  if (open_) throw SocketError("Cannot change Host while active");
  host_ = host;
}

void SocketBase::changePort(std::uint16_t port) {
  if (port == port_) return;
  if (open_) throw SocketError("Cannot change Port while active");
  port_ = port;
}

// The sink holds a raw pointer: the channel is held by this object and
// cancelled before it goes.
bool SocketBase::startWatching(bool connecting) {
  if (channel_) channel_->cancel();  // a stale one must not unwatch the number later
  channel_ = SocketChannel::open(loop_, socket_.get(), connecting,
                                 [this](SocketEvent event, int err) { notify(event, err); });
  return channel_ != nullptr;
}

void SocketBase::stopWatching() {
  if (!channel_) return;
  channel_->cancel();  // before any close: the number may be reused at once
  channel_.reset();
}

int SocketBase::closeSocket() {
  stopWatching();
  if (!socket_) return 0;
  lostOnClose_ = outputInFlight();
  ackedAtClose_ = bytesAcknowledged();
  outPending_ = {};
  outOffset_ = 0;
  // Linux releases the descriptor even when close() reports an error, so the
  // descriptor is given up in every case; keeping it would let a later close
  // hit whatever socket reuses the number.
  const int fd = socket_.release();
  ::shutdown(fd, SHUT_RDWR);
  const linger abortive{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  return ::close(fd);
}

int SocketBase::closeForOwner() {
  if (!socket_) return ENOTSOCK;
  return closeSocket() == 0 ? 0 : errno;
}

void SocketBase::closeQuietly() {
  open_ = false;
  if (closeSocket() == 0) return;
  const char* text = socketErrorText(socketErrorFromErrno(errno));
  loop_.app().handleException(std::make_exception_ptr(SocketError(text)));
}

std::size_t SocketBase::outputInFlight() const {
  if (!socket_) return 0;
  int unsent = 0;
  if (ioctl(socket_.get(), SIOCOUTQ, &unsent) != 0 || unsent < 0) unsent = 0;
  return pendingOutput() + static_cast<std::size_t>(unsent);
}

std::uint64_t SocketBase::bytesAcknowledged() const {
  if (!socket_) return ackedAtClose_;
  tcp_info info{};
  socklen_t length = sizeof info;
  if (getsockopt(socket_.get(), IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
      length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) {
    return ackedAtClose_;
  }
  return info.tcpi_bytes_acked;
}

void SocketBase::setReadPaused(bool paused) {
  if (paused == readPaused_) return;
  readPaused_ = paused;
  updateInterest();
}

void SocketBase::updateInterest() {
  const bool writing = pendingOutput() > 0;
  if (channel_) channel_->setInterest(!readPaused_ && !(readWaitsForOutput_ && writing), writing);
}

void SocketBase::notify(SocketEvent event, int err) {
  if (err != 0) {
    failed(err, ErrorOrigin::Notification);
    return;
  }
  switch (event) {
    case SocketEvent::Connect:
      connectionReady();
      break;
    case SocketEvent::Close:
      peerClosed();
      break;
    case SocketEvent::Read:
      readChunk();
      break;
    case SocketEvent::Write:
      writePending();
      break;
  }
}

// One read notification takes one bounded chunk and returns to the loop, so
// that every other socket and timer gets its turn; what is left comes round
// again in the next readiness round. The receive also tells of the peer's
// close (0) or an error, once the bytes before it are taken.
void SocketBase::readChunk() {
  // One thread: one buffer serves every socket. A loop run again from inside
  // a read handler (a modal dialog of the desktop) must not overwrite the
  // bytes that the outer handler still looks at: a nested read gets its own.
  static thread_local char shared[kReadChunk];
  static thread_local bool sharedInUse = false;
  const bool nested = sharedInUse;
  std::unique_ptr<char[]> own;
  if (nested) own = std::make_unique_for_overwrite<char[]>(kReadChunk);
  char* const buffer = nested ? own.get() : shared;

  const int fd = socket_.get();
  const ssize_t got = ::recv(fd, buffer, kReadChunk, 0);
  if (got < 0) {
    if (!wouldBlock(errno)) failed(errno, ErrorOrigin::Call);
    return;
  }
  if (got == 0) {
    peerClosed();
    return;
  }
  // Given back however the handler ends, a throw included; nothing of this
  // object is touched after the handler, which may have destroyed it.
  struct Claim {
    bool owner;
    ~Claim() {
      if (owner) sharedInUse = false;
    }
  } claim{!nested};
  sharedInUse = true;
  received(std::string_view(buffer, static_cast<std::size_t>(got)));
}

// Writes what send had to keep. A failure is reported as a failure of the
// connection would be.
void SocketBase::writePending() {
  const int fd = socket_.get();
  while (pendingOutput() > 0) {
    const ssize_t n = ::send(fd, outPending_.data() + outOffset_, pendingOutput(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (wouldBlock(errno)) return;
      failed(errno, ErrorOrigin::Call);
      return;
    }
    outOffset_ += static_cast<std::size_t>(n);
  }
  outPending_ = {};
  outOffset_ = 0;
  updateInterest();
  allWritten();
}

int SocketBase::sendOrKeep(std::string_view bytes, int& err) {
  // The count must fit the int that send returns.
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
    throw SocketError("Cannot send more than 2147483647 bytes at once");
  }
  if (!socket_ || bytes.empty()) return 0;
  const int count = static_cast<int>(bytes.size());
  if (pendingOutput() > 0) {
    outPending_.append(bytes);  // behind what already waits
    return count;
  }
  ssize_t sent = ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (sent < 0) {
    if (!wouldBlock(errno)) {
      err = errno;
      return -1;
    }
    sent = 0;
  }
  if (static_cast<std::size_t>(sent) < bytes.size()) {
    outPending_.assign(bytes.substr(static_cast<std::size_t>(sent)));
    outOffset_ = 0;
    updateInterest();
  }
  return count;
}

}  // namespace varnok::net
