#include "headless/headless.h"

#include <csignal>

#include "dispatcher/status_table.h"

namespace varnok {

HeadlessFrontEnd::HeadlessFrontEnd(Dispatcher& dispatcher, ConsoleOutput& out)
    : dispatcher_(dispatcher) {
  dispatcher_.logView().addObserver(
      {[&out](const std::string& line) { out.write(line + "\n"); }, nullptr});
}

HeadlessFrontEnd::~HeadlessFrontEnd() {
  if (dispatcher_.windowHost() == this) dispatcher_.setWindowHost(nullptr);
}

int HeadlessFrontEnd::run(const std::function<void(WindowHost&)>& ready) {
  EventLoop& loop = dispatcher_.loop();
  SignalWatcher closeSignals(loop, {SIGINT, SIGTERM}, [this](int) { closeWindow(); });
  if (ready) ready(*this);
  loop.run();
  return 0;
}

void HeadlessFrontEnd::closeWindow() {
  if (closed_) return;
  closed_ = true;
  if (onClosing_) onClosing_();
  dispatcher_.loop().app().dispatch([this] { dispatcher_.close(); });
  dispatcher_.loop().quit();
}

}  // namespace varnok
