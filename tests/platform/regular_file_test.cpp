// Reading a file from the program folder: only a regular file is read, and
// nothing else in its place can make the reader wait.

#include "platform/regular_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <string_view>

#include "platform/secret_file.h"
#include "support/temp_dir.h"

namespace varnok {
namespace {

using testing::TempDir;

// Bytes that differ from piece to piece, so that a piece lost or doubled at
// a boundary shows.
std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

TEST(RegularFile, IsReadWholeOrUpToTheLimit) {
  TempDir dir;
  const std::string content = pattern(200000);  // several pieces
  const std::string path = dir.write("big.bin", content);

  EXPECT_EQ(readRegularFile(path, content.size() + 1), content);
  EXPECT_EQ(readRegularFile(path, content.size()), content);
  EXPECT_EQ(readRegularFile(path, 70000), content.substr(0, 70000));
  EXPECT_EQ(readRegularFile(path, 0), "") << "read, with nothing of it wanted";
  EXPECT_EQ(readRegularFile(dir.write("empty.ini", ""), 100), "");

  const std::string link = dir.folder() + "link.bin";
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  EXPECT_EQ(readRegularFile(link, content.size()), content) << "a link to a file is followed";
}

TEST(RegularFile, PiecesComeInOrderUntilTheTakerStops) {
  TempDir dir;
  const std::string content = pattern(150000);
  const std::string path = dir.write("big.bin", content);

  std::string joined;
  int pieces = 0;
  EXPECT_TRUE(readRegularFileInPieces(path, [&](std::string_view piece) {
    joined.append(piece);
    ++pieces;
    return true;
  }));
  EXPECT_EQ(joined, content);
  EXPECT_GE(pieces, 3);

  pieces = 0;
  EXPECT_TRUE(readRegularFileInPieces(path, [&](std::string_view) {
    ++pieces;
    return false;
  }));
  EXPECT_EQ(pieces, 1) << "no piece after the taker said stop";
}

TEST(RegularFile, AnythingElseIsRefused) {
  TempDir dir;
  int pieces = 0;
  const auto count = [&](std::string_view) {
    ++pieces;
    return true;
  };
  for (const std::string& path : {dir.folder() + "missing.ini", dir.path(),
                                  std::string("/dev/zero"), std::string("/dev/null")}) {
    EXPECT_FALSE(readRegularFile(path, 1 << 20)) << path;
    EXPECT_FALSE(readRegularFileInPieces(path, count)) << path;
  }
  EXPECT_EQ(pieces, 0);

  const std::string locked = dir.write("locked.ini", "[CommandList]\n");
  ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
  if (::geteuid() != 0) {
    EXPECT_FALSE(readRegularFile(locked, 100)) << "unreadable";
  }
}

TEST(RegularFile, AFifoIsRefusedWithoutWaitingForAWriter) {
  TempDir dir;
  const std::string fifo = dir.folder() + "list.ini";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto reading = std::async(std::launch::async, [&] { return readRegularFile(fifo, 1024); });
  if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    // Let the stuck reader go, so that the test can end: a writer that comes
    // and leaves at once.
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
    FAIL() << "the reader waited on the FIFO";
  }
  EXPECT_FALSE(reading.get());
}

// A secret is taken only from a regular file that nobody else may read, and
// only its first line, blanks around it dropped; a FIFO in its place makes
// nobody wait.
TEST(RegularFile, SecretIsTheFirstLineOfAFileOnlyItsOwnerMayRead) {
  TempDir dir;
  ::mkfifo((dir.folder() + "fifo").c_str(), 0600);
  using Status = SecretFile::Status;
  const struct {
    const char* name;
    const char* content;  // nullptr: made by hand above, or missing
    mode_t mode;
    Status status;
    const char* secret;
  } cases[] = {
      {"token", " s3cret \r\nsecond\n", 0600, Status::Read, "s3cret"},
      {"blank", "  \n", 0400, Status::Read, ""},
      {"readable", "s3cret\n", 0640, Status::OthersMayRead, ""},
      {"everyone", "s3cret\n", 0604, Status::OthersMayRead, ""},
      {"missing", nullptr, 0, Status::CannotRead, ""},
      {"fifo", nullptr, 0, Status::CannotRead, ""},
      {"", nullptr, 0, Status::CannotRead, ""},  // the folder itself
  };
  for (const auto& c : cases) {
    if (c.content != nullptr) {
      dir.write(c.name, c.content);
      ::chmod((dir.folder() + c.name).c_str(), c.mode);
    }
    const SecretFile got = readSecretFile(dir.folder() + c.name);
    EXPECT_EQ(got.status, c.status) << c.name;
    EXPECT_EQ(got.firstLine, c.secret) << c.name;
  }
}

}  // namespace
}  // namespace varnok
