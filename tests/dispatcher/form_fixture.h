#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dispatcher/form1.h"
#include "platform/event_loop.h"
#include "support/temp_dir.h"
#include "support/virtual_time.h"

namespace varnok::testing {

// A dispatcher in a temporary program folder, on a loop with a manual clock.
class FormTest : public ::testing::Test {
 protected:
  void create(const std::string& ini) {
    if (!ini.empty()) dir.write("varnok.ini", ini);
    form = std::make_unique<TForm1>(loop, dir.folder());
    app.dispatch([&] { form->FormCreate(); });
  }
  // A configuration with the given encoders (name, loopback port) and
  // settings, then start-up.
  void start(const std::vector<std::pair<std::string, std::uint16_t>>& encoders,
             const std::string& general = "", const std::string& inputs = "Socket=0\n") {
    std::string ini = "[General]\nEncoderCount=" + std::to_string(encoders.size()) + "\n" +
                      general + "[Inputs]\n" + inputs;
    for (std::size_t i = 0; i < encoders.size(); ++i) {
      ini += "[Encoder" + std::to_string(i + 1) + "]\nName=" + encoders[i].first +
             "\nHost=127.0.0.1\nPort=" + std::to_string(encoders[i].second) + "\n";
    }
    create(ini);
  }
  // The texts of the log lines, without their time stamps.
  std::vector<std::string> logTexts() const {
    std::vector<std::string> out;
    for (const std::string& line : form->Memo2.lines()) {
      const std::size_t end = line.find("> ");
      out.push_back(line.front() == '<' && end != std::string::npos ? line.substr(end + 2) : line);
    }
    return out;
  }
  bool logged(const std::string& text) const {
    for (const std::string& t : logTexts()) {
      if (t == text) return true;
    }
    return false;
  }
  std::size_t queueSize(int koder) const {
    return form->Fronty[static_cast<std::size_t>(koder)].size();
  }

  TempDir dir;
  ManualClock clock;
  Application app;
  EventLoop loop{clock, app};
  VirtualTime time{loop, clock};
  std::unique_ptr<TForm1> form;
};

}  // namespace varnok::testing
