// The DAB+ dynamic label file: its bytes, the tags, and the atomic write a
// reader never sees half done.
#include "nowplaying/dls_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/regular_file.h"
#include "support/temp_dir.h"

namespace varnok::nowplaying {
namespace {

std::string repeat(const std::string& unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

// The text line and a parameters block: toggle and running "0" or "1", tags "c s l".
std::string file(const std::string& text, const char* toggle, const char* running,
                 const std::vector<std::string>& tags) {
  std::string out = text + "\n##### parameters { #####\nDL_PLUS=1\nDL_PLUS_ITEM_TOGGLE=" + toggle +
                    "\nDL_PLUS_ITEM_RUNNING=" + running + "\n";
  for (const std::string& tag : tags) out += "DL_PLUS_TAG=" + tag + "\n";
  return out + "##### parameters } #####\n";
}

TEST(DlsFile, RendersTheFile) {
  const auto U8 = DlsCharset::Utf8;
  const auto Ebu = DlsCharset::EbuLatin;
  const std::string sigur = "Sigur Rós - Hoppípolla";  // 22 characters, 24 bytes
  const std::vector<DlsTag> some = {{0, 0, 0}, {1, -1, 0}, {64, 0, 0}, {1, 0, 0},
                                    {2, 2, 0}, {3, 4, 0},  {4, 6, 0},  {5, 8, 0}};
  const struct {
    DlsLabel label;
    DlsCharset charset;
    std::string expected;
  } cases[] = {
      {{"Artist - Title", {{4, 0, 5}, {1, 9, 4}}, false, true},
       U8,
       file("Artist - Title", "0", "1", {"4 0 5", "1 9 4"})},
      {{"Station\tjingle", {}, true, false}, U8, "Station jingle\n"},
      {{"Café $", {{1, 0, 3}}, true, false}, Ebu, file("Caf\x82 \xAB", "1", "0", {"1 0 3"})},
      // 130 characters: cut at the space at character 126; the second tag lay past it.
      {{repeat("Hoppípolla ", 11) + "Sigur Rós", {{4, 0, 9}, {1, 127, 2}}, false, false},
       U8,
       file(repeat("Hoppípolla ", 11) + "Sigur", "0", "0", {"4 0 9"})},
      // Invalid tags are skipped; the first four valid ones written.
      {{"A B C D E", some, false, true},
       U8,
       file("A B C D E", "0", "1", {"1 0 0", "2 2 0", "3 4 0", "4 6 0"})},
      // Positions count characters: the title is characters 12 to 21 (bytes 14 to 23).
      {{sigur, tagsFromRtPlus("4,0,8,1,12,9"), false, false},
       U8,
       file(sigur, "0", "0", {"4 0 8", "1 12 9"})},
  };
  for (const auto& c : cases) EXPECT_EQ(renderDls(c.label, c.charset), c.expected) << c.label.text;

  EXPECT_EQ(tagsFromRtPlus("0,0,0,1,3,4"), (std::vector<DlsTag>{{1, 3, 4}}));
  for (const char* bad : {"", "4,0,5,1,9", "4,0,5,1,9,4,", "4,0,-5,1,9,4", "4,0,5,1,9,x"}) {
    EXPECT_TRUE(tagsFromRtPlus(bad).empty()) << bad;
  }
}

TEST(DlsFile, WritesOnlyWhatChangedAndLeavesNoTemporaryFile) {
  const testing::TempDir dir;
  const std::string path = dir.folder() + "dls.txt";
  struct stat before = {}, after = {};
  ASSERT_TRUE(writeDlsFile(path, "Abc\n").value());
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  EXPECT_FALSE(writeDlsFile(path, "Abc\n").value());
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);

  const auto missing = writeDlsFile(dir.folder() + "none/dls.txt", "A\n");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, ENOENT);
  EXPECT_NE(missing.error().message.find(dir.folder() + "none/dls.txt"), std::string::npos);
  // A folder in the way: the temporary file is made but cannot replace it.
  std::filesystem::create_directory(dir.folder() + "folder");
  EXPECT_EQ(writeDlsFile(dir.folder() + "folder", "A\n").error().code, EISDIR);
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"dls.txt", "folder"}));
}

TEST(DlsFile, AReaderOnlySeesWholeFiles) {
  const testing::TempDir dir;
  const std::string path = dir.folder() + "dls.txt";
  std::set<std::string> known;  // of varied lengths, so a mix would show
  for (int i = 0; i < 1000; ++i) {
    const DlsLabel label{repeat("Artist ", i % 17u) + "- " + std::to_string(i), {}, false, true};
    known.insert(renderDls(label, DlsCharset::Utf8));
  }
  ASSERT_TRUE(writeDlsFile(path, *known.rbegin()).ok());
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, bad{0};
  std::thread reader([&] {
    for (int i = 0; i < 10'000'000 && !done; ++i, ++reads) {
      const auto seen = readRegularFile(path, 4096);
      if (!seen || !known.contains(*seen)) ++bad;
    }
  });
  for (int i = 0; i < 100'000 && reads == 0; ++i) std::this_thread::yield();
  for (const std::string& content : known) EXPECT_TRUE(writeDlsFile(path, content).ok());
  done = true;
  reader.join();
  EXPECT_GT(reads, 1);
  EXPECT_EQ(bad, 0);
}

}  // namespace
}  // namespace varnok::nowplaying
