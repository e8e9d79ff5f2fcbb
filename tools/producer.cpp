// varnok-producer: sends RDS commands to the dispatcher the way a producer
// program does, and checks that each one is acknowledged.
//
// Each command-line argument is one command (with \r \n \t \0 \\ \xHH
// escapes). By default the tool waits for the 7-byte acknowledgement of a
// command before it sends the next; every wait is bounded by --timeout.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tool_common.h"

namespace {

using namespace varnok::tools;

constexpr const char* kProgram = "varnok-producer";
constexpr std::string_view kAck{"\r\n+\r\n\r\n", 7};

struct Options {
  std::string host = "127.0.0.1";
  std::uint16_t port = 23;
  bool allowRemote = false;
  std::string bindAddr;
  std::vector<std::string> commands;
  long long count = 1;
  double rate = 0.0;  // commands per second; 0: as fast as the acknowledgements allow
  double timeout = 5.0;
  bool waitEach = true;
  bool quiet = false;
  bool verbose = false;
};

void usage(FILE* to) {
  std::fprintf(
      to,
      "usage: %s [options] COMMAND...\n"
      "Sends each COMMAND (one argument each) to the dispatcher and waits for its\n"
      "acknowledgement. Escapes in commands: \\r \\n \\t \\0 \\\\ \\xHH.\n"
      "  --host ADDR      dispatcher address (default 127.0.0.1)\n"
      "  --port N         dispatcher port (default 23)\n"
      "  --bind ADDR      local source address, e.g. 127.0.0.5\n"
      "  --allow-remote   allow addresses outside 127.0.0.0/8 and host names\n"
      "  --timeout SEC    longest wait for the connection, for each send and for each\n"
      "                   acknowledgement (default 5)\n"
      "  --no-wait        send all commands back to back, then wait for the acknowledgements\n"
      "                   (commands that arrive together count as one at the dispatcher)\n"
      "  --count N        send the command list N times (default 1)\n"
      "  --rate R         send at most R commands per second\n"
      "  --quiet          do not print a line per acknowledgement\n"
      "  --verbose        also print the connection and every command sent\n"
      "  --help           show this text\n"
      "Exit status: 0 all acknowledged, 1 an acknowledgement missing or a wrong reply,\n"
      "2 bad arguments, 3 no connection or connection lost.\n",
      kProgram);
}

[[noreturn]] void usageError(const std::string& message) {
  varnok::tools::usageError(kProgram, message);
}

Options parseArgs(int argc, char** argv) {
  Options opt;
  bool optionsDone = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usageError("option " + arg + " needs a value");
      return argv[++i];
    };
    if (optionsDone || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      std::string bytes, error;
      if (!unescape(arg, bytes, error)) {
        usageError("command " + std::to_string(opt.commands.size() + 1) + ": " + error);
      }
      if (bytes.empty()) {
        usageError("command " + std::to_string(opt.commands.size() + 1) +
                   " is empty: an empty write sends nothing");
      }
      opt.commands.push_back(std::move(bytes));
    } else if (arg == "--") {
      optionsDone = true;
    } else if (arg == "--help") {
      usage(stdout);
      std::exit(kExitOk);
    } else if (arg == "--host") {
      opt.host = value();
    } else if (arg == "--port") {
      std::string v = value();
      auto port = parseInteger(v, 1, 65535);
      if (!port) usageError("not a port number: " + v);
      opt.port = static_cast<std::uint16_t>(*port);
    } else if (arg == "--bind") {
      opt.bindAddr = value();
    } else if (arg == "--allow-remote") {
      opt.allowRemote = true;
    } else if (arg == "--timeout") {
      std::string v = value();
      auto s = parseSeconds(v);
      if (!s || *s <= 0.0) usageError("--timeout needs a positive number of seconds: " + v);
      opt.timeout = *s;
    } else if (arg == "--no-wait") {
      opt.waitEach = false;
    } else if (arg == "--count") {
      std::string v = value();
      auto n = parseInteger(v, 1, 1'000'000'000);
      if (!n) usageError("--count needs a number from 1 to 1000000000: " + v);
      opt.count = *n;
    } else if (arg == "--rate") {
      std::string v = value();
      auto r = parseSeconds(v);
      if (!r || *r <= 0.0)
        usageError("--rate needs a positive number of commands per second: " + v);
      opt.rate = *r;
    } else if (arg == "--quiet") {
      opt.quiet = true;
    } else if (arg == "--verbose") {
      opt.verbose = true;
    } else {
      usageError("unknown option: " + arg + " (use -- before a command that starts with --)");
    }
  }
  if (opt.commands.empty()) usageError("no command given");
  return opt;
}

