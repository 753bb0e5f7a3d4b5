// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/regex_matcher.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <optional>
#include <vector>

#include "util/codepage.h"
#include "util/text.h"

namespace af {

struct RegexMatcher::State {
  struct Group {
    bool matched = false;
    int32_t start = -1;
    std::u16string text;
  };
  struct Match {
    int32_t start = 0;  // 0-based index in the UTF-16 subject
    int32_t end = 0;
    std::u16string text;
    std::vector<Group> groups;
  };
  std::string pattern;  // as the expression holds it (quote marker already replaced)
  bool global = true;
  bool ok = false;      // a match collection exists
  std::vector<Match> matches;
};

namespace {

// Steps a single match may take before it is abandoned (ICU counts steps, so this is
// independent of machine speed). Keeps a pathological pattern from hanging a download.
constexpr int32_t kMatchTimeLimit = 3000;

bool is_hex(char16_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_ascii_letter(char16_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char16_t c) { return c >= '0' && c <= '9'; }

// Rewrites an ECMAScript pattern into ICU's syntax where the two differ: \d and \w are
// ASCII-only, \v is the vertical tab, unknown letter escapes stand for the letter, []
// never matches and [^] matches anything, and a class holds its punctuation literally
// (ICU would read [ & $ inside a class as set operators).
std::u16string ecmascript_to_icu(std::u16string_view p) {
  std::u16string out;
  out.reserve(p.size() + 8);
  bool in_class = false;
  const std::size_t n = p.size();
  for (std::size_t i = 0; i < n;) {
    char16_t c = p[i];
    if (c == u'\\') {
      if (i + 1 >= n) {  // a final backslash: left for ICU to reject
        out += c;
        ++i;
        continue;
      }
      char16_t d = p[i + 1];
      i += 2;
      switch (d) {
        case u'd': out += in_class ? u"0-9" : u"[0-9]"; break;
        case u'D': out += u"[^0-9]"; break;
        case u'w': out += in_class ? u"a-zA-Z0-9_" : u"[a-zA-Z0-9_]"; break;
        case u'W': out += u"[^a-zA-Z0-9_]"; break;
        case u's': case u'S': case u'f': case u'n': case u'r': case u't':
          out += u'\\';
          out += d;
          break;
        case u'b': out += in_class ? u"\\x{08}" : u"\\b"; break;
        case u'B':
          if (in_class) {
            out += u'B';
          } else {
            out += u"\\B";
          }
          break;
        case u'v': out += u"\\x{0B}"; break;
        case u'c':
          if (i < n && is_ascii_letter(p[i])) {
            out += u"\\c";
            out += p[i++];
          } else {
            out += u"\\\\c";
          }
          break;
        case u'x':
          if (i + 1 < n && is_hex(p[i]) && is_hex(p[i + 1])) {
            out += u"\\x";
            out += p.substr(i, 2);
            i += 2;
          } else {
            out += u'x';
          }
          break;
        case u'u':
          if (i + 3 < n && is_hex(p[i]) && is_hex(p[i + 1]) && is_hex(p[i + 2]) && is_hex(p[i + 3])) {
            out += u"\\u";
            out += p.substr(i, 4);
            i += 4;
          } else {
            out += u'u';
          }
          break;
        case u'0':
          if (i < n && is_ascii_digit(p[i])) {
            out += u"\\0";  // an octal escape, as the script engines read it
          } else {
            out += u"\\x{00}";
          }
          break;
        default:
          if (is_ascii_letter(d)) {
            out += d;  // an identity escape
          } else if (is_ascii_digit(d)) {
            out += u'\\';
            out += d;  // a back reference
          } else {
            out += u'\\';
            out += d;
          }
      }
      continue;
    }
    if (in_class) {
      if (c == u']') {
        in_class = false;
        out += c;
      } else if (c < 0x80 && c != u'-' && !is_ascii_letter(c) && !is_ascii_digit(c)) {
        out += u'\\';
        out += c;
      } else {
        out += c;
      }
      ++i;
      continue;
    }
    if (c == u'[') {
      if (i + 1 < n && p[i + 1] == u']') {
        out += u"(?!)";
        i += 2;
        continue;
      }
      if (i + 2 < n && p[i + 1] == u'^' && p[i + 2] == u']') {
        out += u"[\\s\\S]";
        i += 3;
        continue;
      }
      in_class = true;
      out += c;
      ++i;
      if (i < n && p[i] == u'^') {
        out += u'^';
        ++i;
      }
      if (i < n && p[i] == u']') {  // "[]a]" is not ECMAScript; keep the bracket literal
        out += u"\\]";
        ++i;
      }
      continue;
    }
    out += c;
    ++i;
  }
  return out;
}

icu::UnicodeString as_unicode(const std::u16string& s) {
  return icu::UnicodeString(s.data(), static_cast<int32_t>(s.size()));
}

std::u16string from_unicode(const icu::UnicodeString& s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.getBuffer()),
                        static_cast<std::size_t>(s.length()));
}

// The byte offset of a match in the GBK subject: the GBK text searched for from the byte
// whose 1-based number is the UTF-16 start index. -2 when it is not found.
long long byte_position(const std::string& subject, const std::string& needle, int32_t start) {
  std::size_t from = start <= 0 ? 1 : static_cast<std::size_t>(start);
  if (needle.empty()) {
    return from <= subject.size() + 1 ? static_cast<long long>(from) - 1 : -2;
  }
  std::size_t found = find_text(subject, needle, from);
  return found == 0 ? -2 : static_cast<long long>(found) - 1;
}

}  // namespace

