#include "download/photo_saver.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "download/archive.h"
#include "download/image_check.h"
#include "download/record_store.h"
#include "download/step_gate.h"
#include "http/fetch.h"
#include "http/rate_limit.h"
#include "service/model.h"
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

std::mutex& disk_calls_mutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<const DiskCalls>& disk_calls_slot() {
  static std::shared_ptr<const DiskCalls> calls = std::make_shared<DiskCalls>();
  return calls;
}

std::shared_ptr<const DiskCalls> disk_calls() {
  std::lock_guard lock(disk_calls_mutex());
  return disk_calls_slot();
}

// 0, or the errno of the failed write.
int write_all(int fd, const std::string& bytes) {
  const auto calls = disk_calls();
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    errno = 0;
    const long written = calls->write ? calls->write(fd, data, left) : ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno != 0 ? errno : EIO;
    }
    if (written == 0) return ENOSPC;  // a write that takes nothing will never finish
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return 0;
}

// Errors of a flush that say the file system cannot flush this kind of file, not that
// data was lost.
bool flush_not_supported(int error) {
  return error == EINVAL || error == EROFS || error == ENOTSUP || error == EOPNOTSUPP || error == EBADF;
}

// A name that would leave the folder, or name the folder itself, is refused outright.
bool is_plain_file_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
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

void set_disk_calls(DiskCalls calls) {
  auto shared = std::make_shared<const DiskCalls>(std::move(calls));
  std::lock_guard lock(disk_calls_mutex());
  disk_calls_slot() = std::move(shared);
}

bool is_storage_error(int error) {
  switch (error) {
    case ENOTDIR:
    case ENOENT:
    case EEXIST:
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case EIO:
      return true;
    default:
      return false;
  }
}

std::string disk_error_cause(int error) {
  std::string text;
  switch (error) {
    case ENOTDIR:
    case EEXIST:
      text = G("保存位置不是文件夹");
      break;
    case ENOENT:
      text = G("文件夹不存在");
      break;
    case EACCES:
    case EPERM:
      text = G("没有写入权限");
      break;
    case EROFS:
      text = G("磁盘只读");
      break;
    case ENOSPC:
      text = G("磁盘空间不足");
      break;
    case EDQUOT:
      text = G("超出磁盘配额");
      break;
    case EFBIG:
      text = G("文件太大");
      break;
    case EIO:
      text = G("磁盘读写错误");
      break;
    case ENAMETOOLONG:
      text = G("文件名太长");
      break;
    default:
      text = G("无法写入");
      break;
  }
  return text + " (" + std::strerror(error) + ")";
}

TemporaryPhoto::TemporaryPhoto(const std::string& folder_path) : folder_path_(folder_path) {
  // Two downloads of one process may share an album folder for a moment (an ended one
  // still finishing a step), so every photo gets a name of its own.
  static std::atomic<std::uint64_t> serial{0};
  path_ = temporary_photo_path(folder_path, ++serial);
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) error_ = errno;
}

TemporaryPhoto::TemporaryPhoto(const std::string& folder_path, const std::string& bytes)
    : TemporaryPhoto(folder_path) {
  write(bytes);
}

TemporaryPhoto::~TemporaryPhoto() {
  if (!placed_) discard();
}

bool TemporaryPhoto::write(const std::string& bytes) {
  if (fd_ < 0) return false;
  const int error = write_all(fd_, bytes);
  written_ = error == 0;
  if (!written_) {
    discard();
    error_ = error;
  }
  return written_;
}

bool TemporaryPhoto::finish(bool sync) {
  if (fd_ < 0) return finished_;
  bool ok = written_;
  if (ok && sync) {
    const auto calls = disk_calls();
    const int result = calls->flush_file ? calls->flush_file(fd_) : ::fdatasync(fd_);
    if (result != 0 && !flush_not_supported(errno)) {
      error_ = errno;
      ok = false;
    }
  }
  // A file system that reports a failed write only now (network file systems) loses it.
  if (::close(fd_) != 0 && errno != EINTR && ok) {
    error_ = errno;
    ok = false;
  }
  fd_ = -1;
  finished_ = ok;
  return finished_;
}

