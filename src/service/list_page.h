// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a usable list answer holds, read out of its JSON once (judge_list_answer): an album
// page or the photos of a photo page.
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
// The photos of a photo list answer (its root), in list order.
std::vector<PhotoEntry> read_photo_page(const JsonDocument& root);
// One item of a photo list page.
PhotoEntry read_photo_entry(const JsonDocument& item);

// A member of an answer of the service as the program has always read it: the value as
// JSON writes it, without its quote marks. A string reads as itself unless it holds a
// quote mark, a backslash, a slash or a control character, which keep the escapes JSON
// writes for them (`a"b` reads `a\b`, `a/b` reads `a\/b`); a number reads as its digits (a
// fraction with six decimals), a missing or null member as "null".
std::string answer_text(const JsonDocument& value);

}  // namespace af
