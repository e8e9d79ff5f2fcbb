#include "nowplaying/file_watcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/descriptor_fill.h"
#include "support/temp_dir.h"
#include "support/virtual_time.h"

namespace varnok::nowplaying {
namespace {

namespace fs = std::filesystem;

void writeInPlace(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}
void renameOver(const std::string& path, const std::string& content) {
  writeInPlace(path + ".new", content);
  fs::rename(path + ".new", path);
}

class FileWatcherTest : public ::testing::Test {
 protected:
  void start(FileWatcher::Settings settings = {}) {
    if (settings.path.empty()) settings.path = path;
    watcher = std::make_unique<FileWatcher>(
        loop, settings, [this](Update u) { updates.emplace_back(clock.monotonicMs(), u); },
        [this](std::string line) { log.push_back(line); });
    std::string error;
    ASSERT_TRUE(watcher->start(&error)) << error;
  }
  std::string lastTitle() const { return updates.empty() ? "" : updates.back().second.title; }

  ManualClock clock;
  Application app;
  EventLoop loop{clock, app};
  testing::VirtualTime time{loop, clock};
  testing::TempDir dir;
  std::string path = dir.folder() + "np.txt";
  std::vector<std::pair<std::int64_t, Update>> updates;  // when, what
  std::vector<std::string> log;
  std::unique_ptr<FileWatcher> watcher;
};

TEST_F(FileWatcherTest, ReadOnceQuietForAQuarterSecondOrOneSecondAfterTheFirstChange) {
  struct Case {
    const char* label;
    std::function<void(const std::string& content)> write;
    std::vector<int> writes, reads;  // ms after start
  };
  const auto inPlace = [&](const std::string& c) { writeInPlace(path, c); };
  const std::vector<Case> cases = {
      {"in place", inPlace, {0}, {250}},
      {"renamed over", [&](auto& c) { renameOver(path, c); }, {0, 200, 400}, {650}},
      {"deleted, created again",
       [&](auto& c) { c == "A - 0" ? void(fs::remove(path)) : writeInPlace(path, c); },
       {0, 100},
       {350}},
      {"without pause",
       inPlace,
       {0, 100, 200, 300, 400, 500, 600, 700, 800, 900, 1000, 1100},
       {1000, 1350}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    writeInPlace(path, "A - start");
    updates.clear();
    start();
    time.advance(0);
    EXPECT_EQ(lastTitle(), "start");  // what is on air when the program starts
    const std::int64_t t0 = clock.monotonicMs();
    for (int at : c.writes) {
      time.advance(t0 + at - clock.monotonicMs());
      c.write("A - " + std::to_string(at));
    }
    time.advance(3000);
    std::vector<int> reads;
    for (std::size_t i = 1; i < updates.size(); ++i) reads.push_back(updates[i].first - t0);
    EXPECT_EQ(reads, c.reads);
    EXPECT_EQ(lastTitle(), std::to_string(c.writes.back()));
  }
  EXPECT_EQ(log, std::vector<std::string>{});
}

TEST_F(FileWatcherTest, AProblemIsLoggedOnceUntilAGoodRead) {
  struct Case {
    std::function<void()> cause;  // given a clean slate
    std::string line;
    FileFormat format = FileFormat::Line;
  };
  const std::string notFound = "Now playing file not found - " + path;
  const std::string notRegular = "Now playing file cannot be read - not a regular file (" + path;
  const std::vector<Case> cases = {
      {[&] {
         writeInPlace(path, "x");
         fs::remove(path);
       },
       notFound},
      {[&] { ::mkfifo(path.c_str(), 0600); }, notRegular + ")"},
      {[&] { fs::create_directory(path); }, notRegular + ")"},
      {[&] { writeInPlace(path, std::string(1 << 20, 'x')); },
       "Now playing file cannot be read - larger than 65536 bytes (" + path + ")"},
      {[&] { writeInPlace(path, "[]"); },
       "Now playing file cannot be parsed - not a JSON object (" + path + ")", FileFormat::Json},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const auto redo = [&](const std::function<void()>& what) {
      fs::remove_all(path);
      what();
      time.advance(300);
    };
    watcher.reset();
    log.clear();
    updates.clear();
    redo(c.cause);
    start({path, c.format, FileEncoding::Utf8, {}, 0, {}});
    for (int i = 0; i < 3; ++i) redo(c.cause);  // the same again: logged once
    EXPECT_EQ(log, std::vector<std::string>{c.line});
    redo([&] { writeInPlace(path, c.format == FileFormat::Json ? "{\"title\":\"ok\"}" : "ok"); });
    EXPECT_EQ(lastTitle(), "ok");
    redo(c.cause);  // after a good read: logged again
    redo([] {});    // a different problem, when it was not the missing file
    const std::vector<std::string> again{c.line, c.line, notFound};
    EXPECT_EQ(log, std::vector<std::string>(again.begin(), again.end() - (c.line == notFound)));
    EXPECT_EQ(updates.size(), 1u);
  }
}

// Whoever may write the folder must not be able to point the file at
// something else it can read: a link put there after start-up, a configured
// link pointed elsewhere, and the program's own secrets under any name are
// refused (logged once), and nothing of them is read.
TEST_F(FileWatcherTest, ALinkCannotTurnTheFileIntoALeak) {
  const std::string secret = dir.write("token", "Secret - s3cret\n");
  const std::string other = dir.write("other", "Leak - ed\n");
  const std::string target = dir.folder() + "np-target.txt";
  struct Case {
    const char* label;
    std::function<void()> before, after;
    std::string line;
  };
  const std::string refused = "Now playing file refused - ";
  const std::vector<Case> cases = {
      {"a link after start-up", [&] { writeInPlace(path, "A - ok"); },
       [&] { fs::create_symlink(other, path); },
       refused + "it became a link after start-up (" + path + ")"},
      {"a configured link pointed elsewhere",
       [&] {
         writeInPlace(target, "A - ok");
         fs::create_symlink(target, path);
       },
       [&] { fs::create_symlink(other, path); },
       refused + "the link now points elsewhere (" + path + ")"},
      {"a secret by another name", [&] { writeInPlace(path, "A - ok"); },
       [&] { fs::create_hard_link(secret, path); },
       refused + "it is one of Varnok's own secret files (" + path + ")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    watcher.reset();
    log.clear();
    fs::remove(path);
    c.before();
    start({path, FileFormat::Line, FileEncoding::Utf8, {}, 0, {secret}});
    time.advance(300);
    EXPECT_EQ(lastTitle(), "ok");
    for (int i = 0; i < 2; ++i) {
      fs::remove(path);
      c.after();
      time.advance(1300);
    }
    EXPECT_EQ(lastTitle(), "ok");
    EXPECT_EQ(log, std::vector<std::string>{c.line});
  }
}

TEST_F(FileWatcherTest, AFileReplacedAThousandTimesASecondIsReadAtMostOncePerDebounce) {
  writeInPlace(path, "Peer - 0");
  start();
  std::atomic<int> written{0};
  std::thread peer([&] {
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 1; i <= 1000; ++i) {
      renameOver(path, "Peer - " + std::to_string(i));
      written = i;
      std::this_thread::sleep_until(begin + std::chrono::milliseconds(i));
    }
  });
  // Virtual time moves 10 ms for each round in which the peer has written:
  // the file is never quiet for 250 ms, so only the 1 s limit reads it.
  for (int step = 0, seen = 0; seen < 1000 && step < 100000; ++step) {
    loop.runOnce(1);  // waits for the peer's events, never for a timer
    if (written != seen) {
      seen = written;
      time.advance(10);
    }
  }
  peer.join();
  ASSERT_GE(updates.size(), 2u);
  for (std::size_t i = 1; i < updates.size(); ++i) {
    EXPECT_GE(updates[i].first - updates[i - 1].first, FileWatcher::kLatestMs);
    EXPECT_LE(updates[i].first - updates[i - 1].first, FileWatcher::kLatestMs + 10);
    EXPECT_EQ(updates[i].second.artist, "Peer");
    EXPECT_GE(std::stoi(updates[i].second.title), std::stoi(updates[i - 1].second.title));
  }
  EXPECT_EQ(log, std::vector<std::string>{});
}

TEST_F(FileWatcherTest, PollingSeesWhatInotifyIsNotTold) {
  // The path is a link to a file in another folder: writing the file there
  // tells the watch on this folder nothing.
  struct Case {
    const char* label;
    int pollSeconds;
    bool inotifyExhausted;
    int seenAfterMs;  // -1: never
  };
  const std::vector<Case> cases = {
      {"not polled", 0, false, -1},
      {"polled every 2 s", 2, false, 2000 + FileWatcher::kQuietMs},
      {"no inotify left: every second", 0, true, 1000 + FileWatcher::kQuietMs},
  };
  const std::string target = dir.folder() + "elsewhere/np.txt";
  fs::create_directory(dir.folder() + "elsewhere");
  fs::create_symlink(target, path);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    writeInPlace(target, "A - 1");
    watcher.reset();  // its descriptor is not to be freed under the fill
    {
      std::optional<testing::DescriptorFill> fill;
      if (c.inotifyExhausted) fill.emplace();
      start({path, FileFormat::Line, FileEncoding::Cp1252, {}, c.pollSeconds, {}});
    }
    time.advance(0);
    updates.clear();
    writeInPlace(target, "A - 22\x80");
    time.advance(c.seenAfterMs < 0 ? 5000 : c.seenAfterMs - 1);
    EXPECT_EQ(lastTitle(), "");
    time.advance(1);
    EXPECT_EQ(lastTitle(), c.seenAfterMs < 0 ? "" : "22\u20AC");
  }
  EXPECT_EQ(log, std::vector<std::string>{"Now playing file cannot be watched - Too many open "
                                          "files: checking it every second instead (" +
                                          path + ")"});
}

TEST_F(FileWatcherTest, AnOverflowingEventQueueStillEndsInARead) {
  int limit = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  writeInPlace(path, "A - 1");
  start();
  time.advance(0);
  // Writes to two other files in turn: no event repeats the one before it,
  // so none is merged into another and each takes a place in the queue.
  const UniqueFd a(::open((path + ".a").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  const UniqueFd b(::open((path + ".b").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  for (int i = 0; i <= limit; ++i) ASSERT_EQ(::write((i % 2 ? a : b).get(), "x", 1), 1);
  writeInPlace(path, "A - 2");  // its events find the queue full
  for (int i = 0; i < 10; ++i) time.advance(FileWatcher::kQuietMs);
  EXPECT_EQ(lastTitle(), "2");
}

TEST_F(FileWatcherTest, AFolderThatGoesIsWatchedAgainWhenItIsBack) {
  const std::string folder = dir.folder() + "np";
  path = folder + "/np.txt";
  const std::vector<std::string> gone{"Now playing folder not found - " + folder,
                                      "Now playing file not found - " + path};
  const std::string back = "Now playing folder watched again - " + folder;
  start();
  time.advance(0);
  EXPECT_EQ(log, gone);
  const auto recreate = [&](const std::string& content) {
    fs::create_directory(folder);
    writeInPlace(path, content);
    time.advance(FileWatcher::kRewatchMs + FileWatcher::kQuietMs);
    EXPECT_EQ(lastTitle(), content.substr(4));
  };
  recreate("A - 1");
  fs::remove_all(folder);
  time.advance(FileWatcher::kQuietMs);
  recreate("A - 2");
  // Moved away and replaced at once: the new folder is watched at once.
  fs::rename(folder, folder + ".old");
  fs::create_directory(folder);
  renameOver(path, "A - 3");
  time.advance(FileWatcher::kQuietMs);
  EXPECT_EQ(lastTitle(), "3");
  writeInPlace(path, "A - 4");
  time.advance(FileWatcher::kQuietMs);
  EXPECT_EQ(lastTitle(), "4");
  EXPECT_EQ(log, (std::vector<std::string>{gone[0], gone[1], back, gone[0], gone[1], back}));
}

}  // namespace
}  // namespace varnok::nowplaying
