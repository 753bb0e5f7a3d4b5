// SPDX-License-Identifier: GPL-3.0-or-later
#include "http/curl_handles.h"

#include <mutex>

namespace af {

bool curl_ready() {
  static std::once_flag once;
  static bool ready = false;
  // Never undone: threads still running at exit may hold handles.
  std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ready;
}

EasyHandle new_easy_handle() { return EasyHandle(curl_ready() ? curl_easy_init() : nullptr); }

MultiHandle new_multi_handle() { return MultiHandle(curl_ready() ? curl_multi_init() : nullptr); }

ShareHandle new_share_handle() { return ShareHandle(curl_ready() ? curl_share_init() : nullptr); }

UrlHandle new_url_handle() { return UrlHandle(curl_ready() ? curl_url() : nullptr); }

void add_line(TextList& list, const std::string& line) {
  if (curl_slist* grown = curl_slist_append(list.get(), line.c_str())) {
    list.release();
    list.reset(grown);
  }
}

std::string url_part(const UrlHandle& url, CURLUPart which, unsigned flags) {
  char* text = nullptr;
  if (!url || curl_url_get(url.get(), which, &text, flags) != CURLUE_OK || !text) return {};
  std::string result(text);
  curl_free(text);
  return result;
}

}  // namespace af
