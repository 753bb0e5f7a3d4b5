#include "http/fetch.h"

#include <curl/curl.h>

#include <chrono>
#include <climits>
#include <thread>
#include <utility>
#include <vector>

#include "core/gate.h"
#include "http/cookie_store.h"
#include "util/text.h"

namespace af {

namespace {

using Clock = std::chrono::steady_clock;

// fetch_page sets no timeouts of its own; these stand in for the platform's defaults so a
// silent server cannot hold a caller for ever.
constexpr long kPageConnectMs = 60000;
constexpr long kPageIdleMs = 60000;
constexpr long kMaxRedirects = 30;
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

// The state of one transfer, shared with curl's callbacks.
struct Exchange {
  // The body goes to `body`: this exchange's own string, or a buffer the caller keeps
  // between transfers so that its capacity is reused.
  std::string own_body;
  std::string* body = &own_body;
  CURL* easy = nullptr;
  bool body_sized = false;  // room for the announced length made on the first chunk
  std::string header_block;  // raw block of the latest response, status line first
  bool saw_set_cookie = false;
  int block_status = 0;

  Gate* gate = nullptr;
  bool aborted = false;  // ended through the gate or for lack of progress

  // Time without progress allowed while the request goes out / the answer is awaited.
  long send_idle_ms = 0;
  long receive_idle_ms = 0;
  Clock::time_point last_progress = Clock::now();
  curl_off_t last_down = -1;
  curl_off_t last_up = -1;

  // A HEAD request with a body is sent as a custom method; curl would then wait for a body
  // the server never sends, so the transfer stops after the final header block.
  bool stop_after_headers = false;
  bool follows_redirects = false;
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
      // A new response (after an interim answer or a redirect) replaces the block.
      ex->header_block.clear();
      ex->body_sized = false;
      ex->block_status = 0;
      std::size_t space = line.find(' ');
      if (space != std::string_view::npos) ex->block_status = to_int32(line.substr(space + 1, 3));
    }
    ex->header_block.append(line);
    if (starts_with_ignore_case(line, "set-cookie")) ex->saw_set_cookie = true;
    if (ex->stop_after_headers && (line == "\r\n" || line == "\n")) {
      bool interim = ex->block_status >= 100 && ex->block_status < 200;
      bool redirect = ex->follows_redirects && ex->block_status >= 300 && ex->block_status < 400 &&
                      contains_text(ex->header_block, "\nLocation:", true);
      if (!interim && !redirect) {
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
      if (ex->gate->ended()) return ex->abort();
      if (ex->gate->paused()) {
        // Hold the transfer where it is; the pause does not count against the timeouts.
        while (ex->gate->paused()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (ex->gate->ended()) return ex->abort();
        ex->last_progress = Clock::now();
      }
    }
    auto now = Clock::now();
    if (down != ex->last_down || up != ex->last_up) {
      ex->last_down = down;
      ex->last_up = up;
      ex->last_progress = now;
      return 0;
    }
    long limit = up < up_total ? ex->send_idle_ms : ex->receive_idle_ms;
    if (limit > 0 && now - ex->last_progress > std::chrono::milliseconds(limit)) return ex->abort();
    return 0;
  }

  int abort() {
    aborted = true;
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
  }

  // Runs the transfer. True when an answer arrived (the status line of a response was read
  // and nothing aborted it).
  bool perform(CURL* easy) {
    if (gate && !gate->pass()) return false;
    last_progress = Clock::now();
    CURLcode result = curl_easy_perform(easy);
    if (aborted) return false;
    if (result == CURLE_OK) return true;
    if (stopped_after_headers && result == CURLE_WRITE_ERROR) return true;
    long code = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
    return code > 0 && !header_block.empty();
  }
};

void common_options(CURL* easy, const std::string& url) {
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
}

// The request body for a method: GET without a body stays a plain GET, HEAD without one
// a plain HEAD; any other combination sends the body with the method's name.
void body_options(CURL* easy, const std::string& method, const std::string& body, Exchange& ex) {
  if (method == "GET" && body.empty()) {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    return;
  }
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

bool block_has_header(std::string_view block, std::string_view name) {
  std::string prefix = lower_text(name) + ":";
  for (const std::string& line : split_text(block, "\r\n")) {
    if (lower_text(trim_text(line)).rfind(prefix, 0) == 0) return true;
  }
  return false;
}

}  // namespace

std::string fetch_page(const std::string& address, const PageRequest& request) {
  CookieStore& store = CookieStore::instance();
  const std::string method = method_text(request.method);
  const bool secure = is_secure_address(address);
  const std::string agent = choose_user_agent(request.headers ? *request.headers : std::string());
  const std::string host = url_host(address);
  if (host.empty()) return {};  // no host to connect to
  EasyHandle easy;
  if (!easy.get()) return {};
  CURL* h = easy.get();

  // The connection goes to url_host at url_port and asks for url_path, as the address is
  // split; the address itself is not re-encoded.
  const int port = url_port(address);
  std::string url = std::string(secure ? "https://" : "http://") + host;
  if (port != (secure ? 443 : 80)) url += ":" + std::to_string(port);
  url += url_path(address);
  common_options(h, url);
  curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, request.no_redirect ? 0L : 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, kPageConnectMs);
  // A plain http request names its proxy for the http scheme only.
  curl_easy_setopt(h, CURLOPT_PROXY, request.proxy.c_str());
  if (!request.proxy.empty() && !secure) curl_easy_setopt(h, CURLOPT_PROXY, ("http://" + request.proxy).c_str());

