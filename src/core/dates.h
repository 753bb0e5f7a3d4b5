// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Calendar dates of the upload-time bounds, taken as China Standard Time (UTC+8): the
// date-time the bounds are made of, the dates the range starts at, and the "YYYY-MM-DD"
// text that the command line takes and the settings file keeps.
#include <chrono>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace af {

// A date-time of the upload-time bounds, China Standard Time. Compares field by field,
// which is earlier before later.
struct DateTime {
  int year = 1970;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  auto operator<=>(const DateTime&) const = default;
};

// The bounds the range has until the operator chooses others, in the window and on the
// command line. The end is "no end": the fixed date while it lies ahead, otherwise
// tomorrow in China Standard Time at `now` (seconds since the epoch), so that a range left
// at these dates never leaves out a photo uploaded today.
inline constexpr DateTime kRangeStartDefault{2006, 3, 30};
inline constexpr DateTime kRangeEndDefault{2025, 12, 30};
inline DateTime range_end_default(std::int64_t now) {
  using namespace std::chrono;
  const sys_days tomorrow = floor<days>(sys_seconds(seconds(now)) + hours(8)) + days(1);
  const year_month_day fixed{year(kRangeEndDefault.year), month(kRangeEndDefault.month),
                             day(kRangeEndDefault.day)};
  if (tomorrow <= sys_days(fixed)) return kRangeEndDefault;
  const year_month_day date(tomorrow);
  return DateTime{int(date.year()), int(unsigned(date.month())), int(unsigned(date.day()))};
}
inline DateTime range_end_default() {
  using namespace std::chrono;
  return range_end_default(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

// "YYYY-MM-DD", a real calendar date from 1970 on, to midnight of that day; false (and
// `value` untouched) for anything else.
bool parse_date(std::string_view text, DateTime& value);
// The date of `value` as "YYYY-MM-DD".
std::string date_text(const DateTime& value);

}  // namespace af
