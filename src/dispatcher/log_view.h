#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace varnok {

// Memo2: the operator's log as a list of lines. Lines are added only at the
// end and removed only from the top. The dispatcher trims it; the view only
// renders. Texts are bytes (commands may carry any byte); front ends show them
// one byte per character.
class LogView {
 public:
  struct Observer {
    std::function<void(const std::string& line)> added;
    std::function<void()> firstRemoved;
  };

  int lineCount() const { return static_cast<int>(lines_.size()); }
  const std::deque<std::string>& lines() const { return lines_; }
  void addLine(std::string line);
  void deleteFirstLine();
  void addObserver(Observer observer) { observers_.push_back(std::move(observer)); }

 private:
  std::deque<std::string> lines_;
  std::vector<Observer> observers_;
};

}  // namespace varnok
