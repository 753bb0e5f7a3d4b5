// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/dates.h"

#include <charconv>
#include <cstdio>

namespace af {
namespace {

bool digits(std::string_view text, int& value) {
  for (char c : text)
    if (c < '0' || c > '9') return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

bool parse_date(std::string_view text, DateTime& value) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  int year = 0, month = 0, day = 0;
  if (!digits(text.substr(0, 4), year) || !digits(text.substr(5, 2), month) ||
      !digits(text.substr(8, 2), day))
    return false;
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1970 || month < 1 || month > 12 || day < 1) return false;
  if (day > kDays[month - 1] + (month == 2 && is_leap(year) ? 1 : 0)) return false;
  value = DateTime{year, month, day, 0, 0, 0};
  return true;
}

std::string date_text(const DateTime& value) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", value.year, value.month, value.day);
  return text;
}

}  // namespace af
