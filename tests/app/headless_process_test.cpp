// The program as scripts see it: started headless in its own folder.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>

#include "installed.h"
#include "support/loopback.h"

namespace varnok::testing {
namespace {

TEST(HeadlessProcess, StartsLogsDumpsAndClosesOnSignal) {
  Installed app(
      "[General]\nEncoderCount=2\nThreads=2\nRepeat=0\nMaxMinutesInQueue=10\nErrorLimit=3\n"
      "SuspendForMinutes=5\n[Inputs]\nListenOnPort=0\nSocket=0\nFile=1\nCmdLine=1\n"
      "[Encoder1]\nName=Studio A\nHost=127.0.0.20\nPort=1024\nEnabled=1\n"
      "[Encoder2]\nName=Studio B\nHost=127.0.0.21\nPort=1024\nEnabled=0\n");
  ChildProcess varnok(app.program(), {}, app.folder, app.env());
  ASSERT_TRUE(varnok.waitForOutput("Configuration file loaded\n")) << varnok.out() << varnok.err();
  const std::string out = varnok.out();
  EXPECT_EQ(out.rfind("Varnok - RDS command dispatcher\n", 0), 0u) << out;
  EXPECT_NE(out.find("Varnok v. 1.0b starting up...\n"), std::string::npos);
  EXPECT_EQ(out.find("Listening on port"), std::string::npos);

  varnok.signal(SIGUSR1);
  const std::string table =
      "RDS Encoder Name\tHost\tPort\tQueue\tThread\tErrors\tEnabled\n"
      "Studio A\t127.0.0.20\t1024\t0\t\t\tYes\n"
      "Studio B\t127.0.0.21\t1024\t0\t\t\tNo\n\n";
  ASSERT_TRUE(varnok.waitForOutput(table)) << varnok.out();

  varnok.signal(SIGTERM);
  EXPECT_EQ(varnok.wait(), 0) << varnok.err();
}

TEST(HeadlessProcess, GarbageConfigurationStillStarts) {
  std::string junk;
  for (int i = 0; i < 100000; ++i) junk.push_back(static_cast<char>((i * 131) & 0xff));
  junk += "\n[Inputs]\nSocket=0\n";  // no listening on a real port from a test
  Installed app(junk);
  ChildProcess varnok(app.program(), {}, app.folder, app.env());
  ASSERT_TRUE(varnok.waitForOutput("Configuration file loaded\n")) << varnok.err();
  varnok.signal(SIGINT);
  EXPECT_EQ(varnok.wait(), 0);
}

// Standard output on a pipe that nobody reads must not stop the program:
// producers are still answered, lines that find no room are counted, and
// once the reader catches up one line says how many are missing.
TEST(HeadlessProcess, KeepsServingWhileNobodyReadsStandardOutput) {
  const std::uint16_t port = closedPort();
  const std::string listening = "Listening on port " + std::to_string(port);
  Installed app("[Inputs]\nListenOnPort=" + std::to_string(port) + "\n");
  ChildProcess varnok(app.program(), {}, app.folder, app.env());
  ASSERT_TRUE(varnok.waitForOutput(listening + "\n")) << varnok.err();

  // Each producer adds two lines of about 55 bytes: 12000 of them are far
  // more than the pipe (64 KiB) and the backlog (1 MiB) hold.
  constexpr int kProducers = 12000;
  const std::string ack = "\r\n+\r\n\r\n";
  for (int i = 0; i < kProducers; ++i) {
    ASSERT_EQ(produce(port, "RT=" + std::to_string(i) + "\r", 7, 3000), ack)
        << "producer " << i << " got no acknowledgement within 3 s";
  }

  const std::string client = "Client 127.0.0.1:" + std::to_string(port);
  const std::string noticeText = " log lines dropped: standard output was not being read";
  long clientLines = 0, dropped = 0, notices = 0, strangeLines = 0;
  std::string strange;
  auto tally = [&] {
    clientLines = dropped = notices = strangeLines = 0;
    std::istringstream lines(varnok.out());
    std::string line;
    while (std::getline(lines, line)) {
      const std::size_t at = line.find(noticeText);
      if (at != std::string::npos && at + noticeText.size() == line.size()) {
        ++notices;
        dropped += std::stol(line.substr(0, at));
      } else if (line.size() > 22 && line[0] == '<' && line.compare(20, 2, "> ") == 0 &&
                 (line.compare(22, std::string::npos, client + " connected") == 0 ||
                  line.compare(22, std::string::npos, client + " disconnected") == 0)) {
        ++clientLines;
      } else if (line.find(listening) == std::string::npos &&
                 line.find("Configuration file loaded") == std::string::npos &&
                 line.find("starting up...") == std::string::npos &&
                 line != "Varnok - RDS command dispatcher") {
        ++strangeLines;
        strange = line;
      }
    }
  };
  // Reading now: every line the producers caused is either there, whole, or
  // counted in the notice.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (tally(); clientLines + dropped < 2 * kProducers; tally()) {
    if (std::chrono::steady_clock::now() >= end) break;
    varnok.pump(100);
  }
  EXPECT_EQ(notices, 1);
  EXPECT_GT(dropped, 0);
  EXPECT_EQ(clientLines + dropped, 2 * kProducers);
  EXPECT_EQ(strangeLines, 0) << strange;

  // Unread again when the program is told to end: it gives up on what is
  // left after a short wait instead of hanging.
  for (int i = 0; i < 700; ++i) ASSERT_EQ(produce(port, "RT=more\r", 7, 3000), ack);
  varnok.signal(SIGTERM);
  EXPECT_EQ(varnok.waitLeavingOutput(10000), 0);
}

}  // namespace
}  // namespace varnok::testing
