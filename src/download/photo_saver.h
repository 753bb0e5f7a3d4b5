// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// PhotoSaver: filters, fetches, names and writes the photos of one album.
//
//   PhotoSaver saver(folder.path, record, steps, log, options);
//   walk_album(walk, [&](const PhotoEntry& e, std::int64_t pos) {
//     return saver.save_photo(e, pos) != SaveOutcome::Ended; });
//
// The album folder is made when its first photo is, so an album with nothing to save
// leaves no folder. A photo is written to a temporary file in the album folder and its name
// chosen at once; it is counted as saved then. The photos are made durable in groups
// (`record_group`, `record_group_photos`, and commit_record_group at the album's end): the
// group's temporary files are flushed to disk (when `sync_files`: each on the finisher's
// thread as soon as it is written, while the next photos are fetched), then, all flushed,
// renamed to their names, then the folder is flushed once, then the group is appended to
// the record and the append put on disk. So no partial photo ever carries a final name and
// no recorded photo is missing, not even after a power cut, and a photo counted as saved is
// under its name by the time its group is recorded. Only an answer that is a whole picture (status 200, see
// image_check.h) is written. A photo whose image could not be fetched or written is
// neither kept nor recorded, and a "失败" line is logged with a line saying why; a later
// download fetches it again. A write that the save folder or the disk refuses
// (SaveOutcome::StorageFailed) ends the download.
//
// The wait after each image fetch is measured from the end of the fetch, and the photo is
// saved within it (`save_during_wait`): the flush, which costs milliseconds, then takes
// no time of its own, while the service still sees at least the whole wait between two
// image requests. A kill costs at most the last group: photos still in their temporary
// files are fetched again by the next download, and those under their names but not yet
// recorded are recorded from the album index (Downloader); within the download a photo of
// the group already counts as recorded.
//
// Answers fetched and judged in photo_fetch.cpp, named by photo_file_names (naming.h),
// written by photo_file.h, kept (dated, indexed, recorded) in photo_saver.cpp.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/pacing.h"
#include "download/failing_time.h"
#include "download/naming.h"
#include "download/photo_file.h"
#include "http/fetch.h"
#include "service/list_answer.h"
#include "util/task_thread.h"

namespace af {

struct PhotoEntry;
class AlbumIndex;
class DownloadRecord;
class Gate;
class RequestObject;
class StepGate;

struct SaveOptions {
  UploadRange range;
  bool record_enabled = false;  // skip photos already in the record
  bool sync_files = true;       // flush each group's photos to disk before their renames
  // Save the photo while its wait runs; false: wait first, then save (the time to save
  // comes on top of the wait).
  bool save_during_wait = true;
  int timeout_seconds = 30;
  // The wait after each image fetch (after_photo), the waits after an image answer that
  // asks to come back later (or a server error), the longest one image request may take,
  // and how long the album's images may keep failing before the album is given up.
  Pacing pacing;
  // The photos kept are put in place and appended to the record in groups: at the first
  // photo kept this long after the group's first, at the group's `record_group_photos`th
  // photo (so that a kill costs few fetches and few files stay open), and at
  // commit_record_group.
  std::chrono::milliseconds record_group{1000};
  std::size_t record_group_photos = 64;
  std::string album_name;  // GBK, for the line that tells the album was given up
  // Counts every photo counted as saved, within the step that counts it (may be null); a
  // photo that cannot take its name at its group after all is taken off again.
  std::atomic<std::int64_t>* placed_count = nullptr;
};

enum class SaveOutcome {
  Filtered,           // outside the upload-time bounds
  Skipped,            // already in the record
  Saved,              // written under its caption (or into the file the album index gives it)
  SavedAsIdeographs,  // written under the caption's ideographs after the first name failed
  FetchFailed,        // no whole picture in its tries: not written, not recorded, logged
  WriteFailed,        // neither name could be written: not recorded, logged
  StorageFailed,      // the save folder or the disk refused the write: the download stops
  Ended,              // the download was ended meanwhile; nothing more was done
  // The album's images kept failing for the pacing's album_give_up: this photo failed as
  // FetchFailed does, the album was logged as given up, and every later photo of the album
  // is left without a request.
  GaveUp,
};

class PhotoSaver {
 public:
  using Log = std::function<void(const std::string&)>;
  // Called for each photo once its name `file_name` (UTF-8) is chosen, before it takes it
  // with its group, holding `bytes` (whose SHA-256 is `sha256`, lower-case hex) and dated
  // by its upload time, outside the steps: the album index adds its line there, so that a
  // photo under its name always has its line, even after a kill.
  using Placing = std::function<void(const PhotoEntry& entry, const std::string& file_name, std::string_view bytes,
                                     const std::string& sha256)>;
  // `folder_path` is the album folder (UTF-8). `log` is called inside a step of `steps`.
  PhotoSaver(std::string folder_path, DownloadRecord& record, StepGate& steps, Log log, SaveOptions options);
  ~PhotoSaver();

  SaveOutcome save_photo(const PhotoEntry& entry, std::int64_t position);
  // `taken_back` follows `placing` when the photo is not kept after all (the download
  // ended first).
  void set_on_placing(Placing placing, std::function<void()> taken_back) {
    on_placing_ = std::move(placing);
    taken_back_ = std::move(taken_back);
  }
  // The album index of the folder: a photo it holds already goes back into its own file,
  // and no photo takes a name that it gives another photo. Without one, a name taken by a
  // file with other bytes is left alone all the same.
  void set_index(const AlbumIndex* index) { index_ = index; }
  // Called before each group of photos in place is recorded, after their folder's flush
  // (the album index flushes its lines there); outside the steps.
  void set_before_group(std::function<void()> before) { before_group_ = std::move(before); }