void say(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

class Producer {
 public:
  explicit Producer(Options opt) : opt_(std::move(opt)) {}
  ~Producer() {
    if (fd_ >= 0) ::close(fd_);
  }

  int run() {
    in_addr target{};
    in_addr source{};
    if (int status = resolveAddresses(target, source); status != kExitOk) return status;
    if (!connectTo(target, source)) return kExitConnect;

    const long long total = opt_.count * static_cast<long long>(opt_.commands.size());
    const auto timeout = secondsToDuration(opt_.timeout);
    const auto start = SteadyClock::now();
    for (long long i = 0; i < total && ok(); ++i) {
      if (opt_.rate > 0.0) {
        auto sendAt = start + secondsToDuration(static_cast<double>(i) / opt_.rate);
        while (ok() && SteadyClock::now() < sendAt) waitInput(msUntil(sendAt));
        if (!ok()) break;
      }
      const std::string& command =
          opt_.commands[static_cast<std::size_t>(i) % opt_.commands.size()];
      ++sent_;
      if (!sendAll(command, SteadyClock::now() + timeout)) break;
      if (opt_.verbose) {
        say("sent " + std::to_string(command.size()) + " bytes: " + escapeBytes(command));
      }
      if (opt_.waitEach) {
        waitAcks(sent_, SteadyClock::now() + timeout);
      } else {
        waitInput(0);  // take in whatever acknowledgements are already there
      }
    }
    if (ok() && !opt_.waitEach) waitAcks(total, SteadyClock::now() + timeout);
    double elapsed = std::chrono::duration<double>(SteadyClock::now() - start).count();

    char summary[160];
    std::snprintf(summary, sizeof summary, "acks: %lld of %lld, elapsed: %.3f s, rate: %.1f/s",
                  acks_, total, elapsed, elapsed > 0 ? static_cast<double>(acks_) / elapsed : 0.0);
    say(summary);
    if (ok()) return kExitOk;
    std::fprintf(stderr, "%s: %s\n", kProgram, failure_.c_str());
    return failureStatus_;
  }

 private:
  bool ok() const { return failureStatus_ == kExitOk; }

  void fail(int status, const std::string& message) {
    if (!ok()) return;  // the first failure is the one worth telling
    failureStatus_ = status;
    failure_ = message;
  }

  int resolveAddresses(in_addr& target, in_addr& source) {
    auto addr = opt_.allowRemote ? resolveIpv4(opt_.host) : parseIpv4(opt_.host);
    if (!addr) {
      std::fprintf(stderr, "%s: %s\n", kProgram,
                   (opt_.allowRemote
                        ? "cannot resolve " + opt_.host
                        : "not an IPv4 address: " + opt_.host + " (host names need --allow-remote)")
                       .c_str());
      return kExitUsage;
    }
    if (!opt_.allowRemote && !isLoopback(*addr)) {
      std::fprintf(stderr,
                   "%s: refusing to connect to %s: only loopback addresses (127.0.0.0/8) "
                   "unless --allow-remote is given\n",
                   kProgram, opt_.host.c_str());
      return kExitUsage;
    }
    target = *addr;
    source.s_addr = htonl(INADDR_ANY);
    if (!opt_.bindAddr.empty()) {
      auto local = parseIpv4(opt_.bindAddr);
      if (!local) {
        std::fprintf(stderr, "%s: --bind: not an IPv4 address: %s\n", kProgram,
                     opt_.bindAddr.c_str());
        return kExitUsage;
      }
      if (!opt_.allowRemote && !isLoopback(*local)) {
        std::fprintf(stderr,
                     "%s: --bind %s: only loopback addresses unless --allow-remote is given\n",
                     kProgram, opt_.bindAddr.c_str());
        return kExitUsage;
      }
      source = *local;
    }
    return kExitOk;
  }

  bool connectTo(const in_addr& target, const in_addr& source) {
    std::string where = formatIpv4(target) + ":" + std::to_string(opt_.port);
    auto complain = [&](const std::string& what) {
      std::fprintf(stderr, "%s: cannot connect to %s: %s\n", kProgram, where.c_str(), what.c_str());
      return false;
    };
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return complain(std::string("socket: ") + std::strerror(errno));
    if (!opt_.bindAddr.empty()) {
      sockaddr_in local = makeSockaddr(source, 0);
      if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        return complain("cannot bind to " + opt_.bindAddr + ": " + std::strerror(errno));
      }
    }
    sockaddr_in remote = makeSockaddr(target, opt_.port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
      if (errno != EINPROGRESS) return complain(std::strerror(errno));
      auto deadline = SteadyClock::now() + secondsToDuration(opt_.timeout);
      for (;;) {
        pollfd pfd{fd_, POLLOUT, 0};
        int n = ::poll(&pfd, 1, msUntil(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return complain(std::string("poll: ") + std::strerror(errno));
        if (n == 0) return complain("timed out");
        break;
      }
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) return complain(std::strerror(err));
    }
    if (opt_.verbose) {
      sockaddr_in local{};
      socklen_t len = sizeof local;
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len);
      say("connected to " + where + " from " + formatIpv4(local.sin_addr) + ":" +
          std::to_string(ntohs(local.sin_port)));
    }
    return true;
  }

  // Writes one command completely, taking in replies while the socket is full.
  bool sendAll(const std::string& bytes, SteadyClock::time_point deadline) {
    std::size_t offset = 0;
    while (offset < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
      if (n > 0) {
        offset += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd pfd{fd_, POLLIN | POLLOUT, 0};
        int ready = ::poll(&pfd, 1, msUntil(deadline));
        if (ready < 0 && errno != EINTR) {
          fail(kExitFailure, std::string("poll: ") + std::strerror(errno));
          return false;
        }
        if (ready == 0) {
          fail(kExitFailure, "command " + std::to_string(sent_) + " could not be sent within " +
                                 formatSeconds() + ": the server does not read");
          return false;
        }
        if ((pfd.revents & (POLLIN | POLLHUP | POLLERR)) && !readInput()) return false;
        continue;
      }
      lost(n < 0 ? errno : EPIPE);
      return false;
    }
    return true;
  }

  void waitAcks(long long target, SteadyClock::time_point deadline) {
    while (ok() && acks_ < target) {
      int ms = msUntil(deadline);
      if (ms == 0) {
        long long missing = acks_ + 1;
        fail(kExitFailure, "no acknowledgement for command " + std::to_string(missing) +
                               " within " + formatSeconds() +
                               (opt_.waitEach ? ""
                                              : " (commands sent back to back may have "
                                                "reached the server as one)"));
        return;
      }
      waitInput(ms);
    }
  }

  // Waits up to ms milliseconds for replies and takes them in.
  void waitInput(int ms) {
    pollfd pfd{fd_, POLLIN, 0};
    int ready = ::poll(&pfd, 1, ms);
    if (ready < 0 && errno != EINTR) {
      fail(kExitFailure, std::string("poll: ") + std::strerror(errno));
    } else if (ready > 0) {
      readInput();
    }
  }

  bool readInput() {
    char buf[4096];
    for (;;) {
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        pending_.append(buf, static_cast<std::size_t>(n));
        if (!takeAcks()) return false;
        continue;
      }
      if (n == 0) {
        if (!pending_.empty()) {
          say("incomplete reply: " + hexBytes(pending_));
        }
        fail(kExitConnect, "connection closed by the server after " + std::to_string(acks_) +
                               " acknowledgements");
        return false;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      lost(errno);
      return false;
    }
  }

  // Splits the reply stream into acknowledgements; anything else is reported
  // in hexadecimal and ends the run, since the replies can no longer be matched.
  bool takeAcks() {
    while (!pending_.empty()) {
      if (pending_.size() >= kAck.size() && std::string_view(pending_).substr(0, 7) == kAck) {
        ++acks_;
        pending_.erase(0, kAck.size());
        if (!opt_.quiet) say("ack");
        if (acks_ > sent_) {
          fail(kExitFailure, "more acknowledgements (" + std::to_string(acks_) +
                                 ") than commands sent (" + std::to_string(sent_) +
                                 "): the server took a command for several");
          return false;
        }
        continue;
      }
      if (pending_.size() < kAck.size() && kAck.substr(0, pending_.size()) == pending_) {
        return true;  // the rest is still on its way
      }
      say("unexpected reply: " + hexBytes(pending_));
      fail(kExitFailure, "unexpected reply from the server (" + std::to_string(pending_.size()) +
                             " bytes, shown above)");
      pending_.clear();
      return false;
    }
    return true;
  }

  void lost(int err) {
    if (err == ECONNRESET || err == EPIPE) {
      fail(kExitConnect,
           "connection reset by the server after " + std::to_string(acks_) + " acknowledgements");
    } else {
      fail(kExitConnect, std::string("connection lost: ") + std::strerror(err));
    }
  }

  std::string formatSeconds() const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", opt_.timeout);
    return buf;
  }

  Options opt_;
  int fd_ = -1;
  std::string pending_;
  long long sent_ = 0;
  long long acks_ = 0;
  int failureStatus_ = kExitOk;
  std::string failure_;
};

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  Producer producer(parseArgs(argc, argv));
  return producer.run();
}
