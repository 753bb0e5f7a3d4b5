// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/download_request.h"

#include <utility>

namespace af {

DownloadRequest switched_request(const Settings& settings, const SwitchOverrides& overrides,
                                 const DateRange& dates) {
  DownloadRequest request;
  request.record = overrides.record.value_or(settings.record);
  if (overrides.range.value_or(settings.range)) request.range = dates;
  request.index = overrides.index.value_or(settings.index);
  request.gallery = overrides.gallery.value_or(settings.gallery);
  request.jobs = clamp_jobs(overrides.jobs.value_or(settings.jobs));
  return request;
}

DownloadRequest download_request(const Settings& settings, const SwitchOverrides& overrides,
                                 const DateRange& dates, const ResolvedUser& user,
                                 const std::vector<AlbumChoice>& albums, std::string save_folder) {
  DownloadRequest request = switched_request(settings, overrides, dates);
  request.user_id = user.user_id;
  request.user_title = user.user_title;
  for (const AlbumChoice& listed : albums) {
    if (listed.ticked)
      request.albums.push_back({listed.row.serial, listed.row.caption, listed.row.photos, listed.row.album});
  }
  request.save_folder = std::move(save_folder);
  return request;
}

UploadRange upload_range(const DownloadRequest& request) {
  return request.range ? upload_range(true, request.range->start, request.range->end) : UploadRange{};
}

}  // namespace af
