#include "dispatcher/status_table.h"

namespace varnok {

void StatusTable::setRowCount(int rows) {
  if (rows < 0) rows = 0;
  rows_.resize(static_cast<std::size_t>(rows), std::vector<std::string>(kColumns));
  notify(-1, -1);
}

const std::string& StatusTable::cell(int col, int row) const {
  static const std::string empty;
  if (col < 0 || col >= kColumns || row < 0 || row >= rowCount()) return empty;
  return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
}

void StatusTable::setCell(int col, int row, std::string text) {
  if (col < 0 || col >= kColumns || row < 0 || row >= rowCount()) return;
  std::string& c = rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
  if (c == text) return;
  c = std::move(text);
  notify(col, row);
}

std::string StatusTable::dump() const {
  std::string out;
  for (const auto& row : rows_) {
    for (int c = 0; c < kColumns; ++c) {
      if (c) out += '\t';
      out += row[static_cast<std::size_t>(c)];
    }
    out += '\n';
  }
  return out;
}

void StatusTable::notify(int col, int row) {
  for (auto& o : observers_) o(col, row);
}

}  // namespace varnok
