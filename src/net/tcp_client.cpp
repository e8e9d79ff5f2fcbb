#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>

#include "net/simple_tcp.h"

namespace varnok::net {

namespace {

constexpr int kDefaultRetryIntervalMs = 20000;
// What a host name that does not resolve is reported as.
constexpr int kBadAddress = kWsaEFault;

}  // namespace

TSimpleTCPClient::TSimpleTCPClient(EventLoop& loop) : TCustomSocket(loop) {
  SetInterval(kDefaultRetryIntervalMs);
}

// Closes an open socket without any event. A report from the close (which
// needs a failing close(2)) goes to the application, never out of here.
TSimpleTCPClient::~TSimpleTCPClient() {
  resolving_.reset();
  closeQuietly();
}

void TSimpleTCPClient::SetListen(bool value) {
  if (value == listen_) return;
  connectedFlag_ = false;
  TCustomSocket::SetListen(value);
}

void TSimpleTCPClient::Activate() {
  Address = sockaddr_in{};
  Address.sin_family = AF_INET;
  Address.sin_port = htons(port_);
  // A dotted address is used as it stands; anything else, including
  // 255.255.255.255 (which reads as "no address"), is looked up without
  // holding up the loop: the attempt goes on when the answer comes.
  const in_addr_t addr = inet_addr(host_.c_str());
  if (addr == INADDR_NONE) {
    resolving_ = resolveHostAsync(loop(), host_,
                                  [this](std::optional<in_addr_t> found) { Resolved(found); });
    return;
  }
  ConnectTo(addr);
}

void TSimpleTCPClient::Resolved(std::optional<in_addr_t> address) {
  resolving_.reset();  // answered; the request ends with this call
  if (!address) {
    DoError(kInvalidSocket, kBadAddress);
    return;
  }
  ConnectTo(*address);
}

void TSimpleTCPClient::ConnectTo(in_addr_t address) {
  Address.sin_addr.s_addr = address;
  socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (socket_ == kInvalidSocket) {
    DoError(kInvalidSocket, socketErrorFromErrno(errno));
    return;
  }
  if (!RegisterSocket(socket_, kEventRead | kEventConnect | kEventClose, this)) {
    DoError(socket_, socketErrorFromErrno(errno));
    return;
  }
  if (::connect(socket_, reinterpret_cast<const sockaddr*>(&Address), sizeof Address) != 0 &&
      errno != EINPROGRESS && errno != EINTR) {
    DoError(socket_, socketErrorFromErrno(errno));
  }
}

void TSimpleTCPClient::DoConnect() {
  SetTimerEnabled(false);
  connectedFlag_ = true;
  if (OnConnected) OnConnected(this);
}

void TSimpleTCPClient::Deactivate() {
  SetTimerEnabled(false);
  resolving_.reset();  // an answer still on its way is not wanted any more
  TCustomSocket::Deactivate();
  if (server_ != nullptr) server_->scheduleSweep();
  if (OnDisconnected) OnDisconnected(this);
}

// The peer closed: Deactivate reports the close once, and the loss of the
// connection reports it again before OnConnectionLost.
void TSimpleTCPClient::DoDisconnect(TCustomSocket* /*Connection*/) {
  SetListen(false);
  if (OnDisconnected) OnDisconnected(this);
  DoConnectionLost();
}

void TSimpleTCPClient::DoError(int Socket, int ErrorCode) {
  const bool wasConnected = connectedFlag_;
  SetListen(false);
  if (wasConnected) {
    DoConnectionLost();
  } else if (!accepted_) {
    SetTimerEnabled(true);  // a failed attempt is tried again after the interval
  }
  TCustomSocket::DoError(Socket, ErrorCode);
}

void TSimpleTCPClient::DoConnectionLost() {
  if (OnConnectionLost) OnConnectionLost(this);
  if (AutoReconnect) SetListen(true);
}

void TSimpleTCPClient::DoTimer() {
  if (accepted_) return;  // an accepted connection never dials out
  SetListen(true);
}

void TSimpleTCPClient::DoDataAvailable(TCustomSocket* /*Connection*/, int DataSize, bool& Handled) {
  Handled = static_cast<bool>(OnDataAvailable);
  if (Handled) OnDataAvailable(this, DataSize);
}

void TSimpleTCPClient::DoRead(TCustomSocket* /*Connection*/, TMemoryStream& Stream) {
  if (OnRead) OnRead(this, Stream);
}

void TSimpleTCPClient::DoWritten(TCustomSocket* /*Connection*/) {
  if (OnWritten) OnWritten(this);
}

}  // namespace varnok::net
