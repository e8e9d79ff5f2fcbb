#include "headless/console_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace varnok {

ConsoleOutput::ConsoleOutput(EventLoop& loop, int fd, std::size_t maxBacklog)
    : loop_(loop), maxBacklog_(maxBacklog) {
  open(fd);
}

ConsoleOutput::~ConsoleOutput() {
  if (watching_) loop_.unwatch(fd_);
  if (ownFd_) ::close(fd_);
  if (restoreFlags_ >= 0) ::fcntl(fd_, F_SETFL, restoreFlags_);
}

void ConsoleOutput::open(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    broken_ = true;  // closed: there is nobody to write to
    return;
  }
  fd_ = fd;
  if (S_ISSOCK(st.st_mode)) {
    useSend_ = true;
    return;
  }
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (own >= 0) {
    fd_ = own;
    ownFd_ = true;
    return;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) {
    restoreFlags_ = flags;
  }
}

void ConsoleOutput::write(std::string text) {
  if (broken_ || text.empty()) return;
  if (droppedPending_ > 0) {
    // Whatever comes after a gap needs the notice in front of it.
    std::string notice = dropNotice();
    if (!fits(notice.size() + text.size())) return drop(text);
    push(std::move(notice));
    droppedPending_ = 0;
  }
  if (!fits(text.size())) return drop(text);
  push(std::move(text));
  if (!watching_) flush();  // while watching, the loop says when there is room
}

void ConsoleOutput::drop(const std::string& text) {
  const auto lines = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
  droppedPending_ += lines;
  droppedTotal_ += lines;
}

void ConsoleOutput::push(std::string text) {
  backlogBytes_ += text.size();
  backlog_.push_back(std::move(text));
}

std::string ConsoleOutput::dropNotice() const {
  return std::to_string(droppedPending_) +
         " log lines dropped: standard output was not being read\n";
}

void ConsoleOutput::flush() {
  while (writeBacklog() && droppedPending_ > 0) {
    // All that was kept is out: the notice marks the gap before what follows.
    std::string notice = dropNotice();
    if (!fits(notice.size())) break;
    push(std::move(notice));
    droppedPending_ = 0;
  }
  updateWatch();
}

// Writes until the backlog is empty (true) or the reader has no room (false).
bool ConsoleOutput::writeBacklog() {
  while (!backlog_.empty()) {
    const std::string& front = backlog_.front();
    const char* data = front.data() + frontWritten_;
    const std::size_t size = front.size() - frontWritten_;
    const ssize_t n =
        useSend_ ? ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd_, data, size);
    if (n > 0) {
      frontWritten_ += static_cast<std::size_t>(n);
      backlogBytes_ -= static_cast<std::size_t>(n);
      if (frontWritten_ == front.size()) {
        backlog_.pop_front();
        frontWritten_ = 0;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    // The reader is gone for good (EPIPE, EIO, ...): nobody will see anything.
    broken_ = true;
    backlog_.clear();
    backlogBytes_ = 0;
    frontWritten_ = 0;
    droppedPending_ = 0;
    return false;
  }
  return true;
}

void ConsoleOutput::updateWatch() {
  const bool want = !backlog_.empty();
  if (want && !watching_) {
    // Fails only for descriptors that are always writable; then each write
    // tries again.
    watching_ = loop_.watch(fd_, EPOLLOUT, [this](std::uint32_t) { flush(); });
  } else if (!want && watching_) {
    loop_.unwatch(fd_);
    watching_ = false;
  }
}

void ConsoleOutput::flushAtExit(int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (;;) {
    flush();
    if (backlog_.empty()) return;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return;
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return;
  }
}

}  // namespace varnok
