#include "nowplaying/udp_door.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>

#include "net/socket_errors.h"

namespace varnok::nowplaying {

UdpDoor::UdpDoor(EventLoop& loop, Settings settings, std::function<void(const Update&)> onItem,
                 std::function<void(const std::string&)> log)
    : loop_(loop),
      settings_(std::move(settings)),
      onItem_(std::move(onItem)),
      log_(std::move(log)),
      buffer_(kMaxDatagram + 1),
      summary_(loop) {
  for (const std::string& pattern : settings_.allow) allow_.add(pattern);
  summary_.setInterval(kSummaryMs);
  summary_.setOnTimer([this] { summarise(); });
}

UdpDoor::~UdpDoor() {
  if (socket_.get() >= 0) loop_.unwatch(socket_.get());
}

bool UdpDoor::start() {
  where_ = settings_.address + ":" + std::to_string(settings_.port);
  const auto fail = [this](int err) {
    const int code = net::socketErrorFromErrno(err);
    log_("Now playing datagrams not taken - Socket Error " + std::to_string(code) + " - " +
         net::socketErrorText(code) + " (" + where_ + ")");
    socket_ = UniqueFd();
    return false;
  };
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(settings_.port);
  if (::inet_pton(AF_INET, settings_.address.c_str(), &at.sin_addr) != 1) return fail(EFAULT);
  socket_ = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (socket_.get() < 0) return fail(errno);
  if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return fail(errno);
  socklen_t length = sizeof at;
  ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&at), &length);
  boundPort_ = ntohs(at.sin_port);
  if (!loop_.watch(socket_.get(), EPOLLIN, [this](std::uint32_t) { readable(); })) {
    return fail(ENOMEM);
  }
  log_("Now playing taken over UDP at " + settings_.address + ":" + std::to_string(boundPort_));
  return true;
}

void UdpDoor::readable() {
  for (int i = 0; i < kBurst; ++i) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(socket_.get(), buffer_.data(), buffer_.size(), MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) return;  // nothing more now (or an error a datagram left behind)
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
    const std::string sender = address;
    if (!settings_.allow.empty() && !allow_.matches(sender)) {
      ++dropped_;
      ++notAllowed_;
      lastNotAllowed_ = sender;
      if (!notAllowedTold_) {
        notAllowedTold_ = true;
        log_("Now playing datagram dropped - " + sender + " is not in UdpAllow");
      }
      if (!summary_.enabled()) summary_.setEnabled(true);
      continue;
    }
    if (static_cast<std::size_t>(n) > kMaxDatagram) {
      take({}, sender);  // refused below as too long
      continue;
    }
    take(std::string_view(buffer_.data(), static_cast<std::size_t>(n)), sender);
  }
}

void UdpDoor::take(std::string_view datagram, const std::string& from) {
  std::string why;
  if (datagram.empty()) {
    why = "empty, or longer than " + std::to_string(kMaxDatagram) + " bytes";
  } else {
    const Parsed<Update> parsed =
        parseFile(datagram, settings_.format, settings_.encoding, settings_.keys);
    if (parsed.ok()) {
      ++taken_;
      onItem_(*parsed.value);
      return;
    }
    why = parsed.error;
  }
  ++dropped_;
  ++unreadable_;
  lastUnreadable_ = from;
  if (!unreadableTold_) {
    unreadableTold_ = true;
    log_("Now playing datagram refused - " + why + " (from " + from + ")");
  }
  if (!summary_.enabled()) summary_.setEnabled(true);
}

// Once a minute while datagrams are dropped: how many, beyond the first
// one already logged.
void UdpDoor::summarise() {
  if (notAllowed_ > 1) {
    log_("Now playing datagrams dropped - " + std::to_string(notAllowed_) +
         " in the last minute from addresses not in UdpAllow (the last from " + lastNotAllowed_ +
         ")");
  }
  if (unreadable_ > 1) {
    log_("Now playing datagrams refused - " + std::to_string(unreadable_) +
         " in the last minute could not be read (the last from " + lastUnreadable_ + ")");
  }
  const bool quiet = notAllowed_ == 0 && unreadable_ == 0;
  notAllowed_ = unreadable_ = 0;
  // A quiet minute ends the summaries; the next drop is logged in full again.
  if (quiet) {
    summary_.setEnabled(false);
    notAllowedTold_ = unreadableTold_ = false;
  }
}

}  // namespace varnok::nowplaying
