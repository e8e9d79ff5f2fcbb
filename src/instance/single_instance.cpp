#include "instance/single_instance.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "instance/channel.h"

namespace varnok {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Senders served at the same time, so that a flood of idle connections cannot
// eat the running copy's descriptors. A real sender writes its frame the
// moment it connects, so idle ones make room for newcomers (makeRoom).
constexpr std::size_t kMaxSenders = 16;
// Connections accepted per readiness callback, so that a flood cannot keep
// the event thread from its timers and other sockets.
constexpr int kAcceptsPerRound = 16;

int msLeft(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);  // length checked by start()
  return addr;
}

enum class Probe { Connected, Busy, Refused, Absent, Error };

// One non-blocking connection attempt. A Unix socket connects at once or not
// at all: EAGAIN means a listener whose backlog is full, ECONNREFUSED a socket
// file that nobody listens on any more.
Probe tryConnect(const std::string& path, int* fdOut, int* errOut) {
  *fdOut = -1;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *errOut = errno;
    return Probe::Error;
  }
  const sockaddr_un addr = addressOf(path);
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    *fdOut = fd;
    return Probe::Connected;
  }
  *errOut = errno;
  ::close(fd);
  switch (*errOut) {
    case EAGAIN:
      return Probe::Busy;
    case ECONNREFUSED:
      return Probe::Refused;
    case ENOENT:
      return Probe::Absent;
    default:
      return Probe::Error;
  }
}

// Bytes that have arrived on fd and wait to be read.
int bytesWaiting(int fd) {
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

// The command file named by a "FILE:" text, as the second copy wrote it.
std::string fileNameIn(const std::string& text) {
  std::string name = text.size() >= 5 ? text.substr(5) : std::string();
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

enum class Exchange { Answered, TimedOut, Failed };

// Sends the frame on a fresh connection and reads the one-byte answer into
// *answer. Closes fd in every case; a reason in *error when no answer came.
Exchange exchange(int fd, const std::string& frame, SteadyClock::time_point deadline,
                  const std::string& waited, char* answer, std::string* error) {
  std::size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t n = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, msLeft(deadline)) > 0) continue;
      ::close(fd);
      *error = "the running copy did not take the text within " + waited;
      return Exchange::TimedOut;
    }
    const int err = errno;
    // A running copy that turns a sender away answers before it closes, and
    // may do so before the frame is through: the answer is still there.
    if (::recv(fd, answer, 1, MSG_DONTWAIT) == 1) {
      ::close(fd);
      return Exchange::Answered;
    }
    ::close(fd);
    *error =
        std::string("the running copy went away while the text was sent: ") + std::strerror(err);
    return Exchange::Failed;
  }

  // The answer comes only after the running copy has handled the text.
  for (;;) {
    const ssize_t n = ::recv(fd, answer, 1, 0);
    if (n == 1) {
      ::close(fd);
      return Exchange::Answered;
    }
    if (n == 0) {
      ::close(fd);
      *error = "the running copy closed the channel without handling the text";
      return Exchange::Failed;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd p{fd, POLLIN, 0};
      const int left = msLeft(deadline);
      if (left > 0 && ::poll(&p, 1, left) >= 0) continue;
      if (left > 0 && errno == EINTR) continue;
      ::close(fd);
      *error = "the running copy did not answer within " + waited;
      return Exchange::TimedOut;
    }
    const int err = errno;
    ::close(fd);
    *error = std::string("the running copy went away before it answered: ") + std::strerror(err);
    return Exchange::Failed;
  }
}

