#pragma once

#include <netinet/in.h>

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dispatcher/debug_trail.h"
#include "encoder/link.h"
#include "encoder/uecp.h"
#include "platform/event_loop.h"
#include "platform/result.h"

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

class SenderSlot;

// How a connection of a slot's ended while the slot served an encoder.
struct SlotEnding {
  int encoder = -1;
  bool wasConnected = false;    // it had been established
  bool commandWritten = false;  // a whole command went into it
  bool closedByUs = false;      // the slot closed it, on its owner's behalf
  // Closed while the encoder took nothing for a whole drain period.
  bool deaf = false;
  // The link looked open, but the encoder is not there (UDP port
  // unreachable): a failed attempt.
  bool unreachable = false;
  // The attempt failed for want of this machine's own resources: no fault
  // of the encoder's.
  bool localShortage = false;
  std::size_t commandsLost = 0;  // given to the connection, not taken whole
  std::uint64_t bytesLost = 0;
};

// What a slot reports to the one who decides whom it serves, and asks of it.
// Every call runs on the loop's thread, inside the slot's own handlers.
class SlotOwner {
 public:
  // Before each dial, with the address about to be dialled: false refuses
  // it, and the slot then lets go of the encoder.
  virtual bool mayDial(int encoder, const sockaddr_in& target) = 0;
  virtual void slotConnected(const SenderSlot& slot) = 0;
  // Commands that the encoder has taken whole (or confirmed, for one that
  // confirms).
  virtual void slotDelivered(const SenderSlot& slot, std::size_t commands) = 0;
  // A command the encoder refused, or left unanswered within its reply
  // timeout; why says which. False: the encoder is not to be served any
  // more now (it was suspended), and the slot closes.
  virtual bool slotRefused(const SenderSlot& slot, const std::string& command,
                           const std::string& why) = 0;
  // Something of note about the encoder's replies, for the log.
  virtual void slotNote(const SenderSlot& slot, const std::string& text) = 0;
  // The connection ended; the slot is still bound while this runs and idle
  // right after.
  virtual void slotEnded(const SenderSlot& slot, const SlotEnding& ending) = 0;
  // A socket error of the slot's link; encoder is the one last dialled, or
  // -1 for a slot not in use.
  virtual void socketError(int encoder, int errorCode, const std::string& text) = 0;
  // The error of an attempt that failed for want of this machine's own
  // resources, told instead of socketError.
  virtual void dialShortage(int encoder, int errorCode, const std::string& text) = 0;
  // An active encoder with commands waiting has no slot: a slot's timer may
  // then take its connection away from the encoder it serves.
  virtual bool anotherEncoderWaits() = 0;

 protected:
  ~SlotOwner() = default;
};

// One sender slot: the link to the encoder it serves and the two timers that
// end it. The slot keeps its own state, runs its link's and its timers'
// events and reports upward; its owner chooses whom it serves.
//
// Ownership: the slot owns its link and timers; the owner and the trail
// outlive it. Events may reach the owner from inside dial, send and close.
// How an encoder confirms what it took: with ok empty it does not, and
// delivery is what the link can tell.
struct ReplyRules {
  std::string ok;
  std::string error;
  int timeoutMs = 2000;
};

// An encoder that takes UECP: each command comes as message elements, each
// sent in a frame of its own with this address. With confirm, one frame is
// outstanding at a time until the encoder acknowledges it (within the reply
// rules' timeout).
struct UecpRules {
  bool on = false;
  std::uint16_t address = 0;
  bool confirm = false;
};

class SenderSlot {
 public:
  // The longest reply line kept; a longer one is ignored whole.
  static constexpr std::size_t kMaxReplyLine = 4096;

  static constexpr int kNone = -1;

  enum class State {
    Idle,       // serves nobody (its link may still be closing)
    Dialling,   // bound to an encoder, the connection not yet up
    Connected,  // up and taking commands
    Draining,   // up, its close wanted: no further command, in-flight ones may finish
  };

  SenderSlot(EventLoop& loop, int index, SlotOwner& owner, DebugTrail& trail,
             std::unique_ptr<EncoderLink> link = nullptr);
  SenderSlot(const SenderSlot&) = delete;
  SenderSlot& operator=(const SenderSlot&) = delete;

  int index() const { return index_; }
  const SlotTraits& traits() const { return kSlotTraits[static_cast<std::size_t>(index_)]; }
  State state() const { return state_; }
  // The encoder served, kNone while idle.
  int encoder() const { return encoder_; }
  bool idle() const { return state_ == State::Idle; }
  // The connection to that encoder is established.
  bool connected() const { return state_ == State::Connected || state_ == State::Draining; }
  // Whether the connected slot can take its next command: nothing of the
  // last one is still waiting to be written, and no close is pending.
  // An encoder that confirms gets its next command once the last one's
  // reply has come.
  bool readyForNext() const {
    return state_ == State::Connected && link_->pendingOutput() == 0 && !awaiting_;
  }
  // Commands given to the connection that the encoder has not taken whole
  // (not confirmed, for one that confirms).
  std::size_t commandsInFlight() const {
    if (!connected()) return 0;
    if (confirming()) return awaiting_ ? 1 : 0;
    return uecp_.on ? framesPerCommand_.size() : link_->commandsInFlight();
  }
  bool confirming() const { return !rules_.ok.empty() || (uecp_.on && uecp_.confirm); }
  bool speaksUecp() const { return uecp_.on; }
  bool awaitingReply() const { return awaiting_; }
  bool idleTimerRunning() const { return idleTimer_.enabled(); }
  bool stayTimerRunning() const { return stayTimer_.enabled(); }

