// SPDX-License-Identifier: GPL-3.0-or-later
// The albums of a user folder as the gallery page shows them, and the page written from them
// album by album, its photos read from the indexes as they are written out.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <limits>
#include <map>
#include <tuple>

#include "download/archive.h"
#include "download/gallery.h"
#include "download/index_scan.h"
#include "download/photo_file.h"
#include "util/codepage.h"

namespace af {

namespace {

namespace fs = std::filesystem;

// An album as the user folder's indexes give it: the album (with its photos only when they
// are kept), the folders holding its photos in the order read and how many each holds, and
// when its photos were saved (each second once).
struct AlbumSums {
  GalleryAlbum album;
  std::vector<std::string> folders;
  std::map<std::string, std::size_t> counts;
  std::size_t photos = 0;
  std::vector<std::int64_t> saved;
  void add_saved(std::int64_t seconds) {
    if (!saved.empty() && saved.back() == seconds) return;
    saved.push_back(seconds);
    if (saved.size() >= 2 * kept_ + 1024) compact();
  }
  void compact() {
    std::sort(saved.begin(), saved.end());
    saved.erase(std::unique(saved.begin(), saved.end()), saved.end());
    kept_ = saved.size();
  }

 private:
  std::size_t kept_ = 0;
};

GalleryPhoto gallery_photo(const IndexedPhoto& indexed, const std::string& folder) {
  GalleryPhoto photo;
  photo.file = indexed.file_name;
  photo.caption = gbk_to_utf8(indexed.caption);
  photo.uploaded = upload_time(indexed.timestamp);
  photo.feed_id = gbk_to_utf8(indexed.feed_id);
  photo.folder = folder;
  photo.saved = indexed.saved_at;
  return photo;
}

// A photo's album in its folder: its album id, or the folder's own for lines without one.
std::string album_key(const IndexedPhoto& photo, const std::string& folder) {
  return photo.album_id.empty() ? "\n" + folder : photo.album_id;
}

// The album folders of `user_folder`, by name.
std::vector<fs::path> album_folder_paths(const std::string& user_folder) {
  std::vector<fs::path> folders;
  std::error_code error;
  for (fs::directory_iterator it(user_folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    if (it->is_directory(ignored)) folders.push_back(it->path());
  }
  std::sort(folders.begin(), folders.end());
  return folders;
}

// Every album of the user folder, in the page's order. Photos of one album id from several
// folders make one album, placed at the folder that holds most of them; a file indexed more
// than once shows as its last line says, at its first place.
std::vector<AlbumSums> gather_albums(const std::string& user_folder, std::vector<std::string>* left_out,
                                     bool keep_photos) {
  std::map<std::string, AlbumSums> by_id;
  for (const fs::path& path : album_folder_paths(user_folder)) {
    const std::string name = path.filename().string();
    std::map<std::string, AlbumSums> found;  // the folder's albums, one per key
    IndexScan(path.string()).each([&](IndexedPhoto&& indexed) {
      AlbumSums& sums = found[album_key(indexed, name)];
      GalleryAlbum& album = sums.album;
      album.folder = name;
      album.album_id = indexed.album_id;
      if (album.name.empty()) album.name = gbk_to_utf8(indexed.album_caption);
      if (indexed.saved_at != 0 && (album.first_saved == 0 || indexed.saved_at < album.first_saved))
        album.first_saved = indexed.saved_at;
      sums.add_saved(indexed.saved_at);
      ++sums.photos;
      if (keep_photos) album.photos.push_back(gallery_photo(indexed, name));
      return true;
    });
    if (found.empty() && left_out && picture_file_count(path.string()) > 0) left_out->push_back(name);
    for (auto& [key, sums] : found) {
      if (sums.album.name.empty()) sums.album.name = name;
      const auto [at, added] = by_id.emplace(key, AlbumSums{});
      AlbumSums& whole = at->second;
      whole.counts[name] += sums.photos;
      whole.folders.push_back(name);
      whole.photos += sums.photos;
      for (const std::int64_t seconds : sums.saved) whole.add_saved(seconds);
      if (added) {
        whole.album = std::move(sums.album);
        continue;
      }
      GalleryAlbum& album = sums.album;
      whole.album.photos.insert(whole.album.photos.end(), std::make_move_iterator(album.photos.begin()),
                                std::make_move_iterator(album.photos.end()));
      if (album.first_saved != 0 && (whole.album.first_saved == 0 || album.first_saved < whole.album.first_saved))
        whole.album.first_saved = album.first_saved;
    }
  }
  std::vector<AlbumSums> albums;
  for (auto& [key, sums] : by_id) {
    std::size_t most = 0;
    for (const auto& [folder, count] : sums.counts)
      if (count > most) {
        most = count;
        sums.album.folder = folder;
      }
    sums.compact();
    albums.push_back(std::move(sums));
  }
  // Saved times are whole seconds, so several albums may begin in one: all but the last of
  // them were done within it. An album's first download ended with its last photo saved
  // before the next album began; what a later run added to it comes after that. Last, album
  // ids: decimal numbers.
  std::vector<std::int64_t> begun;
  for (const AlbumSums& sums : albums) begun.push_back(sums.album.first_saved);
  std::sort(begun.begin(), begun.end());
  std::vector<std::tuple<std::int64_t, std::int64_t, std::size_t, std::string, std::string, std::size_t>>
      keys;
  for (std::size_t i = 0; i < albums.size(); ++i) {
    const GalleryAlbum& album = albums[i].album;
    const auto next = std::upper_bound(begun.begin(), begun.end(), album.first_saved);
    const std::int64_t before = next == begun.end() ? std::numeric_limits<std::int64_t>::max() : *next;
    const std::vector<std::int64_t>& saved = albums[i].saved;
    const auto last = std::upper_bound(saved.begin(), saved.end(), before);
    const std::int64_t done = last == saved.begin() ? album.first_saved : std::max(album.first_saved, *(last - 1));
    keys.emplace_back(album.first_saved, done, album.album_id.size(), album.album_id, album.folder, i);
  }
  std::sort(keys.begin(), keys.end());
  std::vector<AlbumSums> ordered;
  for (const auto& key : keys) ordered.push_back(std::move(albums[std::get<5>(key)]));
  if (left_out) std::sort(left_out->begin(), left_out->end());
  return ordered;
}

// The page written through `page` in pieces of some 64 KiB.
class PageWriter {
 public:
  explicit PageWriter(TemporaryPhoto& page) : page_(page) {}
  void add(std::string_view text) {
    pending_ += text;
    if (pending_.size() >= 64 * 1024) flush();
  }
  bool flush() {
    if (ok_ && !pending_.empty()) ok_ = page_.write(pending_);
    pending_.clear();
    return ok_;
  }
  bool ok() const { return ok_; }

 private:
  TemporaryPhoto& page_;
  std::string pending_;
  bool ok_ = true;
};

// The page's data (see gallery_page), album by album, each album's photos read again from
// the indexes of its folders.
void write_page_data(PageWriter& out, const std::string& user_folder, const std::string& title,
                     const std::vector<AlbumSums>& albums) {
  out.add(gallery_data_text(gallery_data_opening(title)));
  for (std::size_t i = 0; i < albums.size() && out.ok(); ++i) {
    const GalleryAlbum& album = albums[i].album;
    out.add(gallery_data_text(gallery_album_opening(album, i == 0)));
    const std::string key = album.album_id.empty() ? "\n" + albums[i].folders.front() : album.album_id;
    bool first = true;
    for (const std::string& folder : albums[i].folders) {
      IndexScan(user_folder + "/" + folder).each([&](IndexedPhoto&& indexed) {
        if (album_key(indexed, folder) != key) return true;
        out.add(gallery_data_text((first ? "" : ",") + gallery_photo_row(gallery_photo(indexed, folder), album.folder)));
        first = false;
        return out.ok();
      });
    }
    out.add("]}");
  }
  out.add("]}");
}

}  // namespace

std::vector<GalleryAlbum> read_gallery_albums(const std::string& user_folder, std::vector<std::string>* left_out) {
  std::vector<GalleryAlbum> albums;
  for (AlbumSums& sums : gather_albums(user_folder, left_out, true)) albums.push_back(std::move(sums.album));
  return albums;
}

GalleryOutcome write_gallery_page(const std::string& user_folder) {
  GalleryOutcome outcome;
  const fs::path folder(user_folder);
  outcome.path = (folder / std::string(kGalleryPageName)).string();
  remove_temporary_files(user_folder);
  std::vector<std::string> left_out;
  // The albums and their order first; their photos are read again as the page is written,
  // so that the page is never held whole.
  const std::vector<AlbumSums> albums = gather_albums(user_folder, &left_out, false);
  if (albums.empty()) return outcome;
  outcome.albums = albums.size();
  for (const AlbumSums& album : albums) outcome.photos += album.photos;
  std::string title = folder.filename().string();
  if (title.empty()) title = folder.parent_path().filename().string();  // "a/b/" names b
  TemporaryPhoto page(user_folder);
  PageWriter out(page);
  out.add(gallery_page_opening(left_out));
  write_page_data(out, user_folder, title, albums);
  out.add(gallery_page_closing());
  if (out.flush() && page.written() && page.finish(true) && page.put_in_place(std::string(kGalleryPageName))) {
    outcome.result = GalleryOutcome::Written;
    return outcome;
  }
  outcome.result = GalleryOutcome::Failed;
  outcome.cause = disk_error_cause(page.error() != 0 ? page.error() : EIO);
  return outcome;
}

std::vector<std::string> gallery_user_folders(const std::string& folder) {
  const auto holds_album = [](const fs::path& path) {
    std::error_code error;
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
      std::error_code ignored;
      if (it->is_directory(ignored) &&
          fs::is_regular_file(it->path() / std::string(kAlbumIndexName), ignored))
        return true;
    }
    return false;
  };
  if (holds_album(folder)) return {folder};
  std::vector<std::string> users;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    if (it->is_directory(ignored) && holds_album(it->path())) users.push_back(it->path().string());
  }
  std::sort(users.begin(), users.end());
  return users;
}

}  // namespace af
