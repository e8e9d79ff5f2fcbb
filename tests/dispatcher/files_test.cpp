// Texts handed over by a second copy, and command files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "dispatcher_fixture.h"

namespace varnok::testing {
namespace {

class FilesTest : public DispatcherTest {
 protected:
  void start(const std::string& inputs = "") {
    create("[Inputs]\nSocket=0\n" + inputs +
           "[General]\nEncoderCount=2\n"
           "[Encoder1]\nName=Studio\nPort=1\n[Encoder2]\nName=Other\nPort=1\n");
    peer().dispatchTimer().setEnabled(false);
  }
  std::vector<std::string> queue(int encoder) const {
    std::vector<std::string> out;
    for (const auto& e : dispatcher->queues().queue(encoder)) out.push_back(e.text);
    return out;
  }
};

TEST_F(FilesTest, HandedOverCommandsGetOneCarriageReturn) {
  start();
  dispatcher->handOff("NULL");
  dispatcher->handOff("RT1=Now playing   ");
  dispatcher->handOff("  lead kept ");
  dispatcher->handOff("has\rone already ");
  EXPECT_EQ(queue(0), (std::vector<std::string>{"NULL\r", "RT1=Now playing\r", "  lead kept\r",
                                                "has\rone already"}));
  EXPECT_EQ(queue(1).size(), 4u);
  peer().startTrail();
  dispatcher->handOff("     ");
  dispatcher->handOff("");
  EXPECT_EQ(dispatcher->debugTrail(), "0hh");
  EXPECT_EQ(queue(0).size(), 4u);
}

TEST_F(FilesTest, CommandFileWithDestinationAndGaps) {
  start();
  dir.write("cmd.ini",
            "[CommandList]\nCommandCount=3\nDestinationName=studio\n"
            "Command1=first command\nCommand3=third command\n");
  dispatcher->handOff("file:cmd.ini ");
  EXPECT_EQ(queue(0), (std::vector<std::string>{"first command\r", "third command\r"}));
  EXPECT_TRUE(queue(1).empty());
  EXPECT_TRUE(logged("File processed - " + dir.folder() + "cmd.ini"));
}

TEST_F(FilesTest, FileNamesAndCounts) {
  start();
  dir.write("all.ini", "[commandlist]\ncommand1=to all\nCommand2=not read\n");
  dispatcher->handOff("FILE:" + dir.folder() + "all.ini");  // a path is used unchanged
  EXPECT_EQ(queue(1), std::vector<std::string>{"to all\r"});

  // "FILE:" alone names the program folder, which is no file.
  EXPECT_EQ(dispatcher->handOff("FILE:"), Dispatcher::HandOff::FileNotRead);
  EXPECT_TRUE(logged("File could not be read - " + dir.folder()));
  // Two words: the name starts with a blank and is not the file.
  EXPECT_EQ(dispatcher->handOff("FILE: all.ini "), Dispatcher::HandOff::FileNotRead);
  EXPECT_TRUE(logged("File could not be read - " + dir.folder() + " all.ini"));
  // Leading blanks keep the prefix from being seen: an ordinary command.
  dispatcher->handOff(" FILE:all.ini");
  EXPECT_EQ(queue(0).back(), " FILE:all.ini\r");

  const int lines = dispatcher->logView().lineCount();
  dir.write("none.ini", "[CommandList]\nCommandCount=0\nCommand1=never\n");
  dispatcher->handOff("FILE:none.ini");
  EXPECT_EQ(dispatcher->logView().lineCount(), lines);  // nothing processed, nothing logged

  dir.write("nan.ini", "[CommandList]\nCommandCount=many\nCommand1=one\nCommand2=two\n");
  dispatcher->handOff("FILE:nan.ini");
  EXPECT_EQ(queue(0).back(), "one\r");
}

TEST_F(FilesTest, AFileThatCannotBeReadIsLoggedAsSuchAndReported) {
  start();
  dir.write("cmd.ini", "[CommandList]\nCommand1=from file\n");
  ASSERT_EQ(::mkfifo((dir.folder() + "pipe.ini").c_str(), 0600), 0);
  for (const std::string name : {"missing.ini", "pipe.ini"}) {
    EXPECT_EQ(dispatcher->handOff("FILE:" + name), Dispatcher::HandOff::FileNotRead) << name;
    EXPECT_TRUE(logged("File could not be read - " + dir.folder() + name)) << name;
    EXPECT_FALSE(logged("File processed - " + dir.folder() + name)) << name;
  }
  EXPECT_TRUE(queue(0).empty());

  EXPECT_EQ(dispatcher->handOff("FILE:cmd.ini"), Dispatcher::HandOff::Handled);
  EXPECT_TRUE(logged("File processed - " + dir.folder() + "cmd.ini"));
  EXPECT_EQ(queue(0), std::vector<std::string>{"from file\r"});
  EXPECT_EQ(dispatcher->handOff("RT=plain"), Dispatcher::HandOff::Handled);
}

// Second copies and command files count toward the producers' total bound:
// a file that would pass it is refused whole, and while the bound holds a
// hand-off is refused; either is logged and reported to the second copy.
TEST_F(FilesTest, HandOffsAndFilesStayWithinTheTotalBound) {
  start("BacklogTotalMB=1\n");
  std::string file = "[CommandList]\nCommandCount=100\n";
  for (int n = 1; n <= 100; ++n) {
    file += "Command" + std::to_string(n) + "=" + std::string(4000, 'f') + "\n";
  }
  dir.write("big.ini", file);  // 100 x 4 KB x 2 encoders: within 1 MB
  EXPECT_EQ(dispatcher->handOff("FILE:big.ini"), Dispatcher::HandOff::Handled);
  EXPECT_EQ(dispatcher->handOff("FILE:big.ini"), Dispatcher::HandOff::Handled);
  const std::size_t before = queue(0).size();
  EXPECT_EQ(dispatcher->handOff("FILE:big.ini"), Dispatcher::HandOff::QueuesFull);
  EXPECT_TRUE(logged("File refused - the queues are full (" + dir.folder() + "big.ini)"));
  EXPECT_EQ(queue(0).size(), before) << "nothing of a refused file is queued";
  EXPECT_FALSE(dispatcher->producersHeld());

  // Hand-offs fill the rest until the bound holds; then they are refused.
  Dispatcher::HandOff result = Dispatcher::HandOff::Handled;
  for (int i = 0; i < 1000 && result == Dispatcher::HandOff::Handled; ++i) {
    result = dispatcher->handOff("RT=" + std::string(4000, 'h'));
  }
  EXPECT_EQ(result, Dispatcher::HandOff::QueuesFull);
  EXPECT_TRUE(logged("Hand-off refused - the queues are full"));
  EXPECT_LE(dispatcher->queues().producerBytes(), std::int64_t{1} << 20);
  EXPECT_TRUE(countersAddUp());
}

TEST_F(FilesTest, HugeCommandCountDoesNotHang) {
  start();
  dir.write("huge.ini", "[CommandList]\nCommandCount=2147483647\nCommand7=seven\nCommand007=no\n");
  dispatcher->handOff("FILE:huge.ini");
  EXPECT_EQ(queue(0), std::vector<std::string>{"seven\r"});
  EXPECT_TRUE(logged("File processed - " + dir.folder() + "huge.ini"));
}

// Counting up to CommandCount took minutes for 2^31-2 and never ended for
// 2^31-1, so the files are read in a child process that an alarm ends.
TEST_F(FilesTest, CommandNumbersAtTheTopOfTheRangeAreReadAtOnce) {
  start();
  dir.write("top.ini",
            "[CommandList]\nCommandCount=2147483647\nCommand2147483647=last\n"
            "Command10=ten\nCommand02=not two\nCommand2=two\ncommand2=second two\n");
  dir.write("near.ini",
            "[CommandList]\nCommandCount=2147483646\nDestinationName=other\n"
            "Command2147483647=beyond the count\nCommand2147483646=last but one\n"
            "Command2147483648=out of range\nCommand1=one\n");
  const std::string result = dir.folder() + "result";
  EXPECT_EXIT(
      {
        alarm(5);
        dispatcher->handOff("FILE:top.ini");
        dispatcher->handOff("FILE:near.ini");
        std::ofstream out(result, std::ios::binary);
        for (int encoder : {0, 1}) {
          for (const std::string& command : queue(encoder)) out << command << '|';
          out << '\n';
        }
        out << logged("File processed - " + dir.folder() + "top.ini")
            << logged("File processed - " + dir.folder() + "near.ini");
        out.close();
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  std::stringstream got;
  got << std::ifstream(result, std::ios::binary).rdbuf();
  EXPECT_EQ(got.str(),
            "two\r|ten\r|last\r|\n"
            "two\r|ten\r|last\r|one\r|last but one\r|\n11");
}

TEST_F(FilesTest, SwitchesDropRequestsSilently) {
  start("CmdLine=0\n");
  dir.write("cmd.ini", "[CommandList]\nCommand1=from file\n");
  dispatcher->handOff("RT=dropped");
  dispatcher->handOff("FILE:cmd.ini");
  EXPECT_EQ(queue(0), std::vector<std::string>{"from file\r"});

  start("File=0\n");
  const int lines = dispatcher->logView().lineCount();
  dispatcher->handOff("FILE:cmd.ini");
  dispatcher->handOff("RT=kept");
  EXPECT_EQ(queue(0), std::vector<std::string>{"RT=kept\r"});
  EXPECT_EQ(dispatcher->logView().lineCount(), lines);
}

}  // namespace
}  // namespace varnok::testing
