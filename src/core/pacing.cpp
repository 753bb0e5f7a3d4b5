#include "core/pacing.h"

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

}  // namespace af
