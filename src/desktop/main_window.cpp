#include "desktop/main_window.h"

#include <QAbstractTextDocumentLayout>
#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QResizeEvent>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <algorithm>

#include "desktop/status_table_model.h"
#include "desktop/text.h"
#include "dispatcher/log_view.h"
#include "dispatcher/status_table.h"

namespace varnok {

namespace {

constexpr int kColumnWidths[StatusTable::kColumns] = {150, 100, 44, 39, 39, 40, 59};
constexpr int kRowHeight = 17;
// The columns are sized for a narrow 8-point font. Debian's default sans
// (DejaVu Sans) runs wider, and at its usual size "Queue" and "Thread" lose
// their last letters. At 9 pixels every header fits its column, and so do the
// usual cells: "Suspended", "127.0.0.1", a 5-digit port, a 4-digit queue.
// Pixels, not points, since the column widths are pixels too.
constexpr int kTableFontPixels = 9;

// A widget that has not been shown yet learns its size only when it is first
// shown; until then the log would not wrap at all. The start-up lines arrive
// before the window shows, and the trimming counts them as displayed, so the
// log view takes its size at once, the way showing would give it.
void takeSizeBeforeShowing(QWidget* widget) {
  if (!widget->testAttribute(Qt::WA_PendingResizeEvent)) return;
  widget->setAttribute(Qt::WA_PendingResizeEvent, false);
  QResizeEvent event(widget->size(), QSize());
  QCoreApplication::sendEvent(widget, &event);
}

// A model line as the log shows it: one byte per character, and line breaks
// inside the line kept inside it (one model line stays one block of the
// view, so that removing the first line removes exactly that line).
QString logLineText(const std::string& line) {
  QString text = fromBytes(line);
  // CR LF, CR and LF would each start a new block of the document.
  text.replace(QStringLiteral("\r\n"), QString(QChar::LineSeparator));
  text.replace(QLatin1Char('\r'), QChar::LineSeparator);
  text.replace(QLatin1Char('\n'), QChar::LineSeparator);
  return text;
}

// The bytes of `line` that its first `chars` characters in the log stand
// for: one each, but two for a line separator that stood for CR LF.
std::size_t logLineBytes(const std::string& line, int chars) {
  std::size_t bytes = 0;
  for (; chars > 0 && bytes < line.size(); --chars) {
    const bool crLf = line[bytes] == '\r' && bytes + 1 < line.size() && line[bytes + 1] == '\n';
    bytes += crLf ? 2 : 1;
  }
  return bytes;
}

}  // namespace

MainWindow::MainWindow(const StatusTable& table, const LogView& log, WindowActions actions,
                       std::function<bool()> trayAvailable, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      actions_(std::move(actions)),
      trayAvailable_(std::move(trayAvailable)) {
  if (!trayAvailable_) trayAvailable_ = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  setWindowTitle(QStringLiteral("Varnok"));
  setFixedSize(kClientWidth, kClientHeight);
  setContextMenuPolicy(Qt::CustomContextMenu);

  info_ = new QAction(QStringLiteral("&Info"), this);
  info_->setObjectName(QStringLiteral("Info"));
  info_->setShortcut(QKeySequence(Qt::Key_F1));
  info_->setShortcutContext(Qt::WindowShortcut);
  addAction(info_);
  connect(info_, &QAction::triggered, this, [this] {
    if (actions_.info) actions_.info();
  });

  // the log first: it lies under the status table where the two overlap by one pixel row, and
  // it comes first in the focus order.
  buildLogView(log);
  buildStatusView(table);
  setTabOrder(logText_, statusView_);
  logText_->setFocus();

  connect(this, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { popUpContextMenu(new QMenu(this), mapToGlobal(pos)); });
}

MainWindow::~MainWindow() = default;

void MainWindow::buildLogView(const LogView& log) {
  logText_ = new QPlainTextEdit(this);
  logText_->setObjectName(QStringLiteral("log"));
  logText_->setGeometry(0, 240, 497, 113);
  logText_->setReadOnly(true);
  logText_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  logText_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  logText_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  logText_->setUndoRedoEnabled(false);
  QPalette face = logText_->palette();
  face.setColor(QPalette::Base, face.color(QPalette::Window));
  logText_->setPalette(face);
  logText_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(logText_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    QMenu* menu = logText_->createStandardContextMenu(pos);
    menu->setParent(this, menu->windowFlags());
    menu->addSeparator();
    popUpContextMenu(menu, logText_->viewport()->mapToGlobal(pos));
  });

  // The scroll area first: its resize places the viewport, whose resize sets
  // the width the text wraps at.
  logText_->ensurePolished();
  takeSizeBeforeShowing(logText_);
  takeSizeBeforeShowing(logText_->viewport());

  for (const std::string& line : log.lines()) addLogLine(line);
  QPointer<MainWindow> self(this);
  // Once the window is gone, the model counts its lines one each again.
  log.setDisplayedLineCounter([self] { return self ? self->displayedLogLines() : 0; },
                              [self](const std::string& first) {
                                return self ? self->firstDisplayedLogLineBytes(first)
                                            : std::size_t{0};
                              });
  LogView::Observer observer;
  observer.added = [self](const std::string& line) {
    if (self) self->addLogLine(line);
  };
  observer.firstRemoved = [self] {
    if (self) self->removeFirstLogLine();
  };
  observer.firstShortened = [self](const std::string& line) {
    if (self) self->shortenFirstLogLine(line);
  };
  log.addObserver(std::move(observer));
}

void MainWindow::buildStatusView(const StatusTable& table) {
  statusView_ = new QTableView(this);
  statusView_->setObjectName(QStringLiteral("statusTable"));
  statusView_->setGeometry(0, 0, 497, 241);
  model_ = new StatusTableModel(table, this);
  statusView_->setModel(model_);
  // The header has a font of its own from the platform theme, which keeps its
  // size when the table's font changes; both are set.
  for (QWidget* part : {static_cast<QWidget*>(statusView_),
                        static_cast<QWidget*>(statusView_->horizontalHeader())}) {
    QFont font = part->font();
    font.setPixelSize(kTableFontPixels);
    part->setFont(font);
  }
  statusView_->setShowGrid(true);
  statusView_->setSelectionBehavior(QAbstractItemView::SelectRows);
  statusView_->setSelectionMode(QAbstractItemView::SingleSelection);
  statusView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  statusView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  statusView_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  statusView_->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
  statusView_->setWordWrap(false);
  statusView_->setCornerButtonEnabled(false);
  statusView_->verticalHeader()->hide();  // no fixed column

  QHeaderView* rows = statusView_->verticalHeader();
  rows->setMinimumSectionSize(1);
  rows->setDefaultSectionSize(kRowHeight);
  rows->setSectionResizeMode(QHeaderView::Fixed);

  QHeaderView* header = statusView_->horizontalHeader();
  header->setMinimumSectionSize(1);
  header->setSectionResizeMode(QHeaderView::Fixed);
  header->setStretchLastSection(false);
  header->setSectionsClickable(false);
  header->setHighlightSections(false);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setFixedHeight(kRowHeight);
  for (int c = 0; c < StatusTable::kColumns; ++c) statusView_->setColumnWidth(c, kColumnWidths[c]);

  statusView_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(statusView_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    popUpContextMenu(new QMenu(this), statusView_->viewport()->mapToGlobal(pos));
  });
}

