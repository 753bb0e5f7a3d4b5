#include "ui/album_table.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QStyledItemDelegate>
#include <algorithm>

#include "ui/qt_text.h"

namespace af {

// Operator clicks on a check box reach the model only through the delegate's
// editorEvent; program ticks never do. That makes it the one place to tell them apart.
class AlbumCheckDelegate : public QStyledItemDelegate {
 public:
  explicit AlbumCheckDelegate(AlbumTable* table) : QStyledItemDelegate(table), table_(table) {}

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
