// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/json_document.h"

#include <json-c/json.h>

#include <charconv>
#include <clocale>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <memory>
#include <utility>

#include "util/codepage.h"

namespace af {
namespace {

// json-c objects built bottom-up; a failed parse frees whatever was made so far.
struct JsonPut {
  void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

// Deep enough for any answer of the service, shallow enough that the recursion (and
// json-c's recursive free) can never exhaust the stack on hostile input.
constexpr int kMaxDepth = 512;

// U+FFFD in GB18030: what an escaped surrogate without its partner turns into.
constexpr std::string_view kReplacementCharacter = "\x84\x31\xA4\x37";

bool is_gbk_lead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
bool is_gbk_trail(unsigned char c) { return c >= 0x40 && c <= 0xFE && c != 0x7F; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads numbers whatever LC_NUMERIC the process runs under (Qt sets the user's locale).
locale_t c_locale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  // The first complete value; whatever follows it is ignored. `ok` tells a parsed
  // literal null (nullptr, ok) from a failure (nullptr, !ok).
  JsonPtr parse_document(bool& ok) {
    skip_space();
    ok = parse_value(0, out_);
    return std::move(out_);
  }

 private:
  bool at_end() const { return pos_ >= text_.size(); }
  unsigned char peek(std::size_t ahead = 0) const {
    return pos_ + ahead < text_.size() ? static_cast<unsigned char>(text_[pos_ + ahead]) : 0;
  }
  void skip_space() {
    while (!at_end() && std::string_view(" \t\n\r\f\v").find(text_[pos_]) != std::string_view::npos) ++pos_;
  }
  // Just after the opening bracket: true, past the close, when the container is empty.
  bool closes_at_once(char close) {
    skip_space();
    if (peek() != static_cast<unsigned char>(close)) return false;
    ++pos_;
    return true;
  }
  // After an element: past a comma, or past `close` with `closed` set; false on anything else.
  bool after_element(char close, bool& closed) {
    skip_space();
    if (at_end()) return false;
    const char c = text_[pos_++];
    closed = c == close;
    return closed || c == ',';
  }
  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  bool parse_value(int depth, JsonPtr& out) {
    if (depth > kMaxDepth || at_end()) return false;
    unsigned char c = peek();
    switch (c) {
      case '{':
        return parse_object(depth, out);
      case '[':
        return parse_array(depth, out);
      case '"': {
        std::string s;
        if (!parse_string(s)) return false;
        out.reset(json_object_new_string_len(s.data(), static_cast<int>(s.size())));
        return out != nullptr;
      }
      case 't':
        if (!literal("true")) return false;
        out.reset(json_object_new_boolean(1));
        return true;
      case 'f':
        if (!literal("false")) return false;
        out.reset(json_object_new_boolean(0));
        return true;
      case 'n':
        if (!literal("null")) return false;
        out.reset();
        return true;
      default:
        if (c == '-' || is_digit(c)) return parse_number(out);
        return false;
    }
  }

  // A number is the run of characters that can belong to one; it is floating only when
  // that run holds a point or a lower-case e. Otherwise its leading sign and digits give
  // a 64-bit integer, so 1E5 reads as 1.
  bool parse_number(JsonPtr& out) {
    std::size_t begin = pos_;
    bool floating = false;
    while (!at_end()) {
      char c = text_[pos_];
      if (is_digit(c) || c == '+' || c == '-' || c == 'E') {
      } else if (c == '.' || c == 'e') {
        floating = true;
      } else {
        break;
      }
      ++pos_;
    }
    std::string token(text_.substr(begin, pos_ - begin));
    if (floating) {
      char* end = nullptr;
      double value = strtod_l(token.c_str(), &end, c_locale());
      if (end == token.c_str()) return false;
      out.reset(json_object_new_double(value));
      return out != nullptr;
    }
    std::size_t i = 0;
    bool negative = false;
    if (i < token.size() && token[i] == '-') {
      negative = true;
      ++i;
    }
    if (i >= token.size() || !is_digit(token[i])) return false;
    // Accumulate towards the sign so that INT64_MIN fits; saturate like strtoll.
    std::int64_t value = 0;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    for (; i < token.size() && is_digit(token[i]); ++i) {
      int d = token[i] - '0';
      if (negative) {
        if (value < (kMin + d) / 10) {
          value = kMin;
          break;
        }
        value = value * 10 - d;
      } else {
        if (value > (kMax - d) / 10) {
          value = kMax;
          break;
        }
        value = value * 10 + d;
      }
    }
    out.reset(json_object_new_int64(value));
    return out != nullptr;
  }

  bool read_hex4(std::size_t at, unsigned& value) const {
    if (at + 4 > text_.size()) return false;
    value = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      int h = hex_value(text_[at + k]);
      if (h < 0) return false;
      value = value * 16 + static_cast<unsigned>(h);
    }
    return true;
  }

  // Strings are read the way to_text writes them: a GBK lead byte and its trail byte (or
  // a four-byte GB18030 sequence) are copied whole, so a trail byte equal to a backslash
  // is never taken for an escape. A lead byte without a valid trail stands alone, so a
  // closing quote is never swallowed.
  bool parse_string(std::string& value) {
    ++pos_;  // opening quote
    bool ended = false;  // a \u0000 was met: the rest is read but not kept
    auto keep = [&](std::string_view bytes) {
      if (!ended) value.append(bytes);
    };
    while (!at_end()) {
      unsigned char c = peek();
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (is_gbk_lead(c)) {
        unsigned char c1 = peek(1);
        if (is_digit(c1) && is_gbk_lead(peek(2)) && is_digit(peek(3))) {
          keep(text_.substr(pos_, 4));
          pos_ += 4;
        } else if (is_gbk_trail(c1) && pos_ + 1 < text_.size()) {
          keep(text_.substr(pos_, 2));
          pos_ += 2;
        } else {
          keep(text_.substr(pos_, 1));
          ++pos_;
        }
        continue;
      }
      if (c != '\\') {
        keep(text_.substr(pos_, 1));
        ++pos_;
        continue;
      }
      if (pos_ + 1 >= text_.size()) return false;
      char e = text_[pos_ + 1];
      pos_ += 2;
      switch (e) {
        case '"': keep("\""); break;
        case '\\': keep("\\"); break;
        case '/': keep("/"); break;
        case 'b': keep("\b"); break;
        case 'f': keep("\f"); break;
        case 'n': keep("\n"); break;
        case 'r': keep("\r"); break;
        case 't': keep("\t"); break;
        case 'u': {
          unsigned unit = 0;
          if (!read_hex4(pos_, unit)) return false;
          pos_ += 4;
          if (unit == 0) {
            ended = true;
          } else if (unit < 0x80) {
            keep(std::string(1, static_cast<char>(unit)));
          } else if (unit >= 0xD800 && unit <= 0xDBFF) {
            unsigned low = 0;
            if (peek() == '\\' && peek(1) == 'u' && read_hex4(pos_ + 2, low) && low >= 0xDC00 &&
                low <= 0xDFFF) {
              pos_ += 6;
              char32_t cp = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
              keep(code_point_to_gb18030(cp));
            } else {
              keep(kReplacementCharacter);
            }
          } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            keep(kReplacementCharacter);
          } else {
            keep(code_point_to_gb18030(static_cast<char32_t>(unit)));
          }
          break;
        }
        default:
          return false;
      }
    }
    return false;  // the text ended inside the string
  }

