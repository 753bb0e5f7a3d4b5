// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/naming.h"

#include <chrono>
#include <map>
#include <set>

#include "core/paths.h"
#include "util/codepage.h"
#include "util/regex_matcher.h"
#include "util/text.h"

namespace af {

std::int64_t datetime_to_timestamp(const DateTime& value) {
  using namespace std::chrono;
  const auto date = year_month_day{year{value.year}, month{static_cast<unsigned>(value.month)},
                                   day{static_cast<unsigned>(value.day)}};
  const std::int64_t days = sys_days{date}.time_since_epoch().count();
  constexpr std::int64_t kChinaOffset = 8 * 3600;
  return days * 86400 + std::int64_t{value.hour} * 3600 + std::int64_t{value.minute} * 60 + value.second -
         kChinaOffset;
}

UploadRange upload_range(bool enabled, const DateTime& start, const DateTime& end) {
  if (!enabled) return {};
  return {datetime_to_timestamp(start), datetime_to_timestamp(end)};
}

std::string sanitize_name(const std::string& text) {
  static const std::string kRemoved[] = {":",    "\\",    "/",     "?",     "*",     "<",     ">",
                                         "|",    G("："), G("、"), G("？"), G("。"), G("（"), G("）"),
                                         G("·"), G("！"), G("，"), ".",     "...",   " ",     "&"};
  std::string result = text;
  for (const auto& removed : kRemoved) result = replace_text(result, removed, "");
  return result;
}

std::string file_caption(const std::string& text) {
  return without_control_characters(remove_spaces(replace_text(sanitize_name(text), "?", "")));
}

std::string without_control_characters(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) result += c;
  return result;
}

namespace {

// At most `room` bytes of `utf8`, cut before the character that does not fit whole (never
// inside a UTF-8 sequence).
std::string utf8_prefix(std::string utf8, std::size_t room) {
  if (utf8.size() <= room) return utf8;
  std::size_t cut = room;
  while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;
  utf8.resize(cut);
  return utf8;
}

}  // namespace

std::string fitted_file_name(const std::string& shortened_utf8, const std::string& kept_utf8) {
  const std::size_t room = kept_utf8.size() < kLongestFileName ? kLongestFileName - kept_utf8.size() : 0;
  return utf8_prefix(shortened_utf8, room) + kept_utf8;
}

std::string photo_file_name(std::int64_t number, const std::string& caption, const std::string& feed_id,
                            const std::string& extension) {
  return std::to_string(number) + "_" + caption + "_" + feed_id + extension;
}

std::string file_system_name(const std::string& gbk_name) { return gbk_to_utf8(gbk_name); }

std::string fitted_photo_file_name(std::int64_t number, const std::string& caption,
                                   const std::string& feed_id, const std::string& extension) {
  const std::string head = file_system_name(std::to_string(number) + "_");
  const std::string extension_utf8 = file_system_name(extension);
  // A post id too long for the name even without a caption is shortened too; the number
  // keeps the photos of one album apart.
  const std::size_t fixed = head.size() + 1 + extension_utf8.size();
  const std::string feed =
      utf8_prefix(file_system_name(feed_id), fixed < kLongestFileName ? kLongestFileName - fixed : 0);
  const std::string tail = "_" + feed + extension_utf8;
  // The number goes first, so it is kept by fitting the caption against head and tail.
  const std::string fitted = fitted_file_name(file_system_name(caption), head + tail);
  return head + fitted.substr(0, fitted.size() - head.size() - tail.size()) + tail;
}

bool photo_file_name_fits_in_characters(std::int64_t number, const std::string& caption,
                                        const std::string& feed_id, const std::string& extension) {
  return gbk_to_utf16(photo_file_name(number, caption, feed_id, extension)).size() <= kLongestFileName;
}

PhotoFileNames photo_file_names(const PhotoEntry& entry, std::int64_t position) {
  const std::string caption = file_caption(entry.caption_render);
  const std::string feed_id = file_caption(entry.feed_id);
  PhotoFileNames names;
  if (photo_file_name_fits_in_characters(position, caption, feed_id, entry.extension))
    names.caption = fitted_photo_file_name(position, caption, feed_id, entry.extension);
  names.ideographs = fitted_photo_file_name(position, ideographs_only(caption), feed_id, entry.extension);
  return names;
}

