// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Downloader: the download controller and its one worker thread.
//
//   Downloader downloader(view);   // view: a front end, or a test recorder
//   downloader.start(request);     // "3：下载选中"
//   downloader.pause_download();
//   downloader.continue_download();
//   downloader.end_download();
//
// The four operations run on the GUI thread and return at once; none of them touches the
// disk. The worker reads only the request it was started with, so later changes in the
// front end take effect at the next start. Pause and end are cooperative: after pause_download returns
// nothing more is requested, waited, written, recorded or shown until continue_download (a transfer under way
// is held); after end_download returns nothing more of any kind comes from that download (a transfer under
// way is aborted) and the state is Idle. Neither waits for the disk: a photo write under way is finished (or
// removed after an end) while the operation returns. A write that the save folder or the disk refuses ends
// the download (DownloadView::storage_failure) before any further photo is requested.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/pacing.h"
#include "core/thread_list.h"
#include "download/download_request.h"
#include "download/download_view.h"
#include "service/model.h"

namespace af {

class DownloadControl;

struct DownloaderOptions {
  ServiceEndpoints endpoints;
  Pacing pacing;
  bool sync_files = true;  // flush each group's photos before their renames (power-cut safety)
  // The most photos in one group of saved photos: put in place and recorded together, and
  // fetched again after a kill before their group was.
  std::size_t record_group_photos = 64;
  // Save each photo within the wait after its fetch; false: after the wait (benchmarks).
  bool save_during_wait = true;
};

// Makes the user's download record when it has no file yet, ahead of a download: a front
// end calls it while the album list's waits run, so that the download's own set-up
// before its first request is shorter. An existing file is left to the download (which
// tells what it finds wrong with it); a file that cannot be made is tried again and told
// by the download.
void prepare_download(const std::string& user_id);

class Downloader {
 public:
  explicit Downloader(DownloadView& view, DownloaderOptions options = {});
  // Ends a download under way and waits for its worker (which never waits for the GUI).
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // False (nothing done) unless Idle.
  bool start(DownloadRequest request);
  void pause_download();     // Running -> Paused
  void continue_download();  // Paused -> Running
  void end_download();       // Running or Paused -> Idle

  DownloadState state() const;
  // Photos written by the download under way, or by the last one.
  std::int64_t saved_photos() const;
  // Whether an update of `generation` may still be shown (see DownloadView).
  bool is_current(Generation generation) const;
  // Waits until the worker of the last start has returned; false on timeout. Not for the
  // GUI thread of a window whose view posts to it.
  bool wait_for_worker(std::chrono::milliseconds timeout);

  struct Worker;

 private:
  DownloadView& view_;
  DownloaderOptions options_;
  mutable std::mutex step_mutex_;  // held by every worker step and by the controller's changes
  DownloadState state_ = DownloadState::Idle;
  std::shared_ptr<DownloadControl> control_;
  std::shared_ptr<std::atomic<std::int64_t>> saved_;
  std::atomic<Generation> current_{1};
  Generation counter_ = 1;
  ThreadList threads_;
};

}  // namespace af
