// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/regex_matcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/codepage.h"

namespace af {
namespace {

std::vector<std::string> all_matches(const RegexMatcher& m) {
  std::vector<std::string> out;
  for (int i = 1; i <= m.match_count(); ++i) out.push_back(m.match_text(i));
  return out;
}

// ---- the one use: ideographs of a caption ------------------------------------------------

struct IdeographCase {
  std::string caption;
  std::string expected;
};

class Ideographs : public ::testing::TestWithParam<IdeographCase> {};

TEST_P(Ideographs, KeepsOnlyU4E00ToU9FA5) {
  EXPECT_EQ(ideographs_only(GetParam().caption), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Captions, Ideographs,
    ::testing::Values(IdeographCase{G("2013年春游"), G("年春游")}, IdeographCase{"abc 123", ""},
                      IdeographCase{"", ""},
                      IdeographCase{G("中，文。"), G("中文")},  // full-width punctuation dropped
                      IdeographCase{G("一") + "\x95\x32\x82\x36" + G("龥"), G("一龥")},  // U+20000 dropped
                      IdeographCase{"\x82\x35\x8F\x33", ""},  // U+9FA6 just past the range
                      IdeographCase{G("ＡＢ照片№1"), G("照片")}));

TEST(RegexMatcher, IdeographPatternAsWrittenInGbk) {
  RegexMatcher m;
  EXPECT_TRUE(m.execute("[\\u4e00-\\u9fa5]", G("a中b文"), false, true));
  EXPECT_EQ(all_matches(m), (std::vector<std::string>{G("中"), G("文")}));
}

// The filter keeps what the case-insensitive pattern matches, over the whole plane and
// the start of the next (every code point, in pieces so that a difference names its piece).
TEST(RegexMatcher, IdeographsOnlyKeepsWhatThePatternMatches) {
  for (char32_t from = 0x20; from < 0x11000; from += 0x1000) {
    std::u16string piece;
    for (char32_t c = from; c < from + 0x1000; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      if (c < 0x10000) {
        piece += static_cast<char16_t>(c);
      } else {
        piece += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        piece += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
      }
    }
    const std::string text = utf16_to_gb18030(piece);
    RegexMatcher m;
    ASSERT_TRUE(m.execute("[\\u4e00-\\u9fa5]", text, false, true));
    std::string matched;
    for (const auto& match : all_matches(m)) matched += match;
    EXPECT_EQ(ideographs_only(text), matched) << "from U+" << std::hex << static_cast<unsigned>(from);
  }
}

// ---- options ----------------------------------------------------------------------------------

struct OptionCase {
  std::string name;
  std::string pattern;
  std::string subject;
  bool case_sensitive;
  bool multiline;
  bool global;
  std::vector<std::string> expected;
};

class RegexOptions : public ::testing::TestWithParam<OptionCase> {};

TEST_P(RegexOptions, FindsTheExpectedMatches) {
  const OptionCase& c = GetParam();
  RegexMatcher m;
  EXPECT_TRUE(m.execute(c.pattern, c.subject, c.case_sensitive, c.multiline, c.global));
  EXPECT_EQ(all_matches(m), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Options, RegexOptions,
    ::testing::Values(
        OptionCase{"IgnoreCaseByDefault", "abc", "xABCx", false, true, true, {"ABC"}},
        OptionCase{"CaseSensitive", "abc", "xABCx", true, true, true, {}},
        OptionCase{"MultilineCaret", "^b", "a\nb", false, true, true, {"b"}},
        OptionCase{"SingleLineCaret", "^b", "a\nb", false, false, true, {}},
        OptionCase{"MultilineDollar", "a$", "a\r\nba", false, true, true, {"a", "a"}},
        OptionCase{"Global", "a", "aaa", false, true, true, {"a", "a", "a"}},
        OptionCase{"NotGlobal", "a", "aaa", false, true, false, {"a"}},
        OptionCase{"EmptyMatches", "x*", "ab", false, true, true, {"", "", ""}},
        OptionCase{"DigitsAreAscii", "\\d+", "12\xA3\xB1\xA3\xB2" "3", false, true, true, {"12", "3"}},
        OptionCase{"WordIsAscii", "\\w+", G("ab中c_1"), false, true, true, {"ab", "c_1"}},
        OptionCase{"DigitClass", "[\\d.]+", "v1.25x", false, true, true, {"1.25"}},
        OptionCase{"NotDigitInClass", "[\\Da]+", "12ab3", false, true, true, {"ab"}},
        OptionCase{"EmptyClassNeverMatches", "a[]", "a", false, true, true, {}},
        OptionCase{"NegatedEmptyClassMatchesAll", "a[^]b", "a\nb", false, true, true, {"a\nb"}},
        OptionCase{"VerticalTab", "\\v", "a\vb\nc", false, true, true, {"\v"}},
        OptionCase{"BracketInClass", "[[a]+", "x[a[y", false, true, true, {"[a["}},
        OptionCase{"DollarAndAmpInClass", "[$&]+", "a$&b", false, true, true, {"$&"}},
        OptionCase{"IdentityEscape", "\\e\\q", "eq", false, true, true, {"eq"}},
        OptionCase{"HexEscape", "\\x41\\u0042", "xAB", true, true, true, {"AB"}},
        OptionCase{"BackspaceInClass", "[\\b]", "a\bb", false, true, true, {"\b"}},
        OptionCase{"WordBoundary", "\\bcat\\b", "cat concat cat", false, true, true, {"cat", "cat"}},
        OptionCase{"Alternation", "ab|cd", "xcdab", false, true, true, {"cd", "ab"}},
        OptionCase{"Quantifier", "a{2}", "aaaaa", false, true, true, {"aa", "aa"}}),
    [](const auto& info) { return info.param.name; });

TEST(RegexMatcher, QuoteMarkerStandsForADoubleQuote) {
  const std::string pattern = G("a#引号b");
  RegexMatcher m;
  EXPECT_TRUE(m.execute(pattern, "xa\"by", false, true, true, true));
  EXPECT_EQ(all_matches(m), std::vector<std::string>{"a\"b"});
  EXPECT_EQ(m.pattern(), "a\"b");

  EXPECT_TRUE(m.execute(pattern, "xa\"by", false, true, true, false));
  EXPECT_EQ(m.match_count(), 0);
  EXPECT_TRUE(m.execute(pattern, "x" + pattern + "y", false, true, true, false));
  EXPECT_EQ(all_matches(m), std::vector<std::string>{pattern});
  EXPECT_EQ(m.pattern(), pattern);
}

// ---- numbering, failure and reads before execute -----------------------------------------

TEST(RegexMatcher, MatchNumberingIsOneBased) {
  RegexMatcher m;
  ASSERT_TRUE(m.execute("b.", "b1b2b3"));
  ASSERT_EQ(m.match_count(), 3);
  EXPECT_EQ(m.match_text(1), "b1");
  EXPECT_EQ(m.match_text(3), "b3");
  EXPECT_EQ(m.match_text(0), "");
  EXPECT_EQ(m.match_text(4), "");
  EXPECT_EQ(m.match_text(-1), "");
}

TEST(RegexMatcher, EmptyBeforeTheFirstExecute) {
  RegexMatcher m;
  EXPECT_EQ(m.pattern(), "");
  EXPECT_EQ(m.match_count(), 0);
  EXPECT_EQ(m.match_text(1), "");
  EXPECT_EQ(m.submatch_text(1, 1), "");
  EXPECT_EQ(m.submatch_count(), 0);
  EXPECT_EQ(m.replace("x"), "");
}

TEST(RegexMatcher, PatternThatDoesNotCompile) {
  RegexMatcher m;
  ASSERT_TRUE(m.execute("a", "a"));
  for (const char* bad : {"(", "a)", "[a", "*a", "a\\"}) {
    EXPECT_FALSE(m.execute(bad, "a(b)[a*")) << bad;
    EXPECT_EQ(m.match_count(), 0) << bad;
    EXPECT_EQ(m.match_text(1), "") << bad;
    EXPECT_EQ(m.replace("x"), "") << bad;
    EXPECT_EQ(m.submatch_count(), 0) << bad;
    EXPECT_EQ(m.pattern(), bad);
  }
}

TEST(RegexMatcher, UnmappableMatchTextBecomesQuestionMark) {
  RegexMatcher m;
  ASSERT_TRUE(m.execute(".", "\x95\x32\x82\x36"));  // U+20000, absent from GBK
  ASSERT_EQ(m.match_count(), 1);
  EXPECT_EQ(m.match_text(1), "?");
}

// ---- positions -------------------------------------------------------------------------------

struct PositionCase {
  std::string pattern;
  std::string subject;
  std::vector<long long> positions;
};

class RegexPositions : public ::testing::TestWithParam<PositionCase> {};

TEST_P(RegexPositions, ByteOffsetsFollowTheSearchRule) {
  const PositionCase& c = GetParam();
  RegexMatcher m;
  ASSERT_TRUE(m.execute(c.pattern, c.subject));
  std::vector<long long> got;
  for (int i = 1; i <= m.match_count(); ++i) {
    long long pos = -100;
    m.match_text(i, &pos);
    got.push_back(pos);
  }
  EXPECT_EQ(got, c.positions);
}

INSTANTIATE_TEST_SUITE_P(
    Positions, RegexPositions,
    ::testing::Values(PositionCase{"a", "xaxa", {1, 3}}, PositionCase{"x", "xx", {0, 0}},
                      PositionCase{"b", G("中中b"), {4}},
                      // The search starts at the byte numbered by the 0-based UTF-16 index,
                      // which is early: an identical earlier text is reported instead.
                      PositionCase{"a", G("中a中a"), {2, 2}},
                      PositionCase{G("文"), G("中文文"), {2, 2}},
                      PositionCase{"^", "ab", {0}}));

TEST(RegexMatcher, CaseInsensitiveMatchFoundCaseSensitivelyInSubject) {
  RegexMatcher m;
  ASSERT_TRUE(m.execute("ab", "AB"));
  long long pos = -100;
  EXPECT_EQ(m.match_text(1, &pos), "AB");
  EXPECT_EQ(pos, 0);
}

// ---- groups ----------------------------------------------------------------------------------

TEST(RegexMatcher, SubmatchesOfEachMatch) {
  RegexMatcher m;
  ASSERT_TRUE(m.execute("(\\d)(x)?", "1x2"));
  ASSERT_EQ(m.match_count(), 2);
  EXPECT_EQ(m.submatch_count(), 2);
  EXPECT_EQ(m.submatch_text(1, 1), "1");
  EXPECT_EQ(m.submatch_text(1, 2), "x");
  EXPECT_EQ(m.submatch_text(2, 1), "2");
  EXPECT_EQ(m.submatch_text(2, 2), "");  // did not take part
  EXPECT_EQ(m.submatch_text(1, 0), "");
  EXPECT_EQ(m.submatch_text(1, 3), "");
  EXPECT_EQ(m.submatch_text(3, 1), "");
  long long pos = -100;
  EXPECT_EQ(m.submatch_text(1, 2, &pos), "x");
  EXPECT_EQ(pos, 1);
  EXPECT_EQ(m.submatch_text(2, 1, &pos), "2");
  EXPECT_EQ(pos, 2);
}

TEST(RegexMatcher, SubmatchCountIsZeroWithoutMatch) {
  RegexMatcher m;
  ASSERT_TRUE(m.execute("(a)(b)", "xyz"));
  EXPECT_EQ(m.submatch_count(), 0);
  ASSERT_TRUE(m.execute("ab", "ab"));
  EXPECT_EQ(m.submatch_count(), 0);
}

// ---- replace ---------------------------------------------------------------------------------

struct ReplaceCase {
  std::string pattern;
  std::string subject;
  bool global;
  std::string replacement;
  std::string expected;
};

class RegexReplace : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(RegexReplace, GroupReferences) {
  const ReplaceCase& c = GetParam();
  RegexMatcher m;
  ASSERT_TRUE(m.execute(c.pattern, c.subject, false, true, c.global));
  EXPECT_EQ(m.replace(c.replacement), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Replace, RegexReplace,
    ::testing::Values(
        ReplaceCase{"(\\w+)\\s(\\w+)", "John Smith", true, "$2, $1", "Smith, John"},
        ReplaceCase{"b", "abc", true, "[$&]", "a[b]c"},
        ReplaceCase{"b", "abc", true, "[$`]", "a[a]c"},
        ReplaceCase{"b", "abc", true, "[$']", "a[c]c"},
        ReplaceCase{"b", "abc", true, "$$", "a$c"},
        ReplaceCase{"b", "abc", true, "$", "a$c"},
        ReplaceCase{"b", "abc", true, "$x$", "a$x$c"},
        ReplaceCase{"(b)", "abc", true, "$0", "a$0c"},
        ReplaceCase{"(b)", "abc", true, "$2", "a$2c"},
        ReplaceCase{"(b)", "abc", true, "$10", "ab0c"},    // $1 then a literal 0
        ReplaceCase{"(b)", "abc", true, "$01", "abc"},     // two-digit form of group 1
        ReplaceCase{"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)", "abcdefghij", true, "$10$1", "ja"},
        ReplaceCase{"(x)?b", "abc", true, "[$1]", "a[]c"},
        ReplaceCase{"o", "foo boo", true, "0", "f00 b00"},
        ReplaceCase{"o", "foo boo", false, "0", "f0o boo"},
        ReplaceCase{"x*", "abc", true, "-", "-a-b-c-"},
        ReplaceCase{"z", "abc", true, "-", "abc"},
        ReplaceCase{"b", G("中b文"), true, G("字"), G("中字文")}));

// ---- copies ----------------------------------------------------------------------------------

TEST(RegexMatcher, CopySharesMatchesAndKeepsItsSubject) {
  RegexMatcher m;
  ASSERT_TRUE(m.execute("(o)", "foo"));
  RegexMatcher copy(m);
  ASSERT_TRUE(m.execute("z", "zzz"));
  EXPECT_EQ(copy.match_count(), 2);
  EXPECT_EQ(copy.pattern(), "(o)");
  EXPECT_EQ(copy.submatch_text(2, 1), "o");
  EXPECT_EQ(copy.replace("0"), "f00");
  long long pos = -100;
  copy.match_text(2, &pos);
  EXPECT_EQ(pos, 1);  // searched from byte 2, where the first "o" stands
  RegexMatcher assigned;
  assigned = copy;
  EXPECT_EQ(assigned.replace("[$1]"), "f[o][o]");
  EXPECT_EQ(m.match_count(), 3);
}

}  // namespace
}  // namespace af
