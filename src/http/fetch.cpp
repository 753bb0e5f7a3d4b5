#include "http/fetch.h"

#include <curl/curl.h>

#include <chrono>
#include <climits>
#include <memory>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/gate.h"
#include "http/cookie_store.h"
#include "util/codepage.h"
#include "util/text.h"

namespace af {

namespace {

using Clock = std::chrono::steady_clock;

// fetch_page sets no timeouts of its own; these stand in for the platform's defaults so a
// silent server cannot hold a caller for ever.
constexpr long kPageConnectMs = 60000;
constexpr long kPageIdleMs = 60000;
constexpr long kMaxRedirects = 30;
// The request object follows at most this many redirects, as the one it stands in for.
constexpr long kMaxObjectRedirects = 10;
// A body's announced length is trusted for its buffer up to this size; a larger one grows
// as it arrives.
constexpr curl_off_t kMaxReservedBody = 64 * 1024 * 1024;
constexpr std::string_view kObjectAgent = "Mozilla/4.0 (compatible; Win32; WinHttp.WinHttpRequest.5)";

class EasyHandle {
 public:
  EasyHandle() : handle_(curl_easy_init()) {}
  ~EasyHandle() {
    if (handle_) curl_easy_cleanup(handle_);
  }
  EasyHandle(const EasyHandle&) = delete;
  EasyHandle& operator=(const EasyHandle&) = delete;
  CURL* get() const { return handle_; }

 private:
  CURL* handle_;
};

class HeaderList {
 public:
  HeaderList() = default;
  ~HeaderList() { curl_slist_free_all(list_); }
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;
  void add(const std::string& line) {
    if (curl_slist* grown = curl_slist_append(list_, line.c_str())) list_ = grown;
  }
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

bool starts_with_ignore_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && lower_text(text.substr(0, prefix.size())) == lower_text(prefix);
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view trim_spaces(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

// How a transfer ended.
enum class Outcome {
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
  CURL* easy = nullptr;
  bool body_sized = false;   // room for the announced length made on the first chunk
  std::string header_block;  // raw block of the latest response, status line first
  int block_status = 0;

  Gate* gate = nullptr;
  bool aborted = false;  // ended through the gate, for lack of progress or at the deadline
  // Why the last perform brought no whole answer, in the transport's words too.
  FetchFailure failure = FetchFailure::None;
  std::string detail;
  char error_buffer[CURL_ERROR_SIZE] = {};

  // The whole exchange, redirects included, ends at this deadline (0 = none); time spent
  // paused does not count.
  long deadline_ms = 0;
  bool started = false;
  Clock::time_point start_time;
  Clock::duration paused_time{};

  // Time without progress allowed while the request goes out / the answer is awaited.
  long send_idle_ms = 0;
  long receive_idle_ms = 0;
  Clock::time_point last_progress = Clock::now();
  curl_off_t last_down = -1;
  curl_off_t last_up = -1;

  // A HEAD request with a body is sent as a custom method; curl would then wait for a body
  // the server never sends, so the transfer stops after the final header block.
  bool stop_after_headers = false;
  bool stopped_after_headers = false;

  static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* self) {
    auto* ex = static_cast<Exchange*>(self);
    if (!ex->body_sized) {
      // Growing by doubling would copy the body several times and, beyond the allocator's
      // mmap threshold, fault in fresh pages for every transfer.
      ex->body_sized = true;
      curl_off_t length = -1;
      if (ex->easy && curl_easy_getinfo(ex->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
          length > 0 && length <= kMaxReservedBody)
        ex->body->reserve(ex->body->size() + static_cast<std::size_t>(length));
    }
    ex->body->append(data, size * count);
    return size * count;
  }

  static std::size_t on_header(char* data, std::size_t size, std::size_t count, void* self) {
    auto* ex = static_cast<Exchange*>(self);
    std::string_view line(data, size * count);
    if (line.substr(0, 5) == "HTTP/") {
      // A new response (after an interim answer) replaces the block.
      ex->header_block.clear();
      ex->body_sized = false;
      ex->block_status = 0;
      std::size_t space = line.find(' ');
      if (space != std::string_view::npos) ex->block_status = to_int32(line.substr(space + 1, 3));
    }
    ex->header_block.append(line);
    if (ex->stop_after_headers && (line == "\r\n" || line == "\n")) {
      bool interim = ex->block_status >= 100 && ex->block_status < 200;
      if (!interim) {
        ex->stopped_after_headers = true;
        return 0;
      }
    }
    return size * count;
  }

  // Called after the connection is made, before the request goes out.
  static int on_connected(void* self, char*, char*, int, int) {
    static_cast<Exchange*>(self)->last_progress = Clock::now();
    return CURL_PREREQFUNC_OK;
  }

  static int on_progress(void* self, curl_off_t, curl_off_t down, curl_off_t up_total, curl_off_t up) {
    auto* ex = static_cast<Exchange*>(self);
    if (ex->gate) {
      if (ex->gate->ended()) return ex->abort(FetchFailure::Ended);
      if (ex->gate->paused()) {
        // Hold the transfer where it is; the pause does not count against the timeouts.
        const auto held = Clock::now();
        while (ex->gate->paused()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (ex->gate->ended()) return ex->abort(FetchFailure::Ended);
        ex->last_progress = Clock::now();
        ex->paused_time += ex->last_progress - held;
      }
    }
    auto now = Clock::now();
    // A trickle makes progress all the time; only the deadline ends it.
    if (ex->deadline_ms > 0 &&
        now - ex->start_time - ex->paused_time > std::chrono::milliseconds(ex->deadline_ms))
      return ex->abort(FetchFailure::Deadline);
    if (down != ex->last_down || up != ex->last_up) {
      ex->last_down = down;
      ex->last_up = up;
      ex->last_progress = now;
      return 0;
    }
    long limit = up < up_total ? ex->send_idle_ms : ex->receive_idle_ms;
    if (limit > 0 && now - ex->last_progress > std::chrono::milliseconds(limit))
      return ex->abort(FetchFailure::Stalled);
    return 0;
  }

  int abort(FetchFailure why) {
    aborted = true;
    failure = why;
    return 1;
  }

  void install(CURL* handle) {
    easy = handle;
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Exchange::on_body);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Exchange::on_header);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, &Exchange::on_connected);
    curl_easy_setopt(handle, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &Exchange::on_progress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_buffer);
  }

