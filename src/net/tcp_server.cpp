#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net/simple_tcp.h"
#include "net/socket_notifier.h"

namespace varnok::net {

TSimpleTCPServer::TSimpleTCPServer(EventLoop& loop) : TCustomSocket(loop) {}

// Frees every connection and closes the listening socket; no event fires. A
// report from a close goes to the application.
TSimpleTCPServer::~TSimpleTCPServer() {
  spare_.reset();
  connections_.Clear();
  released_.clear();
  closeQuietly();
}

// Listens on every local IPv4 address. SO_REUSEADDR lets a new listener take
// the port from connections that a previous copy left behind (a copy killed
// with producers connected); Linux still refuses a port that another
// listener holds, which is reported (kWsaEAddrInUse), never shared.
void TSimpleTCPServer::Activate() {
  socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (socket_ == kInvalidSocket) {
    DoError(kInvalidSocket, socketErrorFromErrno(errno));
    return;
  }
  Address = sockaddr_in{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_ANY);
  Address.sin_port = htons(port_);
  const int reuse = 1;
  ::setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (::bind(socket_, reinterpret_cast<const sockaddr*>(&Address), sizeof Address) != 0) {
    DoError(socket_, socketErrorFromErrno(errno));
    return;
  }
  // Port 0 lets the system choose: Port reads the port actually bound.
  sockaddr_in bound{};
  socklen_t boundLength = sizeof bound;
  if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&bound), &boundLength) == 0) {
    port_ = ntohs(bound.sin_port);
  }
  // The system's largest backlog: a burst of producers connecting at once
  // waits in the kernel instead of being dropped into SYN retransmits.
  if (::listen(socket_, SOMAXCONN) != 0) {
    DoError(socket_, socketErrorFromErrno(errno));
    return;
  }
  if (!RegisterSocket(socket_, kEventRead | kEventAccept | kEventClose, this)) {
    DoError(socket_, socketErrorFromErrno(errno));
    return;
  }
  outOfDescriptors_ = false;
  spare_ = std::make_unique<SpareDescriptor>(loop(), [this](bool accepting) {
    if (channel_) channel_->setInterest(accepting, false);
  });
}

// Accepts one connection. The accepted socket is registered by the
// connection itself, with its notifications coming to this server.
void TSimpleTCPServer::DoConnect() {
  socklen_t length = sizeof Address;
  const int fd = ::accept4(socket_, reinterpret_cast<sockaddr*>(&Address), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    // The connection went away between readiness and accept: nothing to take.
    if (err == EAGAIN || err == EWOULDBLOCK || err == ECONNABORTED || err == EINTR) return;
    // Out of descriptors: the waiting producer is turned away (or accepting
    // pauses) instead of the loop spinning on it, and the shortage is
    // reported once, not once per knock.
    if (spare_ && spare_->acceptFailed(socket_, err) != SpareDescriptor::Outcome::NotShortage) {
      if (outOfDescriptors_) return;
      outOfDescriptors_ = true;
    }
    DoError(kInvalidSocket, socketErrorFromErrno(err));
    return;
  }
  outOfDescriptors_ = false;
  auto connection = std::make_unique<TSimpleTCPClient>(loop());
  connection->socket_ = fd;
  connection->host_ = inet_ntoa(Address.sin_addr);
  connection->port_ = port_;
  connection->listen_ = true;
  connection->accepted_ = true;
  connection->server_ = this;
  connection->readWaitsForOutput_ = true;
  if (!connection->RegisterSocket(fd, kEventRead | kEventClose, this)) {
    const int error = socketErrorFromErrno(errno);
    connection.reset();
    DoError(fd, error);
    return;
  }

  if (OnAccept) {
    bool accept = true;
    OnAccept(this, connection.get(), accept);
    // A refused connection is closed at once; so is one that the handler
    // left without its server (the server was closed inside OnAccept).
    if (!accept || !listen_) return;
  }
  TSimpleTCPClient* client = connection.get();
  connections_.Add(std::move(connection));
  if (OnClientConnected) OnClientConnected(this, client);
}

// Out of the list before the event; closed and freed by the sweep after it,
// whatever the handler does to the server meanwhile.
void TSimpleTCPServer::DoDisconnect(TCustomSocket* Connection) {
  for (int i = 0; i < connections_.Count(); ++i) {
    TSimpleTCPClient* client = connections_[i];
    if (client != Connection) continue;
    release(i, false);
    if (OnClientDisconnected) OnClientDisconnected(this, client);
    return;
  }
}

void TSimpleTCPServer::DoError(int Socket, int ErrorCode) {
  if (Socket == socket_) {
    SetListen(false);
  } else if (Socket != kInvalidSocket) {
    for (int i = connections_.Count() - 1; i >= 0; --i) {
      if (connections_[i]->socket_ == Socket) {
        release(i, true);
        break;
      }
    }
  }
  TCustomSocket::DoError(Socket, ErrorCode);
}

// The connections close at once and quietly; a handler that is running may
// still hold one, so they are freed by the sweep.
void TSimpleTCPServer::Deactivate() {
  spare_.reset();
  while (connections_.Count() > 0) release(connections_.Count() - 1, true);
  TCustomSocket::Deactivate();
}

void TSimpleTCPServer::DoDataAvailable(TCustomSocket* Connection, int DataSize, bool& Handled) {
  Handled = static_cast<bool>(OnClientDataAvailable);
  if (Handled) OnClientDataAvailable(this, static_cast<TSimpleTCPClient*>(Connection), DataSize);
}

void TSimpleTCPServer::DoRead(TCustomSocket* Connection, TMemoryStream& Stream) {
  if (OnClientRead) OnClientRead(this, static_cast<TSimpleTCPClient*>(Connection), Stream);
}

void TSimpleTCPServer::release(int i, bool closeNow) {
  std::unique_ptr<TSimpleTCPClient> connection = connections_.Extract(i);
  if (closeNow) {
    connection->closeQuietly();
  } else if (connection->channel_) {
    connection->channel_->cancel();
    connection->channel_.reset();
  }
  released_.push_back(std::move(connection));
  scheduleSweep();
}

void TSimpleTCPServer::scheduleSweep() {
  if (sweepPosted_) return;
  sweepPosted_ = true;
  loop().post([server = Handle()] {
    if (const auto alive = server.lock()) static_cast<TSimpleTCPServer*>(*alive)->sweep();
  });
}

void TSimpleTCPServer::sweep() {
  sweepPosted_ = false;
  for (int i = connections_.Count() - 1; i >= 0; --i) {
    if (connections_[i]->socket_ == kInvalidSocket) released_.push_back(connections_.Extract(i));
  }
  released_.clear();
}

}  // namespace varnok::net
