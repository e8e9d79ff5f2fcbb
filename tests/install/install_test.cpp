// "cmake --install" of this build into a fresh prefix, and the installed
// program started the way an administrator starts it: through the link in
// bin, reading its configuration through the links in its program folder.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/loopback.h"
#include "support/temp_dir.h"

namespace varnok::testing {
namespace {

namespace fs = std::filesystem;

const char kAck[] = "\r\n+\r\n\r\n";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// This build tree installed into <temporary folder>/prefix; with the default
// sysconfdir the configuration lands in <prefix>/etc/varnok.
class Installation {
 public:
  Installation() : prefix(dir.folder() + "prefix") { install(); }

  // Runs the install (again); its exit status and output are kept.
  void install() {
    ChildProcess cmake(VARNOK_CMAKE, {"--install", VARNOK_BUILD_DIR, "--prefix", prefix}, "",
                       {"DESTDIR"});
    status = cmake.wait(60000);
    log = cmake.out() + cmake.err();
  }
  std::string path(const std::string& relative) const { return prefix + "/" + relative; }
  std::string config(const std::string& name) const { return path("etc/varnok/" + name); }

  TempDir dir;
  const std::string prefix;
  std::optional<int> status;
  std::string log;
};

TEST(Install, LaysOutTheProgramFolderWithLinksToTheConfiguration) {
  Installation inst;
  ASSERT_EQ(inst.status, 0) << inst.log;

  // bin/varnok leads to the program in its own folder, by a relative link
  // that stays right wherever the tree is unpacked.
  const std::string program = inst.path("lib/varnok/varnok");
  ASSERT_TRUE(fs::is_symlink(inst.path("bin/varnok")));
  EXPECT_EQ(fs::read_symlink(inst.path("bin/varnok")), "../lib/varnok/varnok");
  EXPECT_EQ(fs::canonical(inst.path("bin/varnok")), fs::canonical(program));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(program)));
  EXPECT_EQ(access(program.c_str(), X_OK), 0);
  EXPECT_EQ(access(inst.path("bin/varnokctl").c_str(), X_OK), 0);

  // The program folder's files are absolute links to the configuration,
  // which starts as the production one: no encoder, producers from this
  // machine only (every line of 1 to 15 characters is an address, so the
  // lists' comments are longer).
  for (const std::string name : {"varnok.ini", "varnok.ban", "varnok.vip", "varnok.txt"}) {
    const std::string link = inst.path("lib/varnok/" + name);
    ASSERT_TRUE(fs::is_symlink(link)) << name;
    EXPECT_EQ(fs::read_symlink(link), inst.config(name)) << name;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(inst.config(name)))) << name;
    const std::string from = name == "varnok.txt" ? "/examples/" : "/packaging/config/";
    EXPECT_EQ(readFile(inst.config(name)), readFile(VARNOK_SOURCE_DIR + from + name)) << name;
  }
  const auto entries = [&](const std::string& name) {
    std::vector<std::string> short_;
    std::istringstream in(readFile(inst.config(name)));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.size() < 16) short_.push_back(line);
    }
    return short_;
  };
  EXPECT_EQ(entries("varnok.ban"), std::vector<std::string>{"*"});
  EXPECT_EQ(entries("varnok.vip"), std::vector<std::string>{"127.0.0.1"});
  EXPECT_NE(readFile(inst.config("varnok.ini")).find("ListenOnPort="), std::string::npos);

  // The unit starts the program of this prefix; every placeholder filled
  // (an @ of its own, as in @system-service, stays).
  const std::string unit = readFile(inst.path("lib/systemd/system/varnok.service"));
  EXPECT_NE(unit.find("\nExecStart=" + inst.prefix + "/bin/varnok\n"), std::string::npos) << unit;
  EXPECT_FALSE(std::regex_search(unit, std::regex("@[A-Z_]+@"))) << unit;

  // Manual pages are gzip files; the desktop entry and icons are where menus
  // look; the autostart entry is outside every autostart folder.
  for (const std::string page : {"varnok", "varnokctl"}) {
    const std::string gz = readFile(inst.path("share/man/man1/" + page + ".1.gz"));
    ASSERT_GT(gz.size(), 100u) << page;
    EXPECT_EQ(gz.substr(0, 2), "\x1f\x8b") << page;
  }
  EXPECT_NE(readFile(inst.path("share/applications/varnok.desktop")).find("\nExec=varnok\n"),
            std::string::npos);
  EXPECT_TRUE(fs::is_regular_file(inst.path("share/icons/hicolor/scalable/apps/varnok.svg")));
  EXPECT_TRUE(fs::is_regular_file(inst.path("share/icons/hicolor/64x64/apps/varnok.png")));
  EXPECT_TRUE(fs::is_regular_file(inst.path("share/varnok/autostart/varnok-autostart.desktop")));

  // Installing again keeps what the administrator changed, and the links.
  std::ofstream(inst.config("varnok.ini")) << "; edited\n";
  inst.install();
  ASSERT_EQ(inst.status, 0) << inst.log;
  EXPECT_EQ(readFile(inst.config("varnok.ini")), "; edited\n");
  EXPECT_NE(inst.log.find("Keeping: " + inst.config("varnok.ini")), std::string::npos) << inst.log;
  EXPECT_EQ(fs::read_symlink(inst.path("lib/varnok/varnok.ini")), inst.config("varnok.ini"));
}

