// Encoders on UDP and on serial lines, and encoders that confirm each
// command, over real loopback sockets and pseudo-terminals.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "dispatcher_fixture.h"
#include "support/loopback.h"
#include "support/threaded_peer.h"

namespace varnok::testing {
namespace {

class TransportTest : public DispatcherTest {
 protected:
  // One encoder named E with the given keys besides its name.
  void startWith(const std::string& keys, const std::string& general = "") {
    create("[General]\nEncoderCount=1\n" + general + "[Inputs]\nSocket=0\n[Encoder1]\nName=E\n" +
           keys);
  }
  const Encoder& encoder() const { return dispatcher->encoders()[0]; }
  std::string cell(int col) const { return dispatcher->statusTable().cell(col, 1); }
  int linesStartingWith(const std::string& text) const {
    int n = 0;
    for (const std::string& line : logTexts()) n += line.starts_with(text);
    return n;
  }
};

// A pseudo-terminal pair: the encoder's end (the master, read and written
// by the test) and the device path the program opens.
struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    grantpt(master);
    unlockpt(master);
    path = ptsname(master);
    keep = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);  // keeps the line up
  }
  ~Pty() {
    if (master >= 0) ::close(master);
    if (keep >= 0) ::close(keep);
  }
  std::string read() {
    char buf[4096];
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    return got;
  }
  void hangUp() {
    ::close(master);
    ::close(keep);
    master = keep = -1;
  }
  int master = -1;
  int keep = -1;
  std::string path;
  std::string got;
};

TEST_F(TransportTest, SettingsThatCannotBeTakenKeepTheEncoderOff) {
  struct Row {
    std::string keys;
    std::string logged;  // empty: taken
    std::string host, port;
  };
  const Row rows[] = {
      {"Transport=carrier pigeon\n", "Transport=carrier pigeon (E): tcp, udp or serial", "", ""},
      {"Transport=serial\nBaud=9600\n", "Device= (E): a serial encoder needs its device", "", ""},
      {"Transport=serial\nDevice=/dev/x\nBaud=0\n", "Baud=0 (E)", "", ""},
      {"Transport=serial\nDevice=/dev/x\nBaud=57601\n", "Baud=57601 (E)", "", ""},
      {"Transport=serial\nDevice=/dev/x\nBaud=fast\n", "Baud=fast (E)", "", ""},
      {"Transport=serial\nDevice=/dev/x\nFlowControl=xon\n", "FlowControl=xon (E)", "", ""},
      {"Transport=udp\nHost=127.0.0.1\nMaxDatagram=0\n", "MaxDatagram=0 (E)", "", ""},
      {"ReplyError=NO\n", "ReplyError=NO (E): needs ReplyOk", "", ""},
      {"ReplyOk=OK\nReplyTimeoutMs=2s\n", "ReplyTimeoutMs=2s (E)", "", ""},
      {"Transport=Serial\nDevice=/dev/ttyUSB0\nBaud=115200\nFlowControl=rtscts\n", "",
       "/dev/ttyUSB0", "115200"},
      {"Transport=UDP\nHost=10.1.2.3\nPort=5000\n", "", "10.1.2.3", "5000"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.keys);
    startWith(row.keys);
    const bool taken = row.logged.empty();
    EXPECT_EQ(encoder().enabled, taken);
    EXPECT_EQ(linesStartingWith("Encoder setting refused - "), taken ? 0 : 1);
    if (!taken) {
      EXPECT_EQ(linesStartingWith("Encoder setting refused - " + row.logged), 1);
    } else {
      EXPECT_EQ(cell(kColHost), row.host);
      EXPECT_EQ(cell(kColPort), row.port);
    }
    dispatcher.reset();
  }
}

