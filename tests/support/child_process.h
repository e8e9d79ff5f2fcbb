#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace varnok::testing {

inline int msSince(std::chrono::steady_clock::time_point start) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count());
}

// A real child process with its standard output and error captured. Every
// wait is bounded; the destructor kills and reaps a child that still runs, so
// a failing test leaves nothing behind.
//
// Two ways to start one:
// - ChildProcess(program, args, workdir, env): standard input is inherited;
//   workdir (when not empty) is the child's working folder; env: "NAME=value"
//   entries are set, bare "NAME" entries removed.
// - ChildProcess(argv): argv[0] is the program; standard input is a pipe
//   from the test (writeStdin, closeStdin).
//
// Standard output can be taken two ways, which may be mixed: out() and err()
// hold everything captured so far (pump, waitForOutput and wait collect it),
// while readLine() and readAvailable() hand standard output out in order,
// each byte once.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::string& workdir = "", const std::vector<std::string>& env = {}) {
    spawn(program, args, workdir, env, false);
  }
  explicit ChildProcess(const std::vector<std::string>& argv) {
    spawn(argv.at(0), std::vector<std::string>(argv.begin() + 1, argv.end()), "", {}, true);
  }
  ~ChildProcess() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {stdin_, out_.fd, err_.fd}) {
      if (fd >= 0) ::close(fd);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Never with pid -1 (a child that could not be started): that would signal
  // every process of this user.
  void signal(int signo) const {
    if (pid_ > 0) ::kill(pid_, signo);
  }

  // Reads what is available within timeoutMs into the captured output.
  void pump(int timeoutMs) {
    pollfd fds[2] = {{out_.ended ? -1 : out_.fd, POLLIN, 0},
                     {err_.ended ? -1 : err_.fd, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) <= 0) return;
    readSome(out_);
    readSome(err_);
  }

  // Waits until the captured standard output contains text.
  bool waitForOutput(const std::string& text, int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out_.text.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= end) return false;
      pump(50);
    }
    return true;
  }

  // Waits for the child to end, collecting its output meanwhile; its exit
  // status, or -signal, or nullopt when it still runs after timeoutMs.
  std::optional<int> wait(int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!status_) {
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = st;
        break;
      }
      if (std::chrono::steady_clock::now() >= end) return std::nullopt;
      pump(20);
    }
    pump(0);
    readSome(out_);
    readSome(err_);
    return statusOrSignal();
  }

  // Waits for the child to end without reading its output, which stays in
  // the pipes for later. Its exit status, or -signal, or nullopt when it
  // still runs after timeoutMs.
  std::optional<int> waitLeavingOutput(int timeoutMs = 10000) {
    if (!reap(timeoutMs)) return std::nullopt;
    return statusOrSignal();
  }

  // As waitLeavingOutput, but a child ended by a signal gives nullopt too.
  std::optional<int> waitExit(int timeoutMs) {
    if (!reap(timeoutMs) || !WIFEXITED(*status_)) return std::nullopt;
    return WEXITSTATUS(*status_);
  }

  void killHard() {
    signal(SIGKILL);
    reap(10000);
  }

  const std::string& out() const { return out_.text; }
  const std::string& err() const { return err_.text; }

  // The next line of standard output not handed out yet, waiting at most
  // timeoutMs for it.
  std::optional<std::string> readLine(int timeoutMs) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      const std::size_t nl = out_.text.find('\n', outTaken_);
      if (nl != std::string::npos) {
        std::string line = out_.text.substr(outTaken_, nl - outTaken_);
        outTaken_ = nl + 1;
        return line;
      }
      const int left = timeoutMs - msSince(start);
      if (left <= 0 || !waitAndRead(out_, left)) return std::nullopt;
    }
  }

  // The standard output not handed out yet, without waiting.
  std::string readAvailable() {
    waitAndRead(out_, 0);
    std::string rest = out_.text.substr(outTaken_);
    outTaken_ = out_.text.size();
    return rest;
  }

  // Standard error up to its end (the child exited), waiting at most
  // timeoutMs for that end.
  std::string readError(int timeoutMs) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      const int left = timeoutMs - msSince(start);
      if (left <= 0 || !waitAndRead(err_, left)) return err_.text;
    }
  }

  bool writeStdin(const std::string& bytes) {
    return ::write(stdin_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  void closeStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }

 private:
  struct Stream {
    int fd = -1;
    std::string text;    // everything read so far
    bool ended = false;  // the child closed its end
  };

  void spawn(const std::string& program, const std::vector<std::string>& args,
             const std::string& workdir, const std::vector<std::string>& env, bool pipeStdin) {
    // Everything the child needs is built before fork(): between fork() and
    // exec() only async-signal-safe calls are made.
    std::vector<std::string> argvText = {program};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText = environment(env);
    std::vector<char*> envp;
    for (std::string& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if ((pipeStdin && ::pipe2(in, O_CLOEXEC) != 0) || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
        if (fd >= 0) ::close(fd);
      }
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      if (pipeStdin) ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      if (!workdir.empty() && ::chdir(workdir.c_str()) != 0) ::_exit(126);
      ::execve(program.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
    for (int fd : {in[0], out[1], err[1]}) {
      if (fd >= 0) ::close(fd);
    }
    stdin_ = in[1];
    out_.fd = out[0];
    err_.fd = err[0];
    // So that reading what is there right now never waits.
    ::fcntl(out_.fd, F_SETFL, O_NONBLOCK);
    ::fcntl(err_.fd, F_SETFL, O_NONBLOCK);
  }

  // This process's environment with the changes of env applied.
  static std::vector<std::string> environment(const std::vector<std::string>& env) {
    std::vector<std::string> all;
    for (char** e = environ; *e; ++e) all.emplace_back(*e);
    for (const std::string& change : env) {
      const std::string name = change.substr(0, change.find('='));
      std::erase_if(all, [&](const std::string& e) {
        return e.compare(0, name.size(), name) == 0 && e.size() > name.size() &&
               e[name.size()] == '=';
      });
      if (change.find('=') != std::string::npos) all.push_back(change);
    }
    return all;
  }

  std::optional<int> statusOrSignal() const {
    return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -WTERMSIG(*status_);
  }

  // Waits on a pidfd, so the wait ends the moment the child does.
  bool reap(int timeoutMs) {
    if (status_) return true;
    if (pid_ <= 0) return false;
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      ::poll(&p, 1, timeoutMs);
      ::close(pidfd);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = st;
        return true;
      }
      // Without a pidfd, look again a little later.
      if (pidfd >= 0 || std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // Reads what the stream has without waiting; false when nothing came.
  static bool readSome(Stream& s) {
    if (s.fd < 0 || s.ended) return false;
    bool got = false;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(s.fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n == 0) s.ended = true;
      if (n <= 0) return got;
      s.text.append(buf, static_cast<std::size_t>(n));
      got = true;
    }
  }

  // Waits at most waitMs for something on the stream and reads it; false at
  // the end of the stream or when nothing came.
  static bool waitAndRead(Stream& s, int waitMs) {
    if (s.fd < 0 || s.ended) return false;
    pollfd p{s.fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) return false;
    return readSome(s);
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  Stream out_;
  Stream err_;
  std::size_t outTaken_ = 0;   // bytes of out_.text that readLine/readAvailable handed out
  std::optional<int> status_;  // the raw status from waitpid()
};

}  // namespace varnok::testing
