// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/verify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>

#include "download/image_check.h"
#include "download/index_scan.h"
#include "download/photo_file.h"
#include "download/record_store.h"
#include "util/sha256.h"

namespace af {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunk = 64 * 1024;

bool holds_index(const fs::path& folder) {
  std::error_code error;
  return fs::is_regular_file(folder / std::string(kAlbumIndexName), error);
}

// Whether the file at `path` holds `size` bytes with that SHA-256; read only when it is a
// regular file of that size (a named pipe does not hold the download up).
bool holds_bytes(const std::string& path, std::uint64_t size, const std::string& sha256) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  bool same = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) == size;
  if (same) {
    Sha256 hash;
    std::string chunk(kChunk, '\0');
    for (;;) {
      const ssize_t got = ::read(fd, chunk.data(), chunk.size());
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        same = got == 0;
        break;
      }
      hash.update(std::string_view(chunk.data(), static_cast<std::size_t>(got)));
    }
    same = same && hash.hex_digest() == sha256;
  }
  ::close(fd);
  return same;
}

}  // namespace

const char* photo_state_name(PhotoState state) {
  switch (state) {
    case PhotoState::Sound:
      return "sound";
    case PhotoState::Missing:
      return "missing";
    case PhotoState::Changed:
      return "changed";
    case PhotoState::Damaged:
      return "damaged";
  }
  return "";
}

std::size_t AlbumCheck::count(PhotoState state) const { return states[static_cast<int>(state)]; }

std::vector<std::string> album_folders_to_check(const std::string& root) {
  std::vector<std::string> folders;
  std::error_code error;
  const auto visit = [&](const fs::path& folder, int depth, const auto& self) -> void {
    if (holds_index(folder) || picture_file_count(folder.string()) > 0) folders.push_back(folder.string());
    if (depth == 0) return;
    std::error_code list_error;
    for (fs::directory_iterator it(folder, list_error), end; !list_error && it != end;
         it.increment(list_error)) {
      std::error_code kind_error;
      if (it->is_directory(kind_error) && !it->is_symlink(kind_error)) self(it->path(), depth - 1, self);
    }
  };
  if (fs::is_directory(root, error)) visit(fs::path(root), 2, visit);
  std::sort(folders.begin(), folders.end());
  return folders;
}

PhotoState check_photo(const std::string& path, const IndexedPhoto& photo, std::string& buffer) {
  // Not held up by a named pipe: only a regular file is read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? PhotoState::Missing : PhotoState::Damaged;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return PhotoState::Damaged;
  }
  // Bytes are hashed as they come in; the picture check then looks at them in place.
  Sha256 hash;
  buffer.clear();
  buffer.reserve(static_cast<std::size_t>(info.st_size) + kChunk);
  bool read_failed = false;
  for (;;) {
    const std::size_t at = buffer.size();
    buffer.resize(at + kChunk);
    const ssize_t got = ::read(fd, buffer.data() + at, kChunk);
    if (got < 0 && errno == EINTR) {
      buffer.resize(at);
      continue;
    }
    buffer.resize(at + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    if (got <= 0) {
      read_failed = got < 0;
      break;
    }
    hash.update(std::string_view(buffer).substr(at));
  }
  ::close(fd);
  if (read_failed) return PhotoState::Damaged;
  const bool whole = is_complete_image(buffer);
  const bool same = (!photo.bytes || *photo.bytes == buffer.size()) &&
                    (photo.sha256.empty() || photo.sha256 == hash.hex_digest());
  if (same) return whole ? PhotoState::Sound : PhotoState::Damaged;
  return whole ? PhotoState::Changed : PhotoState::Damaged;
}

AlbumCheck check_album(const std::string& folder, const std::function<bool(const AlbumCheck& check)>& ready,
                       const std::function<void(const PhotoCheck& photo)>& each) {
  AlbumCheck check;
  check.folder = folder;
  std::string buffer;
  const IndexScan index(folder);
  check.bad_lines = index.bad_lines();
  check.index_error = index.error();
  check.index_whole = index.whole_lines() > 0;
  check.picture_files = picture_file_count(folder);
  if (ready && !ready(check)) return check;
  index.each([&](IndexedPhoto&& photo) {
    PhotoCheck checked{std::move(photo), PhotoState::Sound};
    checked.state = check_photo(folder + "/" + checked.photo.file_name, checked.photo, buffer);
    ++check.checked;
    ++check.states[static_cast<int>(checked.state)];
    if (each)
      each(checked);
    else
      check.photos.push_back(std::move(checked));
    return true;
  });
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    std::error_code kind_error;
    if (!it->is_regular_file(kind_error) || name == kAlbumIndexName || is_temporary_photo_name(name) ||
        index.names(name))
      continue;
    check.not_indexed.push_back(name);
  }
  std::sort(check.not_indexed.begin(), check.not_indexed.end());
  return check;
}

std::vector<std::string> whole_indexed_photos(const std::string& folder,
                                              const std::function<bool(const std::string& photo_id)>& wanted) {
  std::vector<std::string> ids;
  std::set<std::string> found;  // the photos found whole: few, after a whole download none
  IndexScan(folder).each([&](IndexedPhoto&& photo) {
    if (!photo.bytes || photo.sha256.empty() || photo.photo_id.empty() || found.count(photo.photo_id) > 0 ||
        !wanted(photo.photo_id))
      return true;
    if (holds_bytes(folder + "/" + photo.file_name, *photo.bytes, photo.sha256)) {
      found.insert(photo.photo_id);
      ids.push_back(photo.photo_id);
    }
    return true;
  });
  return ids;
}

std::string move_aside(const std::string& folder, const std::string& file_name, int& error) {
  if (!is_indexable_file_name(file_name)) {
    error = EINVAL;
    return {};
  }
  const std::string from = folder + "/" + file_name;
  // Only a photo's own file moves: never a folder, nor a link (nor what it points to).
  struct stat kind {};
  if (::lstat(from.c_str(), &kind) != 0 || !S_ISREG(kind.st_mode)) {
    error = S_ISDIR(kind.st_mode) ? EISDIR : kind.st_mode != 0 ? EINVAL : errno;
    return {};
  }
  for (int n = 1; n < 10000; ++n) {
    const std::string name = file_name + ".damaged" + (n == 1 ? "" : "-" + std::to_string(n));
    error = move_without_replacing(from, folder + "/" + name);
    if (error == 0) return name;
    if (error != EEXIST) return {};
  }
  error = EEXIST;
  return {};
}

std::vector<RecordChange> forget_photos(const std::string& program_dir,
                                        const std::vector<std::string>& photo_ids) {
  std::vector<RecordChange> changes;
  if (photo_ids.empty()) return changes;
  std::vector<std::string> records;
  std::error_code error;
  for (fs::directory_iterator it(program_dir, error), end; !error && it != end; it.increment(error)) {
    std::error_code kind_error;
    if (it->is_regular_file(kind_error) && it->path().extension() == ".dlr")
      records.push_back(it->path().string());
  }
  std::sort(records.begin(), records.end());
  for (const std::string& path : records) {
    DownloadRecord record;
    const int removed = record.open_record_store(path) ? record.remove_records(photo_ids) : -1;
    record.close_record_store();
    if (removed != 0) changes.push_back({path, removed});
  }
  return changes;
}

}  // namespace af
