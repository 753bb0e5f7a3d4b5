// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/pacing.h"

#include <algorithm>

namespace af {

Pacing Pacing::shortened(int factor) {
  Pacing p;
  if (factor <= 0) {
    p.after_album_list = p.per_album = p.empty_page_retry = p.after_photo = p.retry_first = p.retry_longest =
        std::chrono::milliseconds(0);
    return p;
  }
  for (auto* wait : {&p.after_album_list, &p.per_album, &p.empty_page_retry, &p.after_photo, &p.retry_first,
                     &p.retry_longest, &p.request_deadline, &p.album_give_up})
    *wait /= factor;
  return p;
}

void Slowdown::limited() {
  // No step beyond the one whose wait is the longest: good answers bring it back as fast.
  int most = 1;
  for (auto wait = first_; wait < longest_ && most < 30; wait *= 2) ++most;
  int steps = steps_.load();
  while (steps < most && !steps_.compare_exchange_weak(steps, steps + 1)) {
  }
}

void Slowdown::answered() {
  int steps = steps_.load();
  while (steps > 0 && !steps_.compare_exchange_weak(steps, steps - 1)) {
  }
}

std::chrono::milliseconds Slowdown::wait() const {
  const int steps = steps_.load();
  if (steps == 0 || first_ <= std::chrono::milliseconds(0)) return std::chrono::milliseconds(0);
  auto wait = first_;
  for (int i = 1; i < steps && wait < longest_; ++i) wait *= 2;
  return std::min(wait, longest_);
}

}  // namespace af
