#include "status/password_checker.h"

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "status/users.h"

namespace varnok::status {

PasswordChecker::PasswordChecker(EventLoop& loop)
    : loop_(loop), wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!wake_) throw std::system_error(errno, std::generic_category(), "eventfd");
  if (!loop_.watch(wake_.get(), EPOLLIN, [this](std::uint32_t) { answersReady(); })) {
    throw std::system_error(errno, std::generic_category(), "watching the password checker");
  }
  worker_ = std::thread([this] { work(); });
}

PasswordChecker::~PasswordChecker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  jobReady_.notify_one();
  worker_.join();
  loop_.unwatch(wake_.get());
}

bool PasswordChecker::check(std::string hash, std::string password,
                            std::function<void(bool)> done) {
  if (waiting_.size() >= kMaxWaiting) return false;
  const std::int64_t nowMs = loop_.clock().monotonicMs();
  allowance_ = std::min<double>(kChecksPerSecond,
                                allowance_ + (nowMs - allowanceAtMs_) * kChecksPerSecond / 1000.0);
  allowanceAtMs_ = nowMs;
  if (allowance_ < 1) return false;
  allowance_ -= 1;
  const std::uint64_t id = ++nextId_;
  waiting_.emplace(id, std::move(done));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(Job{id, std::move(hash), std::move(password)});
  }
  jobReady_.notify_one();
  return true;
}

void PasswordChecker::work() {
  // The hashes yield to the event thread whenever both want a processor.
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      jobReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    const bool matches = job.hash.empty() ? (void)hashPassword(job.password),
               false                      : passwordMatches(job.hash, job.password);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      answers_.emplace_back(job.id, matches);
    }
    const std::uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof one);
  }
}

void PasswordChecker::answersReady() {
  std::uint64_t count = 0;
  (void)!::read(wake_.get(), &count, sizeof count);
  std::vector<std::pair<std::uint64_t, bool>> answers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    answers.swap(answers_);
  }
  for (const auto& [id, matches] : answers) {
    const auto found = waiting_.find(id);
    if (found == waiting_.end()) continue;
    std::function<void(bool)> done = std::move(found->second);
    waiting_.erase(found);
    if (done) done(matches);
  }
}

}  // namespace varnok::status