// Connects from the given loopback address, sends command and closes.
bool sendFrom(const char* ip, std::uint16_t port, const std::string& command) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from = loopbackAddress(ip, 0);
  sockaddr_in to = loopbackAddress("127.0.0.1", port);
  const timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  const bool sent = bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
                    send(fd, command.data(), command.size(), MSG_NOSIGNAL) ==
                        static_cast<ssize_t>(command.size());
  close(fd);
  return sent;
}

std::string userName() {
  const passwd* pw = getpwuid(geteuid());
  return pw ? pw->pw_name : "";
}

TEST(Install, TheLinkedProgramReadsItsFolderAndTakesHandOffs) {
  Installation inst;
  ASSERT_EQ(inst.status, 0) << inst.log;

  // The configuration is written where the links point, never through them.
  const std::uint16_t listen = closedPort();
  const std::uint16_t encoder = closedPort();  // refuses: the commands stay queued
  std::ofstream(inst.config("varnok.ini"))
      << "[General]\nEncoderCount=1\nErrorLimit=1000\n[Inputs]\nListenOnPort=" << listen
      << "\n[Encoder1]\nName=Studio\nHost=127.0.0.1\nPort=" << encoder << "\n";
  // Only 127.0.0.1 of 127.0.0.* is served, and only if both lists are read.
  std::ofstream(inst.config("varnok.ban")) << "127.0.0.*\n";
  std::ofstream(inst.config("varnok.vip")) << "127.0.0.1\n";

  const std::string run = inst.dir.folder() + "run";
  ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
  const std::vector<std::string> env = {"VARNOK_HEADLESS=1", "XDG_RUNTIME_DIR=" + run};
  // Started from an unrelated folder: the program folder is found from the
  // executable, through the link.
  ChildProcess varnok(inst.path("bin/varnok"), {}, inst.dir.folder(), env);
  ASSERT_TRUE(varnok.waitForOutput("Listening on port " + std::to_string(listen) + "\n"))
      << varnok.out() << varnok.err();
  EXPECT_EQ(produce(listen, "RT=Hello\r", 7), kAck);

  // A banned producer's command is read (its data comes before its end) and
  // dropped.
  ASSERT_TRUE(sendFrom("127.0.0.7", listen, "RT=Banned\r"));
  ASSERT_TRUE(
      varnok.waitForOutput("Client 127.0.0.7:" + std::to_string(listen) + " disconnected\n"))
      << varnok.out();

  // Second copies through the link, bare ("NULL") and with a command, reach
  // the running copy; so does one in another folder of the same name, and
  // varnokctl when told that the service's user and runtime folder are ours.
  ChildProcess second(inst.path("bin/varnok"), {"RT1=Test"}, "", env);
  EXPECT_EQ(second.wait(), 0) << second.err();
  ChildProcess bare(inst.path("bin/varnok"), {}, "", env);
  EXPECT_EQ(bare.wait(), 0) << bare.err();
  const std::string elsewhere = inst.dir.folder() + "elsewhere/varnok/";
  fs::create_directories(elsewhere);
  fs::copy_file(VARNOK_BINARY, elsewhere + "varnok");
  ChildProcess namesake(elsewhere + "varnok", {"RT2=Namesake"}, "", env);
  EXPECT_EQ(namesake.wait(), 0) << namesake.err();
  ChildProcess ctl(inst.path("bin/varnokctl"), {"RT3=Ctl"}, "",
                   {"VARNOKCTL_USER=" + userName(), "VARNOKCTL_RUNTIME_DIR=" + run});
  EXPECT_EQ(ctl.wait(), 0) << ctl.out() << ctl.err();

  // Hello, Test, NULL, Namesake, Ctl: five, the banned one not among them.
  varnok.signal(SIGUSR1);
  const std::string row = "Studio\t127.0.0.1\t" + std::to_string(encoder) + "\t";
  ASSERT_TRUE(varnok.waitForOutput(row)) << varnok.out();
  ASSERT_TRUE(varnok.waitForOutput("\n\n")) << varnok.out();
  const std::string& out = varnok.out();
  EXPECT_NE(out.find(row + "5\t"), std::string::npos) << out;

  // Without the service's channel folder varnokctl starts nothing.
  ChildProcess noService(
      inst.path("bin/varnokctl"), {"RT4=Lost"}, "",
      {"VARNOKCTL_USER=" + userName(), "VARNOKCTL_RUNTIME_DIR=" + inst.dir.folder() + "absent"});
  EXPECT_EQ(noService.wait(), 1);
  EXPECT_NE(noService.err().find("the Varnok service is not running"), std::string::npos)
      << noService.err();

  varnok.signal(SIGTERM);
  EXPECT_EQ(varnok.wait(), 0) << varnok.err();
}