  // Whether the slot's link can be pointed at the target now.
  bool canDial(const LinkTarget& target) const { return link_->canChangeTarget(target); }
  // Binds the slot to the encoder and starts the link to the target (a link
  // of the target's kind). Events may reach the owner before it returns; an
  // attempt that failed at once has been reported by then, and comes back
  // as the result.
  Result<> dial(int encoder, const LinkTarget& target, const ReplyRules& rules = {},
                const UecpRules& uecp = {});
  // Hands a command to the connection and starts the idle period again; a
  // failed send has been reported (the connection ended) by the time it
  // comes back.
  Result<> send(const std::string& command);
  // The same for an encoder that speaks UECP: the command's elements, in
  // order (RT+ data is preceded by the RT+ setup once per connection).
  Result<> send(const std::string& command, std::vector<uecp::Bytes> elements);
  // Closes the connection on the owner's decision.
  void close();
  // The owner's encoder table was read again: the encoder served (and the
  // one last dialled) is now newIndexOf[old]. One that is gone (-1) is let
  // go at once, its connection closed with nothing reported: the owner
  // settles and counts what was in flight before asking.
  void renumber(const std::vector<int>& newIndexOf);
  // The slot takes part (true) or stays out of the dispatch (false, the
  // slots beyond Threads): a slot out of it serves nobody.
  void setInUse(bool inUse);
  // Tells the owner of what the encoder has taken whole since last asked.
  void settle();

 private:
  friend class DispatcherPeer;  // tests set a slot's binding directly

  void wireLink();
  void received(std::string_view bytes);
  void replyLine(std::string_view line);
  void replyTimedOut();
  void receivedFrames(std::string_view bytes);
  void acknowledged(const uecp::Acknowledgement& ack);
  Result<> sendFrame(const uecp::Bytes& element);
  std::uint8_t nextSequence();
  // Converts frames the link says were taken into whole commands.
  std::size_t commandsOfFrames(std::size_t frames);
  enum class UecpNote { BadFrame, OtherElement, StrayAck, Count };
  // Notes a kind of oddity once per connection.
  void noteOnce(UecpNote kind, const std::string& text);
  // The command awaiting its reply is refused for why.
  void refuse(const std::string& why);
  void established();
  void disconnected();
  void written();
  void timer();
  void endIfDeaf(std::int64_t nowMs, std::uint64_t taken, bool inFlight);
  void error(int code, const std::string& text);
  bool mayDial(const sockaddr_in& target);
  void release();
  void stopTimers();
  void restartIdleTimer();
  void mark(Mark m) { trail_.mark(m); }

  const int index_;
  EventLoop& loop_;
  SlotOwner& owner_;
  DebugTrail& trail_;
  std::unique_ptr<EncoderLink> link_;
  Timer idleTimer_;
  Timer stayTimer_;
  Timer replyTimer_;
  ReplyRules rules_;
  bool awaiting_ = false;      // a command waits for its reply
  std::string awaited_;        // that command
  std::string replyBuffer_;    // a reply line not yet ended
  bool overlongLine_ = false;  // the line under way is too long: ignored to its end
  bool overlongTold_ = false;  // that was logged on this connection
  // UECP.
  UecpRules uecp_;
  std::uint8_t sequence_ = 0;             // the last sequence counter used; 0 is never sent
  bool rtPlusReady_ = false;              // the RT+ setup went out on this connection
  std::deque<uecp::Bytes> elementsLeft_;  // of the command awaiting acknowledgements
  std::uint8_t outstanding_ = 0;          // the frame awaiting its acknowledgement
  uecp::FrameReader reader_;
  std::deque<std::size_t> framesPerCommand_;  // unconfirmed: frames of each command in flight
  std::size_t framesSettled_ = 0;             // of the first of them
  std::bitset<static_cast<std::size_t>(UecpNote::Count)> uecpTold_;
  bool inUse_ = false;
  State state_ = State::Idle;
  int encoder_ = kNone;
  // The encoder this slot's link last dialled: its errors, which may arrive
  // after the slot was freed, are still that encoder's.
  int dialled_ = kNone;
  // Facts of the current connection.
  bool commandWritten_ = false;
  bool closedByUs_ = false;
  bool deaf_ = false;
  std::int64_t closeWantedAtMs_ = 0;  // monotonic
  std::uint64_t takenWhenCloseWanted_ = 0;
  std::uint64_t takenAtLastLook_ = 0;  // at the last timer tick
};

}  // namespace varnok
