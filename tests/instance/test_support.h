#pragma once

// Helpers of the single-instance tests: a private temporary folder and child
// processes with piped standard streams.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace varnok::testing {

// A fresh folder under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/varnok-it-XXXXXX";
    if (::mkdtemp(pattern)) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline int msSince(std::chrono::steady_clock::time_point start) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count());
}

// A child process whose standard input, output and error are pipes to us.
// Killed and reaped when destroyed, so a failing test leaves nothing behind.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
      return;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
    // So that reading what is there right now never waits.
    ::fcntl(stdout_, F_SETFL, O_NONBLOCK);
    ::fcntl(stderr_, F_SETFL, O_NONBLOCK);
  }
  ~ChildProcess() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      int st = 0;
      ::waitpid(pid_, &st, 0);
    }
    for (int fd : {stdin_, stdout_, stderr_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // The next line of standard output, waiting at most timeoutMs.
  std::optional<std::string> readLine(int timeoutMs) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      const std::size_t nl = out_.find('\n');
      if (nl != std::string::npos) {
        std::string line = out_.substr(0, nl);
        out_.erase(0, nl + 1);
        return line;
      }
      const int left = timeoutMs - msSince(start);
      if (left <= 0 || !fill(stdout_, out_, left)) return std::nullopt;
    }
  }

  // Whatever standard output holds right now, without waiting.
  std::string readAvailable() {
    fill(stdout_, out_, 0);
    std::string all;
    all.swap(out_);
    return all;
  }

  // Standard error up to its end (the child exited), waiting at most timeoutMs.
  std::string readError(int timeoutMs) {
    const auto start = std::chrono::steady_clock::now();
    std::string text;
    for (;;) {
      const int left = timeoutMs - msSince(start);
      if (left <= 0 || !fill(stderr_, text, left)) return text;
    }
  }

  bool writeStdin(const std::string& bytes) {
    return ::write(stdin_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  void closeStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }

  // The exit status, or nothing when the child still runs after timeoutMs
  // (or was ended by a signal, which the tests treat alike).
  std::optional<int> waitExit(int timeoutMs) {
    if (!reap(timeoutMs)) return std::nullopt;
    if (!WIFEXITED(*status_)) return std::nullopt;
    return WEXITSTATUS(*status_);
  }

  void killHard() {
    ::kill(pid_, SIGKILL);
    reap(10000);
  }

 private:
  // Waits on a pidfd, so the wait ends the moment the child does.
  bool reap(int timeoutMs) {
    if (status_) return true;
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      ::poll(&p, 1, timeoutMs);
      ::close(pidfd);
    }
    int st = 0;
    if (::waitpid(pid_, &st, pidfd >= 0 ? WNOHANG : 0) != pid_) return false;
    status_ = st;
    return true;
  }

  // Reads what fd has, waiting at most waitMs for something; false at the
  // end of the stream or when nothing came.
  static bool fill(int fd, std::string& into, int waitMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) return false;
    bool got = false;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) return got;
      into.append(buf, static_cast<std::size_t>(n));
      got = true;
    }
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  std::string out_;
  std::optional<int> status_;
};

// A blocking Unix stream connection to path; -1 on failure.
inline int connectTo(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace varnok::testing
