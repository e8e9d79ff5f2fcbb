#include "nowplaying/file_watcher.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>

namespace varnok::nowplaying {
namespace {

// The events on the folder that may concern the file, and those that say
// the folder itself is gone or has moved away from its path.
constexpr std::uint32_t kFileEvents =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr std::uint32_t kFolderEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;

std::string errnoText(int err) {
  return std::generic_category().message(err);
}

}  // namespace

FileWatcher::FileWatcher(EventLoop& loop, Settings settings, std::function<void(Update)> onUpdate,
                         std::function<void(std::string)> log)
    : loop_(loop),
      settings_(std::move(settings)),
      onUpdate_(std::move(onUpdate)),
      log_(std::move(log)),
      quiet_(loop, [this] { read(); }),
      latest_(loop, [this] { read(); }),
      rewatch_(loop,
               [this] {
                 if (watchFolder()) changed();
               }),
      poll_(loop, [this] { poll(); }) {
  quiet_.setInterval(kQuietMs);
  latest_.setInterval(kLatestMs);
  rewatch_.setInterval(kRewatchMs);
}

FileWatcher::~FileWatcher() {
  if (inotify_) loop_.unwatch(inotify_.get());
}

bool FileWatcher::start(std::string* error) {
  const std::string& path = settings_.path;
  const std::size_t slash = path.rfind('/');
  if (path.empty() || path[0] != '/' || slash + 1 == path.size()) {
    if (error) *error = "the now playing file needs an absolute path to a file: \"" + path + "\"";
    return false;
  }
  if (started_) return true;
  folder_ = slash == 0 ? "/" : path.substr(0, slash);
  name_ = path.substr(slash + 1);
  // A link configured as the file is resolved once, now; whoever may write
  // the folder later must not be able to point the file at anything else.
  struct stat link {};
  if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      linkTarget_ = real;
      std::free(real);
    }
  }

  int pollSeconds = std::clamp(settings_.pollSeconds, 0, 86400);
  inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify_) {
    say("Now playing file cannot be watched - " + errnoText(errno) +
        ": checking it every second instead (" + path + ")");
    pollSeconds = pollSeconds == 0 ? 1 : pollSeconds;
  } else if (!loop_.watch(inotify_.get(), EPOLLIN, [this](std::uint32_t) { onEvents(); })) {
    if (error) *error = "cannot watch the now playing file: " + errnoText(errno);
    inotify_.reset();
    return false;
  } else {
    watchFolder();
  }
  started_ = true;
  if (pollSeconds > 0) {
    poll_.setInterval(pollSeconds * 1000);
    poll_.setEnabled(true);
  }
  loop_.post([this, alive = life_.watch()] {
    if (alive.alive()) read();
  });
  return true;
}

