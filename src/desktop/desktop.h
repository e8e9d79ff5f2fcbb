#pragma once

#include <functional>
#include <string>

#include "desktop/main_window.h"

namespace varnok {

class EventLoop;
class LogView;
class StatusTable;
class WindowHost;

// Runs the desktop front end until the window closes and returns the exit
// status (0).
//
// Creates the QApplication when there is none (with a command line of its
// own: the program's arguments are commands for the dispatcher, never options
// for Qt), the bridge that lets Qt's loop drive `loop`, the main window
// rendering table and log, and the tray icon with `title` as its tip and the
// picture at iconPath (the built-in one when iconPath is empty or unreadable).
// Then calls ready(window) on the event thread, so the caller can hand the
// window to the dispatcher and run its start-up, and shows the window.
//
// Every action runs through the application's dispatch point. The window
// closes by its close button, Alt+F4, the dispatcher's closeWindow(), SIGINT
// or SIGTERM (caught for the duration of the call, see SignalWatcher) or the
// loop's quit(); in every case actions.closing runs exactly once before the
// function returns. Throws as SignalWatcher does, before ready() runs, when
// the two signals cannot be caught: without them the window could not be
// closed the orderly way from outside.
int runDesktop(EventLoop& loop, const std::string& title, const std::string& iconPath,
               const StatusTable& table, const LogView& log, WindowActions actions,
               std::function<void(WindowHost&)> ready);

}  // namespace varnok
