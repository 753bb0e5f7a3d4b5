// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// DownloadView: the events a download reports to its front end.
//
// The worker never waits for the GUI thread. Events come from the GUI thread (the
// controller's own state changes) and from the worker thread; a front end on a GUI toolkit
// posts each event to the GUI thread in call order and applies it there only when
// `Downloader::is_current(generation)` still holds at that moment, which drops the events
// of a download that has been ended meanwhile. The controller guarantees that no event is
// reported for a download once end_download has returned.
//
// The texts a front end shows for the events are made here (albums_chosen_text, ...), so
// every front end shows the same ones. Texts are GBK. Event calls must not block on the GUI
// thread.
#include <cstdint>
#include <string>
#include <vector>

#include "service/service_limit.h"

namespace af {

enum class SaveOutcome;  // photo_saver.h

enum class DownloadState {
  Idle,     // no download: one may start
  Running,  // may be paused or ended
  Paused,   // may be continued or ended
};

// Identifies the download an event belongs to; kControllerGeneration marks the
// controller's own events on the GUI thread, which are always current.
using Generation = std::uint64_t;
inline constexpr Generation kControllerGeneration = 0;

// Where a download stands within its album: `position` photos walked of the `maximum` the
// album table stated (its text `count_text`). Position 0: the album has just begun.
struct PhotoProgress {
  std::int64_t position = 0;
  std::int64_t maximum = 0;
  std::string count_text;
};

// The figures of a progress are shown held within 0 and 32767 (a larger one as 32767, a
// negative one as 0), and the percentage and the counter are made of the held figures: an
// album with more photos than it states goes beyond 100% and beyond its count.
int held_figure(std::int64_t value);
// "<integer part of position / maximum × 100>%"; a maximum of 0 shows "100%".
std::string percentage_text(std::int64_t position, std::int64_t maximum);
// The texts that go with the events: "总共需下载[<n>]个相册", "下载到第[<n>]个相册", the
// album's percentage (empty at position 0), the photo counter "<position>/<count>" (done,
// then the album's stated count), and the counter and the percentage at the finish
// ("下载完成" when everything wanted was saved, else "下载结束"; "100%").
std::string albums_chosen_text(std::size_t albums);
std::string album_started_text(std::size_t album);
std::string progress_percentage_text(const PhotoProgress& progress);
std::string progress_counter_text(const PhotoProgress& progress);
std::string finished_counter_text(bool complete = true);
std::string finished_percentage_text();
// The log lines (and the front ends' status) of the operator's pause, continue and end:
// "已暂停下载", "继续下载", "已结束下载：已保存 <n> 张".
std::string paused_text();
std::string continued_text();
std::string ended_text(std::int64_t saved);

// How the photos' turns went (in a download, or in one album of it).
struct DownloadTally {
  std::int64_t saved = 0, skipped = 0, filtered = 0, failed = 0;
  // Skipped by the record, yet not in the album folder's index: saved by another download
  // into another folder, or moved away since.
  std::int64_t skipped_elsewhere = 0;
  void add(SaveOutcome outcome);
  void add(const DownloadTally& other);
  // Every photo of the albums was saved: none skipped, left out or failed.
  bool complete() const;
};
// The lines logged with an album for what it left out on purpose ("已跳过<n>张（下载记录）",
// "<n>张不在时间段内"), CR LF ended; empty when it left out nothing.
std::string left_out_text(const DownloadTally& album);
// The finish of a download that was not complete: "下载结束：已保存<n>张，已跳过…，…张不在
// 时间段内，失败<n>张。" and the albums (folder names) a later download completes.
std::string finish_summary_text(const DownloadTally& tally, const std::vector<std::string>& unfinished);
// How to fetch again photos the record skips although the album folder lacks them; empty
// for 0.
std::string skipped_elsewhere_text(std::int64_t photos);

class DownloadView {
 public:
  virtual ~DownloadView() = default;

  // A line (or lines) for the log, CR LF ended, in the order made. The controller logs the
  // operator's pause, continue and end itself (generation kControllerGeneration).
  virtual void log(Generation generation, const std::string& text) = 0;
  // The download's state changed: Running at a start or continue, Paused at a pause, Idle
  // at an end, a finish or a storage failure.
  virtual void state_changed(Generation generation, DownloadState state) = 0;
  // The number of ticked albums that will be downloaded (those with an id and a count).
  virtual void albums_chosen(Generation generation, std::size_t albums) = 0;
  // Album `album` (from 1) of them begins.
  virtual void album_started(Generation generation, std::size_t album) = 0;
  // The photo at `progress.position` is next (position 0: the album's photo list begins).
  virtual void progress(Generation generation, const PhotoProgress& progress) = 0;
  // The photo at the last progress has had its turn: saved, skipped, failed, ... (never
  // SaveOutcome::Ended).
  virtual void photo_settled(Generation /*generation*/, SaveOutcome /*outcome*/) {}
  // The album's photo list was walked to its end.
  virtual void album_finished(Generation generation) = 0;
  // An album whose photo list could not be had in full (its log line is already written);
  // a later run completes it.
  virtual void album_failed(Generation /*generation*/) {}
  // Every album has had its turn: the progress is complete whatever its maximum was.
  // `complete`: every wanted photo was saved and nothing was skipped; the message that tells
  // it follows ("全部下载完毕"), else a warning with what was not saved.
  virtual void download_finished(Generation generation, bool complete) = 0;
  // A message for the operator (the caption "信息："), without blocking the caller.
  virtual void message(Generation generation, const std::string& text) = 0;
  // A warning for the operator (the caption "警告："): something was not done. The
  // default shows it as a message.
  virtual void warning(Generation generation, const std::string& text) { message(generation, text); }
  // The download has stopped because the save folder or the disk refused a write; `text`
  // names the folder and the cause. The state is already Idle. The default logs the
  // text and shows it as a warning.
  virtual void storage_failure(Generation generation, const std::string& text) {
    log(generation, text + "\r\n");
    warning(generation, text);
  }
  // The download has stopped because the service limited or refused this machine's
  // requests for longer than an album may keep failing (see service_limit.h); nothing more
  // is asked. The state is already Idle. The default logs limit.text and shows it as a
  // warning.
  virtual void service_limited(Generation generation, const ServiceLimit& limit) {
    log(generation, limit.text + "\r\n\r\n");
    warning(generation, limit.text);
  }
  // The download record cannot be used (`usable` false: nothing is skipped or kept for
  // this download), or a file that was no record was set aside and replaced (`usable`
  // true). Said once per download; the default logs the text.
  virtual void record_problem(Generation generation, const std::string& text, bool usable) {
    (void)usable;
    log(generation, text + "\r\n");
  }
};

}  // namespace af
