#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <functional>

class QMenu;

namespace varnok {

// The tray icon. Puts the icon into the desktop's
// notification area for as long as it exists, with the application title as
// its tip; the right button opens the menu at the cursor, a double click
// clicks the menu's default item (when it has one) and then calls the double-click handler.
// A single click does nothing.
//
// Ownership: owns its QSystemTrayIcon; the menu belongs to the caller and must
// outlive the component.
class TrayIcon : public QObject {
  Q_OBJECT

 public:
  // The tip holds at most this many characters; a longer hint is shortened
  // with an ellipsis.
  static constexpr int kMaxTipChars = 63;

  TrayIcon(const QIcon& icon, const QString& hint, QMenu* popupMenu, QObject* parent = nullptr);
  ~TrayIcon() override;

  const QString& hint() const { return hint_; }
  void setOnDoubleClick(std::function<void()> handler) { onDoubleClick_ = std::move(handler); }

  // What the icon's activation does; public so that it can be driven without
  // a notification area.
  void activate(QSystemTrayIcon::ActivationReason reason);

  QSystemTrayIcon* icon() const { return icon_; }

 private:
  QString hint_;
  QMenu* popupMenu_;
  std::function<void()> onDoubleClick_;
  QSystemTrayIcon* icon_;
};

// The tray menu: "Show/Hide", a separator, "Exit"; no
// default item. The menu belongs to the caller.
QMenu* buildTrayMenu(const std::function<void()>& showHide, const std::function<void()>& exit);

}  // namespace varnok
