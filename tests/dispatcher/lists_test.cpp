// The vip and ban lists: loading and matching.
#include <gtest/gtest.h>

#include "dispatcher_fixture.h"

namespace varnok::testing {
namespace {

using ListsTest = DispatcherTest;

TEST_F(ListsTest, ExampleListsDecideWhoIsServed) {
  dir.write("varnok.ban", "192.168.1.*\n10.0.0.7\n");
  dir.write("varnok.vip", "192.168.1.5\r\n");
  create("[Inputs]\nSocket=0\n");
  EXPECT_EQ(peer().intake().banList().entries(),
            (std::vector<std::string>{"192.168.1.*", "10.0.0.7"}));
  EXPECT_FALSE(peer().intake().banned("192.168.1.5"));
  EXPECT_TRUE(peer().intake().banned("192.168.1.6"));
  EXPECT_TRUE(peer().intake().banned("10.0.0.7"));
  EXPECT_FALSE(peer().intake().banned("10.0.0.70"));
}

TEST_F(ListsTest, PatternsAndLineRules) {
  dir.write("varnok.ban",
            "192.168.1.1*\n\n192.168.100.100*\n192.168.100.10*\n10.0.0.7 \n172.*.1\nlast line");
  create("[Inputs]\nSocket=0\n");
  EXPECT_EQ(peer().intake().banList().entries(),
            (std::vector<std::string>{"192.168.1.1*", "192.168.100.10*", "10.0.0.7 ", "172.*.1",
                                      "last line"}));
  EXPECT_TRUE(peer().intake().inList(peer().intake().banList(), "192.168.1.1"));
  EXPECT_TRUE(peer().intake().inList(peer().intake().banList(), "192.168.1.10"));
  EXPECT_TRUE(peer().intake().inList(peer().intake().banList(), "192.168.1.199"));
  EXPECT_FALSE(peer().intake().inList(peer().intake().banList(), "192.168.1.2"));
  EXPECT_FALSE(
      peer().intake().inList(peer().intake().banList(), "192.168.1."));  // shorter than the prefix
  EXPECT_TRUE(peer().intake().inList(peer().intake().banList(), "192.168.100.105"));
  EXPECT_FALSE(peer().intake().inList(peer().intake().banList(),
                                      "10.0.0.7"));  // the entry has a trailing blank
  EXPECT_TRUE(peer().intake().inList(peer().intake().banList(),
                                     "172.200.3.4"));  // everything after "*" is ignored
}

TEST_F(ListsTest, StarBansAllButVips) {
  dir.write("varnok.ban", "*\n");
  dir.write("varnok.vip", "127.0.0.9\n");
  create("[Inputs]\nSocket=0\n");
  EXPECT_TRUE(peer().intake().banned("127.0.0.1"));
  EXPECT_FALSE(peer().intake().banned("127.0.0.9"));
}

TEST_F(ListsTest, VipWithoutBanAndMissingFilesChangeNothing) {
  dir.write("varnok.vip", "127.0.0.1\n");
  create("[Inputs]\nSocket=0\n");
  EXPECT_TRUE(peer().intake().banList().entries().empty());
  EXPECT_FALSE(peer().intake().banned("127.0.0.1"));
  EXPECT_FALSE(peer().intake().banned("8.8.8.8"));
}

TEST_F(ListsTest, EnormousLineIsSkippedWithoutReadingItIntoMemory) {
  dir.write("varnok.ban", std::string(10 << 20, 'x') + "\n127.0.0.3\n");
  create("[Inputs]\nSocket=0\n");
  EXPECT_EQ(peer().intake().banList().entries(), std::vector<std::string>{"127.0.0.3"});
}

}  // namespace
}  // namespace varnok::testing
