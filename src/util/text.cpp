#include "util/text.h"

#include <limits>

namespace af {
namespace {

bool is_lead(unsigned char c) { return c >= 0x80; }

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_at(std::string_view text, std::size_t at, std::string_view needle, bool ignore_case) {
  if (at + needle.size() > text.size()) return false;
  for (std::size_t k = 0; k < needle.size(); ++k) {
    char a = text[at + k], b = needle[k];
    if (ignore_case ? fold(a) != fold(b) : a != b) return false;
  }
  return true;
}

}  // namespace

std::size_t char_length(std::string_view text, std::size_t i) {
  if (i + 1 < text.size() && is_lead(static_cast<unsigned char>(text[i]))) return 2;
  return 1;
}

std::size_t find_text(std::string_view text, std::string_view needle, std::size_t start,
                      bool ignore_case) {
  std::size_t from = start <= 1 ? 0 : start - 1;
  if (needle.empty()) return from < text.size() || (from == 0) ? from + 1 : 0;
  // Walk character by character so a match never begins on a second byte.
  for (std::size_t i = 0; i < text.size(); i += char_length(text, i)) {
    if (i < from) continue;
    if (equal_at(text, i, needle, ignore_case)) return i + 1;
  }
  return 0;
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
  std::size_t b = 0, e = text.size();
  while (b < e) {
    if (text[b] == ' ') ++b;
    else if (text.substr(b, 2) == kFullWidthSpace) b += 2;
    else break;
  }
  // From the end: only strip a full-width space that is a whole character, so find the
  // character boundaries first.
  while (e > b) {
    if (text[e - 1] == ' ') {
      // A trailing 0x20 can only be the second byte of a two-byte character if that
      // character starts at e-2; GBK trail bytes are 0x40 or above, so 0x20 is always whole.
      --e;
      continue;
    }
    if (e - b >= 2 && text.substr(e - 2, 2) == kFullWidthSpace) {
      // Make sure e-2 is a character start.
      std::size_t i = b;
      while (i < e - 2) i += char_length(text, i);
      if (i == e - 2) {
        e -= 2;
        continue;
      }
    }
    break;
  }
  return std::string(text.substr(b, e - b));
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
  std::size_t begin = 0;  // 0-based start of the current piece
  for (;;) {
    std::size_t pos = find_text(text, separator, begin + 1);
    if (pos == 0) break;
    pieces.emplace_back(text.substr(begin, pos - 1 - begin));
    begin = pos - 1 + separator.size();
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
  i += begin.size();
  std::size_t j = find_text(text, end, i, ignore_case);
  if (j == 0 || j < i) return {};
  return std::string(text.substr(i - 1, j - i));
}

}  // namespace af
