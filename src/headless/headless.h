#pragma once

#include <cstdio>

#include "dispatcher/form1.h"
#include "dispatcher/window_host.h"

namespace varnok {

// The console front end for machines without a display. Its three
// behaviours are an interface that scripts rely on:
// - every line added to the log is written to standard output at once;
// - SIGUSR1 writes the status table: a line per row, cells separated by TAB,
//   header row first, then one empty line;
// - SIGINT and SIGTERM run the closing handler and end with status 0.
class HeadlessFrontEnd final : public WindowHost {
 public:
  HeadlessFrontEnd(TForm1& form, std::FILE* out = stdout);

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
  std::FILE* out_;
  bool closed_ = false;
};

}  // namespace varnok
