// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The fixed waits and the time limits of the background jobs, in one object so that tests
// may shorten them.
#include <atomic>
#include <chrono>

namespace af {

struct Pacing {
  std::chrono::milliseconds after_album_list{1000};  // after the album list request
  std::chrono::milliseconds per_album{200};          // before each album row
  std::chrono::milliseconds empty_page_retry{2000};  // after an empty photo list answer
  std::chrono::milliseconds after_photo{50};         // after each image fetch

  // After an answer that says "too many requests" (or a server error): the first wait,
  // doubled at every further try up to the longest (see retry_wait).
  std::chrono::milliseconds retry_first{2000};
  std::chrono::milliseconds retry_longest{60000};

  // No single request holds a job longer than this, whatever the server sends (a pause of
  // the download does not count).
  std::chrono::milliseconds request_deadline{120000};
  // An album whose service keeps failing or stalling is given up after this long.
  std::chrono::milliseconds album_give_up{300000};

  // Every wait and limit divided by `factor` (tests, --pace-factor); factor <= 0 gives
  // waits of zero and leaves the two limits as they are.
  static Pacing shortened(int factor);
};

// Slowdown: while the service answers that requests come too often, a job asks less. Each
// such answer (and each refusal) adds a step, each usable answer takes one away; before
// every list request the job waits nothing at step 0, else the pacing's retry_first
// doubled for every step after the first, at most its retry_longest (2 s, 4 s, 8 s ... 60 s
// with the usual pacing). The fixed waits come on top, so they stay the least a job waits.
// Safe on several threads at once.
class Slowdown {
 public:
  explicit Slowdown(const Pacing& pacing) : first_(pacing.retry_first), longest_(pacing.retry_longest) {}

  void limited();   // an answer asked for patience, or refused the request
  void answered();  // a usable answer came
  std::chrono::milliseconds wait() const;
  int steps() const { return steps_.load(); }

 private:
  std::chrono::milliseconds first_;
  std::chrono::milliseconds longest_;
  std::atomic<int> steps_{0};
};

}  // namespace af
