// varnok-encoder-sim: a stand-in for an RDS encoder on the loopback interface.
//
// Listens on a loopback address (TCP or UDP) or on a pseudo-terminal that
// plays a serial line, and records every byte it receives, on stdout and/or
// in a file. It can answer each command line the way an encoder does ("OK"
// or "NO"), now and then refuse, or answer late. With --protocol uecp it
// takes UECP frames instead of lines: each connection, each datagram and the
// serial line is decoded on its own, every frame (or fault found in the
// bytes) can be listed in a file, and the answers are acknowledgement frames
// (MEC 18) instead of words. Other modes make the peer
// see a refused connection, a reset, an orderly close, a receiver that never
// reads or reads one byte a second, an encoder that talks back without
// pause, one that refuses until it is told to come back, or a serial device
// that is unplugged. One thread, non-blocking descriptors, ppoll().

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "encoder/uecp.h"
#include "tool_common.h"

namespace {

using namespace varnok::tools;

constexpr const char* kProgram = "varnok-encoder-sim";

enum class Transport { Tcp, Udp, Serial };
enum class Mode { Normal, Refuse, Reset, Close, NoRead, SlowRead, Garbage, Comeback, Vanish };
enum class Reply { Silent, Ok, No, Twice };
enum class Protocol { Ascii, Uecp };
enum class PrintStyle { Text, Hex, None };

constexpr std::pair<const char*, Mode> kModes[] = {
    {"normal", Mode::Normal},   {"refuse", Mode::Refuse},     {"reset", Mode::Reset},
    {"close", Mode::Close},     {"noread", Mode::NoRead},     {"slowread", Mode::SlowRead},
    {"garbage", Mode::Garbage}, {"comeback", Mode::Comeback}, {"vanish", Mode::Vanish}};

const char* modeName(Mode mode) {
  for (const auto& [name, m] : kModes) {
    if (m == mode) return name;
  }
  return "?";
}

// The modes each transport can play.
bool modeFits(Transport transport, Mode mode) {
  switch (transport) {
    case Transport::Tcp:
      return mode != Mode::Vanish;
    case Transport::Udp:
      return mode == Mode::Normal || mode == Mode::Refuse;
    case Transport::Serial:
      return mode == Mode::Normal || mode == Mode::Vanish;
  }
  return false;
}

struct Options {
  Transport transport = Transport::Tcp;
  in_addr host{};
  std::uint16_t port = 0;
  bool placeGiven = false;  // --host or --port on the command line
  Mode mode = Mode::Normal;
  Reply reply = Reply::Silent;
  Protocol protocol = Protocol::Ascii;
  std::string okText = "OK";
  std::string errorText = "NO";
  bool textGiven = false;  // --ok-text or --error-text on the command line
  int nackCode = static_cast<int>(varnok::uecp::AckCode::OutOfRange);
  bool nackCodeGiven = false;
  std::string elementsPath;
  long long refuseEvery = 0;  // 0: never
  long long replyDelayMs = 0;
  PrintStyle print = PrintStyle::Text;
  long long maxConns = 0;  // 0: no limit
  std::string outPath;
  bool append = false;
  std::string readyFile;
  int rcvbuf = 0;         // 0: system default
  double lifetime = 0.0;  // 0: run until a signal
};

void usage(FILE* to) {
  std::fprintf(
      to,
      "usage: %s [options]\n"
      "  --transport T      tcp (default), udp or serial: what the simulator plays\n"
      "                     tcp: listen on a loopback port and accept any number of "
      "connections\n"
      "                     udp: take datagrams on a loopback port, one chunk per datagram\n"
      "                     serial: create a pseudo-terminal and take what is written to "
      "its\n"
      "                     device (/dev/pts/N, printed on stderr as 'serial device: PATH')\n"
      "  --host ADDR        loopback address to listen on (127.0.0.0/8, default "
      "127.0.0.1; tcp, udp)\n"
      "  --port N           port to listen on; 0 picks a free one (default 0; tcp, udp)\n"
      "  --mode MODE        normal: record everything received (every transport)\n"
      "                     refuse: tcp: hold the port without listening, so connects are "
      "refused;\n"
      "                     udp: bind a port, then close it, so datagrams sent there are "
      "answered\n"
      "                     with port unreachable (another program could take it meanwhile)\n"
      "                     reset:  accept, then close at once with a reset (tcp)\n"
      "                     close:  accept, then close at once in order (tcp)\n"
      "                     noread: accept and never read (tcp)\n"
      "                     slowread: accept and read one byte a second (tcp)\n"
      "                     garbage: record everything and write bytes back without "
      "pause (tcp)\n"
      "                     comeback: refuse until SIGUSR1, then listen as normal (tcp)\n"
      "                     vanish: after the first command line, unplug the device: "
      "its users\n"
      "                     get a hang-up and EIO, and the path goes away (serial)\n"
      "  --reply R          silent (default): never answer; ok, no or twice: answer "
      "every command\n"
      "                     line (ended by CR or LF; CRLF ends one line, empty lines are "
      "skipped)\n"
      "                     with 'OK\\r\\n', 'NO\\r\\n' or 'OK\\r\\nOK\\r\\n'. tcp answers on the "
      "connection,\n"
      "                     udp with a datagram to the sender, serial on the line. A "
      "datagram is\n"
      "                     framed on its own: text after its last line end is not "
      "answered.\n"
      "                     Goes with modes normal, slowread, comeback and vanish (which "
      "leaves\n"
      "                     the line that unplugs it unanswered).\n"
      "                     With --protocol uecp every frame is answered instead, each "
      "answer an\n"
      "                     acknowledgement frame (MEC 18) with the frame's address and "
      "sequence\n"
      "                     counter 0: ok '18 00 SQC' (just '18 00' when the frame's SQC is "
      "0), no\n"
      "                     '18 CODE SQC' (see --nack-code), twice two of ok. A fault in the "
      "bytes\n"
      "                     (CRC error, bad stuffing, ...) gets '18 CODE' naming it, "
      "address 0\n"
      "  --protocol P       ascii (default): command lines; uecp: UECP frames. uecp goes "
      "with modes\n"
      "                     normal, slowread, comeback and vanish (which unplugs after the "
      "first\n"
      "                     frame or fault and leaves it unanswered). A datagram is decoded "
      "on its\n"
      "                     own: an unfinished frame at its end is dropped\n"
      "  --elements FILE    uecp: for every frame add the line 'SEQ ADDRESS MESSAGE' to FILE "
      "(SEQ\n"
      "                     decimal, ADDRESS 4 hex digits, MESSAGE hex pairs, lower case, no "
      "spaces),\n"
      "                     for every fault 'fault CODE MEANING'; each line is written at "
      "once, the\n"
      "                     file is emptied at start\n"
      "  --nack-code N      uecp: the code of the negative acknowledgements of --reply no "
      "and\n"
      "                     --refuse-every, 1 to 255 (default 6, parameter out of range)\n"
      "  --ok-text TEXT     the word for OK (default OK; escapes as \\r \\n \\t \\0 \\\\ \\xHH;"
      " ascii)\n"
      "  --error-text TEXT  the word for NO (default NO; ascii)\n"
      "  --refuse-every N   with --reply ok: answer every Nth line or frame (counted over "
      "all peers)\n"
      "                     with the error text or a negative acknowledgement\n"
      "  --reply-delay-ms N answer N milliseconds after the line came (default 0)\n"
      "  --max-conns N      at most N connections open at once; more are accepted and\n"
      "                     closed at once (tcp, every mode that keeps connections)\n"
      "  --print STYLE      text (escaped, default), hex or none: how received chunks "
      "are shown\n"
      "  --out FILE         write every received byte to FILE as it arrives (the file is\n"
      "                     emptied at start unless --append is given)\n"
      "  --append           keep what FILE already holds\n"
      "  --ready-file PATH  once ready, write the port number there (tcp, udp) or the "
      "device path\n"
      "                     (serial), followed by a newline\n"
      "  --rcvbuf BYTES     receive buffer size of accepted connections or of the udp "
      "socket\n"
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
    } else if (arg == "--transport") {
      std::string v = value();
      if (v == "tcp") {
        opt.transport = Transport::Tcp;
      } else if (v == "udp") {
        opt.transport = Transport::Udp;
      } else if (v == "serial") {
        opt.transport = Transport::Serial;
      } else {
        usageError("unknown transport: " + v + " (tcp, udp or serial)");
      }
    } else if (arg == "--host") {
      opt.placeGiven = true;
      std::string v = value();
      auto addr = parseIpv4(v);
      if (!addr) usageError("not an IPv4 address: " + v);
      if (!isLoopback(*addr)) {
        usageError("refusing to listen on " + v +
                   ": only loopback addresses (127.0.0.0/8) allowed");
      }
      opt.host = *addr;
    } else if (arg == "--port") {
      opt.placeGiven = true;
      std::string v = value();
      auto port = parseInteger(v, 0, 65535);
      if (!port) usageError("not a port number: " + v);
      opt.port = static_cast<std::uint16_t>(*port);
    } else if (arg == "--mode") {
      std::string v = value();
      bool known = false;
      for (const auto& [name, mode] : kModes) {
        if (v == name) {
          opt.mode = mode;
          known = true;
        }
      }
      if (!known) {
        usageError("unknown mode: " + v +
                   " (normal, refuse, reset, close, noread, slowread, garbage, comeback or "
                   "vanish)");
      }
    } else if (arg == "--reply") {
      std::string v = value();
      if (v == "silent") {
        opt.reply = Reply::Silent;
      } else if (v == "ok") {
        opt.reply = Reply::Ok;
      } else if (v == "no") {
        opt.reply = Reply::No;
      } else if (v == "twice") {
        opt.reply = Reply::Twice;
      } else {
        usageError("unknown reply: " + v + " (silent, ok, no or twice)");
      }
    } else if (arg == "--protocol") {
      std::string v = value();
      if (v == "ascii") {
        opt.protocol = Protocol::Ascii;
      } else if (v == "uecp") {
        opt.protocol = Protocol::Uecp;
      } else {
        usageError("unknown protocol: " + v + " (ascii or uecp)");
      }
    } else if (arg == "--elements") {
      opt.elementsPath = value();
      if (opt.elementsPath.empty()) usageError("--elements needs a file name");
    } else if (arg == "--nack-code") {
      std::string v = value();
      auto n = parseInteger(v, 1, 255);
      if (!n) usageError("--nack-code needs a number from 1 to 255: " + v);
      opt.nackCode = static_cast<int>(*n);
      opt.nackCodeGiven = true;
    } else if (arg == "--ok-text" || arg == "--error-text") {
      opt.textGiven = true;
      std::string v = value();
      std::string text, error;
      if (!unescape(v, text, error)) usageError(arg + ": " + error);
      (arg == "--ok-text" ? opt.okText : opt.errorText) = text;
    } else if (arg == "--refuse-every") {
      std::string v = value();
      auto n = parseInteger(v, 1, 1'000'000'000);
      if (!n) usageError("--refuse-every needs a number from 1 to 1000000000: " + v);
      opt.refuseEvery = *n;
    } else if (arg == "--reply-delay-ms") {
      std::string v = value();
      auto n = parseInteger(v, 0, 3'600'000);
      if (!n) usageError("--reply-delay-ms needs milliseconds from 0 to 3600000: " + v);
      opt.replyDelayMs = *n;
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
  const bool tcp = opt.transport == Transport::Tcp;
  const bool serial = opt.transport == Transport::Serial;
  if (!modeFits(opt.transport, opt.mode)) {
    const char* names[] = {"tcp", "udp", "serial"};
    usageError(std::string("mode ") + modeName(opt.mode) + " does not go with --transport " +
               names[static_cast<int>(opt.transport)]);
  }
  if (serial && opt.placeGiven) usageError("--host and --port do not go with --transport serial");
  if (!tcp && opt.maxConns > 0) usageError("--max-conns needs --transport tcp");
  if (serial && opt.rcvbuf > 0) usageError("--rcvbuf does not go with --transport serial");
  const bool reads = opt.mode == Mode::Normal || opt.mode == Mode::SlowRead ||
                     opt.mode == Mode::Comeback || opt.mode == Mode::Vanish;
  if (opt.reply != Reply::Silent && !reads) {
    usageError(std::string("--reply does not go with mode ") + modeName(opt.mode));
  }
  if (opt.refuseEvery > 0 && opt.reply != Reply::Ok) usageError("--refuse-every needs --reply ok");
  if (opt.protocol == Protocol::Uecp) {
    if (!reads) {
      usageError(std::string("--protocol uecp does not go with mode ") + modeName(opt.mode));
    }
    if (opt.textGiven) usageError("--ok-text and --error-text do not go with --protocol uecp");
  } else {
    if (!opt.elementsPath.empty()) usageError("--elements needs --protocol uecp");
    if (opt.nackCodeGiven) usageError("--nack-code needs --protocol uecp");
  }
  if (opt.nackCodeGiven && opt.reply != Reply::No && opt.refuseEvery == 0) {
    usageError("--nack-code needs --reply no or --refuse-every");
  }
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
bool writeReadyFile(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = writeAll(fd, text.data(), text.size());
  ok = (::close(fd) == 0) && ok;
  return ok && ::rename(tmp.c_str(), path.c_str()) == 0;
}

// Counts the command lines a chunk completes; lineBytes carries the length of
// the unfinished line from one chunk to the next. CR and LF both end a line;
// an empty line (such as the LF of CRLF) is no command and is not counted.
int completeLines(std::string_view chunk, std::size_t& lineBytes) {
  int lines = 0;
  for (char c : chunk) {
    if (c != '\r' && c != '\n') {
      ++lineBytes;
    } else if (lineBytes > 0) {
      ++lines;
      lineBytes = 0;
    }
  }
  return lines;
}

// "0200004d79", as the elements file shows a message.
std::string lowerHex(std::span<const std::uint8_t> bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

// The elements file's line for a frame: "SEQ ADDRESS MESSAGE".
std::string frameLine(const varnok::uecp::Frame& frame) {
  char address[8];
  std::snprintf(address, sizeof address, "%04x", static_cast<unsigned>(frame.address));
  return std::to_string(frame.sequence) + " " + address + " " + lowerHex(frame.message);
}

// An acknowledgement (MEC 18); the sequence counter of the frame answered
// goes in only when that frame had one.
varnok::uecp::Bytes acknowledgement(int code, std::uint8_t answered) {
  varnok::uecp::Bytes message = {0x18, static_cast<std::uint8_t>(code)};
  if (answered != 0) message.push_back(answered);
  return message;
}

// The frame that carries one message, with sequence counter 0.
std::string frameBytes(std::uint16_t address, const varnok::uecp::Bytes& message) {
  const auto frame = varnok::uecp::frame(address, 0, message);  // an acknowledgement always fits
  return std::string(frame.value().begin(), frame.value().end());
}

// An answer waiting for its time; `to` is the sender of a datagram.
struct Pending {
  SteadyClock::time_point due;
  std::string bytes;
  sockaddr_in to{};
};

// One byte stream: an accepted connection or the master side of the pty.
struct Connection {
  int fd = -1;
  std::string tag;  // how its lines on stdout begin
  unsigned long long bytes = 0;
  SteadyClock::time_point nextRead{};  // slowread: when the next byte may be taken
  std::size_t lineBytes = 0;           // length of the command line read so far
  varnok::uecp::FrameReader frames;    // uecp: the frame read so far
  std::deque<Pending> pending;         // answers not yet due
  std::string unsent;                  // answers due that the peer has not taken yet
};

class Simulator {
 public:
  explicit Simulator(Options opt) : opt_(std::move(opt)) {}

  ~Simulator() {
    for (auto& [id, conn] : conns_) ::close(conn.fd);
    if (listenFd_ >= 0) ::close(listenFd_);
    if (slaveFd_ >= 0) ::close(slaveFd_);
    if (outFd_ >= 0) ::close(outFd_);
    if (elementsFd_ >= 0) ::close(elementsFd_);
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
    if (!opt_.elementsPath.empty()) {
      elementsFd_ = ::open(opt_.elementsPath.c_str(),
                           O_WRONLY | O_CREAT | O_APPEND | O_TRUNC | O_CLOEXEC, 0644);
      if (elementsFd_ < 0) {
        warn("cannot open " + opt_.elementsPath + ": " + std::strerror(errno));
        return kExitFailure;
      }
    }
    const bool serial = opt_.transport == Transport::Serial;
    if (!(serial ? openPty() : openSocket())) return kExitFailure;

    // The ready file comes first: whoever has seen the ready line can rely on it.
    const std::string ready = serial ? device_ : std::to_string(boundPort_);
    if (!opt_.readyFile.empty() && !writeReadyFile(opt_.readyFile, ready + "\n")) {
      warn("cannot write " + opt_.readyFile + ": " + std::strerror(errno));
      return kExitFailure;
    }
    if (serial) {
      std::fprintf(stderr, "serial device: %s\n", device_.c_str());
      std::fflush(stderr);
      say("listening on " + device_);
    } else if (opt_.transport == Transport::Udp) {
      say((listening_ ? "receiving datagrams on " : "refusing datagrams on ") + where());
    } else {
      say(listening_ ? "listening on " + where() : "refusing connections on " + where());
    }

    int status = loop();
    std::string summary = "bytes: " + std::to_string(totalBytes_);
    if (opt_.transport == Transport::Tcp) {
      summary = "connections: " + std::to_string(totalConns_) + ", " + summary;
    } else if (opt_.transport == Transport::Udp) {
      summary = "datagrams: " + std::to_string(datagrams_) + ", " + summary;
    }
    say(summary + (turnedAway_ > 0 ? ", turned away: " + std::to_string(turnedAway_) : "") +
        (sentBack_ > 0 ? ", sent back: " + std::to_string(sentBack_) : ""));
    return status;
  }

 private:
  std::string where() const { return formatIpv4(opt_.host) + ":" + std::to_string(boundPort_); }

  bool openSocket() {
    const bool udp = opt_.transport == Transport::Udp;
    listenFd_ =
        ::socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
      warn(std::string("socket: ") + std::strerror(errno));
      return false;
    }
    // In refuse mode the port is held by a socket that never listens: the
    // kernel then answers every connect with a reset (ECONNREFUSED), and no
    // other program can take the port meanwhile. Address reuse stays off there,
    // since with it another socket could bind the same port and listen. A
    // comeback simulator starts the same way and later listens on this very
    // socket, so the port is never free in between. For UDP it stays off as
    // well: there it would let a second socket share the port.
    const bool refusing = opt_.mode == Mode::Refuse || opt_.mode == Mode::Comeback;
    if (!refusing && !udp) {
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
    if (udp && refusing) {
      // A UDP port cannot be held without taking what is sent there. The port
      // is closed before the ready file is written, so every datagram sent
      // after that meets a closed port and the kernel answers with ICMP port
      // unreachable (ECONNREFUSED on a connected sender). Meanwhile another
      // program may bind the port; on loopback in a test that is unlikely.
      ::close(listenFd_);
      listenFd_ = -1;
      return true;
    }
    if (udp) {
      listening_ = true;
      return true;
    }
    if (!refusing && !startListening()) return false;
    return true;
  }

  // A pseudo-terminal stands for the serial line: the client opens the slave
  // device, the simulator reads and answers on the master.
  bool openPty() {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
      warn(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
      return false;
    }
    Connection conn;
    conn.fd = master;
    conn.tag = "serial: ";
    conns_[1] = std::move(conn);
    char name[256] = {};
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
      warn(std::string("cannot unlock the pseudo-terminal: ") + std::strerror(errno));
      return false;
    }
    device_ = name;
    // The simulator keeps the slave open for as long as the device exists:
    // the line settings then stay, and the master reads no EIO while no
    // client has it open. Raw mode: no echo, no CR/LF translation, no signals.
    slaveFd_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio{};
    if (slaveFd_ < 0 || ::tcgetattr(slaveFd_, &tio) != 0) {
      warn("cannot open " + device_ + ": " + std::strerror(errno));
      return false;
    }
    ::cfmakeraw(&tio);
    if (::tcsetattr(slaveFd_, TCSANOW, &tio) != 0) {
      warn("cannot set raw mode on " + device_ + ": " + std::strerror(errno));
      return false;
    }
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
    const bool udp = opt_.transport == Transport::Udp;

    std::vector<pollfd> fds;
    std::vector<long long> ids;
    while (gStopSignal == 0) {
      if (gComeBack != 0 && opt_.mode == Mode::Comeback && !listening_) {
        if (!startListening()) return kExitFailure;
        say("listening on " + where());
      }
      const auto now = SteadyClock::now();
      std::optional<SteadyClock::time_point> wake;
      auto wakeAt = [&wake](SteadyClock::time_point t) {
        if (!wake || t < *wake) wake = t;
      };
      fds.clear();
      ids.clear();
      if (listening_) {
        flushDatagrams(now);
        const bool stuck = !datagramAnswers_.empty() && datagramAnswers_.front().due <= now;
        if (!datagramAnswers_.empty() && !stuck) wakeAt(datagramAnswers_.front().due);
        fds.push_back({listenFd_, static_cast<short>(POLLIN | (stuck ? POLLOUT : 0)), 0});
        ids.push_back(0);
      }
      for (auto& [id, conn] : conns_) {
        flushStream(conn, now);
        short events = POLLIN;
        if (opt_.mode == Mode::NoRead) {
          events = POLLRDHUP;  // unread connections are only watched for the peer going away
        } else if (opt_.mode == Mode::SlowRead && now < conn.nextRead) {
          // Not due yet: only a reset or hang-up (always reported) wakes us early.
          events = 0;
          wakeAt(conn.nextRead);
        } else if (opt_.mode == Mode::Garbage) {
          events = POLLIN | POLLOUT;
        }
        if (!conn.unsent.empty()) events |= POLLOUT;
        if (!conn.pending.empty()) wakeAt(conn.pending.front().due);
        fds.push_back({conn.fd, events, 0});
        ids.push_back(id);
      }
      if (limited) wakeAt(deadline);
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
        if (ids[i] != 0) {
          if (!serve(ids[i], fds[i].revents)) return kExitFailure;
        } else if (!udp) {
          acceptAll();
        } else if ((fds[i].revents & ~POLLOUT) && !receiveDatagram()) {
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
            Connection conn;
            conn.fd = fd;
            conn.tag = tag;
            conn.nextRead = SteadyClock::now();
            conns_[id] = std::move(conn);
          }
          break;
        case Mode::Refuse:
        case Mode::Vanish:
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
    const std::string& tag = conn.tag;
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
    }
    // Room to write only: answers go out at the top of the loop.
    if (!(revents & (POLLIN | POLLERR | POLLHUP | POLLRDHUP))) return true;
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
    // One byte per period for slowread; as much as one read gives otherwise.
    const std::size_t room = opt_.mode == Mode::SlowRead ? 1 : sizeof buf;
    for (;;) {
      // read() rather than recv(): the master side of a pty is no socket.
      ssize_t n = ::read(conn.fd, buf, room);
      if (n > 0) {
        conn.bytes += static_cast<unsigned long long>(n);
        std::string_view chunk(buf, static_cast<std::size_t>(n));
        if (!record(tag, chunk)) return false;
        if (opt_.mode == Mode::SlowRead) conn.nextRead = SteadyClock::now() + kSlowReadPeriod;
        int lines = 0;
        if (opt_.protocol == Protocol::Uecp) {
          // What unplugs the device stays unanswered, as a line does.
          const bool answers = opt_.mode != Mode::Vanish;
          lines = takeFrames(conn.frames, chunk, tag, answers ? &conn.pending : nullptr, {});
          if (lines < 0) return false;
        } else {
          lines = completeLines(chunk, conn.lineBytes);
        }
        if (opt_.mode == Mode::Vanish && lines > 0) {
          // Unplugged: closing the master hangs up every open slave (reads
          // see end of file, writes EIO); with the last slave closed the
          // device path goes away too.
          say(tag + "vanished after " + std::to_string(conn.bytes) + " bytes");
          drop(id);
          ::close(slaveFd_);
          slaveFd_ = -1;
          return true;
        }
        if (opt_.protocol == Protocol::Ascii) queueAnswers(lines, conn.pending, tag, {});
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

  // Takes one datagram; false only on a fatal error (output file).
  bool receiveDatagram() {
    char buf[65536];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(listenFd_, buf, sizeof buf, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        warn(std::string("recvfrom: ") + std::strerror(errno));
      }
      return true;
    }
    const std::string tag = "datagram " + std::to_string(++datagrams_) + " from " +
                            formatIpv4(from.sin_addr) + ":" + std::to_string(ntohs(from.sin_port)) +
                            ": ";
    std::string_view chunk(buf, static_cast<std::size_t>(n));
    if (!record(tag, chunk)) return false;
    if (opt_.protocol == Protocol::Uecp) {
      varnok::uecp::FrameReader frames;  // a datagram is decoded on its own
      return takeFrames(frames, chunk, tag, &datagramAnswers_, from) >= 0;
    }
    std::size_t lineBytes = 0;  // a datagram is framed on its own
    queueAnswers(completeLines(chunk, lineBytes), datagramAnswers_, tag, from);
    return true;
  }

  // Writes a received chunk to the output file and shows it; false when the file fails.
  bool record(const std::string& tag, std::string_view chunk) {
    totalBytes_ += chunk.size();
    if (outFd_ >= 0 && !writeAll(outFd_, chunk.data(), chunk.size())) {
      warn("cannot write " + opt_.outPath + ": " + std::strerror(errno));
      return false;
    }
    const std::string count = std::to_string(chunk.size()) + " bytes: ";
    if (opt_.print == PrintStyle::Text) {
      say(tag + count + escapeBytes(chunk));
    } else if (opt_.print == PrintStyle::Hex) {
      say(tag + count + hexBytes(chunk));
    }
    return true;
  }

  void queueAnswers(int lines, std::deque<Pending>& queue, const std::string& tag,
                    const sockaddr_in& to) {
    if (opt_.reply == Reply::Silent) return;
    const auto due = SteadyClock::now() + std::chrono::milliseconds(opt_.replyDelayMs);
    const std::string ok = opt_.okText + "\r\n";
    const std::string no = opt_.errorText + "\r\n";
    for (int i = 0; i < lines; ++i) {
      ++lines_;
      std::string answer = ok;
      if (opt_.reply == Reply::No ||
          (opt_.refuseEvery > 0 &&
           lines_ % static_cast<unsigned long long>(opt_.refuseEvery) == 0)) {
        answer = no;
      } else if (opt_.reply == Reply::Twice) {
        answer = ok + ok;
      }
      if (opt_.print != PrintStyle::None) {
        say(tag + "line " + std::to_string(lines_) + " answered " + escapeBytes(answer));
      }
      queue.push_back(Pending{due, std::move(answer), to});
    }
  }

  // Feeds a chunk to a peer's reader and handles every frame and fault it
  // completes: listed in the elements file, shown, and answered into `queue`
  // unless that is null. Gives how many there were, -1 when the elements file
  // fails.
  int takeFrames(varnok::uecp::FrameReader& reader, std::string_view chunk, const std::string& tag,
                 std::deque<Pending>* queue, const sockaddr_in& to) {
    reader.feed({reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size()});
    const auto due = SteadyClock::now() + std::chrono::milliseconds(opt_.replyDelayMs);
    const bool answers = queue != nullptr && opt_.reply != Reply::Silent;
    int taken = 0;
    while (auto found = reader.next()) {
      ++taken;
      std::string line, answer, shown;  // shown: the answer's messages on stdout
      if (found->ok()) {
        const varnok::uecp::Frame& frame = found->value();
        ++frames_;
        line = frameLine(frame);
        if (answers) {
          ++lines_;
          const bool refused = opt_.reply == Reply::No ||
                               (opt_.refuseEvery > 0 &&
                                lines_ % static_cast<unsigned long long>(opt_.refuseEvery) == 0);
          const auto message = acknowledgement(refused ? opt_.nackCode : 0, frame.sequence);
          answer = frameBytes(frame.address, message);
          shown = lowerHex(message);
          if (!refused && opt_.reply == Reply::Twice) {
            answer += answer;
            shown += " " + shown;
          }
        }
      } else {
        const int code = found->error().code;
        line = "fault " + std::to_string(code) + " " + std::string(varnok::uecp::ackMeaning(code));
        if (answers) {
          const auto message = acknowledgement(code, 0);
          answer = frameBytes(0, message);
          shown = lowerHex(message);
        }
      }
      if (elementsFd_ >= 0) {
        const std::string text = line + "\n";
        if (!writeAll(elementsFd_, text.data(), text.size())) {
          warn("cannot write " + opt_.elementsPath + ": " + std::strerror(errno));
          return -1;
        }
      }
      if (opt_.print != PrintStyle::None) {
        const std::string what = found->ok() ? "frame " + std::to_string(frames_) + ": " : "";
        say(tag + what + line + (shown.empty() ? "" : ", answered " + shown));
      }
      if (!answer.empty()) queue->push_back(Pending{due, std::move(answer), to});
    }
    return taken;
  }

  // Writes the answers that are due, as far as the peer takes them.
  void flushStream(Connection& conn, SteadyClock::time_point now) {
    while (!conn.pending.empty() && conn.pending.front().due <= now) {
      conn.unsent += conn.pending.front().bytes;
      conn.pending.pop_front();
    }
    while (!conn.unsent.empty()) {
      const ssize_t n =
          opt_.transport == Transport::Tcp
              ? ::send(conn.fd, conn.unsent.data(), conn.unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT)
              : ::write(conn.fd, conn.unsent.data(), conn.unsent.size());
      if (n > 0) {
        sentBack_ += static_cast<unsigned long long>(n);
        conn.unsent.erase(0, static_cast<std::size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return;  // POLLOUT brings us back
      } else {
        // The peer is gone; the next read reports it.
        conn.unsent.clear();
        conn.pending.clear();
        return;
      }
    }
  }

  void flushDatagrams(SteadyClock::time_point now) {
    while (!datagramAnswers_.empty() && datagramAnswers_.front().due <= now) {
      const Pending& answer = datagramAnswers_.front();
      const ssize_t n =
          ::sendto(listenFd_, answer.bytes.data(), answer.bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                   reinterpret_cast<const sockaddr*>(&answer.to), sizeof answer.to);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // POLLOUT brings us back
      if (n < 0) {
        warn("cannot answer " + formatIpv4(answer.to.sin_addr) + ":" +
             std::to_string(ntohs(answer.to.sin_port)) + ": " + std::strerror(errno));
      } else {
        sentBack_ += static_cast<unsigned long long>(n);
      }
      datagramAnswers_.pop_front();
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
  int listenFd_ = -1;  // listening TCP socket or the UDP socket
  int slaveFd_ = -1;   // serial: the simulator's own hold on the device
  int outFd_ = -1;
  int elementsFd_ = -1;
  std::uint16_t boundPort_ = 0;
  std::string device_;  // serial: path of the slave device
  bool listening_ = false;
  std::map<long long, Connection> conns_;
  std::deque<Pending> datagramAnswers_;
  long long totalConns_ = 0;
  long long turnedAway_ = 0;
  unsigned long long datagrams_ = 0;
  unsigned long long totalBytes_ = 0;
  unsigned long long sentBack_ = 0;
  unsigned long long lines_ = 0;   // command lines or frames answered so far
  unsigned long long frames_ = 0;  // uecp: frames decoded so far
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
