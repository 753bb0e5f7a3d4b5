// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/album_table.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>
#include <QStyledItemDelegate>
#include <algorithm>

#include "ui/qt_text.h"

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

AlbumTable::AlbumTable(QWidget* parent) : QTableWidget(parent) {
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

int AlbumTable::add_album_row(const QStringList& cells, bool ticked) {
  const int row = rowCount();
  insertRow(row);
  auto* box = new QTableWidgetItem;
  box->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  box->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
  setItem(row, 0, box);
  for (int i = 0; i < cells.size() && i + 1 < columnCount(); ++i) {
    auto* cell = new QTableWidgetItem(cells[i]);
    cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    setItem(row, i + 1, cell);
  }
  return row;
}

QTableWidgetItem* AlbumTable::check_item(int row) const {
  return row >= 0 && row < rowCount() ? item(row, 0) : nullptr;
}

bool AlbumTable::row_ticked(int row) const {
  const QTableWidgetItem* box = check_item(row);
  return box != nullptr && box->checkState() == Qt::Checked;
}

void AlbumTable::set_row_ticked(int row, bool ticked) {
  if (QTableWidgetItem* box = check_item(row)) box->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
}

void AlbumTable::set_row_cover(int row, const QPixmap& cover) {
  if (row < 0 || row >= rowCount()) return;
  QTableWidgetItem* cell = item(row, 3);
  if (cell == nullptr) {
    cell = new QTableWidgetItem;
    cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    setItem(row, 3, cell);
  }
  cell->setData(Qt::DecorationRole, cover);
  if (!cover.isNull()) {
    setIconSize(iconSize().expandedTo(cover.size()));
    setRowHeight(row, std::max(rowHeight(row), cover.height() + 4));
  }
}

void AlbumTable::remove_all_rows() { setRowCount(0); }

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
  QTableWidget::paintEvent(event);
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
  QTableWidget::currentChanged(current, previous);
  // The row frame moves with the current row: both rows are drawn again.
  viewport()->update();
}

void AlbumTable::focusInEvent(QFocusEvent* event) {
  QTableWidget::focusInEvent(event);
  viewport()->update();
}

void AlbumTable::focusOutEvent(QFocusEvent* event) {
  QTableWidget::focusOutEvent(event);
  viewport()->update();
}

void AlbumTable::keyPressEvent(QKeyEvent* event) {
  // The space bar ticks the current row wherever in the row the focus cell is, as in a
  // checked list view.
  if ((event->key() == Qt::Key_Space || event->key() == Qt::Key_Select) &&
      event->modifiers() == Qt::NoModifier && currentIndex().isValid()) {
    const int row = currentIndex().row();
    if (QTableWidgetItem* box = check_item(row)) {
      const bool ticked = box->checkState() != Qt::Checked;
      box->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
      emit operator_toggled(row, ticked);
      event->accept();
      return;
    }
  }
  QTableWidget::keyPressEvent(event);
}

std::vector<TickedAlbum> AlbumTable::ticked_albums() const {
  std::vector<TickedAlbum> albums;
  auto cell = [this](int row, int column) {
    const QTableWidgetItem* cell_item = item(row, column);
    return cell_item == nullptr ? std::string() : to_gbk(cell_item->text());
  };
  for (int row = 0; row < rowCount(); ++row) {
    if (row_ticked(row))
      albums.push_back({cell(row, 1), cell(row, 2), cell(row, 4), parse_album_ref(cell(row, 5))});
  }
  return albums;
}

}  // namespace af
