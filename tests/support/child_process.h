#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace varnok::testing {

// A real child process with its standard output and error captured. Every
// wait is bounded; the destructor kills a child that is still running.
// env: "NAME=value" entries are set, bare "NAME" entries removed.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::string& workdir = "", const std::vector<std::string>& env = {}) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(126);
      for (const std::string& e : env) {
        if (e.find('=') == std::string::npos) {
          unsetenv(e.c_str());
        } else {
          putenv(const_cast<char*>(e.c_str()));
        }
      }
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(program.c_str()));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
    fcntl(out_, F_SETFL, O_NONBLOCK);
    fcntl(err_, F_SETFL, O_NONBLOCK);
  }
  ~ChildProcess() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int signo) const { kill(pid_, signo); }

  // Reads what is available within timeoutMs into the captured output.
  void pump(int timeoutMs) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0) return;
    readInto(out_, stdout_);
    readInto(err_, stderr_);
  }

  // Waits until the captured standard output contains text.
  bool waitForOutput(const std::string& text, int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (stdout_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= end) return false;
      pump(50);
    }
    return true;
  }

  // Waits for the child to end; its exit status, or -signal, or nullopt.
  std::optional<int> wait(int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!status_) {
      int st = 0;
      const pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
        break;
      }
      if (std::chrono::steady_clock::now() >= end) return std::nullopt;
      pump(20);
    }
    pump(0);
    readInto(out_, stdout_);
    readInto(err_, stderr_);
    return status_;
  }

  // Waits for the child to end without reading its output, which stays in
  // the pipes for pump() to collect later. Its exit status, or -signal, or
  // nullopt when it still runs after timeoutMs.
  std::optional<int> waitLeavingOutput(int timeoutMs = 10000) {
    if (status_) return status_;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd < 0) return std::nullopt;
    pollfd p{pidfd, POLLIN, 0};
    poll(&p, 1, timeoutMs);
    close(pidfd);
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
    }
    return status_;
  }

  const std::string& out() const { return stdout_; }
  const std::string& err() const { return stderr_; }

 private:
  static void readInto(int fd, std::string& sink) {
    char buf[4096];
    for (;;) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) return;
      sink.append(buf, static_cast<std::size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string stdout_;
  std::string stderr_;
  std::optional<int> status_;
};

}  // namespace varnok::testing
