// The status page in a real browser: headless Chromium builds its DOM, and
// renders it at a phone's and a desk's width into test-output/status/ of the
// build folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "status_process.h"

namespace varnok::testing {
namespace {

using StatusBrowser = StatusProgram;

// Chromium in a container: no sandbox (it may run as root), no GPU, a
// profile and caches of the test's own; standard output, or nullopt when it
// failed or did not finish in time.
std::optional<std::string> chromium(const TempDir& home, std::vector<std::string> args) {
  args.insert(args.begin(), {"--headless", "--no-sandbox", "--disable-gpu",
                             "--disable-dev-shm-usage", "--no-first-run", "--hide-scrollbars",
                             "--user-data-dir=" + home.folder() + "profile"});
  ChildProcess browser(CHROMIUM, args, home.path(),
                       {"HOME=" + home.path(), "XDG_CONFIG_HOME=" + home.folder() + "config",
                        "XDG_CACHE_HOME=" + home.folder() + "cache", "DISPLAY", "WAYLAND_DISPLAY"});
  if (browser.wait(45000) != 0) {
    ADD_FAILURE() << "chromium: " << browser.err();
    return std::nullopt;
  }
  return browser.out();
}

TEST_F(StatusBrowser, ShowsEveryEncoderRowAndTheSuspendedOneOnAPhoneAndADesk) {
  EncoderSim a(sims, "a");
  launch("EncoderCount=3\nErrorLimit=1\n",
         encoder(1, "Studio A", a.port()) + encoder(2, "Studio <B> & Co", closedPort()) +
             encoder(3, "Spare", closedPort()) + "Enabled=0\n",
         std::nullopt, "Studio Rack");
  ASSERT_EQ(app->start({"RT=On air"})->wait(), 0);
  // One refused attempt suspends Studio <B>.
  ASSERT_TRUE(eventually(
      [&] { return get("/status").body.find("\"suspended\":true") != std::string::npos; }, 10000,
      {varnok.get()}));

  TempDir home;
  const std::string url = "http://127.0.0.1:" + std::to_string(http) + "/";
  const std::string dom = chromium(home, {"--dump-dom", url}).value_or("");
  EXPECT_NE(dom.find("<title>Varnok (Studio Rack)</title>"), std::string::npos) << dom;
  int rows = 0;
  for (std::size_t at = 0; (at = dom.find("<tr class=\"encoder", at)) != std::string::npos; ++at) {
    ++rows;
  }
  EXPECT_EQ(rows, 3) << dom;
  for (const char* row : {"<tr class=\"encoder\"><td data-label=\"RDS Encoder Name\">Studio A",
                          "<tr class=\"encoder suspended\"><td data-label=\"RDS Encoder Name\">"
                          "Studio &lt;B&gt; &amp; Co</td>",
                          "<td class=\"state\" data-label=\"Enabled\">Suspended</td>",
                          "<tr class=\"encoder off\"><td data-label=\"RDS Encoder Name\">Spare"}) {
    EXPECT_NE(dom.find(row), std::string::npos) << row;
  }

  std::filesystem::create_directories(TEST_OUTPUT);
  for (const auto& [name, size] : {std::pair{"phone", "412,915"}, std::pair{"desk", "1280,800"}}) {
    const std::string shot = std::string(TEST_OUTPUT) + "/status-page-" + name + ".png";
    std::filesystem::remove(shot);
    chromium(home, {"--screenshot=" + shot, std::string("--window-size=") + size, url});
    std::ifstream png(shot, std::ios::binary);
    std::string magic(8, '\0');
    png.read(magic.data(), 8);
    EXPECT_EQ(magic, "\x89PNG\r\n\x1a\n") << shot;
  }
  stop();
}

}  // namespace
}  // namespace varnok::testing
