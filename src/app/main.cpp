// Varnok's entry: title, the single-instance test, then the front end.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "app/service_notify.h"
#include "app/settings.h"
#include "app/status_table_dump.h"
#include "dispatcher/control_socket.h"
#include "dispatcher/dispatcher.h"
#include "headless/headless.h"
#include "instance/single_instance.h"
#include "mqtt/site.h"
#include "nowplaying/now_playing.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/program_folder.h"
#include "platform/signal_watcher.h"
#include "status/status_http.h"
#include "status/users.h"
#ifdef VARNOK_HAVE_DESKTOP
#include "desktop/desktop.h"
#endif

namespace {

// The headless copy could not listen for producers (Socket=1): see varnok(1).
constexpr int kExitCannotListen = 2;

// What the whole argument list asks when it is one of the usual reflexes:
// answered here and handed to nobody (no RDS command looks like these).
bool answeredLocally(int argc, char** argv) {
  if (argc != 2) return false;
  const std::string arg = argv[1];
  if (arg == "--help" || arg == "-h") {
    std::printf(
        "Usage: varnok [COMMAND...]\n"
        "Starts the RDS command dispatcher in the program's folder. While a copy\n"
        "runs, the arguments are handed to it as one command (\"NULL\" without\n"
        "any), or FILE:name hands it a command file; then this copy ends.\n"
        "  --help, -h     this text\n"
        "  --version, -V  the version\n"
        "See varnok(1).\n");
    return true;
  }
  if (arg == "--version" || arg == "-V") {
    std::printf("varnok %s\n", VARNOK_VERSION);
    return true;
  }
  return false;
}

// varnok --add-user NAME ROLE: the password from the first line of
// standard input; the users file is the one the status page reads.
int addUser(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: varnok --add-user NAME viewer|operator|admin < password\n");
    return 1;
  }
  const std::optional<varnok::status::Role> role = varnok::status::roleNamed(argv[3]);
  if (!role) {
    std::fprintf(stderr, "varnok: the role is viewer, operator or admin\n");
    return 1;
  }
  std::string password;
  for (int c; (c = std::getchar()) != EOF && c != '\n';) {
    if (password.size() > varnok::status::UsersFile::kMaxPassword) break;
    password.push_back(static_cast<char>(c));
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  const std::string folder = varnok::programFolder();
  std::string path =
      varnok::status::readPageSettings(varnok::readConfigurationFile(folder)).usersFile;
  if (path.front() != '/') path = folder + path;
  if (const varnok::Result<> added =
          varnok::status::UsersFile::addUser(path, argv[2], *role, password);
      !added) {
    std::fprintf(stderr, "varnok: %s\n", added.error().message.c_str());
    return 1;
  }
  // Written by root for the service's user (varnokctl --add-user).
  if (const char* owner = std::getenv("VARNOK_USERS_OWNER"); owner != nullptr && *owner) {
    const passwd* user = ::getpwnam(owner);
    if (user == nullptr || ::chown(path.c_str(), user->pw_uid, user->pw_gid) != 0) {
      std::fprintf(stderr, "varnok: %s could not be given to %s\n", path.c_str(), owner);
      return 1;
    }
  }
  std::printf("%s is %s in %s\n", argv[2], argv[3], path.c_str());
  return 0;
}

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
  if (answeredLocally(argc, argv)) return 0;
  if (argc >= 2 && std::strcmp(argv[1], "--add-user") == 0) return addUser(argc, argv);

  varnok::Application app;
  const std::string folder = varnok::programFolder();
  app.setTitle(varnok::applicationTitleFor(folder));

  // The single-instance test comes before any configuration, socket or log
  // line: a second copy hands its arguments over and ends here.
  varnok::SingleInstance instance;
  std::string handOffText;  // what a second copy would have handed over
  {
    varnok::InstanceOptions options;
    options.title = app.title();
    const std::vector<std::string> args(argv + 1, argv + argc);
    handOffText = varnok::buildHandOffText(args);
    std::string error;
    switch (instance.start(options, handOffText, &error)) {
      case varnok::SingleInstance::Role::HandedOff:
        return 0;
      case varnok::SingleInstance::Role::Failed:
        std::fprintf(stderr, "varnok: %s\n", error.c_str());
        return 1;
      case varnok::SingleInstance::Role::First:
        break;
    }
  }

  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  // As start-up read them: a reload compares with these, and what needs a
  // restart stays as it was here.
  const varnok::Settings settings = varnok::readSettings(folder, host);