void sendReply(int fd, channel::Reply reply) {
  // One byte into an empty socket buffer: it fits, and a sender that has
  // gone away costs nothing (no SIGPIPE, no wait).
  const char c = static_cast<char>(reply);
  [[maybe_unused]] const ssize_t sent = ::send(fd, &c, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace

struct SingleInstance::Sender {
  int fd = -1;
  std::uint64_t arrival = 0;  // the lower, the longer it has waited
  channel::FrameParser parser;
  std::unique_ptr<Timer> stallTimer;  // drops a sender that does not finish in time
};

SingleInstance::SingleInstance() = default;
SingleInstance::~SingleInstance() {
  closeChannel();
}

SingleInstance::Role SingleInstance::start(const InstanceOptions& opts, const std::string& text,
                                           std::string* error) {
  if (started_) {
    *error = "the single-instance test was already made";
    return Role::Failed;
  }
  started_ = true;
  title_ = opts.title;
  timeoutMs_ = opts.timeoutMs > 0 ? opts.timeoutMs : 0;
  receiveTimeoutMs_ = opts.receiveTimeoutMs > 0 ? opts.receiveTimeoutMs : 1;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs_);

  if (title_.size() > channel::kMaxTitle) {
    *error = "the application title is too long for the single-instance test";
    return Role::Failed;
  }
  const channel::ChannelPlace place = channel::channelPlaceFor(opts.runtimeDir);
  if (place.folder.empty()) {
    *error =
        "there is no folder for the channel between copies: neither XDG_RUNTIME_DIR nor HOME "
        "names one, and the user database has no home folder for this user";
    return Role::Failed;
  }
  const std::string stem = channel::channelStem(title_);
  socketPath_ = place.folder + "/" + stem + ".sock";
  lockPath_ = place.folder + "/" + stem + ".lock";
  // Checked before anything is created: without its channel no copy could
  // find this one, so the program does not start at all.
  if (socketPath_.size() > channel::maxSocketPath()) {
    *error = "the channel path " + socketPath_ + " has " + std::to_string(socketPath_.size()) +
             " bytes, more than the " + std::to_string(channel::maxSocketPath()) +
             " a Unix socket address can hold; set XDG_RUNTIME_DIR (or XDG_CACHE_HOME) to a "
             "folder with a shorter path";
    socketPath_.clear();
    return Role::Failed;
  }
  if (!channel::prepareChannelFolder(place.folder, error, place.createParent)) {
    return Role::Failed;
  }

  // Held while testing and creating the channel: two copies started at the
  // same instant cannot both find no channel and both create one.
  channel::FileLock lock;
  if (!lock.acquire(lockPath_, timeoutMs_, error)) return Role::Failed;

  int fd = -1;
  int err = 0;
  switch (tryConnect(socketPath_, &fd, &err)) {
    case Probe::Connected:
    case Probe::Busy:
      // A copy is running. The lock only guards the test, not the hand-off:
      // other second copies may talk to the running copy at the same time.
      lock.release();
      return handOff(fd, text, deadline, error);
    case Probe::Refused:
      // Left behind by a copy that ended without removing it (killed,
      // crashed). Nobody else can be creating a channel now: we hold the lock.
      if (::unlink(socketPath_.c_str()) != 0 && errno != ENOENT) {
        *error = "cannot remove the stale channel " + socketPath_ + ": " + std::strerror(errno);
        return Role::Failed;
      }
      [[fallthrough]];
    case Probe::Absent:
      return createChannel(error) ? Role::First : Role::Failed;
    case Probe::Error:
      break;
  }
  *error = "cannot reach the channel " + socketPath_ + ": " + std::strerror(err);
  return Role::Failed;
}

SingleInstance::Role SingleInstance::handOff(int fd, const std::string& text,
                                             SteadyClock::time_point deadline, std::string* error) {
  if (text.size() > kMaxHandOffText) {
    if (fd >= 0) ::close(fd);
    *error = "the arguments make a text of " + std::to_string(text.size()) +
             " characters; at most " + std::to_string(kMaxHandOffText) +
             " can be handed over, so nothing was handed over to the running copy";
    return Role::Failed;
  }
  const std::string waited = std::to_string(timeoutMs_) + " ms";
  const std::string frame = channel::encodeFrame(title_, text);
  bool turnedAway = false;  // the running copy said it was busy at least once
  const std::string busy =
      "the running copy is busy with other senders; nothing was handed over within " + waited;
  for (;;) {
    // The running copy's backlog was full, or it turned us away as busy:
    // keep knocking until the deadline.
    while (fd < 0) {
      if (msLeft(deadline) == 0) {
        *error = turnedAway ? busy : "the running copy did not take the text within " + waited;
        return Role::Failed;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      int err = 0;
      const Probe probe = tryConnect(socketPath_, &fd, &err);
      if (probe == Probe::Busy) continue;
      if (probe != Probe::Connected) {
        *error = "the running copy went away before it took the text";
        return Role::Failed;
      }
    }

    std::string why;
    if (!channel::peerIsThisUser(fd, &why)) {
      ::close(fd);
      *error = "refusing to hand over to the channel " + socketPath_ + ": " + why;
      return Role::Failed;
    }

    char answer = 0;
    const Exchange exchanged = exchange(fd, frame, deadline, waited, &answer, error);
    fd = -1;
    if (exchanged == Exchange::TimedOut && turnedAway) *error = busy;
    if (exchanged != Exchange::Answered) return Role::Failed;
    switch (static_cast<channel::Reply>(answer)) {
      case channel::Reply::Handled:
        return Role::HandedOff;
      case channel::Reply::Busy:
        turnedAway = true;
        continue;
      case channel::Reply::FileNotRead:
        *error = "the running copy could not read the file " + fileNameIn(text) +
                 " (its log names the full path); no command of it was queued";
        return Role::Failed;
      case channel::Reply::RefusedPeer:
        *error = "the running copy refused the text from this user";
        return Role::Failed;
      case channel::Reply::OtherProgram:
        *error = "the channel " + socketPath_ + " belongs to a program with another title";
        return Role::Failed;
    }
    *error = "the running copy gave an answer this program does not know";
    return Role::Failed;
  }
}

bool SingleInstance::createChannel(std::string* error) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("cannot create the channel: ") + std::strerror(errno);
    return false;
  }
  const sockaddr_un addr = addressOf(socketPath_);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    *error = "cannot create the channel " + socketPath_ + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  // The folder already keeps others out; the socket file does so as well.
  ::chmod(socketPath_.c_str(), 0600);
  struct stat st {};
  if (::listen(fd, 16) != 0 || ::stat(socketPath_.c_str(), &st) != 0) {
    *error = "cannot open the channel " + socketPath_ + ": " + std::strerror(errno);
    ::unlink(socketPath_.c_str());
    ::close(fd);
    return false;
  }
  socketDev_ = st.st_dev;
  socketIno_ = st.st_ino;
  listenFd_ = fd;
  return true;
}

