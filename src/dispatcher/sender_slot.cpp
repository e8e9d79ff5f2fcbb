#include "dispatcher/sender_slot.h"

#include <algorithm>
#include <iterator>

#include "encoder/link.h"

namespace varnok {

SenderSlot::SenderSlot(EventLoop& loop, int index, SlotOwner& owner, DebugTrail& trail,
                       std::unique_ptr<EncoderLink> link)
    : index_(index),
      loop_(loop),
      owner_(owner),
      trail_(trail),
      link_(link ? std::move(link) : makeLink(loop, Transport::Tcp)),
      idleTimer_(loop),
      stayTimer_(loop),
      replyTimer_(loop) {
  idleTimer_.setInterval(traits().idleMs);
  stayTimer_.setInterval(traits().stayMs);
  idleTimer_.setOnTimer([this] { timer(); });
  stayTimer_.setOnTimer([this] { timer(); });
  replyTimer_.setOnTimer([this] { replyTimedOut(); });
  wireLink();
}

void SenderSlot::wireLink() {
  link_->mayDial = [this](const sockaddr_in& target) { return mayDial(target); };
  link_->onConnected = [this] { established(); };
  link_->onDisconnected = [this] { disconnected(); };
  link_->onWritten = [this] { written(); };
  link_->onError = [this](int code, const std::string& text) { error(code, text); };
  link_->onRead = [this](std::string_view bytes) { received(bytes); };
}

// A link of another kind is made afresh; canDial has made sure the old one
// is closed.
Result<> SenderSlot::dial(int encoder, const LinkTarget& target, const ReplyRules& rules,
                          const UecpRules& uecp) {
  if (link_->transport() != target.transport) {
    link_ = makeLink(loop_, target.transport);
    wireLink();
  }
  encoder_ = encoder;
  dialled_ = encoder;
  state_ = State::Dialling;
  commandWritten_ = closedByUs_ = deaf_ = false;
  rules_ = rules;
  uecp_ = uecp;
  awaiting_ = overlongLine_ = overlongTold_ = false;
  replyBuffer_.clear();
  return link_->open(target);
}

Result<> SenderSlot::send(const std::string& command) {
  if (Result<> sent = link_->send(command); !sent) return sent;
  if (confirming() && connected()) {
    awaiting_ = true;
    awaited_ = command;
    replyTimer_.setInterval(rules_.timeoutMs);
    replyTimer_.setEnabled(false);
    replyTimer_.setEnabled(true);
  }
  // What the link cannot pass on at once is written as it drains; the next
  // command waits until then.
  if (link_->pendingOutput() == 0) commandWritten_ = true;
  restartIdleTimer();
  return {};
}

// Unconfirmed, the frames go out one after another; confirmed, the first
// goes now and each acknowledgement sends the next.
Result<> SenderSlot::send(const std::string& command, std::vector<uecp::Bytes> elements) {
  if (!uecp_.on || elements.empty()) return Error{0, "no UECP elements to send"};
  const bool needsSetup = std::any_of(elements.begin(), elements.end(),
                                      [](const uecp::Bytes& e) { return uecp::isRtPlusData(e); });
  if (needsSetup && !rtPlusReady_) {
    elements.insert(elements.begin(), uecp::rtPlusSetupElement());
    rtPlusReady_ = true;
  }
  if (confirming()) {
    elementsLeft_.assign(std::make_move_iterator(elements.begin()),
                         std::make_move_iterator(elements.end()));
    const uecp::Bytes first = std::move(elementsLeft_.front());
    elementsLeft_.pop_front();
    if (Result<> sent = sendFrame(first); !sent) return sent;
    awaiting_ = true;
    awaited_ = command;
  } else {
    framesPerCommand_.push_back(elements.size());
    for (const uecp::Bytes& element : elements) {
      if (Result<> sent = sendFrame(element); !sent) return sent;
    }
  }
  if (link_->pendingOutput() == 0) commandWritten_ = true;
  restartIdleTimer();
  return {};
}

Result<> SenderSlot::sendFrame(const uecp::Bytes& element) {
  const std::uint8_t sequence = nextSequence();
  Result<uecp::Bytes> frame = uecp::frame(uecp_.address, sequence, element);
  if (!frame) return frame.error();
  const uecp::Bytes& bytes = frame.value();
  if (Result<> sent =
          link_->send(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
      !sent) {
    return sent;
  }
  if (confirming() && connected()) {
    outstanding_ = sequence;
    replyTimer_.setInterval(rules_.timeoutMs);
    replyTimer_.setEnabled(false);
    replyTimer_.setEnabled(true);
  }
  return {};
}

std::uint8_t SenderSlot::nextSequence() {
  sequence_ = static_cast<std::uint8_t>(sequence_ == 255 ? 1 : sequence_ + 1);
  return sequence_;
}

void SenderSlot::close() {
  closedByUs_ = true;
  link_->close();
}

void SenderSlot::renumber(const std::vector<int>& newIndexOf) {
  const auto mapped = [&](int old) {
    return old >= 0 && static_cast<std::size_t>(old) < newIndexOf.size()
               ? newIndexOf[static_cast<std::size_t>(old)]
               : kNone;
  };
  dialled_ = mapped(dialled_);
  if (idle()) return;
  encoder_ = mapped(encoder_);
  if (encoder_ != kNone) return;
  stopTimers();
  replyTimer_.setEnabled(false);
  awaiting_ = false;
  elementsLeft_.clear();
  framesPerCommand_.clear();
  release();
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
  std::size_t delivered = link_->settle();
  if (uecp_.on && !confirming()) delivered = commandsOfFrames(delivered);
  if (delivered > 0 && !confirming()) owner_.slotDelivered(*this, delivered);
}

std::size_t SenderSlot::commandsOfFrames(std::size_t frames) {
  framesSettled_ += frames;
  std::size_t commands = 0;
  while (!framesPerCommand_.empty() && framesSettled_ >= framesPerCommand_.front()) {
    framesSettled_ -= framesPerCommand_.front();
    framesPerCommand_.pop_front();
    ++commands;
  }
  return commands;
}

// Replies matter only from an encoder that confirms. Lines end at CR or LF;
// a line that matches neither text, and any line while no command awaits
// its reply (a second OK, a late one), confirms nothing.
void SenderSlot::received(std::string_view bytes) {
  if (!confirming() || !connected()) return;
  if (uecp_.on) {
    receivedFrames(bytes);
    return;
  }
  while (!bytes.empty()) {
    const std::size_t end = bytes.find_first_of("\r\n");
    const std::string_view part = bytes.substr(0, end);
    if (!overlongLine_) {
      if (replyBuffer_.size() + part.size() > kMaxReplyLine) {
        overlongLine_ = true;
        replyBuffer_.clear();
        if (!overlongTold_) {
          overlongTold_ = true;
          owner_.slotNote(
              *this, "Reply line of more than " + std::to_string(kMaxReplyLine) + " bytes ignored");
        }
      } else {
        replyBuffer_.append(part);
      }
    }
    if (end == std::string_view::npos) return;
    if (!overlongLine_ && !replyBuffer_.empty()) {
      const std::string line = std::move(replyBuffer_);
      replyBuffer_.clear();
      replyLine(line);
      if (!confirming() || !connected()) return;  // the line ended the connection
    }
    overlongLine_ = false;
    replyBuffer_.clear();
    bytes.remove_prefix(end + 1);
  }
}

void SenderSlot::replyLine(std::string_view line) {
  if (!awaiting_) return;
  if (line == rules_.ok) {
    awaiting_ = false;
    replyTimer_.setEnabled(false);
    owner_.slotDelivered(*this, 1);
  } else if (!rules_.error.empty() && line == rules_.error) {
    refuse("reply \"" + std::string(line) + "\"");
  }
}

// Frames from a UECP encoder: acknowledgements are matched by their
// sequence counter where they carry one, else taken for the frame
// outstanding. Anything else is noted, once per connection for each kind,
// and otherwise ignored.
void SenderSlot::receivedFrames(std::string_view bytes) {
  reader_.feed(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  while (std::optional<Result<uecp::Frame>> next = reader_.next()) {
    if (!*next) {
      noteOnce(UecpNote::BadFrame,
               "UECP frame from the encoder ignored - " + next->error().message);
      continue;
    }
    const uecp::Frame& frame = next->value();
    const Result<uecp::Acknowledgement> ack = uecp::parseAcknowledgement(frame.message);
    if (!ack) {
      const int mec = frame.message.empty() ? -1 : frame.message.front();
      noteOnce(UecpNote::OtherElement, "UECP message from the encoder ignored - element " +
                                           std::to_string(mec) + " is no acknowledgement");
      continue;
    }
    acknowledged(ack.value());
    if (!confirming() || !connected()) return;  // it ended the connection
  }
}

void SenderSlot::acknowledged(const uecp::Acknowledgement& ack) {
  if (!awaiting_ || (ack.sequence && *ack.sequence != outstanding_)) {
    noteOnce(UecpNote::StrayAck,
             "UECP acknowledgement ignored - " +
                 (ack.sequence ? "sequence " + std::to_string(*ack.sequence) + " is not awaited"
                               : std::string("no frame is awaited")));
    return;
  }
  if (ack.code != 0) {
    refuse("UECP acknowledgement " + std::to_string(ack.code) + " - " +
           std::string(uecp::ackMeaning(ack.code)));
    return;
  }
  if (!elementsLeft_.empty()) {
    const uecp::Bytes element = std::move(elementsLeft_.front());
    elementsLeft_.pop_front();
    (void)sendFrame(element);  // a failed send has ended the connection
    return;
  }
  awaiting_ = false;
  replyTimer_.setEnabled(false);
  owner_.slotDelivered(*this, 1);
}

void SenderSlot::noteOnce(UecpNote kind, const std::string& text) {
  const auto bit = static_cast<std::size_t>(kind);
  if (uecpTold_.test(bit)) return;
  uecpTold_.set(bit);
  owner_.slotNote(*this, text);
}

// The reply may still come, and would then confirm the next command: the
// connection is closed, and the next command goes out on a fresh one.
void SenderSlot::replyTimedOut() {
  replyTimer_.setEnabled(false);
  if (!awaiting_) return;
  refuse("no reply within " + std::to_string(rules_.timeoutMs) + " ms");
  if (connected()) close();
}

void SenderSlot::refuse(const std::string& why) {
  awaiting_ = false;
  elementsLeft_.clear();
  rtPlusReady_ = false;  // the setup may have been what was refused
  replyTimer_.setEnabled(false);
  if (!owner_.slotRefused(*this, awaited_, why) && connected()) close();
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
  sequence_ = 0;
  rtPlusReady_ = false;
  elementsLeft_.clear();
  reader_ = uecp::FrameReader();
  framesPerCommand_.clear();
  framesSettled_ = 0;
  uecpTold_.reset();
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
  ending.unreachable = link_->endedUnreachable();
  if (ending.wasConnected) {
    ending.commandsLost = commandsInFlight();
    ending.bytesLost = confirming() ? (awaiting_ ? awaited_.size() : 0) : link_->bytesInFlight();
  }
  awaiting_ = false;
  replyTimer_.setEnabled(false);
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
  // A command waiting for its reply has its own deadline.
  if (awaiting_) return;
  const std::int64_t nowMs = loop_.clock().monotonicMs();
  const std::uint64_t taken = link_->bytesTaken();
  const bool inFlight = link_->pendingOutput() > 0 || (!confirming() && link_->bytesInFlight() > 0);
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
