// The dispatcher's side of the queues: what goes in, what comes out, which
// encoder waits longest, and the status table's "Queue" column.
#include "dispatcher/dispatcher.h"
#include "platform/ini_file.h"

namespace varnok {

void Dispatcher::refreshQueueColumn(int encoder) {
  table_.setCell(kColQueue, encoder + 1, std::to_string(queues_.size(encoder)));
}

void Dispatcher::refreshQueueColumns() {
  for (std::size_t i = 0; i < queues_.encoderCount(); ++i) refreshQueueColumn(static_cast<int>(i));
}

void Dispatcher::queueCommand(const std::string& command, const Destination& to,
                              const CommandOrigin& origin) {
  enqueue(command, to, origin, nullptr);
}

void Dispatcher::enqueue(const std::string& command, const Destination& to,
                         const CommandOrigin& origin,
                         const std::shared_ptr<ProducerShare>& producer) {
  mark(Mark::Enqueue);
  if (command.empty()) return;
  const std::string target = upperAscii(to.name);
  for (std::int32_t pass = 0; pass <= config_.repeat; ++pass) {
    for (std::size_t i = 0; i < encoders_.size(); ++i) {
      const Encoder& e = encoders_[i];
      if (!e.enabled) continue;
      if (to.encoder >= 0 && to.encoder != static_cast<int>(i)) continue;
      if (!to.name.empty() && upperAscii(e.name) != target) continue;
      queues_.push(static_cast<int>(i), QueuedCommand{command, now(), origin, producer});
      ++counters_.queued;
    }
  }
  mark(Mark::Enqueued);
  dispatchTimer_.wake();
  expiryTimer_.wake();
  refreshQueueColumns();
  mark(Mark::End);
}

std::size_t Dispatcher::dropWaiting(int encoder, CommandSource source) {
  if (encoder < 0 || encoder >= static_cast<int>(queues_.encoderCount())) return 0;
  const std::size_t dropped = queues_.removeWaiting(encoder, source);
  counters_.replaced += dropped;
  if (dropped != 0) refreshQueueColumn(encoder);
  return dropped;
}

std::string Dispatcher::takeNext(int encoder) {
  mark(Mark::Take);
  if (encoder < 0 || encoder >= static_cast<int>(queues_.encoderCount()) ||
      queues_.empty(encoder)) {
    return {};
  }
  std::string command = queues_.takeNext(encoder, now(), counters_.expired);
  mark(Mark::Taken);
  refreshQueueColumn(encoder);
  mark(Mark::End);
  return command;
}

bool Dispatcher::isServed(int encoder, bool connectedRequired) {
  mark(Mark::IsServed);
  if (encoder < 0) return false;
  bool served = false;
  for (const SenderSlot& slot : senderSlots()) {
    if (slot.encoder() == encoder && (!connectedRequired || slot.connected())) served = true;
  }
  mark(Mark::End);
  return served;
}

int Dispatcher::waitingUnserved() {
  mark(Mark::WaitingUnserved);
  int count = 0;
  for (std::size_t i = 0; i < encoders_.size(); ++i) {
    const int e = static_cast<int>(i);
    if (encoders_[i].active && !isServed(e, false) && !queues_.empty(e)) ++count;
  }
  mark(Mark::End);
  return count;
}

int Dispatcher::longestWaiting(bool servedOnly) {
  mark(Mark::LongestWaiting);
  if (waitingUnserved() <= 0) servedOnly = true;
  int choice = -1;
  bool haveBound = false;
  TDateTime bound = 0;
  for (std::size_t i = 0; i < encoders_.size(); ++i) {
    const auto& queue = queues_.queue(static_cast<int>(i));
    if (queue.empty() || !encoders_[i].active) continue;
    if (haveBound && !(queue.front().queuedAt < bound)) continue;
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
    bound = queue.front().queuedAt;
    haveBound = true;
  }
  mark(Mark::End);
  return choice;
}

int Dispatcher::activeCount() {
  mark(Mark::ActiveCount);
  int count = 0;
  for (const Encoder& e : encoders_) count += e.active ? 1 : 0;
  mark(Mark::End);
  return count;
}

// The last idle slot, when several are.
int Dispatcher::idleSlot() {
  mark(Mark::IdleSlot);
  int idle = -1;
  for (const SenderSlot& slot : senderSlots()) {
    if (slot.idle()) idle = slot.index();
  }
  mark(Mark::End);
  return idle;
}

void Dispatcher::expiryTick() {
  mark(Mark::ExpiryTick);
  counters_.expired += queues_.expire(now(), config_.maxSecondsInQueue);
  refreshQueueColumns();
  bool empty = true;
  for (std::size_t i = 0; i < queues_.encoderCount(); ++i)
    empty = empty && queues_.empty(static_cast<int>(i));
  if (empty) expiryTimer_.rest();  // until the next command is queued
  mark(Mark::End);
}

}  // namespace varnok