bool FileWatcher::watchFolder() {
  wd_ = ::inotify_add_watch(inotify_.get(), folder_.c_str(),
                            kFileEvents | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
  if (wd_ < 0) {
    const int err = errno;
    folderProblem(err == ENOENT ? "Now playing folder not found - " + folder_
                                : "Now playing folder cannot be watched - " + errnoText(err) +
                                      " (" + folder_ + ")");
    rewatch_.setEnabled(true);
    return false;
  }
  rewatch_.setEnabled(false);
  if (!folderProblem_.empty()) say("Now playing folder watched again - " + folder_);
  folderProblem_.clear();
  return true;
}

void FileWatcher::folderLost() {
  // After IN_DELETE_SELF or IN_IGNORED the watch is gone already and this
  // fails harmlessly; after IN_MOVE_SELF it still follows the folder to
  // wherever it went, which is no longer the path.
  ::inotify_rm_watch(inotify_.get(), wd_);
  wd_ = -1;
  watchFolder();
}

void FileWatcher::onEvents() {
  alignas(inotify_event) char buf[16384];
  bool lost = false, relevant = false;
  // A bounded number of reads a round; what is left wakes the loop again.
  for (int reads = 0; reads < 16; ++reads) {
    const ssize_t n = ::read(inotify_.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      inotify_event event;
      std::memcpy(&event, buf + at, sizeof event);
      const char* name = buf + at + sizeof event;
      at += static_cast<ssize_t>(sizeof event + event.len);
      if (event.mask & IN_Q_OVERFLOW) {
        relevant = true;  // events were dropped: ours may have been among them
      } else if (event.wd != wd_ || wd_ < 0) {
        continue;  // left over from a watch given up
      } else if (event.mask & kFolderEvents) {
        lost = true;
      } else if (event.len > 0 && name_ == std::string_view(name, ::strnlen(name, event.len))) {
        relevant = true;
      }
    }
  }
  if (lost) folderLost();
  if (relevant || lost) changed();
}

void FileWatcher::changed() {
  if (!pending_) {
    pending_ = true;
    latest_.setEnabled(true);
  }
  quiet_.setEnabled(false);  // restarts the quiet period
  quiet_.setEnabled(true);
}

FileWatcher::Signature FileWatcher::signatureOf(const struct stat& st) {
  return {true,
          static_cast<std::uint64_t>(st.st_dev),
          static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::int64_t>(st.st_size),
          st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
          st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec};
}

void FileWatcher::poll() {
  struct stat st {};
  const Signature now = ::stat(settings_.path.c_str(), &st) == 0 ? signatureOf(st) : Signature{};
  if (now == seen_) return;
  seen_ = now;
  changed();
}

void FileWatcher::read() {
  pending_ = false;
  quiet_.setEnabled(false);
  latest_.setEnabled(false);
  std::string content;
  std::string problem = load(content);
  if (!problem.empty()) return fileProblem(std::move(problem));
  Parsed<Update> parsed = parseFile(content, settings_.format, settings_.encoding, settings_.keys);
  if (!parsed.ok()) {
    return fileProblem("Now playing file cannot be parsed - " + parsed.error + " (" +
                       settings_.path + ")");
  }
  fileProblem_.clear();
  if (onUpdate_) onUpdate_(std::move(*parsed.value));
}

std::string FileWatcher::load(std::string& content) {
  const std::string& path = settings_.path;
  const auto cannotRead = [&](const std::string& why) {
    return "Now playing file cannot be read - " + why + " (" + path + ")";
  };
  const auto failed = [&](int err) {
    return err == ENOENT ? "Now playing file not found - " + path : cannotRead(errnoText(err));
  };
  const auto refused = [&](const std::string& why) {
    return "Now playing file refused - " + why + " (" + path + ")";
  };
  // Only the link that was there at start, and only to where it led then.
  std::string opened = path;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (linkTarget_.empty()) return refused("it became a link after start-up");
    char* real = ::realpath(path.c_str(), nullptr);
    const std::string now = real != nullptr ? real : "";
    std::free(real);
    if (now != linkTarget_) return refused("the link now points elsewhere");
    opened = linkTarget_;
  }
  // Looked at before it is opened: opening a device may do something.
  seen_ = {};
  if (::stat(opened.c_str(), &st) != 0) return failed(errno);
  seen_ = signatureOf(st);
  if (!S_ISREG(st.st_mode)) return cannotRead("not a regular file");
  // Without O_NONBLOCK a FIFO put there in the meantime would block the
  // open until a writer came; O_NOFOLLOW refuses a link put there since.
  const UniqueFd fd(::open(opened.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
  if (!fd && errno == ELOOP) return refused("it became a link after start-up");
  if (!fd) return failed(errno);
  if (::fstat(fd.get(), &st) != 0) return cannotRead(errnoText(errno));
  seen_ = signatureOf(st);
  if (!S_ISREG(st.st_mode)) return cannotRead("not a regular file");
  // Never one of our own secrets, by whatever name or hard link it came.
  for (const std::string& secret : settings_.secretFiles) {
    struct stat own {};
    if (::stat(secret.c_str(), &own) == 0 && own.st_dev == st.st_dev && own.st_ino == st.st_ino) {
      return refused("it is one of Varnok's own secret files");
    }
  }
  const std::string tooLarge = cannotRead("larger than " + std::to_string(kMaxBytes) + " bytes");
  if (st.st_size > static_cast<off_t>(kMaxBytes)) return tooLarge;
  // One byte more than allowed, to tell a file that grew since fstat.
  content.resize(kMaxBytes + 1);
  std::size_t have = 0;
  for (int interrupted = 0; have < content.size();) {
    const ssize_t n = ::read(fd.get(), content.data() + have, content.size() - have);
    if (n < 0 && errno == EINTR && ++interrupted < 100) continue;
    if (n < 0) return cannotRead(errnoText(errno));
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  if (have > kMaxBytes) return tooLarge;
  content.resize(have);
  return {};
}

void FileWatcher::fileProblem(std::string line) {
  if (line == fileProblem_) return;
  say(line);
  fileProblem_ = std::move(line);
}

void FileWatcher::folderProblem(std::string line) {
  if (line == folderProblem_) return;
  say(line);
  folderProblem_ = std::move(line);
}

void FileWatcher::say(std::string line) const {
  if (log_) log_(std::move(line));
}

}  // namespace varnok::nowplaying
