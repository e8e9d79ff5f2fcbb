#pragma once

#include <QAbstractTableModel>

namespace varnok {

class StatusTable;

// Shows the status table to a QTableView: row 0 of the status table becomes the horizontal
// header, rows 1.. become the view's rows 0... Cell texts are bytes and are
// shown one byte per character.
//
// The table notifies after it has changed, while Qt wants to hear of inserted
// or removed rows before; the adapter therefore reports the row count it last
// announced and catches up in the observer. It does not own the table, which
// must outlive it; observers it leaves behind in the table go quiet once the
// adapter is destroyed (the table has no way to remove them).
class StatusTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit StatusTableModel(const StatusTable& table, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  void tableChanged(int col, int row);
  void syncRowCount();

  const StatusTable& table_;
  int rows_ = 0;  // body rows announced to the views
};

}  // namespace varnok
