// SPDX-License-Identifier: GPL-3.0-or-later
// Seeded, bounded random and mutated inputs for the three text entry points. Run in the
// sanitizer build as well: a read past the end or an undefined operation fails it there.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "util/escapes.h"
#include "util/json_document.h"
#include "util/regex_matcher.h"

namespace af {
namespace {

constexpr int kRounds = 4000;

const std::vector<std::string>& json_seeds() {
  static const std::vector<std::string> seeds = {
      "{\"result\":true,\"data\":{\"total\":2,\"album_list\":[{\"caption\":\"\\u6625\\u6e38\","
      "\"count\":{\"photos\":12},\"album_id\":\"3556\",\"type\":3},{\"caption\":\"a\\/b\"}]}}",
      "[1,-2,3.5,1e2,1E5,true,false,null,\"x\\u0001y\",\"\\ud83d\\ude00\",\"\\ud800\"]",
      "{\"a\":1,\"a\":{\"b\":[[],{}]},\"\xD6\xD0\":\"\x95\x5C\",\"c\":\"\x95\x32\x82\x36\"}",
      "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0000tail\"",
      "{\"pic\":\"http:\\/\\/ww1.example\\/large\\/abc.jpg\",\"ts\":1356969600}<!-- x -->",
  };
  return seeds;
}

// Bytes that matter to the parsers: structure, escapes, GBK lead and trail bytes.
const std::string kInteresting =
    "{}[]\",:\\/u0123456789abcdefABCDEF.eE+-tfn \t\r\n\x81\x95\xA1\xAF\xD6\xD0\xFE\xFF\x80\x5C\x30\x39\x2A\x3F%'x";

std::string mutate(std::string s, std::mt19937& rng) {
  std::uniform_int_distribution<int> op(0, 5);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<std::size_t> pick(0, kInteresting.size() - 1);
  int edits = 1 + static_cast<int>(rng() % 6);
  for (int k = 0; k < edits; ++k) {
    std::size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
    switch (op(rng)) {
      case 0:
        if (at < s.size()) s[at] = static_cast<char>(byte(rng));
        break;
      case 1:
        s.insert(at, 1, kInteresting[pick(rng)]);
        break;
      case 2:
        if (at < s.size()) s.erase(at, 1 + rng() % 4);
        break;
      case 3:
        s.resize(at);  // truncation: the text ends inside a value
        break;
      case 4:
        if (!s.empty()) {
          std::size_t from = rng() % s.size();
          s.insert(at, s.substr(from, 1 + rng() % 8));
        }
        break;
      default:
        if (at < s.size()) s[at] = kInteresting[pick(rng)];
    }
  }
  return s;
}

std::string random_text(std::mt19937& rng, std::size_t max_len) {
  std::string s(rng() % (max_len + 1), '\0');
  for (char& c : s) {
    c = (rng() % 3 == 0) ? static_cast<char>(rng() % 256) : kInteresting[rng() % kInteresting.size()];
  }
  return s;
}

bool is_ascii(const std::string& s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Walks the values below `doc` (bounded), reading each one back, and probes lookups that
// must give null handles.
void walk(const JsonDocument& doc, int depth, int& budget) {
  if (depth > 12 || --budget < 0) return;
  (void)doc.to_text();
  int n = doc.array_size();
  EXPECT_TRUE(doc.element(-1).is_null());
  EXPECT_TRUE(doc.element(n).is_null());
  for (int i = 0; i < n && i < 16; ++i) walk(doc.element(i), depth + 1, budget);
  for (const char* name : {"data", "a", "caption", "", "\xD6\xD0"}) {
    JsonDocument child = doc.member(name);
    if (!child.is_null()) walk(child, depth + 1, budget);
  }
}

TEST(Robustness, JsonParseAndToText) {
  std::mt19937 rng(20130401);
  int parsed = 0;
  for (int round = 0; round < kRounds; ++round) {
    const auto& seeds = json_seeds();
    std::string input = (round % 4 == 3) ? random_text(rng, 64) : mutate(seeds[rng() % seeds.size()], rng);
    JsonDocument doc;
    bool ok = doc.parse(input);
    EXPECT_EQ(doc.failed(), !ok);
    std::string text = doc.to_text();
    if (!ok) {
      EXPECT_EQ(text, "");
      continue;
    }
    ++parsed;
    int budget = 200;
    walk(doc, 0, budget);
    // A sub-handle outlives the root.
    JsonDocument first = doc.element(0);
    doc.release();
    (void)first.to_text();
    // What to_text writes reads back to itself when it is plain ASCII (no GBK bytes whose
    // copying rules could pair differently on the way back).
    if (is_ascii(text) && text.find("inf") == std::string::npos &&
        text.find("nan") == std::string::npos) {
      JsonDocument again;
      ASSERT_TRUE(again.parse(text)) << text;
      EXPECT_EQ(again.to_text(), text);
    }
  }
  // The mutations must leave a fair share of texts valid, or the test proves little.
  EXPECT_GT(parsed, kRounds / 10);
}

TEST(Robustness, DecodeEscapes) {
  std::mt19937 rng(53);
  for (int round = 0; round < kRounds; ++round) {
    std::string input = random_text(rng, 48);
    std::string out = decode_escapes(input);
    EXPECT_EQ(out.find('\0'), std::string::npos);
    // Plain letters, digits and spaces come back unchanged.
    std::string plain;
    for (char c : input) {
      if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ') plain += c;
    }
    EXPECT_EQ(decode_escapes(plain), plain);
  }
}

TEST(Robustness, RegexOperations) {
  static const std::vector<std::string> atoms = {
      "a", "b", ".", "\\d", "\\w", "\\s", "\\b", "[a-z]", "[^a]", "[\\u4e00-\\u9fa5]", "(", ")",
      "(?:", "|", "*", "+", "?", "{2}", "{1,3}", "^", "$", "\\", "[", "]", "\\u00", "\\x4",
      "\\1", "[]", "[^]", "\xD6\xD0", "#\xD2\xFD\xBA\xC5", "\\v", "\\c", "$&"};
  std::mt19937 rng(4242);
  int compiled = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::string pattern;
    int parts = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < parts; ++k) pattern += atoms[rng() % atoms.size()];
    std::string subject = random_text(rng, 32);
    RegexMatcher m;
    bool ok = m.execute(pattern, subject, rng() % 2, rng() % 2, rng() % 2, rng() % 2);
    compiled += ok;
    int count = m.match_count();
    if (!ok) {
      EXPECT_EQ(count, 0);
    }
    for (int i = 0; i <= count + 1; ++i) {
      long long pos = -100;
      std::string text = m.match_text(i, &pos);
      if (i >= 1 && i <= count) {
        EXPECT_GE(pos, -2);
        EXPECT_LE(pos, static_cast<long long>(subject.size()));
      }
      for (int g = 0; g <= m.submatch_count() + 1; ++g) (void)m.submatch_text(i, g, &pos);
    }
    (void)m.replace(atoms[rng() % atoms.size()] + "$1$&$`$'$$$99");
    RegexMatcher copy(m);
    EXPECT_EQ(copy.match_count(), count);
    (void)copy.pattern();
  }
  EXPECT_GT(compiled, kRounds / 4);
}

}  // namespace
}  // namespace af
