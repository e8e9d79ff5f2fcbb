#pragma once

// Socket readiness from the event loop turned into (socket, event, error)
// notifications: read 1, write 2, accept 8, connect 16, close 32, with an
// error number above kWsaBaseErr when the event carries an error. Internal
// to the socket layer.
//
// Ownership: a SocketChannel is the record of one registered descriptor. The
// socket object whose descriptor it watches (socket_base.h) holds it, by the
// only strong reference, from the registration until the close; an accepted
// connection holds its own, and hands what it hears on to its listener. The
// loop's watch for the descriptor (the one map that knows it) holds only a
// weak reference. The owner cancels the channel before it closes the
// descriptor; from then on nothing is delivered for it, not even readiness
// already collected in the current round.
//
// Re-entry: while it delivers a notification the channel keeps itself alive,
// so that the sink may close the socket (and drop the channel), or destroy
// its owner, from inside the notification; the channel delivers nothing
// more once it has been cancelled. That is the one guard at the loop's edge.
// Above it, the socket objects never free an object that a handler may still
// be using (socket_base.h), so nothing re-checks after a handler whether its
// listener or connection is still there.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/event_loop.h"

namespace varnok::net {

// What a notification is about; a registration mask combines them.
enum SocketEvent : int {
  kEventRead = 1,
  kEventWrite = 2,  // only while output waits to be written
  kEventAccept = 8,
  kEventConnect = 16,
  kEventClose = 32
};

// A connect that the peer never answers fails after this long, with
// kWsaETimedOut.
constexpr int kConnectTimeoutMs = 21000;

using NotifySink = std::function<void(int socket, int event, int error)>;

class SocketChannel : public std::enable_shared_from_this<SocketChannel> {
 public:
  // Registers fd for the events in mask (a combination of SocketEvent
  // values); sink receives its notifications on the loop's thread, one per
  // readiness round. A mask with accept watches a listening socket; one with
  // connect watches a connect under way (and times it out), then reading;
  // any other mask watches a connected socket. Returns nullptr, with errno
  // set, when epoll refuses.
  static std::shared_ptr<SocketChannel> open(EventLoop& loop, int fd, int mask, NotifySink sink);
  ~SocketChannel();
  SocketChannel(const SocketChannel&) = delete;
  SocketChannel& operator=(const SocketChannel&) = delete;

  // No notification is delivered after this; call before closing the
  // descriptor. Safe to call more than once.
  void cancel();
  // For a connected socket (or a listener: whether to accept): whether read
  // notifications are wanted (off while the owner pauses reading; a broken
  // connection is still reported), and whether write notifications
  // (kEventWrite, the socket can take more bytes) are wanted. Reading starts
  // on, writing off.
  void setInterest(bool read, bool write);

 private:
  enum class Mode { Listening, Connecting, Connected, Finished };

  SocketChannel(EventLoop& loop, int fd, Mode mode, NotifySink sink);
  void onReady(std::uint32_t bits);
  void onConnectTimeout();
  // Hands one notification to the sink; false when the channel was
  // cancelled meanwhile.
  bool deliver(int event, int error);
  // Delivers the last notification the socket has to give (a close, a failed
  // connect); if its owner kept it open, stops watching it so that a
  // level-triggered hang-up cannot spin the loop.
  void finish(int event, int error);
  std::uint32_t connectedEvents() const;

  EventLoop& loop_;
  const int fd_;
  Mode mode_;
  bool active_ = true;
  bool wantRead_ = true;    // EPOLLIN while connected; off while reading is paused
  bool wantWrite_ = false;  // EPOLLOUT while connected and output waits
  const NotifySink sink_;
  std::unique_ptr<Timer> connectTimer_;  // only while connecting
};

}  // namespace varnok::net
