#include "download/photo_saver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "download/record_store.h"
#include "download/step_gate.h"
#include "http/fetch.h"
#include "service/photo_list.h"
#include "util/codepage.h"
#include "util/regex_matcher.h"
#include "util/text.h"

namespace af {

namespace {

constexpr std::string_view kTemporaryPrefix = ".albumfetcher-";
constexpr std::string_view kTemporarySuffix = ".part";

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

}  // namespace

std::string temporary_photo_path(const std::string& folder_path) {
  return folder_path + "/" + std::string(kTemporaryPrefix) + std::to_string(::getpid()) +
         std::string(kTemporarySuffix);
}

bool write_photo_file(const std::string& folder_path, const std::string& file_name,
                      const std::string& bytes, bool sync) {
  if (!is_plain_file_name(file_name)) return false;
  const std::string temporary = temporary_photo_path(folder_path);
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write_all(fd, bytes);
  if (ok && sync) ok = ::fdatasync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok) ok = std::rename(temporary.c_str(), (folder_path + "/" + file_name).c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
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
    if (name.starts_with(kTemporaryPrefix) && name.ends_with(kTemporarySuffix)) {
      std::error_code ignored;
      fs::remove(it->path(), ignored);
    }
  }
}

std::string failure_line(const PhotoEntry& entry) {
  return G("失败") + entry.photo_id + G("微博id") + entry.feed_id + "\r\n";
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
  // Every part of the name that the service sent is cleaned, so none can leave the folder.
  std::string caption = file_caption(entry.caption_render);
  const std::string feed_id = file_caption(entry.feed_id);

  if (!options_.range.admits(to_integer(entry.timestamp))) return SaveOutcome::Filtered;
  if (options_.record_enabled && record_.is_recorded(entry.photo_id)) return SaveOutcome::Skipped;

  Gate& gate = steps_.gate();
  int status = 0;
  TimedRequest request;
  request.method = 0;
  request.timeout_seconds = options_.timeout_seconds;
  request.status = &status;
  request.gate = &gate;
  request.request_object = request_object_.get();
  if (!gate.pass()) return SaveOutcome::Ended;
  std::string body = fetch_page_timed(entry.image_address, request);
  if (gate.ended()) return SaveOutcome::Ended;
  if (status != 200) {
    if (!gate.pass()) return SaveOutcome::Ended;
    status = 0;
    body = fetch_page_timed(entry.image_address, request);
    if (gate.ended()) return SaveOutcome::Ended;
  }
  if (!gate.wait_for(options_.after_photo)) return SaveOutcome::Ended;

  SaveOutcome outcome = SaveOutcome::FetchFailed;
  const bool ran = steps_.run([&] {
    if (status == 200) {
      if (write_photo_file(folder_path_,
                           file_system_name(photo_file_name(position, caption, feed_id,
                                                            entry.extension)),
                           body, options_.sync_files)) {
        outcome = SaveOutcome::Saved;
      } else {
        // A name the file system refuses: once more with the caption's ideographs only.
        caption = ideographs_only(caption);
        outcome = write_photo_file(folder_path_,
                                   file_system_name(photo_file_name(position, caption, feed_id,
                                                                    entry.extension)),
                                   body, options_.sync_files)
                      ? SaveOutcome::SavedAsIdeographs
                      : SaveOutcome::WriteFailed;
      }
    }
    if (outcome == SaveOutcome::Saved || outcome == SaveOutcome::SavedAsIdeographs) {
      if (!record_.is_recorded(entry.photo_id)) record_.add_record(entry.photo_id);
    } else {
      log_(failure_line(entry));
    }
  });
  return ran ? outcome : SaveOutcome::Ended;
}

}  // namespace af