  // Each request of a redirect chain starts from nothing; only its final answer counts.
  void start_request() {
    body->clear();
    body_sized = false;
    header_block.clear();
    block_status = 0;
    stopped_after_headers = false;
    last_down = -1;
    last_up = -1;
  }

  Outcome perform(CURL* handle) {
    failure = FetchFailure::None;
    detail.clear();
    if (gate && !gate->pass()) {
      failure = FetchFailure::Ended;
      return Outcome::None;
    }
    last_progress = Clock::now();
    if (!started) {
      started = true;
      start_time = last_progress;
    }
    error_buffer[0] = '\0';
    CURLcode result = curl_easy_perform(handle);
    if (aborted) {
      detail = failure == FetchFailure::Deadline ? "deadline reached" : "";
      return Outcome::None;
    }
    if (result == CURLE_OK) return Outcome::Complete;
    if (stopped_after_headers && result == CURLE_WRITE_ERROR) return Outcome::Complete;
    detail = error_buffer[0] ? error_buffer : curl_easy_strerror(result);
    failure = failure_of(result);
    long code = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
    if (code > 0 && !header_block.empty()) {
      failure = FetchFailure::CutOff;
      return Outcome::Partial;
    }
    return Outcome::None;
  }

  static FetchFailure failure_of(CURLcode result) {
    switch (result) {
      case CURLE_UNSUPPORTED_PROTOCOL:
      case CURLE_URL_MALFORMAT:
        return FetchFailure::BadAddress;
      case CURLE_COULDNT_RESOLVE_HOST:
      case CURLE_COULDNT_RESOLVE_PROXY:
        return FetchFailure::UnknownHost;
      case CURLE_COULDNT_CONNECT:
        return FetchFailure::Refused;
      case CURLE_SSL_CONNECT_ERROR:
      case CURLE_PEER_FAILED_VERIFICATION:
      case CURLE_SSL_CERTPROBLEM:
      case CURLE_SSL_CIPHER:
      case CURLE_SSL_CACERT_BADFILE:
      case CURLE_SSL_ISSUER_ERROR:
      case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      case CURLE_SSL_INVALIDCERTSTATUS:
      case CURLE_USE_SSL_FAILED:
        return FetchFailure::Tls;
      case CURLE_OPERATION_TIMEDOUT:
        return FetchFailure::Stalled;
      case CURLE_PARTIAL_FILE:
      case CURLE_GOT_NOTHING:
      case CURLE_RECV_ERROR:
      case CURLE_SEND_ERROR:
      case CURLE_HTTP2:
      case CURLE_HTTP2_STREAM:
        return FetchFailure::CutOff;
      default:
        return FetchFailure::Other;
    }
  }
};

void common_options(CURL* easy) {
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  // Redirects are followed here, request by request (see run_exchange).
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  // Only the proxy the caller names; none from the environment.
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
}

// The proxy text as curl takes it. A bare "host:port" is an http proxy; a text that
// names its own scheme is used as it is.
std::string proxy_option(const std::string& proxy) {
  if (proxy.empty() || contains_text(proxy, "://")) return proxy;
  return "http://" + proxy;
}

// The request body for a method: GET without a body stays a plain GET, HEAD without one
// a plain HEAD; any other combination sends the body with the method's name.
void body_options(CURL* easy, const std::string& method, const std::string& body, Exchange& ex) {
  // What the previous request of a redirect chain set is undone first.
  curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr);
  curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  ex.stop_after_headers = false;
  if (method == "GET" && body.empty()) return;
  if (method == "HEAD" && body.empty()) {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    return;
  }
  if (method == "POST" || !body.empty()) {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, body.c_str());
  }
  if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  if (method == "HEAD") ex.stop_after_headers = true;
}

