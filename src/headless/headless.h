#pragma once

#include <unistd.h>

#include <functional>
#include <string>
#include <utility>

#include "dispatcher/form1.h"
#include "dispatcher/window_host.h"
#include "headless/console_output.h"

namespace varnok {

// The console front end for machines without a display. Its three
// behaviours are an interface that scripts rely on:
// - every line added to the log is written to standard output at once;
// - SIGUSR1 writes the status table: a line per row, cells separated by TAB,
//   header row first, then one empty line;
// - SIGINT and SIGTERM run the closing handler and end with status 0.
// Output never blocks the loop: see ConsoleOutput for what happens when
// nobody reads it.
class HeadlessFrontEnd final : public WindowHost {
 public:
  explicit HeadlessFrontEnd(TForm1& form, int outFd = STDOUT_FILENO);

  // For a service manager: started runs once start-up has finished
  // (listening, or the listen error logged) with the last log line, which
  // says which; closing when the closing sequence begins. Set before run().
  struct Lifecycle {
    std::function<void(const std::string& lastLine)> started;
    std::function<void()> closing;
  };
  void setLifecycle(Lifecycle lifecycle) { lifecycle_ = std::move(lifecycle); }

  // Runs start-up and the event loop until the program is closed; returns the
  // exit status.
  int run();

  bool isShown() const override { return false; }
  void show() override {}
  void hide() override {}
  void close() override;
  void bringToFront() override {}
  void openDocument(const std::string&) override {}

 private:
  void dumpStatus();
  TForm1& form_;
  ConsoleOutput out_;
  Lifecycle lifecycle_;
  bool closed_ = false;
};

}  // namespace varnok
