#include "dispatcher/command_queues.h"

namespace varnok {

void CommandQueues::push(int encoder, QueuedCommand entry) {
  // Counted once the entry is in: a push that throws changes nothing.
  ProducerShare* const share = entry.producer.get();
  const auto bytes = static_cast<std::int64_t>(entry.text.size());
  const std::int64_t taken = footprint(entry);
  queues_[static_cast<std::size_t>(encoder)].push_back(std::move(entry));
  if (share == nullptr) return;
  share->waiting += bytes;
  producerBytes_ += taken;
  if (held_ || totalBound_ <= 0 || producerBytes_ <= totalBound_) return;
  held_ = true;
  if (gate_.hold) gate_.hold();
}

std::string CommandQueues::takeNext(int encoder, TDateTime now, std::uint64_t& expired) {
  if (encoder < 0 || encoder >= static_cast<int>(queues_.size())) return {};
  auto& queue = queues_[static_cast<std::size_t>(encoder)];
  while (!queue.empty()) {
    QueuedCommand entry = std::move(queue.front());
    queue.pop_front();
    release(entry);
    if (!pastDeadline(entry, now)) return std::move(entry.text);
    ++expired;
  }
  return {};
}

std::uint64_t CommandQueues::expire(TDateTime now, std::int64_t maxSeconds) {
  std::uint64_t dropped = 0;
  for (auto& queue : queues_) {
    // Only heads are removed, so the pass ends at the first entry that stays.
    while (!queue.empty() && (secondsBetween(now, queue.front().queuedAt) > maxSeconds ||
                              pastDeadline(queue.front(), now))) {
      release(queue.front());
      queue.pop_front();
      ++dropped;
    }
  }
  return dropped;
}

std::size_t CommandQueues::removeWaiting(int encoder, CommandSource source) {
  if (encoder < 0 || encoder >= static_cast<int>(queues_.size())) return 0;
  auto& queue = queues_[static_cast<std::size_t>(encoder)];
  return std::erase_if(queue, [&](const QueuedCommand& entry) {
    if (entry.origin.source != source) return false;
    release(entry);
    return true;
  });
}

void CommandQueues::release(const QueuedCommand& entry) {
  ProducerShare* share = entry.producer.get();
  if (share == nullptr) return;
  share->waiting -= static_cast<std::int64_t>(entry.text.size());
  producerBytes_ -= footprint(entry);
  // Read again once half of the bound has been taken, not at every entry;
  // while all producers are held, the gate's release reads it again.
  if (share->paused && share->waiting <= producerBound_ / 2) {
    share->paused = false;
    const auto connection = share->connection.lock();
    if (connection && !held_) (*connection)->setReadPaused(false);
  }
  if (!held_ || producerBytes_ * 2 >= totalBound_) return;
  held_ = false;
  if (gate_.release) gate_.release();
}

}  // namespace varnok
