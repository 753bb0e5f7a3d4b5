// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/codepage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace af {
namespace {

TEST(Utf8ToGbk, Conversions) {
  struct Case {
    std::string utf8, gbk;
  } cases[] = {
      {"", ""},
      {"abc", "abc"},
      {"\xE4\xB8\xAD\xE6\x96\x87", "\xD6\xD0\xCE\xC4"},  // 中文
      {"a\xFF" "b", "a?b"},                              // invalid byte: U+FFFD, which GBK lacks
      {"\xE2\x82\xAC", "\x80"},                          // the euro sign of code page 936
      {"\xF0\x9F\x98\x80x", "?x"},                       // an emoji GBK lacks
      {"\xE0\xA4\x85", "?"},                             // Devanagari letter A
      {std::string("ab\0cd", 5), "ab"},                  // cut at the first NUL
      {"\xE4\xB8", "?"},                                 // truncated sequence
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_to_gbk(c.utf8), c.gbk) << c.utf8;
}

// Service answers keep every character: GBK ones as utf8_to_gbk gives them, the others as
// four-byte GB18030, and the text reads back to the UTF-8 it came from.
TEST(ServiceUtf8ToText, KeepsEveryCharacter) {
  struct Case {
    std::string utf8, text;
    bool as_gbk;  // utf8_to_gbk gives the same bytes
    bool round_trip;
  } cases[] = {
      {"", "", true, true},
      {"abc/1", "abc/1", true, true},
      {"中文猫", "\xD6\xD0\xCE\xC4\xC3\xA8", true, true},
      {"猫🐱", "\xC3\xA8\x94\x39\xCE\x33", false, true},  // an emoji, U+1F431
      {"고양이", "\x82\x37\xE5\x39\x83\x32\xE8\x30\x83\x33\x9A\x33", false, true},  // Hangul
      {"𠮷", "\x95\x34\xB2\x35", false, true},  // U+20BB7, an ideograph outside GBK
      {"a\xFF!", "a\x84\x31\xA4\x37!", false, false},  // an invalid byte: U+FFFD
      {"\xE4\xB8", "\x84\x31\xA4\x37", false, false},  // a truncated sequence
      {std::string("a\xF0\x9F\x90\xB1\0cd", 8), "a\x94\x39\xCE\x33", false, false},  // cut at NUL
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(service_utf8_to_text(c.utf8), c.text);
    if (c.as_gbk) {
      EXPECT_EQ(utf8_to_gbk(c.utf8), c.text);
    }
    if (c.round_trip) {
      EXPECT_EQ(gbk_to_utf8(c.text), c.utf8);
    }
  }
}

TEST(Gb18030, FourByteCharactersRoundTrip) {
  // U+20000 (an extension B ideograph) has a four-byte GB18030 form.
  std::string four = code_point_to_gb18030(0x20000);
  EXPECT_EQ(four.size(), 4u);
  EXPECT_EQ(code_point_to_gb18030(0x4E2D), "\xD6\xD0");
  std::u16string back = gbk_to_utf16(four);
  EXPECT_EQ(back, std::u16string(u"\U00020000"));
  EXPECT_EQ(utf16_to_gbk(back), "?");
  EXPECT_EQ(gbk_to_utf8("\xD6\xD0"), "\xE4\xB8\xAD");
  EXPECT_EQ(utf8_to_gb18030("\xF0\xA0\x80\x80"), four);
  EXPECT_EQ(G("全局设置"), "\xC8\xAB\xBE\xD6\xC9\xE8\xD6\xC3");
}

TEST(Utf16ToGbk, LoneSurrogateBecomesQuestionMark) {
  std::u16string lone;
  lone.push_back(u'a');
  lone.push_back(static_cast<char16_t>(0xD800));
  lone.push_back(u'b');
  EXPECT_EQ(utf16_to_gbk(lone), "a?b");
}

// Each thread converts with converters of its own: threads converting at once, between
// code pages and in both directions, each get exactly their own texts back.
TEST(CodePages, ThreadsConvertingAtOnceKeepTheirOwnTexts) {
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t, &wrong] {
      const std::string utf8 = "线程" + std::to_string(t) + " 相册😀 ünï";
      for (int i = 0; i < 2000; ++i) {
        const std::string text = service_utf8_to_text(utf8 + std::to_string(i));
        if (gbk_to_utf8(text) != utf8 + std::to_string(i)) ++wrong;
        if (utf16_to_gbk(gbk_to_utf16(G("相册") + std::to_string(i))) != G("相册") + std::to_string(i))
          ++wrong;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace af
