#pragma once

// Event-driven, non-blocking IPv4 TCP over the process's one event loop:
// a timer component, the socket base, the listening server and the client
// (which the server also uses for its accepted connections).
//
// Ownership: the owner of a component (the main window) holds it by value or
// unique_ptr. Each open socket has one SocketChannel, its registration with
// the loop, held by the component whose socket it is (socket_notifier.h);
// the loop refers to it only weakly. The server owns its accepted
// connections (TProofList); one that closes, whoever closes it, is freed by
// the server only after the handler that is running has returned (a sweep
// posted to the loop), so a handler never runs on a freed connection, and a
// connection handed to a handler stays valid until the handler returns.
// A stream handed to a read event belongs to the layer and lives only for
// the call.
//
// Re-entry: events may fire synchronously inside setListen / setConnected /
// SendBuffer, and handlers may call back into the component that fired them:
// close it, reopen it, send, pause reading. A handler must not destroy the
// component that called it or reassign the event that is running, with one
// exception: the server may be destroyed by the last statement of its
// OnClientConnected, OnClientRead, OnClientDataAvailable or
// OnClientDisconnected handler (nothing touches the server or its
// connections after such a handler returns). Destroying a component fires
// no event.

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/async_resolver.h"
#include "net/socket_errors.h"
#include "platform/event_loop.h"
#include "platform/spare_descriptor.h"

namespace varnok::net {

class SocketChannel;
class TCustomSocket;
class TSimpleTCPClient;

constexpr int kInvalidSocket = -1;

// Socket notification events, as (socket, event, error) triples.
enum SocketEvent : int {
  kEventRead = 1,
  kEventWrite = 2,  // only while output waits to be written
  kEventAccept = 8,
  kEventConnect = 16,
  kEventClose = 32
};

// Raised for programming errors a component refuses ("Cannot change Host
// while active") and for socket errors when no OnError handler is assigned.
class ESocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Readable in-memory byte stream handed to read events; positioned at 0.
struct TMemoryStream {
  std::string Bytes;
  std::size_t Position = 0;
  std::size_t Size() const { return Bytes.size(); }
};

// Resolves a host name to its first IPv4 address (network byte order);
// nullopt when it does not resolve. Replaceable so that tests need no name
// service. The client's connect attempts ask it through resolveHostAsync.
using HostResolver = std::function<std::optional<in_addr_t>(const std::string& host)>;
void setHostResolver(HostResolver resolver);  // empty: the name service (c-ares)

using TNotifyEvent = std::function<void(TCustomSocket* Sender)>;
using TSimpleTCPErrorEvent = std::function<void(TCustomSocket* Sender, int Socket, int ErrorCode,
                                                const std::string& ErrorMsg)>;
using TSimpleTCPAcceptEvent =
    std::function<void(TCustomSocket* Sender, TSimpleTCPClient* Client, bool& Accept)>;
using TSimpleTCPServerEvent = std::function<void(TCustomSocket* Sender, TSimpleTCPClient* Client)>;
using TSimpleTCPServerDataAvailEvent =
    std::function<void(TCustomSocket* Sender, TSimpleTCPClient* Client, int DataSize)>;
using TSimpleTCPClientDataAvailEvent = std::function<void(TCustomSocket* Sender, int DataSize)>;
using TSimpleTCPServerIOEvent =
    std::function<void(TCustomSocket* Sender, TSimpleTCPClient* Client, TMemoryStream& Stream)>;
using TSimpleTCPClientIOEvent = std::function<void(TCustomSocket* Sender, TMemoryStream& Stream)>;

// A component with at most one periodic timer (id 1). The interval is handed
// over as an unsigned 32-bit count and capped at 2147483647 ms (so -1 gives
// about 24.8 days); below 10 ms it is raised to 10 ms.
class TTimerComponent {
 public:
  explicit TTimerComponent(EventLoop& loop);
  virtual ~TTimerComponent();
  TTimerComponent(const TTimerComponent&) = delete;
  TTimerComponent& operator=(const TTimerComponent&) = delete;

  EventLoop& loop() const { return loop_; }
  bool TimerEnabled() const { return timerEnabled_; }
  int Interval() const { return interval_; }
  void SetTimerEnabled(bool value);
  void SetInterval(int value);
  // The effective platform period in ms, for tests.
  std::int64_t timerPeriodMs() const;
  bool timerRunning() const;

 protected:
  virtual void UpdateTimer();
  virtual void DoTimer() {}

 private:
  EventLoop& loop_;
  bool timerEnabled_ = false;
  int interval_ = 0;
  std::unique_ptr<Timer> timer_;
};

// The abstract socket component.
class TCustomSocket : public TTimerComponent {
 public:
  explicit TCustomSocket(EventLoop& loop);
  ~TCustomSocket() override;

