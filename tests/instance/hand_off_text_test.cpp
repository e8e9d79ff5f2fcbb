// The text a second copy makes of its arguments, and the rules that both
// copies apply to such a text.

#include "instance/hand_off_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/command_text.h"

namespace varnok {
namespace {

TEST(HandOffText, FollowsTheArgumentRule) {
  struct Case {
    std::vector<std::string> args;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{}, "NULL"},
      {{"a", "b"}, "a b "},
      {{"C:\\Tools\\PROG.EXE", "a"}, "a "},
      {{"x.Exe.txt", "a", "b"}, "a b "},
      {{"a", "b.exe"}, "NULL"},
      {{"a", "/opt/varnok/run.eXe", "b", "c.EXE", "d e"}, "d e "},
      {{"FILE:cmd.ini"}, "FILE:cmd.ini "},
      {{"  lead", "trail  "}, "  lead trail   "},
      {{"", ""}, "  "},
      // Only a to z are folded: these are not ".EXE".
      {{".\xC9XE", ".EX"}, ".\xC9XE .EX "},
      {{"caf\xE9\t\r\n"}, "caf\xE9\t\r\n "},
  };
  for (const Case& c : cases) EXPECT_EQ(buildHandOffText(c.args), c.text);
}

TEST(CommandText, AFilePrefixInAnyCaseNamesACommandFile) {
  struct Case {
    std::string text;
    bool namesFile;
    std::string name;  // what commandFileName gives
  };
  const std::vector<Case> cases = {
      {"FILE:news.ini", true, "news.ini"},
      {"file:news.ini", true, "news.ini"},
      {"FiLe:/abs/path.ini ", true, "/abs/path.ini "},
      {"FILE:", true, ""},
      {"FILE:FILE:x", true, "FILE:x"},  // only one prefix comes off
      {"FILE", false, "FILE"},
      {"FIL", false, "FIL"},
      {"", false, ""},
      {" FILE:x", false, " FILE:x"},  // the prefix must come first
      {"FILES:x", false, "FILES:x"},
      {"FILE;x", false, "FILE;x"},
      {"F\xC9LE:x", false, "F\xC9LE:x"},  // only a to z are folded
      {"RT1=FILE:x", false, "RT1=FILE:x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(namesCommandFile(c.text), c.namesFile) << c.text;
    EXPECT_EQ(commandFileName(c.text), c.name) << c.text;
  }
}

TEST(CommandText, ACommandGetsOneCrUnlessItHoldsOne) {
  struct Case {
    std::string command;
    std::string queued;
  };
  const std::vector<Case> cases = {
      {"RT1=Hello", "RT1=Hello\r"},
      {"RT1=Hello\r", "RT1=Hello\r"},
      {"RT1=\rHello", "RT1=\rHello"},  // wherever the CR is, none is added
      {"RT1=Hello\n", "RT1=Hello\n\r"},
      {"\r\r", "\r\r"},
      {"", "\r"},
  };
  for (Case c : cases) {
    const std::string before = c.command;
    addCrUnlessPresent(c.command);
    EXPECT_EQ(c.command, c.queued) << before;
  }
}

}  // namespace
}  // namespace varnok
