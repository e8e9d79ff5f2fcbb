#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "instance/hand_off_text.h"
#include "platform/acceptor.h"
#include "platform/event_loop.h"
#include "platform/unique_fd.h"

namespace varnok {

struct InstanceOptions {
  // The identity of the program, compared exactly: applicationTitle(folder).
  std::string title;
  // Stands in for $XDG_RUNTIME_DIR: the channel lives in "<runtimeDir>/varnok".
  // Empty: "$XDG_RUNTIME_DIR/varnok", or when that is not set
  // "${XDG_CACHE_HOME:-$HOME/.cache}/varnok-run-<host>".
  std::string runtimeDir;
  // Second copy: the longest wait for the lock, for the running copy to take
  // the text, and for it to report the text handled.
  int timeoutMs = 30000;
  // Running copy: a sender must deliver its whole text within this time after
  // connecting, or it is dropped.
  int receiveTimeoutMs = 5000;
};

// The single-instance test and the running copy's end of the hand-off channel.
//
// Call start() first thing in main, before any configuration is read, any
// other socket is opened or any log line is written. In the running copy the
// object then owns the listening channel (and removes its socket file when
// destroyed); attach() puts it on the event loop. Once attached, call
// closeChannel() (or destroy the object) before the loop is destroyed.
class SingleInstance {
 public:
  enum class Role {
    First,      // this is the running copy now; the channel is open
    HandedOff,  // another copy runs and has handled the text: exit with 0
    Failed,     // nothing was handed over (reason in *error): exit non-zero
  };
  // What the running copy made of a text; the sender learns it.
  enum class Outcome {
    Handled,
    FileNotRead,  // a "FILE:" text whose command file could not be read
    QueuesFull,   // nothing queued: the running copy holds back its producers
  };
  using TextHandler = std::function<Outcome(const std::string& text)>;

  SingleInstance();
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Makes the test once per object. Under a lock beside the channel it either
  // finds a running copy with this title, or (no channel, or a stale one left
  // by a copy that died) creates the channel and returns First. A second copy
  // then hands `text` over and returns HandedOff only after the running copy
  // has handled it. Blocks for at most about opts.timeoutMs.
  Role start(const InstanceOptions& opts, const std::string& text, std::string* error);

  // Running copy only (after start() gave First): receives hand-offs on the
  // loop. Each text goes to onText on the loop thread, through the
  // application's dispatch; the sender is answered with its outcome after
  // onText returns (Handled when it throws). onText may run as long as it
  // needs (reading a command file); the sender waits.
  //
  // At most a few senders wait at a time. When all places are taken, a new
  // sender takes the place of the longest-waiting one that has nothing on
  // its way (an idle connection); only when every waiting sender has bytes
  // still to be read is the new one turned away. Either one turned away is
  // told that the running copy is busy, and tries again.
  void attach(EventLoop& loop, TextHandler onText);

  // Closes the channel, drops waiting senders and removes the socket file
  // (only if it is still the one this copy made). The destructor does the
  // same; call it yourself when the loop dies before this object.
  void closeChannel();

  bool isRunningCopy() const { return listenFd_ || acceptor_; }
  const std::string& socketPath() const { return socketPath_; }
  // Number of senders connected and not yet answered or dropped.
  std::size_t pendingSenders() const { return senders_.size(); }

 private:
  struct Sender;

  bool createChannel(std::string* error);
  // Takes a freshly accepted sender on, or answers it at once and lets it go.
  void admit(UniqueFd fd);
  void onSenderReady(int fd);
  void dropSender(int fd);
  // Turns the longest-waiting idle sender away as busy; false when none is idle.
  bool makeRoom();
  void deliver(std::unique_ptr<Sender> sender);

  std::string title_;
  std::string socketPath_;
  std::string lockPath_;
  int timeoutMs_ = 30000;
  int receiveTimeoutMs_ = 5000;
  bool started_ = false;
  UniqueFd listenFd_;  // until attach() hands it to the acceptor
  dev_t socketDev_ = 0;
  ino_t socketIno_ = 0;
  EventLoop* loop_ = nullptr;
  TextHandler onText_;
  // Owns the listening channel once attached; keeps it from spinning when
  // this process runs out of descriptors.
  std::unique_ptr<Acceptor> acceptor_;
  std::unordered_map<int, std::unique_ptr<Sender>> senders_;
  std::uint64_t accepted_ = 0;  // senders accepted so far: their order of arrival
};

}  // namespace varnok
