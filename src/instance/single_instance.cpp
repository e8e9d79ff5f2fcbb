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
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "instance/channel.h"
#include "platform/command_text.h"

namespace varnok {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Senders served at the same time, so that a flood of idle connections cannot
// eat the running copy's descriptors. A real sender writes its frame the
// moment it connects, so idle ones make room for newcomers (makeRoom).
constexpr std::size_t kMaxSenders = 16;
// Connections accepted per readiness, so that a flood cannot keep
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

// One non-blocking connection attempt; *fd holds the connection only when
// Connected. A Unix socket connects at once or not at all: EAGAIN means a
// listener whose backlog is full, ECONNREFUSED a socket file that nobody
// listens on any more.
Probe tryConnect(const std::string& path, UniqueFd* fd, int* errOut) {
  UniqueFd attempt(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!attempt) {
    *errOut = errno;
    return Probe::Error;
  }
  const sockaddr_un addr = addressOf(path);
  int rc;
  do {
    rc = ::connect(attempt.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    *fd = std::move(attempt);
    return Probe::Connected;
  }
  *errOut = errno;
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
  std::string name(commandFileName(text));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

// Pending: the frame is out and its answer still to come.
enum class Exchange { Pending, Answered, TimedOut, Failed };

// Writes the whole frame. A running copy that turns the sender away may
// answer before the frame is through; that answer lands in *answer.
Exchange sendFrame(int fd, const std::string& frame, SteadyClock::time_point deadline,
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
      *error = "the running copy did not take the text within " + waited;
      return Exchange::TimedOut;
    }
    const int err = errno;
    if (::recv(fd, answer, 1, MSG_DONTWAIT) == 1) return Exchange::Answered;
    *error =
        std::string("the running copy went away while the text was sent: ") + std::strerror(err);
    return Exchange::Failed;
  }
  return Exchange::Pending;
}

// Reads the one-byte answer, which comes only after the running copy has
// handled the text.
Exchange awaitAnswer(int fd, SteadyClock::time_point deadline, const std::string& waited,
                     char* answer, std::string* error) {
  for (;;) {
    const ssize_t n = ::recv(fd, answer, 1, 0);
    if (n == 1) return Exchange::Answered;
    if (n == 0) {
      *error = "the running copy closed the channel without handling the text";
      return Exchange::Failed;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd p{fd, POLLIN, 0};
      const int left = msLeft(deadline);
      if (left > 0 && ::poll(&p, 1, left) >= 0) continue;
      if (left > 0 && errno == EINTR) continue;
      *error = "the running copy did not answer within " + waited;
      return Exchange::TimedOut;
    }
    *error = std::string("the running copy went away before it answered: ") + std::strerror(errno);
    return Exchange::Failed;
  }
}

// One connection's whole exchange: the frame out, the answer into *answer.
// The connection is closed on return, whatever came of it.
Exchange exchange(UniqueFd fd, const std::string& frame, SteadyClock::time_point deadline,
                  const std::string& waited, char* answer, std::string* error) {
  const Exchange sent = sendFrame(fd.get(), frame, deadline, waited, answer, error);
  if (sent != Exchange::Pending) return sent;
  return awaitAnswer(fd.get(), deadline, waited, answer, error);
}

// Whether a second copy's text can be handed over at all.
bool fitsHandOff(const std::string& text, std::string* error) {
  if (text.size() <= kMaxHandOffText) return true;
  *error = "the arguments make a text of " + std::to_string(text.size()) + " characters; at most " +
           std::to_string(kMaxHandOffText) +
           " can be handed over, so nothing was handed over to the running copy";
  return false;
}

// A second copy's hand-off of a text that fits, in steps: knock until the
// running copy takes a connection, make sure it runs as this user, exchange
// the frame for an answer, and read the answer, which may send it back to
// knocking (busy). Every connection is owned by the step that uses it and
// closed when that step ends.
class HandOff {
 public:
  using Role = SingleInstance::Role;

  HandOff(const std::string& socketPath, const std::string& title, const std::string& text,
          int timeoutMs, SteadyClock::time_point deadline)
      : socketPath_(socketPath),
        text_(text),
        deadline_(deadline),
        waited_(std::to_string(timeoutMs) + " ms"),
        busy_("the running copy is busy with other senders; nothing was handed over within " +
              waited_),
        frame_(channel::encodeFrame(title, text)) {}