void SingleInstance::attach(EventLoop& loop, TextHandler onText) {
  if (!isRunningCopy()) throw std::logic_error("SingleInstance::attach: not the running copy");
  if (loop_) throw std::logic_error("SingleInstance::attach: already attached");
  if (!loop.watch(listenFd_, EPOLLIN, [this](std::uint32_t) { onListenReady(); })) {
    throw std::runtime_error(std::string("cannot watch the channel: ") + std::strerror(errno));
  }
  loop_ = &loop;
  onText_ = std::move(onText);
  spare_ = std::make_unique<SpareDescriptor>(loop, [this](bool accepting) {
    loop_->modify(listenFd_, accepting ? std::uint32_t{EPOLLIN} : 0u);
  });
}

void SingleInstance::onListenReady() {
  for (int round = 0; round < kAcceptsPerRound; ++round) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (spare_->acceptFailed(listenFd_, errno) == SpareDescriptor::Outcome::TurnedAway) continue;
      return;  // EAGAIN: nobody else waits; or accepting pauses for want of descriptors
    }
    std::string why;
    if (!channel::peerIsThisUser(fd, &why)) {
      sendReply(fd, channel::Reply::RefusedPeer);
      ::close(fd);
      continue;
    }
    if (senders_.size() >= kMaxSenders && !makeRoom()) {
      sendReply(fd, channel::Reply::Busy);
      ::close(fd);
      continue;
    }
    auto sender = std::make_unique<Sender>();
    sender->fd = fd;
    sender->arrival = accepted_++;
    sender->stallTimer = std::make_unique<Timer>(*loop_, [this, fd] { dropSender(fd); });
    sender->stallTimer->setInterval(receiveTimeoutMs_);
    sender->stallTimer->setEnabled(true);
    if (!loop_->watch(fd, EPOLLIN | EPOLLRDHUP, [this, fd](std::uint32_t) { onSenderReady(fd); })) {
      ::close(fd);
      continue;
    }
    senders_.emplace(fd, std::move(sender));
  }
}

