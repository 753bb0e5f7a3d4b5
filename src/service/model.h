// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the photo service describes, as the engine carries it: where the service lives, a
// user, an album, a photo (and, from core, the date-time of the upload-time bounds). Texts
// are GBK.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/dates.h"
#include "util/text.h"

namespace af {

// The photo service asked unless told otherwise (--service-base). No trailing slash.
inline constexpr std::string_view kDefaultServiceBase = "http://photo.weibo.com";
// The paths asked: the lists and a user's album overview ("/<user id>" before it) after the
// base, the profile info after the home page's host, an image after the photo's host.
inline constexpr char kAlbumListPath[] = "/albums/get_all";
inline constexpr char kPhotoListPath[] = "/photos/get_all";
inline constexpr char kAlbumOverviewPath[] = "/albums/";
inline constexpr char kProfileInfoPath[] = "/ajax/profile/info";
inline constexpr char kImagePath[] = "/large/";

struct ServiceEndpoints {
  std::string photo_base{kDefaultServiceBase};
};

// The values the two user commands leave behind for the album list and the download.
struct ResolvedUser {
  std::string home_page_address;  // the normalized address last fetched
  std::string user_id;            // digits as text; may be empty
  std::string user_title;         // text of <title>; written by get_albums only
  // Why no user could be had (GBK words for a person: the home page could not be fetched,
  // it was a login page, no id was found); empty when user_id was found.
  std::string failure;
};

// One album of a user: its id and type as the photo list is asked for them. Made of both
// (never of one text by mistake) or empty.
struct AlbumRef {
  AlbumRef() = default;
  AlbumRef(std::string album_id, std::string album_type)
      : id(std::move(album_id)), type(std::move(album_type)) {}
  std::string id;
  std::string type;
  bool empty() const { return id.empty() && type.empty(); }
  bool operator==(const AlbumRef&) const = default;
};

// An album's photo count as the album list stated it, read once: the number the photo list
// is paged by and progress is measured against (cut to a 32-bit signed integer), and the text
// the table, the album folder's name and the progress counter show (the digits, or "null"
// for an answer that stated none). An empty text: no count at all.
struct PhotoCount {
  PhotoCount() = default;
  PhotoCount(std::int64_t stated) : PhotoCount(of_text(std::to_string(stated))) {}
  // The count of a stated text: the digits it starts with, 0 for none (to_int32).
  static PhotoCount of_text(std::string stated) {
    PhotoCount count;
    count.number = to_int32(stated);
    count.text = std::move(stated);
    return count;
  }
  std::int64_t number = 0;
  std::string text;
  bool stated() const { return !text.empty(); }
  bool operator==(const PhotoCount&) const = default;
};

// "<id>@@<type>", the text of the album table's hidden id column.
inline std::string album_ref_text(const AlbumRef& album) { return album.id + "@@" + album.type; }

// The album of such a text. Anything but two pieces keeps the whole text as the id and an
// empty type, so "1@@2@@3" and "123@@" are ids of their own.
inline AlbumRef parse_album_ref(const std::string& text) {
  const std::vector<std::string> pieces = split_text(text, "@@");
  if (pieces.size() == 2) return {pieces[0], pieces[1]};
  return {text, {}};
}

struct PhotoEntry {
  std::string photo_id;
  std::string timestamp;
  std::string pic_host;
  std::string pic_name;
  std::string image_address;  // pic_host + kImagePath + pic_name
  std::string extension;      // ".gif" when pic_name contains ".gif", else ".jpg"
  std::string feed_id;
  std::string caption_render;
  // The caption as the service sent it, escapes decoded (GBK/GB18030), for the album index.
  std::string caption_full;
};

}  // namespace af