namespace {

// A name from the service as a folder name: sanitized, no control character.
std::string cleaned_folder_part(const std::string& text) {
  return without_control_characters(sanitize_name(text));
}

std::string ascii_lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// The folder name (UTF-8) of an album: `cleaned` shortened as needed, then `kept`.
std::string folder_file_name(const std::string& cleaned, const std::string& kept) {
  return fitted_file_name(file_system_name(cleaned), file_system_name(kept));
}

std::string base_path(const std::string& save_folder, const std::string& user_folder) {
  std::string path = save_folder.empty() ? program_directory() : save_folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (!user_folder.empty()) path += "/" + fitted_file_name(file_system_name(user_folder), "");
  return path;
}

// The part of the name a folder's UTF-8 file name holds, back in GBK.
std::string gbk_name_of(const std::string& utf8_name) { return utf8_to_gb18030(utf8_name); }

}  // namespace

std::string photo_name_variant(const std::string& name, const std::string& photo_id, int n) {
  const std::size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  const std::string extension = stem.size() == name.size() ? std::string() : name.substr(dot);
  const std::string id = gbk_to_utf8(file_caption(photo_id));
  std::string kept = id.empty() ? std::string() : "_" + id;
  if (n > 1 || kept.empty()) kept += "-" + std::to_string(n);
  return fitted_file_name(stem, kept + extension);
}

bool named_as_album(const std::string& folder_name, const AlbumNaming& album) {
  const std::string cleaned = file_system_name(cleaned_folder_part(album.name));
  std::string id = file_system_name(file_caption(album.album_id));
  if (id.empty()) id = "0";
  if (!folder_name.starts_with(cleaned)) return false;
  const std::string_view rest = std::string_view(folder_name).substr(cleaned.size());
  const std::size_t digits = rest.find_first_not_of("0123456789");
  if (rest.empty() || digits == 0) return false;
  const std::string_view after = digits == std::string_view::npos ? std::string_view() : rest.substr(digits);
  return after == "_" + id || (after.empty() && !cleaned.empty());
}

AlbumFolder album_folder(const std::string& save_folder, const std::string& user_title,
                         const std::string& album_name, const std::string& photo_count_text) {
  AlbumFolder folder;
  folder.user_folder = cleaned_folder_part(user_title);
  // The count text comes from the service too, so it is cleaned like the name (a count
  // is digits, which cleaning leaves alone).
  const std::string file_name =
      folder_file_name(cleaned_folder_part(album_name), cleaned_folder_part(photo_count_text));
  folder.name = gbk_name_of(file_name);
  folder.path = base_path(save_folder, folder.user_folder);
  if (!file_name.empty()) folder.path += "/" + file_name;
  return folder;
}

std::vector<AlbumFolder> album_folders(const std::string& save_folder, const std::string& user_title,
                                       const std::vector<AlbumNaming>& albums) {
  const std::string user_folder = cleaned_folder_part(user_title);
  const std::string base = base_path(save_folder, user_folder);
  struct Planned {
    std::string cleaned;  // GBK
    std::string count;    // GBK
    std::string id;       // GBK
    std::string suffix;   // GBK, appended after the count
    std::string file_name;
  };
  std::vector<Planned> planned;
  for (const auto& album : albums) {
    Planned p;
    p.cleaned = cleaned_folder_part(album.name);
    p.count = cleaned_folder_part(album.count_text);
    p.id = file_caption(album.album_id);
    if (p.id.empty()) p.id = "0";
    if (p.cleaned.empty()) p.suffix = "_" + p.id;
    p.file_name = folder_file_name(p.cleaned, p.count + p.suffix);
    planned.push_back(std::move(p));
  }
  // Albums whose folders coincide get their ids; a second round settles the rare name that
  // then meets another album's, and the album's place in the list settles any left.
  for (int round = 0; round < 3; ++round) {
    std::map<std::string, std::set<std::string>> ids_by_name;
    for (const auto& p : planned) ids_by_name[ascii_lower(p.file_name)].insert(p.id);
    bool changed = false;
    for (std::size_t k = 0; k < planned.size(); ++k) {
      auto& p = planned[k];
      if (ids_by_name[ascii_lower(p.file_name)].size() < 2) continue;  // one album only
      p.suffix += round < 2 ? "_" + p.id : "_" + std::to_string(k + 1);
      p.file_name = folder_file_name(p.cleaned, p.count + p.suffix);
      changed = true;
    }
    if (!changed) break;
  }
  std::vector<AlbumFolder> folders;
  for (const auto& p : planned)
    folders.push_back({user_folder, gbk_name_of(p.file_name), base + "/" + p.file_name});
  return folders;
}

}  // namespace af
