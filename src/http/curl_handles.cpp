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

EasyHandle::EasyHandle() : handle_(curl_ready() ? curl_easy_init() : nullptr) {}

EasyHandle::~EasyHandle() {
  if (handle_) curl_easy_cleanup(handle_);
}

ShareHandle::ShareHandle() : handle_(curl_ready() ? curl_share_init() : nullptr) {}

ShareHandle::~ShareHandle() {
  if (handle_) curl_share_cleanup(handle_);
}

TextList::~TextList() { curl_slist_free_all(list_); }

void TextList::add(const std::string& line) {
  if (curl_slist* grown = curl_slist_append(list_, line.c_str())) list_ = grown;
}

UrlHandle::UrlHandle() : handle_(curl_ready() ? curl_url() : nullptr) {}

UrlHandle::~UrlHandle() { curl_url_cleanup(handle_); }

std::string UrlHandle::part(CURLUPart which, unsigned flags) const {
  char* text = nullptr;
  if (!handle_ || curl_url_get(handle_, which, &text, flags) != CURLUE_OK || !text) return {};
  std::string result(text);
  curl_free(text);
  return result;
}

}  // namespace af
