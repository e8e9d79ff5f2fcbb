// varnok-encoder-sim: a stand-in for an RDS encoder on the loopback interface.
//
// Listens on a loopback address, accepts any number of connections and
// records every byte it receives, on stdout and/or in a file. Other modes
// make the peer see a refused connection, a reset, an orderly close, a
// receiver that never reads or reads one byte a second, an encoder that
// talks back without pause, or one that refuses until it is told to come
// back. One thread, non-blocking sockets, ppoll().

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tool_common.h"

namespace {

using namespace varnok::tools;

constexpr const char* kProgram = "varnok-encoder-sim";

enum class Mode { Normal, Refuse, Reset, Close, NoRead, SlowRead, Garbage, Comeback };
enum class PrintStyle { Text, Hex, None };

struct Options {
  in_addr host{};
  std::uint16_t port = 0;
  Mode mode = Mode::Normal;
  PrintStyle print = PrintStyle::Text;
  long long maxConns = 0;  // 0: no limit
  std::string outPath;
  bool append = false;
  std::string readyFile;
  int rcvbuf = 0;         // 0: system default
  double lifetime = 0.0;  // 0: run until a signal
};

void usage(FILE* to) {
  std::fprintf(to,
               "usage: %s [options]\n"
               "  --host ADDR        loopback address to listen on (127.0.0.0/8, default "
               "127.0.0.1)\n"
               "  --port N           port to listen on; 0 picks a free one (default 0)\n"
               "  --mode MODE        normal: accept and record everything received\n"
               "                     refuse: hold the port without listening, so connects are "
               "refused\n"
               "                     reset:  accept, then close at once with a reset\n"
               "                     close:  accept, then close at once in order\n"
               "                     noread: accept and never read\n"
               "                     slowread: accept and read one byte a second\n"
               "                     garbage: record everything and write bytes back without "
               "pause\n"
               "                     comeback: refuse until SIGUSR1, then listen as normal\n"
               "  --max-conns N      at most N connections open at once; more are accepted and\n"
               "                     closed at once (every mode that keeps connections)\n"
               "  --print STYLE      text (escaped, default), hex or none: how received chunks "
               "are shown\n"
               "  --out FILE         write every received byte to FILE as it arrives (the file is\n"
               "                     emptied at start unless --append is given)\n"
               "  --append           keep what FILE already holds\n"
               "  --ready-file PATH  write the port number there once ready\n"
               "  --rcvbuf BYTES     receive buffer size of accepted connections\n"
               "  --lifetime SECONDS exit by itself after this time (default: run until "
               "SIGINT/SIGTERM)\n"
               "  --help             show this text\n",
               kProgram);
}

[[noreturn]] void usageError(const std::string& message) {
  varnok::tools::usageError(kProgram, message);
}

Options parseArgs(int argc, char** argv) {
  Options opt;
  opt.host = *parseIpv4("127.0.0.1");
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usageError("option " + arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      std::exit(kExitOk);
    } else if (arg == "--host") {
      std::string v = value();
      auto addr = parseIpv4(v);
      if (!addr) usageError("not an IPv4 address: " + v);
      if (!isLoopback(*addr)) {
        usageError("refusing to listen on " + v +
                   ": only loopback addresses (127.0.0.0/8) allowed");
      }
      opt.host = *addr;
    } else if (arg == "--port") {
      std::string v = value();
      auto port = parseInteger(v, 0, 65535);
      if (!port) usageError("not a port number: " + v);
      opt.port = static_cast<std::uint16_t>(*port);
    } else if (arg == "--mode") {
      std::string v = value();
      if (v == "normal") {
        opt.mode = Mode::Normal;
      } else if (v == "refuse") {
        opt.mode = Mode::Refuse;
      } else if (v == "reset") {
        opt.mode = Mode::Reset;
      } else if (v == "close") {
        opt.mode = Mode::Close;
      } else if (v == "noread") {
        opt.mode = Mode::NoRead;
      } else if (v == "slowread") {
        opt.mode = Mode::SlowRead;
      } else if (v == "garbage") {
        opt.mode = Mode::Garbage;
      } else if (v == "comeback") {
        opt.mode = Mode::Comeback;
      } else {
        usageError("unknown mode: " + v +
                   " (normal, refuse, reset, close, noread, slowread, garbage or comeback)");
      }
    } else if (arg == "--print") {
      std::string v = value();
      if (v == "text") {
        opt.print = PrintStyle::Text;
      } else if (v == "hex") {
        opt.print = PrintStyle::Hex;
      } else if (v == "none") {
        opt.print = PrintStyle::None;
      } else {
        usageError("unknown print style: " + v + " (text, hex or none)");
      }
    } else if (arg == "--max-conns") {
      std::string v = value();
      auto n = parseInteger(v, 1, 1'000'000);
      if (!n) usageError("--max-conns needs a number from 1 to 1000000: " + v);
      opt.maxConns = *n;
    } else if (arg == "--out") {
      opt.outPath = value();
      if (opt.outPath.empty()) usageError("--out needs a file name");
    } else if (arg == "--append") {
      opt.append = true;
    } else if (arg == "--ready-file") {
      opt.readyFile = value();
      if (opt.readyFile.empty()) usageError("--ready-file needs a file name");
    } else if (arg == "--rcvbuf") {
      std::string v = value();
      auto n = parseInteger(v, 1, 64 * 1024 * 1024);
      if (!n) usageError("--rcvbuf needs a byte count: " + v);
      opt.rcvbuf = static_cast<int>(*n);
    } else if (arg == "--lifetime") {
      std::string v = value();
      auto s = parseSeconds(v);
      if (!s || *s <= 0.0) usageError("--lifetime needs a positive number of seconds: " + v);
      opt.lifetime = *s;
    } else {
      usageError("unknown argument: " + arg);
    }
  }
  if (opt.append && opt.outPath.empty()) usageError("--append needs --out");
  return opt;
}

