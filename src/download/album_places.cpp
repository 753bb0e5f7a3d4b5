// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/album_places.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>

#include "download/archive.h"
#include "download/index_scan.h"
#include "download/photo_file.h"
#include "util/codepage.h"

namespace af {

namespace fs = std::filesystem;

namespace {

constexpr int kNameVariants = 100;

// Whether the two regular files hold the same bytes (read only when their sizes agree).
bool same_file_bytes(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (::lstat(a.c_str(), &sa) != 0 || ::lstat(b.c_str(), &sb) != 0 || !S_ISREG(sa.st_mode) ||
      !S_ISREG(sb.st_mode) || sa.st_size != sb.st_size)
    return false;
  std::string bytes;
  return read_regular_file(a, bytes) == 0 && file_holds(b, bytes);
}

// Whether `folder` holds nothing but its index and temporary files.
bool holds_only_its_index(const std::string& folder) {
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name != kAlbumIndexName && !is_temporary_photo_name(name)) return false;
  }
  return !error;
}

std::string cause_text(int error) { return gbk_to_utf8(disk_error_cause(error)); }

// One source folder folded into the target.
void fold_folder(const std::string& user_folder, const std::string& album_id, const std::string& target,
                 const std::string& source, AlbumIndex& index, FoldOutcome& outcome) {
  const std::string from_folder = user_folder + "/" + source;
  const std::string to_folder = user_folder + "/" + target;
  std::vector<RawIndexLine> lines;
  if (read_raw_index_lines(from_folder, lines) != 0) return;
  // The line that holds for each file: the last one naming it.
  std::map<std::string, std::size_t> last;
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i].photo) last[lines[i].photo->file_name] = i;
  std::set<std::string> gone;  // files whose lines leave the source
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].photo || last[lines[i].photo->file_name] != i || lines[i].photo->album_id != album_id) continue;
    IndexedPhoto photo = *lines[i].photo;
    const std::string file = photo.file_name;
    const std::string path = from_folder + "/" + file;
    struct stat kind {};
    if (::lstat(path.c_str(), &kind) != 0) {
      if (errno != ENOENT) continue;
      // Missing already: the line goes along, unless its name is another photo's there.
      std::string error;
      const std::string owner = index.file_owner(file);
      if ((owner.empty() || owner == photo.photo_id) && index.add(photo, error)) {
        gone.insert(file);
        ++outcome.lines;
      }
      continue;
    }
    if (!S_ISREG(kind.st_mode)) continue;  // a folder or a link under a photo's name stays
    const std::string own = index.own_file(photo.photo_id);
    if (!own.empty() && same_file_bytes(path, to_folder + "/" + own)) {
      if (::unlink(path.c_str()) == 0) {
        gone.insert(file);
        ++outcome.duplicates;
      }
      continue;
    }
    int error = EEXIST;
    for (int n = 0; n <= kNameVariants && error == EEXIST; ++n) {
      const std::string name = n == 0 ? file : photo_name_variant(file, photo.photo_id, n);
      if (!index.file_owner(name).empty()) continue;
      photo.file_name = name;
      std::string index_error;
      if (!index.add(photo, index_error)) {
        error = EIO;
        outcome.failures.push_back(source + "/" + file + ": " + index.path() + ": " + gbk_to_utf8(index_error));
        break;
      }
      error = move_without_replacing(path, to_folder + "/" + name);
      if (error != 0) index.take_back();
    }
    if (error == 0) {
      gone.insert(file);
      ++outcome.moved;
    } else if (error != EIO) {
      outcome.failures.push_back(source + "/" + file + ": " + cause_text(error));
    }
  }
  if (gone.empty()) return;
  flush_folder(to_folder);
  std::vector<std::string> staying;
  for (const RawIndexLine& line : lines)
    if (!line.cut && !(line.photo && gone.count(line.photo->file_name) > 0)) staying.push_back(line.text);
  if (staying.empty() && holds_only_its_index(from_folder)) {
    std::error_code error;
    fs::remove_all(from_folder, error);
    if (!error) {
      outcome.removed.push_back(source);
      flush_folder(user_folder);
      return;
    }
  }
  if (const int error = rewrite_album_index(from_folder, staying); error != 0)
    outcome.failures.push_back(source + "/" + std::string(kAlbumIndexName) + ": " + cause_text(error));
}

}  // namespace

PlacedFolder read_placed_folder(const std::string& user_folder, const std::string& name) {
  PlacedFolder folder;
  folder.name = name;
  const IndexScan index(user_folder + "/" + name);
  std::map<std::string, std::size_t> counts;
  index.each([&](IndexedPhoto&& photo) {
    if (photo.album_id.empty()) return true;
    ++counts[photo.album_id];
    folder.album_ids.insert(photo.album_id);
    folder.last_saved = std::max(folder.last_saved, photo.saved_at);
    return true;
  });
  folder.photos = index.photos();
  folder.indexed = index.readable() && index.photos() > 0;
  std::size_t most = 0;
  for (const auto& [id, count] : counts)
    if (count > most) {
      most = count;
      folder.album_id = id;
    }
  return folder;
}

AlbumPlaces::AlbumPlaces(std::string user_folder) : user_folder_(std::move(user_folder)) {
  std::error_code error;
  for (fs::directory_iterator it(user_folder_, error), end; !error && it != end; it.increment(error)) {
    std::error_code kind_error;
    if (it->is_directory(kind_error) && !it->is_symlink(kind_error))
      folders_.push_back(read_placed_folder(user_folder_, it->path().filename().string()));
  }
  std::sort(folders_.begin(), folders_.end(),
            [](const PlacedFolder& a, const PlacedFolder& b) { return a.name < b.name; });
}

