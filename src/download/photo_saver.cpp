// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/photo_saver.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <thread>

#include "download/archive.h"
#include "download/image_check.h"
#include "download/record_store.h"
#include "download/step_gate.h"
#include "service/model.h"
#include "util/codepage.h"
#include "util/sha256.h"
#include "util/text.h"

namespace af {

namespace {
// How many variants of a name a photo tries before its write counts as failed.
constexpr int kNameVariants = 100;
}  // namespace

std::string failure_line(const PhotoEntry& entry) {
  return G("失败") + entry.photo_id + G("微博id") + entry.feed_id + "\r\n";
}

std::string failure_cause_line(const std::string& cause) { return G("原因：") + cause + "\r\n"; }

std::string album_given_up_line(const std::string& album_name) {
  return G("相册《") + album_name +
         G("》的图片服务器长时间没有正常回答，已放弃本相册余下的照片；下次下载时会再获取它们") + "\r\n\r\n";
}

std::optional<SaveOutcome> unwanted_photo(const PhotoEntry& entry, const UploadRange& range,
                                          bool record_enabled, DownloadRecord& record) {
  if (!range.admits(to_integer(entry.timestamp))) return SaveOutcome::Filtered;
  if (record_enabled && record.is_recorded(entry.photo_id)) return SaveOutcome::Skipped;
  return std::nullopt;
}

PhotoSaver::PhotoSaver(std::string folder_path, DownloadRecord& record, StepGate& steps, Log log,
                       SaveOptions options)
    : folder_path_(std::move(folder_path)),
      record_(record),
      steps_(steps),
      log_(std::move(log)),
      options_(options),
      request_object_(std::make_unique<RequestObject>()),
      failing_(options.pacing.album_give_up, options.pacing.request_deadline + options.pacing.retry_longest) {
}

// The photos still waiting for their group are dropped with their temporary files: the
// download's every way out of an album commits the group first.
PhotoSaver::~PhotoSaver() = default;

std::optional<SaveOutcome> PhotoSaver::unwanted(const PhotoEntry& entry) {
  const auto unwanted = unwanted_photo(entry, options_.range, options_.record_enabled, record_);
  // A photo of the group waiting for its name counts as recorded already, as a held one.
  if (!unwanted && options_.record_enabled && pending_ids_.count(entry.photo_id) != 0) return SaveOutcome::Skipped;
  return unwanted;
}

SaveOutcome PhotoSaver::save_photo(const PhotoEntry& entry, std::int64_t position) {
  if (const auto skipped = unwanted(entry)) return *skipped;
  if (given_up_) return SaveOutcome::GaveUp;

  Gate& gate = steps_.gate();
  ImageAnswer answer;
  if (!fetch_image(entry, answer, *request_object_, gate)) return SaveOutcome::Ended;

  if (!options_.save_during_wait) {
    if (!gate.wait_for(options_.pacing.after_photo)) return SaveOutcome::Ended;
    return keep_or_fail(entry, position, answer);
  }
  // The wait runs from the end of the fetch; saving takes its time out of it. A pause
  // during the save counts as waiting: the service still sees the whole wait between two
  // image requests.
  const auto fetched = std::chrono::steady_clock::now();
  const SaveOutcome outcome = keep_or_fail(entry, position, answer);
  if (outcome == SaveOutcome::Ended) return outcome;
  // The gate waits whole milliseconds; the fraction that remains is slept after it.
  const auto until = fetched + options_.pacing.after_photo;
  const auto left = std::chrono::floor<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
  if (!gate.wait_for(std::max(left, std::chrono::milliseconds::zero()))) return SaveOutcome::Ended;
  std::this_thread::sleep_until(until);
  if (!gate.pass()) return SaveOutcome::Ended;
  return outcome;
}

SaveOutcome PhotoSaver::keep_or_fail(const PhotoEntry& entry, std::int64_t position,
                                     const ImageAnswer& answer) {
  // Only a whole picture is kept; anything else is a failed photo: not written, not
  // recorded, and logged with its cause.
  if (answer.complete) return keep_photo(entry, position, answer.response.body);
  const std::string cause = unusable_image_cause(answer.response);
  if (!steps_.run([&] {
        log_(failure_line(entry));
        log_(failure_cause_line(cause));
        if (answer.gave_up) log_(album_given_up_line(options_.album_name));
      }))
    return SaveOutcome::Ended;
  return answer.gave_up ? SaveOutcome::GaveUp : SaveOutcome::FetchFailed;
}

SaveOutcome PhotoSaver::keep_photo(const PhotoEntry& entry, std::int64_t position, const std::string& body) {
  // The bytes' hash, for the index line, is made meanwhile; whatever way out, the hasher is
  // done with `sha256` and `body` before they go.
  std::string sha256;
  if (on_placing_) hasher_.post([&] { sha256 = sha256_hex(body); });
  struct HashDone {
    TaskThread& hasher;
    ~HashDone() { hasher.wait(); }
  } hash_done{hasher_};
  const PhotoFileNames names = photo_file_names(entry, position);

  // The new file appears in a step, so that nothing new shows in the folder once pause or
  // end has returned; its bytes are written between steps and flushed with its group's.
  // After an end the temporary file is removed with `photo`.
  std::unique_ptr<TemporaryPhoto> photo;
  int folder_error = 0;
  if (!steps_.run([&] {
        if (!folder_made_) folder_made_ = make_album_folder(folder_path_, &folder_error);
        if (folder_made_) photo = std::make_unique<TemporaryPhoto>(folder_path_);
      }))
    return SaveOutcome::Ended;
  if (!folder_made_) return write_failed(entry, folder_error);
  if (!photo->write(body)) return write_failed(entry, photo->error());
  if (options_.sync_files) photo->start_writeback();
  // The file is dated before it takes its name.
  set_upload_time(photo->path(), entry.timestamp);

  // The name is chosen now and taken with the group: a photo the album index holds goes
  // back into its own file, never under a second name; else the name the rule gives it
  // today, or, when that is another photo's file (or another photo of the group takes it),
  // the first free variant of it; a name the file system refuses: the caption's ideographs.
  std::string chosen;
  bool replace = false;
  SaveOutcome outcome = SaveOutcome::WriteFailed;
  int error = 0;
  if (const std::string own = index_ ? index_->own_file(entry.photo_id) : std::string(); !own.empty()) {
    chosen = own;
    replace = true;
    outcome = SaveOutcome::Saved;
  }
  for (const auto& [base, as] : {std::pair{&names.caption, SaveOutcome::Saved},
                                 std::pair{&names.ideographs, SaveOutcome::SavedAsIdeographs}}) {
    if (!chosen.empty() || is_storage_error(error)) break;
    if (base->empty()) continue;
    for (int n = 0; n <= kNameVariants && chosen.empty(); ++n) {
      const std::string name = n == 0 ? *base : photo_name_variant(*base, entry.photo_id, n);
      if (const std::string owner = index_ ? index_->file_owner(name) : std::string();
          !owner.empty() && owner != entry.photo_id)
        continue;
      if (reserved_.count(name) != 0) {
        error = EEXIST;
        continue;
      }
      const NameState state = photo_name_state(folder_path_, name, body, error);
      if (state == NameState::Taken) continue;
      if (state == NameState::Refused || state == NameState::Failed) break;
      chosen = name;
      replace = state == NameState::Same;  // a file with these very bytes is this photo, saved unindexed
      outcome = as;
    }
  }
  if (chosen.empty()) return write_failed(entry, error != 0 ? error : EEXIST);

  // Counted as saved, and held with its group, unless the download has ended meanwhile:
  // the photo is then fetched again by a later download. Its index line comes before its
  // name, so that a photo under its name always has its line, even after a kill.
  if (steps_.gate().ended()) return SaveOutcome::Ended;
  if (on_placing_) {
    hasher_.wait();
    on_placing_(entry, chosen, body, sha256);
  }
  if (!steps_.run([&] {
        if (options_.placed_count != nullptr) ++*options_.placed_count;
      })) {
    if (taken_back_) taken_back_();
    return SaveOutcome::Ended;
  }
  if (pending_.empty()) pending_since_ = std::chrono::steady_clock::now();
  reserved_.insert(chosen);
  pending_ids_.insert(entry.photo_id);
  pending_.push_back({std::move(photo), entry.photo_id, failure_line(entry), chosen, replace});
  if (options_.sync_files) finisher_.post([photo = pending_.back().photo.get()] { photo->finish(true); });
  if (pending_.size() >= options_.record_group_photos ||
      std::chrono::steady_clock::now() - pending_since_ >= options_.record_group) {
    if (const int group_error = commit_record_group(); group_error != 0) return write_failed(entry, group_error);
  }
  return steps_.gate().ended() ? SaveOutcome::Ended : outcome;
}

int PhotoSaver::put_group_in_place() {
  finisher_.wait();
  std::vector<PendingPhoto> group = std::move(pending_);
  pending_.clear();
  reserved_.clear();
  pending_ids_.clear();
  // The bytes of the whole group are on disk (flushed by the finisher as they came, else
  // now), between steps, before any of them takes its name: no partial photo ever carries
  // a final name, not even after a power cut.
  std::vector<int> errors(group.size(), 0);
  for (std::size_t i = 0; i < group.size(); ++i)
    if (!group[i].photo->finish(options_.sync_files)) errors[i] = group[i].photo->error();
  // Then their names, in one step; after an end with no step, as their record append: they
  // were counted as saved before it.
  const auto rename_all = [&] {
    for (std::size_t i = 0; i < group.size(); ++i) {
      PendingPhoto& p = group[i];
      if (errors[i] == 0 && !(p.replace ? p.photo->put_in_place(p.name) : p.photo->put_in_place_new(p.name)))
        errors[i] = p.photo->error();
      if (errors[i] == 0)
        record_.hold(p.photo_id);
      else if (options_.placed_count != nullptr)
        --*options_.placed_count;
    }
  };
  if (!steps_.run(rename_all)) rename_all();
  // A photo that could not take its name after all is logged as failed; a storage error
  // stops the download.
  int storage = 0;
  std::string lines;
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (errors[i] == 0) continue;
    lines += group[i].failure + failure_cause_line(disk_error_cause(errors[i]));
    if (storage == 0 && is_storage_error(errors[i])) storage = errors[i];
  }
  if (!lines.empty()) steps_.run([&] { log_(lines); });
  return storage;
}

