#pragma once

// Socket readiness from the event loop turned into (event, error)
// notifications, the error an errno value (0: none). Internal to the socket
// layer.
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

// What a notification is about.
enum class SocketEvent {
  Read,     // bytes, the peer's close or an error wait to be received
  Write,    // the socket can take more; only while output waits
  Connect,  // a connect has completed, or failed (with its error)
  Close,    // the connection broke (with its error)
};

// A connect that the peer never answers fails after this long, with
// ETIMEDOUT.
constexpr int kConnectTimeoutMs = 21000;

using NotifySink = std::function<void(SocketEvent event, int err)>;

class SocketChannel : public std::enable_shared_from_this<SocketChannel> {
 public:
  // Registers fd; sink receives its notifications on the loop's thread, one
  // per readiness round. With connecting, it watches a connect under way
  // (and times it out), then reading; otherwise a connected socket. Returns
  // nullptr, with errno set, when epoll refuses.
  static std::shared_ptr<SocketChannel> open(EventLoop& loop, int fd, bool connecting,
                                             NotifySink sink);
  ~SocketChannel();
  SocketChannel(const SocketChannel&) = delete;
  SocketChannel& operator=(const SocketChannel&) = delete;

  // No notification is delivered after this; call before closing the
  // descriptor. Safe to call more than once.
  void cancel();
  // Whether read notifications are wanted (off while the owner pauses
  // reading; a broken connection is still reported), and whether write
  // notifications (SocketEvent::Write) are wanted. Reading starts on,
  // writing off; during a connect the wishes wait for it to complete.
  void setInterest(bool read, bool write);

 private:
  enum class Mode { Connecting, Connected, Finished };

  SocketChannel(EventLoop& loop, int fd, Mode mode, NotifySink sink);
  void onReady(std::uint32_t bits);
  void onConnectTimeout();
  // Hands one notification to the sink; false when the channel was
  // cancelled meanwhile.
  bool deliver(SocketEvent event, int err);
  // Delivers the last notification the socket has to give (a close, a failed
  // connect); if its owner kept it open, stops watching it so that a
  // level-triggered hang-up cannot spin the loop.
  void finish(SocketEvent event, int err);
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
