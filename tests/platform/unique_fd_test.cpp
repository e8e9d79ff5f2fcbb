// The descriptor owner: every descriptor is closed exactly once, by whoever
// holds it last.

#include "platform/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

namespace varnok {
namespace {

// A pipe whose write end goes to an owner under test, while the test keeps
// the read end: reading it tells whether the write end is closed yet.
struct WatchedPipe {
  WatchedPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      readEnd = fds[0];
      writeEnd = fds[1];
    }
  }
  ~WatchedPipe() { ::close(readEnd); }
  bool writerClosed() const {
    char c;
    return ::read(readEnd, &c, 1) == 0;  // end of stream, not "nothing yet"
  }
  int readEnd = -1;
  int writeEnd = -1;  // the owner's; the test does not close it
};

TEST(UniqueFd, OnlyTheLastOwnerCloses) {
  WatchedPipe pipe;
  ASSERT_GE(pipe.writeEnd, 0);
  UniqueFd last;
  {
    UniqueFd first(pipe.writeEnd);
    UniqueFd second(std::move(first));
    EXPECT_FALSE(first);
    last = std::move(second);
    EXPECT_FALSE(second);
    UniqueFd& alias = last;  // assigning an owner to itself keeps the descriptor
    last = std::move(alias);
  }  // the moved-from owners end here
  EXPECT_FALSE(pipe.writerClosed());
  EXPECT_EQ(last.get(), pipe.writeEnd);

  WatchedPipe other;
  ASSERT_GE(other.writeEnd, 0);
  last = UniqueFd(other.writeEnd);
  EXPECT_TRUE(pipe.writerClosed()) << "assigning over an owner closes what it held";
  EXPECT_FALSE(other.writerClosed());
  last.reset();
  EXPECT_TRUE(other.writerClosed());
  EXPECT_FALSE(last);
}

TEST(UniqueFd, ResetClosesOnceEvenWhenTheNumberIsReused) {
  WatchedPipe pipe;
  ASSERT_GE(pipe.writeEnd, 0);
  const int number = pipe.writeEnd;
  UniqueFd owner(number);
  owner.reset();
  EXPECT_TRUE(pipe.writerClosed());

  // The system hands the same number out again, to a descriptor the owner
  // has nothing to do with: neither a second reset nor the end may close it.
  WatchedPipe other;
  ASSERT_GE(other.writeEnd, 0);
  ASSERT_EQ(::dup2(other.writeEnd, number), number);
  owner.reset();
  { UniqueFd ended = std::move(owner); }
  EXPECT_NE(::fcntl(number, F_GETFD), -1) << "closed twice";
  ::close(number);
  ::close(other.writeEnd);
}

TEST(UniqueFd, AReleasedDescriptorIsTheCallers) {
  WatchedPipe pipe;
  ASSERT_GE(pipe.writeEnd, 0);
  int released = -1;
  {
    UniqueFd owner(pipe.writeEnd);
    released = owner.release();
    EXPECT_FALSE(owner);
  }
  EXPECT_EQ(released, pipe.writeEnd);
  EXPECT_FALSE(pipe.writerClosed());
  ::close(released);
}

}  // namespace
}  // namespace varnok
