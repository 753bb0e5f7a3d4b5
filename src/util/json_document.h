// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// JsonDocument: a handle on one value of a parsed JSON tree (json-c underneath).
//
//   JsonDocument root;
//   root.parse(text);
//   JsonDocument list = root.member("data").member("album_list");
//   for (int i = 0; i < list.array_size(); ++i) { auto album = list.element(i); ... }
//
// Values are shared, not copied: a handle taken from a tree keeps its value alive after
// the root is released. Lookups under a null or failed handle give null handles. Texts
// are GBK bytes; \u escapes decode to GB18030. to_text gives the exact compact forms the
// callers rely on ("null" for a null handle, "" for a failed one).
#include <cstdint>
#include <string>
#include <string_view>

struct json_object;

namespace af {

class JsonDocument {
 public:
  JsonDocument() = default;
  JsonDocument(const JsonDocument& other);
  JsonDocument& operator=(const JsonDocument& other);
  JsonDocument(JsonDocument&& other) noexcept;
  JsonDocument& operator=(JsonDocument&& other) noexcept;
  ~JsonDocument();

  bool parse(std::string_view text);
  JsonDocument member(std::string_view name) const;
  int array_size() const;
  JsonDocument element(int index) const;
  std::string to_text() const;
  // A string value's own bytes (escapes decoded: GBK, GB18030 beyond it); any other value
  // as to_text gives it; the empty text for a null or failed handle.
  std::string string_value() const;
  void release();

  bool is_null() const { return value_ == nullptr && !failed_; }
  bool failed() const { return failed_; }

 private:
  explicit JsonDocument(json_object* value);  // takes a new reference
  json_object* value_ = nullptr;
  bool failed_ = false;
};

}  // namespace af
