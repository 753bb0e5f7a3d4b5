// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// FailingTime: how long an album's images have been failing, on one clock whatever the
// number of photos fetched at once.
//
//   FailingTime failing(pacing.album_give_up, pacing.request_deadline + pacing.retry_longest);
//   failing.add(started, gate.running_time());   // a request that brought no picture
//   failing.add(now, now + wait);                 // a wait before the next try
//   failing.restart(gate.running_time());         // a whole picture came
//   if (failing.time_left() <= 0ms) ...           // the album is given up
//
// Each failed request and each wait is a span of the gate's running time (which stands
// still while paused). The album's failing time is the length of the union of its spans
// since the last whole picture: spans of several lanes at the same moment count once, so
// an album that stalls on every lane is given up after the same time as one that stalls on
// one. With one photo at a time the spans follow one another, and the failing time is
// their sum. Safe on several threads at once.
#include <chrono>
#include <map>
#include <mutex>

namespace af {

class FailingTime {
 public:
  using Duration = std::chrono::steady_clock::duration;

  // `limit`: how long the album may fail. `longest_span`: no span reported later starts
  // more than this before the moment another span is reported (the longest request plus
  // the longest wait), so spans older than that are summed up and forgotten.
  FailingTime(std::chrono::milliseconds limit, std::chrono::milliseconds longest_span);

  // The span [from, to) of the running time was failing.
  void add(Duration from, Duration to);
  // A whole picture came at `now`: the album is failing no more; spans reported later count
  // only from `now` on.
  void restart(Duration now);
  // The time the album may still fail (0 or less: it is given up).
  std::chrono::milliseconds time_left() const;

 private:
  Duration total_locked() const;

  const std::chrono::milliseconds limit_;
  const Duration longest_span_;
  mutable std::mutex mutex_;
  Duration since_ = Duration::min();    // the last whole picture
  std::map<Duration, Duration> spans_;  // start -> end, disjoint and not touching
  Duration forgotten_{};                // the length of the spans summed up and removed
};

}  // namespace af
