#pragma once

// Event-driven, non-blocking IPv4 TCP over the process's one event loop: the
// part that accepted connections (tcp_listener.h) and the outgoing client
// (tcp_client.h) have in common. The listener takes its connections through
// the platform's Acceptor.
//
// Ownership: the owner of a listener or a client (the dispatcher) holds it by
// value or unique_ptr. Each open socket has one SocketChannel, its
// registration with the loop, held by the object whose socket it is
// (socket_channel.h); the loop refers to it only weakly. The listener owns
// its accepted connections; one that closes, whoever closes it, is freed by
// the listener only after the handler that is running has returned (a sweep
// posted to the loop), so a handler never runs on a freed connection, and a
// connection handed to a handler stays valid until the handler returns.
// The bytes handed to a read handler belong to the layer and live only for
// the call.
//
// Re-entry: handlers may run synchronously inside setListening,
// setConnected and send, and may call back into the object that called
// them: close it, reopen it, send, pause reading. A handler must not destroy
// the object that called it or reassign the handler that is running, with
// one exception: the listener may be destroyed by the last statement of its
// onClientConnected, onClientRead or onClientDisconnected handler (nothing
// touches the listener or its connections after such a handler returns).
// Destroying a listener, a connection or a client runs no handler.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "net/socket_errors.h"
#include "platform/event_loop.h"
#include "platform/unique_fd.h"

namespace varnok::net {

class SocketChannel;
enum class SocketEvent;

constexpr int kInvalidSocket = -1;

class SocketBase {
 public:
  // The most one read notification takes: one receive of this size is one
  // chunk, so no peer can keep the loop to itself or grow a buffer.
  static constexpr int kReadChunk = 64 * 1024;

  virtual ~SocketBase();
  SocketBase(const SocketBase&) = delete;
  SocketBase& operator=(const SocketBase&) = delete;

  EventLoop& loop() const { return loop_; }
  // A client's target; an accepted connection's peer address and the
  // listener's port.
  const std::string& host() const { return host_; }
  std::uint16_t port() const { return port_; }
  int descriptor() const { return socket_.get(); }
  // Dialling or connected; accepted and not closed. Set before
  // an attempt starts, so that it reads true while the attempt runs.
  bool isOpen() const { return open_; }

  // Bytes handed to send that the socket has not taken yet.
  std::size_t pendingOutput() const { return outPending_.size() - outOffset_; }
  // pendingOutput plus what the kernel still holds unacknowledged: what an
  // abortive close at this moment would throw away. 0 without a socket.
  std::size_t outputInFlight() const;
  // What the last close of this socket threw away, counted as above.
  std::size_t bytesLostOnClose() const { return lostOnClose_; }
  // The peer's TCP acknowledgements so far, as a running byte count on this
  // socket's own scale (the connection's SYN counts too: only differences
  // mean anything). After a close, the count as it stood at the close; a
  // reset does not take it back, as it does the unacknowledged bytes.
  std::uint64_t bytesAcknowledged() const;

  // Stops or resumes reading this socket: while paused nothing more is read,
  // so TCP slows the peer down; a broken connection is still reported.
  void setReadPaused(bool paused);
  bool readPaused() const { return readPaused_; }

  // Whatever the application keeps with this socket; freed with it.
  std::shared_ptr<void> userData;

 protected:
  explicit SocketBase(EventLoop& loop);

  // What the socket's channel reports, for the concrete socket to handle.
  // A connect has completed.
  virtual void connectionReady() = 0;
  // One chunk of received bytes, valid only during the call.
  virtual void received(std::string_view bytes) = 0;
  // The peer has closed the connection; every byte before it was received.
  virtual void peerClosed() = 0;
  // A notification, a receive or a write of waiting output failed with err
  // (an errno value), met as origin says.
  virtual void failed(int err, ErrorOrigin origin) = 0;
  // Everything that send had to keep has been written.
  virtual void allWritten() {}

  // Host and port change only while the socket is not open; the same value
  // is always taken.
  void changeHost(const std::string& host);
  void changePort(std::uint16_t port);

  // Registers socket_ with the loop, as a connect under way or as a
  // connected socket; its notifications come to the hooks above. False,
  // with errno set, when the loop refuses.
  bool startWatching(bool connecting);
  // No more notifications; the descriptor stays open.
  void stopWatching();
  // The abortive close: no more notifications, both directions shut, linger
  // on with 0 s, so that unsent data is dropped and the peer sees a reset.
  // Records what is lost. Returns close()'s result with errno as it left it;
  // 0 when there is no socket.
  int closeSocket();
  // The close that the owner asks for, once open_ is already false: 0, or
  // the errno to report: ENOTSOCK when there is no socket (an attempt still
  // looking up its host has none), or what a failing close gave.
  int closeForOwner();
  // Closes without any handler (destruction, a listener dropping its
  // connections); a failing close is reported to the application.
  void closeQuietly();

  // Sends what it can of bytes now and keeps the rest, to be written in
  // order, before anything sent later, as soon as the socket is writable.
  // Returns the count, 0 without a socket or for no bytes, -1 with err set
  // to send's errno when it failed.
  int sendOrKeep(std::string_view bytes, int& err);
  // Brings the read and write notifications in line with the pause and the
  // pending output.
  void updateInterest();

  bool open_ = false;
  std::string host_;
  std::uint16_t port_ = 0;
  // Given up only by closeSocket, which closes it abortively and needs
  // close()'s own result.
  UniqueFd socket_;
  // Set on accepted connections: while an answer waits to be written, the
  // peer is not read, so a peer that never reads cannot make us queue
  // answers without end.
  bool readWaitsForOutput_ = false;

 private:
  // One notification from the channel; err is an errno value, 0 for none.
  void notify(SocketEvent event, int err);
  void readChunk();
  void writePending();

  EventLoop& loop_;
  std::shared_ptr<SocketChannel> channel_;  // while socket_ is registered
  std::string outPending_;
  std::size_t outOffset_ = 0;
  std::size_t lostOnClose_ = 0;
  std::uint64_t ackedAtClose_ = 0;
  bool readPaused_ = false;
};

}  // namespace varnok::net
