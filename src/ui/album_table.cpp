// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/album_table.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>
#include <QStyledItemDelegate>
#include <algorithm>


namespace af {

// Operator clicks on a check box reach the model only through the delegate's
// editorEvent; program ticks never do. That makes it the one place to tell them apart.
class AlbumCheckDelegate : public QStyledItemDelegate {
 public:
  explicit AlbumCheckDelegate(AlbumTable* table) : QStyledItemDelegate(table), table_(table) {}

  // The keyboard's place is the row's, framed whole by the table: a cell draws no focus box
  // of its own (beside a check box it would frame nothing).
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyleOptionViewItem cell(option);
    cell.state &= ~QStyle::State_HasFocus;
    QStyledItemDelegate::paint(painter, cell, index);
  }

  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override {
    const QVariant before = index.data(Qt::CheckStateRole);
    const bool handled = QStyledItemDelegate::editorEvent(event, model, option, index);
    const QVariant after = index.data(Qt::CheckStateRole);
    if (handled && before.isValid() && before != after) {
      emit table_->operator_toggled(index.row(), after.toInt() == Qt::Checked);
    }
    return handled;
  }

 private:
  AlbumTable* table_;
};

AlbumTable::AlbumTable(QWidget* parent) : QTableView(parent), albums_(new AlbumListModel(this)) {
  setModel(albums_);
  setItemDelegate(new AlbumCheckDelegate(this));
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  // Tab leaves the table for the next control instead of walking its cells.
  setTabKeyNavigation(false);
  setShowGrid(false);
  setWordWrap(false);
  verticalHeader()->setVisible(false);
  horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  horizontalHeader()->setHighlightSections(false);
  horizontalHeader()->setMinimumSectionSize(0);
  horizontalHeader()->setStretchLastSection(false);
}

int AlbumTable::add_album(const AlbumRow& row, bool ticked) { return albums_->add_album(row, ticked); }

void AlbumTable::set_row_cover(int row, const QPixmap& cover) {
  if (row < 0 || row >= rowCount()) return;
  albums_->set_cover(row, cover);
  if (!cover.isNull()) {
    setIconSize(iconSize().expandedTo(cover.size()));
    setRowHeight(row, std::max(rowHeight(row), cover.height() + 4));
  }
}

QRect AlbumTable::focus_row_rect() const {
  const QModelIndex current = currentIndex();
  if (!current.isValid()) return {};
  QRect row;
  for (int column = 0; column < columnCount(); ++column) {
    if (!isColumnHidden(column) && columnWidth(column) > 0)
      row |= visualRect(model()->index(current.row(), column));
  }
  return row;
}

void AlbumTable::paintEvent(QPaintEvent* event) {
  QTableView::paintEvent(event);
  if (!hasFocus()) return;
  const QRect row = focus_row_rect();
  if (row.isEmpty()) return;
  QPainter painter(viewport());
  QStyleOptionFocusRect frame;
  frame.initFrom(this);
  frame.rect = row;
  const bool selected = selectionModel()->isRowSelected(currentIndex().row(), QModelIndex());
  frame.backgroundColor = palette().color(selected ? QPalette::Highlight : QPalette::Base);
  style()->drawPrimitive(QStyle::PE_FrameFocusRect, &frame, &painter, this);
}

void AlbumTable::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
  QTableView::currentChanged(current, previous);
  // The row frame moves with the current row: both rows are drawn again.
  viewport()->update();
}

void AlbumTable::focusInEvent(QFocusEvent* event) {
  QTableView::focusInEvent(event);
  viewport()->update();
}

void AlbumTable::focusOutEvent(QFocusEvent* event) {
  QTableView::focusOutEvent(event);
  viewport()->update();
}

void AlbumTable::keyPressEvent(QKeyEvent* event) {
  // The space bar ticks the current row wherever in the row the focus cell is, as in a
  // checked list view.
  if ((event->key() == Qt::Key_Space || event->key() == Qt::Key_Select) &&
      event->modifiers() == Qt::NoModifier && currentIndex().isValid()) {
    const int row = currentIndex().row();
    const bool ticked = !albums_->ticked(row);
    albums_->set_ticked(row, ticked);
    emit operator_toggled(row, ticked);
    event->accept();
    return;
  }
  QTableView::keyPressEvent(event);
}

}  // namespace af