  // fd: the connection start() made, or none when the running copy's
  // backlog was full.
  Role run(UniqueFd fd, std::string* error) {
    for (;;) {
      if (!fd && !knock(&fd, error)) return Role::Failed;
      if (const std::optional<Role> role = attempt(std::move(fd), error)) return *role;
    }
  }

 private:
  // Connects again and again, a little apart, while the running copy's
  // backlog is full, until the deadline.
  bool knock(UniqueFd* fd, std::string* error) const {
    while (msLeft(deadline_) > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      int err = 0;
      const Probe probe = tryConnect(socketPath_, fd, &err);
      if (probe == Probe::Connected) return true;
      if (probe != Probe::Busy) {
        *error = "the running copy went away before it took the text";
        return false;
      }
    }
    *error = turnedAway_ ? busy_ : "the running copy did not take the text within " + waited_;
    return false;
  }

  // One try on one connection: the outcome, or nothing when the running
  // copy was busy and the caller must knock again.
  std::optional<Role> attempt(UniqueFd fd, std::string* error) {
    std::string why;
    if (!channel::peerIsThisUser(fd.get(), &why)) {
      *error = "refusing to hand over to the channel " + socketPath_ + ": " + why;
      return Role::Failed;
    }
    char answer = 0;
    const Exchange exchanged = exchange(std::move(fd), frame_, deadline_, waited_, &answer, error);
    if (exchanged == Exchange::TimedOut && turnedAway_) *error = busy_;
    if (exchanged != Exchange::Answered) return Role::Failed;
    return outcomeOf(answer, error);
  }

  std::optional<Role> outcomeOf(char answer, std::string* error) {
    switch (static_cast<channel::Reply>(answer)) {
      case channel::Reply::Handled:
        return Role::HandedOff;
      case channel::Reply::Busy:
        turnedAway_ = true;
        return std::nullopt;
      case channel::Reply::FileNotRead:
        *error = "the running copy could not read the file " + fileNameIn(text_) +
                 " (its log names the full path); no command of it was queued";
        return Role::Failed;
      case channel::Reply::RefusedPeer:
        *error = "the running copy refused the text from this user";
        return Role::Failed;
      case channel::Reply::QueuesFull:
        *error = "the running copy's queues are full, so nothing was queued; try again later";
        return Role::Failed;
      case channel::Reply::OtherProgram:
        *error = "the channel " + socketPath_ + " belongs to a program with another title";
        return Role::Failed;
    }
    *error = "the running copy gave an answer this program does not know";
    return Role::Failed;
  }