// Run by a user who may not enter the runtime folder, varnokctl cannot see
// whether the service runs: it says that permission is missing and how to get
// it, not that the service is not running. Status 1 either way.
TEST(Install, VarnokctlTellsAMissingServiceFromAFolderItMayNotEnter) {
  const char* const setpriv = "/usr/bin/setpriv";
  const passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || access(setpriv, X_OK) != 0 || !nobody) {
    GTEST_SKIP() << "needs root, setpriv and the user nobody to be kept out of a folder";
  }
  const std::string nobodyId = std::to_string(nobody->pw_uid);
  const std::string nobodyGroup = std::to_string(nobody->pw_gid);
  Installation inst;
  ASSERT_EQ(inst.status, 0) << inst.log;
  const std::string base = inst.dir.folder();
  const auto folder = [&](const std::string& name, mode_t mode) {
    ASSERT_EQ(mkdir((base + name).c_str(), mode), 0) << name;
    ASSERT_EQ(chmod((base + name).c_str(), mode), 0) << name;  // whatever the umask
  };
  ASSERT_EQ(chmod(inst.dir.path().c_str(), 0755), 0);  // nobody reaches the installed script
  folder("open", 0755);
  folder("closed", 0700);
  folder("closed/varnok", 0700);
  folder("grouped", 0750);
  folder("grouped/varnok", 0700);
  const group* own = getgrgid(getegid());
  ASSERT_NE(own, nullptr);

  struct Case {
    std::string runtime;
    std::string says;
  };
  const Case cases[] = {
      {"absent", "the Varnok service is not running"},
      {"open", "the Varnok service is not running"},  // no channel folder in it
      {"closed", "no permission to enter " + base + "closed"},
      {"closed/below", "no permission to enter " + base + "closed"},
      {"grouped", "Members of the group " + std::string(own->gr_name) + " may enter"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.runtime);
    ChildProcess ctl(setpriv,
                     {"--reuid=" + nobodyId, "--regid=" + nobodyGroup, "--clear-groups", "--",
                      inst.path("bin/varnokctl"), "RT5=Unseen"},
                     "", {"VARNOKCTL_RUNTIME_DIR=" + base + c.runtime});
    EXPECT_EQ(ctl.wait(), 1) << ctl.err();
    EXPECT_NE(ctl.err().find(c.says), std::string::npos) << ctl.err();
  }
}

}  // namespace
}  // namespace varnok::testing
