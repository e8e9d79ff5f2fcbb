// The program with three encoders that take UECP: one over TCP that
// acknowledges each frame, one over UDP that is not asked to, and one that
// answers every frame negatively.
#include <gtest/gtest.h>

#include "installed.h"
#include "process_harness.h"
#include "support/loopback.h"

namespace varnok::testing {
namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(UecpProcess, EachEncoderGetsItsElementsAndTheCountersAddUp) {
  TempDir work;
  const std::string folder = work.folder();
  const auto sim = [&](const std::string& name, std::vector<std::string> args) {
    args.insert(args.end(), {"--protocol", "uecp", "--elements", folder + name + ".elements"});
    return std::make_unique<EncoderSim>(work, name, args);
  };
  auto confirming = sim("confirming", {"--reply", "ok"});
  auto datagram = sim("datagram", {"--transport", "udp"});
  auto refuser = sim("refuser", {"--reply", "no"});
  const std::uint16_t listen = closedPort();
  const std::uint16_t http = closedPort();
  const auto at = [](const EncoderSim& s) {
    return "Host=127.0.0.1\nPort=" + std::to_string(s.port()) + "\nProtocol=uecp\n";
  };
  Installed app("[General]\nEncoderCount=3\nThreads=3\nErrorLimit=3\n[Inputs]\nListenOnPort=" +
                std::to_string(listen) + "\n[Status]\nHttpPort=" + std::to_string(http) +
                "\n[Encoder1]\nName=Confirming\n" + at(*confirming) +
                "SiteAddress=1\nEncoderAddress=2\nConfirm=uecp\n[Encoder2]\nName=Datagram\n"
                "Transport=udp\n" +
                at(*datagram) + "[Encoder3]\nName=Refuser\nConfirm=uecp\n" + at(*refuser));
  auto varnok = app.start();
  ASSERT_TRUE(varnok->waitForOutput("Listening on port " + std::to_string(listen)))
      << varnok->out() << varnok->err();
  for (const char* command :
       {"PS=ONE\r", "DPS=Scrolling\r", "RT=Caf\xc3\xa9 - Song\rRTP=4,0,3,1,7,3\r", "PTY=10\r"}) {
    ASSERT_EQ(produce(listen, command, 7), "\r\n+\r\n\r\n");
  }
  // PS padded; DPS has no element; the RT+ setup ahead of the first RT+
  // data; é in the RDS set (82); item running with artist at 0 and title at 7.
  const std::vector<std::string> elements = {
      "020000"
      "4f4e452020202020",
      "40054bd7160000",
      "0a00000c01"
      "43616682202d20536f6e67",
      "46084bd70008800608e3",
      "0700000a",
  };
  const auto expected = [&](const std::string& address, const std::vector<int>& which) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < which.size(); ++i) {
      lines.push_back(std::to_string(i + 1) + " " + address + " " +
                      elements[static_cast<std::size_t>(which[i])]);
    }
    return lines;
  };
  const auto got = [&](const std::string& name) {
    return linesOf(readWholeFile(folder + name + ".elements"));
  };
  // The refuser's first frame of each command is refused, and with it the command.
  EXPECT_TRUE(eventually(
      [&] {
        return got("confirming") == expected("0042", {0, 1, 2, 3, 4}) &&
               got("datagram") == expected("0000", {0, 1, 2, 3, 4}) &&
               got("refuser") == expected("0000", {0, 1, 4});
      },
      15000, {varnok.get()}))
      << readWholeFile(folder + "confirming.elements") << "|"
      << readWholeFile(folder + "datagram.elements") << "|"
      << readWholeFile(folder + "refuser.elements");

  const std::string totals =
      "\"queued\":12,\"delivered\":6,\"expired\":0,\"failedSends\":6,\"replaced\":0,\"cleared\":0,"
      "\"inFlight\":0,\"waiting\":0";
  const std::string page = statusPageWith(http, totals, *varnok);
  EXPECT_NE(page.find(totals), std::string::npos) << page;
  EXPECT_NE(page.find("\"protocol\":\"uecp\",\"confirms\":true,\"refused\":3}"), std::string::npos)
      << page;
  const auto rows = statusDump(*varnok);
  ASSERT_EQ(rows.size(), 3u) << varnok->out();
  EXPECT_EQ(rows.at("Refuser").errors, "3");
  EXPECT_EQ(rows.at("Refuser").enabled, "Suspended");
  const std::string& log = varnok->out();
  const auto starting = [&](const std::string& text) { return countLogStarting(log, text); };
  EXPECT_EQ(countLog(log,
                     "Encoder Confirming takes UECP (site 1, encoder 2, data set 0, service "
                     "0; each frame acknowledged within 2000 ms)"),
            1);
  for (const char* name : {"Confirming", "Datagram", "Refuser"}) {
    EXPECT_EQ(
        starting("UECP command not sent - no UECP element for DPS (" + std::string(name) + ")"), 1)
        << log;
  }
  EXPECT_EQ(starting("Command refused by the encoder - UECP acknowledgement 6 - parameter out of "
                     "range (Refuser)"),
            3);
  varnok->signal(SIGTERM);
  EXPECT_EQ(varnok->wait(), 0);
}

}  // namespace
}  // namespace varnok::testing
