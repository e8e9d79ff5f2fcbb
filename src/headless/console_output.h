#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "platform/event_loop.h"

namespace varnok {

// Standard output of the console front end, written without ever blocking
// the event loop.
//
// Text goes out at once while the reader keeps up. When it does not (a pipe
// that nobody reads, a stopped terminal, a journal that lags behind), the
// text waits in a backlog of at most maxBacklog bytes, and the descriptor is
// watched for room only while something waits. A piece that does not fit is
// dropped whole and its lines counted; once there is room again, one line
// "<N> log lines dropped: standard output was not being read" goes out where
// the lines are missing, and the text that follows comes after it. Text is
// never cut, reordered or mixed with other text.
//
// The descriptor's own flags are left alone where possible, because the
// open file may be shared with the shell or other programs: sockets are
// written with a non-blocking send, pipes and terminals through a second,
// non-blocking opening of the same file. Only when that fails is O_NONBLOCK
// set on the descriptor itself, and it is cleared again by the destructor.
// Regular files never make a writer wait and are written as they are.
//
// A reader that goes away for good (EPIPE, EIO) ends the output silently, as
// an ignored write error did before. The caller ignores SIGPIPE.
//
// Ownership: does not own fd (it stays open); owns its second opening, the
// watch and the backlog. Destroy before the loop.
class ConsoleOutput {
 public:
  static constexpr std::size_t kDefaultBacklog = std::size_t{1} << 20;

  ConsoleOutput(EventLoop& loop, int fd, std::size_t maxBacklog = kDefaultBacklog);
  ~ConsoleOutput();
  ConsoleOutput(const ConsoleOutput&) = delete;
  ConsoleOutput& operator=(const ConsoleOutput&) = delete;

  // Writes text, one or more whole lines each ending with '\n', after all the
  // text written before.
  void write(std::string text);

  // For the end of the program, once the loop no longer runs: waits up to
  // timeoutMs of real time for the backlog to go out; what is left then is
  // given up.
  void flushAtExit(int timeoutMs);

  std::size_t backlogBytes() const { return backlogBytes_; }
  // Lines dropped since construction.
  std::uint64_t droppedLines() const { return droppedTotal_; }

 private:
  void open(int fd);
  bool fits(std::size_t size) const { return backlogBytes_ + size <= maxBacklog_; }
  void drop(const std::string& text);
  void push(std::string text);
  void flush();
  bool writeBacklog();
  void updateWatch();
  std::string dropNotice() const;

  EventLoop& loop_;
  int fd_ = -1;            // where the bytes go: the caller's fd or our own opening
  bool ownFd_ = false;     // fd_ is our second opening, closed by the destructor
  bool useSend_ = false;   // a socket: send with MSG_DONTWAIT
  int restoreFlags_ = -1;  // O_NONBLOCK was set on the caller's fd; its flags before
  bool broken_ = false;    // the reader is gone: nothing more is written
  bool watching_ = false;  // waiting for room (EPOLLOUT)
  std::size_t maxBacklog_;
  std::deque<std::string> backlog_;
  std::size_t frontWritten_ = 0;      // bytes of backlog_.front() already out
  std::size_t backlogBytes_ = 0;      // bytes still to write
  std::uint64_t droppedPending_ = 0;  // dropped lines not yet reported
  std::uint64_t droppedTotal_ = 0;
};

}  // namespace varnok