int PhotoSaver::commit_record_group() {
  if (!pending_.empty()) {
    if (const int error = put_group_in_place(); error != 0) {
      record_.drop_held();
      return error;
    }
  }
  if (!record_.holds_any()) return 0;
  // The held photos' new names go to disk first, with one flush of their folder: a
  // recorded photo is never missing, not even after a power cut.
  if (options_.sync_files) {
    if (const int error = flush_folder(folder_path_); error != 0) {
      record_.drop_held();
      return error;
    }
  }
  if (before_group_) before_group_();
  // The append is prepared between steps (SQLite may wait for another process) and made
  // in one, which waits out a pause. After an end it is still made: it names only photos
  // counted as saved before the end.
  const bool staged = record_.stage_group();
  if (!steps_.run([&] { record_.commit_staged(); }) && staged) record_.commit_staged();
  record_.drop_staged();
  if (staged && options_.sync_files) record_.sync_log();
  return 0;
}

SaveOutcome PhotoSaver::write_failed(const PhotoEntry& entry, int error) {
  const std::string cause = disk_error_cause(error);
  const bool storage = is_storage_error(error);
  if (!steps_.run([&] { log_(failure_line(entry) + failure_cause_line(cause)); })) return SaveOutcome::Ended;
  if (!storage) return SaveOutcome::WriteFailed;
  storage_cause_ = cause;
  return SaveOutcome::StorageFailed;
}

}  // namespace af
