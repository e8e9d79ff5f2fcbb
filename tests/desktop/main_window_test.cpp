#include "desktop/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QUrl>
#include <memory>

#include "dispatcher/log_view.h"
#include "dispatcher/status_table.h"

namespace varnok {
namespace {

const char* const kHeaders[] = {"RDS Encoder Name", "Host",   "Port",   "Queue",
                                "Thread",           "Errors", "Enabled"};

void fillTable(StatusTable& t, int encoders) {
  t.setRowCount(encoders + 1);
  for (int c = 0; c < StatusTable::kColumns; ++c) t.setCell(c, 0, kHeaders[c]);
  for (int r = 1; r <= encoders; ++r) {
    t.setCell(0, r, "Encoder " + std::to_string(r));
    t.setCell(1, r, "127.0.0." + std::to_string(r));
  }
}

struct Counters {
  int showHide = 0, exit = 0, info = 0, closing = 0;
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { fillTable(table, 3); }

  void makeWindow(bool tray = true) {
    trayAvailable = tray;
    WindowActions actions{[this] { ++calls.showHide; }, [this] { ++calls.exit; },
                          [this] { ++calls.info; }, [this] { ++calls.closing; }};
    window = std::make_unique<MainWindow>(table, log, actions, [this] { return trayAvailable; });
  }

  QString cellText(int row, int col) const {
    auto* view = window->statusView();
    return view->model()->index(row, col).data().toString();
  }
  QString header(int col) const {
    return window->statusView()->model()->headerData(col, Qt::Horizontal).toString();
  }
  QStringList logBlocks() const {
    QStringList out;
    const QTextDocument* doc = window->logView()->document();
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) out << b.text();
    return out;
  }

  // The context menu that a right click on `target` pops up.
  QMenu* rightClick(QWidget* target) {
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            target->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(target, &event);
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
  }

  StatusTable table;
  LogView log;
  Counters calls;
  bool trayAvailable = true;
  std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, LayoutHoldsTheFixedGeometryAndControls) {
  makeWindow();
  EXPECT_EQ(window->windowTitle(), "Varnok");
  EXPECT_EQ(window->size(), QSize(497, 353));
  EXPECT_EQ(window->minimumSize(), QSize(497, 353));
  EXPECT_EQ(window->maximumSize(), QSize(497, 353));
  EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);

