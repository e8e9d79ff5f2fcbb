// A stand-in for the program's start: makes the single-instance test with a
// given title and runtime folder, then either serves as the running copy on a
// real event loop, printing every text it receives, or hands its arguments
// over and exits with the status the program would use.
//
//   instance_probe --title T --runtime-dir D [--timeout-ms N]
//                  [--receive-timeout-ms N] [--handle-ms N] [--no-answer]
//                  [--wait-go] [-- arguments...]
//
// With --wait-go the copy says WAITING and makes the test only when a byte
// arrives on standard input, so that several copies can be let go at once.
//
// Output (standard output, one line each, flushed at once):
//   FIRST          this copy became the running copy
//   READY          ... and receives hand-offs
//   TEXT <hex>     a received text, its bytes in hex
//   HANDLED        the handler of that text has returned (after --handle-ms)
//   HANDED         this copy handed its text over
// Failures go to standard error with exit status 1. The running copy ends
// when its standard input closes.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "instance/single_instance.h"

namespace {

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

void say(const std::string& line) {
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  varnok::InstanceOptions opts;
  int handleMs = 0;
  bool noAnswer = false;
  bool waitGo = false;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "instance_probe: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--") {
      args.assign(argv + i + 1, argv + argc);
      break;
    } else if (a == "--title") {
      opts.title = value();
    } else if (a == "--runtime-dir") {
      opts.runtimeDir = value();
    } else if (a == "--timeout-ms") {
      opts.timeoutMs = std::atoi(value().c_str());
    } else if (a == "--receive-timeout-ms") {
      opts.receiveTimeoutMs = std::atoi(value().c_str());
    } else if (a == "--handle-ms") {
      handleMs = std::atoi(value().c_str());
    } else if (a == "--no-answer") {
      noAnswer = true;
    } else if (a == "--wait-go") {
      waitGo = true;
    } else {
      std::fprintf(stderr, "instance_probe: unknown option %s\n", a.c_str());
      return 2;
    }
  }

  char buf[256];
  if (waitGo) {
    say("WAITING");
    if (::read(STDIN_FILENO, buf, 1) != 1) return 2;
  }

  varnok::SingleInstance instance;
  std::string error;
  switch (instance.start(opts, varnok::buildHandOffText(args), &error)) {
    case varnok::SingleInstance::Role::Failed:
      std::fprintf(stderr, "instance_probe: %s\n", error.c_str());
      return 1;
    case varnok::SingleInstance::Role::HandedOff:
      say("HANDED");
      return 0;
    case varnok::SingleInstance::Role::First:
      break;
  }
  say("FIRST");

  if (noAnswer) {
    // Holds the channel open but never looks at it: a hung running copy.
    say("READY");
    while (::read(STDIN_FILENO, buf, sizeof buf) > 0) {
    }
    return 0;
  }

  varnok::SystemClock clock;
  varnok::Application app;
  varnok::EventLoop loop(clock, app);
  instance.attach(loop, [&](const std::string& text) {
    say("TEXT " + hex(text));
    // Stands for a long command file: the event thread is busy meanwhile.
    if (handleMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(handleMs));
    say("HANDLED");
    return varnok::SingleInstance::Outcome::Handled;
  });
  loop.watch(STDIN_FILENO, EPOLLIN, [&](std::uint32_t) {
    if (::read(STDIN_FILENO, buf, sizeof buf) <= 0) loop.quit();
  });
  say("READY");
  loop.run();
  loop.unwatch(STDIN_FILENO);
  instance.closeChannel();  // the loop goes first
  return 0;
}
