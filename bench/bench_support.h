// Helpers of the benchmark driver: child processes with their output
// collected on a thread, program folders, loopback sockets with bounded
// waits, percentiles and readings from /proc. Header only, Linux only.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace varnok::bench {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

inline double msBetween(TimePoint a, TimePoint b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

inline double usBetween(TimePoint a, TimePoint b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

// Nearest-rank percentile (p in 0..100) of samples sorted in ascending
// order; 0 when there are none.
inline double percentile(const std::vector<double>& samples, double p) {
  if (samples.empty()) return 0;
  auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
  rank = std::clamp<std::size_t>(rank, 1, samples.size());
  return samples[rank - 1];
}

// A fresh folder under /tmp, removed with everything in it at the end.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "varnok-bench") {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  // With a trailing "/".
  std::string path() const { return path_ + "/"; }

 private:
  std::string path_;
};

struct ChildOptions {
  std::string program;
  std::vector<std::string> args;
  std::string workdir;
  std::vector<std::string> env;  // "NAME=value" sets, a bare "NAME" removes
  rlim_t maxDescriptors = 0;     // RLIMIT_NOFILE of the child; 0 keeps the driver's
  bool stdinPipe = false;        // the child's stdin is a pipe that the driver holds open
};

// A child process whose standard output and error are collected by a thread
// of its own, so that a chatty child never blocks on a full pipe. The child
// dies with the driver (PR_SET_PDEATHSIG) and is killed by the destructor
// when it still runs.
class Child {
 public:
  explicit Child(const ChildOptions& options) {
    // Everything the child needs is built before fork(): between fork and
    // exec only async-signal-safe calls are made.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('='));
      bool replaced = false;
      for (const std::string& o : options.env) {
        if (o.substr(0, o.find('=')) == name) replaced = true;
      }
      if (!replaced) env.push_back(entry);
    }
    for (const std::string& o : options.env) {
      if (o.find('=') != std::string::npos) env.push_back(o);
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{options.program};
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    int in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    if (options.stdinPipe && pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(126);
      dup2(options.stdinPipe ? in[0] : devNull, 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      if (!options.workdir.empty() && chdir(options.workdir.c_str()) != 0) _exit(126);
      if (options.maxDescriptors > 0) {
        const rlimit limit{options.maxDescriptors, options.maxDescriptors};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
      }
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(out[1]);
    close(devNull);
    if (options.stdinPipe) {
      close(in[0]);
      stdin_ = in[1];
    }
    reader_ = std::thread([this, fd = out[0]] { collect(fd); });
  }
  ~Child() {
    stop(3000);
    if (reader_.joinable()) reader_.join();
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int signo) const {
    if (!status_) kill(pid_, signo);
  }

  // Waits until the output contains text; false after timeoutMs.
  bool waitFor(const std::string& text, int timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      return output_.find(text) != std::string::npos || ended_;
    }) && output_.find(text) != std::string::npos;
  }
  std::string output() const {
    std::lock_guard lock(mutex_);
    return output_;
  }
  // The output from the given offset on (output lengths grow only).
  std::string outputFrom(std::size_t offset) const {
    std::lock_guard lock(mutex_);
    return offset < output_.size() ? output_.substr(offset) : std::string();
  }
  std::size_t outputLength() const {
    std::lock_guard lock(mutex_);
    return output_.size();
  }

  // Waits for the child to end by itself; its exit status, or nullopt when
  // it still runs after timeoutMs.
  std::optional<int> wait(int timeoutMs) {
    const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (!status_) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
        break;
      }
      if (SteadyClock::now() >= end) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
  }

  // Ends the child: SIGTERM (or closing its stdin pipe), then SIGKILL when it
  // is still there after timeoutMs. Its exit status, or -signal.
  int stop(int timeoutMs) {
    if (status_) return *status_;
    if (stdin_ >= 0) {
      close(stdin_);
      stdin_ = -1;
    }
    kill(pid_, SIGTERM);
    const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    int st = 0;
    for (;;) {
      if (waitpid(pid_, &st, WNOHANG) == pid_) break;
      if (SteadyClock::now() >= end) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &st, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
    return *status_;
  }

 private:
  void collect(int fd) {
    char buffer[16384];
    for (;;) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      std::lock_guard lock(mutex_);
      output_.append(buffer, static_cast<std::size_t>(n));
      changed_.notify_all();
    }
    close(fd);
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  std::optional<int> status_;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
  bool ended_ = false;
};

// A copy of the real program in a folder of its own with a generated
// varnok.ini, and a private runtime directory for its hand-off channel, so
// that several copies run side by side without meeting.
class ProgramFolder {
 public:
  ProgramFolder(const std::string& binary, const std::string& name, const std::string& ini) {
    folder_ = root_.path() + name + "/";
    runtime_ = root_.path() + "run";
    std::filesystem::create_directory(folder_);
    std::filesystem::create_directory(runtime_);
    chmod(runtime_.c_str(), 0700);
    std::filesystem::copy_file(binary, program());
    std::ofstream(folder_ + "varnok.ini", std::ios::binary) << ini;
  }
  std::string program() const { return folder_ + "varnok"; }
  const std::string& folder() const { return folder_; }

  // Headless: VARNOK_HEADLESS=1. With a display: DISPLAY set, headless off.
  ChildOptions options(const std::string& display = "") const {
    ChildOptions o;
    o.program = program();
    o.workdir = folder_;
    o.env = {"XDG_RUNTIME_DIR=" + runtime_};
    if (display.empty()) {
      o.env.push_back("VARNOK_HEADLESS=1");
    } else {
      o.env.insert(o.env.end(), {"VARNOK_HEADLESS", "DISPLAY=" + display, "WAYLAND_DISPLAY",
                                 "QT_QPA_PLATFORM=xcb"});
    }
    return o;
  }

 private:
  TempFolder root_;
  std::string folder_;
  std::string runtime_;
};

// The port a headless Varnok reports in its "Listening on port N" line.
inline std::optional<std::uint16_t> listeningPort(Child& varnok, int timeoutMs) {
  const std::string marker = "Listening on port ";
  if (!varnok.waitFor(marker, timeoutMs) || !varnok.waitFor("\n", timeoutMs)) return std::nullopt;
  const std::string out = varnok.output();
  const std::size_t at = out.find(marker);
  const std::size_t end = out.find('\n', at);
  if (end == std::string::npos) return std::nullopt;
  return static_cast<std::uint16_t>(std::stoul(out.substr(at + marker.size(), end)));
}

// ---- Loopback sockets -------------------------------------------------------

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

inline sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

// A listening socket on 127.0.0.1 with a port of the system's choosing.
inline Fd listenLoopback(std::uint16_t& port, bool nonBlocking = true) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0));
  sockaddr_in a = loopback(0);
  socklen_t length = sizeof a;
  if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&a), length) != 0 ||
      listen(fd.get(), SOMAXCONN) != 0 ||
      getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    throw std::runtime_error(std::string("listen on loopback: ") + std::strerror(errno));
  }
  port = ntohs(a.sin_port);
  return fd;
}

