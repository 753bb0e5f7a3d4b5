// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/failing_time.h"

#include <algorithm>
#include <iterator>

namespace af {

FailingTime::FailingTime(std::chrono::milliseconds limit, std::chrono::milliseconds longest_span)
    : limit_(limit), longest_span_(std::max(longest_span, std::chrono::milliseconds(1)) * 2) {}

void FailingTime::add(Duration from, Duration to) {
  std::lock_guard lock(mutex_);
  from = std::max(from, since_);
  if (to <= from) return;
  // Merged with every span it overlaps or touches.
  auto next = spans_.upper_bound(from);
  if (next != spans_.begin()) {
    const auto before = std::prev(next);
    if (before->second >= from) {
      from = before->first;
      to = std::max(to, before->second);
      next = spans_.erase(before);
    }
  }
  while (next != spans_.end() && next->first <= to) {
    to = std::max(to, next->second);
    next = spans_.erase(next);
  }
  spans_.emplace(from, to);
  // Spans that no later one can reach are summed up.
  while (!spans_.empty() && spans_.begin()->second + longest_span_ < from) {
    forgotten_ += spans_.begin()->second - spans_.begin()->first;
    spans_.erase(spans_.begin());
  }
}

void FailingTime::restart(Duration now) {
  std::lock_guard lock(mutex_);
  since_ = std::max(since_, now);
  spans_.clear();
  forgotten_ = Duration::zero();
}

std::chrono::milliseconds FailingTime::time_left() const {
  std::lock_guard lock(mutex_);
  return limit_ - std::chrono::duration_cast<std::chrono::milliseconds>(total_locked());
}

FailingTime::Duration FailingTime::total_locked() const {
  Duration total = forgotten_;
  for (const auto& [from, to] : spans_) total += to - from;
  return total;
}

}  // namespace af