RegexMatcher::RegexMatcher() = default;
RegexMatcher::RegexMatcher(const RegexMatcher& other) = default;
RegexMatcher& RegexMatcher::operator=(const RegexMatcher& other) = default;
RegexMatcher::~RegexMatcher() = default;

bool RegexMatcher::execute(const std::string& pattern, const std::string& subject,
                           bool case_sensitive, bool multiline, bool global, bool quote_marker) {
  state_.reset();
  auto state = std::make_shared<State>();
  state->pattern = quote_marker ? replace_text(pattern, kQuoteMarker, "\"") : pattern;
  state->global = global;
  subject_gbk_ = subject;
  subject_ = gbk_to_utf16(subject);

  uint32_t flags = 0;
  if (!case_sensitive) flags |= UREGEX_CASE_INSENSITIVE;
  if (multiline) flags |= UREGEX_MULTILINE;
  UErrorCode status = U_ZERO_ERROR;
  UParseError parse_error{};
  std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
      as_unicode(ecmascript_to_icu(gbk_to_utf16(state->pattern))), flags, parse_error, status));
  if (U_FAILURE(status) || !compiled) {
    state_ = std::move(state);
    return false;
  }
  icu::UnicodeString subject_text = as_unicode(subject_);
  std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(subject_text, status));
  if (U_FAILURE(status) || !matcher) {
    state_ = std::move(state);
    return false;
  }
  matcher->setTimeLimit(kMatchTimeLimit, status);
  const int32_t groups = matcher->groupCount();
  while (U_SUCCESS(status) && matcher->find(status) && U_SUCCESS(status)) {
    State::Match m;
    m.start = matcher->start(status);
    m.end = matcher->end(status);
    m.text = from_unicode(matcher->group(status));
    for (int32_t g = 1; g <= groups; ++g) {
      State::Group group;
      group.start = matcher->start(g, status);
      if (group.start >= 0) {
        group.matched = true;
        group.text = from_unicode(matcher->group(g, status));
      }
      m.groups.push_back(std::move(group));
    }
    state->matches.push_back(std::move(m));
    if (!global) break;
  }
  if (U_FAILURE(status)) {  // the step limit ran out: no collection
    state->matches.clear();
    state_ = std::move(state);
    return false;
  }
  state->ok = true;
  state_ = std::move(state);
  return true;
}