  // Puts the group's photos in place (their bytes flushed first) and appends them, with
  // the ids held for the record, in one group, after one flush of the album folder; also
  // after an end. 0, or the storage error of a photo's flush or rename or of the folder's
  // flush (the group is then not recorded: its photos are fetched again by a later
  // download).
  int commit_record_group();

  // After SaveOutcome::StorageFailed: the folder that refused the write (UTF-8) and the
  // cause (GBK).
  const std::string& storage_folder() const { return folder_path_; }
  const std::string& storage_cause() const { return storage_cause_; }

  // save_photo in parts, for a download that fetches several photos at once
  // (ParallelPhotos): the fetches on other threads, each on a request object of its own,
  // the rest on the download's thread in album order.
  //
  // Why the photo is left without a request: outside the bounds, or recorded.
  std::optional<SaveOutcome> unwanted(const PhotoEntry& entry);
  // The album's images kept failing: no further photo of it is asked for.
  bool given_up() const { return given_up_; }
  // After given_up(): RateLimited or Refused when the answer the album was given up on
  // limited or refused this machine's requests (else None), and what its Retry-After asked
  // for (-1: nothing).
  ListProblem given_up_on() const { return static_cast<ListProblem>(given_up_on_.load()); }
  long long given_up_retry_after_ms() const { return given_up_retry_after_ms_.load(); }
  // The photo's image answer: the request as the transport sends it; once more when the
  // answer is no complete picture (after a 403 with the service's Referer); and again after
  // a growing wait while the answers ask to come back later and the album has time left.
  // False when the download was ended meanwhile. Safe on several threads at once.
  struct ImageAnswer {
    Response response;
    bool complete = false;  // status 200 and a whole picture
    bool gave_up = false;   // the album's time for failing images ran out
  };
  // `gate` holds and ends its requests and waits.
  bool fetch_image(const PhotoEntry& entry, ImageAnswer& answer, RequestObject& object, Gate& gate);
  // Keeps the fetched photo (written, named, recorded) or logs why it failed.
  SaveOutcome keep_or_fail(const PhotoEntry& entry, std::int64_t position, const ImageAnswer& answer);

 private:
  // Writes, flushes, names and records the fetched photo, or logs its failure. The disk
  // work runs between steps (pause and end never wait for the disk); only the moments that
  // make it visible (a new file, its final name, its record) are steps.
  SaveOutcome keep_photo(const PhotoEntry& entry, std::int64_t position, const std::string& body);
  // Logs the failure of a photo whose bytes could not be kept, with its cause.
  SaveOutcome write_failed(const PhotoEntry& entry, int error);
  // The group's photos flushed, then renamed; their ids held for the record. A photo that
  // cannot take its name is logged as failed. 0, or the first storage error.
  int put_group_in_place();

  // fetch_image without its bookkeeping of the album's failing time.
  bool fetch_answer(const PhotoEntry& entry, ImageAnswer& answer, RequestObject& object, Gate& gate);
  // One request; false when ended. Counts a failed answer's time against the album.
  bool fetch_once(const PhotoEntry& entry, bool with_referer, ImageAnswer& answer, RequestObject& object,
                  Gate& gate);
  // The time the album's images may still fail before it is given up.
  std::chrono::milliseconds time_left() const;

  std::string folder_path_;
  DownloadRecord& record_;
  StepGate& steps_;
  Log log_;
  SaveOptions options_;
  Placing on_placing_;
  std::function<void()> taken_back_;
  std::function<void()> before_group_;
  const AlbumIndex* index_ = nullptr;
  bool folder_made_ = false;  // the album folder is made for its first photo
  // A photo kept and counted as saved, waiting in its temporary file for its group.
  struct PendingPhoto {
    std::unique_ptr<TemporaryPhoto> photo;
    std::string photo_id;
    std::string failure;  // its "失败" line, should its name not be had after all
    std::string name;     // UTF-8
    bool replace = false;  // its own file (or one with its very bytes) is written over
  };
  std::vector<PendingPhoto> pending_;
  // Flushes the pending photos while the next are fetched (when `sync_files`); declared
  // after pending_, so that it is done with them before they go.
  TaskThread finisher_;
  // Hashes a photo's bytes for its index line while its file is made and written.
  TaskThread hasher_;
  std::set<std::string> reserved_;         // the names the group's photos take
  std::set<std::string> pending_ids_;
  std::chrono::steady_clock::time_point pending_since_{};
  std::string storage_cause_;
  // One request object for the album's images, so that they share a connection.
  std::unique_ptr<RequestObject> request_object_;
  // How long the images have been failing since the album's start or its last whole
  // picture: their failed requests and waits on the gate's running time, those of several
  // photos at once counted once.
  FailingTime failing_;
  std::atomic<bool> given_up_{false};
  std::atomic<int> given_up_on_{static_cast<int>(ListProblem::None)};
  std::atomic<long long> given_up_retry_after_ms_{-1};
  // Marks `answer` given up, and keeps what it says of this machine.
  void give_up(ImageAnswer& answer);
};

// Why a photo is not wanted before any request: outside the upload-time bounds (Filtered)
// or already in the record while it is on (Skipped); nullopt when it is wanted. The
// download and the listing of what it would save ask the same question here.
std::optional<SaveOutcome> unwanted_photo(const PhotoEntry& entry, const UploadRange& range,
                                          bool record_enabled, DownloadRecord& record);

// The "失败" line of a photo that could not be saved.
std::string failure_line(const PhotoEntry& entry);
// The line after a "失败" line that says why: "原因：<cause>\r\n".
std::string failure_cause_line(const std::string& cause);
// The line that tells an album was given up because its images kept failing.
std::string album_given_up_line(const std::string& album_name);

}  // namespace af
