#pragma once

// What the status window's process tests share: the program started headless
// in its own folder with its window on a free port, our HTTP client and curl
// against it, and the real parsers (parse_check.py) reading what it served.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/installed.h"
#include "app/process_harness.h"
#include "http_client.h"
#include "support/loopback.h"

namespace varnok::testing {

// What parse_check.py printed, one fact per line.
struct Parsed {
  std::optional<int> exit;
  std::string out;
  bool has(const std::string& line) const {
    return ("\n" + out).find("\n" + line + "\n") != std::string::npos;
  }
  // The rest of each line that starts with prefix.
  std::vector<std::string> starting(const std::string& prefix) const {
    std::vector<std::string> rest;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(prefix, 0) == 0) rest.push_back(line.substr(prefix.size()));
    }
    return rest;
  }
};

inline Parsed parseWith(const std::string& kind, const std::string& page) {
  TempDir dir;
  ChildProcess check(STATUS_PYTHON, {PARSE_CHECK, kind, dir.write("page", page)});
  Parsed p;
  p.exit = check.wait(30000);
  p.out = check.out() + check.err();
  return p;
}

inline std::string hexOf(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char c : bytes) hex += {digits[c >> 4], digits[c & 15]};
  return hex;
}

inline std::string encoder(int n, const std::string& name, std::uint16_t port) {
  return "[Encoder" + std::to_string(n) + "]\nName=" + name + "\nPort=" + std::to_string(port) +
         "\n";
}

class StatusProgram : public ::testing::Test {
 protected:
  // Starts the program with the given [General] keys and encoder sections.
  // statusKeys are the [Status] section's; without them the window is on the
  // port `http`, and start-up waits until it is open.
  // prepare may add files to the program folder before the program starts.
  void launch(const std::string& general, const std::string& encoders,
              const std::optional<std::string>& statusKeys = std::nullopt,
              const std::string& folder = "Station",
              const std::function<void(Installed&)>& prepare = {}) {
    listen = closedPort();
    http = closedPort();
    const std::string keys = statusKeys.value_or("HttpPort=" + std::to_string(http) + "\n");
    app = std::make_unique<Installed>("[General]\n" + general + "[Inputs]\nListenOnPort=" +
                                          std::to_string(listen) + "\n[Status]\n" + keys + encoders,
                                      folder);
    if (prepare) prepare(*app);
    varnok = app->start();
    ASSERT_TRUE(varnok->waitForOutput("Listening on port " + std::to_string(listen) + "\n"))
        << varnok->out() << varnok->err();
    if (!statusKeys) {
      ASSERT_TRUE(
          varnok->waitForOutput("Status page on http://127.0.0.1:" + std::to_string(http) + "/\n"))
          << varnok->out();
    }
  }
  HttpAnswer get(const std::string& path, const char* from = "127.0.0.1") {
    varnok->pump(0);
    return httpGet(http, path, from);
  }
  HttpAnswer curl(std::vector<std::string> args) {
    args.insert(args.begin(), {"-s", "--max-time", "10"});
    ChildProcess c(CURL, args);
    EXPECT_EQ(c.wait(15000), 0) << c.err();
    return parseHttp(c.out());
  }
  void stop() {
    varnok->signal(SIGTERM);
    EXPECT_EQ(varnok->wait(), 0) << varnok->err();
  }

  TempDir sims;
  std::uint16_t listen = 0;
  std::uint16_t http = 0;
  std::unique_ptr<Installed> app;
  std::unique_ptr<ChildProcess> varnok;
};

}  // namespace varnok::testing
