#include "dispatcher/sender_slot.h"

#include "encoder/tcp_link.h"

namespace varnok {

SenderSlot::SenderSlot(EventLoop& loop, int index, SlotOwner& owner, DebugTrail& trail,
                       std::unique_ptr<EncoderLink> link)
    : index_(index),
      loop_(loop),
      owner_(owner),
      trail_(trail),
      link_(link ? std::move(link) : std::make_unique<TcpLink>(loop)),
      idleTimer_(loop),
      stayTimer_(loop) {
  idleTimer_.setInterval(traits().idleMs);
  stayTimer_.setInterval(traits().stayMs);
  idleTimer_.setOnTimer([this] { timer(); });
  stayTimer_.setOnTimer([this] { timer(); });
  link_->mayDial = [this](const sockaddr_in& target) { return mayDial(target); };
  link_->onConnected = [this] { established(); };
  link_->onDisconnected = [this] { disconnected(); };
  link_->onWritten = [this] { written(); };
  link_->onError = [this](int code, const std::string& text) { error(code, text); };
}

Result<> SenderSlot::dial(int encoder, const std::string& host, std::uint16_t port) {
  encoder_ = encoder;
  dialled_ = encoder;
  state_ = State::Dialling;
  commandWritten_ = closedByUs_ = deaf_ = false;
  return link_->open(host, port);
}

Result<> SenderSlot::send(const std::string& command) {
  if (Result<> sent = link_->send(command); !sent) return sent;
  // What the link cannot pass on at once is written as it drains; the next
  // command waits until then.
  if (link_->pendingOutput() == 0) commandWritten_ = true;
  restartIdleTimer();
  return {};
}

void SenderSlot::close() {
  closedByUs_ = true;
  link_->close();
}

void SenderSlot::setInUse(bool inUse) {
  inUse_ = inUse;
  release();
}

// commandsInFlight and ErrorsInRow go by what the encoder has taken whole,
// not by what went into the connection: an encoder that takes connections
// and drops them, or takes commands and never reads them, must still add up.
void SenderSlot::settle() {
  if (!connected()) return;
  const std::size_t delivered = link_->settle();
  if (delivered > 0) owner_.slotDelivered(*this, delivered);
}

// Only a slot in use and bound has an encoder to report on; a link that
// connected on its own touches no encoder.
void SenderSlot::established() {
  mark(traits().connected);
  if (!inUse_ || idle()) {
    link_->close();
    mark(Mark::End);
    return;
  }
  state_ = State::Connected;
  commandWritten_ = closedByUs_ = deaf_ = false;
  takenAtLastLook_ = 0;
  stayTimer_.setEnabled(true);
  idleTimer_.setEnabled(true);
  owner_.slotConnected(*this);
  mark(Mark::End);
}

void SenderSlot::disconnected() {
  mark(traits().disconnected);
  stopTimers();
  if (!inUse_) return;
  if (idle()) {
    release();
    return;
  }
  // What the encoder took up to the close was delivered; the rest of what
  // was handed to the connection is lost.
  settle();
  SlotEnding ending;
  ending.encoder = encoder_;
  ending.wasConnected = connected();
  ending.commandWritten = commandWritten_;
  ending.closedByUs = closedByUs_;
  ending.deaf = deaf_;
  ending.localShortage = !ending.wasConnected && link_->failedForWantOfResources();
  if (ending.wasConnected) {
    ending.commandsLost = link_->commandsInFlight();
    ending.bytesLost = link_->bytesInFlight();
  }
  commandWritten_ = closedByUs_ = deaf_ = false;
  owner_.slotEnded(*this, ending);
  release();
  mark(Mark::End);
}

void SenderSlot::written() {
  if (inUse_ && connected()) commandWritten_ = true;
}

// Both timers come here. A connection is closed only to give its turn to an
// active encoder that has commands waiting and no slot; an encoder still
// reading what it was given keeps it while nobody waits. Once the close is
// wanted no further command is given, and what is in flight may drain for
// one idle interval at most.
void SenderSlot::timer() {
  mark(traits().timer);
  const std::int64_t nowMs = loop_.clock().monotonicMs();
  const std::uint64_t taken = link_->bytesTaken();
  const bool inFlight = link_->pendingOutput() > 0 || link_->bytesInFlight() > 0;
  if (!owner_.anotherEncoderWaits()) {
    endIfDeaf(nowMs, taken, inFlight);
    return;
  }
  if (inFlight && state_ != State::Draining) {
    state_ = State::Draining;
    closeWantedAtMs_ = nowMs;
    takenWhenCloseWanted_ = taken;
    restartIdleTimer();  // the drain's deadline
    return;
  }
  if (inFlight && nowMs - closeWantedAtMs_ < traits().idleMs) return;
  deaf_ = inFlight && taken == takenWhenCloseWanted_;
  close();
  stopTimers();
  mark(Mark::End);
}

// Nobody needs the slot, but an encoder that has taken nothing since the
// last look while commands are outstanding gets no further command; if it
// still takes nothing for one idle interval it is deaf: its connection is
// closed and counted as a failure, rather than keep what it was given "in
// flight" until the program ends. Any sign of life hands it commands again.
void SenderSlot::endIfDeaf(std::int64_t nowMs, std::uint64_t taken, bool inFlight) {
  const bool progressed = taken != takenAtLastLook_;
  takenAtLastLook_ = taken;
  if (!inFlight || (state_ == State::Draining && taken != takenWhenCloseWanted_)) {
    if (state_ == State::Draining) state_ = State::Connected;
    return;
  }
  if (state_ != State::Draining) {
    if (progressed) return;
    state_ = State::Draining;
    closeWantedAtMs_ = nowMs;
    takenWhenCloseWanted_ = taken;
    restartIdleTimer();  // the drain's deadline
    return;
  }
  if (nowMs - closeWantedAtMs_ < traits().idleMs) return;
  deaf_ = true;
  close();
  stopTimers();
  mark(Mark::End);
}

// Errors may come after the slot was freed: they are still the encoder's
// that was dialled last.
void SenderSlot::error(int code, const std::string& text) {
  const int encoder = inUse_ ? (idle() ? dialled_ : encoder_) : kNone;
  if (link_->failedForWantOfResources()) {
    owner_.dialShortage(encoder, code, text);
    return;
  }
  owner_.socketError(encoder, code, text);
}

// The slot lets go of the encoder first, so that a refused attempt ends as
// a plain disconnection and counts no error.
bool SenderSlot::mayDial(const sockaddr_in& target) {
  const int encoder = idle() ? dialled_ : encoder_;
  if (owner_.mayDial(encoder, target)) return true;
  release();
  return false;
}

void SenderSlot::release() {
  encoder_ = kNone;
  state_ = State::Idle;
}

void SenderSlot::stopTimers() {
  stayTimer_.setEnabled(false);
  idleTimer_.setEnabled(false);
}

void SenderSlot::restartIdleTimer() {
  idleTimer_.setEnabled(false);
  idleTimer_.setEnabled(true);
}

}  // namespace varnok
