#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace varnok {

// The operator's log as a list of lines. Lines are added only at the
// end and removed only from the top. The dispatcher trims it; the view only
// renders (and, where it wraps long lines, says how many lines that takes).
// Texts are bytes (commands may carry any byte); front ends show them
// one byte per character.
class LogView {
 public:
  struct Observer {
    std::function<void(const std::string& line)> added;
    std::function<void()> firstRemoved;
  };

  // The lines the log takes up where it is shown; the dispatcher trims by
  // this count. A front end that wraps long lines counts a line once for each
  // line it wraps into (setDisplayedLineCounter); otherwise, as headless, each
  // line counts once. Never less than the number of lines.
  int lineCount() const;
  const std::deque<std::string>& lines() const { return lines_; }
  void addLine(std::string line);
  void deleteFirstLine();
  // Observing does not change the log, so a read-only view may do it.
  void addObserver(Observer observer) const { observers_.push_back(std::move(observer)); }
  // The front end's count of the lines it displays, asked at each lineCount().
  // One at a time; an empty function removes it.
  void setDisplayedLineCounter(std::function<int()> counter) const {
    displayedLineCounter_ = std::move(counter);
  }

 private:
  std::deque<std::string> lines_;
  mutable std::vector<Observer> observers_;
  mutable std::function<int()> displayedLineCounter_;
};

}  // namespace varnok
