#pragma once

// The listening TCP socket and the connections it accepts. Ownership and
// re-entry as described in socket_base.h: the listener owns its
// connections and frees one that has closed only once the handler running
// at the time has returned.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/socket_base.h"
#include "platform/acceptor.h"
#include "platform/liveness.h"
#include "platform/result.h"

namespace varnok::net {

class AcceptedConnection;

// What an accepted connection tells the listener that owns it. The listener
// is the one implementation; it outlives its connections.
class ConnectionOwner {
 public:
  virtual void connectionRead(AcceptedConnection& connection, std::string_view bytes) = 0;
  // The peer closed.
  virtual void connectionEnded(AcceptedConnection& connection) = 0;
  // A receive, a send, or a write of waiting output failed with err (an
  // errno value), met as origin says.
  virtual void connectionFailed(AcceptedConnection& connection, int err, ErrorOrigin origin) = 0;
  // The connection closed itself (close()) and waits to be freed.
  virtual void connectionClosed() = 0;

 protected:
  ~ConnectionOwner() = default;
};

// A connection that the listener accepted. Its reads, its peer's close and
// its errors, a failed send included, go to the listener's handlers; it has
// no handlers of its own.
class AcceptedConnection : public SocketBase {
 public:
  ~AcceptedConnection() override;

  // Sends bytes (MSG_NOSIGNAL). What the socket does not take at once is kept
  // and written, in order and before anything sent later, as soon as the
  // socket is writable; meanwhile the peer is not read. Returns the count,
  // 0 once closed or for no bytes, -1 when the send failed: the connection
  // is then released by the listener (closed, no longer listed, and valid
  // until the running handler returns) and the error reported to the
  // listener's onError before send returns (raised as SocketError without
  // one). The caller checks the count: after -1 the connection is gone.
  int send(std::string_view bytes);
  // The abortive close; nothing once closed. Runs no handler; a failing
  // close(2) is raised as SocketError.
  void close();

 private:
  friend class TcpListener;
  AcceptedConnection(EventLoop& loop, ConnectionOwner& owner, UniqueFd socket, std::string peer,
                     std::uint16_t port);

  void connectionReady() override {}
  void received(std::string_view bytes) override;
  void peerClosed() override;
  void failed(int err, ErrorOrigin origin) override;

  ConnectionOwner& owner_;
};

// Listens on every local IPv4 address at port() and accepts connections,
// one per readiness, through its Acceptor.
//
// Ownership: owns the acceptor (and with it the listening socket) while
// listening, and every connection it accepted (see socket_base.h).
class TcpListener : private ConnectionOwner {
 public:
  explicit TcpListener(EventLoop& loop);
  // Frees every connection and closes the listening socket; runs no handler.
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  EventLoop& loop() const { return loop_; }
  // Port 0 lets the system choose; port() then reads the one bound. Changes
  // only while not listening (SocketError otherwise); the same value is
  // always taken.
  void setPort(std::uint16_t port);
  std::uint16_t port() const { return port_; }
  // The listening socket; kInvalidSocket while not listening.
  int descriptor() const { return acceptor_ ? acceptor_->fd() : kInvalidSocket; }

  // Starts listening (errors, such as a port in use, are reported to
  // onError, leave the listener closed and come back as the result) or
  // closes the listener and every connection at once, without running a
  // handler (a failing close(2) is reported, and the close goes on).
  Result<> setListening(bool on);
  // Set before an attempt starts, so that it reads true while it runs.
  bool listening() const { return open_; }

  std::function<void(AcceptedConnection&)> onClientConnected;
  // The peer closed; the connection is no longer listed.
  std::function<void(AcceptedConnection&)> onClientDisconnected;
  // bytes are valid only during the call.
  std::function<void(AcceptedConnection&, std::string_view bytes)> onClientRead;
  // The listener's errors, and its connections' (a receive, a send or a
  // write that failed: the connection is closed and no longer listed by
  // then). It must not destroy the listener: it may run inside a
  // connection's send.
  ErrorHandler onError;

  // The connections listed: accepted and neither released nor freed. One
  // that closed itself stays listed until the loop comes round.
  std::size_t connectionCount() const { return connections_.size(); }
  AcceptedConnection& connection(std::size_t index) const { return *connections_.at(index); }

 private:
  Result<> activate();
  void deactivate();
  // A failure of the listening socket while it is made: closes the
  // listener, then reports err (an errno value); the error reported, for
  // the caller.
  Error failListening(int err);

  // Takes one connection from the acceptor, which registers its socket
  // itself.
  void accepted(UniqueFd fd, const sockaddr_storage& peer);

  void connectionRead(AcceptedConnection& connection, std::string_view bytes) override;
  void connectionEnded(AcceptedConnection& connection) override;
  void connectionFailed(AcceptedConnection& connection, int err, ErrorOrigin origin) override;
  void connectionClosed() override { scheduleSweep(); }

  // Entry i leaves the list at once and is freed by the next sweep. With
  // closeNow its socket is closed (quietly) at once too; without, it is only
  // no longer watched and closes when freed.
  void release(std::size_t i, bool closeNow);
  // Posts a sweep, unless one is already on its way.
  void scheduleSweep();
  // Frees what was released, and the listed connections that closed by
  // themselves, which stay listed until then.
  void sweep();

  EventLoop& loop_;
  std::uint16_t port_ = 0;
  bool open_ = false;
  // Exists while listening: the listening socket, and the reserve that keeps
  // accepting sane when descriptors run out.
  std::unique_ptr<Acceptor> acceptor_;
  std::vector<std::unique_ptr<AcceptedConnection>> connections_;
  std::vector<std::unique_ptr<AcceptedConnection>> released_;
  bool sweepPosted_ = false;
  Liveness life_;
};

}  // namespace varnok::net
