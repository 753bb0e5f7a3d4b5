// SPDX-License-Identifier: GPL-3.0-or-later
#include <climits>
#include <memory>
#include <optional>
#include <utility>

#include "http/fetch.h"
#include "http/transfer.h"
#include "util/text.h"

namespace af {

namespace {

using namespace wire;

// The request object follows at most this many redirects, as the one it stands in for.
constexpr long kMaxObjectRedirects = 10;
constexpr std::string_view kObjectAgent = "Mozilla/4.0 (compatible; Win32; WinHttp.WinHttpRequest.5)";

// What a send of the object is, before its address, header lines and body are known.
Call object_call() {
  Call call;
  call.deadline_ms = kDefaultRequestDeadlineMs;
  call.cookies = CookieEngine::Own;
  Flavour& f = call.flavour;
  f.connect_ms = 60000;
  f.send_idle_ms = 30000;
  f.receive_idle_ms = 30000;
  f.max_redirects = kMaxObjectRedirects;
  f.whole_answers = true;
  return call;
}

}  // namespace

struct RequestObject::Impl {
  KeptHandle kept;  // kept between sends: its connection and cookies live on
  // The next send as the members have set it so far. Header lines are those of the open
  // request; the Cookie line is one, together with what the object's own engine adds.
  Call call = object_call();
  std::string proxy;
  std::optional<Login> proxy_login;  // used only through a proxy
  bool opened = false;
  // The last send: a whole answer (status, header lines, body) or why there was none.
  Response result;
};

RequestObject::RequestObject() : impl_(std::make_unique<Impl>()) {}

RequestObject::~RequestObject() = default;

bool RequestObject::created() const { return impl_->kept.easy.get() != nullptr; }

void RequestObject::set_timeouts(int resolve_ms, int connect_ms, int send_ms, int receive_ms) {
  if (resolve_ms < -1 || connect_ms < -1 || send_ms < -1 || receive_ms < -1) return;
  // -1 means "no timeout", as 0 does. Resolving and connecting share one bound; 0 leaves
  // curl's own.
  Flavour& f = impl_->call.flavour;
  f.connect_ms = connect_ms > 0 ? connect_ms + (resolve_ms < 0 ? 0 : resolve_ms) : 0;
  f.send_idle_ms = send_ms < 0 ? 0 : send_ms;
  f.receive_idle_ms = receive_ms < 0 ? 0 : receive_ms;
}

void RequestObject::set_proxy(ProxySetting setting, const std::string& proxy) {
  impl_->proxy = setting == ProxySetting::Named ? proxy : std::string();
}

void RequestObject::set_credentials(const std::string& user, const std::string& password,
                                    CredentialsFor target) {
  (target == CredentialsFor::Proxy ? impl_->proxy_login : impl_->call.server_login) = Login{user, password};
}

void RequestObject::open(const std::string& method, const std::string& address, bool /*async*/) {
  Impl& s = *impl_;
  s.opened = false;
  s.call.lines.clear();
  s.call.cookie.clear();
  s.result = {};
  if (method.empty() ||
      !(starts_with_ignore_case(address, "http://") || starts_with_ignore_case(address, "https://")))
    return;
  s.call.method = method;
  s.call.address = address;
  s.opened = true;
}

void RequestObject::ignore_certificate_problems(long problems) {
  // Certificate problems the caller chose to ignore.
  impl_->call.flavour.verify_peer = (problems & (kUnknownAuthority | kWrongUsage | kInvalidDate)) == 0;
  impl_->call.flavour.verify_host = (problems & kNameMismatch) == 0;
}

void RequestObject::set_follow_redirects(bool follow) { impl_->call.flavour.follow = follow; }

void RequestObject::set_request_header(const std::string& name, const std::string& value) {
  if (!impl_->opened || name.empty()) return;
  std::string& cookie = impl_->call.cookie;
  if (lower_text(name) == "cookie") {
    if (!cookie.empty()) cookie += "; ";
    cookie += value;
    return;
  }
  // "Name;" is curl's spelling of a header with an empty value.
  impl_->call.lines.push_back(value.empty() ? name + ";" : name + ": " + value);
}

void RequestObject::set_gate(Gate* gate) { impl_->call.gate = gate; }

void RequestObject::set_deadline(long deadline_ms) {
  impl_->call.deadline_ms = deadline_ms < 0 ? 0 : deadline_ms;
}

const Response& RequestObject::outcome() const { return impl_->result; }

Response RequestObject::take_response() { return std::exchange(impl_->result, {}); }

void RequestObject::set_group(TransferGroup* group) { impl_->call.group = group; }

void RequestObject::send(const std::string& body) {
  Impl& s = *impl_;
  // The body buffer is kept between sends, so its capacity serves the next answer.
  std::string buffer = std::move(s.result.body);
  buffer.clear();
  if (!s.opened) {
    s.result = Response{FetchFailure::BadAddress, 0, {}, {}, std::move(buffer)};
    return;
  }
  Call call = s.call;
  call.body = body;
  call.buffer = std::move(buffer);
  call.kept = &s.kept;
  call.proxy = proxy_option(s.proxy);
  if (!s.proxy.empty()) call.proxy_login = s.proxy_login;
  if (!lines_name(call.lines, "User-Agent")) call.flavour.agent = std::string(kObjectAgent);
  suppress_own_headers(call.lines);
  if (call.group) {
    // Among others at once: HTTP/2 where a secure host offers it, the transfers then
    // sharing one connection as streams (a new one waits for the handshake to tell).
    call.flavour.http_version = CURL_HTTP_VERSION_2TLS;
    call.flavour.pipe_wait = is_secure_address(call.address);
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
