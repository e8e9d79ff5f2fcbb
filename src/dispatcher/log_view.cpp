#include "dispatcher/log_view.h"

namespace varnok {

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
