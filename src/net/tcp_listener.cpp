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

AcceptedConnection::AcceptedConnection(EventLoop& loop, ConnectionOwner& owner, UniqueFd socket,
                                       std::string peer, std::uint16_t port)
    : SocketBase(loop), owner_(owner) {
  socket_ = std::move(socket);
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
  int err = 0;
  const int sent = sendOrKeep(bytes, err);
  if (sent < 0) owner_.connectionFailed(*this, err, ErrorOrigin::Call);
  return sent;
}

// Closed now, freed by the listener's sweep once the loop comes round. A
// failing close(2) is raised to the caller, who asked for the close, before
// the listener hears of it.
void AcceptedConnection::close() {
  if (!open_) return;
  open_ = false;
  if (const int err = closeForOwner()) {
    throw SocketError(socketErrorText(socketErrorFromErrno(err)));
  }
  owner_.connectionClosed();
}

void AcceptedConnection::received(std::string_view bytes) {
  owner_.connectionRead(*this, bytes);
}

void AcceptedConnection::peerClosed() {
  owner_.connectionEnded(*this);
}

void AcceptedConnection::failed(int err, ErrorOrigin origin) {
  owner_.connectionFailed(*this, err, origin);
}

TcpListener::TcpListener(EventLoop& loop) : loop_(loop) {}

TcpListener::~TcpListener() {
  freeLastToFirst(connections_);
  released_.clear();
  acceptor_.reset();
}

void TcpListener::setPort(std::uint16_t port) {
  if (port == port_) return;
  if (open_) throw SocketError("Cannot change Port while active");
  port_ = port;
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
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!fd) {
    // Closing a listener that never got its socket reports kWsaENotSock
    // first, as closing any socket without one does.
    const int err = errno;
    open_ = false;
    deactivate();
    reportSocketError(onError, ENOTSOCK);
    return failListening(err);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port_);
  const int reuse = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return failListening(errno);
  }
  sockaddr_in bound{};
  socklen_t boundLength = sizeof bound;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &boundLength) == 0) {
    port_ = ntohs(bound.sin_port);
  }
  // The system's largest backlog: a burst of producers connecting at once
  // waits in the kernel instead of being dropped into SYN retransmits.
  if (::listen(fd.get(), SOMAXCONN) != 0) return failListening(errno);
  // Out of descriptors, the waiting producer is turned away (or accepting
  // pauses) instead of the loop spinning on it, and the shortage is
  // reported once, not once per knock.
  acceptor_ = std::make_unique<Acceptor>(
      loop_, std::move(fd), 1,
      Acceptor::Handlers{
          .accepted = [this](UniqueFd accepted, const sockaddr_storage& peer,
                             socklen_t) { this->accepted(std::move(accepted), peer); },
          .batchDone = {},
          .failed = [this](int err) { reportSocketError(onError, err); },
      });
  if (!acceptor_->start()) return failListening(errno);
  return {};
}

// The connections close at once and quietly; a handler that is running may
// still hold one, so they are freed by the sweep.
void TcpListener::deactivate() {
  while (!connections_.empty()) release(connections_.size() - 1, true);
  acceptor_.reset();
}

Error TcpListener::failListening(int err) {
  if (open_) {
    open_ = false;
    deactivate();
  }
  return reportSocketError(onError, err);
}

void TcpListener::accepted(UniqueFd fd, const sockaddr_storage& peer) {
  char dotted[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, dotted, sizeof dotted);
  std::unique_ptr<AcceptedConnection> connection(
      new AcceptedConnection(loop_, *this, std::move(fd), dotted, port_));
  if (!connection->startWatching(false)) {
    const int err = errno;
    connection.reset();
    reportSocketError(onError, err);
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
void TcpListener::connectionFailed(AcceptedConnection& connection, int err, ErrorOrigin origin) {
  bool listed = false;
  for (std::size_t i = 0; i < connections_.size() && !listed; ++i) {
    if (connections_[i].get() != &connection) continue;
    listed = true;
    release(i, true);
  }
  if (!listed) connection.closeQuietly();
  reportSocketError(onError, err, origin);
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
  loop_.post([this, alive = life_.watch()] {
    if (alive.alive()) sweep();
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