std::string RegexMatcher::pattern() const { return state_ ? state_->pattern : std::string(); }

int RegexMatcher::match_count() const {
  if (!state_ || !state_->ok) return 0;
  return static_cast<int>(state_->matches.size());
}

std::string RegexMatcher::match_text(int index, long long* position) const {
  if (index < 1 || index > match_count()) return {};
  const State::Match& m = state_->matches[static_cast<std::size_t>(index) - 1];
  std::string text = utf16_to_gbk(m.text);
  if (position != nullptr) *position = byte_position(subject_gbk_, text, m.start);
  return text;
}

std::string RegexMatcher::submatch_text(int match_index, int group_index, long long* position) const {
  if (match_index < 1 || match_index > match_count()) return {};
  const State::Match& m = state_->matches[static_cast<std::size_t>(match_index) - 1];
  if (group_index < 1 || group_index > static_cast<int>(m.groups.size())) return {};
  const State::Group& g = m.groups[static_cast<std::size_t>(group_index) - 1];
  if (!g.matched) return {};
  std::string text = utf16_to_gbk(g.text);
  if (position != nullptr) *position = byte_position(subject_gbk_, text, m.start);
  return text;
}

int RegexMatcher::submatch_count() const {
  if (match_count() == 0) return 0;
  return static_cast<int>(state_->matches.front().groups.size());
}

// Group references as the Windows regular-expression object's Replace reads them:
// $$ a dollar, $& the match, $` the text before it, $' the text after it, $n and $nn a
// capture group (two digits win when that group exists); anything else stays literal.
std::string RegexMatcher::replace(const std::string& replacement) const {
  if (!state_ || !state_->ok) return {};
  const std::u16string with = gbk_to_utf16(replacement);
  std::u16string out;
  std::size_t copied = 0;  // subject units already written
  for (const State::Match& m : state_->matches) {
    out.append(subject_, copied, static_cast<std::size_t>(m.start) - copied);
    const int groups = static_cast<int>(m.groups.size());
    auto group_text = [&](int g) -> std::u16string_view {
      const State::Group& group = m.groups[static_cast<std::size_t>(g) - 1];
      return group.matched ? std::u16string_view(group.text) : std::u16string_view();
    };
    for (std::size_t i = 0; i < with.size(); ++i) {
      char16_t c = with[i];
      if (c != u'$' || i + 1 >= with.size()) {
        out += c;
        continue;
      }
      char16_t d = with[i + 1];
      if (d == u'$') {
        out += u'$';
        ++i;
      } else if (d == u'&') {
        out += m.text;
        ++i;
      } else if (d == u'`') {
        out.append(subject_, 0, static_cast<std::size_t>(m.start));
        ++i;
      } else if (d == u'\'') {
        out.append(subject_, static_cast<std::size_t>(m.end));
        ++i;
      } else if (is_ascii_digit(d)) {
        int one = d - u'0';
        int two = -1;
        if (i + 2 < with.size() && is_ascii_digit(with[i + 2])) two = one * 10 + (with[i + 2] - u'0');
        if (two >= 1 && two <= groups) {
          out += group_text(two);
          i += 2;
        } else if (one >= 1 && one <= groups) {
          out += group_text(one);
          i += 1;
        } else {
          out += c;
        }
      } else {
        out += c;
      }
    }
    copied = static_cast<std::size_t>(m.end);
  }
  out.append(subject_, copied);
  return utf16_to_gbk(out);
}

// The matches of [\u4e00-\u9fa5] (case-insensitive, global) joined, without compiling the
// class: its case closure alone costs more than the rest of a photo's name. The range lies
// in the Basic Multilingual Plane, clear of surrogates, and no character outside it folds
// into it, so each UTF-16 unit in the range is one match.
std::string ideographs_only(const std::string& text) {
  std::u16string kept;
  for (const char16_t unit : gbk_to_utf16(text))
    if (unit >= u'\u4e00' && unit <= u'\u9fa5') kept += unit;
  return utf16_to_gbk(kept);
}

}  // namespace af
