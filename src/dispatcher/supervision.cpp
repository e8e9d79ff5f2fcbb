// Supervision of the sender slots' connections: connection events, idle and
// stay timers, failure counting, suspension and resumption.
#include "dispatcher/dispatcher.h"
#include "platform/application.h"

namespace varnok {

void Dispatcher::slotConnected(SenderSlot& slot) {
  mark(slot.traits().connected);
  // Only a slot in use and bound has an encoder to report on; a client that
  // connected on its own touches no encoder and no row.
  if (slot.index() >= slotCount_ || slot.idle()) {
    slot.client().setConnected(false);
    mark(Mark::End);
    return;
  }
  slot.established();
  table_.setCell(kColThread, slot.encoder() + 1, slot.traits().thread);
  mark(Mark::End);
}

void Dispatcher::slotDisconnected(SenderSlot& slot) {
  mark(slot.traits().disconnected);
  slot.stopTimers();
  if (slot.index() >= slotCount_) return;
  if (slot.idle()) {
    slot.release();
    return;
  }
  const int encoder = slot.encoder();
  Encoder& e = encoders_[static_cast<std::size_t>(encoder)];
  // What the encoder's side acknowledged up to the close was delivered; the
  // rest of what was handed to the connection is lost.
  settleAcknowledged(slot);
  const SenderSlot::Connection run = slot.connection();
  const std::uint64_t lost = slot.connected() ? run.bytesSent - slot.bytesAcknowledged() : 0;
  counters_.failedSends += run.commandEnds.size();
  slot.connection() = SenderSlot::Connection{};
  table_.setCell(kColThread, encoder + 1, "");
  // A connection that the encoder ended before a command could go out on it
  // is no better than a refused one.
  const bool droppedEarly = slot.connected() && !run.commandWritten && !run.closedByUs &&
                            (lost > 0 || !queues_.empty(encoder));
  if (droppedEarly) {
    log("Connection closed by the encoder before any command was sent (" + e.name + ")");
  }
  if (lost > 0) {
    log("Connection ended with " + std::to_string(lost) + " bytes of commands not delivered (" +
        e.name + ")");
  }
  // An encoder that took nothing for a whole drain period before we had to
  // close is no better either: it rests instead of swallowing a command
  // per turn.
  if (!slot.connected() || droppedEarly || run.deaf) {
    ++e.errors;
    ++e.errorsInRow;
    if (e.errorsInRow >= config_.errorLimit) suspend(encoder);
    table_.setCell(kColErrors, encoder + 1, std::to_string(e.errors));
  }
  slot.release();
  mark(Mark::End);
}

void Dispatcher::slotWritten(SenderSlot& slot) {
  if (slot.index() >= slotCount_) return;
  if (!slot.idle() && slot.connected()) commandWritten(slot);
}

void Dispatcher::commandWritten(SenderSlot& slot) {
  slot.connection().commandWritten = true;
}

// ErrorsInRow goes back to 0 once the encoder's side has acknowledged a
// whole command, not when the connection comes up nor when a command went
// into the socket: an encoder that takes connections and drops them, or
// takes commands and never reads them, must still add up.
void Dispatcher::settleAcknowledged(SenderSlot& slot) {
  const std::size_t delivered = slot.settleAcknowledged();
  if (delivered == 0) return;
  counters_.delivered += delivered;
  encoders_[static_cast<std::size_t>(slot.encoder())].errorsInRow = 0;
}

// Both of a slot's timers come here. A connection is closed only to give
// its turn to an active encoder that has commands waiting and no slot; an
// encoder still reading what it was given keeps it while nobody waits.
// Once the close is wanted no further command is given, and what is in
// flight may drain for one idle interval at most.
void Dispatcher::slotTimer(SenderSlot& slot) {
  mark(slot.traits().timer);
  SenderSlot::Connection& run = slot.connection();
  if (!anotherEncoderWaits()) {
    run.closing = false;  // a close that was waiting is no longer wanted
    return;
  }
  const std::int64_t nowMs = loop_.clock().monotonicMs();
  const std::uint64_t acked = slot.bytesAcknowledged();
  const bool inFlight = slot.client().pendingOutput() > 0 || acked < run.bytesSent;
  if (inFlight && !run.closing) {
    run.closing = true;
    run.closeWantedAtMs = nowMs;
    run.ackedWhenCloseWanted = acked;
    slot.restartIdleTimer();  // the drain's deadline
    return;
  }
  if (inFlight && nowMs - run.closeWantedAtMs < slot.traits().idleMs) return;
  run.deaf = inFlight && acked == run.ackedWhenCloseWanted;
  slot.close();
  slot.stopTimers();
  mark(Mark::End);
}

bool Dispatcher::anotherEncoderWaits() {
  return waitingUnserved() > 0;
}

// The listener's errors, its producers' and every slot's. Only an encoder's
// own connection names it, also when the error comes after its slot was
// freed; the listener and the producers' connections are nobody's encoder.
void Dispatcher::socketError(const SenderSlot* slot, int errorCode, const std::string& text) {
  mark(Mark::SocketError);
  std::string suffix;
  if (slot != nullptr && slot->index() < slotCount_) {
    const int encoder = slot->idle() ? slot->dialledEncoder() : slot->encoder();
    if (encoder >= 0) suffix = " (" + encoders_[static_cast<std::size_t>(encoder)].name + ")";
  }
  if (errorCode != net::kWsaENotSock) {
    log("Socket Error " + std::to_string(errorCode) + " - " + text + suffix);
  }
  mark(Mark::End);
  if (errorCode == net::kWsaENotSock) return;
  throw SilentAbort();
}

void Dispatcher::suspend(int encoder) {
  mark(Mark::Suspend);
  if (encoder < 0) return;
  Encoder& e = encoders_[static_cast<std::size_t>(encoder)];
  e.active = false;
  e.suspendedAt = now();
  resumeTimer_.wake();
  table_.setCell(kColEnabled, encoder + 1, "Suspended");
  mark(Mark::End);
}

void Dispatcher::resumeTick() {
  mark(Mark::ResumeTick);
  const TDateTime t = now();
  for (std::size_t i = 0; i < encoders_.size(); ++i) {
    Encoder& e = encoders_[i];
    if (e.enabled && !e.active && minutesBetween(t, e.suspendedAt) >= config_.suspendForMinutes) {
      e.active = true;
      e.errorsInRow = 0;
      table_.setCell(kColEnabled, static_cast<int>(i) + 1, "Yes");
      dispatchTimer_.wake();  // its queue may be waiting
    }
  }
  // Nobody resting: nothing to look at until the next suspension.
  bool anySuspended = false;
  for (const Encoder& e : encoders_) anySuspended = anySuspended || (e.enabled && !e.active);
  if (!anySuspended) resumeTimer_.rest();
  mark(Mark::End);
}

}  // namespace varnok
