// SPDX-License-Identifier: GPL-3.0-or-later
// parse / to_text / lookups on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/json_document.h"

namespace {

void walk(const af::JsonDocument& doc, int depth, int& budget) {
  if (depth > 16 || --budget < 0) return;
  (void)doc.to_text();
  int n = doc.array_size();
  for (int i = 0; i < n && i < 8; ++i) walk(doc.element(i), depth + 1, budget);
  for (const char* name : {"data", "album_list", "photo_list", "caption", "a", ""}) {
    af::JsonDocument child = doc.member(name);
    if (!child.is_null()) walk(child, depth + 1, budget);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  af::JsonDocument doc;
  if (!doc.parse(text)) {
    if (!doc.to_text().empty()) __builtin_trap();
    return 0;
  }
  int budget = 500;
  walk(doc, 0, budget);
  af::JsonDocument first = doc.element(0);
  std::string written = doc.to_text();
  doc.release();
  (void)first.to_text();
  af::JsonDocument again;
  (void)again.parse(written);
  (void)again.to_text();
  return 0;
}
