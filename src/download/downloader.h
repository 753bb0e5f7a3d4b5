#pragma once
// Downloader: the download controller and its one worker thread.
//
//   Downloader downloader(view);                // view: the window, or a test recorder
//   downloader.start_download(user_id, title);  // 按钮_下载选中
//   downloader.pause_download();                // 按钮_暂停线程
//   downloader.continue_download();             // 按钮_继续下载
//   downloader.end_download();                  // 按钮_结束下载
//
// The four operations run on the GUI thread and return at once. The worker takes its own
// copies of everything it reads when it starts (user id and title, the two switches, the
// ticked rows, the save box, the date pickers), so later changes on the window take effect
// at the next start. Pause and end are cooperative: after pause_download returns nothing
// more is requested, waited, written, recorded or shown until continue_download (a
// transfer under way is held); after end_download returns nothing more of any kind comes
// from that download (a transfer under way is aborted) and the buttons are Idle. Neither
// waits for the disk: a photo write under way is finished (or removed after an end) while
// the operation returns. A write that the save folder or the disk refuses ends the
// download (DownloadView::report_storage_failure) before any further photo is requested.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/pacing.h"
#include "core/thread_list.h"
#include "download/download_view.h"
#include "service/model.h"

namespace af {

class DownloadControl;

// The window's progress bar: maximum and position are stored held within 0 and 32767, and
// read back as stored.
class ProgressBarModel {
 public:
  static int hold(std::int64_t value);
  void set_maximum(std::int64_t value) { maximum_ = hold(value); }
  void set_position(std::int64_t value) { position_ = hold(value); }
  int maximum() const { return maximum_; }
  int position() const { return position_; }

 private:
  int maximum_ = 100;
  int position_ = 0;
};

// "<integer part of position / maximum × 100>%"; a maximum of 0 shows "100%" (the bar is
// drawn full).
std::string percentage_text(int position, int maximum);

struct DownloaderOptions {
  ServiceEndpoints endpoints;
  Pacing pacing;
  bool sync_files = true;  // flush each photo before its rename (power-cut safety)
  // Save each photo within the wait after its fetch; false: after the wait (benchmarks).
  bool save_during_wait = true;
  // Set: used instead of the settings file's 下载记录 / 时间段 switch (command line).
  std::optional<bool> record_override;
  std::optional<bool> range_override;
  std::optional<bool> index_override;  // set: instead of the settings file's 相册索引
};

class Downloader {
 public:
  explicit Downloader(DownloadView& view, DownloaderOptions options = {});
  // Ends a download under way and waits for its worker (which never waits for the GUI).
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // False (nothing done) unless Idle.
  bool start_download(const std::string& user_id, const std::string& user_title);
  void pause_download();     // Running -> Paused
  void continue_download();  // Paused -> Running
  void end_download();       // Running or Paused -> Idle

  ButtonState state() const;
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
  ButtonState state_ = ButtonState::Idle;
  std::shared_ptr<DownloadControl> control_;
  std::atomic<Generation> current_{1};
  Generation counter_ = 1;
  ThreadList threads_;
};

}  // namespace af