void MainWindow::popUpContextMenu(QMenu* menu, const QPoint& globalPos) {
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->addAction(info_);
  // Not exec(): no nested event loop, the dispatcher keeps running under Qt's.
  menu->popup(globalPos);
}

void MainWindow::addLogLine(const std::string& line) {
  QScrollBar* bar = logText_->verticalScrollBar();
  const bool followEnd = bar->value() >= bar->maximum();
  QTextCursor cursor(logText_->document());
  cursor.movePosition(QTextCursor::End);
  // An empty document still has one (empty) block; the first line goes there.
  if (logLines_ > 0) cursor.insertBlock();
  cursor.insertText(logLineText(line));
  ++logLines_;
  if (followEnd) bar->setValue(bar->maximum());
}

void MainWindow::removeFirstLogLine() {
  if (logLines_ == 0) return;
  QTextCursor cursor(logText_->document());
  cursor.movePosition(QTextCursor::Start);
  if (logLines_ == 1) {
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
  } else {
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
  }
  cursor.removeSelectedText();
  --logLines_;
}

// The model has cut the first line's first displayed line; the same
// characters go from the view's first block, which then lays out anew.
void MainWindow::shortenFirstLogLine(const std::string& line) {
  if (logLines_ == 0) return;
  const QTextBlock first = logText_->document()->begin();
  const qsizetype cut = first.text().size() - logLineText(line).size();
  if (cut <= 0) return;
  QTextCursor cursor(logText_->document());
  cursor.movePosition(QTextCursor::Start);
  cursor.setPosition(static_cast<int>(cut), QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
}

int MainWindow::displayedLogLines() const {
  if (logLines_ == 0) return 0;
  const QTextDocument* doc = logText_->document();
  QAbstractTextDocumentLayout* layout = doc->documentLayout();
  int lines = 0;
  for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
    // the log lays blocks out lazily; asking for a block's rectangle lays it
    // out at the view's width if it is not yet.
    layout->blockBoundingRect(block);
    lines += std::max(1, block.layout()->lineCount());
  }
  return lines;
}

