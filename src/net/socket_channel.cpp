#include "net/socket_channel.h"

#include <sys/socket.h>

#include <cerrno>

namespace varnok::net {
namespace {

int pendingError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

}  // namespace

std::shared_ptr<SocketChannel> SocketChannel::open(EventLoop& loop, int fd, bool connecting,
                                                   NotifySink sink) {
  const Mode mode = connecting ? Mode::Connecting : Mode::Connected;
  std::shared_ptr<SocketChannel> channel(new SocketChannel(loop, fd, mode, std::move(sink)));
  const std::uint32_t events = mode == Mode::Connecting ? EPOLLOUT : EPOLLIN;
  const std::weak_ptr<SocketChannel> weak = channel;
  if (!loop.watch(fd, events, [weak](std::uint32_t bits) {
        if (const std::shared_ptr<SocketChannel> self = weak.lock()) self->onReady(bits);
      })) {
    const int saved = errno;
    channel->active_ = false;  // nothing to cancel
    channel.reset();
    errno = saved;
    return nullptr;
  }
  if (mode == Mode::Connecting) {
    channel->connectTimer_ =
        std::make_unique<Timer>(loop, [raw = channel.get()] { raw->onConnectTimeout(); });
    channel->connectTimer_->setInterval(kConnectTimeoutMs);
    channel->connectTimer_->setEnabled(true);
  }
  return channel;
}

SocketChannel::SocketChannel(EventLoop& loop, int fd, Mode mode, NotifySink sink)
    : loop_(loop), fd_(fd), mode_(mode), sink_(std::move(sink)) {}

SocketChannel::~SocketChannel() {
  cancel();
}

void SocketChannel::cancel() {
  if (!active_) return;
  active_ = false;
  if (connectTimer_) connectTimer_->setEnabled(false);
  loop_.unwatch(fd_);
}

void SocketChannel::setInterest(bool read, bool write) {
  if (wantRead_ == read && wantWrite_ == write) return;
  wantRead_ = read;
  wantWrite_ = write;
  if (!active_) return;
  // A connect under way watches for writability anyway; the wishes take
  // effect once it has completed.
  if (mode_ == Mode::Connected) loop_.modify(fd_, connectedEvents());
}

std::uint32_t SocketChannel::connectedEvents() const {
  return (wantRead_ ? EPOLLIN : 0u) | (wantWrite_ ? EPOLLOUT : 0u);
}

bool SocketChannel::deliver(SocketEvent event, int err) {
  sink_(event, err);
  return active_;
}

void SocketChannel::finish(SocketEvent event, int err) {
  mode_ = Mode::Finished;
  if (connectTimer_) connectTimer_->setEnabled(false);
  if (deliver(event, err)) loop_.unwatch(fd_);
}

// Runs with the channel held alive by the loop's watch (see open).
void SocketChannel::onReady(std::uint32_t bits) {
  if (!active_) return;
  switch (mode_) {
    case Mode::Connecting: {
      const int err = pendingError(fd_);
      if (err == 0 && !(bits & EPOLLOUT)) return;
      connectTimer_->setEnabled(false);
      if (err == 0) {
        mode_ = Mode::Connected;
        loop_.modify(fd_, connectedEvents());
        deliver(SocketEvent::Connect, 0);
      } else if (err == ECONNRESET || err == EPIPE) {
        // A reset can only come once the handshake has completed: the
        // connection was established and then broken, whatever the timing.
        mode_ = Mode::Connected;
        if (!deliver(SocketEvent::Connect, 0)) return;
        finish(SocketEvent::Close, err);
      } else {
        finish(SocketEvent::Connect, err);
      }
      return;
    }
    case Mode::Connected: {
      if ((bits & EPOLLOUT) && wantWrite_) {
        if (!deliver(SocketEvent::Write, 0)) return;
      }
      // A paused reader still hears of a broken connection (EPOLLERR and
      // EPOLLHUP come whatever was asked for): it is read to its end.
      if (!(bits & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP))) return;
      // The reader finds out what is there: bytes first, and the peer's close
      // or an error once they have been taken (a receive of 0 or -1).
      deliver(SocketEvent::Read, 0);
      return;
    }
    case Mode::Finished:
      return;
  }
}

void SocketChannel::onConnectTimeout() {
  if (!active_ || mode_ != Mode::Connecting) return;
  // The timer's callback does not hold the channel the way the loop's watch
  // does: hold it here, for the sink may drop it.
  const std::shared_ptr<SocketChannel> self = shared_from_this();
  finish(SocketEvent::Connect, ETIMEDOUT);
}

}  // namespace varnok::net
