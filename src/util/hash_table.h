// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// HashTable: 64-bit keys (hashes of texts) to 64-bit values, in two flat arrays with open
// addressing filled up to 85 %, so that a table of n keys takes 19 to 38 bytes a key (half
// that without values) instead of the hundred or more of a tree or a node-based map of
// strings.
//
//   HashTable files;                        // file name -> offset of its line
//   files.put(text_hash(name), offset);
//   if (const std::uint64_t* at = files.find(text_hash(name))) ...
//
// A key stands for its text: two texts with the same 64-bit hash (for n texts, odds of
// about n² / 2^65) count as one. Callers that must be exact read the text back.
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace af {

inline std::uint64_t text_hash(std::string_view text) {
  // libstdc++'s hash of bytes (64-bit MurmurHash), finished so that keys spread over the
  // table's low bits; 0 marks an empty slot, so it is never a key.
  std::uint64_t h = std::hash<std::string_view>{}(text);
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h == 0 ? 1 : h;
}

class HashTable {
 public:
  // `with_values` false: a set (put's value is dropped, find gives a pointer to 0).
  explicit HashTable(bool with_values = true) : with_values_(with_values) {}

  std::size_t size() const { return size_; }
  const std::uint64_t* find(std::uint64_t key) const {
    if (keys_.empty()) return nullptr;
    for (std::size_t i = slot(key);; i = (i + 1) & mask()) {
      if (keys_[i] == key) return with_values_ ? &values_[i] : &kZero;
      if (keys_[i] == 0) return nullptr;
    }
  }
  bool contains(std::uint64_t key) const { return find(key) != nullptr; }
  // Adds the key, or gives it this value. True when the key is new.
  bool put(std::uint64_t key, std::uint64_t value = 0) {
    if ((size_ + 1) * 20 > keys_.size() * 17) grow();
    std::size_t i = slot(key);
    for (; keys_[i] != 0; i = (i + 1) & mask())
      if (keys_[i] == key) {
        if (with_values_) values_[i] = value;
        return false;
      }
    keys_[i] = key;
    if (with_values_) values_[i] = value;
    ++size_;
    return true;
  }
  void erase(std::uint64_t key) {
    if (keys_.empty()) return;
    std::size_t i = slot(key);
    for (; keys_[i] != key; i = (i + 1) & mask())
      if (keys_[i] == 0) return;
    // The keys after it in its run move back, so that no run is broken.
    for (std::size_t j = (i + 1) & mask(); keys_[j] != 0; j = (j + 1) & mask()) {
      const std::size_t home = slot(keys_[j]);
      // keys_[j] may fill the hole at i when its home is not within (i, j].
      if (((j - home) & mask()) >= ((j - i) & mask())) {
        keys_[i] = keys_[j];
        if (with_values_) values_[i] = values_[j];
        i = j;
      }
    }
    keys_[i] = 0;
    --size_;
  }
  void clear() {
    keys_.clear();
    values_.clear();
    size_ = 0;
  }

 private:
  static constexpr std::uint64_t kZero = 0;
  std::size_t mask() const { return keys_.size() - 1; }
  std::size_t slot(std::uint64_t key) const { return static_cast<std::size_t>(key) & mask(); }
  void grow() {
    std::vector<std::uint64_t> keys(keys_.empty() ? 64 : keys_.size() * 2, 0);
    std::vector<std::uint64_t> values(with_values_ ? keys.size() : 0, 0);
    keys.swap(keys_);
    values.swap(values_);
    size_ = 0;
    for (std::size_t i = 0; i < keys.size(); ++i)
      if (keys[i] != 0) put(keys[i], with_values_ ? values[i] : 0);
  }
  bool with_values_;
  std::vector<std::uint64_t> keys_;
  std::vector<std::uint64_t> values_;
  std::size_t size_ = 0;
};

}  // namespace af
