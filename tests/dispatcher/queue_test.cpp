#include <gtest/gtest.h>

#include "form_fixture.h"

namespace varnok::testing {
namespace {

class QueueTest : public FormTest {
 protected:
  // Three encoders on ports nobody listens on; only the queues matter here.
  void createThree(const std::string& general = "") {
    create("[Inputs]\nSocket=0\n[General]\nEncoderCount=3\n" + general +
           "[Encoder1]\nName=Studio A\nPort=1\n"
           "[Encoder2]\nName=M\xC3\xBCnchen\nPort=1\n"
           "[Encoder3]\nName=Backup\nPort=1\nEnabled=0\n");
    form->TimerA.setEnabled(false);  // no delivery: only the queues matter here
  }
};

TEST_F(QueueTest, RepeatsGoToEveryEnabledEncoder) {
  createThree("Repeat=2\n");
  form->DoFronty("RT1=Hi\r", "");
  EXPECT_EQ(queueSize(0), 3u);
  EXPECT_EQ(queueSize(1), 3u);
  EXPECT_EQ(queueSize(2), 0u);  // disabled by configuration
  EXPECT_EQ(form->SG1.cell(kColQueue, 1), "3");
  EXPECT_EQ(form->SG1.cell(kColQueue, 3), "0");
  EXPECT_EQ(form->Fronty[0].front().Command, "RT1=Hi\r");
}

TEST_F(QueueTest, RepeatBoundsAndEmptyCommands) {
  createThree("Repeat=10\n");
  form->DoFronty("x", "");
  EXPECT_EQ(queueSize(0), 11u);
  createThree("Repeat=-1\n");
  form->DoFronty("x", "");
  EXPECT_EQ(queueSize(0), 0u);
  form->SG1.setCell(kColQueue, 1, "untouched");
  form->StartDebugTrail();
  form->DoFronty("", "");
  EXPECT_EQ(form->SG1.cell(kColQueue, 1), "untouched");
  EXPECT_EQ(form->DebugTrail(), "0A");
}

TEST_F(QueueTest, DestinationMatchesIgnoringOnlyAsciiCase) {
  createThree();
  form->DoFronty("a", "studio a");
  EXPECT_EQ(queueSize(0), 1u);
  EXPECT_EQ(queueSize(1), 0u);
  form->DoFronty("b", "M\xC3\xBCNCHEN");
  EXPECT_EQ(queueSize(1), 1u);
  form->DoFronty("c", "M\xC3\x9CNCHEN");  // another letter, not a case variant
  EXPECT_EQ(queueSize(1), 1u);
  form->DoFronty("d", "Backup");  // disabled encoders never receive
  form->DoFronty("e", "nobody");
  EXPECT_EQ(queueSize(2), 0u);
  EXPECT_EQ(form->SG1.cell(kColQueue, 3), "0");
}

TEST_F(QueueTest, SuspendedEncodersKeepCollecting) {
  createThree();
  form->DocasnyBan(0);
  EXPECT_EQ(form->SG1.cell(kColEnabled, 1), "Suspended");
  form->DoFronty("x", "");
  EXPECT_EQ(queueSize(0), 1u);
  EXPECT_EQ(form->CekaNejdyl(false), 1);  // a suspended encoder is never chosen
  EXPECT_EQ(form->PocetAktivnichKoderu(), 1);
}

TEST_F(QueueTest, TakingTheHead) {
  createThree();
  form->DoFronty("first", "");
  form->DoFronty("second", "");
  EXPECT_EQ(form->ZFronty(0), "first");
  EXPECT_EQ(form->SG1.cell(kColQueue, 1), "1");
  EXPECT_EQ(form->ZFronty(0), "second");
  form->StartDebugTrail();
  EXPECT_EQ(form->ZFronty(0), "");
  EXPECT_EQ(form->ZFronty(-1), "");
  EXPECT_EQ(form->ZFronty(3), "");
  EXPECT_EQ(form->DebugTrail(), "0CCC");
}

TEST_F(QueueTest, SelectionQuestions) {
  createThree();
  // Same stamp for both heads: the lower index wins.
  form->DoFronty("x", "");
  EXPECT_EQ(form->VolnychKoderu(), 2);
  EXPECT_EQ(form->CekaNejdyl(false), 0);

  // Encoder 1's head is older now.
  form->ZFronty(0);
  time.advance(1000);
  form->DoFronty("y", "");
  EXPECT_EQ(form->CekaNejdyl(false), 1);

  // A bound but unconnected slot: unserved-only skips it, served-only wants a link.
  form->Odesilace[1].Koder = 1;
  EXPECT_TRUE(form->KoderObsluhovan(1, false));
  EXPECT_FALSE(form->KoderObsluhovan(1, true));
  EXPECT_FALSE(form->KoderObsluhovan(-1, false));
  EXPECT_EQ(form->CekaNejdyl(false), 0);
  EXPECT_EQ(form->VolnyClient(), 0);
  form->Odesilace[1].LinkUp = true;
  form->Odesilace[0].Koder = 0;
  // No unserved waiting encoder: the flag is taken as set whatever was asked.
  EXPECT_EQ(form->VolnychKoderu(), 0);
  EXPECT_EQ(form->CekaNejdyl(false), 1);
  EXPECT_EQ(form->VolnyClient(), -1);
}

TEST_F(QueueTest, IdleSlotIsTheHighestNumbered) {
  create("[Inputs]\nSocket=0\n[General]\nThreads=4\n");
  form->Odesilace[1].Koder = 0;
  form->Odesilace[3].Koder = 0;
  EXPECT_EQ(form->VolnyClient(), 2);
  EXPECT_EQ(form->CekaNejdyl(false), -1);
  EXPECT_EQ(form->PocetAktivnichKoderu(), 0);
  form->DoFronty("nowhere", "");
}

TEST_F(QueueTest, ExpiryComparesWholeSeconds) {
  createThree("MaxMinutesInQueue=10\n");
  form->TimerQ.setEnabled(false);  // passes are called by hand here
  form->DoFronty("a", "");
  clock.advance(600'900);
  form->TimerQTimer();
  EXPECT_EQ(queueSize(0), 1u);
  clock.advance(100);
  form->TimerQTimer();
  EXPECT_EQ(queueSize(0), 0u);
  EXPECT_EQ(form->SG1.cell(kColQueue, 1), "0");
}

TEST_F(QueueTest, ExpiryStopsAtTheFirstHeadThatStays) {
  createThree("MaxMinutesInQueue=10\n");
  form->TimerQ.setEnabled(false);
  const TDateTime start = clock.now();
  form->DoFronty("young", "");
  clock.setWallClock(start - 1.0 / 24);  // the clock is set back an hour
  form->DoFronty("stamped earlier", "");
  clock.setWallClock(start + 300.0 / 86400);
  form->TimerQTimer();
  EXPECT_EQ(queueSize(0), 2u);  // the old entry waits behind a young head
  // A stamp in the future ages like one in the past: seen from an hour
  // earlier, the young head is 55 minutes old.
  clock.setWallClock(start - 1.0 / 24 + 300.0 / 86400);
  form->TimerQTimer();
  ASSERT_EQ(queueSize(0), 1u);
  EXPECT_EQ(form->Fronty[0].front().Command, "stamped earlier");
}

TEST_F(QueueTest, TimerQRunsOnlyWithAPositiveAge) {
  createThree("MaxMinutesInQueue=10\n");
  form->DoFronty("a", "");
  time.advance(9700 * 61);  // 591.7 s
  EXPECT_EQ(queueSize(0), 1u);
  time.advance(9700);  // 601.4 s
  EXPECT_EQ(queueSize(0), 0u);

  createThree("MaxMinutesInQueue=0\n");
  form->DoFronty("a", "");
  time.advance(2LL * 3600 * 1000);
  EXPECT_EQ(queueSize(0), 1u);
}

}  // namespace
}  // namespace varnok::testing
