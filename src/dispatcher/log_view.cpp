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

void LogView::deleteFirstDisplayedLine() {
  if (lines_.empty()) return;
  std::string& first = lines_.front();
  const std::size_t bytes = firstLineBytes_ ? firstLineBytes_(first) : 0;
  // Anything but a true part of the line takes the whole line, so that the
  // trimming loop always makes progress.
  if (bytes == 0 || bytes >= first.size()) {
    deleteFirstLine();
    return;
  }
  first.erase(0, bytes);
  for (auto& o : observers_) {
    if (o.firstShortened) o.firstShortened(first);
  }
}

}  // namespace varnok