  const std::string& socketPath_;
  const std::string& text_;
  const SteadyClock::time_point deadline_;
  const std::string waited_;
  const std::string busy_;
  const std::string frame_;
  bool turnedAway_ = false;  // the running copy said it was busy at least once
};

void sendReply(int fd, channel::Reply reply) {
  // One byte into an empty socket buffer: it fits, and a sender that has
  // gone away costs nothing (no SIGPIPE, no wait).
  const char c = static_cast<char>(reply);
  [[maybe_unused]] const ssize_t sent = ::send(fd, &c, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace

struct SingleInstance::Sender {
  UniqueFd fd;
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

  UniqueFd fd;
  int err = 0;
  switch (tryConnect(socketPath_, &fd, &err)) {
    case Probe::Connected:
    case Probe::Busy:
      // A copy is running. The lock only guards the test, not the hand-off:
      // other second copies may talk to the running copy at the same time.
      lock.release();
      if (!fitsHandOff(text, error)) return Role::Failed;
      return HandOff(socketPath_, title_, text, timeoutMs_, deadline).run(std::move(fd), error);
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

bool SingleInstance::createChannel(std::string* error) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    *error = std::string("cannot create the channel: ") + std::strerror(errno);
    return false;
  }
  const sockaddr_un addr = addressOf(socketPath_);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    *error = "cannot create the channel " + socketPath_ + ": " + std::strerror(errno);
    return false;
  }
  // The folder already keeps others out; the socket file does so as well.
  ::chmod(socketPath_.c_str(), 0600);
  struct stat st {};
  if (::listen(fd.get(), 16) != 0 || ::stat(socketPath_.c_str(), &st) != 0) {
    *error = "cannot open the channel " + socketPath_ + ": " + std::strerror(errno);
    ::unlink(socketPath_.c_str());
    return false;
  }
  socketDev_ = st.st_dev;
  socketIno_ = st.st_ino;
  listenFd_ = std::move(fd);
  return true;
}

void SingleInstance::attach(EventLoop& loop, TextHandler onText) {
  if (!isRunningCopy()) throw std::logic_error("SingleInstance::attach: not the running copy");
  if (loop_) throw std::logic_error("SingleInstance::attach: already attached");
  // Nothing is told of a failed accept: the sender sees its connection
  // closed, or waits in the backlog until accepting resumes.
  auto acceptor =
      std::make_unique<Acceptor>(loop, std::move(listenFd_), kAcceptsPerRound,
                                 Acceptor::Handlers{
                                     .accepted = [this](UniqueFd fd, const sockaddr_storage&,
                                                        socklen_t) { admit(std::move(fd)); },
                                     .batchDone = {},
                                     .failed = {},
                                 });
  if (!acceptor->start()) {
    const int err = errno;
    listenFd_ = acceptor->release();
    throw std::runtime_error(std::string("cannot watch the channel: ") + std::strerror(err));
  }
  acceptor_ = std::move(acceptor);
  loop_ = &loop;
  onText_ = std::move(onText);
}

void SingleInstance::admit(UniqueFd fd) {
  std::string why;
  if (!channel::peerIsThisUser(fd.get(), &why))
    return sendReply(fd.get(), channel::Reply::RefusedPeer);
  if (senders_.size() >= kMaxSenders && !makeRoom()) {
    return sendReply(fd.get(), channel::Reply::Busy);
  }
  const int key = fd.get();
  auto sender = std::make_unique<Sender>();
  sender->fd = std::move(fd);
  sender->arrival = accepted_++;
  sender->stallTimer = std::make_unique<Timer>(*loop_, [this, key] { dropSender(key); });
  sender->stallTimer->setInterval(receiveTimeoutMs_);
  sender->stallTimer->setEnabled(true);
  if (!loop_->watch(key, EPOLLIN | EPOLLRDHUP,
                    [this, key](std::uint32_t) { onSenderReady(key); })) {
    return;
  }
  senders_.emplace(key, std::move(sender));
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
  // The sender's connection closes when it goes, after its answer.
  sender->stallTimer.reset();  // handling may take long; the sender waits
  const int fd = sender->fd.get();
  if (sender->parser.title() != title_) return sendReply(fd, channel::Reply::OtherProgram);
  // Copies: the handler may destroy this object (the application quitting),
  // so nothing below touches a member.
  const TextHandler onText = onText_;
  Application& app = loop_->app();
  const std::string& text = sender->parser.text();
  Outcome outcome = Outcome::Handled;
  app.dispatch([&] {
    if (onText) outcome = onText(text);
  });
  channel::Reply reply = channel::Reply::Handled;
  if (outcome == Outcome::FileNotRead) reply = channel::Reply::FileNotRead;
  if (outcome == Outcome::QueuesFull) reply = channel::Reply::QueuesFull;
  sendReply(fd, reply);
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
  const int fd = oldest->fd.get();
  sendReply(fd, channel::Reply::Busy);
  dropSender(fd);
  return true;
}

void SingleInstance::dropSender(int fd) {
  auto found = senders_.find(fd);
  if (found == senders_.end()) return;
  // May run inside the sender's own stall timer: the platform allows a timer
  // handler to destroy its timer. The connection closes with the sender, once
  // the loop no longer watches it.
  std::unique_ptr<Sender> sender = std::move(found->second);
  senders_.erase(found);
  loop_->unwatch(fd);
}

void SingleInstance::closeChannel() {
  for (const auto& [fd, sender] : senders_) loop_->unwatch(fd);
  senders_.clear();  // closes their connections
  if (!isRunningCopy()) return;
  // No longer watched; the socket itself closes below, once its file is gone.
  if (acceptor_) listenFd_ = acceptor_->release();
  acceptor_.reset();
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
  listenFd_.reset();
}

}  // namespace varnok
