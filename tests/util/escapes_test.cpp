// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/escapes.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "util/codepage.h"
#include "util/json_document.h"

namespace af {
namespace {

struct DecodeCase {
  std::string name;
  std::string input;
  std::string expected;
};

class DecodeEscapes : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeEscapes, GivesTheScriptEnginesValue) {
  EXPECT_EQ(decode_escapes(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DecodeEscapes,
    ::testing::Values(
        DecodeCase{"Plain", G("春游 2013"), G("春游 2013")},
        DecodeCase{"Empty", "", ""},
        DecodeCase{"SlashAndBackslash", "a\\/b\\\\c", "a/b\\c"},
        DecodeCase{"UnicodeEscapeToGbk", "ab\\u4e2dcd", "ab\xD6\xD0" "cd"},
        DecodeCase{"UpperCaseU", "\\U4e2d", "U4e2d"},
        DecodeCase{"PercentHex", "100%41", "100A"},
        DecodeCase{"PercentU", "%u4E2D%u6587", "\xD6\xD0\xCE\xC4"},
        DecodeCase{"LonePercent", "50%, 60%", "50%, 60%"},
        DecodeCase{"PercentNotHex", "%zz%u12", "%zz%u12"},
        DecodeCase{"Apostrophe", "it's 'ok'", "it's 'ok'"},
        DecodeCase{"RightQuoteComesBackAsApostrophe", G("it’s"), "it's"},
        DecodeCase{"LineBreakPair", "line1\r\nline2", "line1\r\nline2"},
        DecodeCase{"LeadingLineBreakPair", "\r\nx", "\r\nx"},
        DecodeCase{"LeadingCarriageReturnDropped", "\rabc", "abc"},
        DecodeCase{"EscapedControls", "a\\tb\\nc\\rd\\be\\vf\\fg", "a\tb\nc\rd\be\vf\fg"},
        DecodeCase{"EscapedQuotes", "\\\"q\\'", "\"q'"},
        DecodeCase{"HexEscape", "\\x41\\x4a", "AJ"},
        DecodeCase{"HexEscapeIncomplete", "\\x4\\xg1", "x4xg1"},
        DecodeCase{"UnicodeWithoutDigits", "\\uzz", "%uzz"},
        DecodeCase{"Octal", "\\101\\60", "A0"},
        DecodeCase{"OctalAtMostThreeDigits", "\\1010", "A0"},
        DecodeCase{"OctalAtMost255", "\\477", "'7"},
        DecodeCase{"OctalNotEight", "\\8\\9", "89"},
        DecodeCase{"IdentityEscape", "\\q\\%41", "qA"},
        DecodeCase{"PercentZeroCuts", "ab%00cd", "ab"},
        DecodeCase{"OctalZeroCuts", "ab\\0cd", "ab"},
        DecodeCase{"EscapedUnicodeZeroCuts", "ab\\u0000cd", "ab"},
        // Characters GBK lacks keep their four GB18030 bytes.
        DecodeCase{"NotInGbk", "%uD83D%uDE00x", "\x94\x39\xFC\x36x"},
        DecodeCase{"LineSeparatorAfterUnescapeIsFine", "a%u2028b", "a\x81\x36\xA6\x35" "b"},
        // A trail byte equal to the backslash is part of its character, never an escape.
        DecodeCase{"TrailByteBackslash", "\x95\x5Cu4e2d", "\x95\x5Cu4e2d"},
        DecodeCase{"TrailByteBackslashThenQuote", "\x95\x5C'", "\x95\x5C'"},
        // Failures: the literal would not compile.
        DecodeCase{"LoneLineFeed", "a\nb", ""},
        DecodeCase{"LoneCarriageReturnInside", "a\rb", ""},
        DecodeCase{"FinalBackslash", "abc\\", ""},
        DecodeCase{"EscapedLineFeed", "a\\\nb", ""},
        DecodeCase{"EscapedLineBreakPairIsAPlaceholder", "a\\\r\nb", "a\r\nb"},
        DecodeCase{"RawLineSeparator", "a\x81\x36\xA6\x35", ""}),
    [](const auto& info) { return info.param.name; });

// What JsonDocument writes for a caption, with its quotes removed as the album list reader
// does, decodes back to the caption itself.
TEST(DecodeEscapesRoundTrip, JsonCaptionsComeBack) {
  struct Case {
    std::string json;
    std::string caption;
  };
  const Case cases[] = {
      {"\"a\\/b\"", "a/b"},
      {"\"back\\\\slash\"", "back\\slash"},
      {"\"tab\\there\"", "tab\there"},
      {"\"ctl\\u0001x\"", "ctl\x01x"},
      {"\"\\u6625\\u6e38 2013\"", G("春游 2013")},
      {"\"it's\"", "it's"},
      {"\"100%41\"", "100A"},  // the percent sequence is decoded, as on the real system
      {"\"\x95\x5C\"", "\x95\x5C"},
      {"\"two\\r\\nlines\"", "two\r\nlines"},
  };
  for (const Case& c : cases) {
    JsonDocument doc;
    ASSERT_TRUE(doc.parse(c.json)) << c.json;
    std::string unquoted;
    for (char ch : doc.to_text()) {
      if (ch != '"') unquoted += ch;
    }
    EXPECT_EQ(decode_escapes(unquoted), c.caption) << c.json;
  }
}

TEST(RandomFraction, SeventeenCharactersOverManyDraws) {
  std::set<std::string> seen;
  for (int i = 0; i < 5000; ++i) {
    std::string t = random_fraction_text();
    ASSERT_EQ(t.size(), 17u) << t;
    ASSERT_EQ(t.substr(0, 2), "0.") << t;
    for (std::size_t k = 2; k < t.size(); ++k) ASSERT_TRUE(t[k] >= '0' && t[k] <= '9') << t;
    ASSERT_NE(t.back(), '0') << t;
    seen.insert(t);
  }
  // Uniform draws with 15 digits practically never repeat.
  EXPECT_GT(seen.size(), 4990u);
  // Values below 0.1 are kept only when the 15 digits after "0.0" end up 14 long.
  int small = 0;
  for (const auto& t : seen) small += t[2] == '0';
  EXPECT_LT(small, 250);
}

}  // namespace
}  // namespace af
