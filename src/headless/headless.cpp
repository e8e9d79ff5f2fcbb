#include "headless/headless.h"

#include <csignal>

#include "platform/signal_watcher.h"

namespace varnok {
namespace {

// The longest wait at the end for a reader to take what is still waiting.
constexpr int kExitFlushMs = 1000;

}  // namespace

HeadlessFrontEnd::HeadlessFrontEnd(TForm1& form, int outFd)
    : form_(form), out_(form.loop(), outFd) {
  form_.setWindowHost(this);
  form_.Memo2.addObserver({[this](const std::string& line) { out_.write(line + "\n"); }, nullptr});
}

int HeadlessFrontEnd::run() {
  EventLoop& loop = form_.loop();
  SignalWatcher signals(loop, {SIGINT, SIGTERM, SIGUSR1}, [this](int signo) {
    if (signo == SIGUSR1) {
      dumpStatus();
    } else {
      close();
    }
  });
  // A failed listen ends FormCreate through the silent abort, which dispatch
  // absorbs: start-up has finished either way when it returns.
  loop.app().dispatch([this] { form_.FormCreate(); });
  if (lifecycle_.started) {
    const auto& lines = form_.Memo2.lines();
    lifecycle_.started(lines.empty() ? std::string() : lines.back());
  }
  loop.run();
  out_.flushAtExit(kExitFlushMs);
  return 0;
}

void HeadlessFrontEnd::close() {
  if (closed_) return;
  closed_ = true;
  if (lifecycle_.closing) lifecycle_.closing();
  form_.loop().app().dispatch([this] { form_.FormClose(); });
  form_.loop().quit();
}

void HeadlessFrontEnd::dumpStatus() {
  out_.write(form_.SG1.dump() + "\n");
}

}  // namespace varnok
