// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// GBK text rules shared by every module.
//
// Texts are GBK bytes (code page 936) in std::string; JSON escapes may add four-byte
// GB18030 sequences. Positions are 1-based byte positions; 0 means "not found".
// A byte of 0x80 or above starts a two-byte character: no match ever begins on its
// second byte and no cut ever separates the two bytes.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace af {

// Length in bytes of the character that starts at text[i] (1 or 2; 1 at the very end).
std::size_t char_length(std::string_view text, std::size_t i);

// First occurrence of `needle` at or after `start` (1-based; <= 1 searches from the
// beginning). Returns the 1-based position or 0. With ignore_case only A-Z/a-z fold.
std::size_t find_text(std::string_view text, std::string_view needle, std::size_t start = 1,
                      bool ignore_case = false);
// Last occurrence of `needle` (a match never starts on a second byte). 0 when absent.
std::size_t find_last_text(std::string_view text, std::string_view needle, bool ignore_case = false);
inline bool contains_text(std::string_view text, std::string_view needle, bool ignore_case = false) {
  return find_text(text, needle, 1, ignore_case) != 0;
}

// Removes ASCII spaces and full-width spaces (A1 A1) from both ends; tabs and line ends stay.
std::string trim_text(std::string_view text);
// Removes every ASCII space and full-width space.
std::string remove_spaces(std::string_view text);
// A-Z to a-z; both bytes of a two-byte character stay as they are.
std::string lower_text(std::string_view text);
// Splits at each separator. Empty text gives no pieces; an empty last piece is dropped.
std::vector<std::string> split_text(std::string_view text, std::string_view separator);
// Replaces every occurrence, left to right, without overlap.
std::string replace_text(std::string_view text, std::string_view from, std::string_view to,
                         bool ignore_case = false);
// First / last n bytes; n <= 0 gives "", n beyond the length the whole text.
std::string left_text(std::string_view text, long long n);
std::string right_text(std::string_view text, long long n);
// Decimal value of the leading digits after optional spaces (and white space) and a sign;
// 0 when there are none. Saturates at the 64-bit limits.
std::int64_t to_integer(std::string_view text);
// to_integer cut to a 32-bit signed integer, as the photo count is read.
std::int32_t to_int32(std::string_view text);

// The text between the first `start_marker` (searched from `start`) and the next
// `end_marker`; "" when either is missing. "#引号" in a marker stands for a double quote.
std::string text_between(std::string_view text, std::string_view start_marker,
                         std::string_view end_marker, std::size_t start = 1,
                         bool ignore_case = false);

// GBK spellings of the characters the rules above name.
inline constexpr std::string_view kFullWidthSpace = "\xA1\xA1";
inline constexpr std::string_view kQuoteMarker = "#\xD2\xFD\xBA\xC5";  // #引号

}  // namespace af
