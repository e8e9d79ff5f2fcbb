#pragma once

#include <QPoint>
#include <QWidget>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "dispatcher/window_host.h"

class QAction;
class QMenu;
class QPlainTextEdit;
class QTableView;

namespace varnok {

class LogView;
class StatusTable;
class StatusTableModel;

// What the operator can ask of the dispatcher from the desktop. The front end
// wires these to the dispatcher's handlers; the window itself holds no logic.
struct WindowActions {
  std::function<void()> showHide;  // tray double click and "Show/Hide"
  std::function<void()> exit;      // "Exit" in the tray menu
  std::function<void()> info;      // "&Info" (context menu and F1)
  std::function<void()> closing;   // the window closes; runs once, before the program ends
};

// The main window: the status table above the log, both fed by
// the dispatcher's models through their observers. The log wraps long lines,
// and the log model asks it how many lines it displays and how much of the
// first line its first displayed line holds, so that the dispatcher trims the
// log by what the operator sees. The window forwards the
// operator's actions through WindowActions and carries them out when the
// dispatcher asks through WindowHost.
//
// Minimising hides the window to the tray, unless there is no tray to bring
// it back from; then it minimises as any window would.
//
// Ownership: the window owns its widgets; the models and the actions' targets
// belong to the caller and must outlive the window (the observers the window
// leaves in the models go quiet when it is destroyed).
class MainWindow : public QWidget, public WindowHost {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 497;
  static constexpr int kClientHeight = 353;

  // trayAvailable is asked at each minimise; by default Qt's own test.
  MainWindow(const StatusTable& table, const LogView& log, WindowActions actions,
             std::function<bool()> trayAvailable = {}, QWidget* parent = nullptr);
  ~MainWindow() override;

  // WindowHost. QWidget's own show(), hide() and close() stay as Qt has them;
  // the dispatcher's showing also puts the window back and raises it.
  bool isShown() const override;
  void showWindow() override;
  void hideWindow() override;
  void closeWindow() override;
  void bringToFront() override;
  void openDocument(const std::string& path) override;

  // Whether the window has closed (the closing action has run).
  bool isClosed() const { return closed_; }

  QTableView* statusView() const { return statusView_; }
  QPlainTextEdit* logView() const { return logText_; }

 signals:
  // Emitted once, after the closing action has run.
  void closed();

 protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildStatusView(const StatusTable& table);
  void buildLogView(const LogView& log);
  void addLogLine(const std::string& line);
  void removeFirstLogLine();
  void shortenFirstLogLine(const std::string& line);
  int displayedLogLines() const;
  std::size_t firstDisplayedLogLineBytes(const std::string& first) const;
  void popUpContextMenu(QMenu* menu, const QPoint& globalPos);
  void hideToTray();

  WindowActions actions_;
  std::function<bool()> trayAvailable_;
  QPlainTextEdit* logText_ = nullptr;
  QTableView* statusView_ = nullptr;
  StatusTableModel* model_ = nullptr;
  QAction* info_ = nullptr;
  int logLines_ = 0;  // log lines shown in logText_, one text block each
  bool closed_ = false;
  std::optional<QPoint> placeBeforeHiding_;
};

}  // namespace varnok
