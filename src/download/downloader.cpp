// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/downloader.h"

#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <optional>

#include "core/gate.h"
#include "core/settings.h"
#include "download/album_places.h"
#include "download/archive.h"
#include "download/download_texts.h"
#include "download/gallery.h"
#include "download/naming.h"
#include "download/parallel_photos.h"
#include "download/photo_saver.h"
#include "download/record_store.h"
#include "download/step_gate.h"
#include "download/verify.h"
#include "service/photo_list.h"
#include "service/service_limit.h"
#include "util/codepage.h"
#include "util/text.h"

namespace af {

namespace {

// The worker's waits are the fixed pacing waits, at most some twenty a second. The kernel's
// default timer slack (50 µs) would lengthen each of them for the sake of batching
// wake-ups, which at this rate saves nothing.
void use_exact_timers() {
#if defined(__linux__)
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

}  // namespace

// One download: its request and the steps it takes.
struct Downloader::Worker {
  Downloader& owner;
  DownloadView& view;
  Generation generation = 0;  // set under the step lock when the worker starts
  std::shared_ptr<DownloadControl> control;
  StepGate steps;
  DownloaderOptions options;
  DownloadRequest request;
  // The download's list requests ask less while the service limits them.
  Slowdown slowdown;

  Worker(Downloader& owner_, std::shared_ptr<DownloadControl> control_, DownloadRequest request_)
      : owner(owner_),
        view(owner_.view_),
        control(std::move(control_)),
        steps(*control, owner_.step_mutex_),
        options(owner_.options_),
        request(std::move(request_)),
        slowdown(options.pacing) {}

  bool log(const std::string& text) {
    return steps.run([&] { view.log(generation, text); });
  }
  // Tells what went wrong with the record; that it cannot be used, once per download.
  bool report_record(const std::vector<RecordNotice>& notices) {
    for (const auto& notice : notices) {
      if (!notice.usable && record_failure_told) continue;
      if (!notice.usable) record_failure_told = true;
      if (!steps.run([&] { view.record_problem(generation, notice.text, notice.usable); })) return false;
    }
    return true;
  }
  // Ends the download: the save folder or the disk refused a write.
  void end_on_storage_failure(const std::string& folder, const std::string& cause) {
    const std::string text = storage_failure_text(folder, cause);
    steps.run([&] {
      owner.state_ = DownloadState::Idle;
      view.state_changed(generation, DownloadState::Idle);
      view.storage_failure(generation, text);
    });
  }

  // Ends the download: the service limits or refuses this machine's requests beyond an
  // album's tries, and asking on would only lengthen that. Nothing saved is lost.
  void end_on_limit(ListProblem problem, long long retry_after_ms) {
    if (!steps.run([] {})) return;  // the row of limits is kept on disk between steps
    const ServiceLimit limit = lasting_limit(problem, retry_after_ms);
    steps.run([&] {
      owner.state_ = DownloadState::Idle;
      view.state_changed(generation, DownloadState::Idle);
      view.service_limited(generation, limit);
    });
  }

  // Rewrites the page of the album's user folder; a failure is told once per download.
  bool write_gallery(const AlbumFolder& folder) {
    if (!request.index || !request.gallery) return true;
    if (!steps.run([] {})) return false;  // the page is written between steps
    const GalleryOutcome page = write_gallery_page(std::filesystem::path(folder.path).parent_path().string());
    if (page.result == GalleryOutcome::Written) gallery_path = page.path;
    if (page.result != GalleryOutcome::Failed || gallery_failure_told) return true;
    gallery_failure_told = true;
    return log(gallery_failure_line(page.path, page.cause));
  }

  void download_selected();
  bool settle_folder(const AlbumNaming& naming, AlbumFolder& folder, std::optional<AlbumPlaces>& places);
  bool download_album(const TickedAlbum& album, const AlbumFolder& folder);
  bool catch_up_record(PhotoSaver& saver, DownloadRecord& record, const AlbumFolder& folder);

