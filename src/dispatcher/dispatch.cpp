// The dispatch cycle: one connection start or one send per tick.
#include "dispatcher/dispatcher.h"

namespace varnok {

void Dispatcher::dispatchTick() {
  mark(Mark::DispatchTick);
  for (SenderSlot& s : slots_) {
    if (!s.idle() && s.connected()) settleAcknowledged(s);
  }
  const int slot = idleSlot();
  if (slot >= 0 && waitingUnserved() >= 1) {
    const int encoder = longestWaiting(false);
    if (encoder != -1) serve(encoder, slot);
  } else {
    const int encoder = longestWaiting(true);
    if (encoder != -1) {
      for (const SenderSlot& s : senderSlots()) {
        if (s.encoder() == encoder) serve(encoder, s.index());
      }
    }
  }
  restIfIdle();
  mark(Mark::End);
}

// With no command waiting for an active encoder and every slot idle (so
// nothing in flight and no close pending) a tick has nothing to do: the
// timer rests, keeping its beat, until a command is queued or an encoder
// resumes.
void Dispatcher::restIfIdle() {
  for (const SenderSlot& s : senderSlots()) {
    if (!s.idle()) return;
  }
  for (std::size_t i = 0; i < encoders_.size(); ++i) {
    if (encoders_[i].active && !queues_.empty(static_cast<int>(i))) return;
  }
  dispatchTimer_.rest();
}

// An idle slot is bound to the encoder and dials it; a connected one gets the
// encoder's next command.
void Dispatcher::serve(int encoder, int slotIndex) {
  mark(Mark::Serve);
  SenderSlot& slot = slots_[static_cast<std::size_t>(slotIndex)];

  if (slot.idle()) {
    if (queues_.empty(encoder) || isServed(encoder, false)) return;
    const Encoder& e = encoders_[static_cast<std::size_t>(encoder)];
    const auto port = static_cast<std::uint16_t>(e.port & 0xFFFF);
    if (!slot.client().canChangeTarget(e.host, port)) {
      // The client is still busy with an earlier connection: close it and
      // let a later tick try again.
      slot.close();
      return;
    }
    slot.dial(encoder, e.host, port);
    return;
  }

  if (!slot.connected() || !slot.readyForNext()) return;
  const std::string command = takeNext(encoder);
  if (command.empty()) return;
  // What the socket cannot take at once is written as it drains; the next
  // command for this encoder waits until then.
  slot.send(command);
  if (slot.client().pendingOutput() == 0) commandWritten(slot);
  slot.restartIdleTimer();
  mark(Mark::End);
}

}  // namespace varnok
