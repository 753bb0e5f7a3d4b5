// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Whether the photos of an archive are still what was saved, and their repair.
//
//   for (const std::string& folder : album_folders_to_check(root)) {
//     const AlbumCheck check = check_album(folder);
//     if (check.unchecked()) ...   // pictures, but no index to check them against
//     for (const PhotoCheck& photo : check.photos) if (photo.state != PhotoState::Sound) ...
//   }
//
// A photo whose index line holds its size and SHA-256 is sound when its file is there with
// those bytes and is a whole picture; a line written before these were kept is checked by
// presence and picture only. A line that names no file of the folder itself is a bad line,
// never followed: it is only told. Nothing here changes a file except move_aside and
// forget_photos, which a repair calls.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "download/archive.h"

namespace af {

enum class PhotoState {
  Sound,
  Missing,  // no file under its name
  Changed,  // other bytes than were saved, still a whole picture
  Damaged,  // other bytes, no whole picture (cut short, overwritten), or unreadable
};
// "sound", "missing", "changed", "damaged".
const char* photo_state_name(PhotoState state);

struct PhotoCheck {
  IndexedPhoto photo;
  PhotoState state = PhotoState::Sound;
};

struct AlbumCheck {
  std::string folder;                    // UTF-8 path
  // One per indexed file, in index order; left empty when the photos are handed on one by
  // one instead (check_album with `each`).
  std::vector<PhotoCheck> photos;
  std::size_t checked = 0;               // indexed files checked
  std::size_t states[4] = {};            // of them, by PhotoState
  std::vector<std::string> not_indexed;  // files no index line names, by name
  std::vector<BadIndexLine> bad_lines;   // lines of the index that were not followed
  int index_error = 0;                   // the index could not be read: the errno (ENOENT: none)
  bool index_whole = true;               // the index holds a whole line
  std::size_t picture_files = 0;         // the folder's picture files (picture_file_count)
  std::size_t count(PhotoState state) const;
  // Picture files that no index can be read for: none of them was checked.
  bool unchecked() const { return picture_files > 0 && (index_error != 0 || !index_whole); }
};

// `root` itself, its folders and theirs (a save folder, a user folder or an album folder)
// that hold an album index, or picture files without one, by path.
std::vector<std::string> album_folders_to_check(const std::string& root);

// Reads each indexed file once. `buffer` is reused between photos, so memory stays at the
// size of the largest photo.
PhotoState check_photo(const std::string& path, const IndexedPhoto& photo, std::string& buffer);
// With `each`, the photos are handed on as they are checked and not kept, so that the memory
// stays the same whatever the album's size; `ready` is told first, once the index has been
// read (bad lines, index_error, index_whole and picture_files known), and returns false to
// check no photo.
AlbumCheck check_album(const std::string& folder,
                       const std::function<bool(const AlbumCheck& check)>& ready = {},
                       const std::function<void(const PhotoCheck& photo)>& each = {});

// The photo ids of `folder`'s index lines that hold a size and a SHA-256, that `wanted`
// takes (asked in index order, at most once a line) and whose file is there with that
// size and SHA-256: photos saved whole. Only those files are read.
std::vector<std::string> whole_indexed_photos(const std::string& folder,
                                              const std::function<bool(const std::string& photo_id)>& wanted);

// Renames the regular file `file_name` in `folder` to "<file_name>.damaged" (then
// ".damaged-2", ...), never replacing a file. The new name, or empty with the errno in
// `error` (EISDIR: a folder; EINVAL: another kind of file, or a name that is not indexable).
std::string move_aside(const std::string& folder, const std::string& file_name, int& error);

// Removes the photo ids from every download record ("*.dlr") in `program_dir`, so that the
// next download with the record on fetches those photos again.
struct RecordChange {
  std::string path;
  int removed = 0;  // -1: the record could not be changed
};
std::vector<RecordChange> forget_photos(const std::string& program_dir,
                                        const std::vector<std::string>& photo_ids);

}  // namespace af
