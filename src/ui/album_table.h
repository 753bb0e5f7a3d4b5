// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The album table: a report-style view of an AlbumListModel, a check box at the start of
// every row.
//
// Ticks set through this class's methods are the program's own and raise nothing.
// Only the operator's tick (a click on a row's check box, or the space bar on the
// current row) raises operator_toggled, which the window maps to select_checked_row.
#include <QPixmap>
#include <QTableView>

#include "ui/album_list_model.h"

namespace af {

class AlbumTable : public QTableView {
  Q_OBJECT
 public:
  explicit AlbumTable(QWidget* parent = nullptr);

  AlbumListModel* albums() const { return albums_; }
  int rowCount() const { return albums_->rowCount(); }
  int columnCount() const { return albums_->columnCount(); }
  // Appends an album; returns its row.
  int add_album(const AlbumRow& row, bool ticked);
  bool row_ticked(int row) const { return albums_->ticked(row); }
  void set_row_ticked(int row, bool ticked) { albums_->set_ticked(row, ticked); }
  // Shows a cover thumbnail in the cover column of `row`; the row grows to the picture's height.
  void set_row_cover(int row, const QPixmap& cover);
  void remove_all_rows() { albums_->remove_all(); }

 signals:
  void operator_toggled(int row, bool ticked);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  // The current row is framed as a whole while the table has the keyboard.
  void paintEvent(QPaintEvent* event) override;
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  friend class AlbumCheckDelegate;
  AlbumListModel* albums_;
  // The current row's cells in view, the hidden columns left out.
  QRect focus_row_rect() const;
};

}  // namespace af
