#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <functional>

class QMenu;

namespace varnok {

// TCiaTray: the tray icon component. Puts the icon into the desktop's
// notification area for as long as it exists, with the application title as
// its tip; the right button opens PopupMenu at the cursor, a double click
// clicks the menu's default item (when it has one) and then calls OnDblClick.
// A single click does nothing.
//
// Ownership: owns its QSystemTrayIcon; the menu belongs to the caller and must
// outlive the component.
class TCiaTray : public QObject {
  Q_OBJECT

 public:
  // The tip holds at most this many characters; a longer hint is shortened
  // with an ellipsis.
  static constexpr int kMaxTipChars = 63;

  TCiaTray(const QIcon& icon, const QString& hint, QMenu* popupMenu, QObject* parent = nullptr);
  ~TCiaTray() override;

  const QString& Hint() const { return hint_; }
  void setOnDblClick(std::function<void()> handler) { onDblClick_ = std::move(handler); }

  // What the icon's activation does; public so that it can be driven without
  // a notification area.
  void WMTrayCallback(QSystemTrayIcon::ActivationReason reason);

  QSystemTrayIcon* icon() const { return icon_; }

 private:
  QString hint_;
  QMenu* popupMenu_;
  std::function<void()> onDblClick_;
  QSystemTrayIcon* icon_;
};

// PopupMenu1 of the main window: "Show/Hide", a separator, "Exit"; no
// default item. The menu belongs to the caller.
QMenu* buildTrayMenu(const std::function<void()>& showHide, const std::function<void()>& exit);

}  // namespace varnok
