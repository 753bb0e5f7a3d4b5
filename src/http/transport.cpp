// SPDX-License-Identifier: GPL-3.0-or-later
// The one door to the network, send_call(), and every option the program sets on a curl
// handle: a transport's flavour is data in its Call, turned into options here alone.
#include <utility>

#include "core/gate.h"
#include "http/cookie_store.h"
#include "http/transfer.h"

namespace af::wire {

void common_options(CURL* easy) {
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  // Redirects are followed request by request (see run_exchange).
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  // Only the proxy the caller names; none from the environment.
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
}

void handler_options(CURL* easy, const Handlers& handlers, void* data, char* error_buffer) {
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, handlers.body);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, data);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, handlers.header);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, data);
  curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, handlers.connected);
  curl_easy_setopt(easy, CURLOPT_PREREQDATA, data);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, handlers.progress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, data);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error_buffer);
}

void header_options(CURL* easy, curl_slist* lines) { curl_easy_setopt(easy, CURLOPT_HTTPHEADER, lines); }

void hop_options(CURL* easy, const Hop& hop, curl_slist* lines, const Plan& plan, bool first_origin) {
  curl_easy_setopt(easy, CURLOPT_URL, hop.url.c_str());
  curl_easy_setopt(easy, CURLOPT_REQUEST_TARGET, hop.target.empty() ? nullptr : hop.target.c_str());
  header_options(easy, lines);
  if (plan.user) {
    curl_easy_setopt(easy, CURLOPT_USERNAME, first_origin ? plan.user->c_str() : nullptr);
    curl_easy_setopt(easy, CURLOPT_PASSWORD, first_origin ? plan.password->c_str() : nullptr);
  }
}

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

void share_options(CURL* easy, CURLSH* share) {
  curl_easy_setopt(easy, CURLOPT_SHARE, share);
  curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");  // the engine on, no file of its own
}

void cookie_share_options(CURLSH* share, curl_lock_function lock, curl_unlock_function unlock, void* data) {
  curl_share_setopt(share, CURLSHOPT_LOCKFUNC, lock);
  curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, unlock);
  curl_share_setopt(share, CURLSHOPT_USERDATA, data);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
}

void cookie_command(CURL* easy, const std::string& line) {
  curl_easy_setopt(easy, CURLOPT_COOKIELIST, line.c_str());
}

void multi_options(CURLM* multi, long per_host) {
  curl_multi_setopt(multi, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
  curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, per_host);
  // The image hosts of one album are few; the cache keeps a connection per transfer.
  curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, per_host * 2);
}

namespace {

TextList text_list(const std::vector<std::string>& lines) {
  TextList list;
  for (const std::string& line : lines) add_line(list, line);
  return list;
}

// The options of the call's transport, its flavour, proxy, credentials and cookie line.
void call_options(CURL* h, const Call& call) {
  const Flavour& f = call.flavour;
  if (f.curl_drives) {
    curl_easy_setopt(h, CURLOPT_URL, call.address.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, f.follow ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, f.max_redirects);
    // Less than a byte a second for the idle time (whole seconds) ends the transfer.
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, f.receive_idle_ms / 1000);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, call.deadline_ms);
  } else {
    common_options(h);
    curl_easy_setopt(h, CURLOPT_PIPEWAIT, f.pipe_wait ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, f.verify_peer ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, f.verify_host ? 2L : 0L);
  }
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, f.http_version);
  if (f.agent) curl_easy_setopt(h, CURLOPT_USERAGENT, f.agent->c_str());
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, f.connect_ms);
  curl_easy_setopt(h, CURLOPT_PROXY, call.proxy.c_str());
  if (call.proxy_login) {
    curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, call.proxy_login->user.c_str());
    curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, call.proxy_login->password.c_str());
    curl_easy_setopt(h, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
  }
  if (call.server_login) curl_easy_setopt(h, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
  if (!call.cookie.empty()) curl_easy_setopt(h, CURLOPT_COOKIE, call.cookie.c_str());
}

