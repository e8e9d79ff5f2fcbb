#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_loop.h"
#include "platform/unique_fd.h"

namespace varnok::status {

// Checks passwords against their hashes on a worker thread of its own, one
// at a time: a hash takes a good part of a second and 64 MiB, which the
// event thread must never wait for. The answers come back on the loop.
//
// Ownership: owns the thread (joined on destruction, after at most the
// hash under way) and the descriptor that wakes the loop; answers not yet
// delivered are dropped with it.
class PasswordChecker {
 public:
  // Checks waiting beyond this are refused rather than queued: a flood of
  // sign-ins waits in its own clients, not in our memory.
  static constexpr std::size_t kMaxWaiting = 8;
  // Checks begun per second, over every client (a burst of as many): a
  // flood of sign-ins takes at most this share of a processor from the
  // producers, whatever addresses it comes from.
  static constexpr int kChecksPerSecond = 4;

  explicit PasswordChecker(EventLoop& loop);
  ~PasswordChecker();
  PasswordChecker(const PasswordChecker&) = delete;
  PasswordChecker& operator=(const PasswordChecker&) = delete;

  // Queues a check; done(matches) runs later on the loop. An empty hash
  // matches nothing but costs as much. False (and done never runs) when
  // kMaxWaiting are waiting already or this second's checks are spent.
  bool check(std::string hash, std::string password, std::function<void(bool)> done);
  std::size_t waiting() const { return waiting_.size(); }

 private:
  struct Job {
    std::uint64_t id;
    std::string hash, password;
  };
  void work();
  void answersReady();

  EventLoop& loop_;
  UniqueFd wake_;                                               // an eventfd the worker bumps
  std::map<std::uint64_t, std::function<void(bool)>> waiting_;  // loop side
  std::uint64_t nextId_ = 0;
  double allowance_ = kChecksPerSecond;  // checks that may begin now
  std::int64_t allowanceAtMs_ = 0;       // monotonic
  std::mutex mutex_;                     // guards the fields below it
  std::condition_variable jobReady_;
  std::deque<Job> jobs_;
  std::vector<std::pair<std::uint64_t, bool>> answers_;
  bool stopping_ = false;
  std::thread worker_;  // last: started once the rest is there
};

}  // namespace varnok::status
