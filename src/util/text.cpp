// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/text.h"

#include <limits>

namespace af {
namespace {

bool is_lead(unsigned char c) { return c >= 0x80; }

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Compares `needle` with the text at a character start `at`. With ignore case only a byte
// that is a single-byte character of the text folds; both bytes of a two-byte character
// compare exactly.
bool equal_at(std::string_view text, std::size_t at, std::string_view needle, bool ignore_case) {
  if (at + needle.size() > text.size()) return false;
  if (!ignore_case) return text.compare(at, needle.size(), needle) == 0;
  std::size_t k = 0;
  while (k < needle.size()) {
    std::size_t n = (at + k + 1 < text.size() && is_lead(static_cast<unsigned char>(text[at + k]))) ? 2 : 1;
    if (n == 1) {
      if (fold(text[at + k]) != fold(needle[k])) return false;
    } else {
      if (k + 1 >= needle.size()) return text[at + k] == needle[k];
      if (text[at + k] != needle[k] || text[at + k + 1] != needle[k + 1]) return false;
    }
    k += n;
  }
  return true;
}

// The first match at or after the 0-based character start `from`; npos when absent.
std::size_t find_from_boundary(std::string_view text, std::string_view needle, std::size_t from,
                               bool ignore_case) {
  for (std::size_t i = from; i < text.size(); i += char_length(text, i)) {
    if (equal_at(text, i, needle, ignore_case)) return i;
  }
  return std::string_view::npos;
}

}  // namespace

std::size_t char_length(std::string_view text, std::size_t i) {
  if (i + 1 < text.size() && is_lead(static_cast<unsigned char>(text[i]))) return 2;
  return 1;
}

std::size_t find_text(std::string_view text, std::string_view needle, std::size_t start,
                      bool ignore_case) {
  std::size_t from = start <= 1 ? 0 : start - 1;
  if (needle.empty()) return from <= text.size() ? from + 1 : 0;
  // Find the first character start at or after `from`, so a match never begins on a
  // second byte, then search from there.
  std::size_t i = 0;
  while (i < from && i < text.size()) i += char_length(text, i);
  std::size_t found = find_from_boundary(text, needle, i, ignore_case);
  return found == std::string_view::npos ? 0 : found + 1;
}

std::size_t find_last_text(std::string_view text, std::string_view needle, bool ignore_case) {
  std::size_t found = 0;
  if (needle.empty()) return 0;
  for (std::size_t i = 0; i < text.size(); i += char_length(text, i)) {
    if (equal_at(text, i, needle, ignore_case)) found = i + 1;
  }
  return found;
}

std::string trim_text(std::string_view text) {
  // Character starts of the text, so both ends strip whole characters only.
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < text.size(); i += char_length(text, i)) starts.push_back(i);
  auto is_space = [&](std::size_t k) {
    std::size_t at = starts[k];
    std::size_t n = char_length(text, at);
    return (n == 1 && text[at] == ' ') || (n == 2 && text.substr(at, 2) == kFullWidthSpace);
  };
  std::size_t b = 0, e = starts.size();
  while (b < e && is_space(b)) ++b;
  while (e > b && is_space(e - 1)) --e;
  if (b == e) return {};
  std::size_t begin = starts[b];
  std::size_t end = e < starts.size() ? starts[e] : text.size();
  return std::string(text.substr(begin, end - begin));
}

std::string remove_spaces(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = char_length(text, i);
    if (text[i] == ' ') {
    } else if (n == 2 && text.substr(i, 2) == kFullWidthSpace) {
    } else {
      out.append(text.substr(i, n));
    }
    i += n;
  }
  return out;
}

std::string lower_text(std::string_view text) {
  std::string out(text);
  for (std::size_t i = 0; i < out.size();) {
    std::size_t n = char_length(out, i);
    if (n == 1) out[i] = fold(out[i]);
    i += n;
  }
  return out;
}

std::vector<std::string> split_text(std::string_view text, std::string_view separator) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  if (separator.empty()) {
    pieces.emplace_back(text);
    return pieces;
  }
  // `begin` always sits on a character start: it follows a whole separator match.
  std::size_t begin = 0;
  for (;;) {
    std::size_t pos = find_from_boundary(text, separator, begin, false);
    if (pos == std::string_view::npos) break;
    pieces.emplace_back(text.substr(begin, pos - begin));
    begin = pos + separator.size();
  }
  if (begin < text.size()) pieces.emplace_back(text.substr(begin));
  return pieces;
}

std::string replace_text(std::string_view text, std::string_view from, std::string_view to,
                         bool ignore_case) {
  if (from.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (equal_at(text, i, from, ignore_case)) {
      out.append(to);
      i += from.size();
    } else {
      std::size_t n = char_length(text, i);
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string left_text(std::string_view text, long long n) {
  if (n <= 0) return {};
  return std::string(text.substr(0, static_cast<std::size_t>(n)));
}

std::string right_text(std::string_view text, long long n) {
  if (n <= 0) return {};
  if (static_cast<std::size_t>(n) >= text.size()) return std::string(text);
  return std::string(text.substr(text.size() - static_cast<std::size_t>(n)));
}

std::int64_t to_integer(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' ||
                             text[i] == '\n' || text[i] == '\v' || text[i] == '\f'))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  unsigned long long value = 0;
  const unsigned long long limit =
      negative ? static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max()) + 1
               : static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max());
  bool saturated = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    unsigned digit = static_cast<unsigned>(text[i] - '0');
    if (value > (limit - digit) / 10) {
      saturated = true;
      value = limit;
      break;
    }
    value = value * 10 + digit;
  }
  (void)saturated;
  if (negative) {
    if (value == limit) return std::numeric_limits<std::int64_t>::min();
    return -static_cast<std::int64_t>(value);
  }
  return static_cast<std::int64_t>(value);
}

std::int32_t to_int32(std::string_view text) {
  std::int64_t v = to_integer(text);
  if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

std::string text_between(std::string_view text, std::string_view start_marker,
                         std::string_view end_marker, std::size_t start, bool ignore_case) {
  const std::string begin = replace_text(start_marker, kQuoteMarker, "\"");
  const std::string end = replace_text(end_marker, kQuoteMarker, "\"");
  std::size_t i = find_text(text, begin, start, ignore_case);
  if (i == 0) return {};
  std::size_t after = i - 1 + begin.size();  // 0-based, a character start
  std::size_t j = find_from_boundary(text, end, after, ignore_case);
  if (j == std::string_view::npos) return {};
  return std::string(text.substr(after, j - after));
}

}  // namespace af
