#include "platform/acceptor.h"

#include <cerrno>
#include <utility>

namespace varnok {

Acceptor::Acceptor(EventLoop& loop, UniqueFd listening, int acceptsPerReadiness, Handlers handlers)
    : loop_(loop),
      listening_(std::move(listening)),
      acceptsPerReadiness_(acceptsPerReadiness > 0 ? acceptsPerReadiness : 1),
      handlers_(std::move(handlers)),
      spare_(loop, [this](bool accepting) {
        loop_.modify(listening_.get(), accepting ? std::uint32_t{EPOLLIN} : 0u);
      }) {}

Acceptor::~Acceptor() {
  if (watching_) loop_.unwatch(listening_.get());
}

bool Acceptor::start() {
  if (watching_) return true;
  watching_ = loop_.watch(listening_.get(), EPOLLIN, [this](std::uint32_t) { acceptWaiting(); });
  return watching_;
}

void Acceptor::stop() {
  if (watching_) loop_.unwatch(listening_.get());
  watching_ = false;
}

UniqueFd Acceptor::release() {
  if (watching_) loop_.unwatch(listening_.get());
  watching_ = false;
  return std::move(listening_);
}

void Acceptor::acceptWaiting() {
  const Liveness::Watch alive = life_.watch();
  bool took = false;
  for (int i = 0; i < acceptsPerReadiness_; ++i) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    UniqueFd fd(::accept4(listening_.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                          SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (fd) {
      short_ = false;
      took = true;
      handlers_.accepted(std::move(fd), peer, length);
      if (!alive.alive()) return;
      continue;
    }
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) break;     // nobody else waits
    if (err == ECONNABORTED || err == EINTR) continue;  // that one went away
    const SpareDescriptor::Outcome outcome = spare_.acceptFailed(listening_.get(), err);
    const bool shortage = outcome != SpareDescriptor::Outcome::NotShortage;
    if (!(shortage && short_)) {
      short_ = short_ || shortage;
      if (handlers_.failed) {
        handlers_.failed(err);
        if (!alive.alive()) return;
      }
    }
    if (outcome != SpareDescriptor::Outcome::TurnedAway) break;
  }
  if (took && handlers_.batchDone) handlers_.batchDone();
}

}  // namespace varnok
