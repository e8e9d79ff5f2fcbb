#include "net/async_resolver.h"

#include <ares.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/event_loop.h"

namespace varnok::net {
namespace {

class LoopChannel;

std::string& configuredServers() {
  static std::string servers;
  return servers;
}

HostResolver& installedHostResolver() {
  static HostResolver resolver;
  return resolver;
}

// The open channel of each loop. The requests in flight own a channel; this
// registry only finds it again, so that a loop's lookups share one channel.
std::unordered_map<EventLoop*, std::weak_ptr<LoopChannel>>& channels() {
  static std::unordered_map<EventLoop*, std::weak_ptr<LoopChannel>> open;
  return open;
}

// Opens and closes c-ares's global state with the channels (it counts).
struct AresLibrary {
  AresLibrary() : status(ares_library_init(ARES_LIB_INIT_ALL)) {}
  ~AresLibrary() {
    if (status == ARES_SUCCESS) ares_library_cleanup();
  }
  AresLibrary(const AresLibrary&) = delete;
  AresLibrary& operator=(const AresLibrary&) = delete;
  int status;
};

}  // namespace

struct ResolveRequest::State {
  ResolveCallback callback;  // empty once it has started or was cancelled
  // Held while c-ares works on the lookup; dropped before the callback runs.
  std::shared_ptr<LoopChannel> channel;
};

namespace {

// Hands an answer to the request on the loop. The request may have been
// cancelled since; then nothing happens. Dropping the channel reference
// first closes the channel when this was its last lookup, before the callback
// gets a chance to start another one.
void deliver(const std::weak_ptr<ResolveRequest::State>& request,
             std::optional<in_addr_t> address) {
  const std::shared_ptr<ResolveRequest::State> state = request.lock();
  if (!state || !state->callback) return;
  ResolveCallback callback = std::exchange(state->callback, nullptr);
  state->channel.reset();
  callback(address);
}

void postAnswer(EventLoop& loop, std::weak_ptr<ResolveRequest::State> request,
                std::optional<in_addr_t> address) {
  loop.post([request = std::move(request), address] { deliver(request, address); });
}

// One c-ares channel driven by one loop: its sockets are watched through the
// loop, and a Timer wakes it when its next timeout falls due.
//
// Ownership: shared by the requests in flight (ResolveRequest::State); the
// loop's watches and the timer refer to it by raw pointer and end in the
// destructor. c-ares calls back into it only from inside ares_* calls made
// here, and those never run a request's callback (answers are posted), so
// the channel is never destroyed under its own feet.
class LoopChannel {
 public:
  // nullptr when c-ares cannot open a channel.
  static std::shared_ptr<LoopChannel> forLoop(EventLoop& loop) {
    auto& open = channels();
    auto found = open.find(&loop);
    if (found != open.end()) {
      if (std::shared_ptr<LoopChannel> channel = found->second.lock()) return channel;
    }
    auto channel = std::shared_ptr<LoopChannel>(new LoopChannel(loop));
    if (channel->channel_ == nullptr) return nullptr;
    open[&loop] = channel;
    return channel;
  }

  ~LoopChannel() {
    if (channel_ != nullptr) {
      // Fails the lookups still in c-ares (ARES_EDESTRUCTION) and closes its
      // sockets, which reports each of them closed through onSocketState.
      ares_destroy(channel_);
    }
    for (int fd : watched_) loop_.unwatch(fd);  // in case a close went unreported
    auto& open = channels();
    auto found = open.find(&loop_);
    if (found != open.end() && found->second.expired()) open.erase(found);
  }

  LoopChannel(const LoopChannel&) = delete;
  LoopChannel& operator=(const LoopChannel&) = delete;

  void lookup(const std::string& host, std::weak_ptr<ResolveRequest::State> request) {
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = ARES_AI_NOSORT;  // keep the name server's order: its first is ours
    auto* query = new Query{loop_, std::move(request)};
    // Answers from the hosts file arrive inside this call.
    ares_getaddrinfo(channel_, host.c_str(), nullptr, &hints, &LoopChannel::onAnswer, query);
    rearmTimer();
  }

 private:
  // The c-ares side of one lookup; c-ares hands it back exactly once.
  struct Query {
    EventLoop& loop;
    std::weak_ptr<ResolveRequest::State> request;
  };

  explicit LoopChannel(EventLoop& loop)
      : loop_(loop), timer_(loop, [this] { process(ARES_SOCKET_BAD, ARES_SOCKET_BAD); }) {
    if (library_.status != ARES_SUCCESS) return;
    ares_options options{};
    options.sock_state_cb = &LoopChannel::onSocketState;
    options.sock_state_cb_data = this;
    if (ares_init_options(&channel_, &options, ARES_OPT_SOCK_STATE_CB) != ARES_SUCCESS) {
      channel_ = nullptr;
      return;
    }
    const std::string& servers = configuredServers();
    if (!servers.empty() && ares_set_servers_ports_csv(channel_, servers.c_str()) != ARES_SUCCESS) {
      ares_destroy(channel_);
      channel_ = nullptr;
    }
  }

