#include "desktop/tray_icon.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <memory>

#include "desktop/text.h"

namespace varnok {
namespace {

TEST(TrayTip, ShortTitlesStayWhole) {
  EXPECT_EQ(elide("Varnok (rds)", 63), "Varnok (rds)");
  const QString exact(63, QLatin1Char('x'));
  EXPECT_EQ(elide(exact, 63), exact);
}

TEST(TrayTip, LongTitlesEndInAnEllipsis) {
  const QString title = "Varnok (" + QString(80, QLatin1Char('f')) + ")";
  const QString tip = elide(title, 63);
  EXPECT_EQ(tip.size(), 63);
  EXPECT_TRUE(tip.startsWith("Varnok (fff"));
  EXPECT_EQ(tip.back(), QChar(0x2026));

  // A character outside the basic plane is never cut in half.
  const QString wide = QString(61, QLatin1Char('a')) + QString::fromUtf8("\U0001F4FB") + "zz";
  const QString cut = elide(wide, 63);
  EXPECT_FALSE(cut.at(cut.size() - 2).isHighSurrogate());
  EXPECT_LE(cut.size(), 63);
}

TEST(TrayTip, FolderNamesDecodeAsUtf8OrByByte) {
  EXPECT_EQ(fromFileName("Varnok (R\xC3\xA1"
                         "dio)"),
            QString::fromUtf8("Varnok (R\u00E1dio)"));
  EXPECT_EQ(fromFileName("Varnok (R\xE1"
                         "dio)"),
            QString::fromUtf8("Varnok (R\u00E1dio)"));
}

TEST(TrayMenu, HasShowHideSeparatorExitAndNoDefault) {
  int showHide = 0, exit = 0;
  std::unique_ptr<QMenu> menu(buildTrayMenu([&] { ++showHide; }, [&] { ++exit; }));
  const auto items = menu->actions();
  ASSERT_EQ(items.size(), 3);
  EXPECT_EQ(items[0]->text(), "Show/Hide");
  EXPECT_TRUE(items[1]->isSeparator());
  EXPECT_EQ(items[2]->text(), "Exit");
  EXPECT_EQ(menu->defaultAction(), nullptr);
  items[0]->trigger();
  EXPECT_EQ(showHide, 1);
  EXPECT_EQ(exit, 0);
  items[2]->trigger();
  EXPECT_EQ(exit, 1);
}

TEST(TrayIcon, DoubleClickCallsTheHandlerSingleClicksDoNothing) {
  int showHide = 0, exit = 0, dbl = 0;
  std::unique_ptr<QMenu> menu(buildTrayMenu([&] { ++showHide; }, [&] { ++exit; }));
  TrayIcon tray(QIcon(":/varnok/varnok.png"), "Varnok (x)", menu.get());
  tray.setOnDoubleClick([&] { ++dbl; });
  EXPECT_EQ(tray.hint(), "Varnok (x)");
  EXPECT_EQ(tray.icon()->toolTip(), "Varnok (x)");
  EXPECT_EQ(tray.icon()->contextMenu(), menu.get());
  EXPECT_FALSE(tray.icon()->icon().isNull());  // the built-in picture

  tray.activate(QSystemTrayIcon::Trigger);
  tray.activate(QSystemTrayIcon::MiddleClick);
  tray.activate(QSystemTrayIcon::Context);
  EXPECT_EQ(dbl, 0);
  tray.activate(QSystemTrayIcon::DoubleClick);
  EXPECT_EQ(dbl, 1);
  EXPECT_EQ(showHide + exit, 0);  // no default item to click
}

TEST(TrayIcon, DoubleClickClicksADefaultItemFirst) {
  std::vector<std::string> order;
  std::unique_ptr<QMenu> menu(buildTrayMenu([&] { order.push_back("item"); }, [] {}));
  menu->setDefaultAction(menu->actions().at(0));
  TrayIcon tray(QIcon(), QString(70, QLatin1Char('t')), menu.get());
  tray.setOnDoubleClick([&] { order.push_back("handler"); });
  EXPECT_EQ(tray.hint().size(), TrayIcon::kMaxTipChars);
  tray.activate(QSystemTrayIcon::DoubleClick);
  EXPECT_EQ(order, (std::vector<std::string>{"item", "handler"}));
}

}  // namespace
}  // namespace varnok
