// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Names and bounds of the download: cleaned file and folder names, the album folder, the
// upload-time bounds. Texts are GBK; paths handed to the file system are UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "service/model.h"

namespace af {

// Seconds from 1970-01-01 08:00:00 to `value`: Unix time of a China Standard Time
// date-time, whatever the machine's time zone.
std::int64_t datetime_to_timestamp(const DateTime& value);

// Upload-time bounds of one album; a photo passes only strictly inside them.
struct UploadRange {
  std::int64_t start = 0;
  std::int64_t end = 9999999999;
  bool admits(std::int64_t timestamp) const { return start < timestamp && timestamp < end; }
};
// Off: 0 and 9999999999. On: the two pickers' timestamps.
UploadRange upload_range(bool enabled, const DateTime& start, const DateTime& end);

// Removes, in this order, every ":", "\", "/", "?", "*", "<", ">", "|", "：", "、", "？",
// "。", "（", "）", "·", "！", "，", ".", "...", " ", "&" (GBK-aware).
std::string sanitize_name(const std::string& text);

// A name part that came from the service, as it goes into a file name: sanitize_name,
// then every "?", every space (ASCII and full-width) and every control character removed.
std::string file_caption(const std::string& text);

// "<number>_<caption>_<feed id><extension>"; caption and feed id must be cleaned already.
std::string photo_file_name(std::int64_t number, const std::string& caption, const std::string& feed_id,
                            const std::string& extension);

// The longest file name the file system takes, in bytes of UTF-8 (Linux: 255 bytes, some
// eighty-five ideographs, where Windows takes 255 characters).
inline constexpr std::size_t kLongestFileName = 255;

// photo_file_name as the file system wants it (UTF-8), the caption shortened at a character
// boundary so that the whole name fits in kLongestFileName bytes; number and extension are
// kept whole, and the feed id too unless it cannot fit even with no caption: it is then
// shortened at a character boundary as well.
std::string fitted_photo_file_name(std::int64_t number, const std::string& caption,
                                   const std::string& feed_id, const std::string& extension);
// Whether photo_file_name(...) with this caption is at most 255 characters: a name that a
// file system counting characters takes whole.
bool photo_file_name_fits_in_characters(std::int64_t number, const std::string& caption,
                                        const std::string& feed_id, const std::string& extension);

// The names a photo's file is tried under (UTF-8), every part the service sent cleaned so
// none can leave the folder: its caption, then, when the file system refuses that name, the
// caption's ideographs only. A name of more than 255 characters is refused whole where
// names are counted in characters: `caption` is then empty and the ideographs come first.
// A name within 255 characters is kept, its caption shortened only as far as the UTF-8
// name's 255 bytes require.
struct PhotoFileNames {
  std::string caption;
  std::string ideographs;
};
PhotoFileNames photo_file_names(const PhotoEntry& entry, std::int64_t position);

// The `n`th name (from 1) a photo's file takes when `name` already belongs to another
// photo: "_" and the photo id before the extension, then "-2", "-3", ... after it; the
// part before is shortened at a character boundary when the whole would pass
// kLongestFileName bytes. The same photo always gets the same names. UTF-8.
std::string photo_name_variant(const std::string& name, const std::string& photo_id, int n);

// Where an album goes.
struct AlbumFolder {
  std::string user_folder;  // sanitized user title (GBK)
  std::string name;         // the album folder's name (GBK)
  std::string path;         // full folder path, UTF-8, no trailing separator
};
// One album as its folder is named: the trimmed album name, the photo-count text and the
// album id, all as the album table shows them (GBK).
struct AlbumNaming {
  std::string name;
  std::string count_text;
  std::string album_id;
};
// The folders of every album of one download, in order. `save_folder` is the save folder
// exactly as the operator gave it (UTF-8; empty: the program directory). A folder's name
// is the sanitized album name followed by the photo-count text; "_" and the album id are
// appended when the cleaned name is empty, and to every album whose folder would otherwise
// coincide with another album's (compared without ASCII case, as some file systems do), so
// no two albums share a folder and the same albums always get the same folders. Every
// name holds no control character and fits in kLongestFileName bytes (the name shortened
// at a character boundary, count and id kept).
std::vector<AlbumFolder> album_folders(const std::string& save_folder, const std::string& user_title,
                                       const std::vector<AlbumNaming>& albums);
// The folder of a single album (its id unknown): the first rule above without the id.
AlbumFolder album_folder(const std::string& save_folder, const std::string& user_title,
                         const std::string& album_name, const std::string& photo_count_text);

// Whether `folder_name` (UTF-8) is a name album_folders gives `album` under some photo
// count: its cleaned name, then digits, then nothing or "_" and its id (a cleaned name that
// is empty always has the id). An album folder without an index is known by this.
bool named_as_album(const std::string& folder_name, const AlbumNaming& album);

// Removes every control character (bytes below 0x20, and 0x7F); GBK trail bytes are never
// in that range, so characters stay whole.
std::string without_control_characters(const std::string& text);
// `shortened` + `kept` as a UTF-8 file name of at most kLongestFileName bytes: `shortened`
// is cut at a character boundary as far as needed, `kept` stays whole (when `kept` alone
// is too long the name stays too long).
std::string fitted_file_name(const std::string& shortened_utf8, const std::string& kept_utf8);

// A GBK file or folder name as the file system wants it (UTF-8 on Linux).
std::string file_system_name(const std::string& gbk_name);

}  // namespace af
