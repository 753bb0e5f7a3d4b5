// SPDX-License-Identifier: GPL-3.0-or-later
#include <utility>

#include "http/fetch.h"
#include "http/transfer.h"

namespace af {

Response fetch_cover(const std::string& address, Gate* gate) {
  wire::Call call;
  call.address = address;
  call.lines = {"Accept: */*"};
  // The image hosts refuse (403) a picture asked for without a page of the service as the
  // Referer; such a cover is asked once more with one.
  call.refused_lines = {"Accept: */*", std::string("Referer: ") + kServiceReferer};
  call.gate = gate;  // ends the transfer when the job ends; holds it while paused
  // No cookie engine and no share handle: the cover request carries no cookies; no proxy
  // either (direct, whatever the environment says).
  wire::Flavour& f = call.flavour;
  f.curl_drives = true;
  f.http_version = CURL_HTTP_VERSION_1_0;
  f.agent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
  f.max_redirects = 10;
  f.connect_ms = 60000;
  // A stalled server must not hold the job for ever: give up after a minute without data.
  f.receive_idle_ms = 60000;
  // Nor a trickling one: the whole request ends at the usual deadline.
  call.deadline_ms = kDefaultRequestDeadlineMs;
  return wire::send_call(std::move(call));
}

}  // namespace af
