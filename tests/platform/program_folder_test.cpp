#include "platform/program_folder.h"

#include <gtest/gtest.h>

namespace varnok {
namespace {

TEST(ProgramFolder, TitleTakesTheLastFolderName) {
  EXPECT_EQ(applicationTitle("/opt/radio/Dispatch/"), "Varnok (Dispatch)");
  EXPECT_EQ(applicationTitle("/opt/radio/Dispatch"), "Varnok (Dispatch)");
  EXPECT_EQ(applicationTitle("/srv/My Folder/"), "Varnok (My Folder)");
  EXPECT_EQ(applicationTitle("/"), "Varnok (/)");
  EXPECT_EQ(applicationTitle(""), "Varnok");
}

TEST(ProgramFolder, ResolvesTheRunningExecutable) {
  const std::string folder = programFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.front(), '/');
  EXPECT_EQ(folder.back(), '/');
  EXPECT_EQ(folderOf("/a/b/varnok"), "/a/b/");
  EXPECT_EQ(folderOf("varnok"), "./");
}

}  // namespace
}  // namespace varnok
