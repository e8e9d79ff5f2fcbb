#pragma once

#include <csignal>

#include "dispatcher/status_table.h"
#include "headless/console_output.h"
#include "platform/event_loop.h"
#include "platform/signal_watcher.h"

namespace varnok {

// The status table on request, for both front ends: SIGUSR1 writes the
// status table to out, a line per row with the cells separated by TAB,
// header row first, then one empty line. While one lives, a stray SIGUSR1
// never ends the program.
//
// Ownership: the table and out belong to the caller and must outlive it.
class StatusTableDump {
 public:
  StatusTableDump(EventLoop& loop, const StatusTable& table, ConsoleOutput& out)
      : signal_(loop, {SIGUSR1}, [&table, &out](int) { out.write(table.dump() + "\n"); }) {}

 private:
  SignalWatcher signal_;
};

}  // namespace varnok
