#pragma once
// The album table's cover pictures: a request of its own, unlike the page and photo
// fetches.
#include <string>

namespace af {

class Gate;

// A plain HTTP/1.0 GET of a cover address: agent "Mozilla/4.0 (compatible; MSIE 6.0;
// Windows NT 5.0)", "Accept: */*", no cookies, no cache, no proxy. The body bytes whatever
// the status; empty when the connection or request fails. A cover refused with 403 is
// asked once more with the service's Referer.
std::string fetch_cover(const std::string& address, Gate* gate = nullptr);

}  // namespace af
