// SPDX-License-Identifier: GPL-3.0-or-later
// decode_escapes on arbitrary bytes: the result never holds a NUL byte.
#include <cstddef>
#include <cstdint>
#include <string>

#include "util/escapes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string out = af::decode_escapes(text);
  if (out.find('\0') != std::string::npos) __builtin_trap();
  return 0;
}
