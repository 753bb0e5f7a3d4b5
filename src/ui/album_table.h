// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The album table: a report-style list with a check box in column 0 of every row.
//
// Ticks set through this class's methods are the program's own and raise nothing.
// Only the operator's tick (a click on a row's check box, or the space bar on the
// current row) raises operator_toggled, which the window maps to select_checked_row.
#include <QPixmap>
#include <QStringList>
#include <QTableWidget>
#include <vector>

#include "download/download_request.h"

namespace af {

class AlbumTable : public QTableWidget {
  Q_OBJECT
 public:
  explicit AlbumTable(QWidget* parent = nullptr);

  // Appends a row: `cells` fill columns 1 onwards (serial number, name, cover, count,
  // album id, ...); column 0 carries the check box. Returns the new row's index.
  int add_album_row(const QStringList& cells, bool ticked);
  bool row_ticked(int row) const;
  void set_row_ticked(int row, bool ticked);
  // Shows a cover thumbnail in column 3 of `row`; the row grows to the picture's height.
  void set_row_cover(int row, const QPixmap& cover);
  void remove_all_rows();
  // The ticked rows, in table order, as a download takes them; only here is the id
  // column's "<id>@@<type>" text read back.
  std::vector<TickedAlbum> ticked_albums() const;

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
  QTableWidgetItem* check_item(int row) const;
  // The current row's cells in view, the hidden columns left out.
  QRect focus_row_rect() const;
};

}  // namespace af
