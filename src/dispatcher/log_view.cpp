#include "dispatcher/log_view.h"

#include <algorithm>

namespace varnok {

int LogView::lineCount() const {
  const int lines = static_cast<int>(lines_.size());
  if (lines == 0 || !displayedLineCounter_) return lines;
  return std::max(lines, displayedLineCounter_());
}

void LogView::addLine(std::string line) {
  lines_.push_back(std::move(line));
  for (auto& o : observers_) {
    if (o.added) o.added(lines_.back());
  }
}

void LogView::deleteFirstLine() {
  if (lines_.empty()) return;
  lines_.pop_front();
  for (auto& o : observers_) {
    if (o.firstRemoved) o.firstRemoved();
  }
}

}  // namespace varnok
