// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/album_list_model.h"

#include "ui/qt_text.h"

namespace af {

AlbumListModel::AlbumListModel(QObject* parent) : QAbstractTableModel(parent) {}

int AlbumListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(albums_.size());
}

int AlbumListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant AlbumListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const AlbumChoice& listed = albums_[static_cast<std::size_t>(index.row())];
  const AlbumRow& row = listed.row;
  if (role == Qt::CheckStateRole && index.column() == kCheck) return listed.ticked ? Qt::Checked : Qt::Unchecked;
  if (role == Qt::DecorationRole && index.column() == kCover) {
    const QPixmap& cover = covers_[static_cast<std::size_t>(index.row())];
    return cover.isNull() ? QVariant() : QVariant(cover);
  }
  if (role != Qt::DisplayRole) return {};
  switch (index.column()) {
    case kSerial:
      return QString::number(row.serial);
    case kName:
      return from_gbk(row.caption);
    case kCount:
      return from_gbk(row.photos.text);
    case kAlbumId:
      return from_gbk(album_ref_text(row.album));
    default:
      return {};
  }
}

bool AlbumListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || index.column() != kCheck || role != Qt::CheckStateRole) return false;
  set_ticked(index.row(), value.toInt() == Qt::Checked);
  return true;
}

Qt::ItemFlags AlbumListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == kCheck) flags |= Qt::ItemIsUserCheckable;
  return flags;
}

QVariant AlbumListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  static const char16_t* const kHeadings[kColumns] = {u"选择",     u"序号",   u"相册名称", u"封面",
                                                      u"图片数量", u"相册ID", u"相册问题", u"相册密码"};
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumns) return {};
  return QString::fromUtf16(kHeadings[section]);
}

int AlbumListModel::add_album(AlbumRow row, bool ticked, const QPixmap& cover) {
  const int at = rowCount();
  row.cover.reset();
  beginInsertRows({}, at, at);
  albums_.push_back({std::move(row), ticked});
  covers_.push_back(cover);
  endInsertRows();
  return at;
}

void AlbumListModel::set_cover(int row, const QPixmap& cover) {
  if (row < 0 || row >= rowCount()) return;
  covers_[static_cast<std::size_t>(row)] = cover;
  emit dataChanged(index(row, kCover), index(row, kCover), {Qt::DecorationRole});
}

void AlbumListModel::remove_all() {
  beginResetModel();
  albums_.clear();
  covers_.clear();
  endResetModel();
}

bool AlbumListModel::ticked(int row) const {
  return row >= 0 && row < rowCount() && albums_[static_cast<std::size_t>(row)].ticked;
}

void AlbumListModel::set_ticked(int row, bool ticked) {
  if (row < 0 || row >= rowCount()) return;
  albums_[static_cast<std::size_t>(row)].ticked = ticked;
  emit dataChanged(index(row, kCheck), index(row, kCheck), {Qt::CheckStateRole});
}

}  // namespace af
