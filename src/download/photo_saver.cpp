#include "download/photo_saver.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>
#include <thread>

#include "download/image_check.h"
#include "download/record_store.h"
#include "download/step_gate.h"
#include "http/fetch.h"
#include "http/rate_limit.h"
#include "service/photo_list.h"
#include "util/codepage.h"
#include "util/regex_matcher.h"
#include "util/text.h"

namespace af {

namespace {

constexpr std::string_view kTemporaryPrefix = ".albumfetcher-";
constexpr std::string_view kTemporarySuffix = ".part";
// Requests for one image whose answers ask to come back later: with waits of 2, 4, 8, 16
// and 32 s between them, about a minute.
constexpr int kMostImageTries = 6;

bool write_all(int fd, const std::string& bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

// A name that would leave the folder, or name the folder itself, is refused outright.
bool is_plain_file_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

// Makes the names in `folder_path` durable (a rename is a change of its folder).
bool sync_folder(const std::string& folder_path) {
  int fd = ::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  return ok;
}

// Whether the temporary file `name` (".albumfetcher-<pid>-<serial>.part") belongs to another
// process that is still running: another download of the same album (the window and the
// command line, or two command lines), whose rename must still find its file. A name
// without a process id is a leftover.
bool held_by_another_process(const std::string& name) {
  const std::size_t from = kTemporaryPrefix.size();
  const std::size_t to = name.find('-', from);
  if (to == std::string::npos || to == from || to - from > 9) return false;
  pid_t pid = 0;
  for (std::size_t i = from; i < to; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    pid = pid * 10 + (name[i] - '0');
  }
  if (pid <= 0 || pid == ::getpid()) return false;
  // EPERM: alive, though another user's.
  return ::kill(pid, 0) == 0 || errno != ESRCH;
}

}  // namespace

std::string temporary_photo_path(const std::string& folder_path, std::uint64_t serial) {
  return folder_path + "/" + std::string(kTemporaryPrefix) + std::to_string(::getpid()) + "-" +
         std::to_string(serial) + std::string(kTemporarySuffix);
}

TemporaryPhoto::TemporaryPhoto(const std::string& folder_path, const std::string& bytes)
    : folder_path_(folder_path) {
  // Two downloads of one process may share an album folder for a moment (an ended one
  // still finishing a step), so every photo gets a name of its own.
  static std::atomic<std::uint64_t> serial{0};
  path_ = temporary_photo_path(folder_path, ++serial);
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) return;
  written_ = write_all(fd_, bytes);
  if (!written_) discard();
}

TemporaryPhoto::~TemporaryPhoto() {
  if (!placed_) discard();
}

bool TemporaryPhoto::finish(bool sync) {
  if (fd_ < 0) return finished_;
  bool ok = !sync || ::fdatasync(fd_) == 0;
  if (::close(fd_) != 0) ok = false;
  fd_ = -1;
  finished_ = ok && written_;
  return finished_;
}

bool TemporaryPhoto::put_in_place(const std::string& file_name) {
  if (!finished_ || placed_ || !is_plain_file_name(file_name)) return false;
  placed_ = std::rename(path_.c_str(), (folder_path_ + "/" + file_name).c_str()) == 0;
  return placed_;
}

void TemporaryPhoto::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!placed_ && !path_.empty()) ::unlink(path_.c_str());
  written_ = false;
  finished_ = false;
}

bool write_photo_file(const std::string& folder_path, const std::string& file_name,
                      const std::string& bytes, bool sync) {
  if (!is_plain_file_name(file_name)) return false;
  TemporaryPhoto photo(folder_path, bytes);
  return photo.written() && photo.finish(sync) && photo.put_in_place(file_name);
}

bool make_album_folder(const std::string& folder_path) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::is_directory(folder_path, error)) return true;
  if (!fs::create_directories(folder_path, error)) fs::create_directories(folder_path, error);
  return fs::is_directory(folder_path, error);
}

void remove_temporary_files(const std::string& folder_path) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (fs::directory_iterator it(folder_path, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.starts_with(kTemporaryPrefix) && name.ends_with(kTemporarySuffix) &&
        !held_by_another_process(name)) {
      std::error_code ignored;
      fs::remove(it->path(), ignored);
    }
  }
}