bool TemporaryPhoto::put_in_place(const std::string& file_name) {
  if (!finished_ || placed_) return false;
  if (!is_plain_file_name(file_name)) {
    error_ = EINVAL;
    return false;
  }
  placed_ = std::rename(path_.c_str(), (folder_path_ + "/" + file_name).c_str()) == 0;
  if (!placed_) error_ = errno;
  return placed_;
}

void TemporaryPhoto::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!placed_ && !path_.empty()) ::unlink(path_.c_str());
  written_ = false;
  finished_ = false;
}

int flush_folder(const std::string& folder_path) {
  const int fd = ::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A folder that cannot be opened for reading cannot be flushed either: nothing to do.
  if (fd < 0) return 0;
  const auto calls = disk_calls();
  int error = 0;
  if ((calls->flush_folder ? calls->flush_folder(fd) : ::fsync(fd)) != 0 && !flush_not_supported(errno))
    error = errno;
  ::close(fd);
  return error;
}

bool write_photo_file(const std::string& folder_path, const std::string& file_name, const std::string& bytes,
                      bool sync) {
  if (!is_plain_file_name(file_name)) return false;
  TemporaryPhoto photo(folder_path, bytes);
  return photo.written() && photo.finish(sync) && photo.put_in_place(file_name);
}

bool make_album_folder(const std::string& folder_path, int* error) {
  namespace fs = std::filesystem;
  std::error_code code;
  if (fs::is_directory(folder_path, code)) return true;
  if (!fs::create_directories(folder_path, code)) fs::create_directories(folder_path, code);
  std::error_code ignored;
  if (fs::is_directory(folder_path, ignored)) return true;
  if (error != nullptr) *error = code ? code.value() : ENOTDIR;
  return false;
}

bool is_temporary_photo_name(const std::string& name) {
  return name.starts_with(kTemporaryPrefix) && name.ends_with(kTemporarySuffix);
}