  QTableView* grid = window->statusView();
  EXPECT_EQ(grid->geometry(), QRect(0, 0, 497, 241));
  const int widths[] = {150, 100, 44, 39, 39, 40, 59};
  ASSERT_EQ(grid->model()->columnCount(), 7);
  for (int c = 0; c < 7; ++c) EXPECT_EQ(grid->columnWidth(c), widths[c]) << "column " << c;
  EXPECT_EQ(grid->rowHeight(0), 17);
  EXPECT_EQ(grid->horizontalHeader()->height(), 17);
  EXPECT_FALSE(grid->verticalHeader()->isVisibleTo(window.get()));
  EXPECT_EQ(grid->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
  EXPECT_FALSE(grid->model()->flags(grid->model()->index(0, 0)) & Qt::ItemIsEditable);
  EXPECT_EQ(grid->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_NE(grid->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

  QPlainTextEdit* log = window->logView();
  EXPECT_EQ(log->geometry(), QRect(0, 240, 497, 113));
  EXPECT_TRUE(log->isReadOnly());
  EXPECT_EQ(log->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_EQ(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_NE(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(log->palette().color(QPalette::Base), window->palette().color(QPalette::Window));
}

// The column widths are fixed, so the table's font must suit them: every
// header and the usual cells read in full, measured with the font and the
// margins that the header and the cells are actually drawn with.
TEST_F(MainWindowTest, HeadersAndUsualCellsFitTheirColumns) {
  const char* const cells[] = {"RDS Encoder 10", "127.0.0.1", "65535", "9999", "4", "999",
                               "Suspended"};
  for (int c = 0; c < StatusTable::kColumns; ++c) table.setCell(c, 1, cells[c]);
  makeWindow();
  window->show();
  QTableView* grid = window->statusView();
  QHeaderView* header = grid->horizontalHeader();
  const QAbstractItemView* cellsView = grid;  // the public sizeHintForColumn

  const QFontMetrics headerFont(header->font());
  const int headerMargin = header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
  for (int c = 0; c < StatusTable::kColumns; ++c) {
    EXPECT_LE(headerFont.horizontalAdvance(kHeaders[c]) + 2 * headerMargin, grid->columnWidth(c))
        << kHeaders[c];
    // The width the delegate asks for the widest cell of the column, grid line
    // included.
    EXPECT_LE(cellsView->sizeHintForColumn(c), grid->columnWidth(c)) << cells[c];
  }
  // And the text still fits the fixed row height.
  EXPECT_LE(QFontMetrics(grid->font()).height(), grid->rowHeight(0));
  EXPECT_LE(headerFont.height() + 2 * headerMargin, header->height());
}

TEST_F(MainWindowTest, FocusGoesFromTheLogToTheTable) {
  makeWindow();
  window->show();
  QApplication::setActiveWindow(window.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get(), 2000));
  window->logView()->setFocus();
  QTest::keyClick(window->logView(), Qt::Key_Tab);
  EXPECT_TRUE(window->statusView()->hasFocus());
}

TEST_F(MainWindowTest, TableFollowsTheStatusModel) {
  makeWindow();
  auto* grid = window->statusView();
  for (int c = 0; c < 7; ++c) EXPECT_EQ(header(c), kHeaders[c]);
  ASSERT_EQ(grid->model()->rowCount(), 3);
  EXPECT_EQ(cellText(1, 1), "127.0.0.2");

  table.setCell(3, 2, "12");
  table.setCell(0, 1, "Caf\xE9 FM");  // a byte that is not UTF-8 on its own
  EXPECT_EQ(cellText(1, 3), "12");
  EXPECT_EQ(cellText(0, 0), QString::fromUtf8("Caf\u00E9 FM"));
  table.setCell(5, 0, "Fehler");
  EXPECT_EQ(header(5), "Fehler");

  grid->selectRow(1);
  table.setRowCount(6);
  EXPECT_EQ(grid->model()->rowCount(), 5);
  table.setCell(0, 5, "Last");
  EXPECT_EQ(cellText(4, 0), "Last");
  EXPECT_EQ(grid->currentIndex().row(), 1);  // growing keeps the selection

  table.setRowCount(2);
  EXPECT_EQ(grid->model()->rowCount(), 1);
  EXPECT_EQ(cellText(0, 0), QString::fromUtf8("Caf\u00E9 FM"));
  table.setRowCount(0);
  EXPECT_EQ(grid->model()->rowCount(), 0);
  EXPECT_EQ(header(0), "");
}

TEST_F(MainWindowTest, LogFollowsTheLogModel) {
  log.addLine("before the window");
  makeWindow();
  EXPECT_EQ(logBlocks(), QStringList{"before the window"});

  log.addLine("");  // an empty line is a line too
  log.addLine("RT=Caf\xE9");
  log.addLine("two\r\nparts\rand\nmore");  // stays one line of the view
  EXPECT_EQ(logBlocks(), (QStringList{"before the window", "", QString::fromUtf8("RT=Caf\u00E9"),
                                      QString("two\u2028parts\u2028and\u2028more")}));

  log.deleteFirstLine();
  log.deleteFirstLine();
  EXPECT_EQ(logBlocks(), (QStringList{QString::fromUtf8("RT=Caf\u00E9"),
                                      QString("two\u2028parts\u2028and\u2028more")}));
  log.deleteFirstLine();
  log.deleteFirstLine();
  EXPECT_EQ(window->logView()->toPlainText(), "");
  log.addLine("again");
  EXPECT_EQ(logBlocks(), QStringList{"again"});
}

// The model cuts the bytes the window's first displayed line holds, and the
// window shows what is left; a line break the window shows as one character
// may have been two bytes.
TEST_F(MainWindowTest, DeletingTheFirstDisplayedLineCutsTheFirstLine) {
  makeWindow();
  struct Row {
    std::string line;
    std::string left;  // empty: the line goes whole
    QString shown;
  };
  const Row rows[] = {
      {"one\r\ntwo\r\nthree", "two\r\nthree", QString("two\u2028three")},
      {"one\rtwo", "two", "two"},
      {"one\ntwo", "two", "two"},
      {"\r\n\r\nx", "\r\nx", QString("\u2028x")},
      {"Caf\xE9\r\nx\xFF", "x\xFF", QString::fromLatin1("x\xFF")},
      {"one line", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    log.addLine(row.line);
    log.deleteFirstDisplayedLine();
    if (row.left.empty()) {
      EXPECT_TRUE(log.lines().empty());
      EXPECT_EQ(window->logView()->toPlainText(), "");
      continue;
    }
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines().front(), row.left);
    EXPECT_EQ(logBlocks(), QStringList{row.shown});
    log.deleteFirstLine();
  }
}

TEST_F(MainWindowTest, LogKeepsTheNewestLineInViewWhileAtTheEnd) {
  makeWindow();
  window->show();
  for (int i = 0; i < 50; ++i) log.addLine("line " + std::to_string(i));
  QScrollBar* bar = window->logView()->verticalScrollBar();
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());

  bar->setValue(0);  // the operator scrolls back to read
  log.addLine("one more");
  EXPECT_EQ(bar->value(), 0);
}

TEST_F(MainWindowTest, ModelsOutliveTheWindow) {
  makeWindow();
  log.addLine(std::string(400, 'x') + " wraps");
  EXPECT_GT(log.lineCount(), 1);  // counted as the window displays it
  window.reset();
  EXPECT_EQ(log.lineCount(), 1);  // one line each again
  table.setCell(0, 1, "still fine");
  table.setRowCount(9);
  log.addLine("still fine");
  log.deleteFirstDisplayedLine();  // without the window, the wrapped line goes whole
  EXPECT_EQ(log.lines().front(), "still fine");
  EXPECT_EQ(table.cell(0, 1), "still fine");
}

TEST_F(MainWindowTest, ShowHideAndBringToFront) {
  makeWindow();
  window->showWindow();
  EXPECT_TRUE(window->isShown());
  window->hideWindow();
  EXPECT_FALSE(window->isShown());
  window->bringToFront();  // a window in the tray stays there
  EXPECT_FALSE(window->isShown());
  window->showWindow();
  EXPECT_TRUE(window->isShown());

  trayAvailable = false;  // minimised rather than hidden
  window->setWindowState(Qt::WindowMinimized);
  QApplication::processEvents();
  ASSERT_TRUE(window->isShown());
  window->bringToFront();
  EXPECT_FALSE(window->windowState() & Qt::WindowMinimized);
  EXPECT_TRUE(window->isShown());
}

TEST_F(MainWindowTest, MinimisingHidesToTheTray) {
  makeWindow(true);
  window->showWindow();
  window->setWindowState(window->windowState() | Qt::WindowMinimized);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isShown(); }, 2000));
  // Shown again, it comes back as a normal window.
  window->showWindow();
  EXPECT_TRUE(window->isShown());
  EXPECT_FALSE(window->windowState() & Qt::WindowMinimized);
}

TEST_F(MainWindowTest, WithoutATrayMinimisingMinimises) {
  makeWindow(false);
  window->showWindow();
  window->setWindowState(window->windowState() | Qt::WindowMinimized);
  QTest::qWait(50);
  EXPECT_TRUE(window->isShown());
  EXPECT_TRUE(window->windowState() & Qt::WindowMinimized);
}

TEST_F(MainWindowTest, ContextMenusAndF1ReachInfo) {
  makeWindow();
  window->show();
  QApplication::setActiveWindow(window.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get(), 2000));

