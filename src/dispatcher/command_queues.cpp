#include "dispatcher/command_queues.h"

namespace varnok {

void CommandQueues::push(int encoder, QueuedCommand entry) {
  if (entry.producer) entry.producer->waiting += static_cast<std::int64_t>(entry.text.size());
  queues_[static_cast<std::size_t>(encoder)].push_back(std::move(entry));
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

void CommandQueues::release(const QueuedCommand& entry) {
  ProducerShare* share = entry.producer.get();
  if (share == nullptr) return;
  share->waiting -= static_cast<std::int64_t>(entry.text.size());
  // Read again once half of the bound has been taken, not at every entry.
  if (!share->paused || share->waiting > producerBound_ / 2) return;
  share->paused = false;
  if (const auto connection = share->connection.lock()) (*connection)->setReadPaused(false);
}

}  // namespace varnok
