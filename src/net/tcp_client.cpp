#include "net/tcp_client.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>

#include "net/socket_channel.h"

namespace varnok::net {

namespace {

// What a host name that does not resolve is reported as (kWsaEFault).
constexpr int kBadAddress = EFAULT;

// Failures of socket(), the loop's watch or connect() that say this machine
// ran out of something, not that the peer is at fault.
bool isLocalShortage(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM || err == EADDRNOTAVAIL;
}

}  // namespace

TcpClient::TcpClient(EventLoop& loop) : SocketBase(loop) {}

// A report from the close (which needs a failing close(2)) goes to the
// application, never out of here.
TcpClient::~TcpClient() {
  resolving_.reset();
  closeQuietly();
}

void TcpClient::setHost(const std::string& host) {
  changeHost(host);
}

void TcpClient::setPort(std::uint16_t port) {
  changePort(port);
}

Result<> TcpClient::setConnected(bool on) {
  if (on == open_) return {};
  connected_ = false;
  open_ = on;  // first: isOpen() reads true during the attempt
  if (on) {
    wantedResources_ = false;
    return activate();
  }
  deactivate();
  return {};
}

Result<> TcpClient::activate() {
  // A dotted address is used as it stands; anything else, including
  // 255.255.255.255 (which reads as "no address"), is looked up without
  // holding up the loop: the attempt goes on when the answer comes.
  const in_addr_t address = inet_addr(host_.c_str());
  if (address == INADDR_NONE) {
    resolving_ = resolveHostAsync(loop(), host_,
                                  [this](std::optional<in_addr_t> found) { resolved(found); });
    return {};
  }
  return connectTo(address);
}

void TcpClient::resolved(std::optional<in_addr_t> address) {
  resolving_.reset();  // answered; the request ends with this call
  if (!address) {
    fail(kBadAddress);
    return;
  }
  (void)connectTo(*address);  // a failure is reported; nobody waits for it here
}

Result<> TcpClient::connectTo(in_addr_t address) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port_);
  target.sin_addr.s_addr = address;
  if (mayConnect) {
    const bool allowed = mayConnect(target);
    if (!open_) return {};  // closed by the hook
    if (!allowed) {
      refuse();
      return {};
    }
  }
  socket_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!socket_) return failDialling(errno);
  if (!startWatching(true)) return failDialling(errno);
  if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 &&
      errno != EINPROGRESS && errno != EINTR) {
    return failDialling(errno);
  }
  return {};
}

// Without a socket yet (the host is still being looked up) the close
// reports kWsaENotSock before onDisconnected.
void TcpClient::deactivate() {
  resolving_.reset();  // an answer still on its way is not wanted any more
  if (const int err = closeForOwner()) reportSocketError(onError, err);
  if (onDisconnected) onDisconnected();
}

void TcpClient::refuse() {
  open_ = false;
  if (onDisconnected) onDisconnected();
}

Error TcpClient::failDialling(int err) {
  wantedResources_ = isLocalShortage(err);
  return fail(err);
}

Error TcpClient::fail(int err, ErrorOrigin origin) {
  setConnected(false);
  return reportSocketError(onError, err, origin);
}

int TcpClient::send(std::string_view bytes) {
  int err = 0;
  const int sent = sendOrKeep(bytes, err);
  if (sent < 0) fail(err);
  return sent;
}

void TcpClient::connectionReady() {
  connected_ = true;
  if (onConnected) onConnected();
}

void TcpClient::received(std::string_view bytes) {
  if (onRead) onRead(bytes);
}

// The close fires onDisconnected once, and the loss of the connection once
// more; the dispatcher's debug trail shows both.
void TcpClient::peerClosed() {
  setConnected(false);
  if (onDisconnected) onDisconnected();
}

void TcpClient::allWritten() {
  if (onWritten) onWritten();
}

}  // namespace varnok::net
