#include <gtest/gtest.h>

#include "form_fixture.h"

namespace varnok::testing {
namespace {

using ConfigTest = FormTest;

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
    EXPECT_EQ(form->Odesilace.size(), static_cast<std::size_t>(c.slots))
        << (c.value ? c.value : "absent");
    EXPECT_EQ(form->TimerA.interval(), c.interval);
    EXPECT_TRUE(form->TimerA.enabled());
    for (const auto& slot : form->Odesilace) {
      EXPECT_EQ(slot.Koder, -1);
      EXPECT_FALSE(slot.LinkUp);
    }
  }
}

TEST_F(ConfigTest, GeneralValuesAreAdjusted) {
  create(std::string(kNoListen) +
         "[General]\nRepeat=15\nMaxMinutesInQueue=1\nErrorLimit=0x10\nSuspendForMinutes=$A\n");
  EXPECT_EQ(form->Config().Repeat, 10);
  EXPECT_EQ(form->Config().MaxSecondsInQueue, 60);
  EXPECT_TRUE(form->TimerQ.enabled());
  EXPECT_EQ(form->TimerQ.interval(), 9700);
  EXPECT_EQ(form->Config().ErrorLimit, 16);
  EXPECT_EQ(form->Config().SuspendForMinutes, 10);

  create(std::string(kNoListen) + "[General]\nRepeat=-1\nMaxMinutesInQueue=0\n");
  EXPECT_EQ(form->Config().Repeat, -1);
  EXPECT_FALSE(form->TimerQ.enabled());
  create(std::string(kNoListen) + "[General]\nMaxMinutesInQueue=-5\n");
  EXPECT_FALSE(form->TimerQ.enabled());
  // 71582789 minutes is past 32 bits in seconds; wrapping would give 44 s.
  create(std::string(kNoListen) + "[General]\nMaxMinutesInQueue=71582789\n");
  EXPECT_EQ(form->Config().MaxSecondsInQueue, 2147483647);
  EXPECT_TRUE(form->TimerQ.enabled());
}

TEST_F(ConfigTest, MissingFileGivesDefaultsAndAnEmptyTable) {
  create("");
  // Default socket input is on: listening on port 23 may or may not work here,
  // but the configuration is read either way.
  EXPECT_TRUE(form->Kodery.empty());
  EXPECT_EQ(form->SG1.rowCount(), 1);
  EXPECT_EQ(form->SG1.cell(0, 0), "RDS Encoder Name");
  EXPECT_EQ(form->SG1.cell(6, 0), "Enabled");
  EXPECT_EQ(form->Config().Repeat, 0);
  EXPECT_EQ(form->Config().MaxSecondsInQueue, 600);
  EXPECT_EQ(form->Config().ErrorLimit, 3);
  EXPECT_EQ(form->Config().SuspendForMinutes, 5);
  EXPECT_EQ(form->Config().ListenOnPort, 23);
  EXPECT_TRUE(form->Config().File);
  EXPECT_TRUE(form->Config().CmdLine);
  EXPECT_EQ(form->Config().Threads, 2);
  ASSERT_GE(form->Memo2.lineCount(), 3);
  EXPECT_EQ(form->Memo2.lines()[0], "Varnok - RDS command dispatcher");
  const auto texts = logTexts();
  EXPECT_TRUE(texts[1].ends_with("Varnok v. 1.0b starting up..."));
  EXPECT_EQ(texts[2], "Configuration file loaded");
}

TEST_F(ConfigTest, EncoderDefaultsAndTheSelfConnectionGuard) {
  create("[General]\nEncoderCount=2\n[Inputs]\nSocket=0\n");
  ASSERT_EQ(form->Kodery.size(), 2u);
  EXPECT_EQ(form->Kodery[0].Name, "RDS Encoder 1");
  EXPECT_EQ(form->Kodery[1].Name, "RDS Encoder 2");
  EXPECT_EQ(form->Kodery[0].Host, "127.0.0.1");
  EXPECT_EQ(form->Kodery[0].Port, 23);
  // Port 23 is the default listening port: both point at ourselves, even with
  // the socket input off.
  EXPECT_FALSE(form->Kodery[0].Enabled);
  EXPECT_FALSE(form->Kodery[1].Active);
  EXPECT_EQ(form->SG1.cell(6, 1), "No");
  EXPECT_EQ(form->SG1.cell(6, 2), "No");

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
  EXPECT_FALSE(form->Kodery[0].Enabled);
  EXPECT_TRUE(form->Kodery[1].Enabled);
  EXPECT_FALSE(form->Kodery[2].Enabled);
  EXPECT_FALSE(form->Kodery[3].Enabled);
  EXPECT_FALSE(form->Kodery[4].Enabled);
  EXPECT_FALSE(form->Kodery[5].Enabled);
  EXPECT_TRUE(form->Kodery[6].Enabled);
  EXPECT_EQ(form->SG1.cell(6, 2), "Yes");
  EXPECT_EQ(form->SG1.cell(6, 5), "No");
  EXPECT_EQ(form->SG1.cell(1, 4), "127.0.0.1");
}

TEST_F(ConfigTest, TheExampleFileFillsTheStatusTable) {
  create(
      "[General]\nEncoderCount=2\nThreads=2\nRepeat=0\nMaxMinutesInQueue=10\nErrorLimit=3\n"
      "SuspendForMinutes=5\n[Inputs]\nListenOnPort=23\nSocket=0\nFile=1\nCmdLine=1\n"
      "[Encoder1]\nName=Studio A\nHost=127.0.0.20\nPort=1024\nEnabled=1\n"
      "[Encoder2]\nName=Studio B\nHost=127.0.0.21\nPort=1024\nEnabled=0\n"
      "[Encoder3]\nName=Not read\n");
  EXPECT_EQ(form->SG1.dump(),
            "RDS Encoder Name\tHost\tPort\tQueue\tThread\tErrors\tEnabled\n"
            "Studio A\t127.0.0.20\t1024\t0\t\t\tYes\n"
            "Studio B\t127.0.0.21\t1024\t0\t\t\tNo\n");
  EXPECT_EQ(form->Fronty.size(), 2u);
  EXPECT_EQ(form->DebugTrail().back(), ',');
}

TEST_F(ConfigTest, CountsAndPortsOutOfRange) {
  create("[General]\nEncoderCount=-3\n[Inputs]\nSocket=0\nListenOnPort=65559\n");
  EXPECT_TRUE(form->Kodery.empty());
  EXPECT_EQ(form->Config().ListenOnPort, 23);
  create(
      "[Inputs]\nListenOnPort=0\nSocket=yes\nFile=0\nCmdLine=7\n[General]\nEncoderCount="
      "99999999999\n");
  EXPECT_TRUE(form->Config().Socket);  // "yes" is unreadable: the default
  EXPECT_FALSE(form->Config().File);
  EXPECT_TRUE(form->Config().CmdLine);
  EXPECT_TRUE(form->Kodery.empty());
}

}  // namespace
}  // namespace varnok::testing
