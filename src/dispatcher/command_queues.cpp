#include "dispatcher/command_queues.h"

#include <cassert>
#include <utility>

namespace varnok {

// No outside code runs while an operation changes the queues: the gate's
// notices wait until it is done. Entering one from inside another would mean
// that rule was broken somewhere.
class CommandQueues::Operation {
 public:
  explicit Operation(CommandQueues& queues) : queues_(queues) {
    assert(!queues_.operating_ && "a queue operation ran inside another");
    queues_.operating_ = true;
  }
  ~Operation() { queues_.operating_ = false; }
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

 private:
  CommandQueues& queues_;
};

void CommandQueues::push(int encoder, QueuedCommand entry) {
  {
    Operation op(*this);
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
    notices_.push_back({Notice::Kind::Hold, nullptr});
  }
  deliverNotices();
}

std::string CommandQueues::takeNext(int encoder, std::int64_t nowMs, std::uint64_t& expired,
                                    CommandOrigin* origin) {
  if (encoder < 0 || encoder >= static_cast<int>(queues_.size())) return {};
  std::string text;
  {
    Operation op(*this);
    auto& queue = queues_[static_cast<std::size_t>(encoder)];
    while (!queue.empty()) {
      QueuedCommand entry = std::move(queue.front());
      queue.pop_front();
      release(entry);
      if (!pastDeadline(entry, nowMs)) {
        text = std::move(entry.text);
        if (origin) *origin = entry.origin;
        break;
      }
      ++expired;
    }
  }
  deliverNotices();
  return text;
}

std::uint64_t CommandQueues::expire(std::int64_t nowMs, std::int64_t maxSeconds) {
  std::uint64_t dropped = 0;
  {
    Operation op(*this);
    for (auto& queue : queues_) {
      // Only heads are removed, so the pass ends at the first entry that stays.
      // Whole seconds of age: maxSeconds of them stay, one more goes.
      while (!queue.empty() && ((nowMs - queue.front().queuedAtMs) / 1000 > maxSeconds ||
                                pastDeadline(queue.front(), nowMs))) {
        release(queue.front());
        queue.pop_front();
        ++dropped;
      }
    }
  }
  deliverNotices();
  return dropped;
}

std::optional<std::string_view> commandKey(std::string_view text) {
  if (text.ends_with("\r\n")) {
    text.remove_suffix(2);
  } else if (text.ends_with('\r') || text.ends_with('\n')) {
    text.remove_suffix(1);
  }
  if (text.find_first_of("\r\n") != std::string_view::npos) return std::nullopt;
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos || equals == 0) return std::nullopt;
  return text.substr(0, equals);
}

std::size_t CommandQueues::removeWaiting(int encoder, CommandSource source) {
  return removeWaiting(
      encoder, [source](const QueuedCommand& entry) { return entry.origin.source == source; });
}

std::size_t CommandQueues::removeWaiting(int encoder,
                                         const std::function<bool(const QueuedCommand&)>& which) {
  if (encoder < 0 || encoder >= static_cast<int>(queues_.size())) return 0;
  std::size_t removed = 0;
  {
    Operation op(*this);
    auto& queue = queues_[static_cast<std::size_t>(encoder)];
    removed = std::erase_if(queue, [&](const QueuedCommand& entry) {
      if (!which(entry)) return false;
      release(entry);
      return true;
    });
  }
  deliverNotices();
  return removed;
}

std::vector<std::size_t> CommandQueues::remap(const std::vector<int>& oldIndexOf) {
  std::vector<std::deque<QueuedCommand>> next(oldIndexOf.size());
  std::vector<std::size_t> dropped(queues_.size(), 0);
  {
    Operation op(*this);
    std::vector<bool> taken(queues_.size(), false);
    for (std::size_t i = 0; i < oldIndexOf.size(); ++i) {
      const int old = oldIndexOf[i];
      if (old < 0 || static_cast<std::size_t>(old) >= queues_.size() ||
          taken[static_cast<std::size_t>(old)]) {
        continue;
      }
      taken[static_cast<std::size_t>(old)] = true;
      next[i].swap(queues_[static_cast<std::size_t>(old)]);
    }
    for (std::size_t old = 0; old < queues_.size(); ++old) {
      if (taken[old]) continue;
      dropped[old] = queues_[old].size();
      for (const QueuedCommand& entry : queues_[old]) release(entry);
    }
    queues_.swap(next);
  }
  deliverNotices();
  return dropped;
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
    if (!held_) notices_.push_back({Notice::Kind::ReadAgain, entry.producer});
  }
  if (!held_ || producerBytes_ * 2 >= totalBound_) return;
  held_ = false;
  notices_.push_back({Notice::Kind::Release, nullptr});
}

void CommandQueues::deliverNotices() {
  if (notices_.empty()) return;
  // A notice may start another operation, which collects and delivers its
  // own: this list is ours alone.
  std::vector<Notice> due;
  due.swap(notices_);
  for (Notice& notice : due) {
    switch (notice.kind) {
      case Notice::Kind::Hold:
        if (gate_.hold) gate_.hold();
        break;
      case Notice::Kind::Release:
        if (gate_.release) gate_.release();
        break;
      case Notice::Kind::ReadAgain:
        if (gate_.readAgain) gate_.readAgain(*notice.share);
        break;
    }
  }
}

}  // namespace varnok
