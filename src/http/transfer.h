// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One exchange on one easy handle: the redirects it follows, its callbacks, its body and header block,
// the time limits (idle, deadline; a pause not counted) and the gate. A handle is set up once with
// prepare(); each request is start(), the transfer, finish(curl's result code). The transfer may be
// curl_easy_perform (perform() does all three) or a multi handle that drives several at once.
#include <curl/curl.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/curl_handles.h"
#include "http/fetch.h"

namespace af {
class TransferGroup;
}

namespace af::wire {

using Clock = std::chrono::steady_clock;

// How a transfer ended.
enum class TransferEnd {
  None,      // nothing answered: refused, unreachable, timed out, ended through the gate
  Partial,   // a status line arrived, but the answer broke off (or redirects ran out)
  Complete,  // the whole answer arrived
};

// The state of one transfer, shared with curl's callbacks.
struct Exchange {
  // The body goes to `body`: this exchange's own string, or a buffer the caller keeps
  // between transfers so that its capacity is reused.
  std::string own_body;
  std::string* body = &own_body;
  std::string header_block;  // raw block of the latest response, status line first
  int block_status = 0;

  Gate* gate = nullptr;
  // Set: the transfer runs among the group's others (see transfer_group.h).
  TransferGroup* group = nullptr;
  // Why the last transfer brought no whole answer, in the transport's words too.
  FetchFailure failure = FetchFailure::None;
  std::string detail;

  // The whole exchange, redirects included, ends at this deadline (0 = none); time spent
  // paused does not count.
  long deadline_ms = 0;
  // Time without progress allowed while the request goes out / the answer is awaited.
  long send_idle_ms = 0;
  long receive_idle_ms = 0;

  // A HEAD request with a body is sent as a custom method; curl would then wait for a body
  // the server never sends, so the transfer stops after the final header block.
  bool stop_after_headers = false;
  bool stopped_after_headers = false;

  CURL* easy = nullptr;
  bool body_sized = false;  // room for the announced length made on the first chunk
  bool aborted = false;     // ended through the gate, for lack of progress or at the deadline
  char error_buffer[CURL_ERROR_SIZE] = {};
  bool started = false;
  Clock::time_point start_time;
  Clock::duration paused_time{};
  Clock::duration seen_held{};  // the group's held time already counted in paused_time
  Clock::time_point last_progress = Clock::now();
  curl_off_t last_down = -1;
  curl_off_t last_up = -1;