  bool Listen() const { return listen_; }
  virtual void SetListen(bool value);
  const std::string& Host() const { return host_; }
  virtual void SetHost(const std::string& value);
  std::uint16_t Port() const { return port_; }
  virtual void SetPort(std::uint16_t value);
  int SocketHandle() const { return socket_; }
  // Whether SetHost(host) and SetPort(port) would be taken now: the
  // component is inactive, or already has exactly this target.
  bool CanChangeTarget(const std::string& host, std::uint16_t port) const {
    return !listen_ || (host == host_ && port == port_);
  }

  TSimpleTCPErrorEvent OnError;

  // Sends Count bytes on Connection's socket (MSG_NOSIGNAL). What the socket
  // does not take at once (a partial send, "would block") is kept and
  // written, in order and before anything sent later, as soon as the socket
  // is writable. Returns Count, 0 without a socket or for Count 0, -1 after
  // reporting an error on Connection itself.
  int SendBuffer(TCustomSocket* Connection, const void* Buffer, int Count);
  // One receive of up to Count bytes: the number received; 0 when the peer
  // has closed (after DoDisconnect) or when nothing was waiting after all;
  // -1 after reporting an error.
  int ReceiveBuffer(TCustomSocket* Connection, void* Buffer, int Count);
  int ReceiveStream(TCustomSocket* Connection, TMemoryStream& Stream, int Count);

  // Bytes handed to SendBuffer that the socket has not taken yet.
  std::size_t PendingOutput() const { return outPending_.size() - outOffset_; }
  // PendingOutput plus what the kernel still holds unacknowledged: what an
  // abortive close at this moment would throw away. 0 without a socket.
  std::size_t OutputInFlight() const;
  // What the last close of this socket threw away, counted as above.
  std::size_t BytesLostOnClose() const { return lostOnClose_; }
  // Stops or resumes reading this socket: while paused nothing more is read,
  // so TCP slows the peer down; a broken connection is still reported.
  void SetReadPaused(bool paused);
  bool ReadPaused() const { return readPaused_; }

  // Whatever the application keeps with this socket; freed with it.
  std::shared_ptr<void> Data;
  // A weak handle that expires when the component is destroyed, for work
  // that is posted to the loop and may find the component gone.
  std::weak_ptr<TCustomSocket* const> Handle() const { return self_; }

  // The most one read notification takes: one receive of this size is one
  // chunk, so no peer can keep the loop to itself or grow a buffer.
  static constexpr int kReadChunk = 64 * 1024;

 protected:
  virtual void DoError(int Socket, int ErrorCode);
  virtual void Activate() = 0;
  virtual void Deactivate();
  virtual void DoConnect() = 0;
  // Connection's peer has closed (this component's own socket, or for the
  // server one of its accepted connections).
  virtual void DoDisconnect(TCustomSocket* Connection) = 0;
  virtual void DoDataAvailable(TCustomSocket* Connection, int DataSize, bool& Handled) = 0;
  virtual void DoRead(TCustomSocket* Connection, TMemoryStream& Stream) = 0;
  // Everything that waited on Connection has been written.
  virtual void DoWritten(TCustomSocket* /*Connection*/) {}
  // Whether a data-available handler is assigned (it then reads for itself).
  virtual bool WantsDataAvailable() const { return false; }

  // Handles one (socket, event, error) notification about Connection's
  // socket S: this component's own, or for the server an accepted one.
  void SocketNotify(TCustomSocket* Connection, int S, int Event, int Error);
  // Registers this component's socket s with the loop (mask is a combination
  // of SocketEvent values); its notifications go to notified. False, with
  // errno set, when the loop refuses.
  bool RegisterSocket(int s, int mask, TCustomSocket* notified);

  friend class TSimpleTCPServer;
  void readNotification(TCustomSocket* Connection);
  void writeNotification(TCustomSocket* Connection);
  // The abortive close: no more notifications, both directions shut, linger
  // on with 0 s, so that unsent data is dropped and the peer sees a reset.
  // Records what is lost. Returns close()'s result with errno as it left it;
  // 0 when there is no socket.
  int closeSocket();
  // Closes without any event (destruction, a server dropping its
  // connections); a failing close is reported to the application.
  void closeQuietly();
  // Brings the read and write notifications in line with the pause and the
  // pending output.
  void updateInterest();
  // Set on accepted connections: while an answer waits to be written, the
  // peer is not read, so a peer that never reads cannot make us queue
  // answers without end.
  bool readWaitsForOutput_ = false;
  std::string outPending_;
  std::size_t outOffset_ = 0;
  std::size_t lostOnClose_ = 0;
  bool readPaused_ = false;
  std::shared_ptr<TCustomSocket* const> self_;
  std::shared_ptr<SocketChannel> channel_;  // while socket_ is registered
  bool listen_ = false;
  std::string host_;
  std::uint16_t port_ = 0;
  int socket_ = kInvalidSocket;
  sockaddr_in Address{};
};

// The outgoing TCP component; also the server's accepted connection.
class TSimpleTCPClient : public TCustomSocket {
 public:
  explicit TSimpleTCPClient(EventLoop& loop);
  ~TSimpleTCPClient() override;

