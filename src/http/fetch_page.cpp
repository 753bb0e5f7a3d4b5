// SPDX-License-Identifier: GPL-3.0-or-later
#include <utility>
#include <vector>

#include "http/cookie_store.h"
#include "http/fetch.h"
#include "http/transfer.h"
#include "util/codepage.h"
#include "util/text.h"

namespace af {

namespace {

using namespace wire;

// fetch_page sets no timeouts of its own; these stand in for the platform's defaults so a
// silent server cannot hold a caller for ever.
constexpr long kPageConnectMs = 60000;
constexpr long kPageIdleMs = 60000;
constexpr long kMaxRedirects = 30;

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

std::string describe_outcome(const Response& outcome) {
  if (outcome.failure == FetchFailure::None) {
    if (outcome.status == 200) return {};
    if (outcome.status == 0) return G("服务器没有回答");
    return G("服务器回答 HTTP ") + std::to_string(outcome.status);
  }
  // In the order of FetchFailure, from BadAddress on.
  static constexpr std::string_view kCauses[] = {"地址无效",
                                                 "找不到服务器（域名无法解析）",
                                                 "无法连接服务器（连接被拒绝）",
                                                 "安全连接（TLS）失败",
                                                 "服务器长时间没有响应",
                                                 "请求超时",
                                                 "连接中断，回答不完整",
                                                 "已结束",
                                                 "网络错误"};
  static_assert(std::size(kCauses) == static_cast<std::size_t>(FetchFailure::Other));
  // The transport's own (English) words stay in `detail`: a person reads the cause.
  return G(kCauses[static_cast<int>(outcome.failure) - 1]);
}

Response fetch_page(const std::string& address, const PageRequest& request) {
  CookieStore& store = CookieStore::instance();
  const bool secure = is_secure_address(address);
  if (url_host(address).empty()) return {FetchFailure::BadAddress, 0, {}, {}};  // no host to connect to
  Call call;
  call.address = address;
  call.method = method_text(request.method);
  call.flavour.agent = choose_user_agent(request.headers);
  call.flavour.connect_ms = kPageConnectMs;
  call.flavour.receive_idle_ms = kPageIdleMs;
  call.flavour.send_idle_ms = kPageIdleMs;
  call.flavour.follow = !request.no_redirect;
  call.flavour.max_redirects = kMaxRedirects;
  // A plain http request names its proxy for the http scheme; a secure one takes the text
  // as it is (curl reads a bare "host:port" as an http proxy either way).
  call.proxy = secure ? request.proxy : proxy_option(request.proxy);

  std::string headers = request.headers;
  complete_headers(headers, address, request.cookie_jar.value_or(""), HeaderStyle::Inet);
  for (const std::string& line : split_text(headers, "\r\n")) {
    if (!line.empty()) call.lines.push_back(wire_line(line));
  }
  // The request carries the completed block and nothing curl would add of its own (a
  // second Accept, a form Content-Type, "Expect: 100-continue").
  suppress_own_headers(call.lines);

  // With a caller's jar the engine stays off: only the jar's Cookie line goes out.
  call.cookies = request.cookie_jar ? CookieEngine::Off : CookieEngine::Store;
  call.gate = request.gate;
  call.deadline_ms = request.deadline_ms;
  if (call.method != "GET") call.body = request.body_bytes.empty() ? request.body_text : request.body_bytes;

  const bool report = !request.cookie_jar && store.has_listener();
  std::vector<Cookie> before;
  if (report) before = store.all_cookies();

  std::vector<CookieSet> set;
  call.set = &set;
  Response response = send_call(std::move(call));
  response.cookies = collect_cookies(response.headers);
  // Only what these answers set goes back to the browser; whatever else changed in the
  // store meanwhile was changed by someone else.
  if (report && !set.empty()) store.report_changes(before, [&](const Cookie& c) { return set_by(c, set); });
  return response;
}

}  // namespace af
