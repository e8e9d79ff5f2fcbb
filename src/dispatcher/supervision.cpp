// What the sender slots report: connections that came up or ended, what the
// encoders took, socket errors; failure counting, suspension and
// resumption.
#include "dispatcher/dispatcher.h"

namespace varnok {

void Dispatcher::slotConnected(const SenderSlot& slot) {
  shortageLogged_ = false;
  table_.setCell(kColThread, slot.encoder() + 1, slot.traits().thread);
}

// ErrorsInRow goes back to 0 once the encoder has taken a whole command,
// not when the connection comes up nor when a command went into it.
void Dispatcher::slotDelivered(const SenderSlot& slot, std::size_t commands) {
  counters_.delivered += commands;
  encoders_[static_cast<std::size_t>(slot.encoder())].errorsInRow = 0;
}

void Dispatcher::slotEnded(const SenderSlot& /*slot*/, const SlotEnding& ending) {
  const int encoder = ending.encoder;
  Encoder& e = encoders_[static_cast<std::size_t>(encoder)];
  counters_.failedSends += ending.commandsLost;
  table_.setCell(kColThread, encoder + 1, "");
  // Our own shortage of descriptors is no fault of the encoder's: it is not
  // counted, and the next tick dials again.
  if (ending.localShortage) return;
  if (!ending.wasConnected) shortageLogged_ = false;  // this dial got under way
  // A connection that the encoder ended before a command could go out on it
  // is no better than a refused one.
  const bool droppedEarly = ending.wasConnected && !ending.commandWritten && !ending.closedByUs &&
                            (ending.bytesLost > 0 || !queues_.empty(encoder));
  if (droppedEarly) {
    log("Connection closed by the encoder before any command was sent (" + e.name + ")");
  }
  if (ending.bytesLost > 0) {
    log("Connection ended with " + std::to_string(ending.bytesLost) +
        " bytes of commands not delivered (" + e.name + ")");
  }
  // An encoder that took nothing for a whole drain period before we had to
  // close is no better either: it rests instead of swallowing a command
  // per turn.
  if (!ending.wasConnected || droppedEarly || ending.deaf || ending.unreachable) {
    countFailure(encoder);
  }
}

void Dispatcher::countFailure(int encoder) {
  Encoder& e = encoders_[static_cast<std::size_t>(encoder)];
  ++e.errors;
  ++e.errorsInRow;
  if (e.errorsInRow >= config_.errorLimit) suspend(encoder);
  table_.setCell(kColErrors, encoder + 1, std::to_string(e.errors));
}

// An encoder that refuses every command is as broken as one that refuses
// connections: each refusal counts toward ErrorLimit. The command is not
// tried again.
bool Dispatcher::slotRefused(const SenderSlot& slot, const std::string& command,
                             const std::string& why) {
  const int encoder = slot.encoder();
  Encoder& e = encoders_[static_cast<std::size_t>(encoder)];
  ++counters_.failedSends;
  ++e.refused;
  std::string shown = command;
  while (!shown.empty() && (shown.back() == '\r' || shown.back() == '\n')) shown.pop_back();
  if (shown.size() > 80) shown = shown.substr(0, 80) + "...";
  log("Command refused by the encoder - " + why + " (" + e.name + "): " + shown);
  countFailure(encoder);
  return e.active;
}

void Dispatcher::slotNote(const SenderSlot& slot, const std::string& text) {
  log(text + " (" + encoders_[static_cast<std::size_t>(slot.encoder())].name + ")");
}

bool Dispatcher::anotherEncoderWaits() {
  return waitingUnserved() > 0;
}

// The listener's errors, its producers' and every slot's. Only an encoder's
// own connection names it, also when the error comes after its slot was
// freed; the listener and the producers' connections are nobody's encoder.
void Dispatcher::socketError(int encoder, int errorCode, const std::string& text) {
  trail_.mark(Mark::SocketError);
  std::string suffix;
  const bool serial =
      encoder >= 0 && encoders_[static_cast<std::size_t>(encoder)].transport == Transport::Serial;
  if (encoder >= 0) suffix = " (" + encoders_[static_cast<std::size_t>(encoder)].name + ")";
  if (serial) {
    log("Serial Error " + std::to_string(errorCode) + " - " + text + " (" +
        encoders_[static_cast<std::size_t>(encoder)].device + ")" + suffix);
  } else if (errorCode != net::kWsaENotSock) {
    log("Socket Error " + std::to_string(errorCode) + " - " + text + suffix);
  }
  trail_.mark(Mark::End);
}

// Logged once per shortage, however many dials it fails meanwhile. The
// close of a link that got no socket says so first (kWsaENotSock): the
// shortage's own error follows it.
void Dispatcher::dialShortage(int encoder, int errorCode, const std::string& text) {
  if (shortageLogged_ || errorCode == net::kWsaENotSock) return;
  shortageLogged_ = true;
  socketError(encoder, errorCode, text);
  log("Dialling is short of this machine's own resources: no encoder is counted as failing "
      "for it, and each dial is tried again on the next tick");
}

void Dispatcher::suspend(int encoder) {
  trail_.mark(Mark::Suspend);
  if (encoder < 0) return;
  Encoder& e = encoders_[static_cast<std::size_t>(encoder)];
  e.active = false;
  e.suspendedAtMs = loop_.clock().monotonicMs();
  resumeTimer_.wake();
  table_.setCell(kColEnabled, encoder + 1, "Suspended");
  trail_.mark(Mark::End);
}

void Dispatcher::resumeTick() {
  trail_.mark(Mark::ResumeTick);
  const std::int64_t nowMs = loop_.clock().monotonicMs();
  for (std::size_t i = 0; i < encoders_.size(); ++i) {
    Encoder& e = encoders_[i];
    if (e.enabled && !e.active && (nowMs - e.suspendedAtMs) / 60000 >= config_.suspendForMinutes) {
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
  trail_.mark(Mark::End);
}

}  // namespace varnok
