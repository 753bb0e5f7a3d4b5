#pragma once
// The fixed waits and the time limits of the background jobs, in one object so that tests
// may shorten them.
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

}  // namespace af
