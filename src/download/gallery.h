// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The page a person looks through: "相册浏览.html" in a user folder, made from the album
// indexes of its album folders, opened in any browser.
//
//   GalleryOutcome page = write_gallery_page(user_folder);   // after an album, or on demand
//   if (page.result == GalleryOutcome::Failed) report(page.path, page.cause);
//
// The page holds its own style and script and names every photo by a relative address, so
// the user folder can be moved or copied whole; it asks nothing of the network. The texts
// of the indexes (captions, names) reach the page only as JSON data that its script puts
// into the document as text, so no caption can add markup or run a script; the one text
// outside the data, the folders left out, is written with its markup characters escaped.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace af {

inline constexpr std::string_view kGalleryPageName = "相册浏览.html";  // UTF-8

struct GalleryPhoto {
  std::string file;                      // the file name in the album folder (UTF-8)
  std::string caption;                   // the whole caption (UTF-8)
  std::optional<std::int64_t> uploaded;  // Unix seconds
  std::string feed_id;                   // the post the photo belongs to
  std::string folder{};                  // its album folder's name, when not the album's own (UTF-8)
  std::int64_t saved = 0;                // when it was saved (Unix seconds; 0: not known)
};

struct GalleryAlbum {
  std::string folder;                // the album folder's name (UTF-8): where most of its photos are
  std::string name;                  // the album's name as its index gives it, else the folder's
  std::vector<GalleryPhoto> photos;  // in index order
  std::int64_t first_saved = 0;      // when its first photo was saved
  std::string album_id{};            // as its index lines give it ("" for lines without one)
};

// The albums of `user_folder`'s album folders whose index holds at least one photo, one per
// album id (an album split over several folders by an earlier release is one), each with its
// photos in index order, folder by folder. Albums are downloaded one after another in the
// album list's order, and come in that order: by when their first photos were saved; of
// albums begun in the same second, the one whose first download was done first (its last
// photo saved before a later album began); then by album id, as a number. The folders that
// hold picture files but no index that names one of them (none, unreadable, only bad lines)
// go to `left_out` by name, when given.
std::vector<GalleryAlbum> read_gallery_albums(const std::string& user_folder,
                                              std::vector<std::string>* left_out = nullptr);

// The whole page (UTF-8 HTML) for the user `title` (UTF-8). The folders `left_out` are
// named in a line under the header, as text.
std::string gallery_page(const std::string& title, const std::vector<GalleryAlbum>& albums,
                         const std::vector<std::string>& left_out = {});

// The page in pieces, for writing it without holding it: the opening (up to its data), the
// data's texts (a JSON text made safe inside the page's script element: no "<", ">" or "&"
// outside a \u escape), a text, the data's opening, an album's opening (up to its photos)
// and a photo's row as the data writes them, and the closing. gallery_page is the opening,
// the data of every album (each album's photos then "]}", the albums then "]}") and the
// closing.
std::string gallery_page_opening(const std::vector<std::string>& left_out);
std::string gallery_data_text(std::string_view json);
std::string gallery_json_text(const std::string& text);
std::string gallery_data_opening(const std::string& title);
std::string gallery_album_opening(const GalleryAlbum& album, bool first);
std::string gallery_photo_row(const GalleryPhoto& photo, const std::string& album_folder);
std::string_view gallery_page_closing();

struct GalleryOutcome {
  enum Result { Written, NoAlbums, Failed } result = NoAlbums;
  std::string path;  // the page (UTF-8)
  std::size_t albums = 0;
  std::size_t photos = 0;
  std::string cause;  // Failed: why (GBK)
};

// Writes the page of `user_folder` (titled by the folder's name) through a temporary file
// renamed into place, so a reader never sees half a page; the page is written album by
// album as the indexes are read, never held whole; the temporary files an earlier
// write left there (killed before its rename) go first. No album with an index: nothing
// is written (NoAlbums).
GalleryOutcome write_gallery_page(const std::string& user_folder);

// The user folders of `folder`: the folder itself when one of its folders holds an album
// index, else those of its folders that do (a save folder of user folders), by name.
std::vector<std::string> gallery_user_folders(const std::string& folder);

}  // namespace af
