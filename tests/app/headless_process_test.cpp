// The program as scripts see it: started headless in its own folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "installed.h"

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

}  // namespace
}  // namespace varnok::testing
