#pragma once
// The fixed waits of the background jobs, in one object so that tests may shorten them.
#include <chrono>

namespace af {

struct Pacing {
  std::chrono::milliseconds after_album_list{1000};  // after the album list request
  std::chrono::milliseconds per_album{200};          // before each album row
  std::chrono::milliseconds empty_page_retry{2000};  // after an empty photo list answer
  std::chrono::milliseconds after_photo{50};         // after each image fetch

  // Every wait divided by `factor` (tests); factor <= 0 gives all zero.
  static Pacing shortened(int factor);
};

}  // namespace af
