#include "headless/headless.h"

#include <csignal>

#include "platform/signal_watcher.h"

namespace varnok {

HeadlessFrontEnd::HeadlessFrontEnd(TForm1& form, std::FILE* out) : form_(form), out_(out) {
  form_.setWindowHost(this);
  form_.Memo2.addObserver({[this](const std::string& line) {
                             std::fwrite(line.data(), 1, line.size(), out_);
                             std::fputc('\n', out_);
                             std::fflush(out_);
                           },
                           nullptr});
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
  loop.app().dispatch([this] { form_.FormCreate(); });
  loop.run();
  return 0;
}

void HeadlessFrontEnd::close() {
  if (closed_) return;
  closed_ = true;
  form_.loop().app().dispatch([this] { form_.FormClose(); });
  form_.loop().quit();
}

void HeadlessFrontEnd::dumpStatus() {
  const std::string table = form_.SG1.dump();
  std::fwrite(table.data(), 1, table.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

}  // namespace varnok
