#include "platform/event_loop.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace varnok {

EventLoop::EventLoop(Clock& clock, Application& app) : clock_(clock), app_(app) {
  epfd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epfd_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
  retired_.reserve(4);  // a handler that drops its own watch costs no allocation
}

EventLoop::~EventLoop() {
  for (auto& [key, timer] : due_) timer->scheduled_ = false;
  ::close(epfd_);
}

bool EventLoop::watch(int fd, std::uint32_t events, IoHandler handler) {
  auto found = byFd_.find(fd);
  if (found != byFd_.end()) {
    if (!modify(fd, events)) return false;
    const std::uint64_t id = found->second;
    auto record = watches_.find(id);
    if (record->second.running == 0) {
      record->second.handler = std::move(handler);
      return true;
    }
    // Replaced from inside its own callback: the running handler keeps its
    // record until it returns; the new one takes the same id, so readiness
    // already collected for fd in this round goes to it.
    retire(record);
    watches_.emplace(id, Watch{fd, std::move(handler)});
    return true;
  }
  const std::uint64_t id = nextWatchId_++;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = id;
  if (epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
  watches_.emplace(id, Watch{fd, std::move(handler)});
  byFd_[fd] = id;
  return true;
}

bool EventLoop::modify(int fd, std::uint32_t events) {
  auto found = byFd_.find(fd);
  if (found == byFd_.end()) return false;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = found->second;
  return epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void EventLoop::unwatch(int fd) {
  auto found = byFd_.find(fd);
  if (found == byFd_.end()) return;
  epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
  // Readiness already collected for this watch carries its id, which is now
  // gone, so pollIo skips it; a new watch of a reused fd gets a new id.
  retire(watches_.find(found->second));
  byFd_.erase(found);
}

void EventLoop::retire(Watches::iterator found) {
  if (found->second.running == 0) {
    watches_.erase(found);
    return;
  }
  retired_.push_back(watches_.extract(found));
}

void EventLoop::freeRetired() {
  std::erase_if(retired_,
                [](const Watches::node_type& node) { return node.mapped().running == 0; });
}

void EventLoop::post(std::function<void()> fn) {
  posted_.push_back(std::move(fn));
}

void EventLoop::run() {
  while (!quit_) runOnce(-1);
}

std::int64_t EventLoop::msUntilNextTimer() const {
  if (due_.empty()) return -1;
  return std::max<std::int64_t>(0, due_.begin()->first.first - clock_.monotonicMs());
}

void EventLoop::runOnce(int maxWaitMs) {
  int wait = maxWaitMs;
  if (!posted_.empty()) {
    wait = 0;
  } else if (clock_.movesOnItsOwn()) {
    // Under a clock that moves only when told to, sleeping brings no deadline
    // nearer: the wait is left as asked.
    const std::int64_t untilTimer = msUntilNextTimer();
    if (untilTimer >= 0 && (wait < 0 || untilTimer < wait)) wait = static_cast<int>(untilTimer);
  }
  pollIo(wait);
  fireDueTimers();
  runPosted();
}

void EventLoop::pollIo(int waitMs) {
  epoll_event events[64];
  const int n = epoll_wait(epfd_, events, 64, waitMs);
  if (n < 0 && errno != EINTR) {
    // Nothing else can fail here but a broken loop: going round again would
    // only spin on the same error.
    throw std::system_error(errno, std::generic_category(), "epoll_wait");
  }
  if (n <= 0) return;  // a signal, or nothing ready
  for (int i = 0; i < n; ++i) {
    // epoll_event is packed, so its 64-bit field may sit unaligned: copy it
    // out rather than let find() bind a reference to it.
    const std::uint64_t id = events[i].data.u64;
    auto found = watches_.find(id);
    if (found == watches_.end()) continue;  // unwatched by an earlier callback
    // Called where it is stored, not copied: nothing is allocated per event.
    // The record stays put while it runs, in the map or set aside by retire.
    Watch& watch = found->second;
    const std::uint32_t bits = events[i].events;
    ++watch.running;
    app_.dispatch([&] { watch.handler(bits); });
    --watch.running;
    if (!retired_.empty()) freeRetired();
  }
}

void EventLoop::fireDueTimers() {
  // Fire each timer that was due when the round began at most once per round,
  // so a 0-ms period cannot starve readiness handling. The keys are unique,
  // so a timer that an earlier callback destroyed, stopped or restarted is no
  // longer found under its key.
  const std::int64_t now = clock_.monotonicMs();
  dueNow_.clear();
  for (auto it = due_.begin(); it != due_.end() && it->first.first <= now; ++it) {
    dueNow_.push_back(it->first);
  }
  for (const DueKey& key : dueNow_) {
    auto found = due_.find(key);
    if (found != due_.end()) found->second->fire(now);
  }
}

void EventLoop::runPosted() {
  if (posted_.empty()) return;
  std::deque<std::function<void()>> batch;
  batch.swap(posted_);
  for (auto& fn : batch) app_.dispatch(fn);
}

void EventLoop::schedule(Timer* timer, std::int64_t due) {
  timer->key_ = {due, nextSeq_++};
  due_.emplace(timer->key_, timer);
  timer->scheduled_ = true;
}

void EventLoop::reschedule(Timer* timer, std::int64_t due) {
  if (!timer->scheduled_) {
    schedule(timer, due);
    return;
  }
  // The same map node under its new key: a periodic tick allocates nothing.
  auto node = due_.extract(timer->key_);
  timer->key_ = {due, nextSeq_++};
  node.key() = timer->key_;
  due_.insert(std::move(node));
}

void EventLoop::unschedule(Timer* timer) {
  if (!timer->scheduled_) return;
  due_.erase(timer->key_);
  timer->scheduled_ = false;
}

Timer::Timer(EventLoop& loop, std::function<void()> onTimer)
    : loop_(loop), onTimer_(std::move(onTimer)) {}

Timer::~Timer() {
  loop_.unschedule(this);
}

void Timer::setInterval(int ms) {
  if (ms == interval_) return;
  interval_ = ms;
  update();
}

void Timer::setEnabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  update();
}

void Timer::rest() {
  if (!scheduled_) return;
  beat_ = key_.first;
  resting_ = true;
  loop_.unschedule(this);
}

void Timer::wake() {
  if (!resting_) return;
  resting_ = false;
  const std::int64_t now = loop_.clock().monotonicMs();
  std::int64_t due = beat_;
  if (due < now) due += (now - due + interval_ - 1) / interval_ * interval_;
  loop_.schedule(this, due);
}

void Timer::update() {
  resting_ = false;
  loop_.unschedule(this);
  if (enabled_ && interval_ > 0) loop_.schedule(this, loop_.clock().monotonicMs() + interval_);
}

void Timer::fire(std::int64_t now) {
  // Schedule the next tick before the handler runs, so that a handler that
  // stops or restarts the timer has the last word. The period runs from the
  // deadline, not from the moment the loop got round to it, so that a late
  // wake-up does not slow the timer down; after a stall longer than a
  // period the missed ticks are not made up.
  std::int64_t next = key_.first + interval_;
  if (next <= now) next = now + interval_;
  loop_.reschedule(this, next);
  if (!onTimer_) return;
  std::function<void()> handler = onTimer_;  // the handler may destroy this timer
  loop_.app().dispatch(handler);
}

}  // namespace varnok
