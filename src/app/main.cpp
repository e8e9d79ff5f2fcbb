// Varnok's entry: title, the single-instance test, then the front end.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "app/service_notify.h"
#include "dispatcher/form1.h"
#include "headless/headless.h"
#include "instance/single_instance.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/program_folder.h"
#include "status/status_http.h"
#ifdef VARNOK_HAVE_DESKTOP
#include "desktop/desktop.h"
#endif

namespace {

bool wantHeadless() {
#ifndef VARNOK_HAVE_DESKTOP
  return true;
#else
  const char* forced = std::getenv("VARNOK_HEADLESS");
  if (forced && std::strcmp(forced, "1") == 0) return true;
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return !(x11 && *x11) && !(wayland && *wayland);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  // Writes to a vanished peer are reported as errors, never as a signal.
  std::signal(SIGPIPE, SIG_IGN);

  varnok::Application app;
  const std::string folder = varnok::programFolder();
  app.setTitle(varnok::TDMI_DataModuleCreate(folder));

  // The single-instance test comes before any configuration, socket or log
  // line: a second copy hands its arguments over and ends here.
  varnok::SingleInstance instance;
  {
    varnok::InstanceOptions options;
    options.title = app.title();
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    switch (instance.start(options, varnok::buildHandOffText(args), &error)) {
      case varnok::SingleInstance::Role::HandedOff:
        return 0;
      case varnok::SingleInstance::Role::Failed:
        std::fprintf(stderr, "varnok: %s\n", error.c_str());
        return 1;
      case varnok::SingleInstance::Role::First:
        break;
    }
  }

  varnok::SystemClock clock;
  varnok::EventLoop loop(clock, app);
  varnok::TForm1 form(loop, folder);
  // The read-only status window, when the configuration asks for one: opened
  // once start-up has read it, closed before the dispatcher goes.
  std::unique_ptr<varnok::status::StatusServer> statusWindow;
  const auto openStatusWindow = [&] {
    app.dispatch([&] { statusWindow = varnok::status::openStatusWindow(form); });
  };
  instance.attach(loop, [&](const std::string& text) {
    const bool read = form.WMHandOff(text);
    if (varnok::WindowHost* window = form.windowHost()) window->bringToFront();
    return read ? varnok::SingleInstance::Outcome::Handled
                : varnok::SingleInstance::Outcome::FileNotRead;
  });

  int status = 0;
  try {
    if (wantHeadless()) {
      varnok::HeadlessFrontEnd frontEnd(form);
      varnok::ServiceNotifier service(loop);
      frontEnd.setLifecycle({[&](const std::string& lastLine) {
                               openStatusWindow();
                               service.ready(lastLine);
                             },
                             [&] { service.stopping(); }});
      status = frontEnd.run();
    } else {
#ifdef VARNOK_HAVE_DESKTOP
      varnok::ConsoleOutput console(loop, STDOUT_FILENO);
      varnok::StatusTableDump dump(loop, form.SG1, console);
      varnok::WindowActions actions;
      actions.showHide = [&] { form.CiaTray1DblClick(); };
      actions.exit = [&] { form.Exit1Click(); };
      actions.info = [&] { form.SystemMenuCommand(varnok::TForm1::kInfoCommand); };
      actions.closing = [&] { form.FormClose(); };
      status = varnok::runDesktop(loop, app.title(), folder + "varnok.png", form.SG1, form.Memo2,
                                  actions, [&](varnok::WindowHost& host) {
                                    form.setWindowHost(&host);
                                    app.dispatch([&] { form.FormCreate(); });
                                    openStatusWindow();
                                  });
      form.setWindowHost(nullptr);
      console.flushAtExit(varnok::HeadlessFrontEnd::kExitFlushMs);
#endif
    }
  } catch (const std::system_error& e) {
    // The front end could not set itself up (no descriptors for its signal
    // pipe, a signal that cannot be caught) or its loop broke down: say why
    // and end with a failure status rather than an abort.
    form.setWindowHost(nullptr);
    std::fprintf(stderr, "varnok: %s\n", e.what());
    status = 1;
  }
  instance.closeChannel();
  return status;
}
