// Encoders on UDP and on serial lines, and encoders that confirm each
// command, over real loopback sockets and pseudo-terminals.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "dispatcher_fixture.h"
#include "encoder/uecp.h"
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
      {"Protocol=uecp2\n", "Protocol=uecp2 (E): ascii or uecp", "", ""},
      {"Confirm=uecp\n", "Confirm=uecp (E): needs Protocol=uecp", "", ""},
      {"Protocol=uecp\nConfirm=yes\n", "Confirm=yes (E): none or uecp", "", ""},
      {"Protocol=uecp\nSiteAddress=1024\n", "SiteAddress=1024 (E): 0 to 1023", "", ""},
      {"Protocol=uecp\nEncoderAddress=64\n", "EncoderAddress=64 (E)", "", ""},
      {"Protocol=uecp\nDataSet=256\n", "DataSet=256 (E)", "", ""},
      {"Protocol=uecp\nReplyOk=OK\n", "ReplyOk=OK (E): a UECP encoder confirms with Confirm", "",
       ""},
      {"Protocol=uecp\nTransport=udp\nMaxDatagram=100\n", "MaxDatagram=100 (E): a UECP frame", "",
       ""},
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

// A UECP encoder on a pseudo-terminal (site 5, encoder 3, DSN 1, PSN 2),
// answered by the test frame by frame: what each way of acknowledging makes
// of three commands of two lines each, with ErrorLimit=2.
TEST_F(TransportTest, UecpEncoderAcknowledgesFrameByFrame) {
  using uecp::Bytes;
  const auto ack = [](int code, std::optional<int> sequence) {
    Bytes element{0x18, static_cast<std::uint8_t>(code)};
    if (sequence) element.push_back(static_cast<std::uint8_t>(*sequence));
    const Bytes f = uecp::frame(0, 0, element).value();
    return std::string(f.begin(), f.end());
  };
  struct Row {
    const char* name;
    std::function<std::string(int sequence)> answer;  // "" for silence
    std::uint64_t delivered, failed;
    bool suspended;
    const char* logged;
  };
  const Row rows[] = {
      {"OK with the sequence", [&](int n) { return ack(0, n); }, 3, 0, false, nullptr},
      {"OK without a sequence", [&](int) { return ack(0, std::nullopt); }, 3, 0, false, nullptr},
      {"OK twice: the second is not awaited", [&](int n) { return ack(0, n) + ack(0, n); }, 3, 0,
       false, "UECP acknowledgement ignored - sequence 1 is not awaited (E)"},
      {"noise, a broken frame, an unknown sequence, then OK",
       [&](int n) {
         std::string broken = ack(0, n);
         broken[5] ^= 0x40;
         return "\x01junk" + broken + ack(0, 200) + ack(0, n);
       },
       3, 0, false, "UECP frame from the encoder ignored - UECP CRC error (E)"},
      {"silence", [](int) { return std::string(); }, 0, 2, true,
       "Command refused by the encoder - no reply within 300 ms (E)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Pty pty;
    startWith("Transport=serial\nDevice=" + pty.path +
                  "\nProtocol=uecp\nSiteAddress=5\nEncoderAddress=3\nDataSet=1\n"
                  "ServiceNumber=2\nConfirm=uecp\nReplyTimeoutMs=300\n",
              "Threads=1\nErrorLimit=2\n");
    for (int i = 0; i < 3; ++i) dispatcher->queueCommand("PS=P" + std::to_string(i) + "\rPTY=9\r");
    uecp::FrameReader reader;
    std::vector<uecp::Frame> frames;
    std::size_t seen = 0;
    ASSERT_TRUE(tickUntil([&] {
      const std::string got = pty.read();
      reader.feed(
          std::span(reinterpret_cast<const std::uint8_t*>(got.data()) + seen, got.size() - seen));
      seen = got.size();
      while (auto next = reader.next()) {
        if (!next->ok()) return false;  // a frame we sent must decode
        frames.push_back(next->value());
        const std::string answer = row.answer(frames.back().sequence);
        (void)::write(pty.master, answer.data(), answer.size());
      }
      const TrafficCounters& t = dispatcher->counters();
      return t.delivered == row.delivered && t.failedSends == row.failed &&
             (row.suspended ? !encoder().active : queueSize(0) == 0);
    }));
    // One element per frame, in order, numbered from 1; the second line of a
    // command only once the first is acknowledged.
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].address, 5 * 64 + 3);
    EXPECT_EQ(frames[0].message, (Bytes{0x02, 1, 2, 'P', '0', ' ', ' ', ' ', ' ', ' ', ' '}));
    for (std::size_t i = 0; i < frames.size() && row.delivered > 0; ++i) {
      EXPECT_EQ(frames[i].sequence, i + 1);
      if (i % 2 == 1) {
        EXPECT_EQ(frames[i].message, (Bytes{0x07, 1, 2, 9}));
      }
    }
    EXPECT_EQ(frames.size(), row.delivered > 0 ? 6u : 2u);
    EXPECT_EQ(encoder().refused, static_cast<std::int64_t>(row.failed));
    if (row.logged) {
      EXPECT_EQ(linesStartingWith(row.logged), std::max<int>(1, static_cast<int>(row.failed)));
    }
    dispatcher.reset();
  }
}

// Unacknowledged: every frame of a command goes at once. RT+ data is
// preceded by its setup once per connection; the A/B flag and the item
// toggle mark new texts only. A command with a line the table cannot map
// is not sent, and its key is logged once.
TEST_F(TransportTest, UecpCommandsBecomeFramedElements) {
  Pty pty;
  startWith("Transport=serial\nDevice=" + pty.path + "\nProtocol=uecp\n", "Threads=1\n");
  const std::string song = "RT=Ab - Cd\rRTP=4,0,1,1,5,1\r";
  for (const std::string& c : {song, std::string("DPS=x\rPS=LOST\r"), song,
                               std::string("RT=Next\n"), std::string("DPS=y\r")}) {
    dispatcher->queueCommand(c);
  }
  ASSERT_TRUE(tickUntil([&] {
    pty.read();
    return dispatcher->counters().delivered == 3 && dispatcher->counters().failedSends == 2;
  }));
  uecp::FrameReader reader;
  reader.feed(std::span(reinterpret_cast<const std::uint8_t*>(pty.got.data()), pty.got.size()));
  std::vector<std::string> got;
  while (auto next = reader.next()) {
    ASSERT_TRUE(next->ok());
    std::string hex;
    for (const std::uint8_t b : next->value().message) {
      char two[4];
      std::snprintf(two, sizeof two, "%02X", b);
      hex += two;
    }
    got.push_back(std::to_string(next->value().sequence) + " " + hex);
  }
  const std::vector<std::string> expected = {
      "1 40054BD7160000",            // RT+ setup, ahead of the first command with RT+
      "2 0A000008014162202D204364",  // a new text: A/B toggled
      "3 46084BD70008800208A1",      // item running, toggle 0
      "4 0A000008004162202D204364",  // the same text again: no toggle
      "5 46084BD70008800208A1",      // the same item
      "6 0A000005014E657874",        // a new text
  };
  EXPECT_EQ(got, expected);
  EXPECT_EQ(linesStartingWith("UECP command not sent - no UECP element for DPS (E)"), 1);
}

}  // namespace
}  // namespace varnok::testing