  std::string own_headers;
  std::string& headers = request.headers ? *request.headers : own_headers;
  complete_headers(headers, address, request.cookie_jar ? *request.cookie_jar : std::string(), HeaderStyle::Inet);
  HeaderList list;
  for (const std::string& line : split_text(headers, "\r\n")) {
    if (!line.empty()) list.add(line);
  }
  // curl would announce large bodies with "Expect: 100-continue"; the request carries only
  // the completed block.
  if (!block_has_header(headers, "Expect")) list.add("Expect:");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());

  // With a caller's jar the engine stays off: only the jar's Cookie line goes out.
  if (!request.cookie_jar) store.attach(h);

  Exchange ex;
  ex.gate = request.gate;
  ex.receive_idle_ms = kPageIdleMs;
  ex.send_idle_ms = kPageIdleMs;
  ex.follows_redirects = !request.no_redirect;
  std::string body;
  if (method != "GET") {
    std::string own_bytes;
    std::string& bytes = request.body_bytes ? *request.body_bytes : own_bytes;
    if (bytes.empty()) bytes = request.body_text;
    body = bytes;
  }
  body_options(h, method, body, ex);
  ex.install(h);

  const bool report = !request.cookie_jar && store.has_listener();
  std::vector<Cookie> before;
  if (report) before = store.all_cookies();

  bool answered = ex.perform(h);

  // The whole header block of the final response is kept, however long it is.
  std::string response_headers = answered ? ex.header_block : std::string();
  std::string received = collect_cookies(response_headers);
  if (request.response_headers) *request.response_headers = response_headers;
  if (request.cookie_jar) merge_cookies(*request.cookie_jar, received);
  if (request.received_cookies) *request.received_cookies = received;
  if (report && ex.saw_set_cookie) store.report_changes(before);
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
  if (setting == 2) impl_->proxy = proxy;
  else if (setting == 0 || setting == 1) impl_->proxy.clear();
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
  if (method.empty() || !(starts_with_ignore_case(address, "http://") || starts_with_ignore_case(address, "https://")))
    return;
  s.method = method;
  s.url = address;
  s.opened = true;
}

void RequestObject::set_option(int index, long value) {
  if (index == 4) impl_->ignore_flags = value;
  else if (index == 6) impl_->redirects = value != 0;
}

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

