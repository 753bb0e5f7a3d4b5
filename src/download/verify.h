#pragma once
// Whether the photos of an archive are still what was saved, and their repair.
//
//   for (const std::string& folder : indexed_album_folders(root)) {
//     const AlbumCheck check = check_album(folder);
//     for (const PhotoCheck& photo : check.photos) if (photo.state != PhotoState::Sound) ...
//   }
//
// A photo whose index line holds its size and SHA-256 is sound when its file is there with
// those bytes and is a whole picture; a line written before these were kept is checked by
// presence and picture only. Nothing here changes a file except move_aside and
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
  std::vector<PhotoCheck> photos;        // one per indexed file, in index order
  std::vector<std::string> not_indexed;  // files no index line names, by name
  std::size_t count(PhotoState state) const;
};

// `root` itself, its folders and theirs (a save folder, a user folder or an album folder)
// that hold an album index, by path.
std::vector<std::string> indexed_album_folders(const std::string& root);

// Reads each indexed file once. `buffer` is reused between photos, so memory stays at the
// size of the largest photo.
PhotoState check_photo(const std::string& path, const IndexedPhoto& photo, std::string& buffer);
AlbumCheck check_album(const std::string& folder);

// The photo ids of `folder`'s index lines that hold a size and a SHA-256, that `wanted`
// takes (asked in index order, at most once a line) and whose file is there with that
// size and SHA-256: photos saved whole. Only those files are read.
std::vector<std::string> whole_indexed_photos(const std::string& folder,
                                              const std::function<bool(const std::string& photo_id)>& wanted);

// Renames `file_name` in `folder` to "<file_name>.damaged" (then ".damaged-2", ...), never
// replacing a file. The new name, or empty with the errno in `error`.
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
