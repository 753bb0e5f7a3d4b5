// SPDX-License-Identifier: GPL-3.0-or-later
#include "http/transfer.h"

#include <utility>

#include "core/gate.h"
#include "http/curl_handles.h"
#include "http/transfer_group.h"
#include "http/transport_notes.h"
#include "util/text.h"

namespace af::wire {

FetchFailure failure_of(CURLcode result) {
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

namespace {

// A body's announced length is trusted for its buffer up to this size; a larger one grows
// as it arrives.
constexpr curl_off_t kMaxReservedBody = 64 * 1024 * 1024;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

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

// The request a redirect leads to: `location` resolved against the address of the
// request it answered, as curl itself would. False when it cannot be followed.
bool resolve_location(const std::string& base, const std::string& location, Hop& next) {
  UrlHandle url = new_url_handle();
  if (!url.get() ||
      curl_url_set(url.get(), CURLUPART_URL, base.c_str(), CURLU_ALLOW_SPACE | CURLU_PATH_AS_IS) !=
          CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_URL, location.c_str(), kFollowFlags) != CURLUE_OK)
    return false;
  next.scheme = lower_text(url_part(url, CURLUPART_SCHEME));
  if (next.scheme != "http" && next.scheme != "https") return false;
  next.host = lower_text(url_part(url, CURLUPART_HOST));
  next.port = to_int32(url_part(url, CURLUPART_PORT, CURLU_DEFAULT_PORT));
  next.url = url_part(url, CURLUPART_URL);
  next.target.clear();
  return !next.url.empty() && !next.host.empty();
}

void note_set_cookies(std::string_view block, const std::string& host, std::vector<CookieSet>& set) {
  for (const std::string& line : split_text(block, "\r\n")) {
    if (!starts_with_ignore_case(line, "set-cookie:")) continue;
    std::string_view rest = std::string_view(line).substr(11);
    std::size_t end = rest.find_first_of("=;");
    std::string_view name = trim_spaces(rest.substr(0, end));
    if (!name.empty()) set.push_back({host, std::string(name)});
  }
}

bool is_followed_status(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

int abort(Exchange& ex, FetchFailure why) {
  ex.aborted = true;
  ex.failure = why;
  return 1;
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* self) {
  auto* ex = static_cast<Exchange*>(self);
  if (!ex->body_sized) {
    // Growing by doubling would copy the body several times and, beyond the allocator's
    // mmap threshold, fault in fresh pages for every transfer.
    ex->body_sized = true;
    curl_off_t length = -1;
    if (curl_easy_getinfo(ex->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0 &&
        length <= kMaxReservedBody)
      ex->body->reserve(ex->body->size() + static_cast<std::size_t>(length));
  }
  ex->body->append(data, size * count);
  return size * count;
}

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* self) {
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

// Holds the transfer where it is while its gate is paused (pass() sleeps on the gate's own
// wake-up); the pause does not count against the timeouts. False when the gate ended.
bool hold_while_paused(Exchange& ex) {
  if (ex.group) {
    // Another transfer of the group held the driver through a pause: that time does not
    // count against this one either.
    const auto held = ex.group->held_time() - ex.seen_held;
    ex.seen_held += held;
    ex.last_progress += held;
    ex.paused_time += held;
  }
  if (!ex.gate) return true;
  if (ex.gate->ended()) return false;
  if (!ex.gate->paused()) return true;
  const auto held = Clock::now();
  if (!ex.gate->pass()) return false;
  ex.last_progress = Clock::now();
  ex.paused_time += ex.last_progress - held;
  if (ex.group) {
    ex.group->add_held(ex.last_progress - held);
    ex.seen_held = ex.group->held_time();
  }
  return true;
}

// Called after the connection is made, right before the request goes out: a request whose
// transfer began just before a pause waits here, so none goes out while paused.
int on_connected(void* self, char*, char*, int, int) {
  auto* ex = static_cast<Exchange*>(self);
  if (!hold_while_paused(*ex)) {
    abort(*ex, FetchFailure::Ended);
    return CURL_PREREQFUNC_ABORT;
  }
  ex->last_progress = Clock::now();
  return CURL_PREREQFUNC_OK;
}

int on_progress(void* self, curl_off_t, curl_off_t down, curl_off_t up_total, curl_off_t up) {
  auto* ex = static_cast<Exchange*>(self);
  if (!hold_while_paused(*ex)) return abort(*ex, FetchFailure::Ended);
  auto now = Clock::now();
  // A trickle makes progress all the time; only the deadline ends it.
  if (ex->deadline_ms > 0 &&
      now - ex->start_time - ex->paused_time > std::chrono::milliseconds(ex->deadline_ms))
    return abort(*ex, FetchFailure::Deadline);
  if (down != ex->last_down || up != ex->last_up) {
    ex->last_down = down;
    ex->last_up = up;
    ex->last_progress = now;
    return 0;
  }
  long limit = up < up_total ? ex->send_idle_ms : ex->receive_idle_ms;
  if (limit > 0 && now - ex->last_progress > std::chrono::milliseconds(limit))
    return abort(*ex, FetchFailure::Stalled);
  return 0;
}

}  // namespace

void Exchange::prepare(CURL* handle) {
  easy = handle;
  handler_options(handle, {&on_body, &on_header, &on_connected, &on_progress}, this, error_buffer);
}

bool Exchange::start() {
  body->clear();
  body_sized = false;
  header_block.clear();
  block_status = 0;
  stopped_after_headers = false;
  last_down = -1;
  last_up = -1;
  failure = FetchFailure::None;
  detail.clear();
  if (gate && !gate->pass()) {
    failure = FetchFailure::Ended;
    return false;
  }
  last_progress = Clock::now();
  if (!started) {
    started = true;
    start_time = last_progress;
  }
  error_buffer[0] = '\0';
  if (group) seen_held = group->held_time();
  return true;
}

TransferEnd Exchange::finish(CURLcode result) {
  const auto tell = [this] {
    const char* address = nullptr;
    curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &address);
    tell_transport(address ? address : "", detail);
  };
  // The group aborted it with every other (its job ended): as ended through the gate.
  if (group && result == CURLE_ABORTED_BY_CALLBACK && !aborted) abort(*this, FetchFailure::Ended);
  if (aborted) {
    detail = failure == FetchFailure::Deadline ? "deadline reached"
             : failure == FetchFailure::Stalled ? "no data arrived within the time allowed"
                                                 : "";
    if (!detail.empty()) tell();
    return TransferEnd::None;
  }
  if (result == CURLE_OK) return TransferEnd::Complete;
  if (stopped_after_headers && result == CURLE_WRITE_ERROR) return TransferEnd::Complete;
  detail = error_buffer[0] ? error_buffer : curl_easy_strerror(result);
  failure = failure_of(result);
  tell();
  long code = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
  if (code > 0 && !header_block.empty()) {
    failure = FetchFailure::CutOff;
    return TransferEnd::Partial;
  }
  return TransferEnd::None;
}

TransferEnd Exchange::perform() {
  if (!start()) return TransferEnd::None;
  return finish(group ? group->perform(easy) : curl_easy_perform(easy));
}

std::string proxy_option(const std::string& proxy) {
  if (proxy.empty() || contains_text(proxy, "://")) return proxy;
  return "http://" + proxy;
}

bool starts_with_ignore_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && lower_text(text.substr(0, prefix.size())) == lower_text(prefix);
}

std::string_view trim_spaces(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

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

std::string wire_line(const std::string& line) {
  std::size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0 ||
      !trim_spaces(std::string_view(line).substr(colon + 1)).empty())
    return line;
  return line.substr(0, colon) + ";";
}

void suppress_own_headers(std::vector<std::string>& lines) {
  for (std::string_view name : {"Accept", "Content-Type", "Expect"}) {
    if (!lines_name(lines, name)) lines.push_back(std::string(name) + ":");
  }
}

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

TransferEnd run_exchange(CURL* h, Exchange& ex, const Hop& first, Plan plan, std::vector<CookieSet>* set) {
  ex.prepare(h);
  Hop hop = first;
  for (long redirects = 0;; ++redirects) {
    const bool first_origin = hop.scheme == first.scheme && hop.host == first.host && hop.port == first.port;
    TextList list;
    for (const std::string& line : plan.lines) {
      if (!first_origin &&
          (names_header(line, "Cookie") || names_header(line, "Authorization") || names_header(line, "Host")))
        continue;
      add_line(list, line);
    }
    hop_options(h, hop, list.get(), plan, first_origin);
    body_options(h, plan.method, plan.body, ex);
    TransferEnd end = ex.perform();
    header_options(h, nullptr);  // the list ends with this request
    if (set && end != TransferEnd::None) note_set_cookies(ex.header_block, hop.host, *set);

    if (end != TransferEnd::Complete || !plan.follow || !is_followed_status(ex.block_status)) return end;
    std::string location = response_header(ex.header_block, "Location");
    Hop next;
    if (location.empty() || !resolve_location(hop.url, location, next)) return end;
    if (redirects >= plan.max_redirects) {
      ex.failure = FetchFailure::Other;
      ex.detail = "too many redirects";
      tell_transport(hop.url, ex.detail);
      return TransferEnd::Partial;
    }
    const int status = ex.block_status;
    if (((status == 301 || status == 302) && plan.method == "POST") ||
        (status == 303 && plan.method != "GET" && plan.method != "HEAD"))
      plan.method = "GET";
    if (plan.method == "GET") plan.body.clear();
    hop = std::move(next);
  }
}

}  // namespace af::wire
