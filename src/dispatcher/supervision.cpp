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
  const SenderSlot::Connection run = slot.connection();
  slot.connection() = SenderSlot::Connection{};
  const std::size_t lost = slot.connected() ? slot.client().bytesLostOnClose() : 0;
  if (run.commandUnwritten) ++counters_.failedSends;
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
  if (!slot.connected() || droppedEarly) {
    // The attempt failed before the connection was established.
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
  SenderSlot::Connection& run = slot.connection();
  run.commandWritten = true;
  if (run.commandUnwritten) ++counters_.delivered;  // once per command, however it drained
  run.commandUnwritten = false;
  encoders_[static_cast<std::size_t>(slot.encoder())].errorsInRow = 0;
}

void Dispatcher::slotTimer(SenderSlot& slot) {
  mark(slot.traits().timer);
  SenderSlot::Connection& run = slot.connection();
  if (activeCount() <= slotCount_) {
    run.closing = false;  // a close that was waiting is no longer wanted
    return;
  }
  // The abortive close would throw away what the encoder has not taken yet.
  // While it keeps taking, the close waits (and no further command is
  // given); an encoder that took nothing since the last tick is closed.
  const std::size_t inFlight = slot.client().outputInFlight();
  if (inFlight > 0 && (!run.closing || inFlight < run.lastInFlight)) {
    run.closing = true;
    run.lastInFlight = inFlight;
    return;
  }
  slot.close();
  slot.stopTimers();
  mark(Mark::End);
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
    }
  }
  mark(Mark::End);
}

}  // namespace varnok
