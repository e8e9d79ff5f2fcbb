#include "encoder/serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace varnok {

namespace {

speed_t speedFor(int baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      return B9600;
  }
}

bool isLocalShortage(int err) {
  return err == EMFILE || err == ENFILE || err == ENOMEM;
}

}  // namespace

SerialLink::SerialLink(EventLoop& loop) : loop_(loop) {}

SerialLink::~SerialLink() {
  stop();
}

Result<> SerialLink::open(const LinkTarget& target) {
  if (device_) return {};
  target_ = target;
  connected_ = wantedResources_ = false;
  output_.clear();
  written_ = 0;
  bytesSent_ = bytesWritten_ = 0;
  commandEnds_.clear();
  device_.reset(::open(target.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!device_) {
    wantedResources_ = isLocalShortage(errno);
    return fail(errno);
  }
  if (Result<> configured = configure(); !configured) return configured;
  if (!loop_.watch(device_.get(), EPOLLIN, [this](std::uint32_t events) { ready(events); })) {
    wantedResources_ = true;
    return fail(errno);
  }
  loop_.post([this, alive = life_.watch()] {
    if (!alive.alive() || !device_ || connected_) return;
    connected_ = true;
    if (onConnected) onConnected();
  });
  return {};
}

// Raw 8N1 at the target's rate; what waited in the line from before is
// dropped, so that a reply to nothing of ours cannot confirm anything.
Result<> SerialLink::configure() {
  struct stat st {};
  if (::fstat(device_.get(), &st) != 0) return fail(errno);
  if (!S_ISCHR(st.st_mode) || !::isatty(device_.get())) return fail(ENOTTY);
  // A line already hung up (its far end gone) is no opening at all.
  pollfd line{device_.get(), POLLIN, 0};
  if (::poll(&line, 1, 0) == 1 && (line.revents & (POLLHUP | POLLERR))) return fail(EIO);
  termios tio{};
  if (::tcgetattr(device_.get(), &tio) != 0) return fail(errno);
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  if (target_.rtsCts) tio.c_cflag |= CRTSCTS;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  const speed_t speed = speedFor(target_.baud);
  if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0 ||
      ::tcsetattr(device_.get(), TCSANOW, &tio) != 0) {
    return fail(errno);
  }
  ::tcflush(device_.get(), TCIOFLUSH);
  return {};
}

Result<> SerialLink::send(std::string_view command) {
  if (!device_) return Error{ENODEV, std::strerror(ENODEV)};
  bytesSent_ += command.size();
  commandEnds_.push_back(bytesSent_);
  if (written_ > 0 && written_ == output_.size()) {
    output_.clear();
    written_ = 0;
  }
  output_.append(command);
  flush();
  if (!device_) return lastError_;  // reported by now
  return {};
}

void SerialLink::flush() {
  while (written_ < output_.size()) {
    const ssize_t n = ::write(device_.get(), output_.data() + written_, output_.size() - written_);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
      fail(errno);
      return;
    }
    written_ += static_cast<std::size_t>(n);
    bytesWritten_ += static_cast<std::uint64_t>(n);
  }
  const bool waiting = written_ < output_.size();
  loop_.modify(device_.get(), EPOLLIN | (waiting ? static_cast<std::uint32_t>(EPOLLOUT) : 0u));
  if (!waiting) {
    output_.clear();
    written_ = 0;
    if (onWritten) onWritten();
  }
}

// A hang-up or an error on the line is a device gone; so is a read that
// fails for any reason but "nothing yet".
void SerialLink::ready(std::uint32_t events) {
  if (events & EPOLLOUT) {
    flush();
    if (!device_) return;
  }
  if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
    char buffer[4096];
    for (int i = 0; i < 64; ++i) {
      const ssize_t n = ::read(device_.get(), buffer, sizeof buffer);
      if (n > 0) {
        if (onRead) onRead(std::string_view(buffer, static_cast<std::size_t>(n)));
        if (!device_) return;
        continue;
      }
      // With no minimum set, a read of nothing is "nothing yet", not an end:
      // a line that hung up says so by EPOLLHUP or EIO.
      if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
      fail(errno);
      return;
    }
  }
  if (events & (EPOLLHUP | EPOLLERR)) fail(EIO);
}

std::uint64_t SerialLink::bytesTaken() const {
  int queued = 0;
  if (!device_ || ::ioctl(device_.get(), TIOCOUTQ, &queued) != 0 || queued < 0) queued = 0;
  const std::uint64_t left = static_cast<std::uint64_t>(queued);
  return bytesWritten_ - std::min(left, bytesWritten_);
}

std::size_t SerialLink::settle() {
  const std::uint64_t taken = bytesTaken();
  std::size_t settled = 0;
  while (!commandEnds_.empty() && commandEnds_.front() <= taken) {
    commandEnds_.pop_front();
    ++settled;
  }
  return settled;
}

void SerialLink::close() {
  if (!device_) return;
  stop();
  if (onDisconnected) onDisconnected();
}

Error SerialLink::fail(int err) {
  stop();
  if (onDisconnected) onDisconnected();
  lastError_ = Error{err, std::strerror(err)};
  if (onError) onError(err, lastError_.message);
  return lastError_;
}

// What still sat in the driver's queue at the close never went out.
void SerialLink::stop() {
  if (device_) {
    int queued = 0;
    if (::ioctl(device_.get(), TIOCOUTQ, &queued) == 0 && queued > 0) {
      bytesWritten_ -= std::min(static_cast<std::uint64_t>(queued), bytesWritten_);
    }
    loop_.unwatch(device_.get());
    device_.reset();
  }
  connected_ = false;
}

}  // namespace varnok