std::size_t MainWindow::firstDisplayedLogLineBytes(const std::string& first) const {
  if (logLines_ == 0) return 0;
  const QTextBlock block = logText_->document()->begin();
  logText_->document()->documentLayout()->blockBoundingRect(block);
  const QTextLayout* layout = block.layout();
  if (layout->lineCount() < 2) return 0;
  // The second line's start, not the first line's length: a line separator
  // that ends the first line belongs to it either way.
  return logLineBytes(first, layout->lineAt(1).textStart());
}

bool MainWindow::isShown() const {
  return isVisible();
}

void MainWindow::showWindow() {
  if (closed_) return;
  if (windowState() & Qt::WindowMinimized) setWindowState(windowState() & ~Qt::WindowMinimized);
  // Window managers place a window that comes back from hiding as a new one;
  // asking for the old client position keeps it where the operator left it.
  if (isHidden() && placeBeforeHiding_) {
    if (QWindow* handle = windowHandle()) {
      handle->setPosition(*placeBeforeHiding_);
    } else {
      move(*placeBeforeHiding_);
    }
  }
  show();
  raise();
  activateWindow();
}

void MainWindow::hideWindow() {
  if (isVisible()) placeBeforeHiding_ = geometry().topLeft();
  hide();
}

void MainWindow::closeWindow() {
  close();
}

void MainWindow::bringToFront() {
  if (closed_ || isHidden()) return;  // a window in the tray stays there
  if (windowState() & Qt::WindowMinimized) {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
  }
  raise();
  activateWindow();
}

void MainWindow::openDocument(const std::string& path) {
  const QString file =
      QFile::decodeName(QByteArray(path.data(), static_cast<qsizetype>(path.size())));
  const QFileInfo info(file);
  // A missing file is no error of the program's; there is nothing to open.
  if (file.isEmpty() || !info.isFile()) return;
  QDesktopServices::openUrl(QUrl::fromLocalFile(info.absoluteFilePath()));
}

void MainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange) return;
  if (!(windowState() & Qt::WindowMinimized) || !trayAvailable_()) return;
  // Hide once the window system has finished minimising, not in its midst.
  QTimer::singleShot(0, this, [this] {
    if (windowState() & Qt::WindowMinimized) hideToTray();
  });
}

void MainWindow::hideToTray() {
  // Clear the minimised state first, so that the window comes back normal
  // when it is shown again.
  setWindowState(windowState() & ~Qt::WindowMinimized);
  placeBeforeHiding_ = geometry().topLeft();
  hide();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  if (closed_) return;
  closed_ = true;
  if (actions_.closing) actions_.closing();
  emit closed();
}

}  // namespace varnok
