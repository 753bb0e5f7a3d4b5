// SPDX-License-Identifier: GPL-3.0-or-later
// Input: one byte of options, then the pattern, a NUL byte and the subject.
#include <cstddef>
#include <cstdint>
#include <string>

#include "util/regex_matcher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  uint8_t options = data[0];
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::size_t cut = rest.find('\0');
  std::string pattern = rest.substr(0, cut);
  std::string subject = cut == std::string::npos ? std::string() : rest.substr(cut + 1);

  af::RegexMatcher m;
  bool ok = m.execute(pattern, subject, options & 1, options & 2, options & 4, options & 8);
  int count = m.match_count();
  if (!ok && count != 0) __builtin_trap();
  for (int i = 0; i <= count + 1 && i < 64; ++i) {
    long long pos = 0;
    (void)m.match_text(i, &pos);
    for (int g = 0; g <= m.submatch_count() + 1 && g < 16; ++g) (void)m.submatch_text(i, g, &pos);
  }
  (void)m.replace("[$1$&$`$'$$$10]");
  af::RegexMatcher copy(m);
  (void)copy.pattern();
  return 0;
}