// True when curl takes `line` for a header called `name`: the name, in any letter case,
// directly followed by ":" or ";".
bool names_header(std::string_view line, std::string_view name) {
  return line.size() > name.size() && starts_with_ignore_case(line, name) &&
         (line[name.size()] == ':' || line[name.size()] == ';');
}

bool lines_name(const std::vector<std::string>& lines, std::string_view name) {
  for (const std::string& line : lines) {
    if (names_header(line, name)) return true;
  }
  return false;
}

// One header line as curl must be given it to send it unchanged: curl reads "Name:" with
// nothing after the colon as "leave Name out", and sends "Name;" as "Name:".
std::string wire_line(const std::string& line) {
  std::size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0 ||
      !trim_spaces(std::string_view(line).substr(colon + 1)).empty())
    return line;
  return line.substr(0, colon) + ";";
}

// Headers curl would add on its own unless the block names them. A line "Name:" tells curl
// to leave its own out and is not sent.
void suppress_own_headers(std::vector<std::string>& lines) {
  for (std::string_view name : {"Accept", "Content-Type", "Expect"}) {
    if (!lines_name(lines, name)) lines.push_back(std::string(name) + ":");
  }
}

// Where one request of an exchange goes.
struct Hop {
  std::string url;     // what curl connects to and keeps its cookies by
  std::string target;  // the request line's target, sent exactly; empty: curl's own from url
  std::string scheme;
  std::string host;
  long port = 0;
};

constexpr unsigned kFollowFlags = CURLU_URLENCODE | CURLU_ALLOW_SPACE | CURLU_PATH_AS_IS;

// A copy of `path` that curl's address parser accepts. curl keeps cookie paths and
// resolves relative redirects by it; the request line carries the path itself.
std::string parsable_path(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : path) {
    auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F || std::string_view("\"<>\\^`{|}").find(ch) != std::string_view::npos) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

// The first request of an exchange: the connection goes to url_host at url_port (port 0,
// as the platform does, meaning the scheme's own) and the request line carries url_path
// exactly as the address holds it. Through a proxy a plain http request names the whole
// address on its request line; a secure one goes through a tunnel.
Hop first_hop(std::string_view address, bool through_proxy) {
  Hop hop;
  const bool secure = is_secure_address(address);
  hop.scheme = secure ? "https" : "http";
  hop.host = url_host(address);
  const long standard = secure ? 443 : 80;
  hop.port = url_port(address);
  if (hop.port == 0) hop.port = standard;
  std::string origin = hop.scheme + "://" + hop.host;
  if (hop.port != standard) origin += ":" + std::to_string(hop.port);
  const std::string path = url_path(address);
  hop.url = origin + parsable_path(path);
  hop.target = through_proxy && !secure ? origin + path : path;
  return hop;
}