  // How the photos' turns went in this download.
  DownloadTally tally;
  std::vector<std::string> unfinished;  // the albums (folder names, GBK) left short
  void finish();

  std::vector<RecordNotice> record_notices;  // from the record's creation at the start
  bool record_failure_told = false;
  std::string gallery_path;  // the page written last (UTF-8)
  bool gallery_failure_told = false;
  std::shared_ptr<std::atomic<std::int64_t>> saved = std::make_shared<std::atomic<std::int64_t>>(0);
};

void Downloader::Worker::download_selected() {
  // The record's table is made here, off the front end's thread: another process holding
  // the file may keep this a while.
  DownloadRecord::create_record_store(record_store_path(request.user_id), record_notices);
  std::string numbers;
  std::vector<TickedAlbum> jobs;  // the albums to download, names trimmed
  std::vector<AlbumNaming> namings;
  for (const auto& row : request.albums) {
    numbers += std::to_string(row.serial) + G("、");
    if (!row.album.empty() && row.photos.stated()) {
      jobs.push_back({row.serial, trim_text(row.name), row.photos, row.album});
      namings.push_back({jobs.back().name, row.photos.text, row.album.id});
    }
  }
  if (jobs.empty()) {
    // Nothing to download: said once, and no finish that would tell of one.
    steps.run([&] {
      view.log(generation, nothing_to_download_line(numbers));
      owner.state_ = DownloadState::Idle;
      view.state_changed(generation, DownloadState::Idle);
    });
    return;
  }
  if (!log(chosen_albums_line(numbers))) return;
  if (!report_record(record_notices)) return;
  // Every album's folder is fixed before the first one starts, so that albums whose
  // folders would coincide are told apart.
  const std::vector<AlbumFolder> folders =
      album_folders(request.save_folder, sanitize_name(request.user_title), namings);
  if (!steps.run([&] { view.albums_chosen(generation, jobs.size()); })) return;
  std::optional<AlbumPlaces> places;  // the user folder's album folders, read at the first album
  for (std::size_t k = 1; k <= jobs.size(); ++k) {
    if (!steps.run([&] { view.album_started(generation, k); })) return;
    AlbumFolder folder = folders[k - 1];
    if (!settle_folder(namings[k - 1], folder, places)) return;
    if (!download_album(jobs[k - 1], folder)) return;
    if (!write_gallery(folder)) return;
  }

  // The service answered all along: a later limit counts from the start again.
  if (!steps.run([] {})) return;
  forget_service_limits();
  if (!steps.run([&] {
        owner.state_ = DownloadState::Idle;
        view.state_changed(generation, DownloadState::Idle);
      }))
    return;
  if (!gallery_path.empty() && !log(gallery_page_line(gallery_path))) return;
  finish();
}

// The last lines and the message: "全部下载完毕" only when every photo of the ticked
// albums was saved; else what was saved, skipped, left out and failed, and which albums
// a later download completes, as a warning.
void Downloader::Worker::finish() {
  const bool complete = tally.complete() && unfinished.empty();
  if (complete) {
    if (!log(all_downloaded_line())) return;
    if (!steps.run([&] { view.download_finished(generation, true); })) return;
    steps.run([&] { view.message(generation, G("全部下载完毕")); });
    return;
  }
  const std::string summary = finish_summary_text(tally, unfinished);
  const std::string advice = skipped_elsewhere_text(tally.skipped_elsewhere);
  if (!log(finish_summary_line(summary, advice))) return;
  if (!steps.run([&] { view.download_finished(generation, false); })) return;
  steps.run([&] { view.warning(generation, advice.empty() ? summary : summary + "\r\n" + advice); });
}

bool Downloader::Worker::download_album(const TickedAlbum& album, const AlbumFolder& folder) {
  DownloadRecord record;
  record.open_record_store(record_store_path(request.user_id));
  if (!report_record(record.take_notices())) return false;
  SaveOptions save_options;
  save_options.range = upload_range(request);
  save_options.record_enabled = request.record;
  save_options.sync_files = options.sync_files;
  save_options.record_group_photos = options.record_group_photos;
  save_options.save_during_wait = options.save_during_wait;
  save_options.pacing = options.pacing;
  save_options.album_name = album.name;
  save_options.placed_count = saved.get();

  PhotoProgress progress{0, album.photos.number, album.photos.text};
  if (!steps.run([&] { view.progress(generation, progress); })) return false;
  if (!log(album_preparing_line(album.name))) return false;

  const std::string& name = folder.name;
  // The folder is scanned between steps: pause and end never wait for the disk. It is made
  // with its first photo; its user folder now, so that a save folder the disk refuses
  // stops the download before any request.
  if (!steps.run([] {})) return false;
  int folder_error = 0;
  if (!make_album_folder(std::filesystem::path(folder.path).parent_path().string(), &folder_error) &&
      is_storage_error(folder_error)) {
    end_on_storage_failure(folder.path, disk_error_cause(folder_error));
    return false;
  }
  remove_temporary_files(folder.path);
  // The user folder too: the gallery page is written there through a temporary file.
  remove_temporary_files(std::filesystem::path(folder.path).parent_path().string());

  PhotoSaver saver(
      folder.path, record, steps, [this](const std::string& line) { view.log(generation, line); },
      save_options);
  bool storage_failed = false;
  // The album index gains a line for each photo put in place; a failure to write it is
  // told once per album and costs no photo.
  std::optional<AlbumIndex> index;
  std::string index_error;
  bool index_error_told = false;
  if (request.index) {
    index.emplace(folder.path);
    saver.set_index(&*index);
    // Its lines are flushed once for each group of photos, before their record.
    index->set_flush_each_line(false);
    saver.set_before_group([&] {
      std::string error;
      if (!index->flush(error) && index_error.empty()) index_error = error;
    });
    saver.set_on_placing(
        [&](const PhotoEntry& entry, const std::string& file_name, std::string_view bytes,
            const std::string& sha256) {
          std::string error;
          if (!index->add(indexed_photo(entry, file_name, album.album.id, album.name, std::time(nullptr), bytes,
                                        sha256),
                          error) &&
              index_error.empty())
            index_error = error;
        },
        [&] { index->take_back(); });
  }
  const auto tell_index_error = [&] {
    if (index_error.empty() || index_error_told) return true;
    index_error_told = true;
    return log(index_failure_line(index->path(), index_error));
  };
  if (!catch_up_record(saver, record, folder)) return false;
  WalkFailure failure;
  const AlbumWalk walk{.endpoints = options.endpoints, .user_id = request.user_id,
                       .photos = album.photos, .album = album.album,
                       .pacing = options.pacing, .gate = control.get(), .failure = &failure,
                       .slowdown = &slowdown};
  bool gave_up = false;  // the album's images kept failing: the rest is left for a later run
  // One photo's turn, in album order: its progress shown, then the photo saved.
  DownloadTally album_tally;
  const auto settle = [&](const PhotoEntry& entry, std::int64_t position, const ParallelPhotos::Save& save) {
    progress.position = position;
    if (!steps.run([&] { view.progress(generation, progress); })) return false;
    const SaveOutcome outcome = save();
    album_tally.add(outcome);
    if (outcome == SaveOutcome::Skipped && index && index->own_file(entry.photo_id).empty())
      ++album_tally.skipped_elsewhere;
    if (outcome != SaveOutcome::Ended) steps.run([&] { view.photo_settled(generation, outcome); });
    if (outcome == SaveOutcome::StorageFailed) storage_failed = true;
    if (outcome == SaveOutcome::GaveUp) gave_up = true;
    return outcome != SaveOutcome::Ended && !gave_up && !storage_failed &&
           report_record(record.take_notices()) && tell_index_error();
  };
  bool walked = false;
  if (request.jobs > 1) {
    // Several photos in flight; the same steps, in the same order.
    ParallelPhotos photos(saver, *control, request.jobs, options.pacing.after_photo, settle);
    walked = walk_album(
        walk, [&](const PhotoEntry& entry, std::int64_t position) { return photos.add(entry, position); });
    if (walked && !storage_failed && !gave_up) photos.finish();
  } else {
    walked = walk_album(walk, [&](const PhotoEntry& entry, std::int64_t position) {
      return settle(entry, position, [&] { return saver.save_photo(entry, position); });
    });
  }
  // Every way out of the album, an end or a storage failure included, records the photos
  // put in place whose ids wait in the record's group.
  if (const int error = saver.commit_record_group(); error != 0 && !storage_failed && !control->ended()) {
    if (is_storage_error(error)) {
      end_on_storage_failure(folder.path, disk_error_cause(error));
      return false;
    }
  }
  if (!storage_failed && !control->ended() && !tell_index_error()) return false;
  if (storage_failed) {
    // No further photo is requested; what was saved stays saved and recorded.
    end_on_storage_failure(saver.storage_folder(), saver.storage_cause());
    return false;
  }
  if (!walked || control->ended()) return false;
  tally.add(album_tally);
  // What the album left out on purpose is said with it.
  if (const std::string left_out = left_out_text(album_tally); !left_out.empty() && !log(left_out)) return false;
  if (failure.page > 0 || gave_up) {
    unfinished.push_back(name);
    // The later pages are left for a later run, so no running number shifts. (A given-up
    // album's line has been logged by the saver.)
    if (failure.page > 0 && !log(album_failure_line(name, failure))) return false;
    if (!steps.run([&] { view.album_failed(generation); })) return false;
    record.close_record_store();
    // A limit that outlasted the album's tries would meet every later album too.
    const ListProblem limit = failure.page > 0 ? failure.problem : saver.given_up_on();
    if (limits_this_machine(limit)) {
      // What the album saved before the limit is on the page too.
      if (!write_gallery(folder)) return false;
      end_on_limit(limit, failure.page > 0 ? failure.retry_after_ms : saver.given_up_retry_after_ms());
      return false;
    }
    return true;
  }

  if (!log(album_done_line(name))) return false;
  if (!steps.run([&] { view.album_finished(generation); })) return false;
  record.close_record_store();
  return true;
}

// Before the album's walk, between steps: the album keeps the one folder it has on disk,
// found by its id, renamed to the name it has today; folders an earlier download split it
// over are folded into it (with the index on).
bool Downloader::Worker::settle_folder(const AlbumNaming& naming, AlbumFolder& folder,
                                       std::optional<AlbumPlaces>& places) {
  if (!steps.run([] {})) return false;
  const std::filesystem::path path(folder.path);
  const std::string user_folder = path.parent_path().string();
  if (!places) places.emplace(user_folder);
  const AlbumPlace place = places->place(naming, path.filename().string());
  std::string current = place.current.empty() ? place.target : place.current;
  if (!place.current.empty() && place.current != place.target) {
    if (const int error = rename_album_folder(user_folder, place.current, place.target); error == 0) {
      places->refresh(place.current);
      places->refresh(place.target);
      current = place.target;
      if (!log(folder_renamed_line(user_folder, place.current, place.target))) return false;
    } else if (!log(folder_not_renamed_line(user_folder, place.current, disk_error_cause(error)))) {
      return false;
    }
  }
  if (request.index && !place.others.empty()) {
    const FoldOutcome outcome = fold_album(user_folder, naming.album_id, current, place.others);
    for (const std::string& other : place.others) places->refresh(other);
    places->refresh(current);
    if (outcome.changed() &&
        !log(album_folded_line(current, place.others, outcome.moved, outcome.duplicates)))
      return false;
    for (const std::string& failure : outcome.failures)
      if (!log(fold_failure_line(failure))) return false;
  }
  folder.path = user_folder + "/" + current;
  folder.name = utf8_to_gb18030(current);
  return true;
}

// Before the album's walk: the photos its index shows saved whole that the record lacks (a
// download killed, or quit by a second Ctrl-C, before their group was appended) are
// recorded, with no request. Only the lines the record lacks are looked at, so after a
// whole download this reads the index and nothing more. With the record on, the walk then
// skips them.
bool Downloader::Worker::catch_up_record(PhotoSaver& saver, DownloadRecord& record, const AlbumFolder& folder) {
  if (!request.index || !record.is_open()) return true;
  if (!steps.run([] {})) return false;  // the files are read between steps
  for (const std::string& id : whole_indexed_photos(folder.path, [&](const std::string& photo_id) {
         return !control->ended() && !record.is_recorded(photo_id);
       }))
    record.hold(id);
  if (const int error = saver.commit_record_group(); error != 0 && is_storage_error(error) && !control->ended()) {
    end_on_storage_failure(folder.path, disk_error_cause(error));
    return false;
  }
  return !control->ended() && report_record(record.take_notices());
}

void prepare_download(const std::string& user_id) {
  const std::string path = record_store_path(user_id);
  std::error_code error;
  if (!user_id.empty() && !std::filesystem::exists(path, error) && !error)
    DownloadRecord::create_record_store(path);
}

Downloader::Downloader(DownloadView& view, DownloaderOptions options)
    : view_(view), options_(std::move(options)) {}

Downloader::~Downloader() {
  {
    std::lock_guard lock(step_mutex_);
    if (control_) control_->end();
    current_ = 0;
  }
  threads_.join_all();
}

bool Downloader::start(DownloadRequest request) {
  {
    std::lock_guard lock(step_mutex_);
    if (state_ != DownloadState::Idle) return false;
  }
  request.jobs = clamp_jobs(request.jobs);
  auto control = std::make_shared<DownloadControl>();
  auto worker = std::make_shared<Worker>(*this, control, std::move(request));

  {
    std::lock_guard lock(step_mutex_);
    // A worker that is still giving its finishing touches is cut short: its texts would
    // only land on top of the new download's.
    if (control_) control_->end();
    control_ = control;
    saved_ = worker->saved;
    worker->generation = ++counter_;
    current_ = worker->generation;
    state_ = DownloadState::Running;
    view_.state_changed(kControllerGeneration, DownloadState::Running);
  }

  threads_.start([worker] {
    use_exact_timers();
    worker->download_selected();
  });
  return true;
}

void Downloader::pause_download() {
  std::lock_guard lock(step_mutex_);
  if (state_ != DownloadState::Running || !control_) return;
  control_->pause();
  state_ = DownloadState::Paused;
  view_.state_changed(kControllerGeneration, DownloadState::Paused);
  view_.log(kControllerGeneration, paused_text() + "\r\n\r\n");
}

void Downloader::continue_download() {
  std::lock_guard lock(step_mutex_);
  if (state_ != DownloadState::Paused || !control_) return;
  state_ = DownloadState::Running;
  view_.state_changed(kControllerGeneration, DownloadState::Running);
  view_.log(kControllerGeneration, continued_text() + "\r\n\r\n");
  control_->resume();
}

void Downloader::end_download() {
  std::lock_guard lock(step_mutex_);
  if (state_ == DownloadState::Idle || !control_) return;
  control_->end();
  current_ = ++counter_;  // no download holds this generation: pending updates are stale
  state_ = DownloadState::Idle;
  view_.state_changed(kControllerGeneration, DownloadState::Idle);
  view_.log(kControllerGeneration, ended_text(saved_photos()) + "\r\n\r\n");
}

std::int64_t Downloader::saved_photos() const { return saved_ ? saved_->load() : 0; }

DownloadState Downloader::state() const {
  std::lock_guard lock(step_mutex_);
  return state_;
}

bool Downloader::is_current(Generation generation) const {
  return generation == kControllerGeneration || generation == current_.load();
}

bool Downloader::wait_for_worker(std::chrono::milliseconds timeout) {
  return threads_.wait_for_last(timeout);
}

}  // namespace af
