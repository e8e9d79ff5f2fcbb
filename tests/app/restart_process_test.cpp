// The real program started in hard conditions: again right after a crash,
// and with too little memory for its configuration.
#include <gtest/gtest.h>

#include <string>

#include "installed.h"
#include "support/loopback.h"

namespace varnok::testing {
namespace {

TEST(RestartProcess, CopyRestartedAfterACrashListensAgain) {
  const std::uint16_t listen = closedPort();
  Installed app("[General]\nEncoderCount=0\n[Inputs]\nListenOnPort=" + std::to_string(listen) +
                "\n");
  const std::string listening = "Listening on port " + std::to_string(listen);
  auto first = app.start();
  ASSERT_TRUE(first->waitForOutput(listening)) << first->err();
  // Producers connected when the copy dies: their connections outlive it in
  // the kernel and still hold the port.
  std::vector<std::unique_ptr<Producer>> producers;
  for (int i = 0; i < 3; ++i) {
    producers.push_back(std::make_unique<Producer>(listen));
    ASSERT_TRUE(producers.back()->connected);
  }
  ASSERT_TRUE(first->waitForOutput("Client 127.0.0.1:" + std::to_string(listen) + " connected"));
  first->signal(SIGKILL);
  first->wait();

  auto second = app.start();
  ASSERT_TRUE(second->waitForOutput("Configuration file loaded\n")) << second->err();
  EXPECT_TRUE(second->waitForOutput(listening, 3000)) << second->out();
  EXPECT_EQ(second->out().find("Socket Error 10048"), std::string::npos) << second->out();
  EXPECT_EQ(produce(listen, "RT=again\r", 7), "\r\n+\r\n\r\n");
  second->signal(SIGTERM);
  EXPECT_EQ(second->wait(), 0);
}

TEST(RestartProcess, TooManyEncodersForTheMemoryLeavesNoEncodersButRunsOn) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs more address space than the limit allows";
#else
  const std::uint16_t listen = closedPort();
  Installed app(
      "[General]\nEncoderCount=3000000\n[Inputs]\nListenOnPort=" + std::to_string(listen) + "\n");
  // 1.5 GB of address space: the tables for three million encoders do not fit.
  ChildProcess varnok("/bin/sh", {"-c", "ulimit -v 1500000 && exec ./varnok"}, app.folder,
                      app.env());
  ASSERT_TRUE(varnok.waitForOutput("Listening on port " + std::to_string(listen), 60000))
      << varnok.out() << varnok.err();
  EXPECT_NE(varnok.out().find("Application Error - std::bad_alloc"), std::string::npos);
  // Dispatch ticks run on consistent tables, and producers are served.
  EXPECT_EQ(produce(listen, "RT=x\r", 7), "\r\n+\r\n\r\n");
  varnok.signal(SIGUSR1);
  ASSERT_TRUE(varnok.waitForOutput("Enabled\n\n"));
  varnok.signal(SIGTERM);
  EXPECT_EQ(varnok.wait(), 0) << varnok.err();
#endif
}

}  // namespace
}  // namespace varnok::testing