// An encoder over TCP that confirms: what each way of answering makes of
// three commands, with ErrorLimit=2.
TEST_F(TransportTest, ConfirmedDeliveryCountsWhatTheEncoderSays) {
  struct Row {
    const char* name;
    std::function<std::string(int)> reply;
    std::uint64_t delivered, failed;
    int errors;
    bool suspended;
    const char* logged;
    int timeoutMs = 30000;  // virtual: the peer answers in real time
  };
  const std::string longLine(1 << 20, 'X');
  const Row rows[] = {
      {"OK to each", [](int) { return "OK\r\n"; }, 3, 0, 0, false, nullptr},
      {"OK twice to each: the second confirms nothing", [](int) { return "OK\r\nOK\r\n"; }, 3, 0, 0,
       false, nullptr},
      {"chatter, then OK", [](int) { return "BUSY\r\n\nOK\r\n"; }, 3, 0, 0, false, nullptr},
      {"NO to each: suspended at the limit", [](int) { return "NO\r\n"; }, 0, 2, 2, true,
       "Command refused by the encoder - reply \"NO\" (E): C0:a"},
      {"NO, OK, NO: an OK resets the row", [](int n) { return n == 2 ? "OK\r\n" : "NO\r\n"; }, 1, 2,
       2, false, nullptr},
      {"silence: each times out, on a fresh connection", [](int) { return ""; }, 0, 2, 2, true,
       "Command refused by the encoder - no reply within 300 ms (E): C0:a", 300},
      {"a 1 MiB line without an end, then OK", [&](int) { return longLine + "\r\nOK\r\n"; }, 3, 0,
       0, false, "Reply line of more than 4096 bytes ignored (E)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ThreadedEncoder peer({.reply = row.reply});
    startWith("Host=127.0.0.1\nPort=" + std::to_string(peer.port) +
                  "\nReplyOk=OK\nReplyError=NO\nReplyTimeoutMs=" + std::to_string(row.timeoutMs) +
                  "\n",
              "Threads=1\nErrorLimit=2\n");
    for (const std::string& c : commands(3, 8)) dispatcher->queueCommand(c);
    const auto done = [&] {
      const TrafficCounters& t = dispatcher->counters();
      return t.delivered == row.delivered && t.failedSends == row.failed &&
             (row.suspended
                  ? !encoder().active
                  : queueSize(0) == 0 && dispatcher->senderSlots()[0].commandsInFlight() == 0);
    };
    EXPECT_TRUE(tickUntil(done)) << dispatcher->counters().delivered << " delivered, "
                                 << dispatcher->counters().failedSends << " failed";
    EXPECT_EQ(encoder().errors, row.errors);
    EXPECT_EQ(encoder().refused, static_cast<std::int64_t>(row.failed));
    EXPECT_EQ(!encoder().active, row.suspended);
    if (row.logged) {
      EXPECT_EQ(linesStartingWith(row.logged), 1);
    }
    EXPECT_LE(linesStartingWith("Reply line"), 1);
    dispatcher.reset();
  }
}

// One datagram per command, whole; a larger one is refused, never cut; a
// port that answers "unreachable" is a failed attempt.
TEST_F(TransportTest, UdpEncoderTakesOneDatagramPerCommand) {
  const int receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = loopbackAddress("127.0.0.1", 0);
  ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  const std::uint16_t port = localPort(receiver);
  startWith("Transport=udp\nHost=127.0.0.1\nPort=" + std::to_string(port) + "\nMaxDatagram=16\n",
            "Threads=1\nErrorLimit=2\n");
  dispatcher->queueCommand("PS=ONE\r");
  dispatcher->queueCommand("RT1=" + std::string(20, 'x') + "\r");
  dispatcher->queueCommand("PS=TWO\r");
  std::vector<std::string> got;
  ASSERT_TRUE(tickUntil([&] {
    char buf[2048];
    const ssize_t n = ::recv(receiver, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) got.emplace_back(buf, static_cast<std::size_t>(n));
    return got.size() == 2 && dispatcher->counters().delivered == 2;
  }));
  EXPECT_EQ(got, (std::vector<std::string>{"PS=ONE\r", "PS=TWO\r"}));
  EXPECT_EQ(dispatcher->counters().failedSends, 1u);
  EXPECT_TRUE(logged("Command refused - 25 bytes, more than MaxDatagram=16 (E)"));

  ::close(receiver);  // now the port answers "unreachable"
  for (int i = 0; i < 4; ++i) dispatcher->queueCommand("PS=GONE" + std::to_string(i) + "\r");
  ASSERT_TRUE(tickUntil([&] { return !encoder().active; }));
  EXPECT_EQ(encoder().errors, 2);
  EXPECT_TRUE(logged("Socket Error 10061 - Connection refused (E)"));
  EXPECT_TRUE(countersAddUp());
}

// A serial encoder on a pseudo-terminal: it confirms, then its line goes
// away (an unplugged adapter) and that counts as a failure; a FIFO or a
// regular file is no serial device.
TEST_F(TransportTest, SerialEncoderOnAPseudoTerminal) {
  {
    Pty pty;
    startWith("Transport=serial\nDevice=" + pty.path + "\nBaud=19200\nReplyOk=+\n", "Threads=1\n");
    dispatcher->queueCommand("PS=ONE\r");
    dispatcher->queueCommand("PS=TWO\r");
    std::size_t answered = 0;
    ASSERT_TRUE(tickUntil([&] {
      const std::string got = pty.read();
      for (std::size_t n = 0; n < got.size(); ++n) {
        if (got[n] == '\r' && n + 1 > answered) {
          answered = n + 1;
          (void)::write(pty.master, "+\r\n", 3);
        }
      }
      return dispatcher->counters().delivered == 2;
    }));
    EXPECT_EQ(pty.got, "PS=ONE\rPS=TWO\r");  // the second only after the first's reply
    EXPECT_EQ(cell(kColHost), pty.path);
    EXPECT_EQ(cell(kColPort), "19200");

    dispatcher->queueCommand("PS=THREE\r");
    ASSERT_TRUE(tickUntil([&] { return pty.read().size() > 14; }));
    pty.hangUp();
    const std::string gone = "Serial Error 5 - Input/output error (" + pty.path + ") (E)";
    ASSERT_TRUE(tickUntil([&] { return logged(gone); }));
    EXPECT_EQ(dispatcher->counters().failedSends, 1u);  // PS=THREE, written but unconfirmed
    EXPECT_EQ(encoder().errors, 0);                     // as a reset would count
    dispatcher->queueCommand("PS=FOUR\r");              // the next opening fails, and counts
    ASSERT_TRUE(tickUntil([&] { return encoder().errors == 1; }));
    EXPECT_TRUE(logged("Serial Error 2 - No such file or directory (" + pty.path + ") (E)"));
    EXPECT_EQ(queueSize(0), 1u);
    dispatcher.reset();
  }
  const std::string fifo = dir.folder() + "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  dir.write("plain", "not a line\n");
  for (const std::string& device : {fifo, dir.folder() + "plain"}) {
    SCOPED_TRACE(device);
    startWith("Transport=serial\nDevice=" + device + "\n", "Threads=1\nErrorLimit=1\n");
    dispatcher->queueCommand("PS=X\r");
    ASSERT_TRUE(tickUntil([&] { return !encoder().active; }));
    EXPECT_TRUE(logged("Serial Error 25 - Inappropriate ioctl for device (" + device + ") (E)"));
    EXPECT_EQ(queueSize(0), 1u);  // nothing lost
    dispatcher.reset();
  }
}

}  // namespace
}  // namespace varnok::testing
