#include "desktop/tray_icon.h"

#include <QAction>
#include <QMenu>

#include "desktop/text.h"

namespace varnok {

TCiaTray::TCiaTray(const QIcon& icon, const QString& hint, QMenu* popupMenu, QObject* parent)
    : QObject(parent),
      hint_(elide(hint, kMaxTipChars)),
      popupMenu_(popupMenu),
      icon_(new QSystemTrayIcon(icon, this)) {
  icon_->setToolTip(hint_);
  // Qt pops the context menu up at the cursor on the right button by itself.
  icon_->setContextMenu(popupMenu_);
  connect(icon_, &QSystemTrayIcon::activated, this, &TCiaTray::WMTrayCallback);
  icon_->show();
}

TCiaTray::~TCiaTray() {
  // The menu may be destroyed right after the component; the icon must not
  // keep pointing at it.
  icon_->hide();
  icon_->setContextMenu(nullptr);
}

void TCiaTray::WMTrayCallback(QSystemTrayIcon::ActivationReason reason) {
  if (reason != QSystemTrayIcon::DoubleClick) return;  // single clicks do nothing
  if (popupMenu_) {
    if (QAction* item = popupMenu_->defaultAction()) item->trigger();
  }
  if (onDblClick_) onDblClick_();
}

QMenu* buildTrayMenu(const std::function<void()>& showHide, const std::function<void()>& exit) {
  auto* menu = new QMenu;
  menu->setObjectName(QStringLiteral("PopupMenu1"));
  QAction* showHide1 = menu->addAction(QStringLiteral("Show/Hide"));
  showHide1->setObjectName(QStringLiteral("ShowHide1"));
  QObject::connect(showHide1, &QAction::triggered, menu, [showHide] {
    if (showHide) showHide();
  });
  menu->addSeparator()->setObjectName(QStringLiteral("N1"));
  QAction* exit1 = menu->addAction(QStringLiteral("Exit"));
  exit1->setObjectName(QStringLiteral("Exit1"));
  QObject::connect(exit1, &QAction::triggered, menu, [exit] {
    if (exit) exit();
  });
  return menu;
}

}  // namespace varnok
