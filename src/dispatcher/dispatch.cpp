// The dispatch cycle: one connection start or one send per tick.
#include "dispatcher/dispatcher.h"
#include "platform/ascii_text.h"

namespace varnok {

// A failure reported on the way (a dial or a send that failed at once) ends
// the tick where it happened.
void Dispatcher::dispatchTick() {
  trail_.mark(Mark::DispatchTick);
  for (SenderSlot& s : slots_) {
    if (!s.idle()) s.settle();
  }
  const int slot = idleSlot();
  if (slot >= 0 && waitingUnserved() >= 1) {
    const int encoder = longestWaiting(false);
    if (encoder != -1 && !serve(encoder, slot)) return;
  } else {
    const int encoder = longestWaiting(true);
    if (encoder != -1) {
      for (const SenderSlot& s : senderSlots()) {
        if (s.encoder() == encoder && !serve(encoder, s.index())) return;
      }
    }
  }
  // With no command waiting for an active encoder and every slot idle (so
  // nothing in flight and no close pending) a tick has nothing to do: the
  // timer rests, keeping its beat, until a command is queued or an encoder
  // resumes.
  bool resting = true;
  for (const SenderSlot& s : senderSlots()) resting = resting && s.idle();
  for (std::size_t i = 0; i < encoders_.size() && resting; ++i) {
    if (encoders_[i].active && !queues_.empty(static_cast<int>(i))) resting = false;
  }
  if (resting) dispatchTimer_.rest();
  trail_.mark(Mark::End);
}

LinkTarget linkTargetOf(const Encoder& e) {
  LinkTarget t;
  t.transport = e.transport;
  t.host = e.host;
  t.port = static_cast<std::uint16_t>(e.port & 0xFFFF);
  t.device = e.device;
  t.baud = e.baud;
  t.rtsCts = e.rtsCts;
  t.maxDatagram = static_cast<std::size_t>(e.maxDatagram);
  return t;
}

Result<> Dispatcher::serve(int encoder, int slotIndex) {
  trail_.mark(Mark::Serve);
  SenderSlot& slot = slots_[static_cast<std::size_t>(slotIndex)];

  if (slot.idle()) {
    if (queues_.empty(encoder) || isServed(encoder, false)) return {};
    const Encoder& e = encoders_[static_cast<std::size_t>(encoder)];
    const LinkTarget target = linkTargetOf(e);
    if (!slot.canDial(target)) {
      // The slot's link is still busy with an earlier connection: close it
      // and let a later tick try again.
      slot.close();
      return {};
    }
    const UecpRules uecp{e.protocol == Protocol::Uecp, e.uecpAddress, e.confirmUecp};
    return slot.dial(encoder, target, ReplyRules{e.replyOk, e.replyError, e.replyTimeoutMs}, uecp);
  }

  if (!slot.connected() || !slot.readyForNext()) return {};
  CommandOrigin origin;
  const std::string command = takeNext(encoder, &origin);
  if (command.empty()) return {};
  const Encoder& e = encoders_[static_cast<std::size_t>(encoder)];
  if (slot.speaksUecp()) {
    std::vector<uecp::Bytes> elements = uecpElements(encoder, command, origin.rdsText);
    if (elements.empty()) return {};
    if (Result<> sent = slot.send(command, std::move(elements)); !sent) return sent;
    noteOnAir(encoder, command);
    trail_.mark(Mark::End);
    return {};
  }
  // A datagram carries a command whole or not at all.
  if (e.transport == Transport::Udp && command.size() > static_cast<std::size_t>(e.maxDatagram)) {
    ++counters_.failedSends;
    log("Command refused - " + std::to_string(command.size()) +
        " bytes, more than MaxDatagram=" + std::to_string(e.maxDatagram) + " (" + e.name + ")");
    return {};
  }
  if (Result<> sent = slot.send(command); !sent) return sent;
  noteOnAir(encoder, command);
  trail_.mark(Mark::End);
  return {};
}

void Dispatcher::noteOnAir(int encoder, std::string_view command) {
  Encoder& e = encoders_[static_cast<std::size_t>(encoder)];
  while (!command.empty()) {
    const std::size_t end = command.find_first_of("\r\n");
    const std::string_view line = command.substr(0, end);
    command.remove_prefix(end == std::string_view::npos ? command.size() : end + 1);
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string key = upperAscii(line.substr(0, equals));
    const std::string_view value = line.substr(equals + 1);
    if (key == "PS") e.lastPs = value;
    if (key == "RT" || key == "RT1" || key == "RT2" || key == "TEXT") e.lastRt = value;
  }
}

}  // namespace varnok
