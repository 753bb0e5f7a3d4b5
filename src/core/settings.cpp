// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "core/paths.h"
#include "util/codepage.h"
#include "util/text.h"

namespace af {
namespace {

// Lines of the file without their line ends; a missing file gives no lines.
bool read_lines(const std::string& path, std::vector<std::string>& lines) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string content = buffer.str();
  std::size_t begin = 0;
  while (begin < content.size()) {
    std::size_t end = content.find('\n', begin);
    std::string line = content.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  return true;
}

// Section names and keys compare without regard to ASCII case and surrounding blanks,
// as the profile functions do.
bool same_name(std::string_view a, std::string_view b) {
  auto strip = [](std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
  };
  return lower_text(strip(a)) == lower_text(strip(b));
}

bool section_header(const std::string& line, std::string& name) {
  std::string_view s = line;
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  if (s.empty() || s.front() != '[') return false;
  auto close = s.find(']');
  if (close == std::string_view::npos) return false;
  name = std::string(s.substr(1, close - 1));
  return true;
}

bool key_line(const std::string& line, std::string& key, std::string& value) {
  auto eq = line.find('=');
  if (eq == std::string::npos) return false;
  key = line.substr(0, eq);
  value = line.substr(eq + 1);
  return true;
}

std::string strip_value(std::string value) {
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
  std::size_t b = 0;
  while (b < value.size() && (value[b] == ' ' || value[b] == '\t')) ++b;
  value = value.substr(b);
  // A value wrapped in matching quotes reads without them.
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return value;
}

}  // namespace

std::string settings_path() { return program_file("peizi.ini"); }

std::string settings_section() { return G("全局设置"); }
std::string record_key() { return G("下载记录"); }
std::string range_key() { return G("时间段"); }
std::string range_start_key() { return G("开始时间"); }
std::string range_end_key() { return G("结束时间"); }
std::string index_key() { return G("相册索引"); }
std::string jobs_key() { return G("同时下载"); }
std::string gallery_key() { return G("相册浏览页"); }

std::string read_setting(const std::string& section, const std::string& key,
                         const std::string& default_value) {
  std::vector<std::string> lines;
  if (!read_lines(settings_path(), lines)) return default_value;
  bool in_section = false;
  for (const auto& line : lines) {
    std::string name, k, v;
    if (section_header(line, name)) {
      in_section = same_name(name, section);
      continue;
    }
    if (in_section && key_line(line, k, v) && same_name(k, key)) return strip_value(v);
  }
  return default_value;
}

void write_setting(const std::string& section, const std::string& key, const std::string& value) {
  std::string path = settings_path();
  // A link is written through to the file it names, so the link itself stays.
  std::error_code ec;
  if (std::filesystem::is_symlink(path, ec)) {
    auto target = std::filesystem::canonical(path, ec);
    if (ec) return;
    path = target.string();
  }
  struct stat existing {};
  const bool exists = ::stat(path.c_str(), &existing) == 0;
  // A read-only file refuses the write, as it would on Windows, whoever we are.
  if (exists && (existing.st_mode & S_IWUSR) == 0) return;
  std::vector<std::string> lines;
  // A file that is there but cannot be read must not be replaced by one holding only
  // this key: every other line would be lost.
  if (!read_lines(path, lines) && exists) return;

  bool in_section = false, found_section = false, written = false;
  std::size_t insert_at = lines.size();  // after the last line of our section
  for (std::size_t i = 0; i < lines.size() && !written; ++i) {
    std::string name, k, v;
    if (section_header(lines[i], name)) {
      if (in_section) break;  // our section ended without the key
      in_section = same_name(name, section);
      if (in_section) {
        found_section = true;
        insert_at = i + 1;
      }
      continue;
    }
    if (!in_section) continue;
    if (key_line(lines[i], k, v) && same_name(k, key)) {
      lines[i] = k + "=" + value;
      written = true;
    } else if (!trim_text(lines[i]).empty()) {
      insert_at = i + 1;
    }
  }
  if (!written) {
    if (found_section) {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insert_at), key + "=" + value);
    } else {
      lines.push_back("[" + section + "]");
      lines.push_back(key + "=" + value);
    }
  }

  std::string content;
  for (const auto& line : lines) content += line + "\r\n";

  // Write beside the file and rename over it: a crash leaves the old file or the new one.
  const std::string temp = path + ".tmp";
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) return;
  if (exists) ::fchmod(fileno(f), existing.st_mode & 07777);
  bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  ok = std::fflush(f) == 0 && ok;
  ok = ::fsync(fileno(f)) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) std::remove(temp.c_str());
}

bool option_enabled(const std::string& key) {
  return read_setting(settings_section(), key, "0") == "1";
}

bool index_option_enabled() { return read_setting(settings_section(), index_key(), "1") == "1"; }

bool gallery_option_enabled() { return read_setting(settings_section(), gallery_key(), "1") == "1"; }

Settings load_settings() {
  Settings settings;
  settings.record = option_enabled(record_key());
  settings.range = option_enabled(range_key());
  settings.index = index_option_enabled();
  settings.gallery = gallery_option_enabled();
  settings.jobs = jobs_option();
  DateTime start = settings.range_start, end = settings.range_end;
  parse_date(read_setting(settings_section(), range_start_key(), ""), start);
  parse_date(read_setting(settings_section(), range_end_key(), ""), end);
  if (start < end) {
    settings.range_start = start;
    settings.range_end = end;
  }
  return settings;
}

int clamp_jobs(long long jobs) { return static_cast<int>(std::clamp<long long>(jobs, 1, kMostJobs)); }

int jobs_option() {
  const std::string text = read_setting(settings_section(), jobs_key(), "1");
  long long value = 1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc::result_out_of_range) return text[0] == '-' ? 1 : kMostJobs;
  if (error != std::errc() || end != text.data() + text.size()) return 1;
  return clamp_jobs(value);
}

}  // namespace af