// A loopback port that was free a moment ago (bound, then released).
inline std::uint16_t freePort() {
  std::uint16_t port = 0;
  listenLoopback(port);
  return port;
}

// A non-blocking connection to 127.0.0.1:port, established within timeoutMs;
// invalid when refused or late.
// source, when given, is the loopback address to connect from (its port
// picked at the connect, so that a flood of short connections does not run
// one address out of ports).
inline Fd connectLoopback(std::uint16_t port, int timeoutMs, const char* source = nullptr) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  if (source != nullptr) {
#ifdef IP_BIND_ADDRESS_NO_PORT
    const int one = 1;
    setsockopt(fd.get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
#endif
    sockaddr_in from{};
    from.sin_family = AF_INET;
    if (inet_pton(AF_INET, source, &from.sin_addr) != 1 ||
        bind(fd.get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
      return Fd();
    }
  }
  const sockaddr_in a = loopback(port);
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    if (errno != EINPROGRESS) return Fd();
    pollfd p{fd.get(), POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (poll(&p, 1, timeoutMs) != 1 ||
        getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
      return Fd();
    }
  }
  return fd;
}

// Writes all bytes within timeoutMs.
inline bool sendAll(int fd, const char* data, std::size_t size, int timeoutMs) {
  const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(left.count()));
  }
  return true;
}

// Reads exactly size bytes within timeoutMs. The count read; less on end of
// file, error or time-out.
inline std::size_t recvExact(int fd, char* data, std::size_t size, int timeoutMs) {
  const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = recv(fd, data + got, size - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) return got;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
    if (left.count() <= 0) return got;
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, static_cast<int>(left.count()));
  }
  return got;
}

inline constexpr char kAck[] = "\r\n+\r\n\r\n";
inline constexpr std::size_t kAckSize = sizeof kAck - 1;

// Sends one command and waits for the 7-byte acknowledgement.
inline bool produce(int fd, const std::string& command, int timeoutMs) {
  char reply[kAckSize];
  return sendAll(fd, command.data(), command.size(), timeoutMs) &&
         recvExact(fd, reply, kAckSize, timeoutMs) == kAckSize &&
         std::memcmp(reply, kAck, kAckSize) == 0;
}

// ---- /proc ------------------------------------------------------------------

// CPU time in nanoseconds that each thread of a process has had so far:
// the first field of /proc/PID/task/TID/schedstat (the process's own
// schedstat counts its main thread only).
using ThreadCpu = std::map<std::string, std::uint64_t>;
inline ThreadCpu threadCpu(pid_t pid) {
  ThreadCpu out;
  std::error_code ec;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
    std::ifstream in(task.path() / "schedstat");
    std::uint64_t ns = 0;
    if (in >> ns) out[task.path().filename().string()] = ns;
  }
  return out;
}

// The CPU time a process has had since before was taken: per thread, so that
// a thread ending meanwhile (a toolkit's helper comes and goes) cannot make
// the sum go backwards; what such a thread used is not counted.
inline std::uint64_t cpuNanosecondsSince(pid_t pid, const ThreadCpu& before) {
  std::uint64_t total = 0;
  for (const auto& [tid, ns] : threadCpu(pid)) {
    const auto was = before.find(tid);
    const std::uint64_t start = was == before.end() ? 0 : was->second;
    if (ns > start) total += ns - start;
  }
  return total;
}

inline int threadCount(pid_t pid) {
  int count = 0;
  std::error_code ec;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    (void)task;
    ++count;
  }
  return count;
}

// A "Name:   1234 kB" field of /proc/PID/status in bytes; 0 when missing.
inline std::uint64_t statusBytes(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1)) * 1024;
  }
  return 0;
}

// Resident set size in bytes now (VmRSS), and at its highest so far (VmHWM).
inline std::uint64_t residentBytes(pid_t pid) {
  return statusBytes(pid, "VmRSS");
}
inline std::uint64_t peakResidentBytes(pid_t pid) {
  return statusBytes(pid, "VmHWM");
}

// Raises the soft descriptor limit to the hard one; the new soft limit.
inline rlim_t raiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  getrlimit(RLIMIT_NOFILE, &limit);
  return limit.rlim_cur;
}

}  // namespace varnok::bench
