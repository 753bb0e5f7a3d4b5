// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The owners of every libcurl object of the program, and libcurl's one set-up for the
// process. Nothing else in src/ creates a curl object; each is freed by its owner.
#include <curl/curl.h>

#include <memory>
#include <string>

namespace af {

template <auto free_object>
struct CurlFree {
  template <typename T>
  void operator()(T* object) const {
    free_object(object);
  }
};

using EasyHandle = std::unique_ptr<CURL, CurlFree<curl_easy_cleanup>>;        // one transfer at a time
using MultiHandle = std::unique_ptr<CURLM, CurlFree<curl_multi_cleanup>>;     // several transfers at once
using ShareHandle = std::unique_ptr<CURLSH, CurlFree<curl_share_cleanup>>;    // what easy handles share
using UrlHandle = std::unique_ptr<CURLU, CurlFree<curl_url_cleanup>>;         // one parsed address
using TextList = std::unique_ptr<curl_slist, CurlFree<curl_slist_free_all>>;  // header or cookie lines

// Sets libcurl up for the process, once, whichever thread asks first. False when it failed;
// the handles below are then null.
bool curl_ready();
EasyHandle new_easy_handle();
MultiHandle new_multi_handle();
ShareHandle new_share_handle();
UrlHandle new_url_handle();

// Appends a line; a line that cannot be added is left out.
void add_line(TextList& list, const std::string& line);
// One part of a parsed address, or the empty text when it has none.
std::string url_part(const UrlHandle& url, CURLUPart which, unsigned flags = 0);

}  // namespace af