std::string url_part(CURLU* url, CURLUPart part, unsigned flags = 0) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK || !text) return {};
  std::string result(text);
  curl_free(text);
  return result;
}

// The request a redirect leads to: `location` resolved against the address of the
// request it answered, as curl itself would. False when it cannot be followed.
bool resolve_location(const std::string& base, const std::string& location, Hop& next) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), &curl_url_cleanup);
  if (!url ||
      curl_url_set(url.get(), CURLUPART_URL, base.c_str(), CURLU_ALLOW_SPACE | CURLU_PATH_AS_IS) !=
          CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_URL, location.c_str(), kFollowFlags) != CURLUE_OK)
    return false;
  next.scheme = lower_text(url_part(url.get(), CURLUPART_SCHEME));
  if (next.scheme != "http" && next.scheme != "https") return false;
  next.host = lower_text(url_part(url.get(), CURLUPART_HOST));
  next.port = to_int32(url_part(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT));
  next.url = url_part(url.get(), CURLUPART_URL);
  next.target.clear();
  return !next.url.empty() && !next.host.empty();
}

// The value of the first header `name` in a raw response block.

// A cookie a response set: the host that answered and the cookie's name.
struct CookieSet {
  std::string host;
  std::string name;
};

void note_set_cookies(std::string_view block, const std::string& host, std::vector<CookieSet>& set) {
  for (const std::string& line : split_text(block, "\r\n")) {
    if (!starts_with_ignore_case(line, "set-cookie:")) continue;
    std::string_view rest = std::string_view(line).substr(11);
    std::size_t end = rest.find_first_of("=;");
    std::string_view name = trim_spaces(rest.substr(0, end));
    if (!name.empty()) set.push_back({host, std::string(name)});
  }
}

// True when a stored cookie is one of those the responses set.
bool set_by(const Cookie& cookie, const std::vector<CookieSet>& set) {
  std::string domain = lower_text(cookie.domain);
  for (const CookieSet& s : set) {
    if (s.name != cookie.name) continue;
    if (domain == s.host) return true;
    if (!domain.empty() && domain[0] == '.' &&
        (s.host == domain.substr(1) ||
         (s.host.size() > domain.size() &&
          s.host.compare(s.host.size() - domain.size(), domain.size(), domain) == 0)))
      return true;
  }
  return false;
}

bool is_followed_status(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

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

// Runs the exchange: the first request, then, unless switched off, the redirects it
// meets, each a request of its own on the same handle (and so on the same connections and
// cookies). The request line of the first carries the caller's path exactly; the header
// block goes with every request, except that Cookie, Authorization and Host lines stay with
// the first request's host, port and scheme. A POST answered by 301, 302 or 303, and any
// method but GET and HEAD answered by 303, goes on as a GET without body. Cookies that the
// answers set are noted in `set` (with the host that set them) when it is given.
Outcome run_exchange(CURL* h, Exchange& ex, const Hop& first, Plan plan, std::vector<CookieSet>* set) {
  Hop hop = first;
  for (long redirects = 0;; ++redirects) {
    const bool first_origin = hop.scheme == first.scheme && hop.host == first.host && hop.port == first.port;
    HeaderList list;
    for (const std::string& line : plan.lines) {
      if (!first_origin &&
          (names_header(line, "Cookie") || names_header(line, "Authorization") || names_header(line, "Host")))
        continue;
      list.add(line);
    }
    curl_easy_setopt(h, CURLOPT_URL, hop.url.c_str());
    curl_easy_setopt(h, CURLOPT_REQUEST_TARGET, hop.target.empty() ? nullptr : hop.target.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());
    if (plan.user) {
      curl_easy_setopt(h, CURLOPT_USERNAME, first_origin ? plan.user->c_str() : nullptr);
      curl_easy_setopt(h, CURLOPT_PASSWORD, first_origin ? plan.password->c_str() : nullptr);
    }
    body_options(h, plan.method, plan.body, ex);
    ex.start_request();
    Outcome outcome = ex.perform(h);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);  // the list ends with this request
    if (set && outcome != Outcome::None) note_set_cookies(ex.header_block, hop.host, *set);

    if (outcome != Outcome::Complete || !plan.follow || !is_followed_status(ex.block_status)) return outcome;
    std::string location = response_header(ex.header_block, "Location");
    Hop next;
    if (location.empty() || !resolve_location(hop.url, location, next)) return outcome;
    if (redirects >= plan.max_redirects) {
      ex.failure = FetchFailure::Other;
      ex.detail = "too many redirects";
      return Outcome::Partial;
    }
    const int status = ex.block_status;
    if (((status == 301 || status == 302) && plan.method == "POST") ||
        (status == 303 && plan.method != "GET" && plan.method != "HEAD"))
      plan.method = "GET";
    if (plan.method == "GET") plan.body.clear();
    hop = std::move(next);
  }
}

}  // namespace

