#include <gtest/gtest.h>

#include "dispatcher_fixture.h"

namespace varnok::testing {
namespace {

using ConfigTest = DispatcherTest;

constexpr const char* kNoListen = "[Inputs]\nSocket=0\n";

TEST_F(ConfigTest, ThreadsSetTheSlotCountAndTickInterval) {
  const struct {
    const char* value;
    int slots;
    int interval;
  } cases[] = {{nullptr, 2, 45}, {"0", 4, 22}, {"-1", 4, 22}, {"5", 4, 22},
               {"3", 3, 30},     {"1", 1, 90}, {"abc", 2, 45}};
  for (const auto& c : cases) {
    std::string ini = kNoListen;
    if (c.value) ini += std::string("[General]\nThreads=") + c.value + "\n";
    create(ini);
    EXPECT_EQ(dispatcher->senderSlots().size(), static_cast<std::size_t>(c.slots))
        << (c.value ? c.value : "absent");
    EXPECT_EQ(peer().dispatchTimer().interval(), c.interval);
    EXPECT_TRUE(peer().dispatchTimer().enabled());
    for (const SenderSlot& slot : dispatcher->senderSlots()) {
      EXPECT_EQ(slot.encoder(), SenderSlot::kNone);
      EXPECT_FALSE(slot.connected());
    }
  }
}

TEST_F(ConfigTest, GeneralValuesAreAdjusted) {
  create(std::string(kNoListen) +
         "[General]\nRepeat=15\nMaxMinutesInQueue=1\nErrorLimit=0x10\nSuspendForMinutes=$A\n");
  EXPECT_EQ(dispatcher->config().repeat, 10);
  EXPECT_EQ(dispatcher->config().maxSecondsInQueue, 60);
  EXPECT_TRUE(peer().expiryTimer().enabled());
  EXPECT_EQ(peer().expiryTimer().interval(), 9700);
  EXPECT_EQ(dispatcher->config().errorLimit, 16);
  EXPECT_EQ(dispatcher->config().suspendForMinutes, 10);

  create(std::string(kNoListen) + "[General]\nRepeat=-1\nMaxMinutesInQueue=0\n");
  EXPECT_EQ(dispatcher->config().repeat, -1);
  EXPECT_FALSE(peer().expiryTimer().enabled());
  create(std::string(kNoListen) + "[General]\nMaxMinutesInQueue=-5\n");
  EXPECT_FALSE(peer().expiryTimer().enabled());
  // 71582789 minutes is past 32 bits in seconds; wrapping would give 44 s.
  create(std::string(kNoListen) + "[General]\nMaxMinutesInQueue=71582789\n");
  EXPECT_EQ(dispatcher->config().maxSecondsInQueue, 2147483647);
  EXPECT_TRUE(peer().expiryTimer().enabled());
}

TEST_F(ConfigTest, MissingFileGivesDefaultsAndAnEmptyTable) {
  create("");
  // Default socket input is on: listening on port 23 may or may not work here,
  // but the configuration is read either way.
  EXPECT_TRUE(peer().encoders().empty());
  EXPECT_EQ(dispatcher->statusTable().rowCount(), 1);
  EXPECT_EQ(dispatcher->statusTable().cell(0, 0), "RDS Encoder Name");
  EXPECT_EQ(dispatcher->statusTable().cell(6, 0), "Enabled");
  EXPECT_EQ(dispatcher->config().repeat, 0);
  EXPECT_EQ(dispatcher->config().maxSecondsInQueue, 600);
  EXPECT_EQ(dispatcher->config().errorLimit, 3);
  EXPECT_EQ(dispatcher->config().suspendForMinutes, 5);
  EXPECT_EQ(dispatcher->config().listenOnPort, 23);
  EXPECT_TRUE(dispatcher->config().fileInput);
  EXPECT_TRUE(dispatcher->config().commandLineInput);
  EXPECT_EQ(dispatcher->config().threads, 2);
  ASSERT_GE(dispatcher->logView().lineCount(), 3);
  EXPECT_EQ(dispatcher->logView().lines()[0], "Varnok - RDS command dispatcher");
  const auto texts = logTexts();
  EXPECT_TRUE(texts[1].ends_with("Varnok v. 1.0b starting up..."));
  EXPECT_EQ(texts[2], "Configuration file loaded");
}

TEST_F(ConfigTest, EncoderDefaultsAndTheSelfConnectionGuard) {
  create("[General]\nEncoderCount=2\n[Inputs]\nSocket=0\n");
  ASSERT_EQ(peer().encoders().size(), 2u);
  EXPECT_EQ(peer().encoders()[0].name, "RDS Encoder 1");
  EXPECT_EQ(peer().encoders()[1].name, "RDS Encoder 2");
  EXPECT_EQ(peer().encoders()[0].host, "127.0.0.1");
  EXPECT_EQ(peer().encoders()[0].port, 23);
  // Port 23 is the default listening port: both point at ourselves, even with
  // the socket input off.
  EXPECT_FALSE(peer().encoders()[0].enabled);
  EXPECT_FALSE(peer().encoders()[1].active);
  EXPECT_EQ(dispatcher->statusTable().cell(6, 1), "No");
  EXPECT_EQ(dispatcher->statusTable().cell(6, 2), "No");

  // Any loopback address, and the port as dialled (its low 16 bits), point
  // at ourselves: 67859 dials 2323.
  create(
      "[General]\nEncoderCount=7\n[Inputs]\nSocket=0\nListenOnPort=2323\n"
      "[Encoder1]\nHost=Localhost\nPort=2323\n"
      "[Encoder2]\nHost=127.0.0.1\nPort=2324\n"
      "[Encoder3]\nHost=127.0.0.2\nPort=2323\n"
      "[Encoder4]\nHost= 127.0.0.1 \nPort=2323\nEnabled=0\n"
      "[Encoder5]\nHost=127.0.0.1\nPort=67859\n"
      "[Encoder6]\nHost=127.255.1.9\nPort=2323\n"
      "[Encoder7]\nHost=128.0.0.1\nPort=2323\n");
  EXPECT_FALSE(peer().encoders()[0].enabled);
  EXPECT_TRUE(peer().encoders()[1].enabled);
  EXPECT_FALSE(peer().encoders()[2].enabled);
  EXPECT_FALSE(peer().encoders()[3].enabled);
  EXPECT_FALSE(peer().encoders()[4].enabled);
  EXPECT_FALSE(peer().encoders()[5].enabled);
  EXPECT_TRUE(peer().encoders()[6].enabled);
  EXPECT_EQ(dispatcher->statusTable().cell(6, 2), "Yes");
  EXPECT_EQ(dispatcher->statusTable().cell(6, 5), "No");
  EXPECT_EQ(dispatcher->statusTable().cell(1, 4), "127.0.0.1");
}

TEST_F(ConfigTest, TheExampleFileFillsTheStatusTable) {
  create(
      "[General]\nEncoderCount=2\nThreads=2\nRepeat=0\nMaxMinutesInQueue=10\nErrorLimit=3\n"
      "SuspendForMinutes=5\n[Inputs]\nListenOnPort=23\nSocket=0\nFile=1\nCmdLine=1\n"
      "[Encoder1]\nName=Studio A\nHost=127.0.0.20\nPort=1024\nEnabled=1\n"
      "[Encoder2]\nName=Studio B\nHost=127.0.0.21\nPort=1024\nEnabled=0\n"
      "[Encoder3]\nName=Not read\n");
  EXPECT_EQ(dispatcher->statusTable().dump(),
            "RDS Encoder Name\tHost\tPort\tQueue\tThread\tErrors\tEnabled\n"
            "Studio A\t127.0.0.20\t1024\t0\t\t\tYes\n"
            "Studio B\t127.0.0.21\t1024\t0\t\t\tNo\n");
  EXPECT_EQ(dispatcher->queues().encoderCount(), 2u);
  EXPECT_EQ(dispatcher->debugTrail().back(), ',');
}

TEST_F(ConfigTest, CountsAndPortsOutOfRange) {
  create("[General]\nEncoderCount=-3\n[Inputs]\nSocket=0\nListenOnPort=65559\n");
  EXPECT_TRUE(peer().encoders().empty());
  EXPECT_EQ(dispatcher->config().listenOnPort, 23);
  create(
      "[Inputs]\nListenOnPort=0\nSocket=yes\nFile=0\nCmdLine=7\n[General]\nEncoderCount="
      "99999999999\n");
  EXPECT_TRUE(dispatcher->config().socketInput);  // "yes" is unreadable: the default
  EXPECT_FALSE(dispatcher->config().fileInput);
  EXPECT_TRUE(dispatcher->config().commandLineInput);
  EXPECT_TRUE(peer().encoders().empty());
}

}  // namespace
}  // namespace varnok::testing
