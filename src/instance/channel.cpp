#include "instance/channel.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "instance/hand_off_text.h"

namespace varnok::channel {
namespace {

std::string errnoText(int err) {
  return std::strerror(err);
}

std::string octal(mode_t mode) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

void putLength(std::string& out, std::size_t n) {
  out.push_back(static_cast<char>((n >> 8) & 0xFF));
  out.push_back(static_cast<char>(n & 0xFF));
}

std::size_t getLength(const std::string& in, std::size_t at) {
  return (static_cast<std::size_t>(static_cast<unsigned char>(in[at])) << 8) |
         static_cast<unsigned char>(in[at + 1]);
}

// An absolute path without trailing slashes ("/" stays), or empty when the
// value is unset, empty or relative (such values are invalid and ignored).
std::string absoluteFolder(const char* value) {
  if (!value || value[0] != '/') return "";
  std::string folder = value;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

}  // namespace

ChannelPlace defaultChannelPlace(const char* xdgRuntimeDir, const char* xdgCacheHome,
                                 const char* home, const std::string& host) {
  // XDG_RUNTIME_DIR belongs to this user alone and is made by the system;
  // "/" is not such a folder.
  const std::string runtime = absoluteFolder(xdgRuntimeDir);
  if (!runtime.empty() && runtime != "/") return {runtime + "/varnok", false};
  std::string cache = absoluteFolder(xdgCacheHome);
  if (cache.empty()) {
    const std::string homeFolder = absoluteFolder(home);
    if (homeFolder.empty()) return {};
    cache = (homeFolder == "/" ? "" : homeFolder) + "/.cache";
  }
  std::string name = "varnok-run";
  if (!host.empty()) name += "-" + host;
  // A host name is not meant to hold a slash, but nothing stops one.
  std::replace(name.begin(), name.end(), '/', '_');
  return {(cache == "/" ? "" : cache) + "/" + name, true};
}

ChannelPlace channelPlaceFor(const std::string& runtimeDir) {
  if (!runtimeDir.empty()) {
    std::string folder = runtimeDir;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return {folder == "/" ? "/varnok" : folder + "/varnok", false};
  }
  const char* home = std::getenv("HOME");
  std::string fromUserDatabase;
  if (!home || home[0] != '/') {
    // Start-up only, before the event loop exists: a lookup that may ask a
    // directory service holds nothing up.
    std::vector<char> buf(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(geteuid(), &entry, buf.data(), buf.size(), &found) == 0 && found &&
        found->pw_dir) {
      fromUserDatabase = found->pw_dir;
      home = fromUserDatabase.c_str();
    }
  }
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  return defaultChannelPlace(std::getenv("XDG_RUNTIME_DIR"), std::getenv("XDG_CACHE_HOME"), home,
                             host);
}

bool prepareChannelFolder(const std::string& folder, std::string* error, bool createParent) {
  if (createParent) {
    // What the parent is does not matter (a cache folder may well be a link
    // to another disk): the checks below are made on the folder itself.
    const std::size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
      const std::string parent = folder.substr(0, slash);
      if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot create the folder " + parent + ": " + errnoText(errno);
        return false;
      }
    }
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "cannot create the folder " + folder + ": " + errnoText(errno);
    return false;
  }
  // O_NOFOLLOW: a symbolic link planted in a shared folder such as /tmp must
  // not lead the channel somewhere else.
  const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    const int err = errno;
    *error = "cannot open the folder " + folder + ": " +
             (err == ELOOP || err == ENOTDIR ? std::string("not a folder") : errnoText(err));
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    *error = "cannot examine the folder " + folder + ": " + errnoText(errno);
    return false;
  }
  if (st.st_uid != geteuid()) {
    *error = "the folder " + folder + " belongs to uid " + std::to_string(st.st_uid) +
             ", not to this user (uid " + std::to_string(geteuid()) + "); refusing to use it";
    return false;
  }
  if ((st.st_mode & 077) != 0) {
    *error = "the folder " + folder + " is open to other users (mode " + octal(st.st_mode) +
             "); refusing to use it";
    return false;
  }
  return true;
}

std::string channelStem(const std::string& title) {
  // FNV-1a, 64 bits: stable across builds and machines, unlike std::hash.
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : title) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

std::size_t maxSocketPath() {
  return sizeof(sockaddr_un::sun_path) - 1;
}

bool peerUid(int fd, uid_t* uid) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
    return false;
  }
  *uid = cred.uid;
  return true;
}

bool peerIsThisUser(int fd, std::string* error) {
  uid_t uid = 0;
  if (!peerUid(fd, &uid)) {
    *error = "the credentials of the other end cannot be read: " + errnoText(errno);
    return false;
  }
  if (uid != geteuid()) {
    *error = "the other end runs as uid " + std::to_string(uid) + ", not as this user (uid " +
             std::to_string(geteuid()) + ")";
    return false;
  }
  return true;
}

std::string encodeFrame(const std::string& title, const std::string& text) {
  std::string frame(kMagic, sizeof kMagic);
  putLength(frame, title.size());
  frame.append(title);
  putLength(frame, text.size());
  frame.append(text);
  return frame;
}

FrameParser::State FrameParser::feed(const char* data, std::size_t size) {
  if (state_ != State::NeedMore) {
    // Bytes after a whole frame are not part of the protocol.
    if (size > 0) state_ = State::Bad;
    return state_;
  }
  buffer_.append(data, size);
  state_ = parse();
  if (state_ != State::NeedMore) buffer_.clear();
  return state_;
}

FrameParser::State FrameParser::parse() {
  const std::size_t magicSeen = std::min(buffer_.size(), sizeof kMagic);
  if (std::memcmp(buffer_.data(), kMagic, magicSeen) != 0) return State::Bad;
  std::size_t at = sizeof kMagic;
  if (buffer_.size() < at + 2) return State::NeedMore;
  const std::size_t titleLen = getLength(buffer_, at);
  if (titleLen > kMaxTitle) return State::Bad;
  at += 2 + titleLen;
  if (buffer_.size() < at + 2) return State::NeedMore;
  const std::size_t textLen = getLength(buffer_, at);
  if (textLen > kMaxHandOffText) return State::Bad;
  const std::size_t total = at + 2 + textLen;
  if (buffer_.size() < total) return State::NeedMore;
  if (buffer_.size() > total) return State::Bad;
  title_.assign(buffer_, sizeof kMagic + 2, titleLen);
  text_.assign(buffer_, at + 2, textLen);
  return State::Complete;
}

bool FileLock::acquire(const std::string& path, int timeoutMs, std::string* error) {
  release();
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) {
    *error = "cannot open the lock file " + path + ": " + errnoText(errno);
    return false;
  }
  // Another starting copy holds the lock only while it tests and creates its
  // channel, so a short polling wait is enough; flock itself has no timeout.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
      fd_ = std::move(fd);
      return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *error = "cannot lock " + path + ": " + errnoText(errno);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      *error = "the lock " + path + " stayed taken for " + std::to_string(timeoutMs) + " ms";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

}  // namespace varnok::channel