std::string response_header(std::string_view block, std::string_view name) {
  for (const std::string& line : split_text(block, "\r\n")) {
    std::size_t colon = line.find(':');
    if (colon == std::string::npos ||
        lower_text(trim_spaces(std::string_view(line).substr(0, colon))) != lower_text(name))
      continue;
    return std::string(trim_spaces(std::string_view(line).substr(colon + 1)));
  }
  return {};
}

std::string describe_outcome(const FetchOutcome& outcome) {
  std::string text;
  switch (outcome.failure) {
    case FetchFailure::None:
      if (outcome.status == 200) return {};
      if (outcome.status == 0) return G("服务器没有回答");
      return G("服务器回答 HTTP ") + std::to_string(outcome.status);
    case FetchFailure::BadAddress:
      text = G("地址无效");
      break;
    case FetchFailure::UnknownHost:
      text = G("找不到服务器（域名无法解析）");
      break;
    case FetchFailure::Refused:
      text = G("无法连接服务器（连接被拒绝）");
      break;
    case FetchFailure::Tls:
      text = G("安全连接（TLS）失败");
      break;
    case FetchFailure::Stalled:
      text = G("服务器长时间没有响应");
      break;
    case FetchFailure::Deadline:
      text = G("请求超时");
      break;
    case FetchFailure::CutOff:
      text = G("连接中断，回答不完整");
      break;
    case FetchFailure::Ended:
      text = G("已结束");
      break;
    case FetchFailure::Other:
      text = G("网络错误");
      break;
  }
  if (!outcome.detail.empty()) text += " (" + outcome.detail + ")";
  return text;
}

