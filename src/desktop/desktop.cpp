#include "desktop/desktop.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <atomic>
#include <cerrno>
#include <memory>

#include "desktop/qt_loop_bridge.h"
#include "desktop/text.h"
#include "desktop/tray_icon.h"
#include "platform/event_loop.h"

namespace varnok {

namespace {

// Write end of the close pipe while a desktop front end runs, else -1.
std::atomic<int> closePipeWrite{-1};

void onCloseSignal(int) {
  requestDesktopClose();
}

// Turns SIGINT and SIGTERM, and requestDesktopClose(), into a readable byte
// on a pipe that our loop watches: the handler itself only writes the byte.
// Restores the previous handlers when destroyed.
class CloseRequests {
 public:
  CloseRequests(EventLoop& loop, std::function<void()> onRequest) : loop_(loop) {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
      fds_[0] = fds_[1] = -1;
      return;
    }
    loop_.watch(fds_[0], EPOLLIN, [this, onRequest = std::move(onRequest)](std::uint32_t) {
      char buf[64];
      while (::read(fds_[0], buf, sizeof buf) > 0) {
      }
      onRequest();
    });
    closePipeWrite.store(fds_[1]);
    struct sigaction sa {};
    sa.sa_handler = onCloseSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, &oldInt_);
    sigaction(SIGTERM, &sa, &oldTerm_);
  }

  ~CloseRequests() {
    if (fds_[0] < 0) return;
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
    closePipeWrite.store(-1);
    loop_.unwatch(fds_[0]);
    ::close(fds_[0]);
    ::close(fds_[1]);
  }

  CloseRequests(const CloseRequests&) = delete;
  CloseRequests& operator=(const CloseRequests&) = delete;

 private:
  EventLoop& loop_;
  int fds_[2] = {-1, -1};
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
};

QIcon programIcon(const std::string& iconPath) {
  if (!iconPath.empty()) {
    const QString file =
        QFile::decodeName(QByteArray(iconPath.data(), static_cast<qsizetype>(iconPath.size())));
    QIcon icon(file);
    if (QFileInfo(file).isFile() && !icon.isNull()) return icon;
  }
  return QIcon(QStringLiteral(":/varnok/varnok.png"));
}

}  // namespace

void requestDesktopClose() noexcept {
  const int fd = closePipeWrite.load();
  if (fd < 0) return;
  const int saved = errno;
  const char byte = 1;
  // A full pipe already holds a request; nothing is lost by dropping this one.
  [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  errno = saved;
}

int runDesktop(EventLoop& loop, const std::string& title, const std::string& iconPath,
               StatusTable& sg1, LogView& memo2, WindowActions actions,
               std::function<void(WindowHost&)> ready) {
  // QApplication keeps references to argc and argv for its whole life.
  static int argc = 1;
  static char arg0[] = "varnok";
  static char* argv[] = {arg0, nullptr};
  std::unique_ptr<QApplication> ownApp;
  if (!QCoreApplication::instance()) ownApp = std::make_unique<QApplication>(argc, argv);
  // A hidden main window or a closed popup must not end the program; only
  // closing the main window does.
  const bool quitOnLast = QGuiApplication::quitOnLastWindowClosed();
  QGuiApplication::setQuitOnLastWindowClosed(false);

  {
    QtLoopBridge bridge(loop);
    // Every Qt-side entry into the dispatcher goes through the bridge.
    auto bridged = [&bridge](std::function<void()> fn) -> std::function<void()> {
      if (!fn) return {};
      return [&bridge, fn = std::move(fn)] { bridge.call(fn); };
    };
    WindowActions wired{bridged(actions.showHide), bridged(actions.exit), bridged(actions.info),
                        bridged(actions.closing)};

    const QIcon icon = programIcon(iconPath);
    std::unique_ptr<QMenu> popupMenu1(buildTrayMenu(wired.showHide, wired.exit));
    MainWindow window(sg1, memo2, wired);
    window.setWindowIcon(icon);
    TCiaTray ciaTray1(icon, fromFileName(title), popupMenu1.get());
    ciaTray1.setOnDblClick(wired.showHide);

    QEventLoop events;
    QObject::connect(&window, &MainWindow::closed, &events, &QEventLoop::quit);
    QObject::connect(&bridge, &QtLoopBridge::quitRequested, &window, [&window] { window.close(); });
    CloseRequests closeRequests(loop, [&window] { window.close(); });

    // Start-up, then one round for whatever it left behind (posted callbacks,
    // timers already due).
    if (ready) bridge.call([&] { ready(window); });
    bridge.runRound();
    if (!window.isClosed()) {
      window.QWidget::show();
      events.exec();
    }
    // Qt's loop may also have ended by a quit() from elsewhere (the session
    // ending); the dispatcher still gets its closing call.
    if (!window.isClosed()) window.close();
  }

  QGuiApplication::setQuitOnLastWindowClosed(quitOnLast);
  return 0;
}

}  // namespace varnok
