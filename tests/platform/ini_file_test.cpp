#include "platform/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace varnok {
namespace {

TEST(IniFile, NamesMatchWithoutCaseAndValuesLoseSurroundingBlanks) {
  const IniFile ini = IniFile::fromText(
      "[General]\r\n"
      "EncoderCount = 2 \r\n"
      "; a remark=1\n"
      "[encoder1]\n"
      "NAME=  Studio A\t\n"
      "Empty=\n"
      "Name=second occurrence\n");
  EXPECT_EQ(ini.readInteger("GENERAL", "encodercount", 0), 2);
  EXPECT_EQ(ini.readString("Encoder1", "Name", "x"), "Studio A");
  EXPECT_EQ(ini.readString("Encoder1", "Empty", "x"), "");
  EXPECT_EQ(ini.readString("Encoder1", "Missing", "dflt"), "dflt");
  EXPECT_EQ(ini.readString("General", "; a remark", "none"), "none");
  EXPECT_EQ(ini.readString("Encoder2", "Name", "dflt"), "dflt");
}

TEST(IniFile, ValuesAreCutAt2047Characters) {
  const IniFile ini = IniFile::fromText("[S]\nK=" + std::string(5000, 'v') + "\n");
  EXPECT_EQ(ini.readString("S", "K", "").size(), IniFile::kMaxValue);
}

TEST(IniFile, IntegerRules) {
  EXPECT_EQ(IniFile::parseInteger("42"), 42);
  EXPECT_EQ(IniFile::parseInteger("-3"), -3);
  EXPECT_EQ(IniFile::parseInteger("+7"), 7);
  EXPECT_EQ(IniFile::parseInteger("0x1F"), 31);
  EXPECT_EQ(IniFile::parseInteger("0X10"), 16);
  EXPECT_EQ(IniFile::parseInteger("$ff"), 255);
  EXPECT_EQ(IniFile::parseInteger("2147483647"), 2147483647);
  EXPECT_EQ(IniFile::parseInteger("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(IniFile::parseInteger("2147483648"), std::nullopt);
  EXPECT_EQ(IniFile::parseInteger("99999999999999999999"), std::nullopt);
  EXPECT_EQ(IniFile::parseInteger(""), std::nullopt);
  EXPECT_EQ(IniFile::parseInteger("0x"), std::nullopt);
  EXPECT_EQ(IniFile::parseInteger("12abc"), std::nullopt);
  EXPECT_EQ(IniFile::parseInteger("yes"), std::nullopt);
}

TEST(IniFile, BooleansAreIntegers) {
  const IniFile ini = IniFile::fromText("[I]\na=1\nb=-1\nc=7\nd=0\ne=yes\nf=true\ng=\n");
  EXPECT_TRUE(ini.readBool("I", "a", false));
  EXPECT_TRUE(ini.readBool("I", "b", false));
  EXPECT_TRUE(ini.readBool("I", "c", false));
  EXPECT_FALSE(ini.readBool("I", "d", true));
  EXPECT_TRUE(ini.readBool("I", "e", true));
  EXPECT_FALSE(ini.readBool("I", "f", false));
  EXPECT_TRUE(ini.readBool("I", "g", true));
  EXPECT_FALSE(ini.readBool("I", "missing", false));
}

class IniFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/varnok-ini-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string dir_;
};

TEST_F(IniFileOnDisk, MissingBinaryAndSpecialFilesGiveDefaults) {
  EXPECT_FALSE(IniFile(dir_ + "/absent.ini").loaded());
  EXPECT_FALSE(IniFile(dir_).loaded());  // a folder is no file

  const std::string fifo = dir_ + "/fifo.ini";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(IniFile(fifo).loaded());  // must not block waiting for a writer

  const std::string binary = dir_ + "/binary.ini";
  {
    std::ofstream out(binary, std::ios::binary);
    std::string junk;
    for (int i = 0; i < 200000; ++i) junk.push_back(static_cast<char>((i * 7919) & 0xff));
    out << junk << "\n[General]\nThreads=3\n";
  }
  const IniFile ini(binary);
  EXPECT_TRUE(ini.loaded());
  EXPECT_EQ(ini.readInteger("General", "Threads", 2), 3);
  EXPECT_EQ(ini.readInteger("General", "EncoderCount", 0), 0);
}

// Installed, the program folder holds links to the configuration folder: a
// link to a regular file reads as the file; a link to anything else, or to
// nothing, reads as a missing file.
TEST_F(IniFileOnDisk, SymbolicLinksToRegularFilesAreFollowed) {
  const std::string real = dir_ + "/real.ini";
  std::ofstream(real) << "[Inputs]\nListenOnPort=2323\n";
  ASSERT_EQ(symlink(real.c_str(), (dir_ + "/varnok.ini").c_str()), 0);
  ASSERT_EQ(symlink("varnok.ini", (dir_ + "/chain.ini").c_str()), 0);  // relative, two hops
  for (const std::string name : {"/varnok.ini", "/chain.ini"}) {
    const IniFile ini(dir_ + name);
    EXPECT_TRUE(ini.loaded()) << name;
    EXPECT_EQ(ini.readInteger("Inputs", "ListenOnPort", 23), 2323) << name;
  }

  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink((dir_ + "/fifo").c_str(), (dir_ + "/to-fifo.ini").c_str()), 0);
  ASSERT_EQ(symlink(dir_.c_str(), (dir_ + "/to-folder.ini").c_str()), 0);
  ASSERT_EQ(symlink("gone.ini", (dir_ + "/dangling.ini").c_str()), 0);
  for (const std::string name : {"/to-fifo.ini", "/to-folder.ini", "/dangling.ini"}) {
    EXPECT_FALSE(IniFile(dir_ + name).loaded()) << name;
  }
}

TEST_F(IniFileOnDisk, EnormousFileIsReadOnlyUpToTheLimit) {
  const std::string path = dir_ + "/big.ini";
  {
    std::ofstream out(path, std::ios::binary);
    out << "[General]\nThreads=1\n";
    const std::string filler(1 << 20, 'x');
    for (std::size_t i = 0; i < IniFile::kMaxBytes / filler.size() + 2; ++i) out << filler;
    out << "\n[General]\nRepeat=5\n";
  }
  const IniFile ini(path);
  EXPECT_EQ(ini.readInteger("General", "Threads", 2), 1);
  EXPECT_EQ(ini.readInteger("General", "Repeat", 0), 0);
}

}  // namespace
}  // namespace varnok
