#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "dispatcher/debug_trail.h"
#include "net/tcp_client.h"
#include "platform/event_loop.h"

namespace varnok {

// What the four sender slots differ in.
struct SlotTraits {
  int idleMs;          // the idle timer: closes a connection that has nothing to do
  int stayMs;          // the stay timer: the longest one encoder keeps the slot while others wait
  const char* thread;  // shown in the status table's "Thread" column
  Mark connected;
  Mark disconnected;
  Mark timer;
};

inline constexpr std::array<SlotTraits, 4> kSlotTraits{{
    {1000, 5000, "1", Mark::Slot1Connected, Mark::Slot1Disconnected, Mark::Slot1Timer},
    {1500, 5500, "2", Mark::Slot2Connected, Mark::Slot2Disconnected, Mark::Slot2Timer},
    {2000, 6000, "3", Mark::Slot3Connected, Mark::Slot3Disconnected, Mark::Slot3Timer},
    {2500, 6500, "4", Mark::Slot4Connected, Mark::Slot4Disconnected, Mark::Slot4Timer},
}};

// One sender slot: an outgoing connection to the encoder it serves, and the
// two timers that end it. The dispatcher owns the slots and handles their
// events; the slot keeps the state and the small verbs on it.
class SenderSlot {
 public:
  static constexpr int kNone = -1;

  // What the dispatcher knows of the slot's current connection.
  struct Connection {
    bool commandWritten = false;       // a whole command went into the socket
    bool closing = false;              // a close is wanted; no further command is given
    bool closedByUs = false;           // the dispatcher chose to close it
    bool deaf = false;                 // closed while the encoder acknowledged nothing
    std::int64_t closeWantedAtMs = 0;  // when the close was first wanted (monotonic)
    std::uint64_t ackedWhenCloseWanted = 0;
    std::uint64_t ackBase = 0;    // the socket's acknowledgement count at connect
    std::uint64_t bytesSent = 0;  // handed to the socket on this connection
    // Where each command not yet acknowledged whole ends, on the bytesSent
    // scale, oldest first.
    std::deque<std::uint64_t> commandEnds;
  };

  SenderSlot(EventLoop& loop, int index);
  SenderSlot(const SenderSlot&) = delete;
  SenderSlot& operator=(const SenderSlot&) = delete;

  int index() const { return index_; }
  const SlotTraits& traits() const { return kSlotTraits[static_cast<std::size_t>(index_)]; }
  // The encoder served, kNone while idle.
  int encoder() const { return encoder_; }
  bool idle() const { return encoder_ == kNone; }
  // The connection to that encoder is established.
  bool connected() const { return connected_; }
  // The encoder this slot's client last dialled: its errors, which may
  // arrive after the slot was freed, are still that encoder's.
  int dialledEncoder() const { return dialled_; }
  const Connection& connection() const { return connection_; }
  Connection& connection() { return connection_; }
  const net::TcpClient& client() const { return client_; }
  net::TcpClient& client() { return client_; }
  Timer& idleTimer() { return idleTimer_; }
  Timer& stayTimer() { return stayTimer_; }

  // Binds the slot to the encoder and starts the connection to host:port.
  // Events may fire before it returns.
  void dial(int encoder, const std::string& host, std::uint16_t port);
  // The connection is up: the stay timer is armed first, then the idle timer.
  void established();
  // Unbinds the slot.
  void release();
  // Whether the connected slot can take its next command: nothing of the
  // last one is still waiting to be written, and no close is pending.
  bool readyForNext() const { return !connection_.closing && client_.pendingOutput() == 0; }
  // Closes the connection on the dispatcher's own decision.
  void close();
  void stopTimers();
  // A command went out: the idle period starts again.
  void restartIdleTimer();
  // Hands a command to the connection; it is in flight until the encoder's
  // side has acknowledged all its bytes.
  void send(const std::string& command);
  // Bytes the encoder's side has acknowledged on this connection.
  std::uint64_t bytesAcknowledged() const;
  // Takes the commands now acknowledged whole off the in-flight list; how
  // many.
  std::size_t settleAcknowledged();
  std::size_t commandsInFlight() const { return connection_.commandEnds.size(); }

 private:
  friend class DispatcherPeer;  // tests set a slot's binding directly

  const int index_;
  net::TcpClient client_;
  Timer idleTimer_;
  Timer stayTimer_;
  int encoder_ = kNone;
  bool connected_ = false;
  int dialled_ = kNone;
  Connection connection_;
};

}  // namespace varnok
