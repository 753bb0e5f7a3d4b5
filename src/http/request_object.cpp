// SPDX-License-Identifier: GPL-3.0-or-later
#include <climits>
#include <memory>
#include <utility>
#include <vector>

#include "http/fetch.h"
#include "http/transfer.h"
#include "util/text.h"

namespace af {

namespace {

using namespace wire;

// The request object follows at most this many redirects, as the one it stands in for.
constexpr long kMaxObjectRedirects = 10;
constexpr std::string_view kObjectAgent = "Mozilla/4.0 (compatible; Win32; WinHttp.WinHttpRequest.5)";

}  // namespace

struct RequestObject::Impl {
  KeptHandle kept;  // kept between sends: its connection and cookies live on

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

  // The last send: a whole answer (status, header lines, body) or why there was none.
  Response result;
  Gate* gate = nullptr;
  TransferGroup* group = nullptr;
  long deadline_ms = kDefaultRequestDeadlineMs;
};

RequestObject::RequestObject() : impl_(std::make_unique<Impl>()) {}

RequestObject::~RequestObject() = default;

bool RequestObject::created() const { return impl_->kept.easy.get() != nullptr; }

void RequestObject::set_timeouts(int resolve_ms, int connect_ms, int send_ms, int receive_ms) {
  if (resolve_ms < -1 || connect_ms < -1 || send_ms < -1 || receive_ms < -1) return;
  // -1 means "no timeout", as 0 does.
  impl_->resolve_ms = resolve_ms < 0 ? 0 : resolve_ms;
  impl_->connect_ms = connect_ms < 0 ? 0 : connect_ms;
  impl_->send_ms = send_ms < 0 ? 0 : send_ms;
  impl_->receive_ms = receive_ms < 0 ? 0 : receive_ms;
}

void RequestObject::set_proxy(ProxySetting setting, const std::string& proxy) {
  impl_->proxy = setting == ProxySetting::Named ? proxy : std::string();
}

void RequestObject::set_credentials(const std::string& user, const std::string& password,
                                    CredentialsFor target) {
  if (target == CredentialsFor::Proxy) {
    impl_->proxy_user = user;
    impl_->proxy_password = password;
    impl_->proxy_credentials = true;
  } else {
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
  s.result = {};
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

const Response& RequestObject::outcome() const { return impl_->result; }

Response RequestObject::take_response() { return std::exchange(impl_->result, {}); }

void RequestObject::set_group(TransferGroup* group) { impl_->group = group; }

void RequestObject::send(const std::string& body) {
  Impl& s = *impl_;
  // The body buffer is kept between sends, so its capacity serves the next answer.
  std::string buffer = std::move(s.result.body);
  buffer.clear();
  if (!s.opened) {
    s.result = Response{FetchFailure::BadAddress, 0, {}, {}, std::move(buffer)};
    return;
  }
  Call call;
  call.address = s.url;
  call.method = s.method;
  call.body = body;
  call.buffer = std::move(buffer);
  call.kept = &s.kept;
  call.gate = s.gate;
  call.group = s.group;
  call.deadline_ms = s.deadline_ms;
  call.cookies = CookieEngine::Own;
  call.cookie = s.cookie;
  Flavour& f = call.flavour;
  // Resolving and connecting share one bound; 0 leaves curl's own.
  f.connect_ms = s.connect_ms > 0 ? s.connect_ms + s.resolve_ms : 0;
  f.send_idle_ms = s.send_ms;
  f.receive_idle_ms = s.receive_ms;
  // Certificate problems the caller chose to ignore.
  f.verify_peer = (s.ignore_flags & (kUnknownAuthority | kWrongUsage | kInvalidDate)) == 0;
  f.verify_host = (s.ignore_flags & kNameMismatch) == 0;
  f.follow = s.redirects;
  f.max_redirects = kMaxObjectRedirects;
  f.whole_answers = true;

  call.proxy = proxy_option(s.proxy);
  if (!s.proxy.empty() && s.proxy_credentials) call.proxy_login = Login{s.proxy_user, s.proxy_password};
  if (s.server_credentials) call.server_login = Login{s.server_user, s.server_password};

  for (const auto& [name, value] : s.headers) {
    // "Name;" is curl's spelling of a header with an empty value.
    call.lines.push_back(value.empty() ? name + ";" : name + ": " + value);
  }
  if (!lines_name(call.lines, "User-Agent")) f.agent = std::string(kObjectAgent);
  suppress_own_headers(call.lines);

  if (s.group) {
    // Among others at once: HTTP/2 where a secure host offers it, the transfers then
    // sharing one connection as streams (a new one waits for the handshake to tell).
    f.http_version = CURL_HTTP_VERSION_2TLS;
    f.pipe_wait = is_secure_address(s.url);
  }
  s.result = send_call(std::move(call));
}

std::string RequestObject::response_body() const { return impl_->result.body; }

std::string RequestObject::get_all_response_headers() const { return impl_->result.headers; }

int RequestObject::status() const { return impl_->result.status; }

int timed_timeout_ms(int timeout_seconds) {
  if (timeout_seconds == -1) return -1;
  long long ms = timeout_seconds < 1 ? 15000LL : timeout_seconds * 1000LL;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

Response fetch_page_timed(const std::string& address, const TimedRequest& request) {
  std::unique_ptr<RequestObject> created;
  RequestObject* object = request.request_object;
  if (!object) {
    created = std::make_unique<RequestObject>();
    object = created.get();
  }
  if (!object->created()) return {FetchFailure::Other, 0, {}, {}};

  if (int t = timed_timeout_ms(request.timeout_seconds); t != -1) object->set_timeouts(t, t, t, t);
  if (!request.proxy.empty()) {
    object->set_proxy(ProxySetting::Named, request.proxy);
    if (!request.proxy_user.empty())
      object->set_credentials(request.proxy_user, request.proxy_password, request.credentials_for);
  }
  object->open(method_text(request.method), address, false);
  if (request.no_redirect) object->set_follow_redirects(false);
  object->ignore_certificate_problems(RequestObject::kUnknownAuthority | RequestObject::kWrongUsage |
                                      RequestObject::kNameMismatch | RequestObject::kInvalidDate);

  std::string headers = request.headers;
  complete_headers(headers, address, {}, HeaderStyle::Object);
  if (request.cookie_jar && !request.cookie_jar->empty())
    object->set_request_header("Cookie", *request.cookie_jar);
  for (const std::string& line : split_text(headers, "\r\n")) {
    if (!line.empty()) object->set_request_header(header_name(line), header_value(line));
  }

  object->set_gate(request.gate);
  object->send(request.body_bytes.empty() ? request.body_text : request.body_bytes);
  object->set_gate(nullptr);
  Response response = object->take_response();
  response.cookies = remove_spaces(collect_cookies(response.headers));
  return response;
}

}  // namespace af
