// Runs the desktop front end with a few made-up encoders and a log line every
// second, without the dispatcher behind it. "Show/Hide", "Exit", "&Info" and
// closing behave as the program's own handlers do towards the window.
//
//   desktop_demo [title]
//
// Prints "closing" when the window closes, so that a script can count it.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "desktop/desktop.h"
#include "dispatcher/log_view.h"
#include "dispatcher/status_table.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/program_folder.h"

int main(int argc, char** argv) {
  using namespace varnok;
  Application app;
  app.setTitle(argc > 1 ? argv[1] : "Varnok (demo)");
  SystemClock clock;
  EventLoop loop(clock, app);

  StatusTable table;
  LogView log;
  const char* headers[] = {"RDS Encoder Name", "Host",   "Port",   "Queue",
                           "Thread",           "Errors", "Enabled"};
  const char* rows[][7] = {
      {"Studio A", "127.0.0.1", "7001", "0", "", "0", "Yes"},
      {"Studio B", "127.0.0.2", "7002", "3", "1", "0", "Yes"},
      {"Transmitter \xE9st", "127.0.0.3", "17003", "1024", "", "3", "Suspended"},
  };
  table.setRowCount(4);
  for (int c = 0; c < 7; ++c) table.setCell(c, 0, headers[c]);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 7; ++c) table.setCell(c, r + 1, rows[r][c]);
  }

  WindowHost* host = nullptr;
  int tick = 0;
  Timer heartbeat(loop, [&] {
    log.addLine(formatDateTime(clock.now()) + " Demo line " + std::to_string(++tick));
    while (log.lineCount() > 30) log.deleteFirstLine();
    table.setCell(3, 2, std::to_string(tick % 10));
  });
  heartbeat.setInterval(1000);

  const std::string folder = programFolder();
  WindowActions actions{
      [&] { host->isShown() ? host->hideWindow() : host->showWindow(); },
      [&] { host->closeWindow(); },
      [&] { host->openDocument(folder + "varnok.txt"); },
      [&] {
        std::printf("closing\n");
        std::fflush(stdout);
      },
  };
  return runDesktop(loop, app.title(), "", table, log, actions, [&](WindowHost& h) {
    host = &h;
    log.addLine(formatDateTime(clock.now()) + " Demo started");
    log.addLine(formatDateTime(clock.now()) +
                " A long line, such as an application error with its debug trail, wraps"
                " at the width of the window and takes the room of as many lines as it"
                " wraps into.");
    heartbeat.setEnabled(true);
  });
}