void SingleInstance::onSenderReady(int fd) {
  auto found = senders_.find(fd);
  if (found == senders_.end()) return;
  channel::FrameParser& parser = found->second->parser;
  char buf[512];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      const auto state = parser.feed(buf, static_cast<std::size_t>(n));
      if (state == channel::FrameParser::State::Bad) return dropSender(fd);
      if (state == channel::FrameParser::State::Complete) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // the rest comes later
    return dropSender(fd);  // closed before the frame was whole, or failed
  }
  std::unique_ptr<Sender> sender = std::move(found->second);
  senders_.erase(found);
  loop_->unwatch(fd);
  deliver(std::move(sender));
}

void SingleInstance::deliver(std::unique_ptr<Sender> sender) {
  sender->stallTimer.reset();  // handling may take long; the sender waits
  const int fd = sender->fd;
  if (sender->parser.title() != title_) {
    sendReply(fd, channel::Reply::OtherProgram);
    ::close(fd);
    return;
  }
  // Copies: the handler may destroy this object (the application quitting),
  // so nothing below touches a member.
  const TextHandler onText = onText_;
  Application& app = loop_->app();
  const std::string& text = sender->parser.text();
  Outcome outcome = Outcome::Handled;
  app.dispatch([&] {
    if (onText) outcome = onText(text);
  });
  sendReply(
      fd, outcome == Outcome::FileNotRead ? channel::Reply::FileNotRead : channel::Reply::Handled);
  ::close(fd);
}

bool SingleInstance::makeRoom() {
  // Bytes waiting mean a sender whose frame is on its way: it is read on the
  // next round of the loop and never displaced. A frame read in part and no
  // more bytes behind it is as idle as no frame at all.
  Sender* oldest = nullptr;
  for (const auto& [fd, sender] : senders_) {
    if (bytesWaiting(fd) > 0) continue;
    if (!oldest || sender->arrival < oldest->arrival) oldest = sender.get();
  }
  if (!oldest) return false;
  sendReply(oldest->fd, channel::Reply::Busy);
  dropSender(oldest->fd);
  return true;
}

void SingleInstance::dropSender(int fd) {
  auto found = senders_.find(fd);
  if (found == senders_.end()) return;
  // May run inside the sender's own stall timer: the platform allows a timer
  // handler to destroy its timer.
  std::unique_ptr<Sender> sender = std::move(found->second);
  senders_.erase(found);
  loop_->unwatch(fd);
  ::close(fd);
}

void SingleInstance::closeChannel() {
  for (auto& [fd, sender] : senders_) {
    loop_->unwatch(fd);
    ::close(fd);
  }
  senders_.clear();
  spare_.reset();
  if (listenFd_ < 0) return;
  if (loop_) loop_->unwatch(listenFd_);
  loop_ = nullptr;
  // Under the lock, and only if the socket file is still the one this copy
  // created: if it was removed behind our back and a new running copy made
  // its own, that one must keep it.
  channel::FileLock lock;
  std::string ignored;
  lock.acquire(lockPath_, 1000, &ignored);
  struct stat st {};
  if (::lstat(socketPath_.c_str(), &st) == 0 && st.st_dev == socketDev_ &&
      st.st_ino == socketIno_) {
    ::unlink(socketPath_.c_str());
  }
  ::close(listenFd_);
  listenFd_ = -1;
}

}  // namespace varnok
