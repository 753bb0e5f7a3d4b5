// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/text.h"

#include <gtest/gtest.h>

#include "util/codepage.h"

namespace af {
namespace {

// 中 is D6 D0; "\x81\x5C" is a two-byte character whose second byte is a backslash.
const std::string kTrailBackslash = "\x81\x5C";

TEST(FindText, NeverStartsOnSecondByte) {
  // The second byte of 0x81 0x5C equals "\": a search for "\" must skip it.
  EXPECT_EQ(find_text("a" + kTrailBackslash + "\\", "\\"), 4u);
  EXPECT_EQ(find_text(kTrailBackslash, "\\"), 0u);
  EXPECT_EQ(find_last_text("\\" + kTrailBackslash, "\\"), 1u);
  // A trail byte that equals an ASCII letter is not a letter either.
  EXPECT_EQ(find_text("\xB0\x41", "A"), 0u);
}

TEST(FindText, IgnoreCaseNeverFoldsASecondByte) {
  // 0x81 0x61 and 0x81 0x41 are two different characters.
  EXPECT_EQ(find_text("\x81\x61", "\x81\x41", 1, true), 0u);
  EXPECT_EQ(find_text("\x81\x41", "\x81\x41", 1, true), 1u);
  EXPECT_EQ(replace_text("\x81\x61" "A", "\x81\x41", "x", true), "\x81\x61" "A");
  // A start position on a second byte moves to the next character.
  EXPECT_EQ(find_text("\x81\x5C\\", "\\", 2), 3u);
}

TEST(FindText, StartAndCase) {
  struct Case {
    std::string text, needle;
    std::size_t start;
    bool ignore;
    std::size_t expected;
  } cases[] = {
      {"abcabc", "abc", 1, false, 1}, {"abcabc", "abc", 2, false, 4}, {"abcabc", "abc", 0, false, 1},
      {"abcABC", "ABC", 1, false, 4}, {"abcABC", "ABC", 1, true, 1},  {"abc", "x", 1, false, 0},
      {"abc", "abc", 2, false, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(find_text(c.text, c.needle, c.start, c.ignore), c.expected) << c.text;
}

TEST(TrimText, RemovesOnlyBothKindsOfSpace) {
  EXPECT_EQ(trim_text("  a b  "), "a b");
  EXPECT_EQ(trim_text("\xA1\xA1 x\xA1\xA1"), "x");
  EXPECT_EQ(trim_text("\tx\r\n"), "\tx\r\n");
  // A1 A1 that is not a whole character at the end stays: B0 A1 is one character.
  EXPECT_EQ(trim_text("\xB0\xA1\xA1"), "\xB0\xA1\xA1");
  EXPECT_EQ(trim_text("   "), "");
  // 0x20 after a lead byte is that character's second byte, not a space.
  EXPECT_EQ(trim_text("a\x81 "), "a\x81 ");
  EXPECT_EQ(trim_text("\xA1\xA1\xA1\xA1"), "");
  EXPECT_EQ(remove_spaces(" a\xA1\xA1 b "), "ab");
}

TEST(LowerText, KeepsTwoByteCharacters) {
  EXPECT_EQ(lower_text("AbC"), "abc");
  EXPECT_EQ(lower_text("\xB0\x41Z"), "\xB0\x41z");
}

TEST(SplitText, EmptyPieces) {
  using V = std::vector<std::string>;
  EXPECT_EQ(split_text("", ";"), V{});
  EXPECT_EQ(split_text("a;", ";"), V{"a"});
  EXPECT_EQ(split_text("a;;b", ";"), (V{"a", "", "b"}));
  EXPECT_EQ(split_text(";a", ";"), (V{"", "a"}));
  EXPECT_EQ(split_text("a; b; c", "; "), (V{"a", "b", "c"}));
  EXPECT_EQ(split_text("1@@2@@", "@@"), (V{"1", "2"}));
}

TEST(ReplaceText, LeftToRightWithoutOverlap) {
  EXPECT_EQ(replace_text("aaa", "aa", "b"), "ba");
  EXPECT_EQ(replace_text("Set-Cookie set-cookie", "set-cookie", "Set-Cookie", true), "Set-Cookie Set-Cookie");
  EXPECT_EQ(replace_text(kTrailBackslash + "\\", "\\", "/"), kTrailBackslash + "/");
}

TEST(LeftRight, Bounds) {
  EXPECT_EQ(left_text("abc", 0), "");
  EXPECT_EQ(left_text("abc", -1), "");
  EXPECT_EQ(left_text("abc", 2), "ab");
  EXPECT_EQ(left_text("abc", 9), "abc");
  EXPECT_EQ(right_text("abc", 2), "bc");
  EXPECT_EQ(right_text("abc", 9), "abc");
}

TEST(ToInteger, LeadingDigitsOnly) {
  struct Case {
    const char* text;
    std::int64_t value;
  } cases[] = {{"123", 123},   {"  42x", 42},  {"-5", -5},         {"+7", 7}, {"abc", 0},
               {"", 0},        {"1E5", 1},     {" - 3", 0},        {"9999999999", 9999999999LL},
               {"99999999999999999999999", INT64_MAX}};
  for (const auto& c : cases) EXPECT_EQ(to_integer(c.text), c.value) << c.text;
  EXPECT_EQ(to_int32("99999999999"), INT32_MAX);
}

TEST(TextBetween, Markers) {
  EXPECT_EQ(text_between("x<a>1</a><a>2</a>", "<a>", "</a>"), "1");
  EXPECT_EQ(text_between("</a>x<a>", "<a>", "</a>"), "");
  EXPECT_EQ(text_between("<a></a>", "<a>", "</a>"), "");
  EXPECT_EQ(text_between("no markers", "<a>", "</a>"), "");
  EXPECT_EQ(text_between("id=\"42\"", "id=" + std::string(kQuoteMarker), std::string(kQuoteMarker)), "42");
  EXPECT_EQ(text_between("A:1;a:2;", "a:", ";", 1, true), "1");
  EXPECT_EQ(text_between("A:1;a:2;", "a:", ";", 1, false), "2");
  EXPECT_EQ(text_between("a:1;a:2;", "a:", ";", 3), "2");
}

}  // namespace
}  // namespace af
