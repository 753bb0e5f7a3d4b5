// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/json_document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/codepage.h"

namespace af {
namespace {

struct TextCase {
  std::string input;
  std::string expected;
};

std::string reparse(const std::string& input) {
  JsonDocument doc;
  EXPECT_TRUE(doc.parse(input)) << input;
  return doc.to_text();
}

// ---- numbers --------------------------------------------------------------------------

class JsonNumberForms : public ::testing::TestWithParam<TextCase> {};

TEST_P(JsonNumberForms, ReadsBackInTheFixedForm) {
  EXPECT_EQ(reparse(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, JsonNumberForms,
    ::testing::Values(TextCase{"2147483647", "2147483647"}, TextCase{"-5", "-5"},
                      TextCase{"0", "0"}, TextCase{"-0", "0"},
                      TextCase{"3.0", "3.000000"}, TextCase{"1e2", "100.000000"},
                      TextCase{"1.5", "1.500000"}, TextCase{"0.25", "0.250000"},
                      TextCase{"-0.5", "-0.500000"}, TextCase{"1e-7", "0.000000"},
                      TextCase{"2.5E3", "2500.000000"},  // a point makes it floating
                      TextCase{"1E5", "1"},              // an upper-case E does not
                      TextCase{"1E+5", "1"}, TextCase{"-12E3", "-12"},
                      TextCase{"9223372036854775807", "9223372036854775807"},
                      TextCase{"-9223372036854775808", "-9223372036854775808"},
                      TextCase{"99999999999999999999", "9223372036854775807"},
                      TextCase{"-99999999999999999999", "-9223372036854775808"},
                      TextCase{"1234567890123", "1234567890123"},
                      TextCase{"[1,1.0,-1e0]", "[1,1.000000,-1.000000]"},
                      TextCase{"{\"count\":0013}", "{\"count\":13}"}));

// ---- strings and \u escapes -------------------------------------------------------------

class JsonStringForms : public ::testing::TestWithParam<TextCase> {};

TEST_P(JsonStringForms, ReadsBackAsGb18030) { EXPECT_EQ(reparse(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    UnicodeEscapes, JsonStringForms,
    ::testing::Values(
        TextCase{"\"\\u4e2d\\u6587\"", "\"\xD6\xD0\xCE\xC4\""},
        TextCase{"\"\\u4E2D\"", "\"\xD6\xD0\""},
        TextCase{"\"a\\u0041\"", "\"aA\""},
        TextCase{"\"\\u007f\"", "\"\x7F\""},
        TextCase{"\"\\u00e9\"", "\"\xA8\xA6\""},
        TextCase{"\"ab\\u0000cd\"", "\"ab\""},             // the value ends at \u0000
        TextCase{"\"\\u0000\\u4e2d\"", "\"\""},
        TextCase{"\"\\ud83d\\ude00\"", "\"\x94\x39\xFC\x36\""},  // a pair: four bytes
        TextCase{"\"\\ud83dx\"", "\"\x84\x31\xA4\x37x\""},      // lone high: U+FFFD
        TextCase{"\"\\ude00\"", "\"\x84\x31\xA4\x37\""},        // lone low: U+FFFD
        TextCase{"\"\\ud83d\\u0041\"", "\"\x84\x31\xA4\x37" "A\""},
        TextCase{"\"\\u9fa6\"", "\"\x82\x35\x8F\x33\""},        // not in GBK: four bytes
        TextCase{"\"\xD6\xD0\xCE\xC4\"", "\"\xD6\xD0\xCE\xC4\""},  // raw bytes stay
        TextCase{"\"\xE4\xB8\xAD\"", "\"\xE4\xB8\xAD\""},        // UTF-8 bytes stay as well
        TextCase{"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\\"\\\\\\/\\b\\u000c\\n\\r\\t\""}));

// A trail byte equal to the backslash belongs to its character: the caption 昞 (95 5C)
// at the end of a string used to swallow the closing quote and lose the whole answer.
TEST(JsonStrings, TrailByteBackslashIsNotAnEscape) {
  JsonDocument doc;
  ASSERT_TRUE(doc.parse("[\"\x95\x5C\",\"b\"]"));
  EXPECT_EQ(doc.array_size(), 2);
  EXPECT_EQ(doc.element(0).to_text(), "\"\x95\x5C\"");
  EXPECT_EQ(doc.element(1).to_text(), "\"b\"");
  EXPECT_EQ(doc.to_text(), "[\"\x95\x5C\",\"b\"]");
}

TEST(JsonStrings, FourByteCharacterIsReadWhole) {
  JsonDocument doc;
  // 95 32 82 36 is U+20000; its third byte must not be paired with the quote after it.
  ASSERT_TRUE(doc.parse("{\"a\":\"\x95\x32\x82\x36\",\"b\":1}"));
  EXPECT_EQ(doc.member("a").to_text(), "\"\x95\x32\x82\x36\"");
  EXPECT_EQ(doc.member("b").to_text(), "1");
}

TEST(JsonStrings, LeadByteBeforeQuoteStandsAlone) {
  JsonDocument doc;
  ASSERT_TRUE(doc.parse("{\"a\":\"x\x81\",\"b\":2}"));
  EXPECT_EQ(doc.member("b").to_text(), "2");
}

// ---- the escaping table -------------------------------------------------------------------

struct EscapeCase {
  std::string value;     // the JSON string literal that produces the value
  std::string expected;  // to_text of it
};

class JsonEscaping : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonEscaping, WritesEachByteAsTheTableSays) {
  EXPECT_EQ(reparse(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, JsonEscaping,
    ::testing::Values(
        EscapeCase{"\"a/b\"", "\"a\\/b\""}, EscapeCase{"\"\\\"\"", "\"\\\"\""},
        EscapeCase{"\"\\\\\"", "\"\\\\\""}, EscapeCase{"\"\\b\"", "\"\\b\""},
        EscapeCase{"\"\t\"", "\"\\t\""}, EscapeCase{"\"\n\"", "\"\\n\""},
        EscapeCase{"\"\r\"", "\"\\r\""}, EscapeCase{"\"\f\"", "\"\\u000c\""},
        EscapeCase{"\"x\x01y\"", "\"x\\u0001y\""}, EscapeCase{"\"\x1f\"", "\"\\u001f\""},
        EscapeCase{"\"\\u001B\"", "\"\\u001b\""}, EscapeCase{"\" ~\x7F\"", "\" ~\x7F\""},
        EscapeCase{"\"\x80\"", "\"\x80\""}, EscapeCase{"\"\xFF\"", "\"\xFF\""},
        // A lead byte takes the byte after it unescaped, whatever it is.
        EscapeCase{"\"\x81\\/\"", "\"\x81\\\\/\""},
        // Next byte 0x2A..0x3F: four bytes copied, a quote and a backslash among them.
        EscapeCase{"\"\x81*\\\"\\\\\"", "\"\x81*\"\\\""},
        // ... but never past the end of the value.
        EscapeCase{"\"\x81*\"", "\"\x81*\""}, EscapeCase{"\"a\x81\"", "\"a\x81\""},
        EscapeCase{"\"\x95\x5C\"", "\"\x95\x5C\""}));

TEST(JsonEscaping, NamesAreEscapedLikeValues) {
  EXPECT_EQ(reparse("{\"a/b\":\"\\u0001\"}"), "{\"a\\/b\":\"\\u0001\"}");
}

// ---- objects, arrays, trailing material -------------------------------------------------

TEST(JsonObjects, CompactFormInMemberOrder) {
  EXPECT_EQ(reparse("{ \"x\" : [ 1 , true , null , false ] ,\n\t\"y\" : { } , \"z\":[ ] }"),
            "{\"x\":[1,true,null,false],\"y\":{},\"z\":[]}");
}

TEST(JsonObjects, RepeatedNameReplacesAndMovesToTheEnd) {
  JsonDocument doc;
  ASSERT_TRUE(doc.parse("{\"a\":1,\"b\":2,\"a\":3,\"c\":4}"));
  EXPECT_EQ(doc.to_text(), "{\"b\":2,\"a\":3,\"c\":4}");
  EXPECT_EQ(doc.member("a").to_text(), "3");
}

TEST(JsonObjects, MemberNamesAreExactBytes) {
  JsonDocument doc;
  ASSERT_TRUE(doc.parse("{\"Name\":1,\"\xD6\xD0\":2,\"\":3}"));
  EXPECT_EQ(doc.member("Name").to_text(), "1");
  EXPECT_EQ(doc.member("name").to_text(), "null");
  EXPECT_EQ(doc.member("\xD6\xD0").to_text(), "2");
  EXPECT_EQ(doc.member("").to_text(), "3");
  EXPECT_EQ(doc.member(std::string("Name\0x", 6)).to_text(), "null");
}

TEST(JsonObjects, TrailingMaterialIsIgnored) {
  JsonDocument doc;
  EXPECT_TRUE(doc.parse("{\"a\":1}<!-- served by x -->"));
  EXPECT_EQ(doc.to_text(), "{\"a\":1}");
  EXPECT_TRUE(doc.parse("  [1]]]"));
  EXPECT_EQ(doc.to_text(), "[1]");
  EXPECT_TRUE(doc.parse("truex"));
  EXPECT_EQ(doc.to_text(), "true");
}

TEST(JsonObjects, TextEndsAtFirstNul) {
  JsonDocument doc;
  EXPECT_TRUE(doc.parse(std::string("[1]\0[", 5)));
  EXPECT_EQ(doc.to_text(), "[1]");
  EXPECT_FALSE(doc.parse(std::string("[1\0]", 4)));
}

TEST(JsonObjects, LiteralNullParses) {
  JsonDocument doc;
  EXPECT_TRUE(doc.parse(" null "));
  EXPECT_TRUE(doc.is_null());
  EXPECT_FALSE(doc.failed());
  EXPECT_EQ(doc.to_text(), "null");
}

class JsonFailures : public ::testing::TestWithParam<std::string> {};

TEST_P(JsonFailures, FailedHandleReadsEmptyAndLooksUpNull) {
  JsonDocument doc;
  EXPECT_FALSE(doc.parse(GetParam()));
  EXPECT_TRUE(doc.failed());
  EXPECT_EQ(doc.to_text(), "");
  EXPECT_EQ(doc.member("a").to_text(), "null");
  EXPECT_EQ(doc.array_size(), 0);
  EXPECT_EQ(doc.element(0).to_text(), "null");
}

INSTANTIATE_TEST_SUITE_P(
    NotJson, JsonFailures,
    ::testing::Values("", "   ", "{", "[1,", "[1,]", "[1 2]", "{\"a\"}", "{\"a\":1,}", "{a:1}",
                      "\"abc", "\"a\\\"", "\"\\q\"", "\"\\u12g4\"", "\"\\u12\"", "tru", "nul", "x",
                      "-", "-a", "+1", ".5", "<html>"));

TEST(JsonFailures, StaysFailedUntilTheNextGoodParse) {
  JsonDocument doc;
  EXPECT_FALSE(doc.parse("{"));
  EXPECT_TRUE(doc.failed());
  EXPECT_TRUE(doc.parse("[7]"));
  EXPECT_FALSE(doc.failed());
  EXPECT_EQ(doc.to_text(), "[7]");
}

TEST(JsonFailures, DeepNestingFailsInsteadOfOverflowing) {
  JsonDocument doc;
  EXPECT_FALSE(doc.parse(std::string(200000, '[')));
  EXPECT_FALSE(doc.parse(std::string(200000, '[') + std::string(200000, ']')));
  std::string fine = std::string(300, '[') + std::string(300, ']');
  EXPECT_TRUE(doc.parse(fine));
  EXPECT_EQ(doc.to_text(), fine);
}

// ---- lookups ----------------------------------------------------------------------------------

TEST(JsonLookups, MissingMembersReadAsNull) {
  JsonDocument doc;
  ASSERT_TRUE(doc.parse("{\"data\":{\"n\":null},\"s\":\"t\",\"a\":[1]}"));
  EXPECT_EQ(doc.member("nope").to_text(), "null");
  EXPECT_EQ(doc.member("nope").member("deeper").to_text(), "null");
  EXPECT_EQ(doc.member("data").member("n").to_text(), "null");
  EXPECT_TRUE(doc.member("data").member("n").is_null());
  EXPECT_EQ(doc.member("s").member("x").to_text(), "null");
  EXPECT_EQ(doc.member("a").member("0").to_text(), "null");
  EXPECT_EQ(JsonDocument().member("x").to_text(), "null");
}

TEST(JsonLookups, ArraySizeAndElementBounds) {
  JsonDocument doc;
  ASSERT_TRUE(doc.parse("{\"o\":{\"a\":1},\"s\":\"abc\",\"a\":[10,20,30]}"));
  EXPECT_EQ(doc.array_size(), 0);
  EXPECT_EQ(doc.member("o").array_size(), 0);
  EXPECT_EQ(doc.member("s").array_size(), 0);
  EXPECT_EQ(doc.member("missing").array_size(), 0);
  EXPECT_EQ(JsonDocument().array_size(), 0);
  JsonDocument a = doc.member("a");
  EXPECT_EQ(a.array_size(), 3);
  EXPECT_EQ(a.element(0).to_text(), "10");
  EXPECT_EQ(a.element(2).to_text(), "30");
  EXPECT_TRUE(a.element(-1).is_null());
  EXPECT_TRUE(a.element(3).is_null());
  EXPECT_TRUE(doc.member("o").element(0).is_null());
}

// ---- lifetime ---------------------------------------------------------------------------------

TEST(JsonLifetime, HandleOutlivesTheRoot) {
  JsonDocument item;
  JsonDocument name;
  {
    JsonDocument root;
    ASSERT_TRUE(root.parse("{\"data\":{\"list\":[{\"id\":1},{\"id\":2,\"name\":\"x\"}]}}"));
    JsonDocument list = root.member("data").member("list");
    item = list.element(1);
    root.release();
    EXPECT_EQ(root.to_text(), "null");
    list.release();
    name = item.member("name");
  }
  EXPECT_EQ(item.to_text(), "{\"id\":2,\"name\":\"x\"}");
  item.release();
  EXPECT_EQ(name.to_text(), "\"x\"");
}

TEST(JsonLifetime, ReparseKeepsHandlesIntoTheOldTree) {
  JsonDocument root;
  ASSERT_TRUE(root.parse("{\"a\":[1,2]}"));
  JsonDocument old = root.member("a");
  ASSERT_TRUE(root.parse("{\"a\":3}"));
  EXPECT_EQ(old.to_text(), "[1,2]");
  EXPECT_EQ(root.member("a").to_text(), "3");
}

TEST(JsonLifetime, CopiesShareAndReleaseIndependently) {
  JsonDocument root;
  ASSERT_TRUE(root.parse("[\"v\"]"));
  JsonDocument copy = root;
  root.release();
  EXPECT_EQ(copy.to_text(), "[\"v\"]");
  JsonDocument moved = std::move(copy);
  EXPECT_TRUE(copy.is_null());  // NOLINT(bugprone-use-after-move): moved-from is null
  EXPECT_EQ(moved.to_text(), "[\"v\"]");
  moved = moved;  // self-assignment keeps the value
  EXPECT_EQ(moved.to_text(), "[\"v\"]");
  JsonDocument failed;
  failed.parse("{");
  moved = failed;
  EXPECT_TRUE(moved.failed());
  moved.release();
  EXPECT_EQ(moved.to_text(), "null");
}

// The walk the album list reader makes.
TEST(JsonLookups, AlbumListWalk) {
  JsonDocument root;
  ASSERT_TRUE(root.parse(
      "{\"result\":true,\"data\":{\"total\":2,\"album_list\":["
      "{\"caption\":\"\\u6625\\u6e38\",\"count\":{\"photos\":12},\"album_id\":\"3556\","
      "\"type\":3,\"cover_pic\":\"http:\\/\\/ww1.example\\/a.jpg\"},"
      "{\"caption\":\"b\",\"count\":{\"photos\":0},\"album_id\":\"7\",\"type\":1}]}}"));
  JsonDocument list = root.member("data").member("album_list");
  ASSERT_EQ(list.array_size(), 2);
  JsonDocument first = root.member("data").member("album_list").element(0);
  EXPECT_EQ(first.member("caption").to_text(), "\"\xB4\xBA\xD3\xCE\"");
  EXPECT_EQ(first.member("count").member("photos").to_text(), "12");
  EXPECT_EQ(first.member("album_id").to_text(), "\"3556\"");
  EXPECT_EQ(first.member("type").to_text(), "3");
  EXPECT_EQ(first.member("cover_pic").to_text(), "\"http:\\/\\/ww1.example\\/a.jpg\"");
  EXPECT_EQ(list.element(1).member("cover_pic").to_text(), "null");
}

}  // namespace
}  // namespace af
