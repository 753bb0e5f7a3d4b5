// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where each album lives in a user folder: one folder per album id, across every download.
//
//   AlbumPlaces places(user_folder);                  // each folder's index read once
//   AlbumPlace place = places.place(naming, today);   // today: album_folders' name for it
//   rename place.current to place.target when they differ (rename_album_folder), then
//   fold_album(user_folder, id, place.target, place.others);
//   places.refresh(...) for every folder that changed.
//
// A folder belongs to the album id that most of its indexed photos carry. A folder without
// an index that can be read (made with the index switched off) belongs to the album that
// album_folders would have named it after under some photo count (named_as_album). Photo
// files keep their names when they move: a name that is another photo's in the folder they
// move to takes a variant (photo_name_variant). Nothing here replaces a file.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "download/naming.h"

namespace af {

struct PlacedFolder {
  std::string name;          // the folder's name (UTF-8)
  std::string album_id;      // GBK: the id most of its indexed photos carry; empty: none
  std::set<std::string> album_ids;  // every album id its indexed photos carry
  bool indexed = false;      // its index names photos
  std::size_t photos = 0;    // indexed photos
  std::int64_t last_saved = 0;
};

// The album's folder as a download finds it.
struct AlbumPlace {
  std::string current;  // the folder holding the album now (UTF-8 name); empty: none yet
  std::string target;   // the name it has today: album_folders' name, or that name with "_"
                        // and the id when another album's folder holds that name already
  std::vector<std::string> others;  // further folders holding photos of the album
};

class AlbumPlaces {
 public:
  explicit AlbumPlaces(std::string user_folder);
  AlbumPlace place(const AlbumNaming& album, const std::string& today_name) const;
  // Reads the folder `name` again (gone: forgotten).
  void refresh(const std::string& name);
  const std::vector<PlacedFolder>& folders() const { return folders_; }
  const std::string& user_folder() const { return user_folder_; }

 private:
  const PlacedFolder* find(const std::string& name) const;
  std::string user_folder_;
  std::vector<PlacedFolder> folders_;  // by name
};

// What one folder of a user folder holds, from its index.
PlacedFolder read_placed_folder(const std::string& user_folder, const std::string& name);

// Renames the album folder `from` to `to` (names in `user_folder`), never over another
// folder or file; an empty folder under the new name gives way. 0, or the errno.
int rename_album_folder(const std::string& user_folder, const std::string& from, const std::string& to);

struct FoldOutcome {
  std::size_t moved = 0;       // photo files moved into the target
  std::size_t duplicates = 0;  // byte-identical second copies of a photo the target holds, removed
  std::size_t lines = 0;       // index lines carried over whose files were missing already
  std::vector<std::string> removed;   // source folders emptied and removed (UTF-8 names)
  std::vector<std::string> failures;  // "<folder>/<file>: <cause>" (UTF-8), left where they were
  bool changed() const { return moved + duplicates + lines + removed.size() > 0; }
};

// Moves the photos of `album_id` (their index lines' album_id) from each of `sources` into
// `target` (folder names in `user_folder`), each under its name or, when that is another
// photo's there, a variant; its index line goes with it, appended to the target's index
// before the move. A photo the target holds with the same bytes already loses only the
// second copy. Lines of files that were missing already are carried too. A source left
// with nothing but its index is removed; otherwise its index is rewritten (whole, then
// renamed into place) with the lines that stay. Lines that are no whole object or name no
// file of the folder stay where they are, untouched.
FoldOutcome fold_album(const std::string& user_folder, const std::string& album_id, const std::string& target,
                       const std::vector<std::string>& sources);

// Every album id held in several folders of `user_folder`, folded into the folder it
// belongs to that was written last (the one named as the last download saw the album).
// For each fold, the target's name, the sources' and the outcome.
struct FoldedAlbum {
  std::string album_id;
  std::string target;
  std::vector<std::string> sources;
  FoldOutcome outcome;
};
std::vector<FoldedAlbum> fold_user_folder(const std::string& user_folder);

// The album ids of `user_folder` held in several folders, with those folders' names.
std::vector<std::pair<std::string, std::vector<std::string>>> split_albums(const std::string& user_folder);

}  // namespace af
