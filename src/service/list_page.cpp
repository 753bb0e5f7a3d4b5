// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/list_page.h"

#include "util/escapes.h"
#include "util/json_document.h"
#include "util/text.h"

namespace af {
namespace {

// An address: its escapes' backslashes (those of "\/" above all) left out.
std::string address_text(const JsonDocument& value) { return replace_text(answer_text(value), "\\", ""); }

ListedAlbum read_album(const JsonDocument& album) {
  ListedAlbum listed;
  listed.caption = decode_escapes(answer_text(album.member("caption")));
  listed.cover = address_text(album.member("cover_pic"));
  listed.photos = answer_text(album.member("count").member("photos"));
  listed.album = {answer_text(album.member("album_id")), answer_text(album.member("type"))};
  return listed;
}

}  // namespace

std::string answer_text(const JsonDocument& value) { return replace_text(value.to_text(), "\"", ""); }

AlbumPage read_album_page(const JsonDocument& root) {
  AlbumPage page;
  const JsonDocument data = root.member("data");
  const JsonDocument list = data.member("album_list");
  for (int i = 0; i < list.array_size(); ++i) page.albums.push_back(read_album(list.element(i)));
  page.total = to_int32(answer_text(data.member("total")));
  return page;
}

std::vector<PhotoEntry> read_photo_page(const JsonDocument& root) {
  std::vector<PhotoEntry> photos;
  const JsonDocument list = root.member("data").member("photo_list");
  for (int i = 0; i < list.array_size(); ++i) photos.push_back(read_photo_entry(list.element(i)));
  return photos;
}

PhotoEntry read_photo_entry(const JsonDocument& item) {
  PhotoEntry entry;
  entry.photo_id = answer_text(item.member("photo_id"));
  entry.timestamp = answer_text(item.member("timestamp"));
  entry.pic_host = address_text(item.member("pic_host"));
  entry.pic_name = address_text(item.member("pic_name"));
  entry.image_address = entry.pic_host + kImagePath + entry.pic_name;
  entry.extension = contains_text(entry.pic_name, ".gif") ? ".gif" : ".jpg";
  entry.feed_id = answer_text(item.member("feed_id"));
  entry.caption_render = answer_text(item.member("caption_render"));
  entry.caption_full = item.member("caption_render").string_value();
  return entry;
}

}  // namespace af