// curl's own request line, redirects and time limits: the body whatever the status, no
// header lines; a transfer that failed gives its cause and no body.
Response curl_driven(CURL* h, Call& call) {
  Exchange ex;
  ex.gate = call.gate;
  ex.body = &call.buffer;
  ex.prepare(h);
  const TextList lines = text_list(call.lines);
  const TextList again = text_list(call.refused_lines);
  header_options(h, lines.get());
  CURLcode code = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (code == CURLE_OK && status == 403 && again.get()) {
    call.buffer.clear();
    header_options(h, again.get());
    code = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  }
  const FetchFailure why = call.gate && call.gate->ended() ? FetchFailure::Ended : failure_of(code);
  if (code != CURLE_OK) return {why, 0, {}, curl_easy_strerror(code)};
  return {FetchFailure::None, static_cast<int>(status), {}, {}, std::move(call.buffer)};
}

// The exchange request by request (run_exchange), its answer in the flavour's form.
Response request_by_request(CURL* h, Call& call) {
  const Flavour& f = call.flavour;
  Exchange ex;
  ex.gate = call.gate;
  ex.group = call.group;
  ex.deadline_ms = call.deadline_ms;
  ex.send_idle_ms = f.send_idle_ms;
  ex.receive_idle_ms = f.receive_idle_ms;
  ex.body = &call.buffer;
  Plan plan;
  plan.method = std::move(call.method);
  plan.body = std::move(call.body);
  plan.lines = std::move(call.lines);
  plan.follow = f.follow;
  plan.max_redirects = f.max_redirects;
  if (call.server_login) {
    plan.user = &call.server_login->user;
    plan.password = &call.server_login->password;
  }
  const TransferEnd end =
      run_exchange(h, ex, first_hop(call.address, !call.proxy.empty()), std::move(plan), call.set);

  if (!f.whole_answers) {
    // An answer that broke off is returned as far as it arrived, as the platform's reads
    // do; a redirect chain that ran out ends on a redirect: the answer is what it is. The
    // whole header block of the final response is kept, however long it is.
    const bool answered = end != TransferEnd::None;
    Response response{ex.failure, answered ? ex.block_status : 0, answered ? std::move(ex.header_block) : "",
                      ex.detail};
    if (answered) response.body = std::move(call.buffer);
    return response;
  }
  // Only a whole answer counts: one that broke off (a body shorter than announced, a
  // connection closed mid-chunk) or a redirect chain that ran out is a failed send, with no
  // body, no headers and status 0, so that a caller never takes a cut-off body for the
  // real one.
  Response r;
  r.failure =
      end == TransferEnd::Partial && ex.failure == FetchFailure::None ? FetchFailure::CutOff : ex.failure;
  r.detail = ex.detail;
  if (end == TransferEnd::Complete) {
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    r.status = static_cast<int>(code);
    // All header lines of the final answer, without its status line and closing blank line.
    std::string block = std::move(ex.header_block);
    std::size_t first_end = block.find("\r\n");
    block = first_end == std::string::npos ? std::string() : block.substr(first_end + 2);
    while (block.size() >= 4 && block.compare(block.size() - 4, 4, "\r\n\r\n") == 0)
      block.resize(block.size() - 2);
    if (block == "\r\n") block.clear();
    r.headers = std::move(block);
  } else {
    call.buffer.clear();
  }
  r.body = std::move(call.buffer);
  return r;
}

}  // namespace

Response send_call(Call call) {
  EasyHandle own;
  if (!call.kept) own = new_easy_handle();
  CURL* h = call.kept ? call.kept->easy.get() : own.get();
  if (!h) return {FetchFailure::Other, 0, {}, {}, std::move(call.buffer)};
  // A kept handle's connections and cookies survive the reset; every option is set anew.
  if (call.kept) curl_easy_reset(h);
  call_options(h, call);
  if (call.cookies == CookieEngine::Store) CookieStore::instance().attach(h);
  // Naming the (empty) cookie file again after a reset would pile up libcurl's list of
  // cookie files, one entry per call, for as long as the handle lives.
  if (call.cookies == CookieEngine::Own && !(call.kept && call.kept->cookie_engine)) {
    const bool on = curl_easy_setopt(h, CURLOPT_COOKIEFILE, "") == CURLE_OK;
    if (call.kept) call.kept->cookie_engine = on;
  }
  Response response = call.flavour.curl_drives ? curl_driven(h, call) : request_by_request(h, call);
  // The handle outlives this call; it keeps no pointer to the exchange, the header list or
  // the texts of this call (its connections and cookies stay).
  if (call.kept) curl_easy_reset(h);
  return response;
}

}  // namespace af::wire
