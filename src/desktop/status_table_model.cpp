#include "desktop/status_table_model.h"

#include <QPointer>

#include "desktop/text.h"
#include "dispatcher/status_table.h"

namespace varnok {

StatusTableModel::StatusTableModel(const StatusTable& table, QObject* parent)
    : QAbstractTableModel(parent), table_(table), rows_(std::max(0, table.rowCount() - 1)) {
  QPointer<StatusTableModel> self(this);
  table_.addObserver([self](int col, int row) {
    if (self) self->tableChanged(col, row);
  });
}

int StatusTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : rows_;
}

int StatusTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : StatusTable::kColumns;
}

QVariant StatusTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || role != Qt::DisplayRole) return {};
  return fromBytes(table_.cell(index.column(), index.row() + 1));
}

QVariant StatusTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal)
    return QAbstractTableModel::headerData(section, orientation, role);
  if (role == Qt::DisplayRole) return fromBytes(table_.cell(section, 0));
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
  return {};
}

Qt::ItemFlags StatusTableModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;  // never editable
}

void StatusTableModel::tableChanged(int col, int row) {
  if (col < 0 || row < 0) {
    syncRowCount();
    return;
  }
  if (row == 0) {
    emit headerDataChanged(Qt::Horizontal, col, col);
    return;
  }
  if (row - 1 < rows_) {
    const QModelIndex at = index(row - 1, col);
    emit dataChanged(at, at, {Qt::DisplayRole});
  }
}

void StatusTableModel::syncRowCount() {
  const int now = std::max(0, table_.rowCount() - 1);
  if (now > rows_) {
    beginInsertRows(QModelIndex(), rows_, now - 1);
    rows_ = now;
    endInsertRows();
  } else if (now < rows_) {
    beginRemoveRows(QModelIndex(), now, rows_ - 1);
    rows_ = now;
    endRemoveRows();
  }
  // Rows that stayed may have been rewritten along with the count, and a
  // table that shrank to nothing has lost its header texts.
  if (rows_ > 0) emit dataChanged(index(0, 0), index(rows_ - 1, StatusTable::kColumns - 1));
  emit headerDataChanged(Qt::Horizontal, 0, StatusTable::kColumns - 1);
}

}  // namespace varnok