  QWidget* targets[] = {window->statusView()->viewport(), window->logView()->viewport(),
                        window.get()};
  int expected = 0;
  for (QWidget* target : targets) {
    QMenu* menu = rightClick(target);
    ASSERT_NE(menu, nullptr) << target->objectName().toStdString();
    QAction* info = nullptr;
    for (QAction* a : menu->actions()) {
      if (a->text() == "&Info") info = a;
    }
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(calls.info, expected);
    info->trigger();
    menu->close();
    EXPECT_EQ(calls.info, ++expected);
  }
  // The log's menu keeps its usual entries as well.
  QMenu* menu = rightClick(window->logView()->viewport());
  ASSERT_NE(menu, nullptr);
  EXPECT_GT(menu->actions().size(), 2);
  menu->close();

  QTest::keyClick(window->logView(), Qt::Key_F1);
  EXPECT_EQ(calls.info, expected + 1);
  EXPECT_EQ(calls.showHide + calls.exit + calls.closing, 0);
}

// Receives the URLs that QDesktopServices would hand to the desktop.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> urls;
 public slots:
  void open(const QUrl& url) { urls << url; }
};

TEST_F(MainWindowTest, OpenDocumentOpensExistingFilesOnly) {
  makeWindow();
  UrlCatcher catcher;
  QDesktopServices::setUrlHandler("file", &catcher, "open");
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  // A name a shell would make something of; it must reach the viewer as is.
  const QString name = dir.filePath("info $(touch x); 'a b'.txt");
  QFile file(name);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();

  window->openDocument(dir.filePath("varnok.txt").toStdString());
  window->openDocument("");
  window->openDocument(dir.path().toStdString());  // a folder is no document
  EXPECT_TRUE(catcher.urls.isEmpty());

  window->openDocument(name.toStdString());
  QDesktopServices::unsetUrlHandler("file");
  ASSERT_EQ(catcher.urls.size(), 1);
  EXPECT_EQ(catcher.urls[0], QUrl::fromLocalFile(name));
}

TEST_F(MainWindowTest, ClosingRunsTheClosingActionOnce) {
  makeWindow();
  int closedSignals = 0;
  QObject::connect(window.get(), &MainWindow::closed, [&] { ++closedSignals; });
  window->showWindow();
  window->closeWindow();
  EXPECT_FALSE(window->isShown());
  EXPECT_TRUE(window->isClosed());
  window->closeWindow();
  window->showWindow();  // a closed window stays closed
  EXPECT_FALSE(window->isShown());
  EXPECT_EQ(calls.closing, 1);
  EXPECT_EQ(closedSignals, 1);
}

TEST_F(MainWindowTest, ClosingAHiddenWindowStillRunsTheClosingAction) {
  makeWindow();
  window->showWindow();
  window->hideWindow();  // in the tray; "Exit" from the tray menu closes it
  window->closeWindow();
  EXPECT_EQ(calls.closing, 1);
  EXPECT_TRUE(window->isClosed());
}

}  // namespace
}  // namespace varnok

#include "main_window_test.moc"