void remove_temporary_files(const std::string& folder_path) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (fs::directory_iterator it(folder_path, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (is_temporary_photo_name(name) && !held_by_another_process(name)) {
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
      request_object_(std::make_unique<RequestObject>()) {}

PhotoSaver::~PhotoSaver() = default;

std::optional<SaveOutcome> PhotoSaver::unwanted(const PhotoEntry& entry) {
  return unwanted_photo(entry, options_.range, options_.record_enabled, record_);
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
  if (answer.complete) return keep_photo(entry, position, 200, answer.body);
  const std::string cause = unusable_image_cause(answer.outcome, answer.body);
  if (!steps_.run([&] {
        log_(failure_line(entry));
        log_(failure_cause_line(cause));
        if (answer.gave_up) log_(album_given_up_line(options_.album_name));
      }))
    return SaveOutcome::Ended;
  return answer.gave_up ? SaveOutcome::GaveUp : SaveOutcome::FetchFailed;
}

std::chrono::milliseconds PhotoSaver::time_left() const {
  return options_.pacing.album_give_up - std::chrono::milliseconds(failing_ms_.load());
}

bool PhotoSaver::fetch_once(const PhotoEntry& entry, bool with_referer, ImageAnswer& answer,
                            RequestObject& object, Gate& gate) {
  if (!gate.pass()) return false;
  int status = 0;
  TimedRequest request;
  request.timeout_seconds = options_.timeout_seconds;
  request.status = &status;
  request.gate = &gate;
  request.request_object = &object;
  request.outcome = &answer.outcome;
  // The block the transport completes, with the service's Referer in its usual place.
  std::string headers = std::string("Accept: */*\r\nReferer: ") + kServiceReferer;
  if (with_referer) request.headers = &headers;
  // No request outlasts its deadline, nor the time the album still has.
  const auto deadline =
      std::max(std::min(options_.pacing.request_deadline, time_left()), std::chrono::milliseconds(1));
  object.set_deadline(static_cast<long>(deadline.count()));

  const auto started = std::chrono::steady_clock::now();
  answer.body = fetch_page_timed(entry.image_address, request);
  if (gate.ended()) return false;
  answer.complete = status == 200 && is_complete_image(answer.body);
  if (!answer.complete) {
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    failing_ms_ += std::min(took, deadline).count();
  }
  return true;
}

bool PhotoSaver::fetch_image(const PhotoEntry& entry, ImageAnswer& answer, RequestObject& object,
                             Gate& gate) {
  if (!fetch_answer(entry, answer, object, gate)) return false;
  if (answer.complete) failing_ms_ = 0;
  if (answer.gave_up) given_up_ = true;
  return true;
}

bool PhotoSaver::fetch_answer(const PhotoEntry& entry, ImageAnswer& answer, RequestObject& object,
                              Gate& gate) {
  bool with_referer = false;
  int tries = 0;
  int waits = 0;
  for (;;) {
    if (!fetch_once(entry, with_referer, answer, object, gate)) return false;
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
    failing_ms_ += wait.count();
    if (!gate.wait_for(wait)) return false;
  }
}

SaveOutcome PhotoSaver::keep_photo(const PhotoEntry& entry, std::int64_t position, int status,
                                   const std::string& body) {
  if (status != 200) {
    const bool ran = steps_.run([&] { log_(failure_line(entry)); });
    return ran ? SaveOutcome::FetchFailed : SaveOutcome::Ended;
  }
  // Every part of the name that the service sent is cleaned, so none can leave the folder.
  const std::string caption = file_caption(entry.caption_render);
  const std::string feed_id = file_caption(entry.feed_id);
  const auto name_with = [&](const std::string& shown_caption) {
    return fitted_photo_file_name(position, shown_caption, feed_id, entry.extension);
  };
  // A name of more than 255 characters is refused whole where names are counted in
  // characters, and the caption's ideographs are tried next; a name within 255 characters
  // is kept, its caption shortened only as far as the UTF-8 name's 255 bytes require.
  const bool caption_fits = photo_file_name_fits_in_characters(position, caption, feed_id, entry.extension);

  // The new file appears in a step, so that nothing new shows in the folder once pause or
  // end has returned; its bytes are written and flushed between steps. After an end the
  // temporary file is removed with `photo`.
  std::optional<TemporaryPhoto> photo;
  if (!steps_.run([&] { photo.emplace(folder_path_); })) return SaveOutcome::Ended;
  if (!photo->write(body) || !photo->finish(options_.sync_files)) return write_failed(entry, photo->error());

  SaveOutcome outcome = SaveOutcome::WriteFailed;
  std::string placed_name;
  if (!steps_.run([&] {
        if (caption_fits && photo->put_in_place(placed_name = name_with(caption))) {
          outcome = SaveOutcome::Saved;
        } else if (!is_storage_error(photo->error()) &&
                   photo->put_in_place(placed_name = name_with(ideographs_only(caption)))) {
          // A name the file system refuses: once more with the caption's ideographs only.
          outcome = SaveOutcome::SavedAsIdeographs;
        }
        if (outcome != SaveOutcome::WriteFailed && options_.placed_count != nullptr) ++*options_.placed_count;
      }))
    return SaveOutcome::Ended;
  if (outcome == SaveOutcome::WriteFailed) return write_failed(entry, photo->error());

  // The record is kept only once the new name is on disk too: after a power cut a
  // recorded photo is never missing. An end before the record leaves the photo in place,
  // to be fetched again by a download with the record on.
  if (options_.sync_files) {
    if (const int error = flush_folder(folder_path_); error != 0) return write_failed(entry, error);
  }
  // The photo in place is dated by its upload time and handed on (the album index), unless
  // the download has ended meanwhile.
  if (!steps_.gate().ended()) {
    set_upload_time(folder_path_ + "/" + placed_name, entry.timestamp);
    if (on_placed_) on_placed_(entry, placed_name, body);
  }
  return record_photo(entry) ? outcome : SaveOutcome::Ended;
}

SaveOutcome PhotoSaver::write_failed(const PhotoEntry& entry, int error) {
  const std::string cause = disk_error_cause(error);
  const bool storage = is_storage_error(error);
  if (!steps_.run([&] { log_(failure_line(entry) + failure_cause_line(cause)); })) return SaveOutcome::Ended;
  if (!storage) return SaveOutcome::WriteFailed;
  storage_cause_ = cause;
  return SaveOutcome::StorageFailed;
}

bool PhotoSaver::record_photo(const PhotoEntry& entry) {
  // The append is prepared between steps (SQLite may wait for another process) and made
  // visible in one: after an end it is dropped.
  if (record_.is_recorded(entry.photo_id)) return !steps_.gate().ended();
  const bool staged = record_.stage_record(entry.photo_id);
  const bool ran = steps_.run([&] {
    if (staged) record_.commit_staged();
  });
  record_.drop_staged();
  return ran;
}

}  // namespace af
