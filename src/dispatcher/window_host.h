#pragma once

#include <string>

namespace varnok {

// What the dispatcher asks of the window that shows it. The desktop front end
// implements it with the real window; the headless front end has no window to
// show, hide or raise. The names are the dispatcher's own, so that a window
// class implementing them keeps its toolkit's show(), hide() and close().
class WindowHost {
 public:
  virtual ~WindowHost() = default;
  virtual bool isShown() const = 0;
  // Shows a hidden window where it was, and raises it.
  virtual void showWindow() = 0;
  // Hides the window to the tray.
  virtual void hideWindow() = 0;
  // Closes the window: the closing handler runs, then the program ends.
  virtual void closeWindow() = 0;
  // After a hand-off: restore a minimised window, raise a shown one; a window
  // hidden in the tray stays hidden.
  virtual void bringToFront() = 0;
  // Opens a document with the user's viewer for its kind; no shell involved.
  virtual void openDocument(const std::string& path) = 0;
};

}  // namespace varnok
