#include "net/tcp_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "net/socket_channel.h"

namespace varnok::net {

namespace {

// Each connection leaves the list before it is freed, so that a destructor
// that looks at the list never meets a dangling entry.
void freeLastToFirst(std::vector<std::unique_ptr<AcceptedConnection>>& list) {
  while (!list.empty()) {
    std::unique_ptr<AcceptedConnection> last = std::move(list.back());
    list.pop_back();
  }
}

}  // namespace

AcceptedConnection::AcceptedConnection(EventLoop& loop, ConnectionOwner& owner, int descriptor,
                                       std::string peer, std::uint16_t port)
    : SocketBase(loop), owner_(owner) {
  descriptor_ = descriptor;
  host_ = std::move(peer);
  port_ = port;
  open_ = true;
  readWaitsForOutput_ = true;
}

// A report from the close (which needs a failing close(2)) goes to the
// application, never out of here.
AcceptedConnection::~AcceptedConnection() {
  closeQuietly();
}

// A failed send is the connection's failure like a failed receive, and goes
// the same way: to the listener, which releases it and reports the error.
int AcceptedConnection::send(std::string_view bytes) {
  int error = 0;
  const int sent = sendOrKeep(bytes, error);
  if (sent < 0) owner_.connectionFailed(*this, error);
  return sent;
}

// Closed now, freed by the listener's sweep once the loop comes round. A
// failing close(2) is raised to the caller, who asked for the close, before
// the listener hears of it.
void AcceptedConnection::close() {
  if (!open_) return;
  open_ = false;
  if (const int error = closeForOwner()) throw SocketError(socketErrorText(error));
  owner_.connectionClosed();
}

void AcceptedConnection::received(std::string_view bytes) {
  owner_.connectionRead(*this, bytes);
}

void AcceptedConnection::peerClosed() {
  owner_.connectionEnded(*this);
}

void AcceptedConnection::failed(int /*socket*/, int errorCode) {
  owner_.connectionFailed(*this, errorCode);
}

TcpListener::TcpListener(EventLoop& loop) : SocketBase(loop) {}

TcpListener::~TcpListener() {
  spare_.reset();
  freeLastToFirst(connections_);
  released_.clear();
  closeQuietly();
}

void TcpListener::setPort(std::uint16_t port) {
  changePort(port);
}

Result<> TcpListener::setListening(bool on) {
  if (on == open_) return {};
  open_ = on;  // first: listening() reads true during the attempt
  if (on) return activate();
  deactivate();
  return {};
}

// Listens on every local IPv4 address. SO_REUSEADDR lets a new listener take
// the port from connections that a previous copy left behind (a copy killed
// with producers connected); Linux still refuses a port that another
// listener holds, which is reported (kWsaEAddrInUse), never shared.
Result<> TcpListener::activate() {
  descriptor_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (descriptor_ == kInvalidSocket) {
    return fail(kInvalidSocket, socketErrorFromErrno(errno));
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port_);
  const int reuse = 1;
  ::setsockopt(descriptor_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (::bind(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return fail(descriptor_, socketErrorFromErrno(errno));
  }
  sockaddr_in bound{};
  socklen_t boundLength = sizeof bound;
  if (::getsockname(descriptor_, reinterpret_cast<sockaddr*>(&bound), &boundLength) == 0) {
    port_ = ntohs(bound.sin_port);
  }
  // The system's largest backlog: a burst of producers connecting at once
  // waits in the kernel instead of being dropped into SYN retransmits.
  if (::listen(descriptor_, SOMAXCONN) != 0) {
    return fail(descriptor_, socketErrorFromErrno(errno));
  }
  if (!startWatching(kEventRead | kEventAccept | kEventClose)) {
    return fail(descriptor_, socketErrorFromErrno(errno));
  }
  outOfDescriptors_ = false;
  spare_ = std::make_unique<SpareDescriptor>(
      loop(), [this](bool accepting) { setInterest(accepting, false); });
  return {};
}

// The connections close at once and quietly; a handler that is running may
// still hold one, so they are freed by the sweep.
void TcpListener::deactivate() {
  spare_.reset();
  while (!connections_.empty()) release(connections_.size() - 1, true);
  if (const int error = closeForOwner()) report(onError, error);
}

// A failure of the listening socket (or of one not yet made: socket is then
// kInvalidSocket, as is descriptor_) closes the listener; a connection's
// closes that connection.
Error TcpListener::fail(int socket, int errorCode) {
  if (socket == descriptor_) {
    setListening(false);
  } else if (socket != kInvalidSocket) {
    for (std::size_t i = connections_.size(); i-- > 0;) {
      if (connections_[i]->descriptor() == socket) {
        release(i, true);
        break;
      }
    }
  }
  report(onError, errorCode);
  return Error{errorCode, socketErrorText(errorCode)};
}

// Accepts one connection, which registers its socket itself.
void TcpListener::connectionReady() {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  const int fd = ::accept4(descriptor_, reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    // The connection went away between readiness and accept: nothing to take.
    if (err == EAGAIN || err == EWOULDBLOCK || err == ECONNABORTED || err == EINTR) return;
    // Out of descriptors: the waiting producer is turned away (or accepting
    // pauses) instead of the loop spinning on it, and the shortage is
    // reported once, not once per knock.
    if (spare_ && spare_->acceptFailed(descriptor_, err) != SpareDescriptor::Outcome::NotShortage) {
      if (outOfDescriptors_) return;
      outOfDescriptors_ = true;
    }
    fail(kInvalidSocket, socketErrorFromErrno(err));
    return;
  }
  outOfDescriptors_ = false;
  char dotted[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &peer.sin_addr, dotted, sizeof dotted);
  std::unique_ptr<AcceptedConnection> connection(
      new AcceptedConnection(loop(), *this, fd, dotted, port_));
  if (!connection->startWatching(kEventRead | kEventClose)) {
    const int error = socketErrorFromErrno(errno);
    connection.reset();
    fail(fd, error);
    return;
  }
  AcceptedConnection& accepted = *connection;
  connections_.push_back(std::move(connection));
  if (onClientConnected) onClientConnected(accepted);
}

void TcpListener::connectionRead(AcceptedConnection& connection, std::string_view bytes) {
  if (onClientRead) onClientRead(connection, bytes);
}

// Out of the list before the handler; closed and freed by the sweep after
// it, whatever the handler does to the listener meanwhile.
void TcpListener::connectionEnded(AcceptedConnection& connection) {
  for (std::size_t i = 0; i < connections_.size(); ++i) {
    if (connections_[i].get() != &connection) continue;
    release(i, false);
    if (onClientDisconnected) onClientDisconnected(connection);
    return;
  }
}

// Out of the list and closed before the report; freed by the sweep. One no
// longer listed was released when its peer closed, and only closes now.
void TcpListener::connectionFailed(AcceptedConnection& connection, int errorCode) {
  bool listed = false;
  for (std::size_t i = 0; i < connections_.size() && !listed; ++i) {
    if (connections_[i].get() != &connection) continue;
    listed = true;
    release(i, true);
  }
  if (!listed) connection.closeQuietly();
  report(onError, errorCode);
}

void TcpListener::release(std::size_t i, bool closeNow) {
  std::unique_ptr<AcceptedConnection> connection = std::move(connections_[i]);
  connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(i));
  if (closeNow) {
    connection->closeQuietly();
  } else {
    connection->stopWatching();
  }
  released_.push_back(std::move(connection));
  scheduleSweep();
}

void TcpListener::scheduleSweep() {
  if (sweepPosted_) return;
  sweepPosted_ = true;
  loop().post([listener = handle()] {
    if (const auto alive = listener.lock()) static_cast<TcpListener*>(*alive)->sweep();
  });
}

void TcpListener::sweep() {
  sweepPosted_ = false;
  for (std::size_t i = connections_.size(); i-- > 0;) {
    if (connections_[i]->descriptor() != kInvalidSocket) continue;
    released_.push_back(std::move(connections_[i]));
    connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(i));
  }
  released_.clear();
}

}  // namespace varnok::net
