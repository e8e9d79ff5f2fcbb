#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace varnok {

// Where a queued command came from.
enum class CommandSource { Producer, HandOff, CommandFile, NowPlaying, Broker };

// How a command was given: its source, and a deadline of its own on the
// monotonic clock (0: none) after which it is dropped instead of sent,
// whatever the queue's own limit.
struct CommandOrigin {
  CommandSource source = CommandSource::Producer;
  std::int64_t deadlineMs = 0;
  // Its texts are in the RDS character set already (now playing renders
  // them so for an encoder that takes UECP), not UTF-8 to be converted.
  bool rdsText = false;
};

// What one producer connection has waiting in the queues, so that a
// producer that writes faster than the encoders take can be slowed down
// alone. Shared by the queued entries it put there and by whoever reads
// that producer. Every entry that carries a share counts toward the bound
// over all producers, whichever input gave it.
struct ProducerShare {
  std::int64_t waiting = 0;  // bytes of its entries still queued
  bool paused = false;       // its connection is not being read
};

// The key of a single-line "KEY=value" command (its text before "="), one
// line end allowed at its end; nothing for any other command, a chunk of
// several lines included.
std::optional<std::string_view> commandKey(std::string_view text);

struct QueuedCommand {
  std::string text;  // bytes, line end included when it has one
  // When it was queued, on the monotonic clock: its age and who has waited
  // longest do not change when the wall clock is set.
  std::int64_t queuedAtMs = 0;
  CommandOrigin origin;
  std::shared_ptr<ProducerShare> producer;  // the producer connection that sent it, if any
};

// What the queues ask of whoever reads the producers: when the bytes that
// all producers together have waiting pass the total bound (hold: read none
// of them), when they have fallen below half of it (release: read again
// every one that its own bound does not hold), and when one paused producer
// has fallen to half of its own bound while the others are read (readAgain).
// The notices are collected while an operation runs and delivered, in the
// order they arose, once its work is done: a notice may queue, take or drop
// entries again.
struct ProducerGate {
  std::function<void()> hold;
  std::function<void()> release;
  std::function<void(ProducerShare& share)> readAgain;
};

// One first-in first-out queue per encoder, and the accounting of what the
// producers have waiting: each producer connection against its own bound (a
// paused one is read again once half of it has been taken out of the
// queues), and all of them together against the total bound. Hand-off and
// command file entries carry no producer and count toward neither. Knows
// nothing of the log or the status table.
class CommandQueues {
 public:
  CommandQueues() = default;
  // Bounds in bytes; 0 or less: none. Throws std::bad_alloc when
  // encoderCount queues do not fit in memory.
  CommandQueues(std::size_t encoderCount, std::int64_t producerBoundBytes,
                std::int64_t totalBoundBytes = 0, ProducerGate gate = {})
      : queues_(encoderCount),
        producerBound_(producerBoundBytes),
        totalBound_(totalBoundBytes),
        gate_(std::move(gate)) {}

  std::size_t encoderCount() const { return queues_.size(); }
  const std::deque<QueuedCommand>& queue(int encoder) const {
    return queues_[static_cast<std::size_t>(encoder)];
  }
  std::size_t size(int encoder) const { return queue(encoder).size(); }
  bool empty(int encoder) const { return queue(encoder).empty(); }

  void push(int encoder, QueuedCommand entry);
  // Takes the encoder's oldest command whose own deadline has not passed at
  // now; "" when none. Entries past their deadline on the way are dropped and
  // counted in expired. origin, when given, gets the command's origin.
  std::string takeNext(int encoder, std::int64_t nowMs, std::uint64_t& expired,
                       CommandOrigin* origin = nullptr);
  // Drops from the heads of the queues the entries older than maxSeconds,
  // or past their own deadline; the number dropped.
  std::uint64_t expire(std::int64_t nowMs, std::int64_t maxSeconds);
  // Removes one encoder's entries of the given source, or those that which
  // picks, keeping the order of the rest; returns how many went.
  std::size_t removeWaiting(int encoder, CommandSource source);
  std::size_t removeWaiting(int encoder, const std::function<bool(const QueuedCommand&)>& which);
  // A new encoder table: queue i of the new one is the old queue
  // oldIndexOf[i] (kept whole, in order) or empty (-1). The old queues no
  // new one takes are dropped; what each dropped, by old index. Throws
  // std::bad_alloc before changing anything when memory runs out.
  std::vector<std::size_t> remap(const std::vector<int>& oldIndexOf);

  // What the producers' entries take, all queues together: their bytes and
  // each entry's own bookkeeping, so that the total bound holds for memory
  // also when the commands are short.
  std::int64_t producerBytes() const { return producerBytes_; }
  // From the moment producerBytes passed the total bound until it fell
  // below half of it: no producer is to be read.
  bool producersHeld() const { return held_; }

 private:
  static std::int64_t footprint(const QueuedCommand& entry) {
    return static_cast<std::int64_t>(entry.text.size() + sizeof(QueuedCommand));
  }
  // An entry leaves its queue: its producer's share shrinks.
  void release(const QueuedCommand& entry);
  static bool pastDeadline(const QueuedCommand& entry, std::int64_t nowMs) {
    return entry.origin.deadlineMs != 0 && nowMs > entry.origin.deadlineMs;
  }
  // Marks an operation under way, so that re-entry shows in a debug build.
  class Operation;
  struct Notice {
    enum class Kind { Hold, Release, ReadAgain } kind;
    std::shared_ptr<ProducerShare> share;  // for ReadAgain
  };
  // Hands the gate what the finished operation collected.
  void deliverNotices();

  std::vector<std::deque<QueuedCommand>> queues_;
  std::int64_t producerBound_ = 0;
  std::int64_t totalBound_ = 0;
  ProducerGate gate_;
  std::int64_t producerBytes_ = 0;
  bool held_ = false;
  std::vector<Notice> notices_;
  bool operating_ = false;
};

}  // namespace varnok
