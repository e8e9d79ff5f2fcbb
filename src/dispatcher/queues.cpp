// The dispatcher's side of the queues: what goes in, what comes out, which
// encoder waits longest, and the status table's "Queue" column.
#include <algorithm>

#include "dispatcher/dispatcher.h"
#include "platform/ini_file.h"

namespace varnok {

void Dispatcher::refreshQueueColumn(int encoder) {
  for (std::size_t i = 0; i < queues_.encoderCount(); ++i) {
    const int e = static_cast<int>(i);
    if (encoder < 0 || e == encoder)
      table_.setCell(kColQueue, e + 1, std::to_string(queues_.size(e)));
  }
}

void Dispatcher::queueCommand(const std::string& command, const Destination& to,
                              const CommandOrigin& origin) {
  enqueue(command, to, origin, nullptr);
}

void Dispatcher::enqueue(const std::string& command, const Destination& to,
                         const CommandOrigin& origin,
                         const std::shared_ptr<ProducerShare>& producer) {
  trail_.mark(Mark::Enqueue);
  if (command.empty()) return;
  const std::string target = upperAscii(to.name);
  const auto isFor = [&](std::size_t i) {
    const Encoder& e = encoders_[i];
    if (!e.enabled) return false;
    if (to.encoder >= 0 && to.encoder != static_cast<int>(i)) return false;
    return to.name.empty() || upperAscii(e.name) == target;
  };
  // A newer command of a key the encoder replaces makes the waiting ones of
  // that key pointless (what an encoder should show after an outage is the
  // latest text, not every one it missed). Only what waits goes, and only
  // once, before this command's own copies are queued.
  if (const std::optional<std::string_view> key = commandKey(command)) {
    for (std::size_t i = 0; i < encoders_.size(); ++i) {
      const std::vector<std::string>& keys = encoders_[i].replaceWaiting;
      if (!isFor(i) || std::find(keys.begin(), keys.end(), *key) == keys.end()) continue;
      counters_.replaced += queues_.removeWaiting(
          static_cast<int>(i),
          [&key](const QueuedCommand& entry) { return commandKey(entry.text) == key; });
    }
  }
  for (std::int32_t pass = 0; pass <= config_.repeat; ++pass) {
    for (std::size_t i = 0; i < encoders_.size(); ++i) {
      if (!isFor(i)) continue;
      queues_.push(static_cast<int>(i),
                   QueuedCommand{command, loop_.clock().monotonicMs(), origin, producer});
      ++counters_.queued;
    }
  }
  trail_.mark(Mark::Enqueued);
  dispatchTimer_.wake();
  expiryTimer_.wake();
  refreshQueueColumn(-1);
  trail_.mark(Mark::End);
}

void Dispatcher::queueProducedCommand(const std::string& command, const Destination& to,
                                      const CommandOrigin& origin) {
  if (origin.source == CommandSource::Broker) ++counters_.receivedBroker;
  enqueue(command, to, origin, intake_.otherInputsShare());
}

void Dispatcher::producerCommand(const std::string& command,
                                 const std::shared_ptr<ProducerShare>& share) {
  enqueue(command, {}, {CommandSource::Producer, 0}, share);
}

std::size_t Dispatcher::dropWaiting(int encoder, CommandSource source) {
  if (encoder < 0 || encoder >= static_cast<int>(queues_.encoderCount())) return 0;
  const std::size_t dropped = queues_.removeWaiting(encoder, source);
  counters_.replaced += dropped;
  if (dropped != 0) refreshQueueColumn(encoder);
  return dropped;
}

std::string Dispatcher::takeNext(int encoder, CommandOrigin* origin) {
  trail_.mark(Mark::Take);
  if (encoder < 0 || encoder >= static_cast<int>(queues_.encoderCount()) ||
      queues_.empty(encoder)) {
    return {};
  }
  std::string command =
      queues_.takeNext(encoder, loop_.clock().monotonicMs(), counters_.expired, origin);
  trail_.mark(Mark::Taken);
  refreshQueueColumn(encoder);
  trail_.mark(Mark::End);
  return command;
}

bool Dispatcher::isServed(int encoder, bool connectedRequired) {
  trail_.mark(Mark::IsServed);
  if (encoder < 0) return false;
  bool served = false;
  for (const SenderSlot& slot : senderSlots()) {
    if (slot.encoder() == encoder && (!connectedRequired || slot.connected())) served = true;
  }
  trail_.mark(Mark::End);
  return served;
}

int Dispatcher::waitingUnserved() {
  trail_.mark(Mark::WaitingUnserved);
  int count = 0;
  for (std::size_t i = 0; i < encoders_.size(); ++i) {
    const int e = static_cast<int>(i);
    if (encoders_[i].active && !isServed(e, false) && !queues_.empty(e)) ++count;
  }
  trail_.mark(Mark::End);
  return count;
}

int Dispatcher::longestWaiting(bool servedOnly) {
  trail_.mark(Mark::LongestWaiting);
  if (waitingUnserved() <= 0) servedOnly = true;
  int choice = -1;
  bool haveBound = false;
  std::int64_t bound = 0;
  for (std::size_t i = 0; i < encoders_.size(); ++i) {
    const auto& queue = queues_.queue(static_cast<int>(i));
    if (queue.empty() || !encoders_[i].active) continue;
    if (haveBound && !(queue.front().queuedAtMs < bound)) continue;
    bool linked = false;
    bool boundToSlot = false;
    for (const SenderSlot& slot : senderSlots()) {
      if (slot.encoder() != static_cast<int>(i)) continue;
      boundToSlot = true;
      // A connection still writing its last command is not ready for the
      // next; the others are served meanwhile.
      if (slot.connected() && slot.readyForNext()) linked = true;
    }
    if (servedOnly ? !linked : boundToSlot) continue;
    choice = static_cast<int>(i);
    bound = queue.front().queuedAtMs;
    haveBound = true;
  }
  trail_.mark(Mark::End);
  return choice;
}

// The last idle slot, when several are.
int Dispatcher::idleSlot() {
  trail_.mark(Mark::IdleSlot);
  int idle = -1;
  for (const SenderSlot& slot : senderSlots()) {
    if (slot.idle()) idle = slot.index();
  }
  trail_.mark(Mark::End);
  return idle;
}

void Dispatcher::expiryTick() {
  trail_.mark(Mark::ExpiryTick);
  counters_.expired += queues_.expire(loop_.clock().monotonicMs(), config_.maxSecondsInQueue);
  refreshQueueColumn(-1);
  bool empty = true;
  for (std::size_t i = 0; i < queues_.encoderCount(); ++i)
    empty = empty && queues_.empty(static_cast<int>(i));
  if (empty) expiryTimer_.rest();  // until the next command is queued
  trail_.mark(Mark::End);
}

}  // namespace varnok
