#pragma once

// A real liquidsoap for tests: our own process running the test's script,
// with its home and its log in a temporary folder. No sound card: a script
// plays to output.dummy. Every wait is bounded.

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace varnok::testing {

class Liquidsoap {
 public:
  static constexpr const char* kProgram = "/usr/bin/liquidsoap";
  static bool installed() { return ::access(kProgram, X_OK) == 0; }

  // Writes the script, after the settings every run needs, and starts it.
  explicit Liquidsoap(const std::string& script) {
    const std::string f = dir_.folder();
    const std::string all =
        // The tests may run as root (CI does), which liquidsoap refuses by default.
        "settings.init.allow_root.set(true)\n"
        // The log goes to a file: a pipe nobody reads would fill and stop it.
        "settings.log.stdout.set(false)\n"
        "settings.log.file.set(true)\n"
        "settings.log.file.path.set(\"" +
        f + "liquidsoap.log\")\n" + script;
    dir_.write("script.liq", all);
    // Its caches go to the test's folder, not to the user's home.
    process_ = std::make_unique<ChildProcess>(kProgram, std::vector<std::string>{f + "script.liq"},
                                              f, std::vector<std::string>{"HOME=" + f});
  }
  ~Liquidsoap() { stop(); }
  Liquidsoap(const Liquidsoap&) = delete;
  Liquidsoap& operator=(const Liquidsoap&) = delete;

  ChildProcess& process() { return *process_; }
  // Whether it still runs (a script it cannot read ends it at once).
  bool running() { return !process_->waitLeavingOutput(0).has_value(); }
  // Its log file and what it wrote itself (script errors go there), for
  // failure messages.
  std::string log() {
    process_->pump(0);
    return "--- liquidsoap.log\n" + readFile(dir_.folder() + "liquidsoap.log") +
           "--- liquidsoap's output\n" + process_->out() + process_->err();
  }
  // SIGTERM, then SIGKILL when it has not ended within 10 s.
  void stop() {
    if (!running()) return;
    process_->signal(SIGTERM);
    if (!process_->wait(10000)) process_->killHard();
  }

 private:
  static std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace varnok::testing
