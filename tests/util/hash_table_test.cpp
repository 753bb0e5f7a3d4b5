// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/hash_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace af {
namespace {

// Keys crowded into a small table so that runs wrap around its end and erasures move keys
// back; every lookup agrees with a map doing the same.
TEST(HashTable, AgreesWithAMapThroughPutsAndErasures) {
  for (const bool with_values : {true, false}) {
    std::mt19937_64 random(7);
    HashTable table(with_values);
    std::map<std::uint64_t, std::uint64_t> expected;
    for (int step = 0; step < 20000; ++step) {
      // Keys from a small range, spread over the high and low bits alike.
      const std::uint64_t key = (random() % 300 + 1) * 0x9E3779B97F4A7C15ULL;
      if (random() % 3 == 0) {
        table.erase(key);
        expected.erase(key);
      } else {
        EXPECT_EQ(table.put(key, step), expected.count(key) == 0);
        expected[key] = step;
      }
      ASSERT_EQ(table.size(), expected.size());
    }
    for (std::uint64_t k = 1; k <= 300; ++k) {
      const std::uint64_t key = k * 0x9E3779B97F4A7C15ULL;
      const std::uint64_t* found = table.find(key);
      ASSERT_EQ(found != nullptr, expected.count(key) > 0) << k;
      if (found && with_values) {
        EXPECT_EQ(*found, expected[key]) << k;
      }
    }
  }
}

TEST(HashTable, TextHashIsNeverTheEmptySlot) {
  EXPECT_NE(text_hash(""), 0u);
  EXPECT_EQ(text_hash("3800000000000001"), text_hash(std::string("3800000000000001")));
  EXPECT_NE(text_hash("3800000000000001"), text_hash("3800000000000002"));
}

}  // namespace
}  // namespace af
