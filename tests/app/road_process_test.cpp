// The program used as a station would use it: producers over TCP, second
// copies on the command line, encoder simulators on loopback ports.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "installed.h"
#include "process_harness.h"
#include "support/loopback.h"

namespace varnok::testing {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// An encoder simulator process recording into a file.
class Encoder {
 public:
  explicit Encoder(const TempDir& dir, const std::string& name) {
    out = dir.folder() + name + ".bin";
    const std::string ready = dir.folder() + name + ".port";
    sim = std::make_unique<ChildProcess>(
        ENCODER_SIM, std::vector<std::string>{"--port", "0", "--out", out, "--ready-file", ready,
                                              "--print", "none"});
    sim->waitForOutput("listening on");
    port = static_cast<std::uint16_t>(std::stoi(readFile(ready)));
  }
  // Waits until the recorded bytes reach the given size.
  std::string receivedAtLeast(std::size_t size, int timeoutMs = 10000) const {
    std::string got;
    for (int waited = 0; waited < timeoutMs; waited += 20) {
      got = readFile(out);
      if (got.size() >= size) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return got;
  }
  std::unique_ptr<ChildProcess> sim;
  std::string out;
  std::uint16_t port = 0;
};

std::string twoEncoders(std::uint16_t listen, std::uint16_t a, std::uint16_t b) {
  return "[General]\nEncoderCount=2\nRepeat=0\n[Inputs]\nListenOnPort=" + std::to_string(listen) +
         "\n[Encoder1]\nName=Studio A\nHost=127.0.0.1\nPort=" + std::to_string(a) +
         "\n[Encoder2]\nName=Studio B\nHost=127.0.0.1\nPort=" + std::to_string(b) + "\n";
}

TEST(RoadProcess, ProducerCommandReachesBothEncoders) {
  TempDir work;
  Encoder a(work, "a"), b(work, "b");
  ASSERT_NE(a.port, 0);
  const std::uint16_t listen = closedPort();
  Installed app(twoEncoders(listen, a.port, b.port));
  auto varnok = app.start();
  ASSERT_TRUE(varnok->waitForOutput("Listening on port " + std::to_string(listen)))
      << varnok->out() << varnok->err();

  EXPECT_EQ(produce(listen, "RT1=Hello\r", 7), "\r\n+\r\n\r\n");
  EXPECT_EQ(a.receivedAtLeast(10), "RT1=Hello\r");
  EXPECT_EQ(b.receivedAtLeast(10), "RT1=Hello\r");
  // Nothing more follows (no repeats with Repeat 0).
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(readFile(a.out), "RT1=Hello\r");

  varnok->signal(SIGTERM);
  EXPECT_EQ(varnok->wait(), 0);
  EXPECT_NE(varnok->out().find("Client 127.0.0.1:" + std::to_string(listen) + " connected"),
            std::string::npos);
}

TEST(RoadProcess, SecondCopyHandsOverCommandsAndFiles) {
  // Encoders on ports nobody listens on: the commands stay in the queues,
  // where the status dump shows them.
  const std::uint16_t closed = closedPort();
  Installed app(
      "[General]\nEncoderCount=2\nErrorLimit=1000\n[Inputs]\nSocket=0\n"
      "[Encoder1]\nName=Studio A\nPort=" +
      std::to_string(closed) + "\n[Encoder2]\nName=Studio B\nPort=" + std::to_string(closed) +
      "\n");
  app.write("cmd.ini",
            "[CommandList]\nCommandCount=2\nDestinationName=studio b\n"
            "Command1=PS=NEWS\nCommand2=RT=News at six\n");
  auto first = app.start();
  ASSERT_TRUE(first->waitForOutput("Configuration file loaded\n")) << first->err();

  auto second = app.start({"RT1=Hello"});
  EXPECT_EQ(second->wait(), 0) << second->err();
  auto bare = app.start();  // no arguments: "NULL" is handed over
  EXPECT_EQ(bare->wait(), 0) << bare->err();
  auto third = app.start({"FILE:cmd.ini"});
  EXPECT_EQ(third->wait(), 0) << third->err();
  EXPECT_TRUE(first->waitForOutput("File processed - " + app.folder + "cmd.ini\n"));

  first->signal(SIGUSR1);
  ASSERT_TRUE(first->waitForOutput("\n\n"));
  const std::string& out = first->out();
  EXPECT_NE(out.find("Studio A\t127.0.0.1\t" + std::to_string(closed) + "\t2\t"), std::string::npos)
      << out;
  EXPECT_NE(out.find("Studio B\t127.0.0.1\t" + std::to_string(closed) + "\t4\t"), std::string::npos)
      << out;

  // Too long to hand over: refused loudly, nothing arrives.
  auto tooLong = app.start({std::string(256, 'x')});
  EXPECT_EQ(tooLong->wait(), 1);
  EXPECT_NE(tooLong->err().find("255"), std::string::npos) << tooLong->err();

  first->signal(SIGTERM);
  EXPECT_EQ(first->wait(), 0);
}

TEST(RoadProcess, ASecondCopyFailsWhenTheRunningCopyCannotReadTheFile) {
  Installed app("[Inputs]\nSocket=0\n[General]\nEncoderCount=1\n[Encoder1]\nName=Studio A\nPort=" +
                std::to_string(closedPort()) + "\n");
  app.write("news.ini", "[CommandList]\nCommand1=PS=NEWS\n");
  std::filesystem::create_directory(app.folder + "folder.ini");
  auto first = app.start();
  ASSERT_TRUE(first->waitForOutput("Configuration file loaded\n")) << first->err();

  for (const std::string name : {"missing.ini", "folder.ini"}) {
    auto second = app.start({"FILE:" + name});
    EXPECT_EQ(second->wait(), 1) << name;
    EXPECT_NE(second->err().find("the running copy could not read the file " + name),
              std::string::npos)
        << second->err();
    EXPECT_TRUE(first->waitForOutput("File could not be read - " + app.folder + name + "\n"))
        << first->out();
  }
  EXPECT_EQ(first->out().find("File processed"), std::string::npos) << first->out();

  auto readable = app.start({"FILE:news.ini"});
  EXPECT_EQ(readable->wait(), 0) << readable->err();
  EXPECT_EQ(readable->err(), "");
  EXPECT_TRUE(first->waitForOutput("File processed - " + app.folder + "news.ini\n"));

  first->signal(SIGTERM);
  EXPECT_EQ(first->wait(), 0);
}

// Without XDG_RUNTIME_DIR the channel lives in the user's cache folder, which
// no other user can take first. A file where the shared /tmp once held the
// channel folder would stop every start if that place were still used.
TEST(RoadProcess, WithoutARuntimeFolderTheChannelLivesInTheUsersCache) {
  struct Planted {
    std::string path = "/tmp/varnok-" + std::to_string(::geteuid());
    // Something there already is left as it is.
    int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    ~Planted() {
      if (fd >= 0 && ::close(fd) == 0) ::unlink(path.c_str());
    }
  } planted;
  Installed app("[Inputs]\nSocket=0\n");
  const std::string home = app.dir.folder() + "home";
  std::filesystem::create_directory(home);
  const std::vector<std::string> env = {"VARNOK_HEADLESS=1", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME",
                                        "HOME=" + home};
  ChildProcess first(app.program(), {}, app.folder, env);
  ASSERT_TRUE(first.waitForOutput("Configuration file loaded\n")) << first.err();
  std::vector<std::filesystem::path> sockets;
  std::error_code ec;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home, ec)) {
    if (entry.is_socket() && entry.path().extension() == ".sock") sockets.push_back(entry.path());
  }
  ASSERT_EQ(sockets.size(), 1u) << "no channel under " << home;
  const std::filesystem::path folder = sockets[0].parent_path();
  EXPECT_EQ(folder.parent_path(), home + "/.cache");
  EXPECT_EQ(folder.filename().string().rfind("varnok-run", 0), 0u) << folder;
  struct stat st {};
  ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & (S_IFMT | 0777), S_IFDIR | 0700u);
  ChildProcess second(app.program(), {"RT=through the cache"}, app.folder, env);
  EXPECT_EQ(second.wait(), 0) << second.err();
  first.signal(SIGTERM);
  EXPECT_EQ(first.wait(), 0);

  // A home so deep that no socket address can hold the channel's path: the
  // program does not start, and says what to do.
  const std::string deep = home + "/" + std::string(100, 'd');
  std::filesystem::create_directory(deep);
  ChildProcess tooDeep(app.program(), {}, app.folder,
                       {"VARNOK_HEADLESS=1", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME", "HOME=" + deep});
  EXPECT_EQ(tooDeep.wait(), 1);
  EXPECT_EQ(tooDeep.out(), "");
  EXPECT_NE(tooDeep.err().find("XDG_RUNTIME_DIR"), std::string::npos) << tooDeep.err();
}

TEST(RoadProcess, FoldersWithOtherNamesRunSideBySide) {
  Installed one("[Inputs]\nSocket=0\n", "One");
  Installed two("[Inputs]\nSocket=0\n", "Two");
  auto a = one.start();
  auto b = two.start();
  ASSERT_TRUE(a->waitForOutput("Configuration file loaded\n"));
  ASSERT_TRUE(b->waitForOutput("Configuration file loaded\n"));
  a->signal(SIGTERM);
  b->signal(SIGTERM);
  EXPECT_EQ(a->wait(), 0);
  EXPECT_EQ(b->wait(), 0);
}

// The usual reflexes are answered where they are typed and reach no
// encoder; arguments that find no copy running are said to be unused.
TEST(RoadProcess, ReflexesAreAnsweredLocallyAndUnusedArgumentsAreLogged) {
  Installed app(
      "[General]\nEncoderCount=1\n[Encoder1]\nName=A\nHost=127.0.0.20\nPort=1024\n"
      "[Inputs]\nSocket=0\n");
  ChildProcess first(app.program(), {"RT1=early"}, app.folder, app.env());
  ASSERT_TRUE(first.waitForOutput("Not handed over - no copy of Varnok was running (RT1=early)\n"))
      << first.out() << first.err();
  const std::pair<const char*, const char*> reflexes[] = {{"--help", "Usage: varnok"},
                                                          {"-h", "Usage: varnok"},
                                                          {"--version", "varnok 1.0\n"},
                                                          {"-V", "varnok 1.0\n"}};
  for (const auto& [arg, answer] : reflexes) {
    ChildProcess reflex(app.program(), {arg}, app.folder, app.env());
    EXPECT_EQ(reflex.wait(), 0) << arg;
    EXPECT_EQ(reflex.out().rfind(answer, 0), 0u) << arg << ": " << reflex.out();
  }
  // A real command still goes over, and is all that was queued.
  ChildProcess command(app.program(), {"RT1=later"}, app.folder, app.env());
  EXPECT_EQ(command.wait(), 0) << command.err();
  EXPECT_EQ(statusDump(first)["A"].queue, "1") << first.out();
  first.signal(SIGTERM);
  EXPECT_EQ(first.wait(), 0);
}

}  // namespace
}  // namespace varnok::testing
