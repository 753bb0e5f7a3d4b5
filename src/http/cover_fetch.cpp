// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/gate.h"
#include "http/curl_handles.h"
#include "http/fetch.h"
#include "http/transfer.h"

namespace af {

namespace {

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// Ends the transfer when the job's gate ends; holds it while paused.
int cover_progress(void* gate_pointer, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Gate*>(gate_pointer)->pass() ? 0 : 1;
}

}  // namespace

Response fetch_cover(const std::string& address, Gate* gate) {
  EasyHandle easy = new_easy_handle();
  CURL* e = easy.get();
  if (!e) return {FetchFailure::Other, 0, {}, {}};
  TextList headers;
  add_line(headers, "Accept: */*");
  // The image hosts refuse (403) a picture asked for without a page of the service as the
  // Referer; such a cover is asked once more with one.
  TextList with_referer;
  add_line(with_referer, "Accept: */*");
  add_line(with_referer, std::string("Referer: ") + kServiceReferer);
  Response response;
  curl_easy_setopt(e, CURLOPT_URL, address.c_str());
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  curl_easy_setopt(e, CURLOPT_USERAGENT, "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)");
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(e, CURLOPT_PROXY, "");  // direct, whatever the environment says
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, 60L);
  // A stalled server must not hold the job for ever: give up after a minute without data.
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, 60L);
  // Nor a trickling one: the whole request ends at the usual deadline.
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, kDefaultRequestDeadlineMs);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &response.body);
  if (gate) {
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, cover_progress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, gate);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  }
  // No cookie engine and no share handle: the cover request carries no cookies.
  CURLcode code = curl_easy_perform(e);
  long status = 0;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
  if (code == CURLE_OK && status == 403 && with_referer.get()) {
    response.body.clear();
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, with_referer.get());
    code = curl_easy_perform(e);
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
  }
  const FetchFailure why = gate && gate->ended() ? FetchFailure::Ended : wire::failure_of(code);
  if (code != CURLE_OK) return {why, 0, {}, curl_easy_strerror(code)};
  response.status = static_cast<int>(status);
  return response;
}

}  // namespace af
