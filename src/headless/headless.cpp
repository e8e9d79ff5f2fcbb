#include "headless/headless.h"

#include <csignal>

#include "dispatcher/status_table.h"

namespace varnok {

StatusTableDump::StatusTableDump(EventLoop& loop, const StatusTable& sg1, ConsoleOutput& out)
    : signal_(loop, {SIGUSR1}, [&sg1, &out](int) { out.write(sg1.dump() + "\n"); }) {}

HeadlessFrontEnd::HeadlessFrontEnd(TForm1& form, int outFd)
    : form_(form), out_(form.loop(), outFd) {
  form_.setWindowHost(this);
  form_.Memo2.addObserver({[this](const std::string& line) { out_.write(line + "\n"); }, nullptr});
}

HeadlessFrontEnd::~HeadlessFrontEnd() {
  if (form_.windowHost() == this) form_.setWindowHost(nullptr);
}

int HeadlessFrontEnd::run() {
  EventLoop& loop = form_.loop();
  SignalWatcher closeSignals(loop, {SIGINT, SIGTERM}, [this](int) { closeWindow(); });
  StatusTableDump dump(loop, form_.SG1, out_);
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

void HeadlessFrontEnd::closeWindow() {
  if (closed_) return;
  closed_ = true;
  if (lifecycle_.closing) lifecycle_.closing();
  form_.loop().app().dispatch([this] { form_.FormClose(); });
  form_.loop().quit();
}

}  // namespace varnok
