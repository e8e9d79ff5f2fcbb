#include "net/socket_channel.h"

#include <sys/socket.h>

#include <cerrno>

#include "net/socket_errors.h"

namespace varnok::net {
namespace {

// Where an errno without a socket error number goes (see notificationError).
constexpr int kUnmappedErrnoBase = 20000;

int pendingError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

// The notification number for an errno value: its socket error number. A
// notification carries an error only when its number is above kWsaBaseErr;
// an errno without a counterpart must not pass for success, so it is moved
// out of the way of every named number and keeps its value readable.
int notificationError(int err) {
  const int code = socketErrorFromErrno(err);
  return code > kWsaBaseErr ? code : kUnmappedErrnoBase + err;
}

}  // namespace

std::shared_ptr<SocketChannel> SocketChannel::open(EventLoop& loop, int fd, int mask,
                                                   NotifySink sink) {
  Mode mode = Mode::Connected;
  if (mask & kEventAccept) {
    mode = Mode::Listening;
  } else if (mask & kEventConnect) {
    mode = Mode::Connecting;
  }
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
  // effect once it has completed. A listener only reads (accepts).
  if (mode_ == Mode::Connected) loop_.modify(fd_, connectedEvents());
  if (mode_ == Mode::Listening) loop_.modify(fd_, read ? EPOLLIN : 0u);
}

std::uint32_t SocketChannel::connectedEvents() const {
  return (wantRead_ ? EPOLLIN : 0u) | (wantWrite_ ? EPOLLOUT : 0u);
}

bool SocketChannel::deliver(int event, int error) {
  sink_(fd_, event, error);
  return active_;
}

void SocketChannel::finish(int event, int error) {
  mode_ = Mode::Finished;
  if (connectTimer_) connectTimer_->setEnabled(false);
  if (deliver(event, error)) loop_.unwatch(fd_);
}

// Runs with the channel held alive by the loop's watch (see open).
void SocketChannel::onReady(std::uint32_t bits) {
  if (!active_) return;
  switch (mode_) {
    case Mode::Listening: {
      if (bits & EPOLLERR) {
        if (const int err = pendingError(fd_)) {
          finish(kEventClose, notificationError(err));
          return;
        }
      }
      if (bits & EPOLLIN) deliver(kEventAccept, 0);
      return;
    }
    case Mode::Connecting: {
      const int err = pendingError(fd_);
      if (err == 0 && !(bits & EPOLLOUT)) return;
      connectTimer_->setEnabled(false);
      if (err == 0) {
        mode_ = Mode::Connected;
        loop_.modify(fd_, connectedEvents());
        deliver(kEventConnect, 0);
      } else if (err == ECONNRESET || err == EPIPE) {
        // A reset can only come once the handshake has completed: the
        // connection was established and then broken, whatever the timing.
        mode_ = Mode::Connected;
        if (!deliver(kEventConnect, 0)) return;
        finish(kEventClose, notificationError(err));
      } else {
        finish(kEventConnect, notificationError(err));
      }
      return;
    }
    case Mode::Connected: {
      if ((bits & EPOLLOUT) && wantWrite_) {
        if (!deliver(kEventWrite, 0)) return;
      }
      // A paused reader still hears of a broken connection (EPOLLERR and
      // EPOLLHUP come whatever was asked for): it is read to its end.
      if (!(bits & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP))) return;
      // The reader finds out what is there: bytes first, and the peer's close
      // or an error once they have been taken (a receive of 0 or -1).
      deliver(kEventRead, 0);
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
  finish(kEventConnect, notificationError(ETIMEDOUT));
}

}  // namespace varnok::net
