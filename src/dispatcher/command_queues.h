#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "net/socket_base.h"
#include "platform/clock.h"

namespace varnok {

// Where a queued command came from.
enum class CommandSource { Producer, HandOff, CommandFile, NowPlaying, Broker };

// How a command was given: its source, and a deadline of its own (0: none)
// after which it is dropped instead of sent, whatever the queue's own limit.
struct CommandOrigin {
  CommandSource source = CommandSource::Producer;
  TDateTime deadline = 0;
};

// What one producer connection has waiting in the queues, so that a
// producer that writes faster than the encoders take can be slowed down
// alone. Shared by the queued entries it put there.
struct ProducerShare {
  std::int64_t waiting = 0;  // bytes of its entries still queued
  bool paused = false;       // its connection is not being read
  std::weak_ptr<net::SocketBase* const> connection;
};

struct QueuedCommand {
  std::string text;  // bytes, line end included when it has one
  TDateTime queuedAt = 0;
  CommandOrigin origin;
  std::shared_ptr<ProducerShare> producer;  // the producer connection that sent it, if any
};

// One first-in first-out queue per encoder, and the accounting of what each
// producer connection has waiting: a paused producer is read again once half
// of its bound has been taken out of the queues. Knows nothing of the log or
// the status table.
class CommandQueues {
 public:
  CommandQueues() = default;
  // Throws std::bad_alloc when encoderCount queues do not fit in memory.
  CommandQueues(std::size_t encoderCount, std::int64_t producerBoundBytes)
      : queues_(encoderCount), producerBound_(producerBoundBytes) {}

  std::size_t encoderCount() const { return queues_.size(); }
  const std::deque<QueuedCommand>& queue(int encoder) const {
    return queues_[static_cast<std::size_t>(encoder)];
  }
  std::size_t size(int encoder) const { return queue(encoder).size(); }
  bool empty(int encoder) const { return queue(encoder).empty(); }

  void push(int encoder, QueuedCommand entry);
  // Takes the encoder's oldest command whose own deadline has not passed at
  // now; "" when none. Entries past their deadline on the way are dropped and
  // counted in expired.
  std::string takeNext(int encoder, TDateTime now, std::uint64_t& expired);
  // Drops from the heads of the queues the entries older than maxSeconds,
  // or past their own deadline; the number dropped.
  std::uint64_t expire(TDateTime now, std::int64_t maxSeconds);

 private:
  // An entry leaves its queue: its producer's share shrinks.
  void release(const QueuedCommand& entry);
  static bool pastDeadline(const QueuedCommand& entry, TDateTime now) {
    return entry.origin.deadline != 0 && now > entry.origin.deadline;
  }

  std::vector<std::deque<QueuedCommand>> queues_;
  std::int64_t producerBound_ = 0;
};

}  // namespace varnok
