#include "platform/spare_descriptor.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>

namespace varnok {

SpareDescriptor::SpareDescriptor(EventLoop& loop, std::function<void(bool accepting)> setAccepting,
                                 int pauseMs)
    : setAccepting_(std::move(setAccepting)), retryTimer_(loop, [this] { retry(); }) {
  retryTimer_.setInterval(pauseMs > 0 ? pauseMs : kDefaultPauseMs);
  reopen();
}

bool SpareDescriptor::reopen() {
  if (!reserve_) reserve_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  return static_cast<bool>(reserve_);
}

SpareDescriptor::Outcome SpareDescriptor::acceptFailed(int listenFd, int err) {
  if (err != EMFILE && err != ENFILE) return Outcome::NotShortage;
  if (paused_) return Outcome::Paused;  // a round that began before the pause
  if (!reserve_) {
    pause();
    return Outcome::Paused;
  }
  reserve_.reset();
  UniqueFd knocking(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
  const int acceptErr = knocking ? 0 : errno;
  if (knocking) {
    // Closed unread: the peer sees its connection end without an answer.
    knocking.reset();
    ++turnedAway_;
  }
  // Under ENFILE another process may take the freed slot first, so the accept
  // may still find none, or the reserve may not come back.
  const bool stillShort = acceptErr == EMFILE || acceptErr == ENFILE;
  if (!reopen() || stillShort) {
    pause();
    return Outcome::Paused;
  }
  return Outcome::TurnedAway;
}

void SpareDescriptor::pause() {
  paused_ = true;
  retryTimer_.setEnabled(true);
  setAccepting_(false);
}

void SpareDescriptor::retry() {
  if (!reopen()) return;  // still none free: try again after the next pause
  retryTimer_.setEnabled(false);
  paused_ = false;
  setAccepting_(true);
}

}  // namespace varnok
