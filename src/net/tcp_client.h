#pragma once

// The outgoing TCP connection. Ownership and re-entry as described in
// socket_base.h.
//
// The order of its handlers is part of its interface:
//   a failed attempt (refused, timed out, host not found): onDisconnected,
//     then onError; a host name that does not resolve reports
//     kWsaENotSock before the onDisconnected and kWsaEFault after it;
//   a broken connection (reset, a failed send or write): onDisconnected,
//     then onError;
//   the peer's close: onDisconnected twice, once for the close and once more
//     for the loss of the connection;
//   setConnected(false): onDisconnected, after kWsaENotSock through onError
//     when no socket exists yet (the host is still being looked up);
//   an attempt that mayConnect refuses: onDisconnected alone, no error.

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/async_resolver.h"
#include "net/socket_base.h"
#include "platform/result.h"

namespace varnok::net {

class TcpClient : public SocketBase {
 public:
  explicit TcpClient(EventLoop& loop);
  // Closes an open socket and drops a lookup under way; runs no handler.
  ~TcpClient() override;

  // The target changes only while the client is not open (SocketError
  // otherwise); the same value is always taken.
  void setHost(const std::string& host);
  void setPort(std::uint16_t port);
  // Whether setHost(host) and setPort(port) would be taken now: the client
  // is not open, or already has exactly this target.
  bool canChangeTarget(const std::string& host, std::uint16_t port) const {
    return !open_ || (host == host_ && port == port_);
  }

  // true starts an attempt: a dotted address is dialled as it stands, any
  // other host (255.255.255.255 included) is looked up first without holding
  // up the loop; a connect that is never answered fails after 21 s. An
  // attempt that fails at once is reported as below and its error comes
  // back as the result too. false closes abortively. Nothing when already so.
  Result<> setConnected(bool on);
  // The connection is established (not merely attempted).
  bool connected() const { return connected_; }
  // The last attempt failed for want of this machine's own resources (no
  // descriptor, buffer or local port left), not through anything the peer
  // did; kept until the next attempt starts.
  bool failedForWantOfResources() const { return wantedResources_; }

  // Sends bytes (MSG_NOSIGNAL). What the socket does not take at once is kept
  // and written, in order and before anything sent later, as soon as the
  // socket is writable; onWritten tells when it all has been. Returns the
  // count, 0 without a socket or for no bytes, -1 after a failure, which
  // closes the client and is reported as above (raised as SocketError
  // without onError).
  int send(std::string_view bytes);

  // Asked with the address and port about to be dialled (the host's address
  // once looked up), before any socket is made; false refuses the attempt,
  // which then ends without a connection and without an error. It may close
  // the client, and then that close is all that happens.
  std::function<bool(const sockaddr_in& target)> mayConnect;
  std::function<void()> onConnected;
  std::function<void()> onDisconnected;
  // Output that send had to keep has all been written.
  std::function<void()> onWritten;
  // bytes are valid only during the call.
  std::function<void(std::string_view bytes)> onRead;
  ErrorHandler onError;

 private:
  Result<> activate();
  void deactivate();
  // The rest of an attempt, once the host's address is known.
  void resolved(std::optional<in_addr_t> address);
  Result<> connectTo(in_addr_t address);
  // Ends an attempt that mayConnect refused: there is no socket to close.
  void refuse();
  // Closes, then reports err (an errno value); the error reported, for a
  // caller that returns it.
  Error fail(int err, ErrorOrigin origin = ErrorOrigin::Call);
  // fail() for an attempt that could not get under way, noting whether the
  // cause was a local shortage.
  Error failDialling(int err);

  void connectionReady() override;
  void received(std::string_view bytes) override;
  void peerClosed() override;
  void failed(int err, ErrorOrigin origin) override { fail(err, origin); }
  void allWritten() override;

  // A host name being looked up; the attempt goes on when the answer comes.
  std::unique_ptr<ResolveRequest> resolving_;
  bool connected_ = false;
  bool wantedResources_ = false;
};

}  // namespace varnok::net
