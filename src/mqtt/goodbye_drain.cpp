#include "mqtt/goodbye_drain.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace varnok::mqtt {

void GoodbyeDrain::drain(std::function<void()> done) {
  if (!duplicate_) {
    done();
    return;
  }
  ::shutdown(duplicate_.get(), SHUT_WR);
  watching_ = loop_.watch(duplicate_.get(), EPOLLIN, [this, done = std::move(done)](std::uint32_t) {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(duplicate_.get(), buf, sizeof buf);
      if (n > 0) continue;
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
      done();  // the broker closed its side, or the socket failed
      return;
    }
  });
}

void GoodbyeDrain::release() {
  linger_.setEnabled(false);
  if (watching_) loop_.unwatch(duplicate_.get());
  watching_ = false;
  duplicate_ = UniqueFd();
}

}  // namespace varnok::mqtt
