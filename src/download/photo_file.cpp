// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/photo_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>

#include "util/codepage.h"

namespace af {

namespace {

constexpr std::string_view kTemporaryPrefix = ".albumfetcher-";
constexpr std::string_view kTemporarySuffix = ".part";

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

using WriteCall = std::function<long(int fd, const char* data, std::size_t size)>;

// 0, or the errno of the failed write; `call` is the seam's member for these bytes.
int write_all(int fd, std::string_view bytes, WriteCall DiskCalls::*call = &DiskCalls::write) {
  const auto calls = disk_calls();
  const WriteCall& write = (*calls).*call;
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    errno = 0;
    const long written = write ? write(fd, data, left) : ::write(fd, data, left);
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

bool write_index_lines(int fd, std::string_view bytes) {
  const int error = write_all(fd, bytes, &DiskCalls::write_index);
  if (error != 0) errno = error;
  return error == 0;
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
    case EISDIR:
      text = G("那里是文件夹，不是文件");
      break;
    case ENAMETOOLONG:
      text = G("文件名太长");
      break;
    default:
      // The system's own words are English; its number is enough to look the error up.
      text = G("无法写入（错误号 ") + std::to_string(error) + G("）");
      break;
  }
  return text;
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

void TemporaryPhoto::start_writeback() {
  if (fd_ >= 0 && written_) ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
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

bool TemporaryPhoto::put_in_place_new(const std::string& file_name) {
  if (!finished_ || placed_) return false;
  if (!is_plain_file_name(file_name)) {
    error_ = EINVAL;
    return false;
  }
  error_ = move_without_replacing(path_, folder_path_ + "/" + file_name);
  placed_ = error_ == 0;
  return placed_;
}

int move_without_replacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP) return errno;
  // A hard link never replaces a file; the old name goes once the new one holds it.
  if (::link(from.c_str(), to.c_str()) == 0) {
    if (::unlink(from.c_str()) == 0) return 0;
    const int error = errno;
    ::unlink(to.c_str());
    return error;
  }
  if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != EMLINK) return errno;
  // Neither: a rename, after looking that the name is free.
  struct stat info {};
  if (::lstat(to.c_str(), &info) == 0) return EEXIST;
  return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void TemporaryPhoto::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!placed_ && !path_.empty()) ::unlink(path_.c_str());
  written_ = false;
  finished_ = false;
}

int read_regular_file(const std::string& path, std::string& bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat info {};
  int error = ::fstat(fd, &info) != 0 ? errno : S_ISREG(info.st_mode) ? 0 : EINVAL;
  char chunk[64 * 1024];
  while (error == 0) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = errno;
    if (got <= 0) break;
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(fd);
  if (error != 0) bytes.clear();
  return error;
}

bool file_holds(const std::string& path, std::string_view bytes) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::size_t>(info.st_size) != bytes.size())
    return false;
  std::string held;
  return read_regular_file(path, held) == 0 && held == bytes;
}

NameState photo_name_state(const std::string& folder_path, const std::string& file_name, std::string_view bytes,
                           int& error) {
  error = 0;
  if (!is_plain_file_name(file_name)) {
    error = EINVAL;
    return NameState::Refused;
  }
  const std::string path = folder_path + "/" + file_name;
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    error = EEXIST;
    return file_holds(path, bytes) ? NameState::Same : NameState::Taken;
  }
  error = errno;
  if (error == ENOENT) return NameState::Free;
  return is_storage_error(error) ? NameState::Failed : NameState::Refused;
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

}  // namespace af