std::string fetch_page(const std::string& address, const PageRequest& request) {
  CookieStore& store = CookieStore::instance();
  const std::string method = method_text(request.method);
  const bool secure = is_secure_address(address);
  const std::string agent = choose_user_agent(request.headers ? *request.headers : std::string());
  const auto fail = [&](FetchFailure why) {
    if (request.outcome) *request.outcome = FetchOutcome{why, 0, {}, {}};
    return std::string();
  };
  if (url_host(address).empty()) return fail(FetchFailure::BadAddress);  // no host to connect to
  EasyHandle easy;
  if (!easy.get()) return fail(FetchFailure::Other);
  CURL* h = easy.get();

  common_options(h);
  curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, kPageConnectMs);
  // A plain http request names its proxy for the http scheme; a secure one takes the text
  // as it is (curl reads a bare "host:port" as an http proxy either way).
  curl_easy_setopt(h, CURLOPT_PROXY, (secure ? request.proxy : proxy_option(request.proxy)).c_str());

  std::string own_headers;
  std::string& headers = request.headers ? *request.headers : own_headers;
  complete_headers(headers, address, request.cookie_jar ? *request.cookie_jar : std::string(),
                   HeaderStyle::Inet);
  Plan plan;
  for (const std::string& line : split_text(headers, "\r\n")) {
    if (!line.empty()) plan.lines.push_back(wire_line(line));
  }
  // The request carries the completed block and nothing curl would add of its own (a
  // second Accept, a form Content-Type, "Expect: 100-continue").
  suppress_own_headers(plan.lines);

  // With a caller's jar the engine stays off: only the jar's Cookie line goes out.
  if (!request.cookie_jar) store.attach(h);

  Exchange ex;
  ex.gate = request.gate;
  ex.deadline_ms = request.deadline_ms;
  ex.receive_idle_ms = kPageIdleMs;
  ex.send_idle_ms = kPageIdleMs;
  if (method != "GET") {
    std::string own_bytes;
    std::string& bytes = request.body_bytes ? *request.body_bytes : own_bytes;
    if (bytes.empty()) bytes = request.body_text;
    plan.body = bytes;
  }
  plan.method = method;
  plan.follow = !request.no_redirect;
  plan.max_redirects = kMaxRedirects;
  ex.install(h);

  const bool report = !request.cookie_jar && store.has_listener();
  std::vector<Cookie> before;
  if (report) before = store.all_cookies();

  std::vector<CookieSet> set;
  Outcome outcome = run_exchange(h, ex, first_hop(address, !request.proxy.empty()), std::move(plan), &set);
  // An answer that broke off is returned as far as it arrived, as the platform's reads do.
  const bool answered = outcome != Outcome::None;

  // The whole header block of the final response is kept, however long it is.
  std::string response_headers = answered ? ex.header_block : std::string();
  std::string received = collect_cookies(response_headers);
  if (request.response_headers) *request.response_headers = response_headers;
  if (request.cookie_jar) merge_cookies(*request.cookie_jar, received);
  if (request.received_cookies) *request.received_cookies = received;
  // Only what these answers set goes back to the browser; whatever else changed in the
  // store meanwhile was changed by someone else.
  if (report && !set.empty()) store.report_changes(before, [&](const Cookie& c) { return set_by(c, set); });
  if (request.outcome) {
    *request.outcome = FetchOutcome{ex.failure, answered ? ex.block_status : 0, response_headers, ex.detail};
    // A redirect chain that ran out ends on a redirect: the answer is what it is.
  }
  if (!answered) return {};
  return std::move(ex.own_body);
}

// ---------------------------------------------------------------------------------------

struct RequestObject::Impl {
  CURL* easy = nullptr;  // kept between sends: its connection and cookies live on

  long resolve_ms = 0;
  long connect_ms = 60000;
  long send_ms = 30000;
  long receive_ms = 30000;

  std::string proxy;
  std::string server_user, server_password;
  std::string proxy_user, proxy_password;
  bool server_credentials = false;
  bool proxy_credentials = false;

  bool opened = false;
  std::string method;
  std::string url;
  bool redirects = true;
  long ignore_flags = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string cookie;

  bool answered = false;
  std::string body;
  std::string response_headers;
  int status = 0;
  Gate* gate = nullptr;
  long deadline_ms = kDefaultRequestDeadlineMs;
  FetchOutcome outcome;
};

RequestObject::RequestObject() : impl_(std::make_unique<Impl>()) {
  CookieStore::instance();  // initialises libcurl once for the process
  impl_->easy = curl_easy_init();
}

RequestObject::~RequestObject() {
  if (impl_->easy) curl_easy_cleanup(impl_->easy);
}

bool RequestObject::created() const { return impl_->easy != nullptr; }

void RequestObject::set_timeouts(int resolve_ms, int connect_ms, int send_ms, int receive_ms) {
  if (resolve_ms < -1 || connect_ms < -1 || send_ms < -1 || receive_ms < -1) return;
  // -1 means "no timeout", as 0 does.
  impl_->resolve_ms = resolve_ms < 0 ? 0 : resolve_ms;
  impl_->connect_ms = connect_ms < 0 ? 0 : connect_ms;
  impl_->send_ms = send_ms < 0 ? 0 : send_ms;
  impl_->receive_ms = receive_ms < 0 ? 0 : receive_ms;
}

void RequestObject::set_proxy(int setting, const std::string& proxy) {
  // 0 the default, 1 direct, 2 the named proxy.
  if (setting == 2)
    impl_->proxy = proxy;
  else if (setting == 0 || setting == 1)
    impl_->proxy.clear();
}