std::string failure_line(const PhotoEntry& entry) {
  return G("失败") + entry.photo_id + G("微博id") + entry.feed_id + "\r\n";
}

std::string failure_cause_line(const std::string& cause) { return G("原因：") + cause + "\r\n"; }

std::string album_given_up_line(const std::string& album_name) {
  return G("相册《") + album_name +
         G("》的图片服务器长时间没有正常回答，已放弃本相册余下的照片；下次下载时会再获取它们") + "\r\n\r\n";
}

PhotoSaver::PhotoSaver(std::string folder_path, DownloadRecord& record, StepGate& steps, Log log,
                       SaveOptions options)
    : folder_path_(std::move(folder_path)),
      record_(record),
      steps_(steps),
      log_(std::move(log)),
      options_(options),
      request_object_(std::make_unique<RequestObject>()) {}

PhotoSaver::~PhotoSaver() = default;

SaveOutcome PhotoSaver::save_photo(const PhotoEntry& entry, std::int64_t position) {
  if (!options_.range.admits(to_integer(entry.timestamp))) return SaveOutcome::Filtered;
  if (options_.record_enabled && record_.is_recorded(entry.photo_id)) return SaveOutcome::Skipped;
  if (given_up_) return SaveOutcome::GaveUp;

  Gate& gate = steps_.gate();
  ImageAnswer answer;
  if (!fetch_image(entry, answer)) return SaveOutcome::Ended;
  if (answer.complete) failing_for_ = std::chrono::milliseconds(0);
  given_up_ = answer.gave_up;
  // Only a whole picture is kept; anything else is a failed photo: not written, not
  // recorded, and logged with its cause.
  const auto keep_or_fail = [&] {
    if (answer.complete) return keep_photo(entry, position, 200, answer.body);
    const std::string cause = unusable_image_cause(answer.outcome, answer.body);
    if (!steps_.run([&] {
          log_(failure_line(entry));
          log_(failure_cause_line(cause));
          if (answer.gave_up) log_(album_given_up_line(options_.album_name));
        }))
      return SaveOutcome::Ended;
    return answer.gave_up ? SaveOutcome::GaveUp : SaveOutcome::FetchFailed;
  };

  if (!options_.save_during_wait) {
    if (!gate.wait_for(options_.after_photo)) return SaveOutcome::Ended;
    return keep_or_fail();
  }
  // The wait runs from the end of the fetch; saving takes its time out of it. A pause
  // during the save counts as waiting: the service still sees the whole wait between two
  // image requests.
  const auto fetched = std::chrono::steady_clock::now();
  const SaveOutcome outcome = keep_or_fail();
  if (outcome == SaveOutcome::Ended) return outcome;
  // The gate waits whole milliseconds; the fraction that remains is slept after it.
  const auto until = fetched + options_.after_photo;
  const auto left = std::chrono::floor<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
  if (!gate.wait_for(std::max(left, std::chrono::milliseconds::zero()))) return SaveOutcome::Ended;
  std::this_thread::sleep_until(until);
  if (!gate.pass()) return SaveOutcome::Ended;
  return outcome;
}

std::chrono::milliseconds PhotoSaver::time_left() const {
  return options_.pacing.album_give_up - failing_for_;
}

bool PhotoSaver::fetch_once(const PhotoEntry& entry, bool with_referer, ImageAnswer& answer) {
  Gate& gate = steps_.gate();
  if (!gate.pass()) return false;
  int status = 0;
  TimedRequest request;
  request.method = 0;
  request.timeout_seconds = options_.timeout_seconds;
  request.status = &status;
  request.gate = &gate;
  request.request_object = request_object_.get();
  request.outcome = &answer.outcome;
  // The block the transport completes, with the service's Referer in its usual place.
  std::string headers = std::string("Accept: */*\r\nReferer: ") + kServiceReferer;
  if (with_referer) request.headers = &headers;
  // No request outlasts its deadline, nor the time the album still has.
  const auto deadline =
      std::max(std::min(options_.pacing.request_deadline, time_left()), std::chrono::milliseconds(1));
  request_object_->set_deadline(static_cast<long>(deadline.count()));

  const auto started = std::chrono::steady_clock::now();
  answer.body = fetch_page_timed(entry.image_address, request);
  if (gate.ended()) return false;
  answer.complete = status == 200 && is_complete_image(answer.body);
  if (!answer.complete) {
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    failing_for_ += std::min(took, deadline);
  }
  return true;
}