  bool AutoReconnect = false;
  int AutoReconnectInterval() const { return Interval(); }
  void SetAutoReconnectInterval(int ms) { SetInterval(ms); }
  bool Connected() const { return connectedFlag_; }
  void SetConnected(bool value) { SetListen(value); }
  void SetListen(bool value) override;

  TNotifyEvent OnConnected;
  TNotifyEvent OnDisconnected;
  TNotifyEvent OnConnectionLost;
  TSimpleTCPClientDataAvailEvent OnDataAvailable;
  TSimpleTCPClientIOEvent OnRead;
  // Output that SendBuffer had to keep has all been written.
  TNotifyEvent OnWritten;

  int SendBuffer(const void* Buffer, int Count) {
    return TCustomSocket::SendBuffer(this, Buffer, Count);
  }

 protected:
  void DoTimer() override;
  void DoError(int Socket, int ErrorCode) override;
  void Activate() override;
  void Deactivate() override;
  void DoConnect() override;
  void DoDisconnect(TCustomSocket* Connection) override;
  void DoDataAvailable(TCustomSocket* Connection, int DataSize, bool& Handled) override;
  void DoRead(TCustomSocket* Connection, TMemoryStream& Stream) override;
  void DoWritten(TCustomSocket* Connection) override;
  bool WantsDataAvailable() const override { return static_cast<bool>(OnDataAvailable); }
  virtual void DoConnectionLost();

 private:
  friend class TSimpleTCPServer;
  // The rest of a connect attempt, once the host's address is known.
  void ConnectTo(in_addr_t address);
  void Resolved(std::optional<in_addr_t> address);
  // A host name being looked up; the attempt goes on when the answer comes.
  std::unique_ptr<ResolveRequest> resolving_;
  bool connectedFlag_ = false;
  // Set by the server on its accepted connections, which never dial out.
  bool accepted_ = false;
  // The server of an accepted connection, told when the connection closes
  // by itself so that it can free it. The server outlives its connections.
  class TSimpleTCPServer* server_ = nullptr;
};

// A list of objects that owns them.
template <class T>
class TProofList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TProofList() = default;
  ~TProofList() { Clear(); }
  TProofList(const TProofList&) = delete;
  TProofList& operator=(const TProofList&) = delete;

  T* operator[](int i) const { return items_[static_cast<std::size_t>(i)].get(); }
  void Add(std::unique_ptr<T> item) { items_.push_back(std::move(item)); }
  // Removes entry i from the list and hands it to the caller.
  std::unique_ptr<T> Extract(int i);
  // Frees every object, last to first.
  void Clear();

 private:
  std::vector<std::unique_ptr<T>> items_;
};

// The listening TCP component.
class TSimpleTCPServer : public TCustomSocket {
 public:
  explicit TSimpleTCPServer(EventLoop& loop);
  ~TSimpleTCPServer() override;

  TSimpleTCPAcceptEvent OnAccept;
  TSimpleTCPServerEvent OnClientConnected;
  TSimpleTCPServerEvent OnClientDisconnected;
  TSimpleTCPServerDataAvailEvent OnClientDataAvailable;
  TSimpleTCPServerIOEvent OnClientRead;

  const TProofList<TSimpleTCPClient>& Connections() const { return connections_; }

 protected:
  void DoError(int Socket, int ErrorCode) override;
  void Activate() override;
  void Deactivate() override;
  void DoConnect() override;
  void DoDisconnect(TCustomSocket* Connection) override;
  void DoDataAvailable(TCustomSocket* Connection, int DataSize, bool& Handled) override;
  void DoRead(TCustomSocket* Connection, TMemoryStream& Stream) override;
  bool WantsDataAvailable() const override { return static_cast<bool>(OnClientDataAvailable); }

 private:
  friend class TSimpleTCPClient;
  // Entry i leaves the list at once and is freed by the next sweep. With
  // closeNow its socket is closed (quietly) at once too; without, it is only
  // no longer watched and closes when freed.
  void release(int i, bool closeNow);
  // Posts a sweep, unless one is already on its way.
  void scheduleSweep();
  // Frees what was released, and the listed connections that closed by
  // themselves (a failed send, SetConnected(false) in a handler), which stay
  // listed until then.
  void sweep();

  TProofList<TSimpleTCPClient> connections_;
  std::vector<std::unique_ptr<TSimpleTCPClient>> released_;
  bool sweepPosted_ = false;
  // Keeps accepting sane when descriptors run out; exists while listening.
  std::unique_ptr<SpareDescriptor> spare_;
  bool outOfDescriptors_ = false;  // reported once per shortage
};

template <class T>
std::unique_ptr<T> TProofList<T>::Extract(int i) {
  auto at = items_.begin() + i;
  std::unique_ptr<T> item = std::move(*at);
  items_.erase(at);
  return item;
}

// Each object leaves the list before it is freed, so a destructor that looks
// at the list never meets a dangling entry.
template <class T>
void TProofList<T>::Clear() {
  while (!items_.empty()) {
    std::unique_ptr<T> item = std::move(items_.back());
    items_.pop_back();
    item.reset();
  }
}

}  // namespace varnok::net
