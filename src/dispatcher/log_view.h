#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace varnok {

// The operator's log as a list of lines. Lines are added only at the end and
// removed, or cut short, only from the top. The dispatcher trims it; the view
// only renders (and, where it wraps long lines, says how many lines that
// takes and where the first one wraps). Texts are bytes (commands may carry
// any byte); front ends show them one byte per character.
class LogView {
 public:
  struct Observer {
    std::function<void(const std::string& line)> added;
    std::function<void()> firstRemoved;
    // The first line lost its beginning to trimming; `line` is what is left.
    std::function<void(const std::string& line)> firstShortened = {};
  };

  // The lines the log takes up where it is shown; the dispatcher trims by
  // this count. A front end that wraps long lines counts a line once for each
  // line it wraps into (setDisplayedLineCounter); otherwise, as headless, each
  // line counts once. Never less than the number of lines.
  int lineCount() const;
  const std::deque<std::string>& lines() const { return lines_; }
  void addLine(std::string line);
  void deleteFirstLine();
  // Takes one displayed line off the top, as a wrapping text box does: a
  // first line that wraps loses the bytes of its first displayed line and
  // stays; a first line shown on one line goes whole.
  void deleteFirstDisplayedLine();
  // Observing does not change the log, so a read-only view may do it.
  void addObserver(Observer observer) const { observers_.push_back(std::move(observer)); }
  // The front end's count of the lines it displays, asked at each lineCount(),
  // and the bytes of the first line that its first displayed line holds (0 or
  // all of them when it is not wrapped), asked at each
  // deleteFirstDisplayedLine(). One front end at a time; empty functions
  // remove them.
  void setDisplayedLineCounter(
      std::function<int()> counter,
      std::function<std::size_t(const std::string& first)> firstLineBytes = {}) const {
    displayedLineCounter_ = std::move(counter);
    firstLineBytes_ = std::move(firstLineBytes);
  }

 private:
  std::deque<std::string> lines_;
  mutable std::vector<Observer> observers_;
  mutable std::function<int()> displayedLineCounter_;
  mutable std::function<std::size_t(const std::string&)> firstLineBytes_;
};

}  // namespace varnok
