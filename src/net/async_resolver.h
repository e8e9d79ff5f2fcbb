#pragma once

// Host name resolution that never blocks the event loop. Names go to the
// hosts file and the name servers through c-ares, whose sockets and timeouts
// the loop drives like any other descriptor and timer (no helper thread).
//
// Ownership: each loop has at most one c-ares channel; it opens with the
// first lookup in flight and closes, unwatching its sockets and stopping its
// timer, when the last one is answered or cancelled. A pending request holds
// the channel open and, like a Timer, must not outlive its loop; a request
// that has been answered or cancelled holds nothing of the loop's.

#include <netinet/in.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace varnok {
class EventLoop;
}

namespace varnok::net {

// The first IPv4 address of the name in network byte order, or nullopt when
// the name does not resolve (unknown name, no answer, no name server).
using ResolveCallback = std::function<void(std::optional<in_addr_t> address)>;

// The caller's handle on one lookup. Destroying it, or calling cancel(),
// guarantees that the callback never runs, even when the answer is already
// on its way to the loop. Moving a request over another cancels the
// overwritten one.
class ResolveRequest {
 public:
  struct State;

  ~ResolveRequest();
  ResolveRequest(ResolveRequest&& other) noexcept = default;
  ResolveRequest& operator=(ResolveRequest&& other) noexcept;
  ResolveRequest(const ResolveRequest&) = delete;
  ResolveRequest& operator=(const ResolveRequest&) = delete;

  void cancel();
  // True until the callback has started or the request was cancelled.
  bool pending() const;

 private:
  friend std::unique_ptr<ResolveRequest> resolveHostAsync(EventLoop& loop, const std::string& host,
                                                          ResolveCallback callback);
  explicit ResolveRequest(std::shared_ptr<State> state);

  std::shared_ptr<State> state_;
};

// Starts looking up host (IPv4 only). The callback runs later on the loop,
// never inside this call, and at most once. When a resolver was installed
// with setHostResolver, it answers instead of c-ares (still on the loop).
std::unique_ptr<ResolveRequest> resolveHostAsync(EventLoop& loop, const std::string& host,
                                                 ResolveCallback callback);

// Resolves a host name to its first IPv4 address (network byte order);
// nullopt when it does not resolve. Replaceable so that tests need no name
// service.
using HostResolver = std::function<std::optional<in_addr_t>(const std::string& host)>;
// Installs a resolver that answers every later lookup instead of c-ares
// (still on the loop, never inside resolveHostAsync); empty: c-ares again.
void setHostResolver(HostResolver resolver);

// For tests: the name servers c-ares asks, in c-ares's comma-separated form
// ("127.0.0.1:5353,127.0.0.2"); empty restores the system's configuration.
// Applies to channels opened after the call. Throws std::invalid_argument
// for a list c-ares refuses.
void setResolverServers(const std::string& servers);

}  // namespace varnok::net
