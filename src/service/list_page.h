// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a usable list answer holds: an album page or a photo page, read out of its JSON.
#include <cstdint>
#include <string>
#include <vector>

#include "service/model.h"

namespace af {

class JsonDocument;

// One album of an album page.
struct ListedAlbum {
  std::string caption;  // escapes decoded
  std::string cover;    // the cover's address
  std::string photos;   // count.photos as the album table shows it
  AlbumRef album;
};

struct AlbumPage {
  std::int32_t total = 0;  // data.total, a number or a numeric text; 0 when missing
  std::vector<ListedAlbum> albums;
};

// The page of an album list answer (its root).
AlbumPage read_album_page(const JsonDocument& root);

// One item of a photo list page.
PhotoEntry read_photo_entry(const JsonDocument& item);

}  // namespace af
