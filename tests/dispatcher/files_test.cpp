// Texts handed over by a second copy, and command files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "form_fixture.h"

namespace varnok::testing {
namespace {

class FilesTest : public FormTest {
 protected:
  void start(const std::string& inputs = "") {
    create("[Inputs]\nSocket=0\n" + inputs +
           "[General]\nEncoderCount=2\n"
           "[Encoder1]\nName=Studio\nPort=1\n[Encoder2]\nName=Other\nPort=1\n");
    form->TimerA.setEnabled(false);
  }
  std::vector<std::string> queue(int koder) const {
    std::vector<std::string> out;
    for (const auto& e : form->Fronty[static_cast<std::size_t>(koder)]) out.push_back(e.Command);
    return out;
  }
};

TEST_F(FilesTest, HandedOverCommandsGetOneCarriageReturn) {
  start();
  form->WMHandOff("NULL");
  form->WMHandOff("RT1=Now playing   ");
  form->WMHandOff("  lead kept ");
  form->WMHandOff("has\rone already ");
  EXPECT_EQ(queue(0), (std::vector<std::string>{"NULL\r", "RT1=Now playing\r", "  lead kept\r",
                                                "has\rone already"}));
  EXPECT_EQ(queue(1).size(), 4u);
  form->StartDebugTrail();
  form->WMHandOff("     ");
  form->WMHandOff("");
  EXPECT_EQ(form->DebugTrail(), "0hh");
  EXPECT_EQ(queue(0).size(), 4u);
}

TEST_F(FilesTest, CommandFileWithDestinationAndGaps) {
  start();
  dir.write("cmd.ini",
            "[CommandList]\nCommandCount=3\nDestinationName=studio\n"
            "Command1=first command\nCommand3=third command\n");
  form->WMHandOff("file:cmd.ini ");
  EXPECT_EQ(queue(0), (std::vector<std::string>{"first command\r", "third command\r"}));
  EXPECT_TRUE(queue(1).empty());
  EXPECT_TRUE(logged("File processed - " + dir.folder() + "cmd.ini"));
}

TEST_F(FilesTest, FileNamesAndCounts) {
  start();
  dir.write("all.ini", "[commandlist]\ncommand1=to all\nCommand2=not read\n");
  form->WMHandOff("FILE:" + dir.folder() + "all.ini");  // a path is used unchanged
  EXPECT_EQ(queue(1), std::vector<std::string>{"to all\r"});

  // "FILE:" alone names the program folder, which is no file.
  EXPECT_FALSE(form->WMHandOff("FILE:"));
  EXPECT_TRUE(logged("File could not be read - " + dir.folder()));
  // Two words: the name starts with a blank and is not the file.
  EXPECT_FALSE(form->WMHandOff("FILE: all.ini "));
  EXPECT_TRUE(logged("File could not be read - " + dir.folder() + " all.ini"));
  // Leading blanks keep the prefix from being seen: an ordinary command.
  form->WMHandOff(" FILE:all.ini");
  EXPECT_EQ(queue(0).back(), " FILE:all.ini\r");

  const int lines = form->Memo2.lineCount();
  dir.write("none.ini", "[CommandList]\nCommandCount=0\nCommand1=never\n");
  form->WMHandOff("FILE:none.ini");
  EXPECT_EQ(form->Memo2.lineCount(), lines);  // nothing processed, nothing logged

  dir.write("nan.ini", "[CommandList]\nCommandCount=many\nCommand1=one\nCommand2=two\n");
  form->WMHandOff("FILE:nan.ini");
  EXPECT_EQ(queue(0).back(), "one\r");
}

TEST_F(FilesTest, AFileThatCannotBeReadIsLoggedAsSuchAndReported) {
  start();
  dir.write("cmd.ini", "[CommandList]\nCommand1=from file\n");
  ASSERT_EQ(::mkfifo((dir.folder() + "pipe.ini").c_str(), 0600), 0);
  for (const std::string name : {"missing.ini", "pipe.ini"}) {
    EXPECT_FALSE(form->WMHandOff("FILE:" + name)) << name;
    EXPECT_TRUE(logged("File could not be read - " + dir.folder() + name)) << name;
    EXPECT_FALSE(logged("File processed - " + dir.folder() + name)) << name;
  }
  EXPECT_TRUE(queue(0).empty());

  EXPECT_TRUE(form->WMHandOff("FILE:cmd.ini"));
  EXPECT_TRUE(logged("File processed - " + dir.folder() + "cmd.ini"));
  EXPECT_EQ(queue(0), std::vector<std::string>{"from file\r"});
  EXPECT_TRUE(form->WMHandOff("RT=plain"));
}

TEST_F(FilesTest, HugeCommandCountDoesNotHang) {
  start();
  dir.write("huge.ini", "[CommandList]\nCommandCount=2147483647\nCommand7=seven\nCommand007=no\n");
  form->WMHandOff("FILE:huge.ini");
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
        form->WMHandOff("FILE:top.ini");
        form->WMHandOff("FILE:near.ini");
        std::ofstream out(result, std::ios::binary);
        for (int koder : {0, 1}) {
          for (const std::string& command : queue(koder)) out << command << '|';
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
  form->WMHandOff("RT=dropped");
  form->WMHandOff("FILE:cmd.ini");
  EXPECT_EQ(queue(0), std::vector<std::string>{"from file\r"});

  start("File=0\n");
  const int lines = form->Memo2.lineCount();
  form->WMHandOff("FILE:cmd.ini");
  form->WMHandOff("RT=kept");
  EXPECT_EQ(queue(0), std::vector<std::string>{"RT=kept\r"});
  EXPECT_EQ(form->Memo2.lineCount(), lines);
}

}  // namespace
}  // namespace varnok::testing
