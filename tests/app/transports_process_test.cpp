// The program with an encoder on each transport: a serial line (a
// pseudo-terminal) that confirms, a UDP one, a TCP one that refuses every
// command, and a TCP one as encoders have always been.
#include <gtest/gtest.h>

#include "installed.h"
#include "process_harness.h"
#include "support/loopback.h"

namespace varnok::testing {
namespace {

TEST(TransportsProcess, EachEncoderGetsItsBytesAndTheCountersAddUp) {
  TempDir work;
  EncoderSim serial(work, "serial", {"--transport", "serial", "--reply", "ok"});
  EncoderSim datagram(work, "datagram", {"--transport", "udp"});
  EncoderSim refuser(work, "refuser", {"--reply", "no"});
  EncoderSim plain(work, "plain");
  ASSERT_FALSE(serial.device().empty());
  ASSERT_NE(datagram.port(), 0);
  const std::uint16_t listen = closedPort();
  const std::uint16_t http = closedPort();
  const auto tcp = [](const EncoderSim& sim) {
    return "Host=127.0.0.1\nPort=" + std::to_string(sim.port()) + "\n";
  };
  Installed app("[General]\nEncoderCount=4\nThreads=4\nErrorLimit=3\n[Inputs]\nListenOnPort=" +
                std::to_string(listen) + "\n[Status]\nHttpPort=" + std::to_string(http) +
                "\n[Encoder1]\nName=Serial\nTransport=serial\nDevice=" + serial.device() +
                "\nBaud=19200\nReplyOk=OK\nReplyError=NO\n[Encoder2]\nName=Datagram\n"
                "Transport=udp\n" +
                tcp(datagram) + "[Encoder3]\nName=Refuser\nReplyOk=OK\nReplyError=NO\n" +
                tcp(refuser) + "[Encoder4]\nName=Plain\n" + tcp(plain));
  auto varnok = app.start();
  ASSERT_TRUE(varnok->waitForOutput("Listening on port " + std::to_string(listen)))
      << varnok->out() << varnok->err();
  const std::string all = "PS=ONE\rPS=TWO\rPS=THREE\r";
  for (const char* command : {"PS=ONE\r", "PS=TWO\r", "PS=THREE\r"}) {
    ASSERT_EQ(produce(listen, command, 7), "\r\n+\r\n\r\n");
  }
  EXPECT_TRUE(eventually(
      [&] {
        return serial.received() == all && datagram.received() == all &&
               refuser.received() == all && plain.received() == all;
      },
      15000, {varnok.get()}))
      << serial.received() << "|" << datagram.received() << "|" << refuser.received() << "|"
      << plain.received();

  const auto rows = statusDump(*varnok);
  ASSERT_EQ(rows.size(), 4u) << varnok->out();
  EXPECT_EQ(rows.at("Serial").host, serial.device());
  EXPECT_EQ(rows.at("Serial").port, "19200");
  EXPECT_EQ(rows.at("Refuser").errors, "3");
  EXPECT_EQ(rows.at("Refuser").enabled, "Suspended");
  for (const char* name : {"Serial", "Datagram", "Plain"}) {
    EXPECT_EQ(rows.at(name).errors, "") << name;
    EXPECT_EQ(rows.at(name).queue, "0") << name;
  }
  EXPECT_EQ(
      countLog(varnok->out(), "Encoder Refuser confirms each command (reply OK within 2000 ms)"),
      1);
  EXPECT_EQ(
      countLog(varnok->out(), "Command refused by the encoder - reply \"NO\" (Refuser): PS=THREE"),
      1);

  // The last datagram counts as delivered at the next tick.
  const std::string totals =
      "\"queued\":12,\"delivered\":9,\"expired\":0,\"failedSends\":3,\"replaced\":0,\"cleared\":0,"
      "\"inFlight\":0,\"waiting\":0";
  const std::string page = statusPageWith(http, totals, *varnok);
  EXPECT_NE(page.find(totals), std::string::npos) << page;
  for (const std::string& expected :
       {"\"name\":\"Serial\",\"host\":\"" + serial.device() + "\",\"port\":19200",
        std::string("\"transport\":\"serial\",\"confirms\":true,\"refused\":0"),
        std::string("\"transport\":\"udp\"}"), std::string("\"confirms\":true,\"refused\":3}")}) {
    EXPECT_NE(page.find(expected), std::string::npos) << expected << "\n" << page;
  }
  varnok->signal(SIGTERM);
  EXPECT_EQ(varnok->wait(), 0);
}

}  // namespace
}  // namespace varnok::testing
