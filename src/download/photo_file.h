// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Photo files written under a temporary name, flushed and put in place; album folders made
// and cleared of leftovers; errors of the disk told apart from those of one name.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace af {

// Calls to the disk that tests replace to make it slow, full or without folder flushes.
// Every member left empty is the real call.
struct DiskCalls {
  std::function<long(int fd, const char* data, std::size_t size)> write;  // ::write of a photo's bytes
  std::function<int(int fd)> flush_file;                                  // ::fdatasync
  std::function<int(int fd)> flush_folder;                                // ::fsync of an open folder
  // ::write of the album index's lines, apart from `write`: a test that counts or holds
  // photo writes sees the photos only.
  std::function<long(int fd, const char* data, std::size_t size)> write_index = {};
};
// Replaces the disk calls of every photo and index line written from now on, process-wide.
void set_disk_calls(DiskCalls calls);
// Writes all of `bytes` (album index lines) to `fd` through `DiskCalls::write_index`. False,
// with errno set, when a write failed.
bool write_index_lines(int fd, std::string_view bytes);

// Whether `error` (an errno value) comes from the save folder or the disk rather than from
// one file name: not a folder, no permission, read-only, no space, quota, I/O error.
bool is_storage_error(int error);
// What `error` means, for the log (GBK): a short Chinese text and the system's words.
std::string disk_error_cause(int error);

// A photo's bytes under a temporary name in the album folder, not yet in place. The
// destructor removes the temporary file unless it was put in place.
//
//   TemporaryPhoto photo(folder_path);               // creates the file (quick)
//   if (photo.write(bytes) && photo.finish(sync) && photo.put_in_place(name)) ...
//   else report(photo.error());
//
// Each photo of a group is written, its write-back started (start_writeback), then finished
// (flushed) on a thread of its own (a TaskThread of the saver), so that each flush finds its
// bytes on their way already and none holds up the fetches.
class TemporaryPhoto {
 public:
  explicit TemporaryPhoto(const std::string& folder_path);
  // Creates the file and writes `bytes` to it.
  TemporaryPhoto(const std::string& folder_path, const std::string& bytes);
  ~TemporaryPhoto();
  TemporaryPhoto(const TemporaryPhoto&) = delete;
  TemporaryPhoto& operator=(const TemporaryPhoto&) = delete;

  // Writes the bytes. False (nothing left) when the file could not be created or written.
  bool write(const std::string& bytes);
  // False when the temporary file could not be created or written (nothing is left).
  bool written() const { return written_; }
  // Asks the system to start writing the bytes to disk now, without waiting for it.
  void start_writeback();
  // Flushes the bytes to disk (when `sync`) and closes the file. False when the bytes may
  // be lost; a file system that cannot flush counts as flushed.
  bool finish(bool sync);
  // Renames the finished file to `file_name` (UTF-8, no separators) in the folder,
  // replacing a file of that name. False, the file still temporary, when the name is
  // refused; it may then be tried under another name.
  bool put_in_place(const std::string& file_name);
  // The same, but never over a file: EEXIST (the file still temporary) when the name is
  // taken.
  bool put_in_place_new(const std::string& file_name);
  // Removes the temporary file now.
  void discard();
  const std::string& path() const { return path_; }
  // The errno of the last failure (0: none).
  int error() const { return error_; }

 private:
  std::string folder_path_;
  std::string path_;
  int fd_ = -1;
  bool written_ = false;
  bool finished_ = false;
  bool placed_ = false;
  int error_ = 0;
};

// Renames `from` to `to` (paths in one folder or file system) unless `to` exists: 0, or the
// errno (EEXIST: `to` is taken). Never replaces a file, on file systems that cannot rename
// without replacing too.
int move_without_replacing(const std::string& from, const std::string& to);

// The whole of the regular file at `path` in `bytes`: 0, or the errno of the open or of a
// read (EINVAL: not a regular file; a named pipe does not hold the reader up).
int read_regular_file(const std::string& path, std::string& bytes);
// Whether the regular file at `path` holds exactly `bytes`.
bool file_holds(const std::string& path, std::string_view bytes);

// What a photo would meet under `file_name` (UTF-8) in `folder_path`, before it takes it.
enum class NameState {
  Free,     // no file of that name
  Same,     // a regular file holding exactly `bytes`: the photo itself, saved unindexed
  Taken,    // another file
  Refused,  // a name the file system does not take (too long, not a plain name)
  Failed,   // the folder cannot be looked into: `error` says why (a storage error)
};
NameState photo_name_state(const std::string& folder_path, const std::string& file_name, std::string_view bytes,
                           int& error);

// Makes the names in `folder_path` durable (a rename is a change of its folder). 0 when
// done, or when the file system cannot flush a folder; otherwise the errno.
int flush_folder(const std::string& folder_path);

// A temporary name for a photo before its rename, in `folder_path`: unique within the
// process for each `serial`, and recognised by remove_temporary_files.
std::string temporary_photo_path(const std::string& folder_path, std::uint64_t serial = 0);
// Whether `name` is such a temporary name.
bool is_temporary_photo_name(const std::string& name);
// Writes `bytes` under `file_name` (UTF-8, no separators) in `folder_path` through the
// temporary file; the whole file is replaced when it exists. False, with nothing left
// behind, when the name is refused or the bytes could not be written.
bool write_photo_file(const std::string& folder_path, const std::string& file_name, const std::string& bytes,
                      bool sync);
// Creates the folder and its parents (tried twice). True when it exists afterwards; else
// `error` (when given) receives the errno.
bool make_album_folder(const std::string& folder_path, int* error = nullptr);
// Removes temporary photo files that an ended or killed download left in `folder_path`:
// this process's own and those of processes no longer running; another running process's
// are left to it.
void remove_temporary_files(const std::string& folder_path);

}  // namespace af