  // Points the handle's callbacks at this exchange.
  void prepare(CURL* handle);
  // Before each request of the exchange: only the final answer of a chain counts. False
  // (failure Ended) when the gate ended the job; the request is then not to be made.
  bool start();
  // What became of the request after the handle's transfer returned `result`.
  TransferEnd finish(CURLcode result);
  // start(), the blocking transfer (alone, or among the group's), finish().
  TransferEnd perform();
};

// The cause of a transfer that curl ended with `result`.
FetchFailure failure_of(CURLcode result);

// Every curl option of the program is set in transport.cpp, by these functions and send_call().
// Options every exchange run request by request starts from.
void common_options(CURL* easy);
// Points the handle's callbacks at `data`; the error text goes to `error_buffer`.
struct Handlers {
  curl_write_callback body, header;
  curl_prereq_callback connected;
  curl_xferinfo_callback progress;
};
void handler_options(CURL* easy, const Handlers& handlers, void* data, char* error_buffer);
// The header lines of the next request (null: none); they must live until it has gone.
void header_options(CURL* easy, curl_slist* lines);
struct Hop;
struct Plan;
// Where the next request of an exchange goes, with its header lines and, on the first
// request's host, the plan's server credentials.
void hop_options(CURL* easy, const Hop& hop, curl_slist* lines, const Plan& plan, bool first_origin);
// The cookie store: an easy handle attached to its share, the share's locking, one line
// of curl's cookie list syntax carried out.
void share_options(CURL* easy, CURLSH* share);
void cookie_share_options(CURLSH* share, curl_lock_function lock, curl_unlock_function unlock, void* data);
void cookie_command(CURL* easy, const std::string& line);
// A transfer group's multi handle: multiplexed, `per_host` connections to a host.
void multi_options(CURLM* multi, long per_host);
// The proxy text as curl takes it. A bare "host:port" is an http proxy; a text that
// names its own scheme is used as it is.
std::string proxy_option(const std::string& proxy);
// The request body for a method: GET without a body stays a plain GET, HEAD without one
// a plain HEAD; any other combination sends the body with the method's name.
void body_options(CURL* easy, const std::string& method, const std::string& body, Exchange& ex);

bool starts_with_ignore_case(std::string_view text, std::string_view prefix);
std::string_view trim_spaces(std::string_view text);
// True when curl takes `line` for a header called `name`: the name, in any letter case,
// directly followed by ":" or ";".
bool names_header(std::string_view line, std::string_view name);
bool lines_name(const std::vector<std::string>& lines, std::string_view name);
// One header line as curl must be given it to send it unchanged: curl reads "Name:" with
// nothing after the colon as "leave Name out", and sends "Name;" as "Name:".
std::string wire_line(const std::string& line);
// Headers curl would add on its own unless the block names them. A line "Name:" tells curl
// to leave its own out and is not sent.
void suppress_own_headers(std::vector<std::string>& lines);

// An exchange as a chain of requests: the first one exactly as the caller wrote its
// address, then the redirects it meets, each a request of its own on the same handle.

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

// The one door to the network: every transport (fetch_page, the request object, the cover
// fetch) fills a Call and goes through send_call().

// The flags in which the transports differ on the wire.
struct Flavour {
  // True: curl itself makes the request line, follows the redirects and keeps the time
  // limits, and the answer is its body whatever the status (the cover fetch). False: the
  // exchange runs request by request (run_exchange), its time limits those of Exchange.
  bool curl_drives = false;
  long http_version = CURL_HTTP_VERSION_1_1;
  bool pipe_wait = false;            // a new transfer waits to share a multiplexed connection
  std::optional<std::string> agent;  // curl's own User-Agent line; none: curl sends none
  long connect_ms = 0;               // resolving and connecting together; 0: curl's own
  long send_idle_ms = 0;             // time without progress allowed; 0: no limit
  long receive_idle_ms = 0;
  bool follow = true;
  long max_redirects = 0;
  bool verify_peer = true;
  bool verify_host = true;
  // True: only a whole answer counts, its header lines without the status line (the
  // request object). False: an answer as far as it arrived, its status line first.
  bool whole_answers = false;
};

enum class CookieEngine {
  Off,    // no cookie goes out but the header lines' own
  Store,  // the process-wide CookieStore, both ways
  Own,    // the handle's own engine (kept with the handle)
};

struct Login {
  std::string user, password;
};

// A handle kept between calls: its connections and cookies live on, every option is set
// anew for each call.
struct KeptHandle {
  EasyHandle easy = new_easy_handle();
  bool cookie_engine = false;  // turned on once: the handle keeps it through every reset
};

// Everything one call of the network sends and how.
struct Call {
  std::string address;
  std::string method = "GET";
  std::string body;
  std::vector<std::string> lines;          // header lines as curl is given them
  std::vector<std::string> refused_lines;  // curl_drives: an answer 403 is asked once more with these
  long deadline_ms = 0;                    // the whole exchange; 0: no limit
  Gate* gate = nullptr;
  TransferGroup* group = nullptr;
  CookieEngine cookies = CookieEngine::Off;
  std::string cookie;  // Own: a Cookie line the engine completes with its own
  std::string proxy;   // as curl takes it; empty: direct
  std::optional<Login> proxy_login;
  std::optional<Login> server_login;  // for the first request's host only
  Flavour flavour;
  KeptHandle* kept = nullptr;             // null: a handle of the call's own
  std::string buffer;                     // the body goes here, its capacity reused
  std::vector<CookieSet>* set = nullptr;  // noted: the cookies the answers set
};

// One call, one Response. A handle that cannot be created gives failure Other.
Response send_call(Call call);

}  // namespace af::wire
