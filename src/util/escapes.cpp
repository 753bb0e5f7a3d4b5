// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/escapes.h"

#include <charconv>
#include <optional>
#include <random>

#include "util/codepage.h"
#include "util/text.h"

namespace af {
namespace {

constexpr std::string_view kLineBreakPlaceholder = "{$}";
constexpr std::string_view kRightSingleQuote = "\xA1\xAF";  // ’ in GBK

int hex_value(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// n hexadecimal digits at s[at], or nothing.
std::optional<char16_t> hex_unit(std::u16string_view s, std::size_t at, std::size_t n) {
  if (at + n > s.size()) return std::nullopt;
  unsigned value = 0;
  for (std::size_t k = 0; k < n; ++k) {
    int h = hex_value(s[at + k]);
    if (h < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(h);
  }
  return static_cast<char16_t>(value);
}

bool is_line_terminator(char16_t c) {
  return c == 0x000A || c == 0x000D || c == 0x2028 || c == 0x2029;
}
bool is_octal(char16_t c) { return c >= u'0' && c <= u'7'; }

// The value of a single-quoted script string literal whose body is `body` (ECMAScript 3,
// with the octal escapes of its Annex B). Nothing when the literal would not compile: a
// line terminator inside it, escaped or not, or a backslash that escapes the closing quote.
std::optional<std::u16string> evaluate_literal(std::u16string_view body) {
  std::u16string value;
  value.reserve(body.size());
  const std::size_t n = body.size();
  for (std::size_t i = 0; i < n;) {
    char16_t c = body[i];
    if (is_line_terminator(c)) return std::nullopt;
    if (c != u'\\') {
      value += c;
      ++i;
      continue;
    }
    if (i + 1 >= n) return std::nullopt;
    char16_t e = body[i + 1];
    i += 2;
    switch (e) {
      case u'b': value += u'\b'; break;
      case u't': value += u'\t'; break;
      case u'n': value += u'\n'; break;
      case u'v': value += u'\v'; break;
      case u'f': value += u'\f'; break;
      case u'r': value += u'\r'; break;
      case u'x':
        if (auto unit = hex_unit(body, i, 2)) {
          value += *unit;
          i += 2;
        } else {
          value += e;
        }
        break;
      case u'u':
        if (auto unit = hex_unit(body, i, 4)) {
          value += *unit;
          i += 4;
        } else {
          value += e;
        }
        break;
      default:
        if (is_line_terminator(e)) return std::nullopt;
        if (is_octal(e)) {
          // Up to three digits while the value stays within 255: 0-3 may lead three
          // digits, 4-7 only two.
          unsigned code = e - u'0';
          std::size_t max_digits = e <= u'3' ? 3 : 2;
          for (std::size_t k = 1; k < max_digits && i < n && is_octal(body[i]); ++k, ++i) {
            code = code * 8 + (body[i] - u'0');
          }
          value += static_cast<char16_t>(code);
        } else {
          value += e;  // \" \' \\ and every other character stand for themselves
        }
    }
  }
  return value;
}

// unescape of ECMAScript 3 Annex B: %uXXXX and %XX become code units, all else stays.
std::u16string unescape(std::u16string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    if (s[i] == u'%') {
      if (i + 1 < s.size() && s[i + 1] == u'u') {
        if (auto unit = hex_unit(s, i + 2, 4)) {
          out += *unit;
          i += 6;
          continue;
        }
      }
      if (auto unit = hex_unit(s, i + 1, 2)) {
        out += *unit;
        i += 3;
        continue;
      }
    }
    out += s[i++];
  }
  return out;
}

}  // namespace

std::string decode_escapes(const std::string& text) {
  std::string b = replace_text(text, "\r\n", kLineBreakPlaceholder);
  if (!b.empty() && b.front() == '\r') b.erase(0, 1);
  b = replace_text(b, "\\u", "%u");
  b = replace_text(b, "'", kRightSingleQuote);

  std::optional<std::u16string> literal = evaluate_literal(gbk_to_utf16(b));
  if (!literal) return {};
  std::u16string value = unescape(*literal);
  std::size_t nul = value.find(u'\0');
  if (nul != std::u16string::npos) value.resize(nul);
  // GB18030, so a character GBK lacks (an emoji, Hangul) keeps its four bytes.
  std::string result = utf16_to_gb18030(value);

  result = replace_text(result, kRightSingleQuote, "'");
  return replace_text(result, kLineBreakPlaceholder, "\r\n");
}

std::string random_fraction_text() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (;;) {
    double r = uniform(generator);
    // At most 15 significant digits, trailing zeros dropped ("%.15g", locale-free).
    char buf[64];
    auto written = std::to_chars(buf, buf + sizeof buf, r, std::chars_format::general, 15);
    std::string text(buf, written.ptr);
    if (text.empty() || text.front() != '0') text.insert(0, "0");
    if (text.size() == 17) return text;
  }
}

}  // namespace af
