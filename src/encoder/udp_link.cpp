#include "encoder/udp_link.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>

#include "net/socket_errors.h"

namespace varnok {

namespace {

bool isLocalShortage(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

}  // namespace

UdpLink::UdpLink(EventLoop& loop) : loop_(loop) {}

UdpLink::~UdpLink() {
  stop();
}

Result<> UdpLink::open(const LinkTarget& target) {
  if (open_) return {};
  target_ = target;
  open_ = true;
  connected_ = wantedResources_ = unreachable_ = false;
  unsettled_ = 0;
  unsettledBytes_ = taken_ = 0;
  const in_addr_t address = inet_addr(target.host.c_str());
  if (address != INADDR_NONE) {
    connectTo(address);
    if (!open_) return lastError_;  // reported by now
    return {};
  }
  resolving_ = net::resolveHostAsync(loop_, target.host, [this](std::optional<in_addr_t> found) {
    resolving_.reset();
    if (!found) {
      fail(EFAULT);
      return;
    }
    connectTo(*found);
  });
  return {};
}

void UdpLink::connectTo(in_addr_t address) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(target_.port);
  to.sin_addr.s_addr = address;
  socket_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!socket_) {
    wantedResources_ = isLocalShortage(errno);
    fail(errno);
    return;
  }
  // Bound to the encoder's address: the kernel then reports its host's
  // "port unreachable" on this socket, and drops datagrams from anyone else.
  if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    wantedResources_ = isLocalShortage(errno) || errno == EADDRNOTAVAIL;
    fail(errno);
    return;
  }
  if (!loop_.watch(socket_.get(), EPOLLIN, [this](std::uint32_t events) { ready(events); })) {
    wantedResources_ = true;
    fail(errno);
    return;
  }
  // Told from the loop, as a TCP connection's completion is.
  loop_.post([this, alive = life_.watch()] {
    if (!alive.alive() || !open_ || connected_) return;
    connected_ = true;
    if (onConnected) onConnected();
  });
}

Result<> UdpLink::send(std::string_view command) {
  if (!socket_) return Error{net::kWsaENotSock, "not open"};
  if (command.size() > target_.maxDatagram) {
    return Error{net::kWsaEMsgSize, "Message too long"};  // refused whole: the link stays
  }
  ++unsettled_;
  unsettledBytes_ += command.size();
  pending_.emplace_back(command);
  pendingBytes_ += command.size();
  flush();
  if (!open_) return lastError_;  // reported by now
  return {};
}

void UdpLink::flush() {
  while (!pending_.empty()) {
    const std::string& datagram = pending_.front();
    const ssize_t n =
        ::send(socket_.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
      fail(errno);
      return;
    }
    pendingBytes_ -= datagram.size();
    pending_.pop_front();
  }
  const std::uint32_t writing = pending_.empty() ? 0u : static_cast<std::uint32_t>(EPOLLOUT);
  loop_.modify(socket_.get(), EPOLLIN | writing);
  if (pending_.empty() && onWritten) onWritten();
}

// Replies are read and handed on; an error waiting on the socket (the host's
// "port unreachable" for an earlier datagram) ends the link.
void UdpLink::ready(std::uint32_t events) {
  if (events & EPOLLOUT) {
    flush();
    if (!open_) return;
  }
  if (!(events & (EPOLLIN | EPOLLERR))) return;
  char buffer[65536];
  for (int i = 0; i < 64 && open_; ++i) {
    const ssize_t n = ::recv(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      fail(errno);
      return;
    }
    if (onRead) onRead(std::string_view(buffer, static_cast<std::size_t>(n)));
  }
}

std::size_t UdpLink::settle() {
  if (unreachable_) return 0;
  const std::size_t settled = unsettled_;
  taken_ += unsettledBytes_;
  unsettled_ = 0;
  unsettledBytes_ = 0;
  return settled;
}

void UdpLink::close() {
  if (!open_) return;
  stop();
  if (onDisconnected) onDisconnected();
}

Error UdpLink::fail(int err) {
  unreachable_ = err == ECONNREFUSED;
  stop();
  if (onDisconnected) onDisconnected();
  lastError_ = net::reportSocketError(onError, err);
  return lastError_;
}

void UdpLink::stop() {
  resolving_.reset();
  if (socket_) {
    loop_.unwatch(socket_.get());
    socket_.reset();
  }
  pending_.clear();
  pendingBytes_ = 0;
  open_ = connected_ = false;
}

}  // namespace varnok
