#pragma once

#include <unistd.h>

#include <functional>
#include <string>
#include <utility>

#include "dispatcher/dispatcher.h"
#include "dispatcher/window_host.h"
#include "headless/console_output.h"
#include "platform/signal_watcher.h"

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
  // The longest wait at the end for a reader to take what is still waiting.
  static constexpr int kExitFlushMs = 1000;

  // Writes every new log line of the dispatcher to out. Both must outlive it.
  HeadlessFrontEnd(Dispatcher& dispatcher, ConsoleOutput& out);
  ~HeadlessFrontEnd() override;
  HeadlessFrontEnd(const HeadlessFrontEnd&) = delete;
  HeadlessFrontEnd& operator=(const HeadlessFrontEnd&) = delete;

  // Runs once when the closing sequence begins, for a service manager.
  void setOnClosing(std::function<void()> closing) { onClosing_ = std::move(closing); }

  // As the desktop front end does: calls ready(*this) on the event thread,
  // so the caller can hand this window host to the dispatcher and start it,
  // then runs the event loop until the program is closed; returns the exit
  // status.
  int run(const std::function<void(WindowHost&)>& ready);

  bool isShown() const override { return false; }
  void showWindow() override {}
  void hideWindow() override {}
  // Runs the closing sequence and ends run().
  void closeWindow() override;
  void bringToFront() override {}
  void openDocument(const std::string&) override {}

 private:
  Dispatcher& dispatcher_;
  std::function<void()> onClosing_;
  bool closed_ = false;
};

}  // namespace varnok