void RequestObject::set_credentials(const std::string& user, const std::string& password, int flag) {
  if (flag == 1) {
    impl_->proxy_user = user;
    impl_->proxy_password = password;
    impl_->proxy_credentials = true;
  } else if (flag == 0) {
    impl_->server_user = user;
    impl_->server_password = password;
    impl_->server_credentials = true;
  }
}

void RequestObject::open(const std::string& method, const std::string& address, bool /*async*/) {
  Impl& s = *impl_;
  s.opened = false;
  s.headers.clear();
  s.cookie.clear();
  s.answered = false;
  s.body.clear();
  s.response_headers.clear();
  s.status = 0;
  if (method.empty() ||
      !(starts_with_ignore_case(address, "http://") || starts_with_ignore_case(address, "https://")))
    return;
  s.method = method;
  s.url = address;
  s.opened = true;
}

void RequestObject::ignore_certificate_problems(long problems) { impl_->ignore_flags = problems; }

void RequestObject::set_follow_redirects(bool follow) { impl_->redirects = follow; }

void RequestObject::set_request_header(const std::string& name, const std::string& value) {
  if (!impl_->opened || name.empty()) return;
  if (lower_text(name) == "cookie") {
    // One Cookie line, together with what the object's own engine adds.
    if (!impl_->cookie.empty()) impl_->cookie += "; ";
    impl_->cookie += value;
    return;
  }
  impl_->headers.emplace_back(name, value);
}

void RequestObject::set_gate(Gate* gate) { impl_->gate = gate; }

void RequestObject::set_deadline(long deadline_ms) { impl_->deadline_ms = deadline_ms < 0 ? 0 : deadline_ms; }

const FetchOutcome& RequestObject::outcome() const { return impl_->outcome; }

void RequestObject::send(const std::string& body) {
  Impl& s = *impl_;
  s.outcome = FetchOutcome{s.opened ? FetchFailure::Other : FetchFailure::BadAddress, 0, {}, {}};
  if (!s.opened || !s.easy) return;
  s.answered = false;
  s.body.clear();
  s.response_headers.clear();
  s.status = 0;
  CURL* h = s.easy;

  // Connections and cookies survive the reset; every option is set anew.
  curl_easy_reset(h);
  common_options(h);
  curl_easy_setopt(h, CURLOPT_COOKIEFILE, "");
  if (!s.cookie.empty()) curl_easy_setopt(h, CURLOPT_COOKIE, s.cookie.c_str());
  // Resolving and connecting share one bound; 0 leaves curl's own.
  long connect_budget = s.connect_ms > 0 ? s.connect_ms + s.resolve_ms : 0;
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connect_budget);

  // Certificate problems the caller chose to ignore.
  bool trust_any = (s.ignore_flags & (kUnknownAuthority | kWrongUsage | kInvalidDate)) != 0;
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, trust_any ? 0L : 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, (s.ignore_flags & kNameMismatch) ? 0L : 2L);

  const std::string proxy = proxy_option(s.proxy);
  curl_easy_setopt(h, CURLOPT_PROXY, proxy.c_str());
  if (!s.proxy.empty() && s.proxy_credentials) {
    curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, s.proxy_user.c_str());
    curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, s.proxy_password.c_str());
    curl_easy_setopt(h, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
  }
  Plan plan;
  if (s.server_credentials) {
    plan.user = &s.server_user;
    plan.password = &s.server_password;
    curl_easy_setopt(h, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
  }

  for (const auto& [name, value] : s.headers) {
    // "Name;" is curl's spelling of a header with an empty value.
    plan.lines.push_back(value.empty() ? name + ";" : name + ": " + value);
  }
  if (!lines_name(plan.lines, "User-Agent"))
    curl_easy_setopt(h, CURLOPT_USERAGENT, std::string(kObjectAgent).c_str());
  suppress_own_headers(plan.lines);

  Exchange ex;
  ex.gate = s.gate;
  ex.deadline_ms = s.deadline_ms;
  ex.send_idle_ms = s.send_ms;
  ex.receive_idle_ms = s.receive_ms;
  ex.body = &s.body;  // kept between sends, so its capacity serves the next answer
  ex.install(h);
  plan.method = s.method;
  plan.body = body;
  plan.follow = s.redirects;
  plan.max_redirects = kMaxObjectRedirects;
  Outcome outcome = run_exchange(h, ex, first_hop(s.url, !s.proxy.empty()), std::move(plan), nullptr);

  // Only a whole answer counts: one that broke off (a body shorter than announced, a
  // connection closed mid-chunk) or a redirect chain that ran out is a failed send, with no
  // body, no headers and status 0, so that a caller never takes a cut-off body for the
  // real one.
  if (outcome == Outcome::Complete) {
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    s.answered = true;
    s.status = static_cast<int>(code);
    // All header lines of the final answer, without its status line and closing blank line.
    std::string block = std::move(ex.header_block);
    std::size_t first_end = block.find("\r\n");
    block = first_end == std::string::npos ? std::string() : block.substr(first_end + 2);
    while (block.size() >= 4 && block.compare(block.size() - 4, 4, "\r\n\r\n") == 0)
      block.resize(block.size() - 2);
    if (block == "\r\n") block.clear();
    s.response_headers = std::move(block);
  } else {
    s.body.clear();
  }
  s.outcome = FetchOutcome{
      outcome == Outcome::Partial && ex.failure == FetchFailure::None ? FetchFailure::CutOff : ex.failure,
      s.status, s.response_headers, ex.detail};
  // The handle outlives this call; it keeps no pointer to the exchange, the header list or
  // the texts of this send (its connections and cookies stay).
  curl_easy_reset(h);
}