const PlacedFolder* AlbumPlaces::find(const std::string& name) const {
  for (const PlacedFolder& folder : folders_)
    if (folder.name == name) return &folder;
  return nullptr;
}

void AlbumPlaces::refresh(const std::string& name) {
  std::erase_if(folders_, [&](const PlacedFolder& folder) { return folder.name == name; });
  std::error_code error;
  if (!fs::is_directory(user_folder_ + "/" + name, error)) return;
  folders_.push_back(read_placed_folder(user_folder_, name));
  std::sort(folders_.begin(), folders_.end(),
            [](const PlacedFolder& a, const PlacedFolder& b) { return a.name < b.name; });
}

AlbumPlace AlbumPlaces::place(const AlbumNaming& album, const std::string& today_name) const {
  AlbumPlace place;
  const std::string& id = album.album_id;
  place.target = today_name;
  // Today's name held by another album's folder: the name the rule gives albums that meet.
  if (const PlacedFolder* there = find(today_name); there && there->indexed && there->album_id != id)
    place.target = fitted_file_name(today_name, "_" + gbk_to_utf8(file_caption(id)));
  // The album's folder: the one under today's name, else the one holding most of its
  // photos, else the one it wrote last.
  std::vector<const PlacedFolder*> own;
  for (const PlacedFolder& folder : folders_)
    if (folder.indexed && folder.album_id == id) own.push_back(&folder);
  const auto better = [&](const PlacedFolder* a, const PlacedFolder* b) {
    if ((a->name == place.target) != (b->name == place.target)) return a->name == place.target;
    if (a->photos != b->photos) return a->photos > b->photos;
    return a->last_saved > b->last_saved;
  };
  std::sort(own.begin(), own.end(), better);
  if (!own.empty()) {
    place.current = own.front()->name;
  } else {
    // Made with the index off: known by its name alone, today's name first.
    for (const PlacedFolder& folder : folders_)
      if (!folder.indexed && named_as_album(folder.name, album) &&
          (place.current.empty() || folder.name == place.target))
        place.current = folder.name;
  }
  for (const PlacedFolder& folder : folders_)
    if (folder.indexed && folder.name != place.current && folder.album_ids.count(id) > 0)
      place.others.push_back(folder.name);
  return place;
}

int rename_album_folder(const std::string& user_folder, const std::string& from, const std::string& to) {
  const std::string old_path = user_folder + "/" + from;
  const std::string new_path = user_folder + "/" + to;
  int error = move_without_replacing(old_path, new_path);
  // An empty folder under the new name (made by hand, or left by a file manager) gives way.
  if ((error == EEXIST || error == ENOTEMPTY) && ::rmdir(new_path.c_str()) == 0)
    error = move_without_replacing(old_path, new_path);
  if (error == 0) flush_folder(user_folder);
  return error;
}

FoldOutcome fold_album(const std::string& user_folder, const std::string& album_id, const std::string& target,
                       const std::vector<std::string>& sources) {
  FoldOutcome outcome;
  if (sources.empty()) return outcome;
  int error = 0;
  if (!make_album_folder(user_folder + "/" + target, &error)) {
    outcome.failures.push_back(target + ": " + cause_text(error));
    return outcome;
  }
  AlbumIndex index(user_folder + "/" + target);
  for (const std::string& source : sources)
    if (source != target) fold_folder(user_folder, album_id, target, source, index, outcome);
  return outcome;
}

namespace {

// The album ids held in several of `places`' folders, with those folders' names.
std::vector<std::pair<std::string, std::vector<std::string>>> split_albums(const AlbumPlaces& places) {
  std::map<std::string, std::vector<std::string>> by_id;
  for (const PlacedFolder& folder : places.folders())
    for (const std::string& id : folder.album_ids) by_id[id].push_back(folder.name);
  std::vector<std::pair<std::string, std::vector<std::string>>> split;
  for (auto& [id, names] : by_id)
    if (names.size() > 1) split.emplace_back(id, std::move(names));
  return split;
}

}  // namespace

std::vector<std::pair<std::string, std::vector<std::string>>> split_albums(const std::string& user_folder) {
  return split_albums(AlbumPlaces(user_folder));
}

std::vector<FoldedAlbum> fold_user_folder(const std::string& user_folder) {
  std::vector<FoldedAlbum> folded;
  // The folder is read once; each fold reads again only the folders it changed.
  AlbumPlaces places(user_folder);
  for (const auto& [id, names] : split_albums(places)) {
    // The album's own folder written last; an id found only among other albums' photos
    // has no folder of its own to go to and stays.
    const PlacedFolder* target = nullptr;
    for (const PlacedFolder& folder : places.folders())
      if (folder.album_id == id && (!target || folder.last_saved > target->last_saved ||
                                    (folder.last_saved == target->last_saved && folder.photos > target->photos)))
        target = &folder;
    if (!target) continue;
    FoldedAlbum album{id, target->name, {}, {}};
    for (const std::string& name : names)
      if (name != album.target) album.sources.push_back(name);
    album.outcome = fold_album(user_folder, id, album.target, album.sources);
    places.refresh(album.target);
    for (const std::string& source : album.sources) places.refresh(source);
    folded.push_back(std::move(album));
  }
  return folded;
}

}  // namespace af
