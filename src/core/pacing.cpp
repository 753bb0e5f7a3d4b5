#include "core/pacing.h"

namespace af {

Pacing Pacing::shortened(int factor) {
  Pacing p;
  if (factor <= 0) {
    p.after_album_list = p.per_album = p.empty_page_retry = p.after_photo = std::chrono::milliseconds(0);
    return p;
  }
  p.after_album_list /= factor;
  p.per_album /= factor;
  p.empty_page_retry /= factor;
  p.after_photo /= factor;
  return p;
}

}  // namespace af
