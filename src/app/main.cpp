// Varnok's entry: title, the single-instance test, then the front end.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dispatcher/form1.h"
#include "headless/headless.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/program_folder.h"

namespace {

bool wantHeadless() {
  const char* forced = std::getenv("VARNOK_HEADLESS");
  if (forced && std::strcmp(forced, "1") == 0) return true;
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return !(x11 && *x11) && !(wayland && *wayland);
}

}  // namespace

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  // Writes to a vanished peer are reported as errors, never as a signal.
  std::signal(SIGPIPE, SIG_IGN);

  varnok::Application app;
  const std::string folder = varnok::programFolder();
  app.setTitle(varnok::TDMI_DataModuleCreate(folder));

  varnok::SystemClock clock;
  varnok::EventLoop loop(clock, app);
  varnok::TForm1 form(loop, folder);
  (void)wantHeadless;
  varnok::HeadlessFrontEnd frontEnd(form);
  return frontEnd.run();
}