  varnok::SystemClock clock;
  varnok::EventLoop loop(clock, app);
  varnok::Dispatcher dispatcher(loop, folder);
  dispatcher.setTextToRds(varnok::nowplaying::rdsTextOf);
  // The read-only status window, when the configuration asks for one: opened
  // once start-up has read it, closed before the dispatcher goes.
  std::unique_ptr<varnok::nowplaying::NowPlaying> nowPlaying;
  std::unique_ptr<varnok::mqtt::Site> site;
  std::unique_ptr<varnok::status::StatusServer> statusWindow;
  instance.attach(loop, [&](const std::string& text) {
    const varnok::Dispatcher::HandOff result = dispatcher.handOff(text);
    if (varnok::WindowHost* window = dispatcher.windowHost()) window->bringToFront();
    switch (result) {
      case varnok::Dispatcher::HandOff::FileNotRead:
        return varnok::SingleInstance::Outcome::FileNotRead;
      case varnok::Dispatcher::HandOff::QueuesFull:
        return varnok::SingleInstance::Outcome::QueuesFull;
      case varnok::Dispatcher::HandOff::Handled:
        break;
    }
    return varnok::SingleInstance::Outcome::Handled;
  });
  // The operator's actions (varnokctl): a socket beside the hand-off
  // channel, for this user alone.
  std::string controlPath = instance.socketPath();
  if (controlPath.ends_with(".sock")) controlPath.resize(controlPath.size() - 5);
  controlPath += ".control";
  bool started = false;
  std::optional<varnok::ControlSocket> control;
  // The configuration read again, at the operator's word or on SIGHUP.
  const auto reload = [&](const std::string& who) -> varnok::Result<std::string> {
    if (!started) return varnok::Error{1, "Varnok is still starting"};
    const varnok::Settings next = varnok::readSettings(folder, host);
    if (!next.configurationRead) {
      dispatcher.log("Reload refused - varnok.ini could not be read; nothing changed");
      return varnok::Error{1, "varnok.ini could not be read; nothing changed"};
    }
    varnok::Result<std::string> done = dispatcher.reload(next.dispatcher);
    if (!done) {
      dispatcher.log("Reload refused - " + done.error().message + "; nothing changed");
      return done;
    }
    std::vector<std::string> waiting;
    if (nowPlaying) {
      waiting = nowPlaying->reload(next.nowPlaying);
    } else if (next.nowPlaying.enabled) {
      waiting.emplace_back("[NowPlaying]");
    }
    if (!(next.statusPage == settings.statusPage)) waiting.emplace_back("[Status]");
    if (!(next.site == settings.site)) waiting.emplace_back("[MQTT]");
    for (const std::string& what : waiting) {
      dispatcher.log("Reload: " + what + " changed - it takes effect at the next start");
    }
    dispatcher.actionDone(varnok::ControlAction::Reload, who,
                          "reloaded the configuration - " + done.value());
    // A control socket whose file was removed is reachable again.
    if (const varnok::Result<bool> restored = control->restoreFile(); !restored) {
      dispatcher.log("Control socket not restored - " + restored.error().message);
    } else if (restored.value()) {
      dispatcher.log("Control socket restored - " + control->path());
    }
    return done;
  };
  // Overrides through the socket: "override" with the encoder (none: all)
  // and "ID SECONDS TEXT"; "cancel" with the id.
  const auto override = [&](const std::string& who, bool start, const std::string& target,
                            const std::string& text) -> varnok::Result<std::string> {
    if (!nowPlaying) return varnok::Error{1, "now playing is off"};
    if (!start) {
      if (!nowPlaying->cancelOverride(target)) return varnok::Error{1, "no override " + target};
      dispatcher.actionDone(varnok::ControlAction::Cancel, who, "cancelled the override " + target);
      return std::string("cancelled");
    }
    const std::size_t space1 = text.find(' ');
    const std::size_t space2 = space1 == std::string::npos ? space1 : text.find(' ', space1 + 1);
    int seconds = 0;
    if (space2 != std::string::npos) {
      const std::string number = text.substr(space1 + 1, space2 - space1 - 1);
      if (number.empty() || number.size() > 6 ||
          number.find_first_not_of("0123456789") != std::string::npos) {
        return varnok::Error{1, "the seconds are a whole number: " + number};
      }
      seconds = std::stoi(number);
    }
    if (space2 == std::string::npos || space2 + 1 >= text.size()) {
      return varnok::Error{1, "an override takes an id, seconds and a text"};
    }
    varnok::nowplaying::NowPlaying::Override o;
    o.id = text.substr(0, space1);
    o.text = text.substr(space2 + 1);
    if (!target.empty()) o.encoders.push_back(target);
    const std::string id = o.id;
    if (auto refused = nowPlaying->startOverride(std::move(o), seconds)) {
      return varnok::Error{1, *refused};
    }
    dispatcher.actionDone(varnok::ControlAction::Override, who,
                          "started the override " + id + " for " + std::to_string(seconds) +
                              " s on " + (target.empty() ? std::string("every encoder") : target));
    return std::string("started");
  };
  // One way in for every operator's action: the control socket and the
  // console.
  const auto controlAction = [&](const std::string& who, const std::string& verb,
                                 const std::string& target,
                                 const std::string& text) -> varnok::Result<std::string> {
    if (verb == "status") return dispatcher.statusTable().dump();
    if (verb == "reload") return reload(who);
    if (verb == "override" || verb == "cancel") {
      return override(who, verb == "override", target, text);
    }
    const std::size_t action = varnok::actionOf(verb);
    if (action == varnok::kControlActions) return varnok::Error{1, "unknown action " + verb};
    return dispatcher.control(
        varnok::ControlRequest{static_cast<varnok::ControlAction>(action), who, target, text});
  };
  control.emplace(loop, controlAction);
  // SIGHUP (systemctl reload) reads the configuration again.
  std::optional<varnok::SignalWatcher> hangUp;
  try {
    hangUp.emplace(loop, std::initializer_list<int>{SIGHUP},
                   [&](int) { (void)reload("(SIGHUP)"); });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "varnok: SIGHUP not watched, no reload by signal: %s\n", e.what());
  }
  if (const varnok::Result<> opened = control->open(controlPath); !opened) {
    std::fprintf(stderr, "varnok: no control socket at %s: %s\n", controlPath.c_str(),
                 opened.error().message.c_str());
  }
  // Both front ends are put together the same way: the status table dump on
  // SIGUSR1 to standard output, and the front end hands its window host to
  // startUp, which starts the dispatcher (a port that cannot be had is
  // logged and ends start-up early) and returns the last log line, which
  // says whether it listens.
  const auto startUp = [&](varnok::WindowHost& host) {
    dispatcher.setWindowHost(&host);
    app.dispatch([&] { dispatcher.start(settings.dispatcher); });
    const auto& lines = dispatcher.logView().lines();
    std::string lastLine = lines.empty() ? std::string() : lines.back();
    // The first copy uses no arguments; say so rather than drop them unseen.
    std::string given = handOffText;
    while (!given.empty() && given.back() == ' ') given.pop_back();
    if (given != "NULL") {
      dispatcher.log("Not handed over - no copy of Varnok was running (" + given + ")");
    }
    app.dispatch([&] {
      nowPlaying = varnok::nowplaying::openNowPlaying(dispatcher, settings.nowPlaying);
      const auto siteStatus = [&](bool stamped) {
        varnok::status::Snapshot s =
            varnok::status::takeSnapshot(dispatcher, nowPlaying.get(), site.get());
        if (!stamped) s.produced.clear();
        return varnok::status::renderSiteStatus(s);
      };
      site = varnok::mqtt::openSite(dispatcher, nowPlaying.get(), settings.site,
                                    {siteStatus, varnok::status::kSiteOffline});
      statusWindow = varnok::status::openStatusWindow(dispatcher, settings.statusPage,
                                                      nowPlaying.get(), site.get(), controlAction);
    });
    started = true;
    return lastLine;
  };

  int status = 0;
  try {
    varnok::ConsoleOutput console(loop, STDOUT_FILENO);
    varnok::StatusTableDump dump(loop, dispatcher.statusTable(), console);
    if (wantHeadless()) {
      varnok::HeadlessFrontEnd frontEnd(dispatcher, console);
      varnok::ServiceNotifier service(loop);
      frontEnd.setOnClosing([&] {
        service.stopping();
        if (site) site->stop();
      });
      // A service that should listen for producers and cannot is of no use:
      // it ends before it says it is ready, so that the service manager
      // sees the failure (and gives up after a few tries) instead of a
      // healthy-looking copy that nobody can reach.
      bool cannotListen = false;
      status = frontEnd.run([&](varnok::WindowHost& host) {
        const std::string lastLine = startUp(host);
        if (settings.dispatcher.config.socketInput && !dispatcher.listening()) {
          cannotListen = true;
          frontEnd.closeWindow();
          return;
        }
        service.ready(lastLine);
      });
      if (cannotListen) status = kExitCannotListen;
    } else {
#ifdef VARNOK_HAVE_DESKTOP
      varnok::WindowActions actions;
      actions.showHide = [&] { dispatcher.toggleWindow(); };
      actions.exit = [&] { dispatcher.exit(); };
      actions.info = [&] { dispatcher.systemMenuCommand(varnok::Dispatcher::kInfoCommand); };
      actions.closing = [&] {
        if (site) site->stop();
        dispatcher.close();
      };
      status = varnok::runDesktop(loop, app.title(), folder + "varnok.png",
                                  dispatcher.statusTable(), dispatcher.logView(), actions,
                                  [&](varnok::WindowHost& host) { startUp(host); });
#endif
    }
    dispatcher.setWindowHost(nullptr);
    console.flushAtExit(varnok::HeadlessFrontEnd::kExitFlushMs);
  } catch (const std::system_error& e) {
    // The front end could not set itself up (no descriptors for its signal
    // pipe, a signal that cannot be caught) or its loop broke down: say why
    // and end with a failure status rather than an abort.
    dispatcher.setWindowHost(nullptr);
    std::fprintf(stderr, "varnok: %s\n", e.what());
    status = 1;
  }
  instance.closeChannel();
  return status;
}