volatile sig_atomic_t gStopSignal = 0;
volatile sig_atomic_t gComeBack = 0;

void onStopSignal(int sig) {
  gStopSignal = sig;
}

void onComeBackSignal(int) {
  gComeBack = 1;
}

// How often a slowread connection takes its byte.
constexpr auto kSlowReadPeriod = std::chrono::seconds(1);
// What a garbage connection writes back per wake-up.
constexpr std::size_t kGarbageBlock = 65536;

// Prints one line on stdout and flushes it, so that a reader on a pipe sees it at once.
void say(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void warn(const std::string& line) {
  std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str());
  std::fflush(stderr);
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Writes the file through a temporary name, so a reader never sees half of it.
bool writeReadyFile(const std::string& path, std::uint16_t port) {
  std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::string text = std::to_string(port) + "\n";
  bool ok = writeAll(fd, text.data(), text.size());
  ok = (::close(fd) == 0) && ok;
  return ok && ::rename(tmp.c_str(), path.c_str()) == 0;
}

struct Connection {
  int fd = -1;
  std::string peer;
  unsigned long long bytes = 0;
  SteadyClock::time_point nextRead{};  // slowread: when the next byte may be taken
};

class Simulator {
 public:
  explicit Simulator(Options opt) : opt_(std::move(opt)) {}

  ~Simulator() {
    for (auto& [id, conn] : conns_) ::close(conn.fd);
    if (listenFd_ >= 0) ::close(listenFd_);
    if (outFd_ >= 0) ::close(outFd_);
  }

  int run() {
    if (!opt_.outPath.empty()) {
      int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (opt_.append ? 0 : O_TRUNC);
      outFd_ = ::open(opt_.outPath.c_str(), flags, 0644);
      if (outFd_ < 0) {
        warn("cannot open " + opt_.outPath + ": " + std::strerror(errno));
        return kExitFailure;
      }
    }
    if (!openSocket()) return kExitFailure;

    // The ready file comes first: whoever has seen the ready line can rely on it.
    if (!opt_.readyFile.empty() && !writeReadyFile(opt_.readyFile, boundPort_)) {
      warn("cannot write " + opt_.readyFile + ": " + std::strerror(errno));
      return kExitFailure;
    }
    say(listening_ ? "listening on " + where() : "refusing connections on " + where());

    int status = loop();
    say("connections: " + std::to_string(totalConns_) + ", bytes: " + std::to_string(totalBytes_) +
        (turnedAway_ > 0 ? ", turned away: " + std::to_string(turnedAway_) : "") +
        (sentBack_ > 0 ? ", sent back: " + std::to_string(sentBack_) : ""));
    return status;
  }

 private:
  std::string where() const { return formatIpv4(opt_.host) + ":" + std::to_string(boundPort_); }

  bool openSocket() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
      warn(std::string("socket: ") + std::strerror(errno));
      return false;
    }
    // In refuse mode the port is held by a socket that never listens: the
    // kernel then answers every connect with a reset (ECONNREFUSED), and no
    // other program can take the port meanwhile. Address reuse stays off there,
    // since with it another socket could bind the same port and listen. A
    // comeback simulator starts the same way and later listens on this very
    // socket, so the port is never free in between.
    const bool refusing = opt_.mode == Mode::Refuse || opt_.mode == Mode::Comeback;
    if (!refusing) {
      int one = 1;
      ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    if (opt_.rcvbuf > 0) {
      // Set before listen() so accepted sockets inherit it.
      ::setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &opt_.rcvbuf, sizeof opt_.rcvbuf);
    }
    sockaddr_in sa = makeSockaddr(opt_.host, opt_.port);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      warn("cannot bind " + formatIpv4(opt_.host) + ":" + std::to_string(opt_.port) + ": " +
           std::strerror(errno));
      return false;
    }
    socklen_t len = sizeof sa;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len);
    boundPort_ = ntohs(sa.sin_port);
    if (!refusing && !startListening()) return false;
    return true;
  }

  bool startListening() {
    if (::listen(listenFd_, 128) != 0) {
      warn(std::string("listen: ") + std::strerror(errno));
      return false;
    }
    listening_ = true;
    return true;
  }

  int loop() {
    sigset_t waitMask;
    sigprocmask(SIG_SETMASK, nullptr, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGUSR1);
    bool limited = opt_.lifetime > 0.0;
    auto deadline = SteadyClock::now() + secondsToDuration(opt_.lifetime);

    std::vector<pollfd> fds;
    std::vector<long long> ids;
    while (gStopSignal == 0) {
      if (gComeBack != 0 && opt_.mode == Mode::Comeback && !listening_) {
        if (!startListening()) return kExitFailure;
        say("listening on " + where());
      }
      fds.clear();
      ids.clear();
      if (listening_) {
        fds.push_back({listenFd_, POLLIN, 0});
        ids.push_back(0);
      }
      const auto now = SteadyClock::now();
      std::optional<SteadyClock::time_point> wake;
      for (auto& [id, conn] : conns_) {
        short events = POLLIN;
        if (opt_.mode == Mode::NoRead) {
          events = POLLRDHUP;  // unread connections are only watched for the peer going away
        } else if (opt_.mode == Mode::SlowRead && now < conn.nextRead) {
          // Not due yet: only a reset or hang-up (always reported) wakes us early.
          events = 0;
          if (!wake || conn.nextRead < *wake) wake = conn.nextRead;
        } else if (opt_.mode == Mode::Garbage) {
          events = POLLIN | POLLOUT;
        }
        fds.push_back({conn.fd, events, 0});
        ids.push_back(id);
      }
      if (limited && (!wake || deadline < *wake)) wake = deadline;
      timespec ts{};
      timespec* timeout = nullptr;
      if (wake) {
        int ms = msUntil(*wake);
        if (ms == 0 && limited && SteadyClock::now() >= deadline) {
          say("lifetime over");
          return kExitOk;
        }
        ts.tv_sec = ms / 1000;
        ts.tv_nsec = static_cast<long>(ms % 1000) * 1'000'000L;
        timeout = &ts;
      }
      int n = ::ppoll(fds.data(), fds.size(), timeout, &waitMask);
      if (n < 0) {
        if (errno == EINTR) continue;
        warn(std::string("poll: ") + std::strerror(errno));
        return kExitFailure;
      }
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        if (ids[i] == 0) {
          acceptAll();
        } else if (!serve(ids[i], fds[i].revents)) {
          return kExitFailure;
        }
      }
    }
    say(std::string("stopped by ") + (gStopSignal == SIGINT ? "SIGINT" : "SIGTERM"));
    return kExitOk;
  }

  void acceptAll() {
    for (;;) {
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED) {
          warn(std::string("accept: ") + std::strerror(errno));
        }
        return;
      }
      long long id = ++totalConns_;
      std::string tag = "conn " + std::to_string(id) + ": ";
      std::string from = formatIpv4(peer.sin_addr) + ":" + std::to_string(ntohs(peer.sin_port));
      say(tag + "open from " + from);
      switch (opt_.mode) {
        case Mode::Reset: {
          linger lg{1, 0};
          ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
          ::close(fd);
          say(tag + "reset");
          break;
        }
        case Mode::Close:
          ::close(fd);
          say(tag + "closed");
          break;
        case Mode::Normal:
        case Mode::NoRead:
        case Mode::SlowRead:
        case Mode::Garbage:
        case Mode::Comeback:
          if (opt_.maxConns > 0 && static_cast<long long>(conns_.size()) >= opt_.maxConns) {
            ::close(fd);
            ++turnedAway_;
            say(tag + "closed at once: " + std::to_string(conns_.size()) +
                " connections already open");
          } else {
            conns_[id] = Connection{fd, from, 0, SteadyClock::now()};
          }
          break;
        case Mode::Refuse:
          ::close(fd);  // cannot happen: nothing listens
          break;
      }
    }
  }

  // Handles readiness of one connection; false only on a fatal error (output file).
  bool serve(long long id, short revents) {
    auto found = conns_.find(id);
    if (found == conns_.end()) return true;
    Connection& conn = found->second;
    std::string tag = "conn " + std::to_string(id) + ": ";
    if (opt_.mode == Mode::SlowRead && (revents & (POLLERR | POLLHUP))) {
      // Broken while bytes may still wait: reading them at a byte a second
      // would keep a dead connection for ever.
      int unread = 0;
      ::ioctl(conn.fd, FIONREAD, &unread);
      say(tag + ((revents & POLLERR) ? "reset by peer" : "closed by peer") + " after " +
          std::to_string(conn.bytes) + " bytes, " + std::to_string(unread) + " bytes left unread");
      drop(id);
      return true;
    }
    if (opt_.mode == Mode::Garbage && (revents & POLLOUT)) {
      const ssize_t n =
          ::send(conn.fd, garbage().data(), garbage().size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sentBack_ += static_cast<unsigned long long>(n);
      // A failed write is the peer going away; the read below reports it.
      if (!(revents & (POLLIN | POLLERR | POLLHUP))) return true;
    }
    if (opt_.mode == Mode::NoRead) {
      if (revents & (POLLRDHUP | POLLHUP | POLLERR)) {
        int unread = 0;
        ::ioctl(conn.fd, FIONREAD, &unread);
        // A peer that closes in order while its data still waits here is only
        // seen once its FIN gets through, i.e. never: the window stays shut.
        const char* how = (revents & POLLERR) ? "reset by peer, " : "closed by peer, ";
        say(tag + how + std::to_string(unread) + " bytes left unread");
        drop(id);
      }
      return true;
    }
    char buf[65536];
    // One byte per period for slowread; as much as one receive gives otherwise.
    const std::size_t room = opt_.mode == Mode::SlowRead ? 1 : sizeof buf;
    for (;;) {
      ssize_t n = ::recv(conn.fd, buf, room, MSG_DONTWAIT);
      if (n > 0) {
        conn.bytes += static_cast<unsigned long long>(n);
        totalBytes_ += static_cast<unsigned long long>(n);
        if (outFd_ >= 0 && !writeAll(outFd_, buf, static_cast<std::size_t>(n))) {
          warn("cannot write " + opt_.outPath + ": " + std::strerror(errno));
          return false;
        }
        std::string_view chunk(buf, static_cast<std::size_t>(n));
        if (opt_.print == PrintStyle::Text) {
          say(tag + std::to_string(n) + " bytes: " + escapeBytes(chunk));
        } else if (opt_.print == PrintStyle::Hex) {
          say(tag + std::to_string(n) + " bytes: " + hexBytes(chunk));
        }
        if (opt_.mode == Mode::SlowRead) conn.nextRead = SteadyClock::now() + kSlowReadPeriod;
        // One read per wake-up keeps the chunks as the kernel hands them over
        // and gives every connection its turn.
        return true;
      }
      if (n == 0) {
        say(tag + "closed by peer after " + std::to_string(conn.bytes) + " bytes");
        drop(id);
        return true;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      say(tag + (errno == ECONNRESET ? std::string("reset by peer") : std::strerror(errno)) +
          " after " + std::to_string(conn.bytes) + " bytes");
      drop(id);
      return true;
    }
  }

  // The bytes a garbage connection writes back: every byte value, over and over.
  static const std::string& garbage() {
    static const std::string block = [] {
      std::string b(kGarbageBlock, '\0');
      for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(i * 7 + 13);
      return b;
    }();
    return block;
  }

  void drop(long long id) {
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    ::close(it->second.fd);
    conns_.erase(it);
  }

  Options opt_;
  int listenFd_ = -1;
  int outFd_ = -1;
  std::uint16_t boundPort_ = 0;
  bool listening_ = false;
  std::map<long long, Connection> conns_;
  long long totalConns_ = 0;
  long long turnedAway_ = 0;
  unsigned long long totalBytes_ = 0;
  unsigned long long sentBack_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Options opt = parseArgs(argc, argv);

  // SIGINT, SIGTERM and SIGUSR1 (comeback) stay blocked except inside
  // ppoll(), so a request can never slip in between the check of its flag
  // and the wait.
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  struct sigaction comeBack {};
  comeBack.sa_handler = onComeBackSignal;
  sigemptyset(&comeBack.sa_mask);
  sigaction(SIGUSR1, &comeBack, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGUSR1);
  sigprocmask(SIG_BLOCK, &block, nullptr);

  Simulator sim(std::move(opt));
  return sim.run();
}