  bool parse_array(int depth, JsonPtr& out) {
    ++pos_;
    JsonPtr array(json_object_new_array());
    if (!array) return false;
    for (bool closed = closes_at_once(']'); !closed;) {
      skip_space();
      JsonPtr element;
      if (!parse_value(depth + 1, element)) return false;
      if (json_object_array_add(array.get(), element.get()) != 0) return false;
      element.release();  // the array owns it now
      if (!after_element(']', closed)) return false;
    }
    out = std::move(array);
    return true;
  }

  bool parse_object(int depth, JsonPtr& out) {
    ++pos_;
    JsonPtr object(json_object_new_object());
    if (!object) return false;
    for (bool closed = closes_at_once('}'); !closed;) {
      skip_space();
      if (at_end() || peek() != '"') return false;
      std::string name;
      if (!parse_string(name)) return false;
      skip_space();
      if (at_end() || text_[pos_] != ':') return false;
      ++pos_;
      skip_space();
      JsonPtr value;
      if (!parse_value(depth + 1, value)) return false;
      // A repeated name: the later value wins and the member counts as read last. json-c
      // would replace it in place, so take the old one out first.
      json_object_object_del(object.get(), name.c_str());
      if (json_object_object_add(object.get(), name.c_str(), value.get()) != 0) return false;
      value.release();
      if (!after_element('}', closed)) return false;
    }
    out = std::move(object);
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  JsonPtr out_;
};

void append_escaped(std::string& out, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t n = bytes.size();
  for (std::size_t i = 0; i < n;) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (is_gbk_lead(c)) {
      std::size_t len = 2;
      if (i + 1 < n) {
        unsigned char next = static_cast<unsigned char>(bytes[i + 1]);
        if (next >= 0x2A && next <= 0x3F) len = 4;
      }
      if (len > n - i) len = n - i;
      out.append(bytes.substr(i, len));
      i += len;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0x0F];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
}

void append_text(std::string& out, json_object* value, int depth) {
  if (value == nullptr || depth > kMaxDepth + 1) {
    out += "null";
    return;
  }
  switch (json_object_get_type(value)) {
    case json_type_null:
      out += "null";
      break;
    case json_type_boolean:
      out += json_object_get_boolean(value) ? "true" : "false";
      break;
    case json_type_int: {
      char buf[32];
      auto r = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(json_object_get_int64(value)));
      out.append(buf, r.ptr);
      break;
    }
    case json_type_double: {
      // Fixed notation with six decimals, as "%lf" writes it, independent of the locale.
      char buf[400];
      auto r = std::to_chars(buf, buf + sizeof buf, json_object_get_double(value),
                             std::chars_format::fixed, 6);
      out.append(buf, r.ptr);
      break;
    }
    case json_type_string:
      out += '"';
      append_escaped(out, std::string_view(json_object_get_string(value),
                                           static_cast<std::size_t>(json_object_get_string_len(value))));
      out += '"';
      break;
    case json_type_array: {
      out += '[';
      std::size_t size = json_object_array_length(value);
      for (std::size_t i = 0; i < size; ++i) {
        if (i) out += ',';
        append_text(out, json_object_array_get_idx(value, i), depth + 1);
      }
      out += ']';
      break;
    }
    case json_type_object: {
      out += '{';
      bool first = true;
      json_object_object_foreach(value, key, member) {
        if (!first) out += ',';
        first = false;
        out += '"';
        append_escaped(out, key);
        out += "\":";
        append_text(out, member, depth + 1);
      }
      out += '}';
      break;
    }
  }
}

}  // namespace

JsonDocument::JsonDocument(json_object* value) : value_(json_object_get(value)) {}

JsonDocument::JsonDocument(const JsonDocument& other)
    : value_(json_object_get(other.value_)), failed_(other.failed_) {}

JsonDocument& JsonDocument::operator=(const JsonDocument& other) {
  if (this != &other) {
    json_object* taken = json_object_get(other.value_);
    release();
    value_ = taken;
    failed_ = other.failed_;
  }
  return *this;
}

JsonDocument::JsonDocument(JsonDocument&& other) noexcept
    : value_(std::exchange(other.value_, nullptr)), failed_(std::exchange(other.failed_, false)) {}

JsonDocument& JsonDocument::operator=(JsonDocument&& other) noexcept {
  if (this != &other) {
    release();
    value_ = std::exchange(other.value_, nullptr);
    failed_ = std::exchange(other.failed_, false);
  }
  return *this;
}

JsonDocument::~JsonDocument() { release(); }

void JsonDocument::release() {
  if (value_ != nullptr) json_object_put(value_);
  value_ = nullptr;
  failed_ = false;
}

bool JsonDocument::parse(std::string_view text) {
  release();
  std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  Parser parser(text);
  bool ok = false;
  JsonPtr root = parser.parse_document(ok);
  if (!ok) {
    failed_ = true;
    return false;
  }
  value_ = root.release();
  return true;
}

JsonDocument JsonDocument::member(std::string_view name) const {
  if (value_ == nullptr || !json_object_is_type(value_, json_type_object)) return {};
  if (name.find('\0') != std::string_view::npos) return {};  // names never hold NUL
  json_object* found = nullptr;
  if (!json_object_object_get_ex(value_, std::string(name).c_str(), &found) || found == nullptr) {
    return {};
  }
  return JsonDocument(found);
}

int JsonDocument::array_size() const {
  if (value_ == nullptr || !json_object_is_type(value_, json_type_array)) return 0;
  return static_cast<int>(json_object_array_length(value_));
}

JsonDocument JsonDocument::element(int index) const {
  if (index < 0 || index >= array_size()) return {};
  json_object* found = json_object_array_get_idx(value_, static_cast<std::size_t>(index));
  if (found == nullptr) return {};
  return JsonDocument(found);
}

std::string JsonDocument::to_text() const {
  if (failed_) return {};
  std::string out;
  append_text(out, value_, 0);
  return out;
}

std::string JsonDocument::string_value() const {
  if (failed_ || value_ == nullptr) return {};
  if (!json_object_is_type(value_, json_type_string)) return to_text();
  return std::string(json_object_get_string(value_),
                     static_cast<std::size_t>(json_object_get_string_len(value_)));
}

}  // namespace af