void RequestObject::send(const std::string& body) {
  Impl& s = *impl_;
  if (!s.opened || !s.easy) return;
  s.answered = false;
  s.body.clear();
  s.response_headers.clear();
  s.status = 0;
  CURL* h = s.easy;

  // Connections and cookies survive the reset; every option is set anew.
  curl_easy_reset(h);
  common_options(h, s.url);
  curl_easy_setopt(h, CURLOPT_COOKIEFILE, "");
  if (!s.cookie.empty()) curl_easy_setopt(h, CURLOPT_COOKIE, s.cookie.c_str());
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, s.redirects ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  // Resolving and connecting share one bound; 0 leaves curl's own.
  long connect_budget = s.connect_ms > 0 ? s.connect_ms + s.resolve_ms : 0;
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connect_budget);

  // Certificate problems the caller chose to ignore: an unknown authority, a wrong usage or
  // an invalid date (0x0100, 0x0200, 0x2000) and a name that does not match (0x1000).
  bool trust_any = (s.ignore_flags & (0x0100 | 0x0200 | 0x2000)) != 0;
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, trust_any ? 0L : 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, (s.ignore_flags & 0x1000) ? 0L : 2L);

  curl_easy_setopt(h, CURLOPT_PROXY, s.proxy.empty() ? "" : ("http://" + s.proxy).c_str());
  if (!s.proxy.empty() && s.proxy_credentials) {
    curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, s.proxy_user.c_str());
    curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, s.proxy_password.c_str());
    curl_easy_setopt(h, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
  }
  if (s.server_credentials) {
    curl_easy_setopt(h, CURLOPT_USERNAME, s.server_user.c_str());
    curl_easy_setopt(h, CURLOPT_PASSWORD, s.server_password.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
  }

  HeaderList list;
  bool has_agent = false, has_accept = false, has_expect = false;
  for (const auto& [name, value] : s.headers) {
    std::string lower = lower_text(name);
    has_agent = has_agent || lower == "user-agent";
    has_accept = has_accept || lower == "accept";
    has_expect = has_expect || lower == "expect";
    // "Name;" is curl's spelling of a header with an empty value.
    list.add(value.empty() ? name + ";" : name + ": " + value);
  }
  if (!has_agent) curl_easy_setopt(h, CURLOPT_USERAGENT, std::string(kObjectAgent).c_str());
  if (!has_accept) list.add("Accept:");
  if (!has_expect) list.add("Expect:");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());

  Exchange ex;
  ex.gate = s.gate;
  ex.send_idle_ms = s.send_ms;
  ex.receive_idle_ms = s.receive_ms;
  ex.follows_redirects = s.redirects;
  ex.body = &s.body;  // kept between sends, so its capacity serves the next answer
  body_options(h, s.method, body, ex);
  ex.install(h);
  if (!ex.perform(h)) {
    s.body.clear();
    return;
  }

  long code = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
  s.answered = true;
  s.status = static_cast<int>(code);
  // All header lines of the final answer, without its status line and closing blank line.
  std::string block = std::move(ex.header_block);
  std::size_t first_end = block.find("\r\n");
  block = first_end == std::string::npos ? std::string() : block.substr(first_end + 2);
  while (block.size() >= 4 && block.compare(block.size() - 4, 4, "\r\n\r\n") == 0) block.resize(block.size() - 2);
  if (block == "\r\n") block.clear();
  s.response_headers = std::move(block);
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
  if (!object->created()) return {};

  if (int t = timed_timeout_ms(request.timeout_seconds); t != -1) object->set_timeouts(t, t, t, t);
  if (!request.proxy.empty()) {
    object->set_proxy(2, request.proxy);
    if (!request.proxy_user.empty())
      object->set_credentials(request.proxy_user, request.proxy_password, request.credential_flag);
  }
  object->open(method, address, false);
  if (request.no_redirect) object->set_option(6, 0);
  object->set_option(4, 0x3300);

  std::string own_headers;
  std::string& headers = request.headers ? *request.headers : own_headers;
  complete_headers(headers, address, {}, HeaderStyle::Object);
  if (request.cookie_jar && !request.cookie_jar->empty()) object->set_request_header("Cookie", *request.cookie_jar);
  for (const std::string& line : split_text(headers, "\r\n")) {
    if (!line.empty()) object->set_request_header(header_name(line), header_value(line));
  }

  object->set_gate(request.gate);
  object->send(request.body_bytes.empty() ? request.body_text : request.body_bytes);
  object->set_gate(nullptr);

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
