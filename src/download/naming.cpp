#include "download/naming.h"

#include <chrono>

#include "core/paths.h"
#include "util/codepage.h"
#include "util/text.h"

namespace af {

std::int64_t datetime_to_timestamp(const DateTime& value) {
  using namespace std::chrono;
  const auto date = year_month_day{year{value.year}, month{static_cast<unsigned>(value.month)},
                                   day{static_cast<unsigned>(value.day)}};
  const std::int64_t days = sys_days{date}.time_since_epoch().count();
  constexpr std::int64_t kChinaOffset = 8 * 3600;
  return days * 86400 + std::int64_t{value.hour} * 3600 + std::int64_t{value.minute} * 60 +
         value.second - kChinaOffset;
}

UploadRange upload_range(bool enabled, const DateTime& start, const DateTime& end) {
  if (!enabled) return {};
  return {datetime_to_timestamp(start), datetime_to_timestamp(end)};
}

std::string sanitize_name(const std::string& text) {
  static const std::string kRemoved[] = {
      ":", "\\", "/", "?", "*", "<", ">", "|", G("："), G("、"), G("？"),
      G("。"), G("（"), G("）"), G("·"), G("！"), G("，"), ".", "...", " ", "&"};
  std::string result = text;
  for (const auto& removed : kRemoved) result = replace_text(result, removed, "");
  return result;
}

std::string file_caption(const std::string& text) {
  return remove_spaces(replace_text(sanitize_name(text), "?", ""));
}

std::string photo_file_name(std::int64_t number, const std::string& caption,
                            const std::string& feed_id, const std::string& extension) {
  return std::to_string(number) + "_" + caption + "_" + feed_id + extension;
}

std::string file_system_name(const std::string& gbk_name) { return gbk_to_utf8(gbk_name); }

std::string fitted_photo_file_name(std::int64_t number, const std::string& caption,
                                   const std::string& feed_id, const std::string& extension) {
  const std::string head = file_system_name(std::to_string(number) + "_");
  const std::string tail = file_system_name("_" + feed_id + extension);
  std::string shown = file_system_name(caption);
  const std::size_t fixed = head.size() + tail.size();
  const std::size_t room = fixed < kLongestFileName ? kLongestFileName - fixed : 0;
  if (shown.size() > room) {
    // Cut before the character that does not fit whole (never inside a UTF-8 sequence).
    std::size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) --cut;
    shown.resize(cut);
  }
  return head + shown + tail;
}

bool photo_file_name_fits_in_characters(std::int64_t number, const std::string& caption,
                                        const std::string& feed_id, const std::string& extension) {
  return gbk_to_utf16(photo_file_name(number, caption, feed_id, extension)).size() <=
         kLongestFileName;
}

AlbumFolder album_folder(const std::string& save_folder, const std::string& user_title,
                         const std::string& album_name, const std::string& photo_count_text) {
  AlbumFolder folder;
  folder.user_folder = sanitize_name(user_title);
  // The count text comes from the service too, so it is cleaned like the name (a count
  // is digits, which cleaning leaves alone).
  folder.name = sanitize_name(album_name) + sanitize_name(photo_count_text);
  std::string base = save_folder.empty() ? program_directory() : file_system_name(save_folder);
  folder.path = base;
  if (!folder.user_folder.empty()) folder.path += "/" + file_system_name(folder.user_folder);
  if (!folder.name.empty()) folder.path += "/" + file_system_name(folder.name);
  return folder;
}

}  // namespace af
