#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "nowplaying/metadata.h"
#include "nowplaying/update.h"
#include "platform/event_loop.h"
#include "platform/liveness.h"
#include "platform/unique_fd.h"

namespace varnok::nowplaying {

// Watches the now-playing file that a playout system writes and hands on
// its content as an Update, on the event loop's thread.
//
// The folder is watched with inotify, so writing in place, writing another
// file and renaming it over this one, and deleting and creating it again are
// all seen; only events for the file's own name count (and an overflowing
// event queue, after which anything may have changed). A change is read once
// the file has been quiet for kQuietMs, and kLatestMs after the first change
// not yet read at the latest, so a file rewritten without pause is still
// read, at most once a debounce. With pollSeconds > 0 the file's identity,
// size and modification time are also compared that often, for network
// shares and links into other folders, where inotify is told nothing; a
// difference counts as a change. When the process has no inotify to spare,
// the file is polled every second instead, and the log says so.
//
// Reading never blocks the loop: what is not a regular file (a FIFO, a
// folder) is refused unopened, and a file above kMaxBytes is refused too. A
// problem (missing, unreadable, unparsable) is logged once and hands nothing
// on; the next successful read ends it, and a different problem is logged
// again. When the folder disappears, that is logged, and it is watched again
// as soon as it is back, tried every kRewatchMs.
//
// The content at start() is read too (on the loop, just after start), so a
// restarted program hands on what is on air now. The same content may be
// handed on more than once.
//
// Ownership: owns its inotify descriptor, its watch on the loop and its
// timers; the loop must outlive it. The callbacks may not destroy it.
class FileWatcher {
 public:
  struct Settings {
    std::string path;  // absolute
    FileFormat format = FileFormat::Line;
    FileEncoding encoding = FileEncoding::Utf8;
    Keys keys;
    int pollSeconds = 0;  // 0: inotify alone
    // The program's own secrets (token, password, key files): never read
    // through the watched file, whatever links or names lead there.
    std::vector<std::string> secretFiles;
    bool operator==(const Settings&) const = default;
  };

  static constexpr int kQuietMs = 250;
  static constexpr int kLatestMs = 1000;
  static constexpr int kRewatchMs = 1000;
  static constexpr std::size_t kMaxBytes = 65536;

  FileWatcher(EventLoop& loop, Settings settings, std::function<void(Update)> onUpdate,
              std::function<void(std::string)> log);
  ~FileWatcher();
  FileWatcher(const FileWatcher&) = delete;
  FileWatcher& operator=(const FileWatcher&) = delete;

  // Starts watching. False, with *error set, for a path that is not
  // absolute or names no file, or when the loop refuses the inotify
  // descriptor. A missing folder or file is no error: it is logged and
  // waited for.
  bool start(std::string* error);

 private:
  // What polling compares; exists false for a file that could not be found.
  struct Signature {
    bool exists = false;
    std::uint64_t device = 0, inode = 0;
    std::int64_t size = 0, modifiedNs = 0, changedNs = 0;
    bool operator==(const Signature&) const = default;
  };
  static Signature signatureOf(const struct stat& st);

  void onEvents();
  bool watchFolder();
  void folderLost();
  void changed();
  void poll();
  void read();
  // The log line for what went wrong, or empty with content filled.
  std::string load(std::string& content);
  void fileProblem(std::string line);
  void folderProblem(std::string line);
  void say(std::string line) const;

  EventLoop& loop_;
  Settings settings_;
  std::function<void(Update)> onUpdate_;
  std::function<void(std::string)> log_;
  std::string folder_, name_;
  UniqueFd inotify_;
  // Where the path led at start when it was a link then (the one link
  // allowed); empty when it was none, and then no link is followed.
  std::string linkTarget_;
  int wd_ = -1;
  bool started_ = false;
  bool pending_ = false;  // a change not yet read
  Timer quiet_, latest_, rewatch_, poll_;
  Signature seen_;
  std::string fileProblem_, folderProblem_;  // the last line logged for each
  Liveness life_;
};

}  // namespace varnok::nowplaying
