// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/archive.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "download/index_scan.h"
#include "download/photo_file.h"
#include "service/model.h"
#include "util/codepage.h"
#include "util/sha256.h"

namespace af {

namespace {

constexpr std::int64_t kChinaOffset = 8 * 3600;

struct JsonDeleter {
  void operator()(json_object* value) const { json_object_put(value); }
};
using JsonPtr = std::unique_ptr<json_object, JsonDeleter>;

// A whole JSON object, or null.
JsonPtr parse_object(std::string_view line) {
  json_tokener* tokener = json_tokener_new();
  if (!tokener) return nullptr;
  json_object* value = json_tokener_parse_ex(tokener, line.data(), static_cast<int>(line.size()));
  const bool whole = json_tokener_get_error(tokener) == json_tokener_success &&
                     json_tokener_get_parse_end(tokener) == line.size();
  json_tokener_free(tokener);
  JsonPtr owned(value);
  if (!whole || !json_object_is_type(value, json_type_object)) return nullptr;
  return owned;
}

void add_text(json_object* object, const char* key, const std::string& gbk) {
  const std::string utf8 = gbk_to_utf8(gbk);
  json_object_object_add(object, key, json_object_new_string_len(utf8.data(), static_cast<int>(utf8.size())));
}

void add_time(json_object* object, const char* number_key, const char* text_key,
              std::optional<std::int64_t> seconds) {
  json_object_object_add(object, number_key, seconds ? json_object_new_int64(*seconds) : nullptr);
  json_object_object_add(object, text_key,
                         seconds ? json_object_new_string(china_time_text(*seconds).c_str()) : nullptr);
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian), and back.
void civil_from_days(std::int64_t days, int& year, int& month, int& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

// The object's "file" when it is a text, whole: a NUL inside does not cut it short.
std::string file_text(json_object* object) {
  json_object* file = nullptr;
  if (!json_object_object_get_ex(object, "file", &file) || !json_object_is_type(file, json_type_string))
    return {};
  return std::string(json_object_get_string(file),
                     static_cast<std::size_t>(json_object_get_string_len(file)));
}

}  // namespace

std::optional<std::int64_t> upload_time(std::string_view timestamp) {
  std::string_view digits = timestamp;
  const bool negative = !digits.empty() && digits.front() == '-';
  if (negative) digits.remove_prefix(1);
  // A fraction of a second is dropped.
  if (const std::size_t point = digits.find('.'); point != std::string_view::npos) {
    const std::string_view fraction = digits.substr(point + 1);
    if (fraction.empty() || fraction.find_first_not_of("0123456789") != std::string_view::npos)
      return std::nullopt;
    digits = digits.substr(0, point);
  }
  if (digits.empty() || digits.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

std::string china_time_text(std::int64_t unix_seconds) {
  const std::int64_t local = unix_seconds + kChinaOffset;
  std::int64_t days = local / 86400;
  std::int64_t rest = local % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int year = 0, month = 0, day = 0;
  civil_from_days(days, year, month, day);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d+08:00", year, month, day,
                static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return text;
}

bool set_upload_time(const std::string& file_path, std::string_view timestamp) {
  const std::optional<std::int64_t> seconds = upload_time(timestamp);
  if (!seconds) return true;
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the access time stays
  times[1].tv_sec = static_cast<time_t>(*seconds);
  times[1].tv_nsec = 0;
  return ::utimensat(AT_FDCWD, file_path.c_str(), times, 0) == 0;
}

IndexedPhoto indexed_photo(const PhotoEntry& entry, const std::string& file_name, const std::string& album_id,
                           const std::string& album_caption, std::int64_t saved_at, std::string_view bytes,
                           std::string sha256) {
  IndexedPhoto photo;
  photo.file_name = file_name;
  photo.photo_id = entry.photo_id;
  photo.feed_id = entry.feed_id;
  photo.timestamp = entry.timestamp;
  photo.caption = entry.caption_full;
  photo.image_address = entry.image_address;
  photo.album_id = album_id;
  photo.album_caption = album_caption;
  photo.saved_at = saved_at;
  photo.bytes = bytes.size();
  photo.sha256 = sha256.empty() ? sha256_hex(bytes) : std::move(sha256);
  return photo;
}

std::string index_line(const IndexedPhoto& photo) {
  JsonPtr object(json_object_new_object());
  json_object_object_add(
      object.get(), "file",
      json_object_new_string_len(photo.file_name.data(), static_cast<int>(photo.file_name.size())));
  add_text(object.get(), "photo_id", photo.photo_id);
  add_text(object.get(), "feed_id", photo.feed_id);
  add_time(object.get(), "uploaded", "uploaded_cst", upload_time(photo.timestamp));
  add_text(object.get(), "caption", photo.caption);
  add_text(object.get(), "image", photo.image_address);
  add_text(object.get(), "album_id", photo.album_id);
  add_text(object.get(), "album", photo.album_caption);
  add_time(object.get(), "saved", "saved_cst", photo.saved_at);
  if (photo.bytes)
    json_object_object_add(object.get(), "bytes",
                           json_object_new_int64(static_cast<std::int64_t>(*photo.bytes)));
  if (!photo.sha256.empty())
    json_object_object_add(object.get(), "sha256", json_object_new_string(photo.sha256.c_str()));
  return json_object_to_json_string_ext(object.get(),
                                        JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

std::optional<IndexedPhoto> parse_index_line(std::string_view line) { return read_index_line(line).photo; }

IndexLineRead read_index_line(std::string_view line) {
  IndexLineRead read;
  JsonPtr object = parse_object(line);
  if (!object) return read;
  read.whole = true;
  read.file = file_text(object.get());
  const auto member = [&](const char* key) {
    json_object* value = nullptr;
    json_object_object_get_ex(object.get(), key, &value);
    return value;
  };
  const auto text = [&](const char* key) {
    json_object* value = member(key);
    return json_object_is_type(value, json_type_string) ? std::string(json_object_get_string(value))
                                                        : std::string();
  };
  IndexedPhoto photo;
  photo.file_name = read.file;
  if (!is_indexable_file_name(photo.file_name)) return read;
  photo.photo_id = utf8_to_gb18030(text("photo_id"));
  photo.feed_id = utf8_to_gb18030(text("feed_id"));
  if (json_object_is_type(member("uploaded"), json_type_int))
    photo.timestamp = std::to_string(json_object_get_int64(member("uploaded")));
  photo.caption = utf8_to_gb18030(text("caption"));
  photo.image_address = utf8_to_gb18030(text("image"));
  photo.album_id = utf8_to_gb18030(text("album_id"));
  photo.album_caption = utf8_to_gb18030(text("album"));
  photo.saved_at = json_object_get_int64(member("saved"));
  if (json_object* bytes = member("bytes");
      json_object_is_type(bytes, json_type_int) && json_object_get_int64(bytes) >= 0)
    photo.bytes = static_cast<std::uint64_t>(json_object_get_int64(bytes));
  photo.sha256 = text("sha256");
  read.photo = std::move(photo);
  return read;
}

bool is_indexable_file_name(std::string_view name) {
  constexpr std::string_view kSeparators("/\\\0", 3);
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(kSeparators) == std::string_view::npos && name != kAlbumIndexName &&
         !is_temporary_photo_name(std::string(name));
}

std::string AlbumIndex::line_key(const IndexedPhoto& photo) {
  return photo.photo_id + '\n' + photo.file_name + '\n' + photo.sha256;
}

AlbumIndex::AlbumIndex(std::string folder_path)
    : path_(std::move(folder_path) + "/" + std::string(kAlbumIndexName)) {
  LineReader lines(path_);
  std::string_view line;
  std::uint64_t offset = 0;
  bool last = false;
  while (lines.next(line, offset, last)) {
    const IndexLineRead read = read_index_line(line);
    if (read.photo) {
      keys_.put(text_hash(line_key(*read.photo)));
      own(*read.photo, offset);
    }
    if (last && !read.whole) {
      // The last line was cut short by a crash: it goes before the next line is added.
      cut_ = true;
      whole_size_ = offset;
    }
  }
}

std::optional<IndexedPhoto> AlbumIndex::line_at(std::uint64_t offset) const {
  std::string line;
  if (!read_line_at(path_, offset, line)) return std::nullopt;
  return parse_index_line(line);
}

bool AlbumIndex::add(const IndexedPhoto& photo, std::string& error) {
  last_.reset();
  const std::uint64_t key = text_hash(line_key(photo));
  if (keys_.contains(key)) return true;
  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = disk_error_cause(errno);
    return false;
  }
  bool ok = true;
  if (cut_) {
    ok = ::ftruncate(fd, static_cast<off_t>(whole_size_)) == 0;
    if (ok) cut_ = false;
  }
  const off_t size = ok ? ::lseek(fd, 0, SEEK_END) : -1;
  ok = size >= 0;
  std::string bytes;
  if (ok && size > 0) {
    // A whole last line that lacks its line end gets it first.
    char last = '\n';
    ok = ::pread(fd, &last, 1, size - 1) == 1;
    if (last != '\n') bytes = "\n";
  }
  bytes += index_line(photo);
  bytes += '\n';
  ok = ok && write_index_lines(fd, bytes) && (!flush_each_ || ::fdatasync(fd) == 0);
  int saved_errno = errno;
  if (!ok && size >= 0 && ::ftruncate(fd, size) != 0) {
    // What part of the line went out is cut back before the next line.
    cut_ = true;
    whole_size_ = static_cast<std::uint64_t>(size);
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved_errno = errno;
  }
  if (!ok) {
    error = disk_error_cause(saved_errno);
    return false;
  }
  last_ = Appended{static_cast<std::uint64_t>(size), key, text_hash(photo.photo_id), text_hash(photo.file_name),
                   std::nullopt, std::nullopt};
  if (const std::uint64_t* at = owners_.find(last_->file_name)) last_->owner_before = *at;
  if (const std::uint64_t* at = ids_.find(last_->photo_id)) last_->file_before = *at;
  keys_.put(key);
  own(photo, static_cast<std::uint64_t>(size) + (bytes.front() == '\n' ? 1 : 0));
  unflushed_ = !flush_each_;
  return true;
}

void AlbumIndex::take_back() {
  if (!last_) return;
  keys_.erase(last_->key);
  const auto restore = [](HashTable& table, std::uint64_t key, const std::optional<std::uint64_t>& before) {
    if (before)
      table.put(key, *before);
    else
      table.erase(key);
  };
  restore(owners_, last_->file_name, last_->owner_before);
  restore(ids_, last_->photo_id, last_->file_before);
  // The file goes back to where the line began; should that fail, before the next line.
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  const bool cut = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(last_->size_before)) == 0;
  if (fd >= 0) ::close(fd);
  if (!cut) {
    cut_ = true;
    whole_size_ = last_->size_before;
  }
  last_.reset();
}

void AlbumIndex::own(const IndexedPhoto& photo, std::uint64_t offset) {
  owners_.put(text_hash(photo.file_name), offset);
  ids_.put(text_hash(photo.photo_id), offset);
}

std::string AlbumIndex::own_file(const std::string& photo_id) const {
  // The file its last line names, unless a later line gave that file to another photo.
  const std::uint64_t* at = ids_.find(text_hash(photo_id));
  if (at == nullptr) return {};
  const std::optional<IndexedPhoto> photo = line_at(*at);
  if (!photo || photo->photo_id != photo_id) return {};
  const std::uint64_t* owner = owners_.find(text_hash(photo->file_name));
  return owner != nullptr && *owner == *at ? photo->file_name : std::string();
}

std::string AlbumIndex::file_owner(const std::string& file_name) const {
  const std::uint64_t* at = owners_.find(text_hash(file_name));
  if (at == nullptr) return {};
  const std::optional<IndexedPhoto> photo = line_at(*at);
  return photo && photo->file_name == file_name ? photo->photo_id : std::string();
}

bool AlbumIndex::flush(std::string& error) {
  if (!unflushed_) return true;
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  const bool ok = fd >= 0 && ::fdatasync(fd) == 0;
  const int saved_errno = errno;
  if (fd >= 0) ::close(fd);
  if (!ok) {
    error = disk_error_cause(saved_errno);
    return false;
  }
  unflushed_ = false;
  return true;
}

std::vector<std::string> read_album_index(const std::string& folder_path) {
  std::vector<std::string> objects;
  std::ifstream in(folder_path + "/" + std::string(kAlbumIndexName), std::ios::binary);
  std::string line;
  while (std::getline(in, line))
    if (parse_object(line)) objects.push_back(line);
  return objects;
}

AlbumIndexContents read_album_index_contents(const std::string& folder_path) {
  const IndexScan scan(folder_path);
  AlbumIndexContents contents;
  contents.error = scan.error();
  contents.whole_lines = scan.whole_lines();
  contents.bad_lines = scan.bad_lines();
  scan.each([&](IndexedPhoto&& photo) {
    contents.photos.push_back(std::move(photo));
    return true;
  });
  return contents;
}

int read_raw_index_lines(const std::string& folder_path, std::vector<RawIndexLine>& lines) {
  std::string text;
  if (const int error = read_regular_file(folder_path + "/" + std::string(kAlbumIndexName), text); error != 0)
    return error;
  for (std::size_t begin = 0; begin < text.size();) {
    const std::size_t end = std::min(text.find('\n', begin), text.size());
    RawIndexLine line{text.substr(begin, end - begin), std::nullopt, false};
    begin = end + 1;
    if (line.text.empty()) continue;
    line.photo = parse_index_line(line.text);
    line.cut = end == text.size() && !parse_object(line.text);
    lines.push_back(std::move(line));
  }
  return 0;
}

int rewrite_album_index(const std::string& folder_path, const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) bytes += line + "\n";
  const std::string path = folder_path + "/" + std::string(kAlbumIndexName);
  const std::string temporary = temporary_photo_path(folder_path, ~std::uint64_t{0});
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  bool ok = write_index_lines(fd, bytes) && ::fdatasync(fd) == 0;
  int error = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) ::unlink(temporary.c_str());
  return ok ? flush_folder(folder_path) : (error != 0 ? error : EIO);
}

std::vector<IndexedPhoto> read_indexed_photos(const std::string& folder_path) {
  return read_album_index_contents(folder_path).photos;
}

bool is_picture_file_name(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || is_temporary_photo_name(std::string(name))) return false;
  std::string extension(name.substr(dot + 1));
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == "jpg" || extension == "jpeg" || extension == "gif" || extension == "png" ||
         extension == "webp";
}

std::size_t picture_file_count(const std::string& folder_path) {
  namespace fs = std::filesystem;
  std::size_t count = 0;
  std::error_code error;
  for (fs::directory_iterator it(folder_path, error), end; !error && it != end; it.increment(error)) {
    std::error_code kind_error;
    if (it->symlink_status(kind_error).type() == fs::file_type::regular &&
        is_picture_file_name(it->path().filename().string()))
      ++count;
  }
  return count;
}

}  // namespace af
