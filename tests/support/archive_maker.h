// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A user folder as downloads leave it, made without a download: album folders holding small
// real JPEG files and their album indexes, written by the engine's own index writer.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "download/archive.h"
#include "sample_images.h"
#include "util/codepage.h"

namespace aftest {

struct ArchivePhoto {
  std::string caption;    // UTF-8, any character
  std::int64_t uploaded;  // Unix seconds
  std::string feed_id{};  // empty: the photo id
};

// The album id that make_archive_album gives the album `name`: one per name.
inline std::string archive_album_id(const std::string& name) {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (const unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  return "38" + std::to_string(hash % 100000000);
}

// Album `folder` of `user_folder`: one JPEG and one index line per photo, saved at `saved`
// (seconds); photo ids from `saved`, files "<n>_<feed id>.jpg"; album id `album_id`, or
// archive_album_id(album_name) when empty. Returns the file names in order.
inline std::vector<std::string> make_archive_album(const std::string& user_folder, const std::string& folder,
                                                   const std::string& album_name,
                                                   const std::vector<ArchivePhoto>& photos,
                                                   std::int64_t saved, const std::string& album_id = {}) {
  const std::string path = user_folder + "/" + folder;
  std::filesystem::create_directories(path);
  af::AlbumIndex index(path);
  std::vector<std::string> names;
  for (std::size_t i = 0; i < photos.size(); ++i) {
    const std::string photo_id =
        std::to_string(4000000000000000 + saved * 1000 + static_cast<std::int64_t>(i));
    const std::string feed_id = photos[i].feed_id.empty() ? photo_id : photos[i].feed_id;
    const std::string name = std::to_string(i + 1) + "_" + feed_id + ".jpg";
    std::ofstream(path + "/" + name, std::ios::binary) << afsample::make_jpeg(photo_id);
    af::IndexedPhoto photo;
    photo.file_name = name;
    photo.photo_id = photo_id;
    photo.feed_id = feed_id;
    photo.timestamp = std::to_string(photos[i].uploaded);
    photo.caption = af::utf8_to_gb18030(photos[i].caption);
    photo.image_address = "http://ww1.sinaimg.cn/large/" + feed_id + ".jpg";
    photo.album_id = album_id.empty() ? archive_album_id(album_name) : album_id;
    photo.album_caption = af::utf8_to_gb18030(album_name);
    photo.saved_at = saved;
    std::string error;
    index.add(photo, error);
    names.push_back(name);
  }
  return names;
}

}  // namespace aftest
