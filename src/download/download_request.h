// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// DownloadRequest: everything one download is asked to do, made by a front end when the
// operator starts it and handed to Downloader::start by value. The download reads nothing
// else: not the settings file, not the front end's widgets.
#include <optional>
#include <string>
#include <vector>

#include "core/settings.h"
#include "download/naming.h"
#include "service/album_list.h"

namespace af {

// One ticked album of the list, in list order.
struct TickedAlbum {
  int serial = 0;     // 序号
  std::string name;   // 相册名称 (untrimmed)
  PhotoCount photos;  // 图片数量
  AlbumRef album;
};

// One album of the list as a front end holds it: the row the list job found and its tick.
struct AlbumChoice {
  AlbumRow row;
  bool ticked = true;
};

// The upload-time bounds of a download that keeps only the photos uploaded between them.
struct DateRange {
  DateTime start;
  DateTime end;
};

struct DownloadRequest {
  std::string user_id;
  std::string user_title;  // GBK, as the home page gave it
  std::vector<TickedAlbum> albums;
  std::string save_folder;         // UTF-8, exactly as the operator gave it; empty: the program directory
  std::optional<DateRange> range;  // none: every upload time
  bool record = false;
  bool index = true;
  bool gallery = true;  // the user folder's page, while the index is on
  int jobs = 1;         // photos fetched at once
};

// The switches a command line may name; each one unset keeps the settings' value.
struct SwitchOverrides {
  std::optional<bool> record{};
  std::optional<bool> range{};
  std::optional<bool> index{};
  std::optional<bool> gallery{};
  std::optional<int> jobs{};
};

// A request with the switches of `settings`, each overridden where `overrides` names it;
// the range is `dates` while the range switch is on. The front end adds the rest.
DownloadRequest switched_request(const Settings& settings, const SwitchOverrides& overrides,
                                 const DateRange& dates);

// The download of `user`'s ticked albums, in list order, with the switches of `settings`
// (each overridden where `overrides` names it) and the range `dates` while the range switch
// is on. `save_folder` is UTF-8, exactly as the operator gave it.
DownloadRequest download_request(const Settings& settings, const SwitchOverrides& overrides,
                                 const DateRange& dates, const ResolvedUser& user,
                                 const std::vector<AlbumChoice>& albums, std::string save_folder);

// The request's upload-time bounds as the photos are judged by them.
UploadRange upload_range(const DownloadRequest& request);

}  // namespace af
