#include "net/socket_notifier.h"

#include <sys/socket.h>

#include <cerrno>
#include <unordered_map>

#include "net/simple_tcp.h"

namespace varnok::net {
namespace {

enum class Mode { Listening, Connecting, Connected, Finished };

struct Registration : std::enable_shared_from_this<Registration> {
  EventLoop* loop = nullptr;
  int fd = -1;
  Mode mode = Mode::Connected;
  bool active = true;
  bool wantRead = true;    // EPOLLIN while connected; off while reading is paused
  bool wantWrite = false;  // EPOLLOUT while connected and output waits
  NotifySink sink;
  std::unique_ptr<Timer> connectTimer;
};

// Keyed by descriptor: descriptors are unique in the process whatever loop
// watches them, and the component that closes a socket (an accepted
// connection) is not always the one that registered it (its server).
std::unordered_map<int, std::shared_ptr<Registration>>& registry() {
  // Never destroyed: a record that outlives its component must not be torn
  // down after the loops at program exit.
  static auto* records = new std::unordered_map<int, std::shared_ptr<Registration>>;
  return *records;
}

void cancel(int fd) {
  auto& records = registry();
  auto found = records.find(fd);
  if (found == records.end()) return;
  std::shared_ptr<Registration> reg = found->second;
  records.erase(found);
  reg->active = false;
  if (reg->connectTimer) reg->connectTimer->setEnabled(false);
  reg->loop->unwatch(fd);
}

std::uint32_t connectedEvents(const Registration& reg) {
  return (reg.wantRead ? EPOLLIN : 0u) | (reg.wantWrite ? EPOLLOUT : 0u);
}

void deliver(const std::shared_ptr<Registration>& reg, int event, int error) {
  if (!reg->active) return;
  NotifySink sink = reg->sink;  // the handler may cancel, and so free the record
  sink(reg->fd, event, error);
}

// After a close or a failed connect has been delivered the socket has nothing
// more to say; if its component kept it open, stop watching it so that a
// level-triggered hang-up cannot spin the loop.
void retire(const std::shared_ptr<Registration>& reg) {
  if (!reg->active) return;
  reg->mode = Mode::Finished;
  reg->loop->unwatch(reg->fd);
}

int pendingError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

void onReady(const std::shared_ptr<Registration>& reg, std::uint32_t bits) {
  if (!reg->active) return;
  const int fd = reg->fd;
  switch (reg->mode) {
    case Mode::Listening: {
      if (bits & EPOLLERR) {
        if (const int err = pendingError(fd)) {
          deliver(reg, kEventClose, notificationError(err));
          retire(reg);
          return;
        }
      }
      if (bits & EPOLLIN) deliver(reg, kEventAccept, 0);
      return;
    }
    case Mode::Connecting: {
      const int err = pendingError(fd);
      if (err == 0 && !(bits & EPOLLOUT)) return;
      if (reg->connectTimer) reg->connectTimer->setEnabled(false);
      if (err == 0) {
        reg->mode = Mode::Connected;
        reg->loop->modify(fd, connectedEvents(*reg));
        deliver(reg, kEventConnect, 0);
      } else if (err == ECONNRESET || err == EPIPE) {
        // A reset can only come once the handshake has completed: the
        // connection was established and then broken, whatever the timing.
        reg->mode = Mode::Connected;
        deliver(reg, kEventConnect, 0);
        if (!reg->active) return;
        deliver(reg, kEventClose, notificationError(err));
        retire(reg);
      } else {
        reg->mode = Mode::Finished;
        deliver(reg, kEventConnect, notificationError(err));
        retire(reg);
      }
      return;
    }
    case Mode::Connected: {
      if ((bits & EPOLLOUT) && reg->wantWrite) {
        deliver(reg, kEventWrite, 0);
        if (!reg->active || reg->mode != Mode::Connected) return;
      }
      // A paused reader still hears of a broken connection (EPOLLERR and
      // EPOLLHUP come whatever was asked for): it is read to its end.
      if (!(bits & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP))) return;
      // The reader finds out what is there: bytes first, and the peer's close
      // or an error once they have been taken (a receive of 0 or -1).
      deliver(reg, kEventRead, 0);
      return;
    }
    case Mode::Finished:
      return;
  }
}

void onConnectTimeout(Registration* raw) {
  std::shared_ptr<Registration> reg = raw->shared_from_this();
  if (!reg->active || reg->mode != Mode::Connecting) return;
  reg->mode = Mode::Finished;
  reg->connectTimer->setEnabled(false);
  deliver(reg, kEventConnect, notificationError(ETIMEDOUT));
  retire(reg);
}

}  // namespace

bool registerSocket(EventLoop& loop, int fd, int mask, NotifySink sink) {
  cancel(fd);
  if (mask == 0) return true;
  auto reg = std::make_shared<Registration>();
  reg->loop = &loop;
  reg->fd = fd;
  reg->sink = std::move(sink);
  if (mask & kEventAccept) {
    reg->mode = Mode::Listening;
  } else if (mask & kEventConnect) {
    reg->mode = Mode::Connecting;
  }
  const std::uint32_t events = reg->mode == Mode::Connecting ? EPOLLOUT : EPOLLIN;
  if (!loop.watch(fd, events, [reg](std::uint32_t bits) { onReady(reg, bits); })) {
    const int saved = errno;
    reg.reset();
    errno = saved;
    return false;
  }
  registry()[fd] = reg;
  if (reg->mode == Mode::Connecting) {
    Registration* raw = reg.get();
    reg->connectTimer = std::make_unique<Timer>(loop, [raw] { onConnectTimeout(raw); });
    reg->connectTimer->setInterval(kConnectTimeoutMs);
    reg->connectTimer->setEnabled(true);
  }
  return true;
}

void cancelSocket(int fd) {
  cancel(fd);
}

void setSocketInterest(int fd, bool read, bool write) {
  auto& records = registry();
  auto found = records.find(fd);
  if (found == records.end()) return;
  Registration& reg = *found->second;
  if (reg.wantRead == read && reg.wantWrite == write) return;
  reg.wantRead = read;
  reg.wantWrite = write;
  // A connect under way watches for writability anyway; the wishes take
  // effect once it has completed. A listener only reads (accepts).
  if (reg.mode == Mode::Connected) reg.loop->modify(fd, connectedEvents(reg));
  if (reg.mode == Mode::Listening) reg.loop->modify(fd, read ? EPOLLIN : 0u);
}

}  // namespace varnok::net
