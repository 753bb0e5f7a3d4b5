// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// AlbumListModel: the albums the last album list job found, for the user it resolved, as
// the album table shows them: a check box, 序号, 相册名称, 封面, 图片数量, and the hidden
// 相册ID (with 相册问题 and 相册密码, kept empty). The rows are typed values; every text
// the table shows is made from them here, and a download takes the ticked rows from here.
#include <QAbstractTableModel>
#include <QPixmap>
#include <vector>

#include "download/download_request.h"

namespace af {

class AlbumListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum Column : int { kCheck, kSerial, kName, kCover, kCount, kAlbumId, kQuestion, kPassword, kColumns };

  explicit AlbumListModel(QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  // Only the check state is set, by the table's delegate when the operator ticks a box.
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

  // Appends an album (its cover bytes are not kept: the table shows `cover`); returns its row.
  int add_album(AlbumRow row, bool ticked, const QPixmap& cover = {});
  void set_cover(int row, const QPixmap& cover);
  void remove_all();
  bool ticked(int row) const;
  void set_ticked(int row, bool ticked);

  // The user whose albums these are (or, before a list, the user last resolved).
  const ResolvedUser& user() const { return user_; }
  void set_user(ResolvedUser user) { user_ = std::move(user); }
  // The albums with their ticks, in list order, as a download request is made of them.
  const std::vector<AlbumChoice>& albums() const { return albums_; }

 private:
  ResolvedUser user_;
  std::vector<AlbumChoice> albums_;
  std::vector<QPixmap> covers_;  // by row; a null picture: none shown
};

}  // namespace af
