#include "desktop/tray_icon.h"

#include <QAction>
#include <QMenu>

#include "desktop/text.h"

namespace varnok {

TrayIcon::TrayIcon(const QIcon& icon, const QString& hint, QMenu* popupMenu, QObject* parent)
    : QObject(parent),
      hint_(elide(hint, kMaxTipChars)),
      popupMenu_(popupMenu),
      icon_(new QSystemTrayIcon(icon, this)) {
  icon_->setToolTip(hint_);
  // Qt pops the context menu up at the cursor on the right button by itself.
  icon_->setContextMenu(popupMenu_);
  connect(icon_, &QSystemTrayIcon::activated, this, &TrayIcon::activate);
  icon_->show();
}

TrayIcon::~TrayIcon() {
  // The menu may be destroyed right after the component; the icon must not
  // keep pointing at it.
  icon_->hide();
  icon_->setContextMenu(nullptr);
}

void TrayIcon::activate(QSystemTrayIcon::ActivationReason reason) {
  if (reason != QSystemTrayIcon::DoubleClick) return;  // single clicks do nothing
  if (popupMenu_) {
    if (QAction* item = popupMenu_->defaultAction()) item->trigger();
  }
  if (onDoubleClick_) onDoubleClick_();
}

QMenu* buildTrayMenu(const std::function<void()>& showHide, const std::function<void()>& exit) {
  auto* menu = new QMenu;
  menu->setObjectName(QStringLiteral("trayMenu"));
  QAction* showHideItem = menu->addAction(QStringLiteral("Show/Hide"));
  showHideItem->setObjectName(QStringLiteral("showHide"));
  QObject::connect(showHideItem, &QAction::triggered, menu, [showHide] {
    if (showHide) showHide();
  });
  menu->addSeparator()->setObjectName(QStringLiteral("separator"));
  QAction* exitItem = menu->addAction(QStringLiteral("Exit"));
  exitItem->setObjectName(QStringLiteral("exit"));
  QObject::connect(exitItem, &QAction::triggered, menu, [exit] {
    if (exit) exit();
  });
  return menu;
}

}  // namespace varnok