std::string RequestObject::response_body() const { return impl_->answered ? impl_->body : std::string(); }

std::string RequestObject::get_all_response_headers() const {
  return impl_->answered ? impl_->response_headers : std::string();
}

int RequestObject::status() const { return impl_->answered ? impl_->status : 0; }

// ---------------------------------------------------------------------------------------

int timed_timeout_ms(int timeout_seconds) {
  if (timeout_seconds == -1) return -1;
  long long ms = timeout_seconds < 1 ? 15000LL : timeout_seconds * 1000LL;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

std::string fetch_page_timed(const std::string& address, const TimedRequest& request) {
  const std::string method = method_text(request.method);
  std::unique_ptr<RequestObject> created;
  RequestObject* object = request.request_object;
  if (!object) {
    created = std::make_unique<RequestObject>();
    object = created.get();
  }
  if (!object->created()) {
    if (request.outcome) *request.outcome = FetchOutcome{FetchFailure::Other, 0, {}, {}};
    return {};
  }

  if (int t = timed_timeout_ms(request.timeout_seconds); t != -1) object->set_timeouts(t, t, t, t);
  if (!request.proxy.empty()) {
    object->set_proxy(2, request.proxy);
    if (!request.proxy_user.empty())
      object->set_credentials(request.proxy_user, request.proxy_password, request.credential_flag);
  }
  object->open(method, address, false);
  if (request.no_redirect) object->set_follow_redirects(false);
  object->ignore_certificate_problems(RequestObject::kUnknownAuthority | RequestObject::kWrongUsage |
                                      RequestObject::kNameMismatch | RequestObject::kInvalidDate);

  std::string own_headers;
  std::string& headers = request.headers ? *request.headers : own_headers;
  complete_headers(headers, address, {}, HeaderStyle::Object);
  if (request.cookie_jar && !request.cookie_jar->empty())
    object->set_request_header("Cookie", *request.cookie_jar);
  for (const std::string& line : split_text(headers, "\r\n")) {
    if (!line.empty()) object->set_request_header(header_name(line), header_value(line));
  }

  object->set_gate(request.gate);
  object->send(request.body_bytes.empty() ? request.body_text : request.body_bytes);
  object->set_gate(nullptr);
  if (request.outcome) *request.outcome = object->outcome();

  std::string body = object->response_body();
  std::string response_headers = object->get_all_response_headers();
  std::string received = collect_cookies(response_headers);
  if (request.response_headers) *request.response_headers = response_headers;
  if (request.status) *request.status = object->status();
  std::string own_jar;
  merge_cookies(request.cookie_jar ? *request.cookie_jar : own_jar, received);
  if (request.received_cookies) *request.received_cookies = received;
  return body;
}

}  // namespace af
