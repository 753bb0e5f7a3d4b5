// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The settings file "peizi.ini" beside the program: INI text in GBK, CR LF lines.
//
// Behaves like the Windows private-profile functions: a missing file, section or key
// reads as the default; a write creates file, section and key as needed and keeps every
// other line as it was. Writes go to a temporary file that is renamed into place, so an
// interrupted write never leaves a damaged file. A failed write is ignored.
#include <string>

#include "core/dates.h"

namespace af {

std::string settings_path();  // program_file("peizi.ini")

// Section, key, value and default are GBK texts.
std::string read_setting(const std::string& section, const std::string& key,
                         const std::string& default_value);
void write_setting(const std::string& section, const std::string& key, const std::string& value);

// The program's section and keys, as GBK bytes.
std::string settings_section();   // 全局设置
std::string record_key();         // 下载记录
std::string range_key();          // 时间段
std::string range_start_key();    // 开始时间: the range's start date, "YYYY-MM-DD"
std::string range_end_key();      // 结束时间: the range's end date, "YYYY-MM-DD"
std::string index_key();          // 相册索引: the album index beside the photos, on unless "0"
std::string jobs_key();           // 同时下载: how many photos are fetched at once, 1 to 8
std::string gallery_key();        // 相册浏览页: the page to look through each user folder, on unless "0"

// True only when the stored value is exactly "1".
bool option_enabled(const std::string& key);
// The album index switch: on unless the stored value is something other than "1" (on by
// default, where the other two options are off).
bool index_option_enabled();
// The gallery page switch, on by default like the album index it is made from.
bool gallery_option_enabled();

// How many photos a download fetches at once: 1 (one after another, the default) to 8.
inline constexpr int kMostJobs = 8;

// The options of the settings page as the program keeps them: read from the file once at
// start, changed in memory by the operator (each change written behind), and handed by
// value to every download, which never reads the file itself.
struct Settings {
  bool record = false;  // 下载记录
  bool range = false;   // 时间段
  bool index = true;    // 相册索引
  bool gallery = true;  // 相册浏览页 (made only while the index is on)
  int jobs = 1;         // 同时下载, 1 to kMostJobs
  // 开始时间 and 结束时间: the range's dates, kept while the range is off too. The range
  // is strictly between their midnights, so the end is always after the start.
  DateTime range_start = kRangeStartDefault;
  DateTime range_end = range_end_default();
};
// The settings file's values, each read as the functions below read it. A range date
// that is missing or not a date reads as its default; so do both when the end they give
// is not after the start.
Settings load_settings();
// `jobs` held within 1 and kMostJobs.
int clamp_jobs(long long jobs);
// The stored number, held within 1 and kMostJobs; 1 when missing or not a number.
int jobs_option();

}  // namespace af
