#pragma once
// An exchange as a chain of requests: the first one exactly as the caller wrote its
// address, then the redirects it meets, each a request of its own on the same handle.
#include <string>
#include <vector>

#include "http/transfer.h"

namespace af::wire {

// Where one request of an exchange goes.
struct Hop {
  std::string url;     // what curl connects to and keeps its cookies by
  std::string target;  // the request line's target, sent exactly; empty: curl's own from url
  std::string scheme;
  std::string host;
  long port = 0;
};

// The first request of an exchange: the connection goes to url_host at url_port (port 0,
// as the platform does, meaning the scheme's own) and the request line carries url_path
// exactly as the address holds it. Through a proxy a plain http request names the whole
// address on its request line; a secure one goes through a tunnel.
Hop first_hop(std::string_view address, bool through_proxy);

// What one exchange sends, request after request.
struct Plan {
  std::string method;
  std::string body;
  std::vector<std::string> lines;  // header lines as curl is given them
  bool follow = true;
  long max_redirects = 0;
  // Server credentials, for the first request's host only.
  const std::string* user = nullptr;
  const std::string* password = nullptr;
};

// A cookie a response set: the host that answered and the cookie's name.
struct CookieSet {
  std::string host;
  std::string name;
};

// Runs the exchange: the first request, then, unless switched off, the redirects it
// meets, each a request of its own on the same handle (and so on the same connections and
// cookies). The request line of the first carries the caller's path exactly; the header
// block goes with every request, except that Cookie, Authorization and Host lines stay with
// the first request's host, port and scheme. A POST answered by 301, 302 or 303, and any
// method but GET and HEAD answered by 303, goes on as a GET without body. Cookies that the
// answers set are noted in `set` (with the host that set them) when it is given.
TransferEnd run_exchange(CURL* h, Exchange& ex, const Hop& first, Plan plan, std::vector<CookieSet>* set);

}  // namespace af::wire