bool PhotoSaver::fetch_image(const PhotoEntry& entry, ImageAnswer& answer) {
  Gate& gate = steps_.gate();
  bool with_referer = false;
  int tries = 0;
  int waits = 0;
  for (;;) {
    if (!fetch_once(entry, with_referer, answer)) return false;
    ++tries;
    if (answer.complete) return true;
    if (time_left() <= std::chrono::milliseconds(0)) {
      answer.gave_up = true;
      return true;
    }
    const int status = answer.outcome.failure == FetchFailure::None ? answer.outcome.status : 0;
    if (status == 403 && !with_referer) {
      // Image hosts refuse a Referer that is not a page of the service.
      with_referer = true;
      continue;
    }
    if (!is_worth_retry_later(status, answer.body)) {
      if (tries == 1) continue;  // once more, at once
      return true;
    }
    // An image that keeps asking for later is given up after a few tries, so that one
    // broken picture costs about a minute and not the album.
    if (tries >= kMostImageTries) return true;
    const auto wait = retry_wait(options_.pacing, ++waits, answer.outcome.response_headers);
    if (wait >= time_left()) {
      answer.gave_up = true;
      return true;
    }
    failing_for_ += wait;
    if (!gate.wait_for(wait)) return false;
  }
}

SaveOutcome PhotoSaver::keep_photo(const PhotoEntry& entry, std::int64_t position, int status,
                                   const std::string& body) {
  // Every part of the name that the service sent is cleaned, so none can leave the folder.
  const std::string caption = file_caption(entry.caption_render);
  const std::string feed_id = file_caption(entry.feed_id);
  const auto name_with = [&](const std::string& shown_caption) {
    return fitted_photo_file_name(position, shown_caption, feed_id, entry.extension);
  };
  // A name of more than 255 characters is refused whole where names are counted in
  // characters, and the caption's ideographs are tried next; a name within 255 characters
  // is kept, its caption shortened only as far as the UTF-8 name's 255 bytes require.
  const bool caption_fits =
      photo_file_name_fits_in_characters(position, caption, feed_id, entry.extension);

  SaveOutcome outcome = status == 200 ? SaveOutcome::WriteFailed : SaveOutcome::FetchFailed;
  std::optional<TemporaryPhoto> photo;
  // Puts the written photo under its name; true when it is in place.
  const auto place = [&] {
    if (!photo) return false;
    if (caption_fits && photo->put_in_place(name_with(caption))) {
      outcome = SaveOutcome::Saved;
    } else if (photo->put_in_place(name_with(ideographs_only(caption)))) {
      // A name the file system refuses: once more with the caption's ideographs only.
      outcome = SaveOutcome::SavedAsIdeographs;
    } else {
      photo->discard();
      return false;
    }
    return true;
  };
  // Recorded only once the photo is in place under its final name.
  const auto record = [&] {
    if (!record_.is_recorded(entry.photo_id)) record_.add_record(entry.photo_id);
  };
  const auto place_and_record = [&] {
    if (place()) record();
    else log_(failure_line(entry));
  };

  bool ran = false;
  if (status == 200 && options_.sync_files) {
    if (!steps_.run([&] { photo.emplace(folder_path_, body); })) return SaveOutcome::Ended;
    // The flushes run between steps, so that pause and end never wait for the disk. After
    // an end the temporary file is removed with `photo`.
    if (photo->written()) photo->finish(true);
    bool placed = false;
    if (!steps_.run([&] {
          placed = place();
          if (!placed) log_(failure_line(entry));
        }))
      return SaveOutcome::Ended;
    // The record is kept only once the new name is on disk too: after a power cut a
    // recorded photo is never missing. An end before the record leaves the photo in place,
    // to be fetched again by a download with the record on.
    ran = true;
    if (placed && sync_folder(folder_path_)) ran = steps_.run(record);
  } else {
    // Without a flush nothing is slow: the whole photo is one step.
    ran = steps_.run([&] {
      if (status == 200) {
        photo.emplace(folder_path_, body);
        if (photo->written()) photo->finish(false);
      }
      place_and_record();
    });
  }
  return ran ? outcome : SaveOutcome::Ended;
}

}  // namespace af
