#include "desktop/desktop.h"

#include <QApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <csignal>
#include <memory>

#include "desktop/qt_loop_bridge.h"
#include "desktop/text.h"
#include "desktop/tray_icon.h"
#include "platform/event_loop.h"
#include "platform/signal_watcher.h"

namespace varnok {

namespace {

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

int runDesktop(EventLoop& loop, const std::string& title, const std::string& iconPath,
               const StatusTable& table, const LogView& log, WindowActions actions,
               std::function<void(WindowHost&)> ready) {
  // QApplication keeps references to argc and argv for its whole life.
  static int argc = 1;
  static char arg0[] = "varnok";
  static char* argv[] = {arg0, nullptr};
  std::unique_ptr<QApplication> ownApp;
  if (!QCoreApplication::instance()) ownApp = std::make_unique<QApplication>(argc, argv);
  // A hidden main window or a closed popup must not end the program; only
  // closing the main window does. The setting is given back however the run
  // ends, also by an exception.
  struct QuitOnLastWindow {
    const bool before = QGuiApplication::quitOnLastWindowClosed();
    QuitOnLastWindow() { QGuiApplication::setQuitOnLastWindowClosed(false); }
    ~QuitOnLastWindow() { QGuiApplication::setQuitOnLastWindowClosed(before); }
  } quitOnLastWindow;

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
    std::unique_ptr<QMenu> trayMenu(buildTrayMenu(wired.showHide, wired.exit));
    MainWindow window(table, log, wired);
    window.setWindowIcon(icon);
    TrayIcon tray(icon, fromFileName(title), trayMenu.get());
    tray.setOnDoubleClick(wired.showHide);

    QEventLoop events;
    QObject::connect(&window, &MainWindow::closed, &events, &QEventLoop::quit);
    QObject::connect(&bridge, &QtLoopBridge::quitRequested, &window, [&window] { window.close(); });
    SignalWatcher closeSignals(loop, {SIGINT, SIGTERM}, [&window](int) {
      if (!window.isClosed()) window.close();
    });

    // Start-up, then one round for whatever it left behind (posted callbacks,
    // timers already due).
    if (ready) bridge.call([&] { ready(window); });
    bridge.runRound();
    if (!window.isClosed()) {
      window.show();
      events.exec();
    }
    // Qt's loop may also have ended by a quit() from elsewhere (the session
    // ending); the dispatcher still gets its closing call.
    if (!window.isClosed()) window.close();
  }
  return 0;
}

}  // namespace varnok