  // c-ares opens, closes or changes its interest in a socket.
  static void onSocketState(void* data, ares_socket_t fd, int readable, int writable) {
    auto* self = static_cast<LoopChannel*>(data);
    if (!readable && !writable) {
      self->loop_.unwatch(fd);
      std::erase(self->watched_, fd);
      return;
    }
    const std::uint32_t events = (readable ? EPOLLIN : 0u) | (writable ? EPOLLOUT : 0u);
    const bool watched = self->loop_.watch(fd, events, [self, fd](std::uint32_t ready) {
      const bool in = (ready & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0;
      const bool out = (ready & EPOLLOUT) != 0;
      self->process(in ? fd : ARES_SOCKET_BAD, out ? fd : ARES_SOCKET_BAD);
    });
    // A socket epoll refuses is still served by the timeouts, which fail its
    // lookups rather than leaving them hanging.
    if (watched &&
        std::find(self->watched_.begin(), self->watched_.end(), fd) == self->watched_.end()) {
      self->watched_.push_back(fd);
    }
  }

  static void onAnswer(void* arg, int status, int /*timeouts*/, ares_addrinfo* result) {
    std::unique_ptr<Query> query(static_cast<Query*>(arg));
    std::optional<in_addr_t> address;
    if (status == ARES_SUCCESS && result != nullptr) {
      for (ares_addrinfo_node* node = result->nodes; node != nullptr; node = node->ai_next) {
        if (node->ai_family == AF_INET && node->ai_addr != nullptr) {
          address = reinterpret_cast<const sockaddr_in*>(node->ai_addr)->sin_addr.s_addr;
          break;
        }
      }
    }
    if (result != nullptr) ares_freeaddrinfo(result);
    // The channel is closing: only cancelled lookups are left in it.
    if (status == ARES_EDESTRUCTION) return;
    postAnswer(query->loop, std::move(query->request), address);
  }

  void process(ares_socket_t readFd, ares_socket_t writeFd) {
    ares_process_fd(channel_, readFd, writeFd);
    rearmTimer();
  }

  // Restarts the timer for c-ares's next timeout (retransmission, next
  // server, giving up), or stops it when nothing is pending.
  void rearmTimer() {
    timeval tv{};
    timer_.setEnabled(false);
    if (ares_timeout(channel_, nullptr, &tv) == nullptr) return;
    // Rounded up: waking before c-ares sees the timeout would only spin.
    const std::int64_t ms = std::int64_t{tv.tv_sec} * 1000 + (tv.tv_usec + 999) / 1000;
    timer_.setInterval(static_cast<int>(std::clamp<std::int64_t>(ms, 1, INT_MAX)));
    timer_.setEnabled(true);
  }

  EventLoop& loop_;
  AresLibrary library_;
  ares_channel channel_ = nullptr;
  Timer timer_;
  std::vector<int> watched_;  // the descriptors this channel has registered with the loop
};

}  // namespace

ResolveRequest::ResolveRequest(std::shared_ptr<State> state) : state_(std::move(state)) {}

// The handle alone owns the request's state: with it go the callback and the
// hold on the channel, and answers still on their way find nothing.
ResolveRequest::~ResolveRequest() = default;
ResolveRequest& ResolveRequest::operator=(ResolveRequest&& other) noexcept = default;

void ResolveRequest::cancel() {
  if (!state_) return;
  state_->callback = nullptr;
  // May close the loop's channel when this was its last lookup; c-ares then
  // drops the lookup, otherwise its answer finds the request gone.
  state_->channel.reset();
}

bool ResolveRequest::pending() const {
  return state_ && state_->callback;
}

std::unique_ptr<ResolveRequest> resolveHostAsync(EventLoop& loop, const std::string& host,
                                                 ResolveCallback callback) {
  auto state =
      std::make_shared<ResolveRequest::State>(ResolveRequest::State{std::move(callback), nullptr});
  std::unique_ptr<ResolveRequest> request(new ResolveRequest(state));
  std::weak_ptr<ResolveRequest::State> weak = state;

  if (const auto& installed = installedHostResolver()) {
    // Asked on the loop, not here, so that a cancelled request costs nothing.
    loop.post([weak, host, resolver = installed] {
      const std::shared_ptr<ResolveRequest::State> alive = weak.lock();
      if (alive && alive->callback) deliver(weak, resolver(host));
    });
    return request;
  }

  state->channel = LoopChannel::forLoop(loop);
  if (!state->channel) {
    postAnswer(loop, weak, std::nullopt);
    return request;
  }
  state->channel->lookup(host, weak);
  return request;
}

void setHostResolver(HostResolver resolver) {
  installedHostResolver() = std::move(resolver);
}

void setResolverServers(const std::string& servers) {
  if (!servers.empty()) {
    // Tried on a throw-away channel, so that a bad list fails here and not
    // as names that silently stop resolving.
    AresLibrary library;
    ares_channel probe = nullptr;
    if (library.status != ARES_SUCCESS || ares_init(&probe) != ARES_SUCCESS) {
      throw std::runtime_error("c-ares cannot open a channel");
    }
    const int status = ares_set_servers_ports_csv(probe, servers.c_str());
    ares_destroy(probe);
    if (status != ARES_SUCCESS) {
      throw std::invalid_argument("name servers not understood: " + servers);
    }
  }
  configuredServers() = servers;
}

}  // namespace varnok::net
