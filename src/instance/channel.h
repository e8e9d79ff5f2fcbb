#pragma once

// The pieces of the hand-off channel between a second copy and the running
// copy: where the channel lives, who may use it, and what travels on it.
//
// The channel is a Unix stream socket in a folder that only this user can
// reach. A second copy connects, sends one frame
//
//   "VNK1" | title length (2 bytes, big-endian) | title
//          | text length (2 bytes, big-endian)  | text
//
// and waits for a one-byte reply: 'A' once the running copy has handled the
// text, 'F' once it has handled a "FILE:" text whose command file it could not
// read, 'R' when the running copy refuses the sender (another user), 'T' when
// the channel belongs to a program of another title, 'B' when it is busy with
// other senders and turned this one away before reading anything (nothing was
// handled; the sender may try again). The title in the frame makes the
// identity test exact even if two titles ever shared a socket name.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

namespace varnok::channel {

constexpr char kMagic[4] = {'V', 'N', 'K', '1'};
// A title is "Varnok (" + a folder name of at most 255 bytes + ")"; anything
// much longer is not ours.
constexpr std::size_t kMaxTitle = 1024;

enum class Reply : char {
  Handled = 'A',
  FileNotRead = 'F',
  RefusedPeer = 'R',
  OtherProgram = 'T',
  Busy = 'B',
  QueuesFull = 'Q',
};

// Where the channels of this user live.
struct ChannelPlace {
  std::string folder;  // empty when no place can be found (*reason says why)
  // Whether the folder's parent is ours to create when it is missing (the
  // cache folder is; a runtime folder given by the system or the caller is not).
  bool createParent = false;
};

// The place when no runtime folder is given by the caller, from the
// environment: "<xdgRuntimeDir>/varnok" when xdgRuntimeDir is an absolute
// path. Otherwise the user's cache folder (xdgCacheHome when absolute, else
// "<home>/.cache") holds "varnok-run-<host>": a place inside the user's own
// home that no other user can take first, as any name in the shared /tmp can
// be. The host name keeps machines that share one home over the network
// from mistaking each other's channels for stale ones. Arguments that are
// null, empty or relative count as unset.
ChannelPlace defaultChannelPlace(const char* xdgRuntimeDir, const char* xdgCacheHome,
                                 const char* home, const std::string& host);

// The place for a runtime folder given by the caller ("<dir>/varnok"), or the
// default one for this process when runtimeDir is empty (HOME falls back to
// the home folder in the user database).
ChannelPlace channelPlaceFor(const std::string& runtimeDir);

// Creates the folder with mode 0700 when it does not exist (its parent must
// exist, unless createParent: then a missing parent is made with mode 0700
// too), then makes sure it is a real folder (not a symbolic link) owned by
// the effective user and closed to group and others. False with a reason in
// *error otherwise; an unsafe folder is refused, never repaired.
bool prepareChannelFolder(const std::string& folder, std::string* error, bool createParent = false);

// The file name stem of the channel for an application title: 16 hex digits
// of a 64-bit hash, so that any title fits the socket path limit.
std::string channelStem(const std::string& title);

// The longest path a Unix socket address can hold (without the terminator).
std::size_t maxSocketPath();

// The effective uid of the process at the other end of a connected Unix
// socket, as the kernel recorded it at connect() (or listen()) time.
bool peerUid(int fd, uid_t* uid);

// True when the peer of fd runs as this process's effective user; otherwise
// false with a reason in *error.
bool peerIsThisUser(int fd, std::string* error);

// The frame a second copy sends. title and text must fit their limits
// (kMaxTitle, kMaxHandOffText).
std::string encodeFrame(const std::string& title, const std::string& text);

// Reads a frame that arrives in pieces. Anything that is not exactly one
// well-formed frame within the limits is Bad; the parser never holds more
// than one frame plus one piece.
class FrameParser {
 public:
  enum class State { NeedMore, Complete, Bad };

  State feed(const char* data, std::size_t size);
  State state() const { return state_; }
  const std::string& title() const { return title_; }
  const std::string& text() const { return text_; }

 private:
  State parse();

  std::string buffer_;
  std::string title_;
  std::string text_;
  State state_ = State::NeedMore;
};

// An exclusive flock on a lock file; released when destroyed.
class FileLock {
 public:
  FileLock() = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Opens (creating with mode 0600) and locks path, trying for at most
  // timeoutMs. False with a reason in *error.
  bool acquire(const std::string& path, int timeoutMs, std::string* error);
  // Closing the only descriptor of the open file drops the flock.
  void release() { fd_.reset(); }
  bool held() const { return static_cast<bool>(fd_); }

 private:
  UniqueFd fd_;
};

}  // namespace varnok::channel
