#pragma once

#include <functional>
#include <string>
#include <vector>

namespace varnok {

// The status table the front ends render. Row 0 is the header row; row
// r > 0 shows encoder r-1. Cells are addressed (column, row) as on the grid.
class StatusTable {
 public:
  static constexpr int kColumns = 7;
  // Called after a cell changed, or with (-1, -1) after the row count changed.
  using Observer = std::function<void(int col, int row)>;

  int rowCount() const { return static_cast<int>(rows_.size()); }
  void setRowCount(int rows);
  // An empty text for a cell outside the table.
  const std::string& cell(int col, int row) const;
  // Writes outside the table are ignored.
  void setCell(int col, int row, std::string text);
  // Observing does not change the table, so a read-only view may do it.
  void addObserver(Observer observer) const { observers_.push_back(std::move(observer)); }

  // One line per row, cells separated by TAB, each line ending in "\n".
  std::string dump() const;

 private:
  void notify(int col, int row);
  std::vector<std::vector<std::string>> rows_;
  mutable std::vector<Observer> observers_;
};

}  // namespace varnok
