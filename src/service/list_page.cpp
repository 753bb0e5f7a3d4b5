// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/list_page.h"

#include <string_view>

#include "util/escapes.h"
#include "util/json_document.h"
#include "util/text.h"

namespace af {
namespace {

std::string without(std::string_view text, std::string_view piece) { return replace_text(text, piece, ""); }

std::string member_text(const JsonDocument& item, std::string_view name) {
  return without(item.member(name).to_text(), "\"");
}

std::string address_part(const JsonDocument& item, std::string_view name) {
  return without(without(item.member(name).to_text(), "\\"), "\"");
}

ListedAlbum listed_album(const JsonDocument& album) {
  return {decode_escapes(without(album.member("caption").to_text(), "\"")),
          without(without(album.member("cover_pic").to_text(), "\""), "\\"),
          without(album.member("count").member("photos").to_text(), "\""),
          {without(album.member("album_id").to_text(), "\""), without(album.member("type").to_text(), "\"")}};
}

}  // namespace

AlbumPage read_album_page(const JsonDocument& root) {
  AlbumPage page;
  const JsonDocument list = root.member("data").member("album_list");
  const int n = list.array_size();
  for (int i = 0; i < n; ++i) page.albums.push_back(listed_album(list.element(i)));
  page.total = to_int32(without(root.member("data").member("total").to_text(), "\""));
  return page;
}

PhotoEntry read_photo_entry(const JsonDocument& item) {
  PhotoEntry entry;
  entry.photo_id = member_text(item, "photo_id");
  entry.timestamp = member_text(item, "timestamp");
  entry.pic_host = address_part(item, "pic_host");
  entry.pic_name = address_part(item, "pic_name");
  entry.image_address = entry.pic_host + kImagePath + entry.pic_name;
  entry.extension = contains_text(entry.pic_name, ".gif") ? ".gif" : ".jpg";
  entry.feed_id = member_text(item, "feed_id");
  entry.caption_render = member_text(item, "caption_render");
  entry.caption_full = item.member("caption_render").string_value();
  return entry;
}

}  // namespace af
